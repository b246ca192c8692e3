// A test-only library, loaded with LD_PRELOAD into a real binary run by a
// test, that makes the system refuse what an unlucky machine refuses:
//   FAULT_WRITE_BYTES=N    writes to regular files fail with ENOSPC once N
//                          bytes have been written to them (a full disk);
//   FAULT_THREADS=N        pthread_create fails with EAGAIN after N threads
//                          (a process limit);
//   FAULT_FSYNC=1          fsync fails with EIO (a disk that cannot keep
//                          what it took).
// Unset, a call goes straight through.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

long long setting(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? -1 : std::atoll(v);
}

std::atomic<long long> written{0};
std::atomic<long long> threads{0};

template <class F>
F next(const char* symbol) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

// How many of bytes a write to fd may put: all of them, or what is left
// before the disk is full (0: none, the write fails).
bool refused(int fd, size_t& bytes) {
    static const long long limit = setting("FAULT_WRITE_BYTES");
    if (limit < 0 || bytes == 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const long long before = written.fetch_add(static_cast<long long>(bytes));
    if (before >= limit) {
        errno = ENOSPC;
        return true;
    }
    if (before + static_cast<long long>(bytes) > limit) bytes = static_cast<size_t>(limit - before);
    return false;
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t count) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (refused(fd, count)) return -1;
    return real(fd, buf, count);
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    if (refused(fd, count)) return -1;
    return real(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off64_t offset) {
    static auto real = next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    if (refused(fd, count)) return -1;
    return real(fd, buf, count, offset);
}

int fsync(int fd) {
    static auto real = next<int (*)(int)>("fsync");
    static const long long failing = setting("FAULT_FSYNC");
    if (failing > 0) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    static auto real = next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    static const long long limit = setting("FAULT_THREADS");
    if (limit >= 0 && threads.fetch_add(1) >= limit) return EAGAIN;
    return real(thread, attr, start, arg);
}

}  // extern "C"
