// The error of a rebuilt trajectory against the true one at the GPS time of
// every listed return: RMS and largest, horizontally and vertically; then
// the RMS of the returns of each point source ID (a simulated flight line).
//   trajectory_accuracy <list file> <true trajectory> <rebuilt trajectory>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "las_input.h"

namespace {

struct Sample {
    double x, y, z, t;
};

std::vector<Sample> read_samples(const char* name) {
    std::vector<Sample> s;
    quilvor::FilePtr f(std::fopen(name, "r"));
    Sample v;
    while (f && std::fscanf(f.get(), "%lf %lf %lf %lf", &v.x, &v.y, &v.z, &v.t) == 4) s.push_back(v);
    std::sort(s.begin(), s.end(), [](const Sample& a, const Sample& b) { return a.t < b.t; });
    return s;
}

// Linear interpolation at t (the nearest end outside the samples).
Sample at(const std::vector<Sample>& s, double t) {
    const auto hi = std::upper_bound(s.begin(), s.end(), t, [](double v, const Sample& a) { return v < a.t; });
    if (hi == s.begin()) return s.front();
    if (hi == s.end()) return s.back();
    const Sample &a = *(hi - 1), &b = *hi;
    const double f = (t - a.t) / (b.t - a.t);
    return {a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f, a.z + (b.z - a.z) * f, t};
}

int run(int argc, char** argv) {
    if (argc != 4) {
        std::printf("usage: trajectory_accuracy <list file> <true trajectory> <rebuilt trajectory>\n");
        return 2;
    }
    quilvor::Survey survey = quilvor::open_survey(quilvor::read_list(argv[1]));
    const std::vector<Sample> truth = read_samples(argv[2]), rebuilt = read_samples(argv[3]);
    if (truth.size() < 2 || rebuilt.size() < 2) quilvor::fail("\nA trajectory holds fewer than two samples\n");
    double h2 = 0, v2 = 0, hMax = 0, vMax = 0;
    uint64_t n = 0;
    std::map<uint16_t, std::array<double, 3>> bySource;  // squared errors summed, and the count
    quilvor::RecordScratch scratch;
    for (quilvor::SurveyFile& entry : survey) {
        quilvor::LasInput in = quilvor::open_las_input(entry, "\nFailed to open file %s for reading\n");
        std::vector<unsigned char> data(std::size_t{in.points} * in.recordLength);
        quilvor::read_records(in, 0, in.points, data.data(), scratch);
        for (uint32_t k = 0; k < in.points; ++k) {
            const unsigned char* record = data.data() + std::size_t{k} * in.recordLength;
            const double t = torvane::record_gps_time(record, *in.format);
            const Sample a = at(truth, t), b = at(rebuilt, t);
            const double h = std::hypot(a.x - b.x, a.y - b.y), v = std::fabs(a.z - b.z);
            h2 += h * h, v2 += v * v, hMax = std::max(hMax, h), vMax = std::max(vMax, v);
            std::array<double, 3>& s = bySource[torvane::record_point_source_id(record, *in.format)];
            s[0] += h * h, s[1] += v * v, s[2] += 1;
            ++n;
        }
    }
    std::printf("returns %llu  horizontal RMS %.3f m max %.3f m  vertical RMS %.3f m max %.3f m\n",
                static_cast<unsigned long long>(n), std::sqrt(h2 / static_cast<double>(n)), hMax,
                std::sqrt(v2 / static_cast<double>(n)), vMax);
    for (const auto& [source, s] : bySource)
        std::printf("source %u: returns %.0f  horizontal RMS %.3f  vertical RMS %.3f\n", unsigned{source}, s[2],
                    std::sqrt(s[0] / s[2]), std::sqrt(s[1] / s[2]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return quilvor::run_program(argc, argv, run); }
