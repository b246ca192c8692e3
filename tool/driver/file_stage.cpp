// Per-file stages on several threads, printed in list order.
#include "file_stage.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quilvor {

namespace {

enum class State : char { waiting, running, done, failed };

class StageRun {
public:
    StageRun(const FileStage& s, uint16_t count)
        : stage(s), n(count), state(count, State::waiting), text(count), failures(count), completions(count) {}

    void worker_loop(unsigned worker) {
        std::unique_lock<std::mutex> lock(mutex);
        while (next < n && next < firstFailed.load()) {
            const uint16_t i = next++;
            const int before = stage.waitFor ? stage.waitFor(i) : -1;
            changed.wait(lock, [&] { return before < 0 || state[before] == State::done || state[before] == State::failed; });
            state[i] = State::running;
            lock.unlock();
            Output out(*this, i);
            std::function<void()> complete;
            std::optional<Failure> failure;
            try {
                if (out.abandoned()) throw Failure("");
                complete = stage.work(i, out, worker);
            } catch (const Failure& f) {
                failure = f;
            } catch (const std::bad_alloc&) {
                failure = Failure("\nFailed to allocate memory\n");
            } catch (const std::exception& e) {
                failure = Failure(std::string("\nUnexpected failure: ") + e.what() + "\n");
            }
            lock.lock();
            finish(i, std::move(complete), std::move(failure));
            changed.notify_all();
        }
    }

    // After every worker has ended: the earliest failure, the files after it discarded.
    void conclude() {
        const uint16_t k = static_cast<uint16_t>(std::min<int>(firstFailed.load(), n));
        if (k == n) return;
        for (uint16_t j = k + 1; j < n; ++j) {
            completions[j] = nullptr;  // an unfinished output is removed with it
            if (state[j] != State::waiting && stage.discard) stage.discard(j, k);
        }
        std::fflush(stdout);
        throw *failures[k];
    }

private:
    class Output : public Console {
    public:
        Output(StageRun& r, uint16_t file) : run(r), i(file) {}
        void write(const char* t, std::size_t len) override {
            std::lock_guard<std::mutex> lock(run.mutex);
            if (i == run.head) std::fwrite(t, 1, len, stdout);
            else run.text[i].append(t, len);
        }
        void flush() override {
            std::lock_guard<std::mutex> lock(run.mutex);
            if (i == run.head) std::fflush(stdout);
        }
        bool abandoned() const override { return run.firstFailed.load() < i; }

    private:
        StageRun& run;
        uint16_t i;
    };

    // With the mutex held: records the end of file i, then completes the files
    // that are now first in line and prints the lines of the next one.
    void finish(uint16_t i, std::function<void()> complete, std::optional<Failure> failure) {
        if (failure) {
            fail_at(i, std::move(*failure));
        } else {
            state[i] = State::done;
            completions[i] = std::move(complete);
        }
        while (head < n && state[head] == State::done) {
            if (completions[head]) {
                try {
                    completions[head]();
                } catch (const Failure& f) {
                    fail_at(head, f);
                    break;
                }
                completions[head] = nullptr;
            }
            ++head;
            if (head < n) {
                std::fwrite(text[head].data(), 1, text[head].size(), stdout);
                std::string().swap(text[head]);
            }
        }
        std::fflush(stdout);
    }
    void fail_at(uint16_t i, Failure f) {
        state[i] = State::failed;
        failures[i] = std::move(f);
        if (i < firstFailed.load()) firstFailed = i;
    }

    const FileStage& stage;
    const uint16_t n;
    std::mutex mutex;
    std::condition_variable changed;
    uint16_t next = 0;  // the next file to start
    uint16_t head = 0;  // the first file not completed: its lines go straight out
    std::atomic<int> firstFailed{65536};
    std::vector<State> state;
    std::vector<std::string> text;  // lines of files waiting for their turn
    std::vector<std::optional<Failure>> failures;
    std::vector<std::function<void()>> completions;
};

}  // namespace

void run_file_stage(const FileStage& stage) {
    StageRun run(stage, _fileCount);
    const unsigned threads = std::max(1u, std::min<unsigned>(stage.threads, _fileCount));
    if (threads == 1) {
        run.worker_loop(0);  // the files one after the other, on this thread
    } else {
        std::vector<std::thread> workers;
        for (unsigned w = 0; w < threads; ++w) workers.emplace_back([&run, w] { run.worker_loop(w); });
        for (std::thread& t : workers) t.join();
    }
    run.conclude();
}

}  // namespace quilvor
