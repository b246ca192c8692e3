// Loading the trajectory ("reference data") and ordering it by time.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "trajectory.h"

namespace quilvor {

void load_reference_data(const char* refdatafile) {
    FilePtr fref(std::fopen(refdatafile, "r"));
    if (!fref) fail("\nCannot open ASCII file with reference data %s for reading\n", refdatafile);
    std::printf("\n... Loading reference data ...\r");

    std::string text = read_whole_text(fref.get());
    const std::vector<char*> tokens = split_tokens(text);
    const std::size_t records = tokens.size() / 4;
    if (records == 0) fail("\nNo reference data records in %s\n", refdatafile);
    if (records > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        fail("\nFailed to allocate memory for reference data\n");
    _refDataRecords = static_cast<uint32_t>(records);
    allocate_or_fail(_rd, _refDataRecords, "\nFailed to allocate memory for reference data\n");

    _rd = sort_reference_data_by_time(tokens, refdatafile);
}

std::vector<refDataStruct> sort_reference_data_by_time(const std::vector<char*>& tokens,
                                                       const char* refdatafile) {
    const uint32_t n = _refDataRecords;
    if (_rd.size() < n) allocate_or_fail(_rd, n, "\nFailed to allocate memory for reference data\n");
    for (uint32_t k = 0; k < n; ++k) {
        _rd[k].X = std::strtod(tokens[4 * static_cast<std::size_t>(k)], nullptr);
        _rd[k].Y = std::strtod(tokens[4 * static_cast<std::size_t>(k) + 1], nullptr);
        _rd[k].Z = std::strtod(tokens[4 * static_cast<std::size_t>(k) + 2], nullptr);
        _rd[k].T = std::strtod(tokens[4 * static_cast<std::size_t>(k) + 3], nullptr);
    }
    for (uint32_t k = 0; k < n; ++k) {
        const refDataStruct& s = _rd[k];
        if (!std::isfinite(s.X) || !std::isfinite(s.Y) || !std::isfinite(s.Z) || !std::isfinite(s.T))
            fail("\nReference data in %s hold a value that is not a finite number\n", refdatafile);
    }

    // Each quantity must vary. The extremes start from the first sample.
    double tMin = 0.0, tMax = 0.0;
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
        tMin = lo;
        tMax = hi;
    }
    _refTimeMin = tMin;
    _refTimeMax = tMax;

    std::vector<double> timeVec;
    allocate_or_fail(timeVec, n, "/nFailed to allocate memory for the reference time vector\n");
    for (uint32_t k = 0; k < n; ++k) timeVec[k] = _rd[k].T;
    std::vector<int32_t> index;
    allocate_or_fail(index, n, "\nCannot allocate memore for time index vector\n");
    for (uint32_t k = 0; k < n; ++k) index[k] = static_cast<int32_t>(k);
    torvane::d_quicksort(timeVec.data(), static_cast<int32_t>(n), index.data());
    std::vector<double>().swap(timeVec);

    std::vector<refDataStruct> sorted;
    allocate_or_fail(sorted, n, "\nCannot allocate memory for sorted reference (aircraft) time data\n");
    for (uint32_t k = 0; k < n; ++k) sorted[k] = _rd[static_cast<uint32_t>(index[k])];
    std::vector<refDataStruct>().swap(_rd);

    std::printf("                Reference Data             \n");
    std::printf("-------------------------------------------\n");
    std::printf("File: %s\n", refdatafile);
    std::printf("Records:      %9u\n", n);
    std::printf("Minimum Time: %16.6f\n", _refTimeMin);
    std::printf("Maximum Time: %16.6f\n\n", _refTimeMax);
    return sorted;
}

}  // namespace quilvor
