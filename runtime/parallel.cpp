// Parts of one file's work on several threads.
#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "run_state.h"

namespace quilvor {

Ranges::Ranges(uint32_t items, uint32_t alignTo)
    : count(std::max(1u, std::min<unsigned>(_threads, items / 65536 + 1))), total(items), align(alignTo) {}

void run_parts(unsigned parts, const std::function<void(unsigned part)>& body) {
    std::vector<std::exception_ptr> failures(parts);
    auto run = [&](unsigned part) {
        try {
            body(part);
        } catch (...) {
            failures[part] = std::current_exception();
        }
    };
    std::vector<std::thread> threads(parts > 0 ? parts - 1 : 0);
    unsigned started = 1;
    while (started < parts && start_thread(threads[started - 1], [&run, started] { run(started); })) ++started;
    run(0);
    for (unsigned part = started; part < parts; ++part) run(part);
    for (unsigned part = 1; part < started; ++part) threads[part - 1].join();
    for (const std::exception_ptr& f : failures)
        if (f) std::rethrow_exception(f);
}

void run_jobs(unsigned threads, std::size_t jobs, const std::function<void(std::size_t job)>& body) {
    std::vector<std::exception_ptr> failures(jobs);
    std::atomic<std::size_t> next{0};
    run_parts(static_cast<unsigned>(std::clamp<std::size_t>(jobs, 1, std::max(1u, threads))), [&](unsigned) {
        for (std::size_t job = next++; job < jobs; job = next++) {
            try {
                body(job);
            } catch (...) {
                failures[job] = std::current_exception();
            }
        }
    });
    for (const std::exception_ptr& f : failures)
        if (f) std::rethrow_exception(f);
}

void note_thread_refused(int error) {
    static std::atomic<bool> said{false};
    if (said.exchange(true)) return;
    note(reason_line(error, "a thread cannot be started") + _programName +
         ": the work goes on with the threads that could be started\n");
}

}  // namespace quilvor
