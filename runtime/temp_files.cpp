// Temporary files, the working-directory lock and the clean-up on interruption.
#include "temp_files.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <thread>

#include "parallel.h"

namespace quilvor {

namespace {

// The names to remove if the run is interrupted. Never destroyed, so that the
// interrupt thread may use it while the process exits.
struct Registry {
    std::mutex mutex;
    std::vector<std::string> names;
    std::vector<std::string> folders;  // made by the run, removed if it fails
    mode_t umask = 022;
};
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

void add_name(const std::string& name) {  // with the registry locked
    std::vector<std::string>& v = registry().names;
    if (std::find(v.begin(), v.end(), name) == v.end()) v.push_back(name);
}
void drop_name(const std::string& name) {  // with the registry locked
    std::vector<std::string>& v = registry().names;
    v.erase(std::remove(v.begin(), v.end(), name), v.end());
}

// The message of an interrupted run, on standard error if it can take it within
// a fifth of a second: a stalled reader of standard error (often the reader of
// standard output too) must not hold the run.
void say_interrupted() {
    char message[200];
    const int n = std::snprintf(message, sizeof(message),
                                "\n%s interrupted: its temporary files and unfinished outputs have been removed\n",
                                _programName);
    pollfd p{2, POLLOUT, 0};
    if (n > 0 && ::poll(&p, 1, 200) == 1 && (p.revents & POLLOUT) != 0) {
        [[maybe_unused]] const ssize_t w = ::write(2, message, static_cast<std::size_t>(n));
    }
}

// Removes every temporary file and unfinished output and ends the process at
// once; standard output is left as it is, whatever it is doing (a full pipe
// nobody reads must not hold the clean-up).
[[noreturn]] void clean_up_and_exit(bool locked) {
    Registry& r = registry();
    if (!locked) r.mutex.lock();  // no file is created, renamed or removed from here on
    for (const std::string& name : r.names) ::unlink(name.c_str());
    for (auto f = r.folders.rbegin(); f != r.folders.rend(); ++f) ::rmdir(f->c_str());
    say_interrupted();
    ::_exit(255);
}

// Without the interrupt thread: the clean-up runs in the handler of the
// signal. The registry is taken if its holder lets it go within 50 ms (the
// holder may be the interrupted code itself, which never will).
void clean_up_in_handler(int) {
    Registry& r = registry();
    for (int k = 0; k < 50 && !r.mutex.try_lock(); ++k) {
        const timespec ms{0, 1000000};
        ::nanosleep(&ms, nullptr);
    }
    clean_up_and_exit(true);
}

}  // namespace

void lock_working_directory() {
    const int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;  // an unreadable directory: its own failures follow
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK) fail("\nAnother LAS_Quilvor run is using the temporary files of this directory\n");
        return;  // a file system without locks
    }
    // fd stays open: the lock lasts until the process ends.
}

std::vector<std::string> kept_temporary_files() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    std::vector<std::string> kept;
    for (const std::string& name : registry().names)
        if (::access(name.c_str(), F_OK) == 0) kept.push_back(name);
    return kept;
}

FilePtr create_temporary_file(const std::string& name, const char* mode) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    ::unlink(name.c_str());
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, mode);
    if (f == nullptr) {
        const int e = errno;
        ::close(fd);
        ::unlink(name.c_str());
        errno = e;
        return nullptr;
    }
    add_name(name);
    return FilePtr(f);
}

void remove_temporary_file(const std::string& name) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    ::unlink(name.c_str());
    drop_name(name);
}

bool begin_output(PendingOutput& out, const std::string& finalName) {
    out.finalName = finalName;
    std::string pattern = finalName + ".XXXXXX";
    std::lock_guard<std::mutex> lock(registry().mutex);
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return false;
    std::FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr) {
        const int e = errno;
        ::close(fd);
        ::unlink(pattern.c_str());
        errno = e;
        return false;
    }
    out.tempName = pattern;
    out.file.reset(f);
    add_name(out.tempName);
    return true;
}

PendingOutput::~PendingOutput() { discard_output(*this); }

bool finish_output(PendingOutput& out) {
    std::FILE* f = out.file.get();
    // The mode a newly created output has always had: 0666 less the umask.
    bool ok = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0 &&
              ::fchmod(::fileno(f), 0666 & ~registry().umask) == 0;
    const int e = errno;
    if (std::fclose(out.file.release()) != 0) return false;
    errno = e;
    return ok;
}

bool publish_output(PendingOutput& out) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    const bool ok = std::rename(out.tempName.c_str(), out.finalName.c_str()) == 0;
    const int e = errno;
    if (!ok) ::unlink(out.tempName.c_str());
    errno = e;
    drop_name(out.tempName);
    out.tempName.clear();
    return ok;
}

void discard_output(PendingOutput& out) {
    out.file.reset();
    if (!out.tempName.empty()) remove_temporary_file(out.tempName);
    out.tempName.clear();
}

namespace {

// Where a name leads: the file's device and inode where it exists, and the
// name with links, "." and ".." resolved against the working directory.
struct Place {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::filesystem::path path;
};

Place place_of(const std::string& name) {
    Place p;
    struct stat st;
    if (::stat(name.c_str(), &st) == 0) {
        p.exists = true;
        p.device = st.st_dev;
        p.inode = st.st_ino;
    }
    std::error_code ec;
    p.path = std::filesystem::weakly_canonical(std::filesystem::absolute(name, ec), ec);
    if (ec) p.path = std::filesystem::path(name).lexically_normal();
    return p;
}

bool same_place(const Place& a, const Place& b) {
    return (a.exists && b.exists && a.device == b.device && a.inode == b.inode) || a.path == b.path;
}

}  // namespace

void check_outputs_apart(const std::vector<std::string>& inputs, const std::vector<RunOutput>& outputs) {
    std::vector<Place> in, out;
    for (const std::string& name : inputs) in.push_back(place_of(name));
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        out.push_back(place_of(outputs[i].name));
        for (std::size_t j = 0; j < inputs.size(); ++j)
            if (same_place(out[i], in[j]))
                fail("\nOutput file %s would overwrite input file %s\n", outputs[i].name.c_str(), inputs[j].c_str());
        for (std::size_t j = 0; j < i; ++j)
            if (outputs[j].group != outputs[i].group && same_place(out[i], out[j]))
                fail("\nOutput file %s (%s) would overwrite output file %s (%s)\n", outputs[i].name.c_str(),
                     outputs[i].role.c_str(), outputs[j].name.c_str(), outputs[j].role.c_str());
    }
}

void check_output_place(const std::string& name, const char* message) {
    struct stat st;
    if (::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) fail_because(EISDIR, name, message, name.c_str());
    PendingOutput probe;
    if (!begin_output(probe, name)) fail_because(errno, name, message, name.c_str());
}

void remove_folder_on_failure(const std::string& folder) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().folders.push_back(folder);
}

void remove_failed_run_folders() {
    std::lock_guard<std::mutex> lock(registry().mutex);
    std::vector<std::string>& v = registry().folders;
    for (auto f = v.rbegin(); f != v.rend(); ++f) ::rmdir(f->c_str());
    v.clear();
}

void install_interrupt_cleanup() {
    Registry& r = registry();
    r.umask = ::umask(0);
    ::umask(r.umask);
    static sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    // Every thread started from here on inherits the blocked signals; only the
    // interrupt thread receives them, so the clean-up never runs inside
    // another thread's file operation.
    // A write past the file-size limit fails ("File too large") and is
    // reported like any other, instead of ending the process unannounced.
    ::signal(SIGXFSZ, SIG_IGN);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread waiter;
    if (start_thread(waiter, [] {
            int received = 0;
            while (sigwait(&signals, &received) != 0) {
            }
            clean_up_and_exit(false);
        })) {
        waiter.detach();
        return;
    }
    struct sigaction action {};
    action.sa_handler = clean_up_in_handler;
    sigfillset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

}  // namespace quilvor
