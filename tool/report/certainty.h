// How far to trust the exponent: per-file exponents, the variance curve, an
// interval from a bootstrap over spatial blocks of pairs, the mean intensity
// by range; written as a JSON report and drawn as plots on request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quilvor {

// The extra outputs asked for on the command line (empty: not asked for).
struct ExtraOutputs {
    std::string reportFile;
    std::string plotsDir;
    bool stripGains = false;  // --strip-gains: normalize with the exponent and gains fitted per strip
    bool any() const { return !reportFile.empty() || !plotsDir.empty() || stripGains; }
};
extern ExtraOutputs _extraOutputs;

struct ExponentInterval {
    bool valid = false;  // false when too few blocks or replicates to say
    double level = 0.95, low = 0, high = 0, standardError = 0;
    std::string method;
};
// One file's figures as its own pairs alone give them.
struct FileFigures {
    double exponent = 0, varianceBefore = 0, varianceAfter = 0;
    ExponentInterval interval;
};
struct CurvePoint {
    double exponent, variance;
};
// The mean intensity of the paired returns of one range bin, before and
// after the normalization with the run's exponent.
struct RangeBin {
    double rangeLo, rangeHi, raw, normalized;
    uint64_t returns;
};
struct Certainty {
    std::vector<FileFigures> files;
    std::vector<CurvePoint> curve;
    ExponentInterval interval;
    std::vector<RangeBin> byRange;
    // Sentences on what the figures put in doubt, for the report and standard error.
    std::vector<std::string> warnings;
};
extern Certainty _certainty;

// The edge of the smallest spatial block of pairs, in cells of the pair
// search (whose edge is the search radius): far wider than two pairs that
// share a return lie apart. The bootstrap joins them into squares of 2, 4,
// 8, ... a side while the standard error grows (errors that reach across
// blocks), as long as at least kMinBlocks squares hold pairs.
constexpr uint32_t kBlockCells = 16;
constexpr std::size_t kMinBlocks = 24;
// Bootstrap replicates and the half-width of the exponent step around the
// exponent at which each block's sums are taken.
constexpr int kReplicates = 1000;
constexpr double kBlockStep = 0.05;
// Points of the variance curve over [0.01, 4].
constexpr int kCurvePoints = 41;

// Before the pair search: makes it record the spatial blocks of the pairs.
void prepare_certainty();
// After the exponent search, before the RAI files are removed: fills _certainty.
void assess_certainty();
// The percentile and spread of replicates (sorted here) into an interval:
// none (valid false) from fewer than 100 replicates.
ExponentInterval interval_of(std::vector<double>& replicates, double level);
// How often each of n blocks is drawn in bootstrap replicate number
// replicate: n draws from a stream of its own, keyed by the replicate and the
// draw (the same on any machine and any number of threads).
void resample_counts(uint64_t replicate, std::size_t n, std::vector<uint32_t>& counts);
// The warnings on standard error, one a line.
void print_warnings();
// The line after the summary with --strip-gains: the exponent fitted with a
// gain per strip and the range of the gains.
void print_strip_gains_line();

// A block's sums of squared differences at the exponent less kBlockStep, at
// the exponent and at it plus kBlockStep lie on a parabola in the exponent:
// its slope and curvature at the exponent, in steps of kBlockStep.
struct BlockParabola {
    double slope = 0, curvature = 0;
};
BlockParabola block_parabola(const double sums[3]);
// How far a resample's exponent lies from that of all blocks, in exponent
// units: the minimum of the sum of the drawn blocks' parabolas (g and h, the
// sums of their slopes and curvatures) less the minimum of the sum over all
// blocks (G and H, H > 0). NaN where the drawn sum has no minimum.
double resample_shift(double g, double h, double G, double H);

// Writes the JSON report (under a temporary name, then renamed). argv holds
// the positional arguments and switches.
void write_json_report(int argc, char** argv);
// Draws variance_curve.png and intensity_by_range.png into the plots folder.
void draw_plots();
// Checks at the start, before any work, that no output (report, plots,
// normalized copies) is an input (argv[1], argv[2], the listed files) or
// another output, and that the report and the plots can be written there:
// makes the plots folder (removed again if the run fails).
void check_extra_outputs(char** argv);

}  // namespace quilvor
