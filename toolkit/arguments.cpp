// Argument checks, the console banner and the common exit path.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <cmath>
#include <cstdlib>

#include "Torvane_LiDAR.h"

namespace torvane {

void fail(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::fflush(stdout);
    std::exit(-1);
}

void check_numeric_argument(const char* str) {
    int ndots = 0;
    int ndashes = 0;
    bool valid = true;
    for (const char* c = str; *c != '\0'; ++c) {
        if (*c == '.') {
            ++ndots;
        } else if (*c == '-') {
            ++ndashes;
        } else if (*c < '0' || *c > '9') {
            valid = false;
        }
    }
    const std::string text(str);
    if (ndots > 1 || ndashes > 1 || text == "." || text == "-") valid = false;
    if (!valid) fail("\nInvalid argument value (%s)\n", str);
}

void credits() {
    std::printf("\nTorvane LiDAR Utilities");
    std::printf("\n\nDeveloped and maintained by the Torvane LiDAR Utilities maintainers");
    std::printf("\nTorvane LiDAR Utilities project");
    std::printf("\nAddress: see the project documentation");
    std::printf("\n\n** No warranty regarding script behavior is given or implied **");
    std::printf("\n** Acknowledging the author's efforts ensures script updates and availability **\n");
}

bool asks_for_help(int argc, char** argv) { return argc == 2 && std::string(argv[1]) == "--help"; }

int16_t check_YN(const char* text) {
    const std::string t(text);
    if (t == "Y" || t == "N" || t == "y" || t == "n") return 0;
    std::printf("\nASCII Header Flag should be either Y (y) or N (n)\n");
    return -1;
}

bool parse_finite_number(const char* text, double& v) {
    char* end = nullptr;
    v = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(v);
}

}  // namespace torvane
