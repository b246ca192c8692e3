// The figures behind the extra outputs: each file's own exponent, the
// variance curve, the interval of the exponent and the mean intensity by range.
#include "certainty.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <tuple>

#include "exponent.h"
#include "parallel.h"
#include "strip_gains.h"

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
    std::vector<GainTerms> gain;  // a file: the terms of the fit with a gain per strip
};

// Where a block of pairs lies (its centre) and the file it belongs to.
struct BlockPlace {
    double x, y;
    uint16_t file;
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
// block; 0 for a block without pairs). Sets blocks to their count and place
// to where each lies.
std::vector<std::vector<uint32_t>> number_blocks(std::size_t& blocks, std::vector<BlockPlace>& place) {
    std::vector<std::vector<uint32_t>> number(_fileCount);
    blocks = 0;
    place.clear();
    const double edge = kBlockCells * _resolution;
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
        for (uint32_t b = 0; b < n.size(); ++b) {
            if (n[b] == 0) continue;
            n[b] = static_cast<uint32_t>(blocks++);
            const uint32_t col = b % runs.blockCols, row = b / runs.blockCols;
            place.push_back(BlockPlace{runs.originX + (col + 0.5) * edge, runs.topY - (row + 0.5) * edge, i});
        }
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
    uint32_t blockNumber = number[runs.block[0]];
    double* blockSums = s.block.data() + 3 * std::size_t{blockNumber};
    double before = 0.0;
    const std::vector<uint16_t>& strip = _stripGains.pairStrip[i];
    const bool gains = strip.size() == 2 * std::size_t{_pairInfo[i].nPairs};
    GainTerms& terms = s.gain[i];
    std::size_t t = 0;
    for_each_pair_block(i, [&](const PairBlock& b) {
        b.for_each_pair([&](uint32_t i1, uint32_t i2) {
            while (left == 0) {
                ++run;
                left = runs.count[run];
                blockNumber = number[runs.block[run]];
                blockSums = s.block.data() + 3 * std::size_t{blockNumber};
            }
            --left;
            const uint16_t R1 = b.range[i1], I1 = b.intensity[i1], R2 = b.range[i2], I2 = b.intensity[i2];
            const double c1 = b.cosine[i1], c2 = b.cosine[i2];
            // The fit with a gain per strip takes the pairs whose logarithms exist.
            if (gains && R1 > 0 && R2 > 0 && I1 > 0 && I2 > 0 && c1 > 0 && c2 > 0)
                terms.add(blockNumber, strip[2 * t], strip[2 * t + 1], std::log(static_cast<double>(R2)) - std::log(static_cast<double>(R1)),
                          std::log(I1 * c1) - std::log(I2 * c2),
                          (1.0 / (double(R1) * R1) + 1.0 / (double(R2) * R2)) / 12.0);
            ++t;
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
    s.gain.assign(_fileCount, GainTerms{});
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

// splitmix64's finalizer: a counter mixed into 64 random-looking bits.
uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The squares of 2^level blocks a side that the blocks fall in (by file when
// byFile), numbered in the order of the blocks; returns their count.
std::size_t group_blocks(const std::vector<BlockPlace>& place, int level, bool byFile, std::vector<uint32_t>& group) {
    const double edge = std::ldexp(kBlockCells * _resolution, level);
    std::map<std::tuple<uint16_t, int64_t, int64_t>, uint32_t> squares;
    group.resize(place.size());
    for (std::size_t b = 0; b < place.size(); ++b) {
        const auto key = std::make_tuple(byFile ? place[b].file : uint16_t{0},
                                         static_cast<int64_t>(std::floor(place[b].x / edge)),
                                         static_cast<int64_t>(std::floor(place[b].y / edge)));
        group[b] = squares.try_emplace(key, static_cast<uint32_t>(squares.size())).first->second;
    }
    return squares.size();
}

// Replicates of the bootstrap, shared out over the run's threads: fn(r,
// counts) with the counts of the groups drawn in replicate r.
void for_each_replicate(std::size_t groups, const std::function<void(unsigned, const std::vector<uint32_t>&)>& fn) {
    const unsigned parts = std::clamp(_threads, 1u, 64u);
    run_parts(parts, [&](unsigned part) {
        std::vector<uint32_t> counts;
        for (unsigned r = kReplicates * part / parts; r < kReplicates * (part + 1) / parts; ++r) {
            resample_counts(r, groups, counts);
            fn(r, counts);
        }
    });
}

// Each block's sum of squared differences is a quadratic in the exponent
// through its three sums; a resample's exponent is the minimum of the sum of
// its groups' quadratics. The replicates are its distances from the minimum
// of all blocks (of those with a group; the others are left out).
std::vector<double> quadratic_replicates(const std::vector<double>& slope, const std::vector<double>& curvature,
                                         const std::vector<uint32_t>& group, std::size_t groups) {
    std::vector<double> g(groups, 0.0), h(groups, 0.0);
    double G = 0, H = 0;
    for (std::size_t b = 0; b < slope.size(); ++b) {
        if (group[b] == UINT32_MAX) continue;
        g[group[b]] += slope[b];
        h[group[b]] += curvature[b];
        G += slope[b];
        H += curvature[b];
    }
    std::vector<double> replicates;
    if (groups < 2 || !(H > 0)) return replicates;
    std::vector<double> all(kReplicates);
    for_each_replicate(groups, [&](unsigned r, const std::vector<uint32_t>& counts) {
        double gr = 0, hr = 0;
        for (std::size_t k = 0; k < groups; ++k) {
            gr += counts[k] * g[k];
            hr += counts[k] * h[k];
        }
        all[r] = resample_shift(gr, hr, G, H);
    });
    for (double x : all)
        if (!std::isnan(x)) replicates.push_back(x);
    return replicates;
}

double spread(const std::vector<double>& x) {
    if (x.size() < 2) return 0;
    double mean = 0, ss = 0;
    for (double v : x) mean += v;
    mean /= static_cast<double>(x.size());
    for (double v : x) ss += (v - mean) * (v - mean);
    return std::sqrt(ss / static_cast<double>(x.size() - 1));
}

// The size of the blocks: squares of 2^level blocks a side, growing from
// level 0 while the standard error (by se) grows by more than its own
// sampling noise (a relative sqrt(2 / squares)), and at least kMinBlocks
// squares hold pairs: where the standard error stops growing, the blocks
// reach across the errors that are correlated in space.
int choose_level(const std::vector<BlockPlace>& place,
                 const std::function<double(const std::vector<uint32_t>&, std::size_t)>& se) {
    std::vector<uint32_t> group;
    group_blocks(place, 0, false, group);
    double now = se(group, group.empty() ? 0 : *std::max_element(group.begin(), group.end()) + std::size_t{1});
    int level = 0;
    while (level < 16) {
        const std::size_t groups = group_blocks(place, level + 1, false, group);
        if (groups < kMinBlocks) break;
        const double next = se(group, groups);
        if (!(next > now * (1 + std::sqrt(2.0 / static_cast<double>(groups))))) break;
        now = next;
        ++level;
    }
    return level;
}

std::string block_method(std::size_t groups, int level, const char* rest) {
    const uint32_t cells = kBlockCells << level;
    char method[400];
    std::snprintf(method, sizeof method,
                  "bootstrap over %zu spatial blocks of pairs (squares of %u x %u cells of the pair search, %g "
                  "coordinate units a side: the size at which the standard error stops growing), %d resamples; %s",
                  groups, cells, cells, cells * _resolution, kReplicates, rest);
    return method;
}

// The interval about exponent from replicates of its distance from it, widened
// by the tolerance of the search that found it: it lies anywhere in a bracket
// of up to tolerance x 2 x exponent, so that much is added to the interval
// and its uniform spread to the standard error.
ExponentInterval interval_about(double exponent, std::vector<double>& replicates) {
    ExponentInterval i = interval_of(replicates, 0.95);
    if (!i.valid) return i;
    const double bracket = 0.001 * 2 * std::fabs(exponent);
    i.low += exponent - bracket / 2;
    i.high += exponent + bracket / 2;
    i.standardError = std::sqrt(i.standardError * i.standardError + bracket * bracket / 12);
    return i;
}

// Each block's slope and curvature of its quadratic (in steps of kBlockStep).
void block_quadratics(const std::vector<double>& sums, std::vector<double>& slope, std::vector<double>& curvature) {
    const std::size_t blocks = sums.size() / 3;
    slope.resize(blocks);
    curvature.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        const BlockParabola p = block_parabola(&sums[3 * b]);
        slope[b] = p.slope;
        curvature[b] = p.curvature;
    }
}

// The interval of the run's exponent, at the block size chosen for it; returns that size.
int exponent_interval(const std::vector<double>& slope, const std::vector<double>& curvature,
                      const std::vector<BlockPlace>& place) {
    const int level = choose_level(place, [&](const std::vector<uint32_t>& group, std::size_t groups) {
        return spread(quadratic_replicates(slope, curvature, group, groups));
    });
    std::vector<uint32_t> group;
    const std::size_t groups = group_blocks(place, level, false, group);
    std::vector<double> replicates = quadratic_replicates(slope, curvature, group, groups);
    ExponentInterval& i = _certainty.interval;
    i = interval_about(_normFactor, replicates);
    i.method = block_method(groups, level,
                            "percentile interval, widened by the tolerance of the exponent search; mean range held "
                            "fixed; errors correlated over more than the blocks are not covered");
    return level;
}

// Each file's interval about its own exponent, from its own blocks at the
// run's block size (smaller where the file holds fewer than 8 squares).
void file_intervals(const std::vector<double>& slope, const std::vector<double>& curvature,
                    const std::vector<BlockPlace>& place, int runLevel) {
    for (uint16_t i = 0; i < _fileCount; ++i) {
        std::vector<double> fs, fc;
        std::vector<BlockPlace> fp;
        for (std::size_t b = 0; b < place.size(); ++b)
            if (place[b].file == i) fs.push_back(slope[b]), fc.push_back(curvature[b]), fp.push_back(place[b]);
        std::vector<uint32_t> group;
        int level = runLevel;
        std::size_t groups = group_blocks(fp, level, true, group);
        while (groups < 8 && level > 0) groups = group_blocks(fp, --level, true, group);
        std::vector<double> replicates = quadratic_replicates(fs, fc, group, groups);
        FileFigures& f = _certainty.files[i];
        f.interval = interval_about(f.exponent, replicates);
        f.interval.method = block_method(groups, level,
                                         "percentile interval about the file's own exponent, widened by the tolerance "
                                         "of the exponent search");
    }
}

// The fit with a gain per strip, and its interval and the gains' standard
// errors from the same bootstrap, at the block size chosen for it.
void strip_gain_fit(const PairSums& s, const std::vector<BlockPlace>& place) {
    StripGains& sg = _stripGains;
    sg.valid = false;
    std::vector<GainTerm> terms;
    for (const GainTerms& t : s.gain) terms.insert(terms.end(), t.terms.begin(), t.terms.end());
    std::vector<double> logGain;
    if (sg.strips.empty() || !fit_strip_gains(terms, nullptr, sg.exponent, logGain)) return;
    for (std::size_t k = 0; k < sg.strips.size(); ++k)
        if (sg.strips[k].estimable) sg.strips[k].gain = std::exp(logGain[k]);
    const std::size_t S = sg.strips.size();
    // The exponent and the gains of each replicate (gains only when asked).
    const auto replicate = [&](const std::vector<uint32_t>& group, std::vector<double>& e, std::vector<double>* gains) {
        std::vector<double> all(kReplicates, std::nan(""));
        if (gains != nullptr) gains->assign(std::size_t{kReplicates} * S, std::nan(""));
        for_each_replicate(*std::max_element(group.begin(), group.end()) + std::size_t{1},
                           [&](unsigned r, const std::vector<uint32_t>& counts) {
                               std::vector<double> weight(group.size()), lg;
                               for (std::size_t b = 0; b < group.size(); ++b) weight[b] = counts[group[b]];
                               double er;
                               if (!fit_strip_gains(terms, &weight, er, lg)) return;
                               all[r] = er;
                               if (gains != nullptr)
                                   for (std::size_t k = 0; k < S; ++k) (*gains)[r * S + k] = std::exp(lg[k]);
                           });
        e.clear();
        for (double x : all)
            if (!std::isnan(x)) e.push_back(x);
    };
    const int level = choose_level(place, [&](const std::vector<uint32_t>& group, std::size_t) {
        std::vector<double> e;
        replicate(group, e, nullptr);
        return spread(e);
    });
    std::vector<uint32_t> group;
    const std::size_t groups = group_blocks(place, level, false, group);
    std::vector<double> e, gains;
    replicate(group, e, &gains);
    sg.interval = interval_of(e, 0.95);
    sg.interval.method = block_method(groups, level,
                                      "percentile interval; log-linear least squares of the pairs' log intensity "
                                      "differences on their log range differences and one gain per strip");
    for (std::size_t k = 0; k < S; ++k) {
        if (!sg.strips[k].estimable) continue;
        std::vector<double> g;
        for (std::size_t r = 0; r < kReplicates; ++r)
            if (!std::isnan(gains[r * S + k])) g.push_back(gains[r * S + k]);
        sg.strips[k].standardError = spread(g);
    }
    sg.valid = sg.interval.valid;
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

std::string sentence(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string sentence(const char* fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// What the figures put in doubt: the run's exponent outside the interval of
// the fit with a gain per strip, an exponent at a bound of the search, a file
// whose exponent and the run's lie each outside the other's interval.
void collect_warnings() {
    std::vector<std::string>& w = _certainty.warnings;
    w.clear();
    const StripGains& sg = _stripGains;
    const ExponentInterval& run = _certainty.interval;
    if (sg.valid && (_normFactor < sg.interval.low || _normFactor > sg.interval.high)) {
        // The two strips whose gains differ most for their standard errors.
        uint32_t x = UINT32_MAX, y = UINT32_MAX;
        double most = 0;
        for (uint32_t a = 0; a < sg.strips.size(); ++a)
            for (uint32_t b = a + 1; b < sg.strips.size(); ++b) {
                const Strip &A = sg.strips[a], &B = sg.strips[b];
                if (!A.estimable || !B.estimable) continue;
                const double z = std::fabs(A.gain - B.gain) /
                                 std::sqrt(A.standardError * A.standardError + B.standardError * B.standardError + 1e-300);
                if (z > most) most = z, x = A.gain > B.gain ? a : b, y = A.gain > B.gain ? b : a;
            }
        const std::string why =
            most > 3 ? sentence("the strips differ in gain, most %s (gain %.3f) and %s (gain %.3f)", sg.name(x).c_str(),
                                sg.strips[x].gain, sg.name(y).c_str(), sg.strips[y].gain)
                     : std::string("the strips do not differ in gain beyond their standard errors: the two estimates "
                                   "weigh the pairs differently (the printed one by their squared intensities)");
        w.push_back(sentence("The exponent %.3f lies outside the interval %.3f to %.3f of the exponent fitted with a "
                             "gain per strip (%.3f): %s. --strip-gains normalizes with that exponent and those gains.",
                             _normFactor, sg.interval.low, sg.interval.high, sg.exponent, why.c_str()));
    }
    // Within the search's last bracket of a bound (a thousandth above 0.01, 0.008 below 4).
    if (_normFactor < 0.011 || _normFactor > 4.0 - 0.008)
        w.push_back(sentence("The exponent %.3f lies at the %s bound of the search (%s): the variance it minimizes "
                             "keeps falling beyond it, so it is no minimum.",
                             _normFactor, _normFactor < 1 ? "lower" : "upper", _normFactor < 1 ? "0.01" : "4.0"));
    if (!run.valid) return;
    for (uint16_t i = 0; i < _fileCount && i < _certainty.files.size(); ++i) {
        const FileFigures& f = _certainty.files[i];
        if (!f.interval.valid) continue;
        const bool fileOutside = f.exponent < run.low || f.exponent > run.high;
        const bool runOutside = _normFactor < f.interval.low || _normFactor > f.interval.high;
        if (fileOutside && runOutside)
            w.push_back(sentence("The exponent of %s, %.3f (%.3f to %.3f), and the survey's, %.3f (%.3f to %.3f), "
                                 "disagree beyond both intervals.",
                                 _pairInfo[i].LASName.c_str(), f.exponent, f.interval.low, f.interval.high,
                                 _normFactor, run.low, run.high));
    }
}

}  // namespace

void prepare_certainty() {
    if (!_extraOutputs.any()) return;
    _blockCells = kBlockCells;
    _pairBlockRuns.assign(_fileCount, PairBlockRuns{});
    _recordPairStrips = true;
    _pairStrips.assign(_fileCount, PairStrips{});
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

void resample_counts(uint64_t replicate, std::size_t n, std::vector<uint32_t>& counts) {
    counts.assign(n, 0);
    const uint64_t stream = mix(0x5EED0F0B10C5ull ^ mix(replicate));
    for (std::size_t k = 0; k < n; ++k)
        ++counts[static_cast<std::size_t>((static_cast<__uint128_t>(mix(stream + k)) * n) >> 64)];
}

void assess_certainty() {
    if (!_extraOutputs.any()) return;
    assign_strips();
    std::size_t blocks = 0;
    std::vector<BlockPlace> place;
    const std::vector<std::vector<uint32_t>> number = number_blocks(blocks, place);
    PairSums sums = empty_sums(blocks);
    pass_over_pairs(sums, number);
    variance_curve(sums);
    std::vector<double> slope, curvature;
    block_quadratics(sums.block, slope, curvature);
    if (blocks > 0) {
        const int level = exponent_interval(slope, curvature, place);
        file_intervals(slope, curvature, place, level);
        strip_gain_fit(sums, place);
    }
    intensity_by_range(sums);
    collect_warnings();
}

}  // namespace quilvor

namespace quilvor {

void print_warnings() {
    for (const std::string& w : _certainty.warnings) std::fprintf(stderr, "LAS_Quilvor: warning: %s\n", w.c_str());
}

void print_strip_gains_line() {
    if (!_extraOutputs.stripGains) return;
    const StripGains& sg = _stripGains;
    if (!sg.valid)
        fail("\nThe exponent with a gain per strip cannot be fitted: too few pairs, or strips not joined by pairs\n");
    double lo = 1, hi = 1;
    for (const Strip& s : sg.strips)
        if (s.estimable) lo = std::min(lo, s.gain), hi = std::max(hi, s.gain);
    std::printf("%-40s %8s %9.3f  (strip gains %.3f to %.3f)\n", "Exponent with a gain per strip:", "", sg.exponent, lo,
                hi);
}

}  // namespace quilvor
