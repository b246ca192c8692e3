// Within-pair intensity variance after normalization, and the golden-section
// search for the exponent that minimises it.
#include <cmath>

#include "exponent.h"

namespace quilvor {

std::vector<double> range_power_table(double meanRange, double e) {
    std::vector<double> power;
    allocate_or_fail(power, 65536, "\nFailed to allocate memory for structure of paired return attributes\n");
    for (uint32_t R = 0; R < 65536; ++R) power[R] = std::pow(static_cast<double>(R) / meanRange, e);
    return power;
}

namespace {

// The cosines of the pairs' angles do not depend on the exponent: one search
// computes them once and keeps them for its later evaluations, up to a memory
// budget (the files beyond it are computed at every evaluation).
struct CosineCache {
    std::size_t budget = std::size_t{1} << 27;  // doubles: 1 GiB
    std::vector<std::vector<double>> perFile;   // two per pair, in pair order
};

double post_norm_variance(double factor, CosineCache* cache) {
    std::vector<RangeAngleIntensityStruct> buffer;
    allocate_or_fail(buffer, _maxPairsForOneLASFile,
                     "\nFailed to allocate memory for structure of paired return attributes\n");
    const std::vector<double> power = range_power_table(_meanRange, factor);
    if (cache != nullptr && cache->perFile.size() != _fileCount) cache->perFile.assign(_fileCount, {});
    double Q = 0.0;
    for (uint16_t i = 0; i < _fileCount; ++i) {
        read_RAI_file(i, buffer);
        const uint32_t nPairs = _pairInfo[i].nPairs;
        const double* cosines = nullptr;
        if (cache != nullptr) {
            std::vector<double>& c = cache->perFile[i];
            if (c.empty() && 2 * static_cast<std::size_t>(nPairs) <= cache->budget) {
                try {
                    c.resize(2 * static_cast<std::size_t>(nPairs));
                    for (uint32_t k = 0; k < nPairs; ++k) {
                        c[2 * static_cast<std::size_t>(k)] = incidence_cosine(buffer[k].Angle1);
                        c[2 * static_cast<std::size_t>(k) + 1] = incidence_cosine(buffer[k].Angle2);
                    }
                    cache->budget -= c.size();
                } catch (const std::bad_alloc&) {
                    std::vector<double>().swap(c);
                    cache->budget = 0;
                }
            }
            if (!c.empty()) cosines = c.data();
        }
        for (uint32_t k = 0; k < nPairs; ++k) {
            const RangeAngleIntensityStruct& r = buffer[k];
            const double c1 = cosines ? cosines[2 * static_cast<std::size_t>(k)] : incidence_cosine(r.Angle1);
            const double c2 = cosines ? cosines[2 * static_cast<std::size_t>(k) + 1] : incidence_cosine(r.Angle2);
            const double N1 = normalized_intensity(power, r.Range1, r.Intensity1, c1);
            const double N2 = normalized_intensity(power, r.Range2, r.Intensity2, c2);
            Q += (N1 - N2) * (N1 - N2);
        }
    }
    return std::sqrt(Q / _allPairs);
}

}  // namespace

double cmpPostNormIntensityVar(double factor) { return post_norm_variance(factor, nullptr); }

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
    CosineCache cache;
    golden_section_search(
        ax, bx, cx, [&cache](double e) { return post_norm_variance(e, &cache); }, _normFactor, _postNormIntensityVar);
    if (std::isnan(_postNormIntensityVar)) fail_unnormalizable_ranges();
}

}  // namespace quilvor
