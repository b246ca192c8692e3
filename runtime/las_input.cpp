// Opening a listed LAS file: the first read validates its header and size,
// every later read finds them unchanged or stops the run.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "las_input.h"

namespace quilvor {

using torvane::LAS12Header;
using torvane::LASHeaderSize;

namespace {

[[noreturn]] void not_valid(const char* name) { fail("\n%s is not a valid .las file\n\n", name); }

}  // namespace

void fail_changed(const char* name) { fail("\nFile %s changed while it was being processed\n", name); }

void validate_layout(const char* name, const unsigned char* image, uint64_t size) {
    const LAS12Header h = torvane::header_from_bytes(image);
    // check_las accepted format 1 (28-byte records) or 3 (34 bytes): the GPS
    // time lies at byte 20 of every record. Anything else was written since.
    const bool gpsLayout = (h.PointDataFormatID == 1 && h.PointDataRecordLength == 28) ||
                           (h.PointDataFormatID == 3 && h.PointDataRecordLength == 34);
    if (!gpsLayout) fail_changed(name);

    const double scales[3] = {h.XScaleFactor, h.YScaleFactor, h.ZScaleFactor};
    const double others[9] = {h.XOffset, h.YOffset, h.ZOffset, h.MaxX, h.MinX, h.MaxY, h.MinY, h.MaxZ, h.MinZ};
    bool valid = h.OffsetToData >= LASHeaderSize;
    for (double s : scales) valid = valid && s != 0.0 && std::isfinite(s);
    for (double v : others) valid = valid && std::isfinite(v);
    if (!valid) not_valid(name);

    const uint64_t pointBytes = static_cast<uint64_t>(h.NumberOfPointReturns) * h.PointDataRecordLength;
    if (pointBytes > 2147483647u)
        fail("\nFile %s is too large: its point data exceed 2147483647 bytes\n", name);
    if (size < static_cast<uint64_t>(h.OffsetToData) + pointBytes) {
        const uint64_t holds = size > h.OffsetToData ? (size - h.OffsetToData) / h.PointDataRecordLength : 0;
        fail("\nFile %s is truncated: its header declares %u points but it holds only %u\n", name,
             h.NumberOfPointReturns, static_cast<unsigned>(holds));
    }
}

LasInput open_las_input(pairStruct& entry, const char* openFailure) {
    const char* name = entry.LASName.c_str();
    LasInput in;
    in.file = torvane::open_regular_file(entry.LASName);
    if (!in.file) fail(openFailure, name);
    unsigned char image[LASHeaderSize];
    const bool whole = std::fread(image, 1, LASHeaderSize, in.file.get()) == LASHeaderSize;
    struct stat st;
    const uint64_t size = ::fstat(::fileno(in.file.get()), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (entry.validated) {
        if (!whole || size != entry.size || std::memcmp(image, entry.header.data(), LASHeaderSize) != 0)
            fail_changed(name);
    } else {
        if (!whole) not_valid(name);
        validate_layout(name, image, size);
        std::memcpy(entry.header.data(), image, LASHeaderSize);
        entry.size = size;
        entry.validated = true;
    }
    in.header = torvane::header_from_bytes(image);
    return in;
}

void read_input_at(LasInput& in, void* buffer, std::size_t bytes, uint64_t offset, const char* name) {
    unsigned char* p = static_cast<unsigned char*>(buffer);
    while (bytes > 0) {
        const ssize_t got = ::pread(::fileno(in.file.get()), p, bytes, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail("\nFailed to read point data from %s\n", name);
        if (got == 0) fail_changed(name);  // shorter than it was when validated
        p += got;
        bytes -= static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
}

void read_input(LasInput& in, void* buffer, std::size_t bytes, const char* name) {
    if (std::fread(buffer, 1, bytes, in.file.get()) == bytes) return;
    if (std::ferror(in.file.get())) fail("\nFailed to read point data from %s\n", name);
    fail_changed(name);  // shorter than it was when validated
}

}  // namespace quilvor
