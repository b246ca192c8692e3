// The figures behind the extra outputs: each file's own exponent, the
// variance curve, the interval of the exponent and the mean intensity by range.
#include "certainty.h"

#include <algorithm>
#include <cmath>

#include "exponent.h"
#include "parallel.h"

namespace quilvor {

ExtraOutputs _extraOutputs;
Certainty _certainty;

namespace {

// The sums one pass over all pairs gathers: for each spatial block the
// squared differences at the exponent and a step either side of it; for each
// file the squared differences before normalization; for each whole range the
// paired returns, their intensities and their intensities times the cosine.
struct PairSums {
    std::vector<double> block;   // 3 a block: at e - h, e, e + h
    std::vector<double> before;  // a file
    std::vector<uint64_t> count = std::vector<uint64_t>(65536);
    std::vector<double> intensity = std::vector<double>(65536), intensityCos = std::vector<double>(65536);
    // For the variance curve, with A = intensity x cosine: A squared summed
    // by the range of its return, and A1 x A2 by the ranges of the pair (rows
    // R1 - lo, columns R2 - lo; empty when the ranges span too much).
    std::vector<double> squares = std::vector<double>(65536);
    uint32_t lo = 0, span = 0;
    std::vector<double> products;
};

// The widest span of ranges whose pair table the curve uses (8 MB).
constexpr uint32_t kCurveSpan = 1024;

// pow(R / mean range, e) for the ranges of the pairs (the table's other entries 0).
std::vector<double> pair_range_powers(double e) {
    std::vector<double> power(65536, 0.0);
    if (_pairRangeHi >= _pairRangeLo) fill_range_power_table(power.data(), _meanRange, e, _pairRangeLo, _pairRangeHi);
    return power;
}

// The blocks that hold pairs numbered from 0 on, files in list order and the
// blocks of a file ascending: by file, the number of each of its blocks (by
// block; 0 for a block without pairs). Sets blocks to their count.
std::vector<std::vector<uint32_t>> number_blocks(std::size_t& blocks) {
    std::vector<std::vector<uint32_t>> number(_fileCount);
    blocks = 0;
    for (uint16_t i = 0; i < _fileCount; ++i) {
        const PairBlockRuns& runs = _pairBlockRuns[i];
        uint64_t total = 0;
        for (uint32_t n : runs.count) total += n;
        if (total != _pairInfo[i].nPairs)
            fail("\nThe spatial blocks of the pairs of %s do not hold all its pairs\n", _pairInfo[i].LASName.c_str());
        if (runs.block.empty()) continue;
        std::vector<uint32_t>& n = number[i];
        n.assign(std::size_t{*std::max_element(runs.block.begin(), runs.block.end())} + 1, 0);
        for (uint32_t b : runs.block) n[b] = 1;
        for (uint32_t& x : n)
            if (x != 0) x = static_cast<uint32_t>(blocks++);
    }
    return number;
}

// File i's exponent as its own pairs alone give it (its own mean range, as
// the run computes it for one file), and its variance after normalization.
void own_exponent(uint16_t i, bool oneThread) {
    const pairStruct& e = _pairInfo[i];
    const double pairs = 0.0 + static_cast<double>(e.nPairs);
    const double M = (0.0 + e.nPairs * e.meanRange) / pairs;
    FileFigures& f = _certainty.files[i];
    search_exponent(PairScope{i, static_cast<uint16_t>(i + 1), M, pairs, oneThread}, f.exponent, f.varianceAfter,
                    false);
}

// The pairs of file i into the sums of its blocks (numbered by number), at
// the three exponents of power, and into its squared differences before
// normalization.
void add_block_sums(uint16_t i, const std::vector<uint32_t>& number, const std::vector<double>* const (&power)[3],
                    PairSums& s) {
    const PairBlockRuns& runs = _pairBlockRuns[i];
    if (runs.block.empty()) return;
    std::size_t run = 0;
    uint32_t left = runs.count[0];
    double* blockSums = s.block.data() + 3 * std::size_t{number[runs.block[0]]};
    double before = 0.0;
    for_each_pair_block(i, [&](const PairBlock& b) {
        b.for_each_pair([&](uint32_t i1, uint32_t i2) {
            while (left == 0) {
                ++run;
                left = runs.count[run];
                blockSums = s.block.data() + 3 * std::size_t{number[runs.block[run]]};
            }
            --left;
            const uint16_t R1 = b.range[i1], I1 = b.intensity[i1], R2 = b.range[i2], I2 = b.intensity[i2];
            const double c1 = b.cosine[i1], c2 = b.cosine[i2];
            for (int j = 0; j < 3; ++j) {
                const double d =
                    normalized_intensity(*power[j], R1, I1, c1) - normalized_intensity(*power[j], R2, I2, c2);
                blockSums[j] += d * d;
            }
            const double d = static_cast<double>(int32_t{b.intensity[i1]} - int32_t{b.intensity[i2]});
            before += d * d;
        });
    });
    s.before[i] = before;
}

// The paired returns of file i into the sums by range (files in list order:
// the sums are shared).
void add_range_sums(uint16_t i, PairSums& s) {
    for_each_pair_block(i, [&](const PairBlock& b) {
        b.for_each_pair([&](uint32_t i1, uint32_t i2) {
            for (const uint32_t r : {i1, i2}) {
                const uint16_t R = b.range[r];
                const double A = b.intensity[r] * b.cosine[r];
                ++s.count[R];
                s.intensity[R] += b.intensity[r];
                s.intensityCos[R] += A;
                s.squares[R] += A * A;
            }
            if (!s.products.empty())
                s.products[(b.range[i1] - s.lo) * std::size_t{s.span} + (b.range[i2] - s.lo)] +=
                    (b.intensity[i1] * b.cosine[i1]) * (b.intensity[i2] * b.cosine[i2]);
        });
    });
}

// The sums, empty, for blocks blocks.
PairSums empty_sums(std::size_t blocks) {
    PairSums s;
    s.block.assign(3 * blocks, 0.0);
    s.before.assign(_fileCount, 0.0);
    s.lo = _pairRangeLo;
    s.span = _pairRangeHi >= _pairRangeLo ? uint32_t{_pairRangeHi} - _pairRangeLo + 1 : 0;
    if (s.span <= kCurveSpan) s.products.assign(std::size_t{s.span} * s.span, 0.0);
    return s;
}

// The passes over the pairs that the figures need, as jobs: the sums by
// range (one pass over all files, in list order), and for each file its own
// exponent search and its block sums. With every file's pairs in memory the
// jobs share the run's threads, each on one thread, largest files first;
// otherwise (pairs read from RAI files through the run's one set of buffers)
// they run one after the other, each pass shared out as the search's are.
// Each sum is taken in the same order either way.
void pass_over_pairs(PairSums& s, const std::vector<std::vector<uint32_t>>& number) {
    const std::vector<double> power[3] = {pair_range_powers(_normFactor - kBlockStep), pair_range_powers(_normFactor),
                                          pair_range_powers(_normFactor + kBlockStep)};
    const std::vector<double>* const p[3] = {&power[0], &power[1], &power[2]};
    bool inMemory = true;
    for (uint16_t i = 0; i < _fileCount; ++i) inMemory = inMemory && pairs_in_memory(i);
    const bool together = inMemory && _threads > 1;
    std::vector<uint16_t> order(_fileCount);
    for (uint16_t i = 0; i < _fileCount; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [](uint16_t a, uint16_t b) { return _pairInfo[a].nPairs > _pairInfo[b].nPairs; });
    _certainty.files.assign(_fileCount, FileFigures{});
    // Job 0: the sums by range; then the searches, then the block sums.
    run_jobs(together ? _threads : 1u, 1 + 2 * std::size_t{_fileCount}, [&](std::size_t job) {
        if (job == 0) {
            for (uint16_t i = 0; i < _fileCount; ++i) add_range_sums(i, s);
            return;
        }
        const uint16_t i = order[(job - 1) % _fileCount];
        if (job <= _fileCount) {
            own_exponent(i, together);
            return;
        }
        add_block_sums(i, number[i], p, s);
    });
    for (uint16_t i = 0; i < _fileCount; ++i)
        _certainty.files[i].varianceBefore = std::sqrt(s.before[i] / static_cast<double>(_pairInfo[i].nPairs));
}

// splitmix64: a fixed sequence, the same on every machine.
struct Random {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>((static_cast<__uint128_t>(next()) * n) >> 64); }
};

// The bootstrap over blocks. Each block's sum of squared differences is a
// quadratic in the exponent through its three sums; a resample's exponent is
// the minimum of the sum of its blocks' quadratics, taken relative to that of
// all blocks, so that the interval is about the exponent reported.
ExponentInterval block_bootstrap(const std::vector<double>& sums, std::size_t blocks) {
    std::vector<double> slope(blocks), curvature(blocks);
    double G = 0, H = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        const BlockParabola p = block_parabola(&sums[3 * b]);
        slope[b] = p.slope;
        curvature[b] = p.curvature;
        G += slope[b];
        H += curvature[b];
    }
    std::vector<double> replicates;
    if (blocks >= 2 && H > 0) {
        // Each resample draws from a sequence of its own: the same on any number of threads.
        std::vector<double> all(kReplicates);
        const unsigned parts = std::clamp(_threads, 1u, 64u);
        run_parts(parts, [&](unsigned part) {
            for (unsigned r = kReplicates * part / parts; r < kReplicates * (part + 1) / parts; ++r) {
                Random random{0x9E3779B97F4A7C15ull * (r + 1)};
                double g = 0, h = 0;
                for (std::size_t k = 0; k < blocks; ++k) {
                    const std::size_t b = random.below(blocks);
                    g += slope[b];
                    h += curvature[b];
                }
                all[r] = _normFactor + resample_shift(g, h, G, H);
            }
        });
        for (double x : all)
            if (!std::isnan(x)) replicates.push_back(x);
    }
    ExponentInterval interval = interval_of(replicates, 0.95);
    char method[240];
    std::snprintf(method, sizeof method,
                  "bootstrap over %zu spatial blocks of pairs (squares of %u x %u cells of the pair search, %g "
                  "coordinate units a side), %d resamples, percentile interval; mean range held fixed",
                  blocks, kBlockCells, kBlockCells, kBlockCells * _resolution, kReplicates);
    interval.method = method;
    return interval;
}

// V(e) from the sums by range: the sum over pairs of (p1 A1 - p2 A2)^2 is
// that of p^2 A^2 over their returns less twice that of p1 p2 A1 A2, which
// the pair table holds by the two ranges. Equal to the pass over the pairs
// but for rounding.
double variance_from_range_sums(const PairSums& s, double e) {
    const std::vector<double> p = pair_range_powers(e);
    double Q = 0;
    for (uint32_t R = s.lo; R < s.lo + s.span; ++R) Q += p[R] * p[R] * s.squares[R];
    for (uint32_t a = 0; a < s.span; ++a) {
        double row = 0;
        for (uint32_t b = 0; b < s.span; ++b) row += p[s.lo + b] * s.products[std::size_t{a} * s.span + b];
        Q -= 2 * p[s.lo + a] * row;
    }
    return std::sqrt(std::max(0.0, Q) / _allPairs);
}

// The curve at evenly spaced exponents over the search bracket: from the
// sums by range when their table was made (the points shared out over the
// run's threads), otherwise by passes over the pairs.
void variance_curve(const PairSums& s) {
    double e[kCurvePoints], V[kCurvePoints];
    for (int k = 0; k < kCurvePoints; ++k) e[k] = 0.01 + (4.0 - 0.01) * k / (kCurvePoints - 1);
    e[kCurvePoints - 1] = 4.0;
    if (!s.products.empty())
        run_jobs(_threads, kCurvePoints, [&](std::size_t k) { V[k] = variance_from_range_sums(s, e[k]); });
    else
        post_norm_variances(all_pairs(), e, V, kCurvePoints);
    _certainty.curve.clear();
    for (int k = 0; k < kCurvePoints; ++k) _certainty.curve.push_back(CurvePoint{e[k], V[k]});
}

// The mean intensities in about 30 equal bins of whole ranges; bins with
// fewer than a thousandth of the paired returns are left out.
void intensity_by_range(const PairSums& s) {
    const std::vector<double> power = pair_range_powers(_normFactor);
    const uint32_t lo = _pairRangeLo, hi = std::max(_pairRangeLo, _pairRangeHi);
    const uint32_t width = (hi - lo) / 30 + 1;
    uint64_t all = 0;
    for (uint32_t R = lo; R <= hi; ++R) all += s.count[R];
    _certainty.byRange.clear();
    for (uint32_t from = lo; from <= hi; from += width) {
        const uint32_t to = std::min(hi, from + width - 1);
        uint64_t n = 0;
        double raw = 0, normalized = 0;
        for (uint32_t R = from; R <= to; ++R) {
            n += s.count[R];
            raw += s.intensity[R];
            normalized += power[R] * s.intensityCos[R];
        }
        if (n == 0 || n * 1000 < all) continue;
        _certainty.byRange.push_back(RangeBin{double(from), double(to), raw / n, normalized / n, n});
    }
}

}  // namespace

void prepare_certainty() {
    if (!_extraOutputs.any()) return;
    _blockCells = kBlockCells;
    _pairBlockRuns.assign(_fileCount, PairBlockRuns{});
}

BlockParabola block_parabola(const double sums[3]) {
    return BlockParabola{sums[2] - sums[0], sums[2] - 2 * sums[1] + sums[0]};
}

double resample_shift(double g, double h, double G, double H) {
    if (!(h > 0)) return std::nan("");
    // Relative to the minimum of all blocks, so that the interval is about the exponent reported.
    return (G / (2 * H) - g / (2 * h)) * kBlockStep;
}

ExponentInterval interval_of(std::vector<double>& replicates, double level) {
    ExponentInterval interval;
    interval.level = level;
    const std::size_t n = replicates.size();
    if (n < 100) return interval;
    std::sort(replicates.begin(), replicates.end());
    double mean = 0;
    for (double x : replicates) mean += x;
    mean /= static_cast<double>(n);
    double ss = 0;
    for (double x : replicates) ss += (x - mean) * (x - mean);
    const auto quantile = [&](double q) {
        const double at = q * static_cast<double>(n - 1);
        const std::size_t k = static_cast<std::size_t>(at);
        const double t = at - static_cast<double>(k);
        return k + 1 < n ? replicates[k] + t * (replicates[k + 1] - replicates[k]) : replicates[k];
    };
    interval.valid = true;
    interval.standardError = std::sqrt(ss / static_cast<double>(n - 1));
    interval.low = quantile((1 - level) / 2);
    interval.high = quantile(1 - (1 - level) / 2);
    return interval;
}

void assess_certainty() {
    if (!_extraOutputs.any()) return;
    std::size_t blocks = 0;
    const std::vector<std::vector<uint32_t>> number = number_blocks(blocks);
    PairSums sums = empty_sums(blocks);
    pass_over_pairs(sums, number);
    variance_curve(sums);
    _certainty.interval = block_bootstrap(sums.block, blocks);
    intensity_by_range(sums);
}

}  // namespace quilvor
