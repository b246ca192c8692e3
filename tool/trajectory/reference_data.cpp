// Loading the trajectory ("reference data") and ordering it by time.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "trajectory.h"

namespace quilvor {

namespace {

constexpr uint64_t maxRecords = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

bool begins_with_number(const std::string& token) {
    char* end = nullptr;
    (void)std::strtod(token.c_str(), &end);
    return end != token.c_str();
}

int line_number(uint64_t line) { return static_cast<int>(std::min<uint64_t>(line, INT32_MAX)); }

// The samples of the text, four values each, by the rules of a trajectory
// file: every token must begin with a number; when the first sample line
// holds whole samples, every line must, but values after the last whole
// sample are ignored.
struct SampleReader {
    const char* file;
    uint64_t line = 0;       // the line of the values being counted (0: none yet)
    uint64_t firstLine = 0;  // the first line with values
    uint32_t onLine = 0;     // values on it so far
    bool wholeLines = false;
    double v[4] = {0, 0, 0, 0};
    int k = 0;  // values of the sample begun

    void value(const std::string& token, uint64_t at) {
        if (!begins_with_number(token)) not_a_number(token, at);
        if (at != line) {
            if (line != 0 && line == firstLine) wholeLines = onLine % 4 == 0;  // then no sample is begun
            else if (wholeLines && k != 0)
                fail("\nReference data in %s, line %d: %u values; every line must hold whole X Y Z T samples\n", file,
                     line_number(line), onLine);
            if (firstLine == 0) firstLine = at;
            line = at;
            onLine = 0;
        }
        ++onLine;
        v[k++] = std::strtod(token.c_str(), nullptr);
        if (k < 4) return;
        if (_rd.size() == maxRecords) fail("\nFailed to allocate memory for reference data\n");
        _rd.push_back(refDataStruct{v[0], v[1], v[2], v[3]});
        k = 0;
    }
    [[noreturn]] void not_a_number(const std::string& token, uint64_t at) const {
        fail("\nReference data in %s, line %d: %s is not a number\n", file, line_number(at),
             token.substr(0, 40).c_str());
    }
};

// Skips a heading: a first non-blank line without any token that begins with
// a number. Leaves token at the first token after it (more: there is one).
void skip_heading(TokenReader& reader, std::string& token, bool& more, const SampleReader& samples) {
    const uint64_t first = reader.line;
    std::string word;  // the first word of the line
    for (; more && reader.line == first && !begins_with_number(token); more = reader.next(token))
        if (word.empty()) word = token;
    if (more && reader.line == first && !word.empty()) samples.not_a_number(word, first);  // words, then a number
}

// Reads the samples into _rd. A regular file is counted first, so that the
// array is allocated once; from a pipe the array grows as samples arrive.
// Memory: the samples and one read block.
void read_samples(std::FILE* f, const char* refdatafile) {
    TokenReader reader(f);
    std::string token;
    struct stat st;
    const bool seekable = ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    try {
        _rd.clear();
        if (seekable) {
            uint64_t tokens = 0;
            while (reader.next(token)) ++tokens;
            if (tokens / 4 > maxRecords) fail("\nFailed to allocate memory for reference data\n");
            _rd.reserve(static_cast<std::size_t>(tokens / 4));
            reader.restart();
        }
        SampleReader samples{refdatafile};
        bool more = reader.next(token);
        skip_heading(reader, token, more, samples);
        for (; more; more = reader.next(token)) samples.value(token, reader.line);
    } catch (const std::bad_alloc&) {
        fail("\nFailed to allocate memory for reference data\n");
    } catch (const std::length_error&) {
        fail("\nFailed to allocate memory for reference data\n");
    }
    if (std::ferror(f)) fail_because(errno, refdatafile, "\nCannot read ASCII file with reference data %s\n", refdatafile);
}

// The samples must be finite, and each of X, Y, Z and T must vary. The
// extremes start from the first sample.
void check_ranges(const char* refdatafile) {
    const uint32_t n = _refDataRecords;
    for (const refDataStruct& s : _rd)
        if (!std::isfinite(s.X) || !std::isfinite(s.Y) || !std::isfinite(s.Z) || !std::isfinite(s.T))
            fail("\nReference data in %s hold a value that is not a finite number\n", refdatafile);
    const char* letters = "XYZT";
    for (int q = 0; q < 4 && n > 0; ++q) {
        auto value = [q](const refDataStruct& s) { return q == 0 ? s.X : q == 1 ? s.Y : q == 2 ? s.Z : s.T; };
        double lo = value(_rd[0]), hi = value(_rd[0]);
        for (uint32_t k = 1; k < n; ++k) {
            const double v = value(_rd[k]);
            if (v > hi) hi = v;
            if (v < lo) lo = v;
        }
        if (hi == lo) fail("\nData range of %c in %s is zero\n", letters[q], refdatafile);
        if (q == 3) {
            _refTimeMin = lo;
            _refTimeMax = hi;
        }
    }
}

bool strictly_ascending_times() {
    for (std::size_t k = 1; k < _rd.size(); ++k)
        if (!(_rd[k - 1].T < _rd[k].T)) return false;
    return true;
}

}  // namespace

void load_reference_data(const char* refdatafile) {
    FilePtr fref(std::fopen(refdatafile, "r"));
    if (!fref)
        fail_because(errno, refdatafile, "\nCannot open ASCII file with reference data %s for reading\n", refdatafile);
    std::printf("\n... Loading reference data ...\r");
    read_samples(fref.get(), refdatafile);
    if (_rd.empty()) fail("\nNo reference data records in %s\n", refdatafile);
    _refDataRecords = static_cast<uint32_t>(_rd.size());
    _rd = sort_reference_data_by_time(refdatafile);
}

std::vector<refDataStruct> sort_reference_data_by_time(const char* refdatafile) {
    const uint32_t n = _refDataRecords;
    check_ranges(refdatafile);

    std::vector<refDataStruct> sorted;
    if (strictly_ascending_times()) {
        // The sort would leave every sample where it is.
        sorted.swap(_rd);
    } else {
        std::vector<double> timeVec;
        allocate_or_fail(timeVec, n, "/nFailed to allocate memory for the reference time vector\n");
        for (uint32_t k = 0; k < n; ++k) timeVec[k] = _rd[k].T;
        std::vector<int32_t> index;
        allocate_or_fail(index, n, "\nCannot allocate memore for time index vector\n");
        for (uint32_t k = 0; k < n; ++k) index[k] = static_cast<int32_t>(k);
        torvane::d_quicksort(timeVec.data(), static_cast<int32_t>(n), index.data());
        std::vector<double>().swap(timeVec);

        try {
            sorted.reserve(n);
        } catch (const std::bad_alloc&) {
            fail("\nCannot allocate memory for sorted reference (aircraft) time data\n");
        }
        for (uint32_t k = 0; k < n; ++k) sorted.push_back(_rd[static_cast<uint32_t>(index[k])]);
        std::vector<refDataStruct>().swap(_rd);
    }

    std::printf("                Reference Data             \n");
    std::printf("-------------------------------------------\n");
    std::printf("File: %s\n", refdatafile);
    std::printf("Records:      %9u\n", n);
    std::printf("Minimum Time: %16.6f\n", _refTimeMin);
    std::printf("Maximum Time: %16.6f\n\n", _refTimeMax);
    return sorted;
}

}  // namespace quilvor
