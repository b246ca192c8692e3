// Within-pair intensity variance after normalization, and the golden-section
// search for the exponent that minimises it.
#include <cmath>

#include "exponent.h"

namespace quilvor {

uint16_t _pairRangeLo = 0, _pairRangeHi = 65535;

void fill_range_power_table(double* power, double meanRange, double e, uint32_t lo, uint32_t hi) {
    for (uint32_t R = lo; R <= hi; ++R) power[R] = std::pow(static_cast<double>(R) / meanRange, e);
}

std::vector<double> range_power_table(double meanRange, double e) {
    std::vector<double> power;
    allocate_or_fail(power, 65536, "\nFailed to allocate memory for structure of paired return attributes\n");
    fill_range_power_table(power.data(), meanRange, e);
    return power;
}

namespace {

// Adds the squared differences of the normalized intensities of n pairs to Q,
// in pair order.
void add_squared_differences(const double* power, const PairTerms* p, std::size_t n, double& Q) {
    double q = Q;
    for (std::size_t k = 0; k < n; ++k) {
        const double N1 = normalized_intensity(power, p[k].Range1, p[k].Intensity1, p[k].cos1);
        const double N2 = normalized_intensity(power, p[k].Range2, p[k].Intensity2, p[k].cos2);
        q += (N1 - N2) * (N1 - N2);
    }
    Q = q;
}

}  // namespace

double cmpPostNormIntensityVar(double factor) {
    static Buffer<double> power;  // one table for the run, filled anew for each exponent
    power.resize_or_fail(65536, "\nFailed to allocate memory for structure of paired return attributes\n");
    fill_range_power_table(power.data(), _meanRange, factor, _pairRangeLo, _pairRangeHi);
    double Q = 0.0;
    for (uint16_t i = 0; i < _fileCount; ++i)
        for_each_pair_block(
            i, [&Q](const PairTerms* p, std::size_t n) { add_squared_differences(power.data(), p, n, Q); });
    return std::sqrt(Q / _allPairs);
}

int golden_section_search(double ax, double bx, double cx, const std::function<double(double)>& V, double& xmin,
                          double& fmin) {
    const double R = 0.61803399;
    const double C = 1 - R;
    double x0 = ax, x1, x2, x3 = cx;
    if (std::fabs(cx - bx) > std::fabs(bx - ax)) {
        x1 = bx;
        x2 = (cx - bx) * C + bx;
    } else {
        x2 = bx;
        x1 = bx - (bx - ax) * C;
    }
    double f1 = V(x1);
    double f2 = V(x2);
    int iteration = 0;
    while (std::fabs(x3 - x0) > (std::fabs(x1) + std::fabs(x2)) * 0.001) {
        ++iteration;
        std::printf("\r  ... Computing normalization factor -- Iteration %d%27s\r", iteration, "");
        std::fflush(stdout);
        if (f1 > f2) {
            x0 = x1;
            x1 = x2;
            x2 = R * x2 + x3 * C;
            f1 = f2;
            f2 = V(x2);
        } else {  // also when either value is not a number
            x3 = x2;
            x2 = x1;
            x1 = R * x1 + x0 * C;
            f2 = f1;
            f1 = V(x1);
        }
    }
    if (f2 > f1) {
        xmin = x1;
        fmin = f1;
    } else {
        xmin = x2;
        fmin = f2;
    }
    return iteration;
}

void calcRangeFactor(double ax, double bx, double cx) {
    golden_section_search(ax, bx, cx, cmpPostNormIntensityVar, _normFactor, _postNormIntensityVar);
    if (std::isnan(_postNormIntensityVar)) fail_unnormalizable_ranges();
}

}  // namespace quilvor
