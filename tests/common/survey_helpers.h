// Simulated surveys for tests that run the tool on one.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "las_builder.h"
#include "sim_survey.h"

namespace testutil {

// The tool's arguments for a simulated survey: the list, the trajectory and
// the four numbers the simulator suggests.
inline std::vector<std::string> tool_args(const simsurvey::Summary& s) {
    char buf[4][32];
    std::snprintf(buf[0], 32, "%g", s.maxPairDistance);
    std::snprintf(buf[1], 32, "%g", s.radius);
    std::snprintf(buf[2], 32, "%g", s.minTime);
    std::snprintf(buf[3], 32, "%g", s.maxTime);
    return {"las_list.txt", "trajectory.txt", buf[0], buf[1], buf[2], buf[3]};
}

// The simulator's default survey into dir, with the given line length, tile
// size and density.
inline simsurvey::Summary simulate_survey(const std::string& dir, double length, double tile, double density) {
    simsurvey::Options o;
    o.outDir = dir;
    o.length = length;
    o.tile = tile;
    o.density = density;
    return simsurvey::simulate(o);
}

// The simulator's default survey, 500 m lines cut into tiles, in a folder of
// its own, with the tool's arguments for it.
struct SimulatedSurvey {
    TempDir d;
    simsurvey::Summary s;
    std::vector<std::string> args;
    explicit SimulatedSurvey(double tile = 250) : s(simulate_survey(d.path, 500, tile, 1.0)), args(tool_args(s)) {}
};

}  // namespace testutil
