// Writes the intensity-normalized copy of every LAS file of the list.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "driver.h"
#include "exponent.h"
#include "normalize.h"
#include "temp_files.h"
#include "trajectory.h"

namespace quilvor {

using torvane::load;

uint16_t stored_intensity(double v, bool truncate) {
    uint16_t value;
    if (!(v >= 0.0)) value = 0;  // negative or not a number
    else if (v >= 65535.0) value = 65535;
    else value = static_cast<uint16_t>(v);
    if (truncate) {
        if (value > 255) value = 255;
        else if (value == 0) value = 1;
    }
    return value;
}

namespace {

void normalize_file(pairStruct& entry, const std::vector<double>& power) {
    const char* name = entry.LASName.c_str();
    LasInput in = open_las_input(entry, "\nFailed to open file %s for reading\n");
    std::printf("\r  ... Normalizing intensity for file %s          \r", name);
    const torvane::LAS12Header pH = in.header;
    const uint32_t nPts = pH.NumberOfPointReturns;
    const uint16_t len = pH.PointDataRecordLength;
    const std::size_t pointBytes = static_cast<std::size_t>(nPts) * len;

    // Everything before the point data (header, variable-length records, any
    // start signature) is carried over byte for byte.
    auto preamble = allocate_bytes_or_fail(pH.OffsetToData, "\nFailed to allocate memory for data from %s\n", name);
    auto pLAS = allocate_bytes_or_fail(pointBytes, "\nFailed to allocate memory for data from %s\n", name);
    std::vector<double> GPSTimeVec;
    std::vector<int32_t> indexGPSTime;
    allocate_or_fail(GPSTimeVec, nPts, "\nFailed to allocate memory for vector of GPS Time for file %s\n", name);
    allocate_or_fail(indexGPSTime, nPts, "\nFailed to allocate memory for record index of %s\n", name);
    allocate_or_fail(_rangeVec, nPts, "\nFailed to allocated memory for range vector of %s returns\n", name);
    allocate_or_fail(_angleVec, nPts, "\nFailed to allocated memory for incidence angle vector of %s returns\n", name);

    std::rewind(in.file.get());
    read_input(in, preamble.get(), pH.OffsetToData, name);
    read_input(in, pLAS.get(), pointBytes, name);
    in.file.reset();

    if (nPts > 0) {
        for (uint32_t k = 0; k < nPts; ++k) {
            GPSTimeVec[k] = load<double>(pLAS.get() + static_cast<std::size_t>(k) * len +
                                         torvane::withinRecordOffsetToGPSTime);
            indexGPSTime[k] = static_cast<int32_t>(k);
        }
        // Every return is normalized from its own record and the trajectory
        // alone, so any ascending order of the times gives the same file; a
        // file already in time order (as most are delivered) needs no sort.
        if (!std::is_sorted(GPSTimeVec.begin(), GPSTimeVec.end()))
            torvane::d_quicksort(GPSTimeVec.data(), static_cast<int32_t>(nPts), indexGPSTime.data());
        std::vector<double>().swap(GPSTimeVec);
        for (uint32_t k = 0; k < nPts; ++k) indexGPSTime[k] *= len;
        _GPSTimeMin = load<double>(pLAS.get() + indexGPSTime[0] + torvane::withinRecordOffsetToGPSTime);
        _GPSTimeMax = load<double>(pLAS.get() + indexGPSTime[nPts - 1] + torvane::withinRecordOffsetToGPSTime);
        calc_RangeAndAngle(pLAS.get(), &pH, indexGPSTime.data(), nPts);

        const bool truncate = _truncateIntensityFlag == 0;
        for (uint32_t k = 0; k < nPts; ++k) {
            unsigned char* rec = pLAS.get() + indexGPSTime[k];
            const uint16_t intensity = load<uint16_t>(rec + torvane::withinRecordOffsetToIntensity);
            const double v = normalized_intensity(power, _rangeVec[k], intensity, incidence_cosine(_angleVec[k]));
            torvane::store<uint16_t>(rec + torvane::withinRecordOffsetToIntensity, stored_intensity(v, truncate));
        }
    }

    const std::string outName = normalizedName(entry.LASName);
    PendingOutput out;
    if (!begin_output(out, outName))
        fail("\nFailed to open file %s for writing intensity normalized data\n", outName.c_str());
    bool ok = std::fwrite(preamble.get(), 1, pH.OffsetToData, out.file.get()) == pH.OffsetToData;
    ok = ok && std::fwrite(pLAS.get(), 1, pointBytes, out.file.get()) == pointBytes;
    if (!ok) discard_output(out);
    if (!ok || !commit_output(out)) fail("\nFailed to write intensity normalized data to %s\n", outName.c_str());
    std::vector<uint16_t>().swap(_rangeVec);
    std::vector<float>().swap(_angleVec);
}

}  // namespace

void normalizeIntensity() {
    std::printf("\n");
    const std::vector<double> power = range_power_table(_meanRange, _normFactor);
    for (uint16_t t = 0; t < _fileCount; ++t) normalize_file(_pairInfo[t], power);
    std::printf("\r%79s\r", "");
}

}  // namespace quilvor
