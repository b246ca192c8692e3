// Usage text, switch counting and the checks of the run settings.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "certainty.h"
#include "driver.h"

namespace quilvor {

void usage() {
    std::printf("Usage:\nLAS_Quilvor.exe\n");
    std::printf("        <ASCII file w/ list of LAS files>\n");
    std::printf("        <Laser trajectory data in X, Y, Z, T space-delimited ASCII>\n");
    std::printf("        <Max distance, in 3D, of returns forming a pair>\n");
    std::printf("        <Radius, in 2D, when searching for pairs of returns>\n");
    std::printf("        <Min time difference between scanning swaths>\n");
    std::printf("        <Max time difference between scanning swaths>\n");
    std::printf("        Options:\n");
    std::printf("           -tr {truncate normalized intensities within the [1,255] range}\n");
    std::printf("           -n  {no normalization; only compute normalization parameters}\n\n");
}

void help() {
    usage();
    std::printf("        More options, after the six values above:\n");
    std::printf("           --report FILE.json {also write a JSON report of the estimate, with an interval\n");
    std::printf("                               for the exponent and each file's own exponent}\n");
    std::printf("           --plots DIR        {also draw the variance curve and the intensity by range\n");
    std::printf("                               into DIR}\n");
    std::printf("           --strip-gains      {normalize with the exponent fitted with one gain per strip\n");
    std::printf("                               and divide each strip's intensities by its gain}\n\n");
}

std::string take_extra_outputs(int& argc, char** argv) {
    int kept = std::min(argc, 7);
    for (int i = 7; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--strip-gains") {
            if (_extraOutputs.stripGains) return "option " + a + " given twice";
            _extraOutputs.stripGains = true;
            continue;
        }
        std::string* value = a == "--report" ? &_extraOutputs.reportFile : a == "--plots" ? &_extraOutputs.plotsDir : nullptr;
        if (value == nullptr) {
            argv[kept++] = argv[i];
            continue;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') return "option " + a + " needs a value";
        if (!value->empty()) return "option " + a + " given twice";
        *value = argv[++i];
    }
    argc = kept;
    // The first six arguments are values whatever they look like; options stand after them.
    for (int i = 7; i < argc; ++i)
        if (std::strncmp(argv[i], "--", 2) == 0)
            return std::string("unknown option ") + argv[i] + " (the options are --report FILE.json, --plots DIR and --strip-gains)";
    return "";
}

void findOptionalArgs(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-n") == 0) {
            ++_optionalArgs;
            _skipNormalizationFlag = 0;
        }
        if (std::strcmp(argv[i], "-tr") == 0) {
            ++_optionalArgs;
            _truncateIntensityFlag = 0;
        }
    }
}

void checkArgs(char** argv) {
    _maxPairDistText = argv[3];
    _minTimeText = argv[5];
    _maxTimeText = argv[6];
    _maxPairDist = std::strtod(argv[3], nullptr);
    if (_maxPairDist <= 0)
        fail("\nMax distance between a return pair returns should be positive. You specified %s\n", argv[3]);
    _resolution = std::strtod(argv[4], nullptr);
    if (_resolution <= 0)
        fail("\nRadius used in search for return pairs should be positive. You specified %s\n", argv[4]);
    if (_maxPairDist > _resolution)
        fail("\nRadius used in search for return pairs should at least equal the max distance between returns\n");
    _minTimeBWSwaths = std::strtod(argv[5], nullptr);
    if (_minTimeBWSwaths <= 0)
        fail("\nSpecified minimum GPS time difference between swaths (%s) should be positive\n", argv[5]);
    _maxTimeBWSwaths = std::strtod(argv[6], nullptr);
    if (_maxTimeBWSwaths <= 0)
        fail("\nSpecified maximum GPS time difference between swaths (%s) should be positive\n", argv[6]);
    if (_minTimeBWSwaths >= _maxTimeBWSwaths)
        fail("\nSpecified maximum GPS time between swaths (%s) should be greater than minimum time (%s)\n",
             argv[6], argv[5]);
    if (_truncateIntensityFlag == 0 && _skipNormalizationFlag == 0) {
        std::printf("\nWARNING: Your request to truncate the intensity into the [1,255] range\n");
        std::printf("by using the '-tr' argument will be ignored because you do not want to\n");
        std::printf("perform intensity normalization ('-s' argument) for the file(s) specified\n");
        std::printf("in %s\n\n", argv[1]);
    }
}

}  // namespace quilvor
