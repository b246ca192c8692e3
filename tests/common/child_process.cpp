// Child processes for the tests that run the real binaries on an unlucky machine.
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace testutil {

std::string fault_preload() {
    const std::string asan = ASAN_RUNTIME;
    return asan.empty() ? std::string(FAULT_LIB) : asan + ":" + FAULT_LIB;
}

pid_t start_child(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
                  const ChildSetup& setup, int outFd, int errFd) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // The child: only async-signal-safe calls and exec from here (setenv is
    // safe enough in a child of a test process that holds no locks).
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    for (const auto& [name, value] : setup.env) ::setenv(name.c_str(), value.c_str(), 1);
    if (setup.faults) ::setenv("LD_PRELOAD", fault_preload().c_str(), 1);
    if (setup.fileSizeLimit != RLIM_INFINITY) {
        const rlimit limit{setup.fileSizeLimit, setup.fileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    ::dup2(setup.stdoutFd >= 0 ? setup.stdoutFd : outFd, 1);
    ::dup2(errFd, 2);
    std::vector<char*> v;
    for (std::string& a : argv) v.push_back(a.data());
    v.push_back(nullptr);
    ::execv(program.c_str(), v.data());
    ::_exit(127);
}

bool wait_child(pid_t pid, double seconds, ChildResult& r) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int st = 0;
        const pid_t got = ::waitpid(pid, &st, WNOHANG);
        if (got == pid) {
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            r.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ChildResult run_child(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
                      const ChildSetup& setup) {
    ChildResult r;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return r;
    const pid_t pid = start_child(dir, program, args, setup, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* text[2] = {&r.out, &r.err};
    for (int open = 2; open > 0;) {
        if (::poll(p, 2, -1) < 0) continue;
        for (int k = 0; k < 2; ++k) {
            if (p[k].fd < 0 || p[k].revents == 0) continue;
            char buf[65536];
            const ssize_t n = ::read(p[k].fd, buf, sizeof(buf));
            if (n > 0) {
                text[k]->append(buf, static_cast<std::size_t>(n));
            } else {
                ::close(p[k].fd);
                p[k].fd = -1;
                --open;
            }
        }
    }
    if (pid > 0) wait_child(pid, 600, r);
    return r;
}

}  // namespace testutil
