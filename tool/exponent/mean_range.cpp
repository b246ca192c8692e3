// Mean range of the paired returns and the within-pair intensity variance before normalization.
#include <cmath>

#include "exponent.h"

namespace quilvor {

void read_RAI_file(uint16_t i, std::vector<RangeAngleIntensityStruct>& buffer) {
    const pairStruct& entry = _pairInfo[i];
    const char* name = entry.RAIName.c_str();
    // A file without pairs has no RAI file of this run; a file of that name
    // left by an earlier run must not be read.
    if (entry.nPairs == 0) fail("\nFailed to open binary file %s for reading\n", name);
    FilePtr f(std::fopen(name, "rb"));
    if (!f) fail("\nFailed to open binary file %s for reading\n", name);
    if (std::fread(buffer.data(), sizeof(RangeAngleIntensityStruct), entry.nPairs, f.get()) != entry.nPairs)
        fail("\nBinary file %s holds fewer pair records than expected\n", name);
}

namespace {
void allocate_pair_buffer(std::vector<RangeAngleIntensityStruct>& buffer) {
    allocate_or_fail(buffer, _maxPairsForOneLASFile,
                     "\nFailed to allocate memory for structure of paired return attributes\n");
}
}  // namespace

void cmpMeanRange() {
    std::printf("\n  ... Computing mean range of paired returns ...");
    for (const pairStruct& entry : _pairInfo)
        if (entry.nPairs > _maxPairsForOneLASFile) _maxPairsForOneLASFile = entry.nPairs;
    std::vector<RangeAngleIntensityStruct> buffer;
    allocate_pair_buffer(buffer);
    for (uint16_t i = 0; i < _fileCount; ++i) {
        read_RAI_file(i, buffer);
        const uint32_t nPairs = _pairInfo[i].nPairs;
        double S = 0.0;
        for (uint32_t k = 0; k < nPairs; ++k) S += static_cast<double>(buffer[k].Range1 + buffer[k].Range2);
        _pairInfo[i].meanRange = (S / nPairs) * 0.5;
    }
    std::vector<RangeAngleIntensityStruct>().swap(buffer);
    double W = 0.0;
    for (const pairStruct& entry : _pairInfo) {
        _allPairs += static_cast<double>(entry.nPairs);
        W += entry.nPairs * entry.meanRange;
    }
    _meanRange = W / _allPairs;
    // A trajectory in other units or another coordinate system than the LAS
    // files gives ranges of 0 or beyond the 16 bits of a range: nothing to normalize.
    if (!(_meanRange > 0.0 && std::isfinite(_meanRange)) || _meanRange == 65535.0) fail_unnormalizable_ranges();
}

void fail_unnormalizable_ranges() {
    fail("\nThe ranges of the paired returns cannot be normalized (mean range %.3f): check that the trajectory uses "
         "the coordinate system and units of the LAS files\n",
         _meanRange);
}

void cmpPreNormIntensityVar() {
    std::printf("\r  ... Computing within-pair intensity variance before normalization ...");
    std::vector<RangeAngleIntensityStruct> buffer;
    allocate_pair_buffer(buffer);
    double Q = 0.0;
    for (uint16_t i = 0; i < _fileCount; ++i) {
        read_RAI_file(i, buffer);
        const uint32_t nPairs = _pairInfo[i].nPairs;
        for (uint32_t k = 0; k < nPairs; ++k) {
            const double d = static_cast<double>(static_cast<int32_t>(buffer[k].Intensity1) -
                                                 static_cast<int32_t>(buffer[k].Intensity2));
            Q += d * d;
        }
    }
    _preNormIntensityVar = std::sqrt(Q / _allPairs);
}

}  // namespace quilvor
