// LAS_Trajectory: the survey's path over time, the check that it covers the
// listed returns, and the written X Y Z T file.
#include <errno.h>

#include <algorithm>
#include <cmath>

#include "las_trajectory.h"
#include "temp_files.h"

namespace las_trajectory {

using quilvor::fail;

void join_lines(SurveyPath& path) {
    std::vector<LinePath>& lines = path.lines;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lines[i].from = lines[i].start - kMargin;
        lines[i].to = lines[i].end + kMargin;
        if (i > 0) lines[i].from = std::max(lines[i].from, 0.5 * (lines[i - 1].end + lines[i].start));
        if (i + 1 < lines.size()) lines[i].to = std::min(lines[i].to, 0.5 * (lines[i].end + lines[i + 1].start));
    }
}

XYZ survey_position(const SurveyPath& path, double t) {
    const std::vector<LinePath>& lines = path.lines;
    // The last line that begins at or before t (the first for earlier times).
    const auto after = std::upper_bound(lines.begin(), lines.end(), t,
                                        [](double v, const LinePath& l) { return v < l.from; });
    const std::size_t i = after == lines.begin() ? 0 : static_cast<std::size_t>(after - lines.begin()) - 1;
    if (t <= lines[i].to || i + 1 == lines.size()) return path_position(lines[i], t);
    // Between two lines: the straight segment from the end of one to the start of the next.
    const LinePath &a = lines[i], &b = lines[i + 1];
    const XYZ p = path_position(a, a.to), q = path_position(b, b.from);
    const double f = (t - a.to) / (b.from - a.to);
    return {p[0] + (q[0] - p[0]) * f, p[1] + (q[1] - p[1]) * f, p[2] + (q[2] - p[2]) * f};
}

void check_coverage(const SurveyScan& scan, double pathFirst, double pathLast) {
    if (scan.all.empty || (pathFirst <= scan.all.first && scan.all.last <= pathLast)) return;
    fail("\nThe trajectory spans GPS time %.6f to %.6f, but the listed returns span %.6f to %.6f\n", pathFirst,
         pathLast, scan.all.first, scan.all.last);
}

void check_sample_count(double first, double last, double step) {
    const double samples = (last - first) / step + 1.0;
    if (samples <= kMaxSamples) return;
    fail("\nThe listed returns span %.0f s of GPS time (%.6f to %.6f): a trajectory every %g s would hold %.0f "
         "samples, more than %.0f\n", last - first, first, last, step, samples, kMaxSamples);
}

double first_sample(double t, double step) { return std::floor(t / step) * step; }
double last_sample(double t, double step) { return std::ceil(t / step) * step; }

void write_samples(const std::string& output, uint64_t n, const std::function<quilvor::refDataStruct(uint64_t k)>& sample,
                   const std::string& source) {
    quilvor::PendingOutput out;
    if (!quilvor::begin_output(out, output))
        quilvor::fail_because(errno, output, "\nFailed to open file %s for writing\n", output.c_str());
    std::string text;
    char line[160];
    int error = 0;
    for (uint64_t k = 0; k < n; ++k) {
        const quilvor::refDataStruct s = sample(k);
        // Values within kLargestTrajectoryValue make lines of at most 80 characters.
        const int m = quilvor::trajectory_value_fits(s)
                          ? std::snprintf(line, sizeof(line), "%.3f %.3f %.3f %.6f\n", s.X, s.Y, s.Z, s.T)
                          : -1;
        if (m < 0 || static_cast<std::size_t>(m) >= sizeof(line))
            fail("\nTrajectory sample %llu (from %s) holds X %g, Y %g, Z %g, T %g: a trajectory holds values up to "
                 "%g\n", static_cast<unsigned long long>(k + 1), source.c_str(), s.X, s.Y, s.Z, s.T,
                 quilvor::kLargestTrajectoryValue);
        text.append(line, static_cast<std::size_t>(m));
        if (text.size() >= (std::size_t{1} << 20) || k + 1 == n) {
            if (error == 0 && std::fwrite(text.data(), 1, text.size(), out.file.get()) != text.size())
                error = errno != 0 ? errno : EIO;
            text.clear();
        }
    }
    if (error == 0 && !quilvor::finish_output(out)) error = errno != 0 ? errno : EIO;
    if (error == 0 && !quilvor::publish_output(out)) error = errno != 0 ? errno : EIO;
    if (error != 0) quilvor::fail_because(error, output, "\nFailed to write trajectory %s\n", output.c_str());
}

uint64_t write_trajectory(const std::string& output, double step, double first, double last,
                          const std::function<XYZ(double)>& position) {
    const int64_t k0 = static_cast<int64_t>(std::floor(first / step)), k1 = static_cast<int64_t>(std::ceil(last / step));
    const uint64_t n = static_cast<uint64_t>(k1 - k0 + 1);
    write_samples(output, n, [&](uint64_t k) {
        const double t = static_cast<double>(k0 + static_cast<int64_t>(k)) * step;
        const XYZ p = position(t);
        return quilvor::refDataStruct{p[0], p[1], p[2], t};
    }, "the path rebuilt from the listed files");
    return n;
}

}  // namespace las_trajectory
