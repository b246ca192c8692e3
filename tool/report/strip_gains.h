// The exponent fitted together with one gain per strip: a least-squares fit
// of the differences of the log intensities of the pairs on the difference of
// their log ranges and the strips of their returns.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "certainty.h"

namespace quilvor {

// One strip: the paired returns of one point source ID with no gap in GPS
// time longer than the least time between swaths.
struct Strip {
    uint16_t source = 0;
    double firstTime = 0, lastTime = 0;  // its first and last paired return, less _rd's first time
    uint64_t pairs = 0;                  // the pairs one of whose returns it holds
    std::vector<uint16_t> files;         // the files whose pairs hold it, in list order
    uint32_t component = 0;              // its group of strips joined by pairs
    bool estimable = false;              // joined by pairs to the largest group
    double gain = 1, standardError = 0;  // 1 and 0 when not estimable
};

struct StripGains {
    bool valid = false;  // fitted, and its interval taken
    double exponent = 0;
    ExponentInterval interval;
    std::vector<Strip> strips;
    // By file: the strip of the first and the second return of each pair.
    std::vector<std::vector<uint16_t>> pairStrip;
    // The strips of each point source in time order (sourceFirst[s] to
    // sourceFirst[s + 1] of bySource), and the parameter of each strip in the
    // fit: 1 on for the strips whose log gain is fitted, -1 for the one strip
    // of each group whose log gain is held at 0 (the exponent is parameter 0).
    std::vector<uint32_t> sourceFirst, bySource;
    std::vector<int32_t> parameter;
    uint32_t parameters = 0;
    uint32_t mainComponent = 0;

    // The strip of a return of point source ID source at GPS time t (less
    // _rd's first time), or UINT32_MAX for a source without paired returns.
    uint32_t strip_of(uint16_t source, double t) const;
    // The gain a normalized intensity is divided by: 1 for a strip unknown or not estimable.
    double gain_of(uint16_t source, double t) const;
    // "point source N", with the time it starts when N was flown more than once.
    std::string name(uint32_t strip) const;
};
extern StripGains _stripGains;

// The sums of the fit of the pairs of one spatial block whose returns lie in
// strips a <= b: count, and the sums of u, u u, y and u y, with u the
// difference of the log ranges (second less first) and y that of the log of
// intensity times cosine (first less second), both turned about when the
// first return lies in the later strip; and the sum of the variances that
// rounding the ranges to whole units adds to u, (1 / R1^2 + 1 / R2^2) / 12,
// which the fit takes off the sum of u u (the slope would shrink by it).
struct GainTerm {
    uint32_t block, a, b;
    double n, su, suu, sy, suy, rounding;
};
// The terms of the pairs of one file, gathered in pair order.
struct GainTerms {
    std::vector<GainTerm> terms;
    std::unordered_map<uint64_t, uint32_t> index;
    uint64_t lastKey = UINT64_MAX;
    uint32_t last = 0;
    void add(uint32_t block, uint32_t a, uint32_t b, double u, double y, double rounding);
};

// The strips of the pairs from _pairStrips (which it then releases): fills
// strips (without gains), pairStrip, the groups and the parameters.
void assign_strips();
// Fits the exponent and the log gains of the strips to the terms, each
// weighted by weight[its block] (all 1 when weight is nullptr); the log gains
// of each group of strips average 0. False when the equations are singular.
bool fit_strip_gains(const std::vector<GainTerm>& terms, const std::vector<double>* weight, double& exponent,
                     std::vector<double>& logGain);

}  // namespace quilvor
