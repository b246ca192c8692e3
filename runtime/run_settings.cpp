// The run settings from the environment: threads and memory.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "las_input.h"

namespace quilvor {

namespace {

// A whole number from lo to hi in the named variable, or its default.
uint64_t setting(const char* variable, uint64_t lo, uint64_t hi, uint64_t byDefault) {
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0') return byDefault;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (*end != '\0' || text[0] == '-' || v < lo || v > hi)
        fail("\n%s should be a whole number from %llu to %llu (it is %s)\n", variable,
             static_cast<unsigned long long>(lo), static_cast<unsigned long long>(hi), text);
    return v;
}

}  // namespace

void read_run_settings() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    _threads = static_cast<unsigned>(setting("QUILVOR_THREADS", 1, 1024, cores));
    // By default a quarter of the physical memory, at most 4 GiB.
    const uint64_t physical = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGE_SIZE));
    const uint64_t defaultMB = std::min<uint64_t>(physical / 4, uint64_t{4} << 30) >> 20;
    _pairRecordBudget = setting("QUILVOR_MEMORY_MB", 0, uint64_t{1} << 40, defaultMB) << 20;
}

}  // namespace quilvor
