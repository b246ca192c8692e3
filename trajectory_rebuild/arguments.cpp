// LAS_Trajectory: the command line.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "las_trajectory.h"

namespace las_trajectory {

using quilvor::fail;

void trajectory_usage() {
    std::printf("Usage:\nLAS_Trajectory\n");
    std::printf("        <ASCII file w/ list of LAS files>\n");
    std::printf("        <Output trajectory, X Y Z T text>\n");
    std::printf("        Options:\n");
    std::printf("           --step S {seconds between samples, 0.001 to 1 (default 0.05)}\n\n");
}

namespace {

bool parse_number(const char* text, double& v) {
    char* end = nullptr;
    v = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(v);
}

}  // namespace

TrajectoryOptions parse_trajectory_arguments(int argc, char** argv) {
    TrajectoryOptions o;
    std::vector<const char*> positional;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--step") {
            if (k + 1 >= argc) fail("\n--step needs a number of seconds\n");
            if (!parse_number(argv[k + 1], o.step) || !(o.step >= 0.001 && o.step <= 1.0))
                fail("\n--step should be a number of seconds from 0.001 to 1. You specified %s\n", argv[k + 1]);
            ++k;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            fail("\nUnknown option %s\n", a.c_str());
        } else {
            positional.push_back(argv[k]);
        }
    }
    if (positional.size() != 2) throw quilvor::Failure("");  // the caller prints the usage
    o.listFile = positional[0];
    o.output = positional[1];
    return o;
}

}  // namespace las_trajectory
