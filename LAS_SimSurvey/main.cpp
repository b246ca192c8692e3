// LAS_SimSurvey: writes a synthetic airborne survey with a known range exponent.
#include <cstdio>
#include <exception>

#include "sim_survey.h"

namespace {
void help() {
    std::printf(
        "Usage: LAS_SimSurvey [options]\n"
        "  --out DIR            folder for the files (default .)\n"
        "  --seed N             random seed (default 1)\n"
        "  --lines N            flight lines (default 3)\n"
        "  --length M           line length over the area, m (default 500)\n"
        "  --altitude M         height above the mean terrain, m (default 300)\n"
        "  --scan-angle DEG     scanner half-angle (default 20)\n"
        "  --overlap F          swath overlap fraction (default 0.4)\n"
        "  --density D          ground returns per m^2 (default 2)\n"
        "  --exponent E         true range exponent (default 2)\n"
        "  --noise S            relative intensity noise sigma (default 0.02)\n"
        "  --tile M             tile edge, m (default 250)\n"
        "  --speed V            aircraft speed, m/s (default 60)\n"
        "  --turn S             duration of each turn, s (default 60)\n"
        "  --vegetation F       share of pulses with a canopy return (default 0.1)\n"
        "  --returns N          2, or 3: half the canopy pulses also return from inside the\n"
        "                       canopy (default 2)\n"
        "  --roll DEG           the aircraft rolls gently by up to DEG, drifting sideways and\n"
        "                       heaving with it (default 0: level flight)\n"
        "  --height-step F      lines flown at heights F apart, as a fraction of the altitude\n"
        "                       (low, nominal, high, low, ...) (default 0.04)\n"
        "  --strip-gain G       each line's intensities times a gain drawn from [1 - G, 1 + G]\n"
        "  --strip-reflectance A  each line sees the reflectance times 1 + A x a smooth field\n"
        "                       of its own (spread 1, waves of 0.5 to 1.5 times\n"
        "                       --reflectance-length M, default 500)\n"
        "  --open-ground M      M metres of open ground (no canopy) in the middle of every line\n"
        "                       (default 0)\n"
        "  --position-noise M   each return's X, Y and Z off by gaussian noise of sigma M\n"
        "                       (default 0)\n"
        "  --las-version V      1.0, 1.1, 1.2, 1.3 or 1.4 (default 1.2)\n"
        "  --format F           point data format with a GPS time: 1 or 3, 4 or 5 (LAS 1.3 and\n"
        "                       1.4), 6 to 10 (LAS 1.4) (default 1)\n"
        "  --scale S            coordinate scale factor (default 0.01)\n"
        "  --offset-x/-y/-z V   coordinate offsets (default 500000 4000000 0)\n"
        "  --time-base B        week, adjusted (1.6e8), 1e9 or a number of seconds (default week)\n"
        "  --sbet NAME          also write the true trajectory as an SBET file NAME in the output\n"
        "                       folder (WGS 84, seconds of the GPS week), and name the coordinate\n"
        "                       system (UTM zone 10 north, EPSG:32610) in every LAS file\n"
        "  --laz                write the tiles compressed (LAZ, chunks of 50,000 points), named\n"
        "                       .laz\n");
}
}  // namespace

int main(int argc, char** argv) {
    simsurvey::Options o;
    if (argc == 2 && std::string(argv[1]) == "--help") {
        help();
        return 0;
    }
    const std::string err = simsurvey::parse_options(argc, argv, o);
    if (!err.empty()) {
        std::printf("LAS_SimSurvey: %s\n", err.c_str());
        help();
        return -1;
    }
    try {
        const simsurvey::Summary s = simsurvey::simulate(o);
        if (s.files.empty()) {
            std::printf("LAS_SimSurvey: no tile holds an overlap of two swaths (fly at least two lines)\n");
            return -1;
        }
        std::printf("Files written:  %zu LAS files, las_list.txt, trajectory.txt in %s\n", s.files.size(),
                    o.outDir.c_str());
        std::printf("Returns:        %llu\n", static_cast<unsigned long long>(s.returns));
        std::printf("True exponent:  %g\n", o.exponent);
        if (o.stripGain != 0.0) {
            std::printf("Strip gains:   ");
            for (int i = 0; i < o.lines; ++i) std::printf(" %d:%.6f", i + 1, simsurvey::strip_gain(o, i));
            std::printf("  (point source ID:gain)\n");
        }
        std::printf("Tool arguments: las_list.txt trajectory.txt %g %g %g %g\n", s.maxPairDistance, s.radius,
                    s.minTime, s.maxTime);
        std::printf("                (max pair distance, search radius, min and max time between swaths)\n");
    } catch (const std::exception& e) {
        std::printf("LAS_SimSurvey: %s\n", e.what());
        return -1;
    }
    return 0;
}
