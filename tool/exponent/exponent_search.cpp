// Within-pair intensity variance after normalization, and the golden-section
// search for the exponent that minimises it.
#include <cmath>

#include "exponent.h"
#include "parallel.h"

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

// The normalized intensities of returns first .. last - 1 of block b, for each of K exponents.
template <int K>
void normalize_returns(const PairBlock& b, const double* const (&power)[K], double* const (&N)[K], std::size_t first,
                       std::size_t last) {
    for (std::size_t r = first; r < last; ++r)
        for (int j = 0; j < K; ++j) N[j][r] = normalized_intensity(power[j], b.range[r], b.intensity[r], b.cosine[r]);
}

// Adds the squared differences of the normalized intensities n of the pairs of
// block b to sum, in pair order.
void add_pair_terms(const PairBlock& b, const double* n, double& sum) {
    double q = sum;
    b.for_each_pair([&q, n](uint32_t i1, uint32_t i2) {
        const double N1 = n[i1], N2 = n[i2];
        q += (N1 - N2) * (N1 - N2);
    });
    sum = q;
}

// The same for K exponents side by side, in one pass.
template <int K>
void add_pair_terms(const PairBlock& b, double* const (&N)[K], double (&Q)[K]) {
    double q[K];
    for (int j = 0; j < K; ++j) q[j] = Q[j];
    b.for_each_pair([&q, &N](uint32_t i1, uint32_t i2) {
        for (int j = 0; j < K; ++j) {
            const double N1 = N[j][i1], N2 = N[j][i2];
            q[j] += (N1 - N2) * (N1 - N2);
        }
    });
    for (int j = 0; j < K; ++j) Q[j] = q[j];
}

// The same with each return's normalized intensity computed where a pair
// needs it (the same value), without an array of them: for a pass on one
// thread among other jobs, which touches no fresh memory.
template <int K>
void add_pair_terms_direct(const PairBlock& b, const double* const (&power)[K], double (&Q)[K]) {
    double q[K];
    for (int j = 0; j < K; ++j) q[j] = Q[j];
    b.for_each_pair([&q, &power, &b](uint32_t i1, uint32_t i2) {
        const uint16_t R1 = b.range[i1], I1 = b.intensity[i1], R2 = b.range[i2], I2 = b.intensity[i2];
        const double c1 = b.cosine[i1], c2 = b.cosine[i2];
        for (int j = 0; j < K; ++j) {
            const double N1 = normalized_intensity(power[j], R1, I1, c1), N2 = normalized_intensity(power[j], R2, I2, c2);
            q[j] += (N1 - N2) * (N1 - N2);
        }
    });
    for (int j = 0; j < K; ++j) Q[j] = q[j];
}

// Blocks of fewer returns than this are done on one thread (threads are
// started for each block, and the pairs read from RAI files come in blocks of
// 65,536).
constexpr std::size_t kSharedBlock = std::size_t{1} << 20;

// Adds the squared differences of the normalized intensities of the pairs of
// block b to Q[j], in pair order, for each of K exponents (buffers[j] holds
// the powers of exponent j); each return's normalized intensity is computed
// once, however many pairs it belongs to. Each sum waits for its addition
// before, so one pass carries K of them: on one thread side by side, on
// several threads one sum each (the normalized intensities computed by all
// threads in ranges of returns first). When oneThread, side by side with
// the normalized intensities computed pair by pair.
template <int K>
void add_squared_differences(const PairBlock& b, VarianceBuffers* const (&buffers)[K], double (&Q)[K],
                             bool oneThread) {
    const double* power[K];
    for (int j = 0; j < K; ++j) power[j] = buffers[j]->power.data();
    if (oneThread) {
        add_pair_terms_direct(b, power, Q);
        return;
    }
    double* N[K];
    for (int j = 0; j < K; ++j) {
        buffers[j]->normalized.resize_or_fail(b.nReturns,
                                              "\nFailed to allocate memory for structure of paired return attributes\n");
        N[j] = buffers[j]->normalized.data();
    }
    if (_threads < K || b.nReturns < kSharedBlock) {
        normalize_returns(b, power, N, 0, b.nReturns);
        add_pair_terms(b, N, Q);
        return;
    }
    const Ranges returns(static_cast<uint32_t>(b.nReturns));
    run_parts(returns.count,
              [&](unsigned part) { normalize_returns(b, power, N, returns.first(part), returns.first(part + 1)); });
    run_parts(K, [&](unsigned j) { add_pair_terms(b, N[j], Q[j]); });
}

// V at K exponents in one pass over the pairs of scope, each with its own
// table of powers, filled anew: the same values as one pass for each.
template <int K>
void post_norm_variances(const double (&factor)[K], VarianceBuffers* const (&buffers)[K], double (&V)[K],
                         const PairScope& scope) {
    double Q[K];
    for (int j = 0; j < K; ++j) {
        buffers[j]->power.resize_or_fail(65536,
                                         "\nFailed to allocate memory for structure of paired return attributes\n");
        fill_range_power_table(buffers[j]->power.data(), scope.meanRange, factor[j], _pairRangeLo, _pairRangeHi);
        Q[j] = 0.0;
    }
    for (uint16_t i = scope.first; i < scope.last; ++i)
        for_each_pair_block(i, [&Q, &buffers, &scope](const PairBlock& b) {
            add_squared_differences(b, buffers, Q, scope.oneThread);
        });
    for (int j = 0; j < K; ++j) V[j] = std::sqrt(Q[j] / scope.pairs);
}

double post_norm_variance(double factor, VarianceBuffers& buffers) {
    VarianceBuffers* const one[1] = {&buffers};
    double V[1];
    post_norm_variances({factor}, one, V, all_pairs());
    return V[0];
}

// The values of V the search asks for. A value the search may ask for next
// is computed together with the one it asks for now, in one pass; a guessed
// value is only used for its own point, so the values, and the order of the
// iterations, are those of the search without it.
class Lookahead {
  public:
    Lookahead(const std::function<double(double)>& V, const TogetherValues* together) : V_(V), together_(together) {}
    // V(x): the guessed value when x was the guess; otherwise computed here,
    // with V(next) too when guessNext.
    double value(double x, bool guessNext = false, double next = 0) {
        if (ready_ && x_ == x) {
            ready_ = false;
            return readyValue_;
        }
        ready_ = false;
        if (guessNext && together_ != nullptr) {
            const auto [now, then] = (*together_)(x, next);
            x_ = next;
            readyValue_ = then;
            ready_ = true;
            return now;
        }
        return V_(x);
    }

  private:
    const std::function<double(double)>& V_;
    const TogetherValues* together_;
    bool ready_ = false;
    double readyValue_ = 0;
    double x_ = 0;
};

VarianceBuffers& search_buffers() {
    static VarianceBuffers buffers;
    return buffers;
}

}  // namespace

double cmpPostNormIntensityVar(double factor) { return post_norm_variance(factor, search_buffers()); }

PairScope all_pairs() { return PairScope{0, _fileCount, _meanRange, _allPairs}; }

void post_norm_variances(const PairScope& scope, const double* factor, double* V, std::size_t n) {
    VarianceBuffers b[2];
    VarianceBuffers* const two[2] = {&b[0], &b[1]};
    VarianceBuffers* const one[1] = {&b[0]};
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) {
        double v[2];
        post_norm_variances({factor[k], factor[k + 1]}, two, v, scope);
        V[k] = v[0];
        V[k + 1] = v[1];
    }
    if (k < n) {
        double v[1];
        post_norm_variances({factor[k]}, one, v, scope);
        V[k] = v[0];
    }
}

void search_exponent(const PairScope& scope, double& exponent, double& variance, bool progress) {
    // A value the search may ask for next is computed together with the one
    // it asks for, in the same pass over the pairs (pairs read from RAI files
    // go through the run's one set of read buffers, and are read once for both).
    VarianceBuffers first, second;
    const std::function<double(double)> V = [&](double e) {
        VarianceBuffers* const one[1] = {&first};
        double v[1];
        post_norm_variances({e}, one, v, scope);
        return v[0];
    };
    const TogetherValues together = [&](double e1, double e2) {
        VarianceBuffers* const both[2] = {&first, &second};
        double v[2];
        post_norm_variances({e1, e2}, both, v, scope);
        return std::pair{v[0], v[1]};
    };
    golden_section_search(0.01, 2.0, 4.0, V, exponent, variance, &together, progress);
}

int golden_section_search(double ax, double bx, double cx, const std::function<double(double)>& V, double& xmin,
                          double& fmin, const TogetherValues* together, bool progress) {
    Lookahead ahead(V, together);
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
        if (progress) {
            std::printf("\r  ... Computing normalization factor -- Iteration %d%27s\r", iteration, "");
            std::fflush(stdout);
        }
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
    // A value the search may ask for next is computed together with the one
    // it asks for, in the same pass over the pairs (pairs read from RAI files
    // go through the run's one set of read buffers, and are read once for both).
    VarianceBuffers second;
    const TogetherValues together = [&second](double e1, double e2) {
        VarianceBuffers* const both[2] = {&search_buffers(), &second};
        double V[2];
        post_norm_variances({e1, e2}, both, V, all_pairs());
        return std::pair{V[0], V[1]};
    };
    golden_section_search(ax, bx, cx, cmpPostNormIntensityVar, _normFactor, _postNormIntensityVar, &together);
    // The normalized intensities of the largest file's pairs, twice: memory
    // the normalized copies can have next.
    search_buffers() = VarianceBuffers{};
    if (std::isnan(_postNormIntensityVar)) fail_unnormalizable_ranges();
}

}  // namespace quilvor
