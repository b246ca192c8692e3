// Runs of the real binaries on an unlucky machine: a child process with its
// own environment, file-size limit, fault injection library and standard
// output, whose standard output and standard error are both kept.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace testutil {

struct ChildSetup {
    std::vector<std::pair<std::string, std::string>> env;  // set in the child
    rlim_t fileSizeLimit = RLIM_INFINITY;                  // RLIMIT_FSIZE of the child
    bool faults = false;                                    // preload the fault injection library
    int stdoutFd = -1;                                      // the child's standard output, if not captured
};

struct ChildResult {
    std::string out, err;
    int status = -1;  // exit status, -1 if killed by a signal
    int signal = 0;   // the signal that ended it
};

// Starts program in dir with args; returns its process id. Its standard
// output and standard error go to outFd (unless setup.stdoutFd) and errFd.
pid_t start_child(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
                  const ChildSetup& setup, int outFd, int errFd);
// Runs program to its end, capturing both outputs.
ChildResult run_child(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
                      const ChildSetup& setup = {});
// Waits for pid, at most seconds; false if it is still running then.
bool wait_child(pid_t pid, double seconds, ChildResult& r);

// The LD_PRELOAD value of the fault injection library for this build
// (the sanitizer's run-time library first when the build has one).
std::string fault_preload();

}  // namespace testutil
