// LAS_Trajectory: symmetric positive definite band systems, by Cholesky.
#include <algorithm>
#include <cmath>

#include "las_trajectory.h"

namespace las_trajectory {

// A = U'U with U upper triangular, in the band storage of A.
bool factor_banded(std::vector<double>& a, std::size_t n, std::size_t w) {
    const std::size_t stride = w + 1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t k0 = i > w ? i - w : 0;
        double d = a[i * stride];
        for (std::size_t k = k0; k < i; ++k) d -= a[k * stride + (i - k)] * a[k * stride + (i - k)];
        if (!(d > 1e-12 * std::fabs(a[i * stride])) || !(d > 0)) return false;
        const double uii = std::sqrt(d);
        a[i * stride] = uii;
        for (std::size_t j = i + 1; j <= std::min(n - 1, i + w); ++j) {
            double s = a[i * stride + (j - i)];
            for (std::size_t k = std::max(k0, j > w ? j - w : 0); k < i; ++k)
                s -= a[k * stride + (i - k)] * a[k * stride + (j - k)];
            a[i * stride + (j - i)] = s / uii;
        }
    }
    return true;
}

void solve_factored(const std::vector<double>& a, std::vector<double>& b, std::size_t n, std::size_t w) {
    const std::size_t stride = w + 1;
    for (std::size_t i = 0; i < n; ++i) {  // U'y = b
        double s = b[i];
        for (std::size_t k = (i > w ? i - w : 0); k < i; ++k) s -= a[k * stride + (i - k)] * b[k];
        b[i] = s / a[i * stride];
    }
    for (std::size_t i = n; i-- > 0;) {  // Ux = y
        double s = b[i];
        for (std::size_t j = i + 1; j <= std::min(n - 1, i + w); ++j) s -= a[i * stride + (j - i)] * b[j];
        b[i] = s / a[i * stride];
    }
}

bool solve_banded(std::vector<double>& a, std::vector<double>& b, std::size_t n, std::size_t w) {
    if (!factor_banded(a, n, w)) return false;
    solve_factored(a, b, n, w);
    return true;
}

}  // namespace las_trajectory
