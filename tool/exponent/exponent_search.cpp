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

double cmpPostNormIntensityVar(double factor) {
    std::vector<RangeAngleIntensityStruct> buffer;
    allocate_or_fail(buffer, _maxPairsForOneLASFile,
                     "\nFailed to allocate memory for structure of paired return attributes\n");
    const std::vector<double> power = range_power_table(_meanRange, factor);
    double Q = 0.0;
    for (uint16_t i = 0; i < _fileCount; ++i) {
        read_RAI_file(i, buffer);
        const uint32_t nPairs = _pairInfo[i].nPairs;
        for (uint32_t k = 0; k < nPairs; ++k) {
            const RangeAngleIntensityStruct& r = buffer[k];
            const double N1 = normalized_intensity(power, r.Range1, r.Intensity1, r.Angle1);
            const double N2 = normalized_intensity(power, r.Range2, r.Intensity2, r.Angle2);
            Q += (N1 - N2) * (N1 - N2);
        }
    }
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
}

}  // namespace quilvor
