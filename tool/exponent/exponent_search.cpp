// Within-pair intensity variance after normalization, and the golden-section
// search for the exponent that minimises it.
#include <cmath>
#include <future>
#include <system_error>

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

// The buffers of one thread's evaluations of V.
struct VarianceBuffers {
    Buffer<double> power;       // pow(R / M, e) by range
    Buffer<double> normalized;  // the normalized intensity of each return of a block
};

// Adds the squared differences of the normalized intensities of the pairs of
// block b to Q, in pair order; each return's normalized intensity is computed
// once, however many pairs it belongs to.
void add_squared_differences(const PairBlock& b, VarianceBuffers& buffers, double& Q) {
    buffers.normalized.resize_or_fail(b.nReturns,
                                      "\nFailed to allocate memory for structure of paired return attributes\n");
    const double* power = buffers.power.data();
    double* N = buffers.normalized.data();
    for (std::size_t r = 0; r < b.nReturns; ++r) {
        const PairedReturn& x = b.returns[r];
        N[r] = normalized_intensity(power, x.Range, x.Intensity, x.cosine);
    }
    double q = Q;
    for (std::size_t k = 0; k < b.nPairs; ++k) {
        const double N1 = N[b.index[2 * k]], N2 = N[b.index[2 * k + 1]];
        q += (N1 - N2) * (N1 - N2);
    }
    Q = q;
}

// V with its own table of powers, filled anew for each exponent.
double post_norm_variance(double factor, VarianceBuffers& buffers) {
    buffers.power.resize_or_fail(65536, "\nFailed to allocate memory for structure of paired return attributes\n");
    fill_range_power_table(buffers.power.data(), _meanRange, factor, _pairRangeLo, _pairRangeHi);
    double Q = 0.0;
    for (uint16_t i = 0; i < _fileCount; ++i)
        for_each_pair_block(i, [&Q, &buffers](const PairBlock& b) { add_squared_differences(b, buffers, Q); });
    return std::sqrt(Q / _allPairs);
}

// The values of V the search asks for. While this thread computes one, a
// second may compute, with `aside` (the same function), the value at a point
// the search may ask for next; a guessed value is only used for its own
// point, so the values, and the order of the iterations, are those of the
// search without it.
class Lookahead {
  public:
    Lookahead(const std::function<double(double)>& V, const std::function<double(double)>* aside)
        : V_(V), aside_(aside) {}
    ~Lookahead() {
        if (pending_.valid()) pending_.wait();
    }
    // V(x): the guessed value when x was the guess; otherwise computed here,
    // with V(next) started on the second thread when guessNext.
    double value(double x, bool guessNext = false, double next = 0) {
        if (pending_.valid() && x_ == x) return pending_.get();
        if (pending_.valid()) pending_.wait();  // a wrong guess: done by now, dropped
        pending_ = {};
        if (guessNext && aside_ != nullptr) {
            try {
                pending_ = std::async(std::launch::async, *aside_, next);
                x_ = next;
            } catch (const std::system_error&) {
                aside_ = nullptr;  // no second thread: go on without
            }
        }
        return V_(x);
    }

  private:
    const std::function<double(double)>& V_;
    const std::function<double(double)>* aside_;
    std::future<double> pending_;
    double x_ = 0;
};

}  // namespace

double cmpPostNormIntensityVar(double factor) {
    static VarianceBuffers buffers;
    return post_norm_variance(factor, buffers);
}

int golden_section_search(double ax, double bx, double cx, const std::function<double(double)>& V, double& xmin,
                          double& fmin, const std::function<double(double)>* aside) {
    Lookahead ahead(V, aside);
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
    double f1 = ahead.value(x1, true, x2);
    double f2 = ahead.value(x2);
    int iteration = 0;
    // Whether the search goes on from this bracket.
    const auto goes_on = [&] { return std::fabs(x3 - x0) > (std::fabs(x1) + std::fabs(x2)) * 0.001; };
    while (goes_on()) {
        ++iteration;
        std::printf("\r  ... Computing normalization factor -- Iteration %d%27s\r", iteration, "");
        std::fflush(stdout);
        // The guess: the next iteration moves the other way (it mostly does).
        if (f1 > f2) {
            x0 = x1;
            x1 = x2;
            x2 = R * x2 + x3 * C;
            f1 = f2;
            f2 = ahead.value(x2, goes_on(), R * x1 + x0 * C);
        } else {  // also when either value is not a number
            x3 = x2;
            x2 = x1;
            x1 = R * x1 + x0 * C;
            f2 = f1;
            f1 = ahead.value(x1, goes_on(), R * x2 + x3 * C);
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
    // With a second thread and every pair in memory, a value the search may
    // ask for next is computed meanwhile (pairs read from RAI files go through
    // the run's one set of read buffers, so they are summed on this thread only).
    bool ahead = _threads > 1;
    for (uint16_t i = 0; i < _fileCount; ++i) ahead = ahead && _pairInfo[i].nPairs > 0 && pairs_in_memory(i);
    static VarianceBuffers asideBuffers;
    const std::function<double(double)> aside = [](double e) { return post_norm_variance(e, asideBuffers); };
    golden_section_search(ax, bx, cx, cmpPostNormIntensityVar, _normFactor, _postNormIntensityVar,
                          ahead ? &aside : nullptr);
    if (std::isnan(_postNormIntensityVar)) fail_unnormalizable_ranges();
}

}  // namespace quilvor
