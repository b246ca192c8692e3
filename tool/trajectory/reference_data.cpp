// Loading the trajectory ("reference data") and ordering it by time.
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "trajectory.h"

namespace quilvor {

namespace {

constexpr uint64_t maxRecords = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

// Reads the samples into _rd, four tokens each; an incomplete last group is
// ignored. A regular file is counted first, so that the array is allocated
// once at its final size; from a pipe the array grows as samples arrive.
// Memory: the samples and one read block.
void read_samples(std::FILE* f, const char* refdatafile) {
    TokenReader reader(f);
    std::string token;
    struct stat st;
    const bool seekable = ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    uint64_t limit = maxRecords;
    try {
        _rd.clear();
        if (seekable) {
            uint64_t tokens = 0;
            while (reader.next(token)) ++tokens;
            if (tokens / 4 > maxRecords) fail("\nFailed to allocate memory for reference data\n");
            limit = tokens / 4;
            _rd.reserve(static_cast<std::size_t>(limit));
            reader.restart();
        }
        double v[4];
        int k = 0;
        while (_rd.size() < limit && reader.next(token)) {
            v[k++] = std::strtod(token.c_str(), nullptr);
            if (k < 4) continue;
            if (_rd.size() == maxRecords) fail("\nFailed to allocate memory for reference data\n");
            _rd.push_back(refDataStruct{v[0], v[1], v[2], v[3]});
            k = 0;
        }
    } catch (const std::bad_alloc&) {
        fail("\nFailed to allocate memory for reference data\n");
    } catch (const std::length_error&) {
        fail("\nFailed to allocate memory for reference data\n");
    }
    if (std::ferror(f)) fail("\nCannot read ASCII file with reference data %s\n", refdatafile);
}

// The samples must be finite, and each of X, Y, Z and T must vary. The
// extremes start from the first sample.
void check_ranges(const char* refdatafile) {
    const uint32_t n = _refDataRecords;
    for (const refDataStruct& s : _rd)
        if (!std::isfinite(s.X) || !std::isfinite(s.Y) || !std::isfinite(s.Z) || !std::isfinite(s.T))
            fail("\nReference data in %s hold a value that is not a finite number\n", refdatafile);
    const char* letters = "XYZT";
    for (int q = 0; q < 4 && n > 0; ++q) {
        auto value = [q](const refDataStruct& s) { return q == 0 ? s.X : q == 1 ? s.Y : q == 2 ? s.Z : s.T; };
        double lo = value(_rd[0]), hi = value(_rd[0]);
        for (uint32_t k = 1; k < n; ++k) {
            const double v = value(_rd[k]);
            if (v > hi) hi = v;
            if (v < lo) lo = v;
        }
        if (hi == lo) fail("\nData range of %c in %s is zero\n", letters[q], refdatafile);
        if (q == 3) {
            _refTimeMin = lo;
            _refTimeMax = hi;
        }
    }
}

bool strictly_ascending_times() {
    for (std::size_t k = 1; k < _rd.size(); ++k)
        if (!(_rd[k - 1].T < _rd[k].T)) return false;
    return true;
}

}  // namespace

void load_reference_data(const char* refdatafile) {
    FilePtr fref(std::fopen(refdatafile, "r"));
    if (!fref) fail("\nCannot open ASCII file with reference data %s for reading\n", refdatafile);
    std::printf("\n... Loading reference data ...\r");
    read_samples(fref.get(), refdatafile);
    if (_rd.empty()) fail("\nNo reference data records in %s\n", refdatafile);
    _refDataRecords = static_cast<uint32_t>(_rd.size());
    _rd = sort_reference_data_by_time(refdatafile);
}

std::vector<refDataStruct> sort_reference_data_by_time(const char* refdatafile) {
    const uint32_t n = _refDataRecords;
    check_ranges(refdatafile);

    std::vector<refDataStruct> sorted;
    if (strictly_ascending_times()) {
        // The sort would leave every sample where it is.
        sorted.swap(_rd);
    } else {
        std::vector<double> timeVec;
        allocate_or_fail(timeVec, n, "/nFailed to allocate memory for the reference time vector\n");
        for (uint32_t k = 0; k < n; ++k) timeVec[k] = _rd[k].T;
        std::vector<int32_t> index;
        allocate_or_fail(index, n, "\nCannot allocate memore for time index vector\n");
        for (uint32_t k = 0; k < n; ++k) index[k] = static_cast<int32_t>(k);
        torvane::d_quicksort(timeVec.data(), static_cast<int32_t>(n), index.data());
        std::vector<double>().swap(timeVec);

        try {
            sorted.reserve(n);
        } catch (const std::bad_alloc&) {
            fail("\nCannot allocate memory for sorted reference (aircraft) time data\n");
        }
        for (uint32_t k = 0; k < n; ++k) sorted.push_back(_rd[static_cast<uint32_t>(index[k])]);
        std::vector<refDataStruct>().swap(_rd);
    }

    std::printf("                Reference Data             \n");
    std::printf("-------------------------------------------\n");
    std::printf("File: %s\n", refdatafile);
    std::printf("Records:      %9u\n", n);
    std::printf("Minimum Time: %16.6f\n", _refTimeMin);
    std::printf("Maximum Time: %16.6f\n\n", _refTimeMax);
    return sorted;
}

}  // namespace quilvor
