// Temporary files, the working-directory lock and the clean-up on interruption.
#include "temp_files.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace quilvor {

namespace {

// The names to remove if the run is interrupted. Never destroyed, so that the
// interrupt thread may use it while the process exits.
struct Registry {
    std::mutex mutex;
    std::vector<std::string> names;
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

[[noreturn]] void clean_up_and_exit() {
    Registry& r = registry();
    r.mutex.lock();  // no file is created, renamed or removed from here on
    for (const std::string& name : r.names) ::unlink(name.c_str());
    static const char message[] =
        "\nLAS_Quilvor interrupted: its temporary files and unfinished outputs have been removed\n";
    [[maybe_unused]] const ssize_t n = ::write(2, message, sizeof(message) - 1);
    std::fflush(stdout);
    ::_exit(255);
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

FilePtr create_temporary_file(const std::string& name, const char* mode) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    ::unlink(name.c_str());
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, mode);
    if (f == nullptr) {
        ::close(fd);
        ::unlink(name.c_str());
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
        ::close(fd);
        ::unlink(pattern.c_str());
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
    ok = (std::fclose(out.file.release()) == 0) && ok;
    return ok;
}

bool publish_output(PendingOutput& out) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    const bool ok = std::rename(out.tempName.c_str(), out.finalName.c_str()) == 0;
    if (!ok) ::unlink(out.tempName.c_str());
    drop_name(out.tempName);
    out.tempName.clear();
    return ok;
}

void discard_output(PendingOutput& out) {
    out.file.reset();
    if (!out.tempName.empty()) remove_temporary_file(out.tempName);
    out.tempName.clear();
}

bool write_at(std::FILE* f, const void* data, std::size_t bytes, uint64_t offset) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (bytes > 0) {
        const ssize_t put = ::pwrite(::fileno(f), p, bytes, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        bytes -= static_cast<std::size_t>(put);
        offset += static_cast<uint64_t>(put);
    }
    return true;
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
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([] {
        int received = 0;
        while (sigwait(&signals, &received) != 0) {
        }
        clean_up_and_exit();
    }).detach();
}

}  // namespace quilvor
