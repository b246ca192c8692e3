// The interval of the exponent from given block sums and resamples: the
// parabola of each block, the resample's exponent about the exponent of all
// blocks, and the percentile interval of the replicates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "certainty.h"

using namespace quilvor;

namespace {

// The three sums of a block whose sum of squared differences is
// weight x ((e - minimum)^2 + 1), at exponent - kBlockStep, exponent, exponent + kBlockStep.
std::vector<double> parabola_sums(double exponent, double minimum, double weight) {
    std::vector<double> s;
    for (double e : {exponent - kBlockStep, exponent, exponent + kBlockStep})
        s.push_back(weight * ((e - minimum) * (e - minimum) + 1.0));
    return s;
}

// The replicates of resamples given as how often each block is drawn.
std::vector<double> replicates_of(double exponent, const std::vector<std::vector<double>>& sums,
                                  const std::vector<std::vector<unsigned>>& resamples) {
    double G = 0, H = 0;
    for (const std::vector<double>& s : sums) {
        const BlockParabola p = block_parabola(s.data());
        G += p.slope;
        H += p.curvature;
    }
    std::vector<double> out;
    for (const std::vector<unsigned>& counts : resamples) {
        double g = 0, h = 0;
        for (std::size_t b = 0; b < sums.size(); ++b) {
            const BlockParabola p = block_parabola(sums[b].data());
            g += counts[b] * p.slope;
            h += counts[b] * p.curvature;
        }
        out.push_back(exponent + resample_shift(g, h, G, H));
    }
    return out;
}

}  // namespace

// A block's parabola: its minimum from the three sums is where it lies.
TEST(Interval, BlockParabolaHasItsMinimumWhereTheSumsPutIt) {
    const double exponent = 2.0;
    for (const double minimum : {1.93, 2.0, 2.004, 2.07}) {
        const std::vector<double> s = parabola_sums(exponent, minimum, 3.0);
        const BlockParabola p = block_parabola(s.data());
        EXPECT_GT(p.curvature, 0.0);
        EXPECT_NEAR(exponent - p.slope * kBlockStep / (2 * p.curvature), minimum, 1e-12) << minimum;
        // The shift of all blocks from themselves is none.
        EXPECT_NEAR(resample_shift(p.slope, p.curvature, p.slope, p.curvature), 0.0, 1e-15);
    }
    EXPECT_TRUE(std::isnan(resample_shift(1.0, 0.0, 1.0, 2.0)));  // a drawn sum without a minimum
}

// 201 blocks of equal weight with minima spread about 2.013 while the run's
// exponent is 2.0; resample r draws every block once and block r once more,
// so its exponent is the mean of the minima with block r counted twice. The
// replicates are those minima less the minimum of all blocks, about 2.0.
TEST(Interval, KnownBlockSumsGiveAKnownInterval) {
    const double exponent = 2.0;
    const std::size_t blocks = 201;
    std::vector<double> minimum(blocks);
    for (std::size_t b = 0; b < blocks; ++b) minimum[b] = 2.013 + 0.0001 * static_cast<double>((b * 37) % blocks);
    std::vector<std::vector<double>> sums;
    for (double m : minimum) sums.push_back(parabola_sums(exponent, m, 1.0));
    std::vector<std::vector<unsigned>> resamples(blocks, std::vector<unsigned>(blocks, 1));
    for (std::size_t r = 0; r < blocks; ++r) resamples[r][r] = 2;

    std::vector<double> replicates = replicates_of(exponent, sums, resamples);
    const double mean = std::accumulate(minimum.begin(), minimum.end(), 0.0) / blocks;
    std::vector<double> expected(blocks);
    for (std::size_t r = 0; r < blocks; ++r) expected[r] = exponent + (minimum[r] - mean) / (blocks + 1);
    for (std::size_t r = 0; r < blocks; ++r) ASSERT_NEAR(replicates[r], expected[r], 1e-12) << r;

    // Of 201 sorted replicates the 2.5 % point is the 6th, the 97.5 % point the 196th.
    std::sort(expected.begin(), expected.end());
    double ss = 0;
    for (double x : expected) ss += (x - exponent) * (x - exponent);  // their mean is the exponent
    const ExponentInterval i = interval_of(replicates, 0.95);
    ASSERT_TRUE(i.valid);
    EXPECT_NEAR(i.low, expected[5], 1e-12);
    EXPECT_NEAR(i.high, expected[195], 1e-12);
    EXPECT_NEAR(i.standardError, std::sqrt(ss / (blocks - 1)), 1e-12);
    EXPECT_LT(i.low, exponent);
    EXPECT_GT(i.high, exponent);
}

// Percentile points between two replicates, and the fewest replicates that
// give an interval.
TEST(Interval, PercentilesAndTheSmallSampleRule) {
    struct Case {
        std::size_t n;
        double level;
        bool valid;
        double low, high;  // of the replicates 0, 1, ..., n - 1
    };
    const Case cases[] = {
        {99, 0.95, false, 0, 0},
        {100, 0.95, true, 0.025 * 99, 0.975 * 99},  // 2.475 and 96.525: between two replicates
        {101, 0.9, true, 5.0, 95.0},
        {1000, 0.95, true, 0.025 * 999, 0.975 * 999},
    };
    for (const Case& c : cases) {
        std::vector<double> r(c.n);
        for (std::size_t k = 0; k < c.n; ++k) r[k] = static_cast<double>((k * 7919) % c.n);  // shuffled
        const ExponentInterval i = interval_of(r, c.level);
        EXPECT_EQ(i.valid, c.valid) << c.n;
        if (!c.valid) continue;
        EXPECT_NEAR(i.low, c.low, 1e-9) << c.n;
        EXPECT_NEAR(i.high, c.high, 1e-9) << c.n;
        // The standard deviation of 0 .. n - 1.
        EXPECT_NEAR(i.standardError, std::sqrt(static_cast<double>(c.n) * (c.n + 1) / 12.0), 1e-9) << c.n;
    }
}
