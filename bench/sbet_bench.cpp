// Times reading and converting an hour of navigation solution (720,000 SBET
// records at 200 a second, 98 MB) into UTM coordinates and adjusted time:
//   sbet_bench [folder]   (default: the system's temporary folder)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "convert.h"
#include "sbet.h"

int main(int argc, char** argv) {
    const std::filesystem::path dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path();
    const std::string path = (dir / "sbet_bench.sbet").string();
    // A straight line north-east at 60 m/s, 36 degrees north, 123 west, 1000 m up.
    std::vector<navigation::SbetSample> samples(720000);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const double t = 345600.0 + k / 200.0;
        samples[k] = {t, 0.6283 + 6.6e-6 * (t - 345600.0) * 0.1, -2.1467 + 8.0e-6 * (t - 345600.0) * 0.1,
                      1000.0 + std::sin(t / 60.0)};
    }
    if (!navigation::write_sbet(path, samples)) {
        std::fprintf(stderr, "sbet_bench: cannot write %s\n", path.c_str());
        return 1;
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        const std::vector<navigation::SbetSample> read = navigation::read_sbet(path);
        const auto afterRead = std::chrono::steady_clock::now();
        const navigation::ConvertedTrajectory converted = navigation::convert_sbet(read, "EPSG:32610", {true, 2000});
        const auto end = std::chrono::steady_clock::now();
        const std::chrono::duration<double> r = afterRead - start, c = end - afterRead, all = end - start;
        std::printf("%zu SBET records (%.0f MB): read and checked %.3f s, converted %.3f s, total %.3f s\n",
                    read.size(), read.size() * 136 / 1e6, r.count(), c.count(), all.count());
        std::printf("first sample %.3f %.3f %.3f %.6f\n", converted.samples[0].X, converted.samples[0].Y,
                    converted.samples[0].Z, converted.samples[0].T);
    } catch (const quilvor::Failure& f) {
        std::printf("%s", f.message.c_str());
    }
    std::filesystem::remove(path);
    return 0;
}
