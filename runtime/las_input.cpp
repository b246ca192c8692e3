// Opening a listed LAS file: the first read validates its header and size,
// every later read finds them unchanged or stops the run.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "file_io.h"
#include "las_input.h"

namespace quilvor {

using torvane::LASHeader;
using torvane::LASHeaderSize;

namespace {

[[noreturn]] void not_valid(const char* name) { fail("\n%s is not a valid .las file\n\n", name); }

}  // namespace

void fail_changed(const char* name) { fail("\nFile %s changed while it was being processed\n", name); }

namespace {

// check_las accepted a format with a GPS time and a record long enough for
// it: before LAS 1.3, format 1 or 3 (LAS 1.0 and 1.1 files that declare
// format 3 are read as such) at exactly its length; from LAS 1.3 on, any
// format of the version with a GPS time, extra bytes allowed. Anything else
// was written since.
bool gps_layout(const LASHeader& h) {
    const int id = h.PointDataFormatID;
    if (h.VersionMinor < 3)
        return (id == 1 || id == 3) && h.PointDataRecordLength == torvane::point_format(id).length;
    if (id > torvane::max_format_of_version(h.VersionMinor)) return false;
    const torvane::PointFormat& f = torvane::point_format(id);
    return f.hasGPSTime && h.PointDataRecordLength >= f.length;
}

}  // namespace

void validate_layout(const char* name, const LASHeader& h, uint64_t size) {
    if (h.VersionMajor != 1 || h.VersionMinor > 4 || !gps_layout(h)) fail_changed(name);
    const torvane::HeaderCheck c = torvane::check_header(h, size);
    switch (c.fault) {
        case torvane::HeaderFault::None: break;
        case torvane::HeaderFault::NotValid: not_valid(name);
        case torvane::HeaderFault::PointsBeyondFile:
            // A 32-bit count beyond the point data the run can hold is too large (below); a
            // 64-bit one beyond it (LAS 1.4) in a file that does not hold it is truncated.
            if (c.declared <= UINT32_MAX && c.declared * h.PointDataRecordLength > 2147483647u) break;
            fail("\nFile %s is truncated: its header declares %llu points but it holds only %llu\n", name,
                 static_cast<unsigned long long>(c.declared), static_cast<unsigned long long>(c.holds));
        case torvane::HeaderFault::EVLRsBeyondFile:
            fail("\nFile %s is truncated: its extended variable-length records lie beyond its end or inside its "
                 "point data\n", name);
        case torvane::HeaderFault::WaveformBeyondFile:
            fail("\nFile %s is truncated: its waveform data lie beyond its end or inside its point data\n", name);
    }
    const uint64_t count = torvane::point_count(h);
    if (count > UINT32_MAX || count * h.PointDataRecordLength > 2147483647u)
        fail("\nFile %s is too large: its point data exceed 2147483647 bytes\n", name);
}

LasInput open_las_input(pairStruct& entry, const char* openFailure) {
    const char* name = entry.LASName.c_str();
    LasInput in;
    errno = 0;
    in.file = torvane::open_regular_file(entry.LASName);
    if (!in.file) fail_with_reason(open_reason(entry.LASName), openFailure, name);
    check_identity(entry, ::fileno(in.file.get()));
    unsigned char image[torvane::kMaxHeaderSize] = {};
    const std::size_t got = std::fread(image, 1, sizeof(image), in.file.get());
    const std::size_t own = got > offsetof(LASHeader, VersionMinor)
                                ? torvane::header_size_of_version(image[offsetof(LASHeader, VersionMinor)])
                                : LASHeaderSize;
    const bool whole = got >= own;
    struct stat st;
    const uint64_t size = ::fstat(::fileno(in.file.get()), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (entry.validated) {
        if (!whole || own != entry.headerBytes || size != entry.size ||
            std::memcmp(image, entry.header.data(), own) != 0)
            fail_changed(name);
    } else {
        if (!whole) not_valid(name);
        validate_layout(name, torvane::header_from_bytes(image, own), size);
        std::memcpy(entry.header.data(), image, own);
        entry.headerBytes = own;
        entry.size = size;
        entry.validated = true;
    }
    in.header = torvane::header_from_bytes(image, own);
    in.format = &torvane::point_format(in.header.PointDataFormatID);
    in.points = static_cast<uint32_t>(torvane::point_count(in.header));
    in.recordLength = in.header.PointDataRecordLength;
    return in;
}

void read_input_at(LasInput& in, void* buffer, std::size_t bytes, uint64_t offset, const char* name) {
    int error = 0;
    if (read_at(::fileno(in.file.get()), buffer, bytes, offset, error) == bytes) return;
    if (error != 0) fail_because(error, name, "\nFailed to read point data from %s\n", name);
    fail_changed(name);  // shorter than it was when validated
}

void read_input(LasInput& in, void* buffer, std::size_t bytes, const char* name) {
    if (std::fread(buffer, 1, bytes, in.file.get()) == bytes) return;
    if (std::ferror(in.file.get())) fail_because(errno, name, "\nFailed to read point data from %s\n", name);
    fail_changed(name);  // shorter than it was when validated
}

FileIdentity identity_of(const struct stat& st) {
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                        static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                        static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

void check_identity(pairStruct& entry, int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) fail_because(errno, entry.LASName, "\nFailed to open file %s for reading\n",
                                            entry.LASName.c_str());
    const FileIdentity now = identity_of(st);
    if (!entry.identified) {
        entry.identity = now;
        entry.identified = true;
    } else if (!(now == entry.identity)) {
        fail_changed(entry.LASName.c_str());
    }
}

}  // namespace quilvor
