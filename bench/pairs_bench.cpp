// Times pairDataToFile on one simulated tile of a few million returns.
//   pairs_bench [work folder] [density]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "pairs.h"
#include "sim_survey.h"
#include "trajectory.h"

using namespace quilvor;

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "pairs_bench_work";
    simsurvey::Options o;
    o.outDir = dir;
    o.lines = 3;
    o.length = 1000.0;
    o.tile = 1000.0;
    o.density = argc > 2 ? std::atof(argv[2]) : 8.0;
    const simsurvey::Summary s = simsurvey::simulate(o);
    std::filesystem::current_path(dir);

    _maxPairDist = s.maxPairDistance;
    _resolution = s.radius;
    _minTimeBWSwaths = s.minTime;
    _maxTimeBWSwaths = s.maxTime;
    _fileCount = 1;
    _pairInfo.assign(1, pairStruct{s.files[0], "tmp_RAI_bench.dat", 0, -1.0});
    load_reference_data("trajectory.txt");

    const auto t0 = std::chrono::steady_clock::now();
    pairDataToFile(0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double returns = static_cast<double>(s.returns);
    std::printf("\nreturns %.0f, pairs %u, %.3f s: %.0f returns/s, %.0f pairs/s\n", returns, _pairInfo[0].nPairs,
                seconds, returns / seconds, _pairInfo[0].nPairs / seconds);
    std::remove("tmp_RAI_bench.dat");
    return 0;
}
