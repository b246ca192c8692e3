// Parts of one file's work on several threads.
#include "parallel.h"

#include <algorithm>
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
    std::vector<std::thread> threads;
    for (unsigned part = 1; part < parts; ++part) threads.emplace_back(run, part);
    run(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& f : failures)
        if (f) std::rethrow_exception(f);
}

}  // namespace quilvor
