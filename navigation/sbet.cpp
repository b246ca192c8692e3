// Reading, checking and writing SBET files.
#include "sbet.h"

#include <errno.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>

#include "run_state.h"
#include "Torvane_LiDAR.h"

namespace navigation {

using quilvor::fail;

namespace {

constexpr double kWeek = 604800.0;
constexpr double kPi = 3.14159265358979323846;

// The four fields of record k, by byte copy.
SbetSample decode(const unsigned char* r) {
    return {torvane::load<double>(r), torvane::load<double>(r + 8), torvane::load<double>(r + 16),
            torvane::load<double>(r + 24)};
}

// Every value of the record finite, the position on the ellipsoid's grid.
void check_values(const unsigned char* r, const SbetSample& s, std::size_t k, const std::string& path) {
    for (int v = 0; v < 17; ++v)
        if (!std::isfinite(torvane::load<double>(r + 8 * v)))
            fail("\nSBET file %s, record %zu: value %d is not a finite number\n", path.c_str(), k + 1, v + 1);
    if (std::fabs(s.latitude) > kPi / 2)
        fail("\nSBET file %s, record %zu: latitude %.9f rad lies outside [-pi/2, pi/2]\n", path.c_str(), k + 1,
             s.latitude);
    if (std::fabs(s.longitude) > 2 * kPi)
        fail("\nSBET file %s, record %zu: longitude %.9f rad lies outside [-2 pi, 2 pi]\n", path.c_str(), k + 1,
             s.longitude);
}

}  // namespace

namespace {

// A whole number of records, or the run ends naming the record cut short.
void check_size(uint64_t size, const std::string& path) {
    if (size % kSbetRecordBytes != 0)
        fail("\nSBET file %s: its size (%llu bytes) is not a whole number of %zu-byte records (record %llu is cut "
             "short)\n", path.c_str(), static_cast<unsigned long long>(size), kSbetRecordBytes,
             static_cast<unsigned long long>(size / kSbetRecordBytes + 1));
}

}  // namespace

std::vector<SbetSample> parse_sbet(const unsigned char* bytes, std::size_t size, const std::string& path) {
    check_size(size, path);
    const std::size_t n = size / kSbetRecordBytes;
    if (n == 0) fail("\nSBET file %s holds no record\n", path.c_str());
    std::vector<SbetSample> samples(n);
    double weeks = 0.0, previous = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const unsigned char* r = bytes + k * kSbetRecordBytes;
        SbetSample s = decode(r);
        check_values(r, s, k, path);
        // A time more than half a week before the last one begins a new week.
        if (k > 0 && s.time < previous) {
            if (previous - s.time <= kWeek / 2 || s.time + kWeek < previous)
                fail("\nSBET file %s, record %zu: time %.6f goes back from %.6f, which is no week rollover\n",
                     path.c_str(), k + 1, s.time, previous);
            weeks += kWeek;
        }
        previous = s.time;
        s.time += weeks;
        samples[k] = s;
    }
    return samples;
}

std::vector<SbetSample> read_sbet(const std::string& path) {
    errno = 0;
    torvane::FilePtr f = torvane::open_regular_file(path);
    if (!f) quilvor::fail_with_reason(quilvor::open_reason(path), "\nCannot open SBET file %s for reading\n", path.c_str());
    struct stat st;
    if (::fstat(::fileno(f.get()), &st) != 0)
        quilvor::fail_because(errno, path, "\nFailed to read SBET file %s\n", path.c_str());
    // The size first: a file that is no whole number of records is refused unread.
    check_size(static_cast<uint64_t>(st.st_size), path);
    // One read of the whole file: an hour of flight is about 100 MB.
    std::vector<unsigned char> bytes;
    quilvor::allocate_or_fail(bytes, static_cast<std::size_t>(st.st_size), "\nFailed to allocate memory for SBET file %s\n",
                              path.c_str());
    if (std::fread(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) {
        if (std::ferror(f.get())) quilvor::fail_because(errno, path, "\nFailed to read SBET file %s\n", path.c_str());
        fail("\nFailed to read SBET file %s (it changed while it was read)\n", path.c_str());
    }
    return parse_sbet(bytes.data(), bytes.size(), path);
}

bool write_sbet(const std::string& path, const std::vector<SbetSample>& samples) {
    torvane::FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f) return false;
    std::vector<unsigned char> bytes(samples.size() * kSbetRecordBytes, 0);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        unsigned char* r = bytes.data() + k * kSbetRecordBytes;
        torvane::store<double>(r, std::fmod(samples[k].time, kWeek));
        torvane::store<double>(r + 8, samples[k].latitude);
        torvane::store<double>(r + 16, samples[k].longitude);
        torvane::store<double>(r + 24, samples[k].height);
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size();
    return std::fclose(f.release()) == 0 && written;
}

}  // namespace navigation
