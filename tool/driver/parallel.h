// Work of one file shared out over the run's threads.
#pragma once

#include <functional>

namespace quilvor {

// Runs body(part) for part = 0 .. parts - 1, each on a thread of its own
// (part 0 on the calling thread), and returns when all have ended. An
// exception that ends a part is thrown here: that of the lowest part.
void run_parts(unsigned parts, const std::function<void(unsigned part)>& body);

}  // namespace quilvor
