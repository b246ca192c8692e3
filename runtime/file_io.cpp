// Positional reads and writes of whole byte ranges.
#include "file_io.h"

#include <errno.h>
#include <unistd.h>

namespace quilvor {

std::size_t read_at(int fd, void* data, std::size_t bytes, uint64_t offset, int& error) {
    unsigned char* p = static_cast<unsigned char*>(data);
    std::size_t done = 0;
    error = 0;
    while (done < bytes) {
        const ssize_t got = ::pread(fd, p + done, bytes - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) error = errno;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool write_at(int fd, const void* data, std::size_t bytes, uint64_t offset, int& error) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    error = 0;
    while (done < bytes) {
        const ssize_t put = ::pwrite(fd, p + done, bytes - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            error = put < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace quilvor
