// Definitions and initial values of the run state.
#include "run_state.h"

#include <cstdarg>
#include <cstdlib>

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

void fail(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    throw Failure(std::move(text));
}

void end_run_with(const Failure& failure) {
    std::fputs(failure.message.c_str(), stdout);
    std::fflush(stdout);
    std::exit(-1);
}

std::string read_whole_text(std::FILE* f) {
    std::string text;
    char block[1 << 16];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof(block), f)) > 0) text.append(block, got);
    return text;
}

std::vector<char*> split_tokens(std::string& text) {
    std::vector<char*> tokens;
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    const std::size_t n = text.size();
    std::size_t k = 0;
    while (k < n) {
        while (k < n && isSpace(text[k])) ++k;
        if (k == n) break;
        tokens.push_back(text.data() + k);
        while (k < n && !isSpace(text[k])) ++k;
        if (k < n) text[k++] = '\0';  // the string's own terminator ends the last token
    }
    return tokens;
}

}  // namespace quilvor
