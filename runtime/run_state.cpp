// Definitions and initial values of the run state.
#include "run_state.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "temp_files.h"

namespace quilvor {

double _maxPairDist = 0.0;
double _resolution = 0.0;
double _minTimeBWSwaths = 0.0;
double _maxTimeBWSwaths = 0.0;
uint16_t _optionalArgs = 0;
int16_t _skipNormalizationFlag = -1;
int16_t _truncateIntensityFlag = -1;
uint16_t _fileCount = 0;
std::vector<pairStruct> _pairInfo;
uint32_t _refDataRecords = 0;
std::vector<refDataStruct> _rd;
double _refTimeMin = 99999999.99;
double _refTimeMax = -99999999.99;
double _GPSTimeMin = 0.0;
double _GPSTimeMax = 0.0;
std::vector<uint16_t> _rangeVec;
std::vector<float> _angleVec;
uint32_t _maxPairsForOneLASFile = 0;
double _allPairs = 0.0;
double _meanRange = 0.0;
double _preNormIntensityVar = 0.0;
double _postNormIntensityVar = 0.0;
double _normFactor = 0.0;
unsigned _threads = 1;
uint64_t _pairRecordBudget = 0;

const char* _programName = "LAS_Quilvor";
std::string _maxPairDistText, _minTimeText, _maxTimeText;

namespace {

std::string format(const char* fmt, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

}  // namespace

void fail(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::string text = format(fmt, args);
    va_end(args);
    throw Failure(std::move(text));
}

void fail_because(int error, const std::string& subject, const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::string text = format(fmt, args);
    va_end(args);
    throw Failure(std::move(text), reason_line(error, subject));
}

void fail_with_reason(const std::string& reason, const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::string text = format(fmt, args);
    va_end(args);
    throw Failure(std::move(text), reason);
}

std::string open_reason(const std::string& subject) {
    if (errno != 0) return reason_line(errno, subject);
    return std::string(_programName) + ": " + subject + ": not a regular file\n";
}

std::string reason_line(int error, const std::string& subject) {
    std::string line = std::string(_programName) + ": ";
    if (!subject.empty()) line += subject + ": ";
    return line + (error != 0 ? std::strerror(error) : "failed") + "\n";
}

void note(const std::string& line) {
    // Straight to the descriptor: standard error is unbuffered, and a line
    // must not wait behind standard output.
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(2, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void end_run_with(const Failure& failure) {
    std::fputs(failure.message.c_str(), stdout);
    std::fflush(stdout);
    std::string why = failure.reason;
    for (const std::string& name : kept_temporary_files())
        why += std::string(_programName) + ": the failed run keeps its temporary file " + name + "\n";
    note(why);
    remove_failed_run_folders();
    std::exit(-1);
}

int run_program(int argc, char** argv, int (*body)(int, char**)) {
    try {
        return body(argc, argv);
    } catch (const Failure& failure) {
        end_run_with(failure);
    } catch (const std::bad_alloc&) {
        end_run_with(Failure("\nFailed to allocate memory\n", reason_line(ENOMEM, "")));
    } catch (const std::exception& e) {
        end_run_with(Failure(std::string("\nUnexpected failure: ") + e.what() + "\n"));
    }
}

int report_status(const char* program) {
    // The report is the product of a run: a run whose report could not be
    // written has failed.
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "\n%s: the report could not be written to standard output\n", program);
    return -1;
}

namespace {
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
}  // namespace

bool TokenReader::next(std::string& token) {
    token.clear();
    for (;;) {
        if (pos == end) {
            pos = 0;
            end = std::fread(block.data(), 1, block.size(), f);
            if (end == 0) return !token.empty();
        }
        if (token.empty()) {
            for (; pos < end && is_blank(block[pos]); ++pos)
                if (block[pos] == '\n') ++line;
            if (pos == end) continue;
        }
        const std::size_t start = pos;
        while (pos < end && !is_blank(block[pos])) ++pos;
        token.append(block.data() + start, pos - start);
        if (pos < end) return true;  // ended by a blank
    }
}

void TokenReader::restart() {
    std::rewind(f);
    pos = end = 0;
    line = 1;
}

}  // namespace quilvor
