// Mean range, within-pair intensity variances, exponent search and summary.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "pair_store.h"
#include "pairs.h"
#include "run_state.h"
#include "trajectory.h"

namespace quilvor {

void cmpMeanRange();
void cmpPreNormIntensityVar();
double cmpPostNormIntensityVar(double factor);
void calcRangeFactor(double ax, double bx, double cx);
// Pairs of files first to last - 1, normalized with mean range meanRange;
// their variance divides by pairs. A pass over them stays on the calling
// thread when oneThread (it runs one of several jobs at once); the values are
// the same either way.
struct PairScope {
    uint16_t first, last;
    double meanRange, pairs;
    bool oneThread = false;
};
// All pairs of the run, with the run's mean range.
PairScope all_pairs();
// V of the pairs of scope at n exponents (two a pass): each the same value as
// cmpPostNormIntensityVar gives for the scope of the whole run.
void post_norm_variances(const PairScope& scope, const double* factor, double* V, std::size_t n);
// V at two points in one call: how the search computes a value it may need
// next together with the one it needs.
using TogetherValues = std::function<std::pair<double, double>(double, double)>;
// Golden-section minimisation of V inside [ax, cx] starting from bx, with the
// iteration line; leaves the minimum's abscissa and value, returns the
// iterations. Values computed ahead change nothing of the result.
int golden_section_search(double ax, double bx, double cx, const std::function<double(double)>& V, double& xmin,
                          double& fmin, const TogetherValues* together = nullptr, bool progress = true);
// The search of calcRangeFactor over the bracket 0.01, 2.0, 4.0 on the pairs
// of scope, with or without the iteration line.
void search_exponent(const PairScope& scope, double& exponent, double& variance, bool progress);
// Stops the run when the ranges of the pairs leave nothing to normalize.
[[noreturn]] void fail_unnormalizable_ranges();
void delete_tmp_RAI_files();
void pairReport();

// One block of pairs: the positions of the returns of each pair (as in
// PairPositions) among the arrays of the block's returns.
struct PairBlock {
    const uint32_t* code;
    const uint32_t* escaped;
    const double* cosine;
    const uint16_t* range;
    const uint16_t* intensity;
    std::size_t nReturns, nPairs;
    PairBlock(const uint32_t* positions, const uint32_t* escapedPositions, const PairedReturns& r, std::size_t returns,
              std::size_t n)
        : code(positions), escaped(escapedPositions), cosine(r.cosine.data()), range(r.range.data()),
          intensity(r.intensity.data()), nReturns(returns), nPairs(n) {}
    // Calls fn(i1, i2) with the positions of the returns of each pair, in pair order.
    template <class Fn>
    void for_each_pair(Fn&& fn) const {
        for_each_position_pair(code, escaped, nPairs, fn);
    }
};
// Calls fn(block) for the pairs of entry i in pair order, in blocks: from
// memory when they were kept there, otherwise read from its RAI file through
// buffers allocated once per run (the cosines computed on the way).
void for_each_pair_block(uint16_t i, const std::function<void(const PairBlock&)>& fn);

// pow(R / meanRange, e) for every whole range R of 16 bits: the factor of the
// normalization formula, the same bits as computing it for each return.
std::vector<double> range_power_table(double meanRange, double e);
// The same for the ranges lo to hi alone.
void fill_range_power_table(double* power, double meanRange, double e, uint32_t lo = 0, uint32_t hi = 65535);
// The smallest and largest range of all pairs (set with the mean range): the
// part of the table that the exponent search reads.
extern uint16_t _pairRangeLo, _pairRangeHi;

// The normalized intensity ((R / M)^e x I) x cos(A), with the power taken
// from the table above and the cosine from incidence_cosine.
inline double normalized_intensity(const double* power, uint16_t range, uint16_t intensity, double cosine) {
    return power[range] * static_cast<double>(intensity) * cosine;
}
inline double normalized_intensity(const std::vector<double>& power, uint16_t range, uint16_t intensity,
                                   double cosine) {
    return normalized_intensity(power.data(), range, intensity, cosine);
}

}  // namespace quilvor
