// Work of one file shared out over the run's threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace quilvor {

// Ranges of total items shared out over the run's threads: one range a
// thread, but none of fewer than about 65,536 items. Each range but the first
// begins at a multiple of align (a power of two); first(count) is total.
struct Ranges {
    unsigned count;
    uint32_t total, align;
    explicit Ranges(uint32_t items, uint32_t alignTo = 1);
    uint32_t first(unsigned part) const {
        if (part == count) return total;
        return static_cast<uint32_t>(uint64_t{total} * part / count) & ~(align - 1);
    }
};

// Runs body(part) for part = 0 .. parts - 1, each on a thread of its own
// (part 0 on the calling thread), and returns when all have ended. A part
// whose thread cannot be started runs on the calling thread, after part 0
// (the parts are the same, so is the result). An exception that ends a part
// is thrown here: that of the lowest part.
void run_parts(unsigned parts, const std::function<void(unsigned part)>& body);

// Runs body(job) for job = 0 .. jobs - 1 on threads threads (the calling one
// among them), each job on one thread, the jobs taken in order as threads
// become free; returns when all have ended. An exception that ends a job is
// thrown here: that of the lowest job.
void run_jobs(unsigned threads, std::size_t jobs, const std::function<void(std::size_t job)>& body);

// Says on standard error, once a run, that a thread could not be started.
void note_thread_refused(int error);

// Starts fn on thread t; false when the system refuses the thread, which is
// said once on standard error: the work then goes on with fewer threads.
template <class Fn>
bool start_thread(std::thread& t, Fn&& fn) {
    try {
        t = std::thread(std::forward<Fn>(fn));
        return true;
    } catch (const std::system_error& e) {
        note_thread_refused(e.code().value());
        return false;
    }
}

}  // namespace quilvor
