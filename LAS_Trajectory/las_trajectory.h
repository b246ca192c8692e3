// LAS_Trajectory: the aircraft trajectory of a survey as the X Y Z T text that
// LAS_Quilvor reads, rebuilt from the beams of the multi-return pulses of the
// listed LAS files.
//
// The pieces a trajectory source shares: the scan of the listed files (their
// GPS-time spans, and what a source gathers from their returns), the path as
// a position at any time, and the writer that samples it into the output.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "run_state.h"
#include "survey_file.h"

namespace las_trajectory {

// Three tenths of a unit: at metres, a height error that moves the range
// exponent of an ordinary survey by about one standard error (see docs).
inline constexpr double kDefaultMaxError = 0.3;

struct TrajectoryOptions {
    std::string listFile;
    std::string output;
    double step = 0.05;  // seconds between written samples
    bool stepGiven = false;
    // The second source: a navigation solution (--sbet), converted instead of rebuilt.
    std::string sbet;     // --sbet FILE
    std::string crs;      // --crs CRS: the LAS files' coordinate system, when they do not name it
    int gpsWeek = -1;     // --gps-week W: the GPS week of the SBET's first record
    // How good a rebuilt path must be: a line or bridged stretch whose estimated
    // RMS error exceeds maxError stops the run, unless acceptInaccurate.
    double maxError = kDefaultMaxError;  // --max-error M, coordinate units
    bool maxErrorGiven = false;
    bool acceptInaccurate = false;       // --accept-inaccurate
};

// Parses the command line; throws a quilvor::Failure with the message, an
// empty one for a wrong number of arguments (the caller prints the usage).
TrajectoryOptions parse_trajectory_arguments(int argc, char** argv);
void trajectory_usage();

using XYZ = std::array<double, 3>;

// ---------------------------------------------------------------------------
// The scan of the listed files
// ---------------------------------------------------------------------------

// The first and the last GPS time of a set of returns.
struct TimeSpan {
    double first = 0, last = 0;
    bool empty = true;
    void add(double t);
    void add(const TimeSpan& s);
};

// The returns of one point source ID in one second of GPS time.
struct Occupancy {
    uint64_t key;  // point source ID (bits 48 to 63) and the second (below), so that keys sort by source, then time
    uint64_t returns;
    TimeSpan span;
};
inline constexpr double kLargestTime = 1e10;  // GPS times beyond +-this are no survey's
uint64_t occupancy_key(uint16_t source, double t);
inline uint16_t occupancy_source(uint64_t key) { return static_cast<uint16_t>(key >> 48); }

// The first or the last return of a pulse with two or more returns: the
// beam of the pulse runs through both. 40 bytes.
struct ReturnPiece {
    double t;
    XYZ xyz;
    uint16_t source;
    uint16_t file;  // position in the list
    uint8_t number, count;
};

// What the scan of the listed files found.
struct SurveyScan {
    TimeSpan all;                    // every listed return
    uint64_t returns = 0;
    std::vector<TimeSpan> files;     // each listed file's returns
    std::vector<Occupancy> seconds;  // sorted by key
    std::vector<ReturnPiece> pieces; // with gatherPieces: sorted by time, source, number
};

// Reads every file of the survey (checked by open_survey) in large blocks on
// the run's threads. The pieces are gathered only when asked for.
void scan_survey(quilvor::Survey& survey, SurveyScan& scan, bool gatherPieces);

// ---------------------------------------------------------------------------
// Pulses and flight lines
// ---------------------------------------------------------------------------

// One pulse with two or more returns: its GPS time, first and last return.
struct Pulse {
    double t;
    XYZ first, last;
    uint16_t source;
};
struct PulseCount {
    uint64_t split = 0;      // first and last return in two listed files
    uint64_t ambiguous = 0;  // GPS times shared by more than one pulse of a source: left out
};
// The pulses of the sorted pieces, in time order: a first and a last return
// of one source at one GPS time (the same return listed twice counts once).
std::vector<Pulse> assemble_pulses(const std::vector<ReturnPiece>& pieces, PulseCount& count);

// A stretch of continuous flight: returns with no gap of kLineGap seconds,
// of one point source ID where the IDs differ. Lines do not overlap in time.
struct FlightLine {
    TimeSpan span;          // its returns' GPS times
    std::size_t firstPulse = 0, pulses = 0;  // its pulses, a range of the time-ordered pulses
};
inline constexpr double kLineGap = 5.0;
std::vector<FlightLine> split_flight_lines(const std::vector<Occupancy>& seconds, const std::vector<Pulse>& pulses);

// ---------------------------------------------------------------------------
// The path of one flight line
// ---------------------------------------------------------------------------

// The estimated error of a line's path at one time: the standard deviations
// of its horizontal position (X and Y together) and of its height, in the
// files' coordinate units.
struct PathError {
    double t, horizontal, vertical;
};

// The scanner's position along a line: a uniform cubic B-spline in time,
// knots kKnot seconds apart, for X, Y and Z about an origin.
struct LinePath {
    double t0 = 0, knot = 1;              // the time of the first knot, the knot spacing
    double start = 0, end = 0;            // the times it was fitted for
    double from = 0, to = 0;              // the times it gives the survey's path (join_lines)
    XYZ origin{};
    std::vector<XYZ> control;             // control points about the origin
    // The report of the fit.
    std::size_t used = 0, rejected = 0;   // pulses that carry it, pulses left out as outliers
    double rms = 0;                       // RMS distance of the used beams from the path, m
    std::vector<TimeSpan> bridged;        // stretches without multi-return pulses
    std::vector<PathError> error;         // in the middle of every knot interval from start to end
};
// The RMS of the estimated errors from t0 to t1 (horizontal, vertical).
PathError rms_error(const LinePath& path, double t0, double t1);
inline constexpr double kKnot = 1.0;       // seconds between knots
inline constexpr double kMargin = 1.0;     // seconds of path before the first and after the last return
inline constexpr double kBridge = 2.0;     // a stretch this long without pulses is bridged
// The fewest pulses a line of the given duration needs.
std::size_t pulses_needed(double seconds);

// Fits the path of one line to the beams of its pulses, robustly (iteratively
// reweighted least squares); false when the beams do not determine it.
bool fit_line_path(const FlightLine& line, const Pulse* pulses, LinePath& path);
XYZ path_position(const LinePath& path, double t);

// Solves A x = b for a symmetric positive definite A in band storage:
// a[i * (w + 1) + d] = A(i, i + d) for d = 0 .. w. A is overwritten by its
// factor, b by x. False when A is not positive definite.
bool solve_banded(std::vector<double>& a, std::vector<double>& b, std::size_t n, std::size_t w);
// The two steps of solve_banded: A = U'U in place, then b := A^-1 b with the factor.
bool factor_banded(std::vector<double>& a, std::size_t n, std::size_t w);
void solve_factored(const std::vector<double>& a, std::vector<double>& b, std::size_t n, std::size_t w);

// ---------------------------------------------------------------------------
// The written trajectory
// ---------------------------------------------------------------------------

// A path over time: the lines' own paths, joined by straight segments.
struct SurveyPath {
    std::vector<LinePath> lines;  // in time order
};
// Gives each line the times it rules: kMargin beyond its returns, or half-way
// to the next line when that is nearer.
void join_lines(SurveyPath& path);
XYZ survey_position(const SurveyPath& path, double t);

// Refuses a trajectory [pathFirst, pathLast] that does not cover every listed
// return's GPS time.
void check_coverage(const SurveyScan& scan, double pathFirst, double pathLast);
// Refuses a trajectory of more than kMaxSamples samples from first to last.
inline constexpr double kMaxSamples = 5e7;
void check_sample_count(double first, double last, double step);
// Writes n "X Y Z T" lines (%.3f %.3f %.3f %.6f), the k-th from sample(k), in
// large blocks under a temporary name renamed when complete; on any failure
// the run ends with nothing written, the system's reason on standard error.
// A value beyond kLargestTrajectoryValue ends the run naming the sample and
// source (where the samples come from). Every source's output goes through it.
void write_samples(const std::string& output, uint64_t n, const std::function<quilvor::refDataStruct(uint64_t k)>& sample,
                   const std::string& source);
inline void write_samples(const std::string& output, const std::vector<quilvor::refDataStruct>& samples,
                          const std::string& source) {
    write_samples(output, samples.size(), [&samples](uint64_t k) { return samples[k]; }, source);
}
// Writes the samples of a path every step seconds (on whole multiples of it)
// from first to last. Returns the number of samples.
uint64_t write_trajectory(const std::string& output, double step, double first, double last,
                          const std::function<XYZ(double)>& position);
// The first and the last sample time of a span written every step seconds.
double first_sample(double t, double step);
double last_sample(double t, double step);

}  // namespace las_trajectory
