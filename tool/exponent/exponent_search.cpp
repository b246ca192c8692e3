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
// block b to Q[j], in pair order, for each of K exponents (buffers[j] holds
// the powers of exponent j); each return's normalized intensity is computed
// once, however many pairs it belongs to. The sums of the K exponents are
// apart, so that the time of one sum (each addition waits for the one before)
// carries K of them.
template <int K>
void add_squared_differences(const PairBlock& b, VarianceBuffers* const (&buffers)[K], double (&Q)[K]) {
    const double* power[K];
    double* N[K];
    for (int j = 0; j < K; ++j) {
        buffers[j]->normalized.resize_or_fail(b.nReturns,
                                              "\nFailed to allocate memory for structure of paired return attributes\n");
        power[j] = buffers[j]->power.data();
        N[j] = buffers[j]->normalized.data();
    }
    for (std::size_t r = 0; r < b.nReturns; ++r)
        for (int j = 0; j < K; ++j) N[j][r] = normalized_intensity(power[j], b.range[r], b.intensity[r], b.cosine[r]);
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

// V at K exponents in one pass over the pairs, each with its own table of
// powers, filled anew: the same values as one pass for each.
template <int K>
void post_norm_variances(const double (&factor)[K], VarianceBuffers* const (&buffers)[K], double (&V)[K]) {
    double Q[K];
    for (int j = 0; j < K; ++j) {
        buffers[j]->power.resize_or_fail(65536,
                                         "\nFailed to allocate memory for structure of paired return attributes\n");
        fill_range_power_table(buffers[j]->power.data(), _meanRange, factor[j], _pairRangeLo, _pairRangeHi);
        Q[j] = 0.0;
    }
    for (uint16_t i = 0; i < _fileCount; ++i)
        for_each_pair_block(i, [&Q, &buffers](const PairBlock& b) { add_squared_differences(b, buffers, Q); });
    for (int j = 0; j < K; ++j) V[j] = std::sqrt(Q[j] / _allPairs);
}

double post_norm_variance(double factor, VarianceBuffers& buffers) {
    VarianceBuffers* const one[1] = {&buffers};
    double V[1];
    post_norm_variances({factor}, one, V);
    return V[0];
}

// The values of V the search asks for. A value the search may ask for next
// is computed beside the one it asks for now, on a second thread, or together
// with it in one pass; a guessed value is only used for its own point, so the
// values, and the order of the iterations, are those of the search without it.
class Lookahead {
  public:
    Lookahead(const std::function<double(double)>& V, const AheadValues& ahead) : V_(V), ahead_(ahead) {}
    ~Lookahead() {
        if (pending_.valid()) pending_.wait();
    }
    // V(x): the guessed value when x was the guess; otherwise computed here,
    // with V(next) too when guessNext.
    double value(double x, bool guessNext = false, double next = 0) {
        if (pending_.valid() && x_ == x) return pending_.get();
        if (ready_ && x_ == x) {
            ready_ = false;
            return readyValue_;
        }
        if (pending_.valid()) pending_.wait();  // a wrong guess: done by now, dropped
        pending_ = {};
        ready_ = false;
        if (guessNext && ahead_.beside != nullptr) {
            try {
                pending_ = std::async(std::launch::async, *ahead_.beside, next);
                x_ = next;
            } catch (const std::system_error&) {
                ahead_.beside = nullptr;  // no second thread: go on without
            }
        } else if (guessNext && ahead_.together != nullptr) {
            const auto [now, then] = (*ahead_.together)(x, next);
            x_ = next;
            readyValue_ = then;
            ready_ = true;
            return now;
        }
        return V_(x);
    }

  private:
    const std::function<double(double)>& V_;
    AheadValues ahead_;
    std::future<double> pending_;
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

int golden_section_search(double ax, double bx, double cx, const std::function<double(double)>& V, double& xmin,
                          double& fmin, const AheadValues& aheadValues) {
    Lookahead ahead(V, aheadValues);
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
    // ask for next is computed on it meanwhile; otherwise together with the
    // one asked for, in the same pass over the pairs (pairs read from RAI
    // files go through the run's one set of read buffers, so they are read on
    // this thread only, and once for both).
    bool inMemory = true;
    for (uint16_t i = 0; i < _fileCount; ++i) inMemory = inMemory && _pairInfo[i].nPairs > 0 && pairs_in_memory(i);
    static VarianceBuffers second;
    const std::function<double(double)> beside = [](double e) { return post_norm_variance(e, second); };
    const std::function<std::pair<double, double>(double, double)> together = [](double e1, double e2) {
        VarianceBuffers* const both[2] = {&search_buffers(), &second};
        double V[2];
        post_norm_variances({e1, e2}, both, V);
        return std::pair{V[0], V[1]};
    };
    AheadValues ahead;
    if (_threads > 1 && inMemory) ahead.beside = &beside;
    else ahead.together = &together;
    golden_section_search(ax, bx, cx, cmpPostNormIntensityVar, _normFactor, _postNormIntensityVar, ahead);
    if (std::isnan(_postNormIntensityVar)) fail_unnormalizable_ranges();
}

}  // namespace quilvor
