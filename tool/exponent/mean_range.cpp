// Mean range of the paired returns and the within-pair intensity variance before normalization.
#include <algorithm>
#include <cmath>

#include "exponent.h"

namespace quilvor {

namespace {

// The run's buffers for the pairs of files that are read from their RAI files.
struct PairReadBuffers {
    Buffer<RangeAngleIntensityStruct> records;
    PairedReturns returns;   // the two returns of pair k at 2k and 2k + 1
    Buffer<uint32_t> pairs;  // those positions, as PairPositions
};
PairReadBuffers& read_buffers() {
    static PairReadBuffers buffers;
    return buffers;
}

constexpr std::size_t kPairsPerBlock = std::size_t{1} << 16;

// A listed file in which the pair search found no pair: the specified
// message, and on standard error which file it is, the settings it was
// searched with and what to try.
[[noreturn]] void fail_without_pairs(const pairStruct& entry) {
    const std::string p = std::string(_programName) + ": ";
    std::string why = p + entry.LASName + " has no pairs: no two of its returns lie within " + _maxPairDistText +
                      " of each other with GPS times more than " + _minTimeText + " and less than " + _maxTimeText +
                      " apart\n";
    why += p + "try a larger max pair distance (with a search radius at least as large) or another GPS-time "
               "window between swaths, or leave " + entry.LASName + " out of the list: every listed file must "
               "hold pairs\n";
    throw Failure("\nFailed to open binary file " + entry.RAIName + " for reading\n", why);
}

}  // namespace

void for_each_pair_block(uint16_t i, const std::function<void(const PairBlock&)>& fn) {
    const pairStruct& entry = _pairInfo[i];
    const char* name = entry.RAIName.c_str();
    // A file without pairs has no RAI file of this run; a file of that name
    // left by an earlier run must not be read.
    if (entry.nPairs == 0) fail_without_pairs(entry);
    if (pairs_in_memory(i)) {
        const KeptPairs& k = _pairStore.files[i];
        fn(PairBlock(k.pairs.code.data(), k.pairs.escaped.data(), k.returns, k.returns.size(), entry.nPairs));
        return;
    }
    errno = 0;
    FilePtr f = torvane::open_regular_file(entry.RAIName);
    if (!f) fail_with_reason(open_reason(entry.RAIName), "\nFailed to open binary file %s for reading\n", name);
    PairReadBuffers& b = read_buffers();
    b.records.resize_or_fail(kPairsPerBlock, "\nFailed to allocate memory for structure of paired return attributes\n");
    if (!b.returns.resize(2 * kPairsPerBlock))
        fail("\nFailed to allocate memory for structure of paired return attributes\n");
    if (b.pairs.size() == 0) {  // pair k: returns 2k and 2k + 1, a step of 2 from the pair before
        b.pairs.resize_or_fail(kPairsPerBlock, "\nFailed to allocate memory for structure of paired return attributes\n");
        for (uint32_t k = 0; k < kPairsPerBlock; ++k)
            PairPositions::encode(k == 0 ? 0 : 2 * k - 2, 2 * k, 2 * k + 1, b.pairs[k]);
    }
    for (uint32_t done = 0; done < entry.nPairs;) {
        const std::size_t want = std::min<std::size_t>(kPairsPerBlock, entry.nPairs - done);
        if (std::fread(b.records.data(), sizeof(RangeAngleIntensityStruct), want, f.get()) != want)
            fail("\nBinary file %s holds fewer pair records than expected\n", name);
        for (std::size_t k = 0; k < want; ++k) {
            const RangeAngleIntensityStruct& r = b.records[k];
            b.returns.set(2 * k, incidence_cosine(r.Angle1), r.Range1, r.Intensity1);
            b.returns.set(2 * k + 1, incidence_cosine(r.Angle2), r.Range2, r.Intensity2);
        }
        fn(PairBlock(b.pairs.data(), nullptr, b.returns, 2 * want, want));
        done += static_cast<uint32_t>(want);
    }
}

void cmpMeanRange() {
    std::printf("\n  ... Computing mean range of paired returns ...");
    for (const pairStruct& entry : _pairInfo)
        if (entry.nPairs > _maxPairsForOneLASFile) _maxPairsForOneLASFile = entry.nPairs;
    uint16_t lo = 65535, hi = 0;
    for (uint16_t i = 0; i < _fileCount; ++i) {
        // Whole numbers with every partial sum below 2^53 (at most 2^32 pairs of
        // 2 x 65535): summed as integers, the same double as summed in pair order.
        uint64_t S = 0;
        for_each_pair_block(i, [&](const PairBlock& b) {
            b.for_each_pair([&](uint32_t i1, uint32_t i2) {
                const uint16_t R1 = b.range[i1], R2 = b.range[i2];
                S += static_cast<uint64_t>(R1 + R2);
                lo = std::min(lo, std::min(R1, R2));
                hi = std::max(hi, std::max(R1, R2));
            });
        });
        _pairInfo[i].meanRange = (static_cast<double>(S) / _pairInfo[i].nPairs) * 0.5;
    }
    _pairRangeLo = lo;
    _pairRangeHi = hi;
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
    double Q = 0.0;
    for (uint16_t i = 0; i < _fileCount; ++i)
        for_each_pair_block(i, [&Q](const PairBlock& b) {
            b.for_each_pair([&Q, &b](uint32_t i1, uint32_t i2) {
                const double d = static_cast<double>(int32_t{b.intensity[i1]} - int32_t{b.intensity[i2]});
                Q += d * d;
            });
        });
    _preNormIntensityVar = std::sqrt(Q / _allPairs);
}

}  // namespace quilvor
