// The process-wide run state of LAS_Quilvor and the records shared by its stages.
#pragma once

#include <errno.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Torvane_LiDAR.h"
#include "survey_file.h"

namespace quilvor {

// One entry per listed LAS file, in list order.
struct pairStruct {
    std::string LASName;  // the name as read from the list file
    std::string RAIName;  // "tmp_RAI_" + the name's last component without its last four characters + ".dat"
    uint32_t nPairs = 0;
    double meanRange = -1.0;
    // The file as the stages read it (its name is LASName).
    SurveyFile file{};
};

// One trajectory sample.
struct refDataStruct {
    double X;
    double Y;
    double Z;
    double T;
};
// The largest magnitude of a coordinate or a GPS time that a written
// trajectory holds: "%.3f %.3f %.3f %.6f" lines of at most 80 characters.
inline constexpr double kLargestTrajectoryValue = 1e10;
inline bool trajectory_value_fits(const refDataStruct& s) {
    for (double v : {s.X, s.Y, s.Z, s.T})
        if (!(v >= -kLargestTrajectoryValue && v <= kLargestTrajectoryValue)) return false;
    return true;
}

extern double _maxPairDist;
extern double _resolution;
extern double _minTimeBWSwaths;
extern double _maxTimeBWSwaths;
extern uint16_t _optionalArgs;
extern int16_t _skipNormalizationFlag;
extern int16_t _truncateIntensityFlag;
extern uint16_t _fileCount;
extern std::vector<pairStruct> _pairInfo;
extern uint32_t _refDataRecords;
extern std::vector<refDataStruct> _rd;
extern double _refTimeMin;
extern double _refTimeMax;
extern double _GPSTimeMin;
extern double _GPSTimeMax;
extern std::vector<uint16_t> _rangeVec;
extern std::vector<float> _angleVec;
extern uint32_t _maxPairsForOneLASFile;
extern double _allPairs;
extern double _meanRange;
extern double _preNormIntensityVar;
extern double _postNormIntensityVar;
extern double _normFactor;
// Settings from the environment: the threads that share each file's work (QUILVOR_THREADS) and the
// memory for pair records kept between the pair search and the exponent
// search (QUILVOR_MEMORY_MB), in bytes.
extern unsigned _threads;
extern uint64_t _pairRecordBudget;

// A failure of a stage: the message the run prints on standard output before
// it ends with exit status -1. Stages throw it; main catches it (a thread that
// does part of a stage's work hands it to the thread that started it), so a
// failure in a thread never ends the process by itself.
// Beside the message, the reason lines for standard error: what the system
// said when it refused something, and what to try.
struct Failure : std::exception {
    std::string message;
    std::string reason;
    explicit Failure(std::string text, std::string why = "") : message(std::move(text)), reason(std::move(why)) {}
    const char* what() const noexcept override { return message.c_str(); }
};

// The program's name, for the lines on standard error ("LAS_Quilvor" unless
// the program sets its own).
extern const char* _programName;
// The command-line texts of the pair distance and of the GPS-time window, for
// the guidance on a file without pairs.
extern std::string _maxPairDistText, _minTimeText, _maxTimeText;

// Formats the message and throws it as a Failure.
[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, with the system's reason for refusing subject (an errno value) on
// standard error: "<program>: <subject>: <reason>".
[[noreturn]] void fail_because(int error, const std::string& subject, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The same with a reason line of its own.
[[noreturn]] void fail_with_reason(const std::string& reason, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
// The reason line of an errno value ("<program>: <subject>: <reason>\n"; no
// subject part when subject is empty).
std::string reason_line(int error, const std::string& subject);
// The reason line of a name that could not be opened for reading: errno's
// (cleared before the attempt), or that it is not a regular file.
std::string open_reason(const std::string& subject);
// Writes a line on standard error now (a note that does not end the run).
void note(const std::string& line);

// Prints the failure's message on standard output, its reason and the
// temporary files the failed run keeps on standard error, and ends the process
// with exit status -1.
[[noreturn]] void end_run_with(const Failure& failure);

// A program's main: runs body, and ends a run that failed (a Failure, or
// memory that could not be had) with its message and exit status -1.
int run_program(int argc, char** argv, int (*body)(int, char**));
// The status of a run that has printed its report: 0, or -1 (said on standard
// error) when standard output did not take it all.
int report_status(const char* program);

// Sizes a vector to n value-initialised entries; ends the run with the given
// message (formatted with arg) when the memory cannot be had.
template <class V>
void allocate_or_fail(V& v, std::size_t n, const char* message, const char* arg = "") {
    try {
        v.assign(n, typename V::value_type{});
    } catch (const std::bad_alloc&) {
        fail_because(ENOMEM, "", message, arg);
    } catch (const std::length_error&) {
        fail_because(ENOMEM, "", message, arg);
    }
}

// An uninitialised byte buffer of n bytes, or the given message and exit.
inline std::unique_ptr<unsigned char[]> allocate_bytes_or_fail(std::size_t n, const char* message,
                                                               const char* arg = "") {
    try {
        return std::make_unique_for_overwrite<unsigned char[]>(n == 0 ? 1 : n);
    } catch (const std::bad_alloc&) {
        fail_because(ENOMEM, "", message, arg);
    }
}

using torvane::FilePtr;

// The whitespace-separated tokens of a text stream (the blanks, tabs and line
// ends that scanf's %s skips), read through one block buffer: no more of the
// text is held than one block and the current token, and a pipe works as well
// as a file.
struct TokenReader {
    std::FILE* f;
    std::vector<char> block = std::vector<char>(std::size_t{1} << 16);
    std::size_t pos = 0, end = 0;
    uint64_t line = 1;  // the line (1-based, every line counted) of the last token read

    explicit TokenReader(std::FILE* file) : f(file) {}
    // The next token into token; false at the end of the text.
    bool next(std::string& token);
    // Back to the start of the text (a seekable file only).
    void restart();
};

}  // namespace quilvor
