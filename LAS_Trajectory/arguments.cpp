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
    std::printf("           --step S {seconds between samples, 0.001 to 1 (default 0.05; with --sbet,\n");
    std::printf("                     every record)}\n");
    std::printf("           --sbet FILE {convert the survey's navigation solution (SBET) instead of\n");
    std::printf("                        rebuilding the trajectory from the returns}\n");
    std::printf("           --crs CRS {with --sbet: the LAS files' coordinate system, as PROJ takes it\n");
    std::printf("                      (EPSG:32610, WKT or PROJJSON, or a file holding one); by default\n");
    std::printf("                      the one the files name}\n");
    std::printf("           --gps-week W {with --sbet: the GPS week of the SBET's first record, for LAS\n");
    std::printf("                         files in adjusted standard GPS time; by default from their times}\n");
    std::printf("           --max-error M {the largest estimated RMS error of a rebuilt line or bridged\n");
    std::printf("                          stretch, in coordinate units (default %g m: %g, or %.3f\n",
                kDefaultMaxError, kDefaultMaxError, kDefaultMaxError / 0.3048);
    std::printf("                          where the files' coordinate system is in feet)}\n");
    std::printf("           --accept-inaccurate {write the rebuilt path even where its estimated\n");
    std::printf("                                error exceeds --max-error}\n\n");
}

using torvane::parse_finite_number;

TrajectoryOptions parse_trajectory_arguments(int argc, char** argv) {
    TrajectoryOptions o;
    std::vector<const char*> positional;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--step") {
            if (k + 1 >= argc) fail("\n--step needs a number of seconds\n");
            if (!parse_finite_number(argv[k + 1], o.step) || !(o.step >= 0.001 && o.step <= 1.0))
                fail("\n--step should be a number of seconds from 0.001 to 1. You specified %s\n", argv[k + 1]);
            o.stepGiven = true;
            ++k;
        } else if (a == "--sbet" || a == "--crs") {
            if (k + 1 >= argc || argv[k + 1][0] == '\0') fail("\n%s needs a value\n", a.c_str());
            (a == "--sbet" ? o.sbet : o.crs) = argv[++k];
        } else if (a == "--gps-week") {
            double w = 0;
            if (k + 1 >= argc) fail("\n--gps-week needs a GPS week number\n");
            if (!parse_finite_number(argv[k + 1], w) || !(w >= 0 && w <= 100000 && w == std::floor(w)))
                fail("\n--gps-week should be a whole GPS week number. You specified %s\n", argv[k + 1]);
            o.gpsWeek = static_cast<int>(w);
            ++k;
        } else if (a == "--max-error") {
            if (k + 1 >= argc) fail("\n--max-error needs a distance in coordinate units\n");
            if (!parse_finite_number(argv[k + 1], o.maxError) || !(o.maxError > 0))
                fail("\n--max-error should be a positive distance in coordinate units. You specified %s\n", argv[k + 1]);
            o.maxErrorGiven = true;
            ++k;
        } else if (a == "--accept-inaccurate") {
            o.acceptInaccurate = true;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            fail("\nUnknown option %s\n", a.c_str());
        } else {
            positional.push_back(argv[k]);
        }
    }
    if (positional.size() != 2) throw quilvor::Failure("");  // the caller prints the usage
    if (o.sbet.empty() && (!o.crs.empty() || o.gpsWeek >= 0))
        fail("\n--crs and --gps-week go with --sbet: without it the trajectory is rebuilt in the files' own terms\n");
    if (!o.sbet.empty() && (o.maxErrorGiven || o.acceptInaccurate))
        fail("\n--max-error and --accept-inaccurate go with a rebuilt trajectory: an SBET is converted as it is\n");
    o.listFile = positional[0];
    o.output = positional[1];
    return o;
}

}  // namespace las_trajectory
