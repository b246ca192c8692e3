// LAS_Trajectory through the real binary on simulated and crafted surveys,
// and its flight lines from the seconds that hold returns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "las_builder.h"
#include "las_trajectory.h"
#include "sim_survey.h"

using namespace testutil;

namespace {

RunResult run_trajectory(const TempDir& d, const std::vector<std::string>& args) {
    return run_in(d.path, TRAJECTORY_BIN, args);
}

struct Sample {
    double x, y, z, t;
};

std::vector<Sample> read_trajectory(const std::string& path) {
    const std::vector<unsigned char> b = read_file(path);
    std::istringstream in(std::string(b.begin(), b.end()));
    std::vector<Sample> s;
    Sample v;
    while (in >> v.x >> v.y >> v.z >> v.t) s.push_back(v);
    return s;
}

Sample interpolate(const std::vector<Sample>& s, double t) {
    std::size_t i = 0;
    while (i + 2 < s.size() && s[i + 1].t <= t) ++i;
    const double f = (t - s[i].t) / (s[i + 1].t - s[i].t);
    return {s[i].x + (s[i + 1].x - s[i].x) * f, s[i].y + (s[i + 1].y - s[i].y) * f,
            s[i].z + (s[i + 1].z - s[i].z) * f, t};
}

// A survey of three lines over vegetation, the aircraft rolling, some pulses
// with three returns; cut into tiles small enough that tile edges split pulses.
simsurvey::Options rolling_survey(const std::string& dir) {
    simsurvey::Options o;
    o.outDir = dir;
    o.length = 400;
    o.tile = 200;
    o.density = 1.0;
    o.vegetation = 0.3;
    o.maxReturns = 3;
    o.roll = 2.0;
    return o;
}

// Pulses whose last return is nowhere near their beam (multipath, noise):
// about one for every ten real pulses, while the first line flies over the area.
void add_stray_pulses(const TempDir& d, const simsurvey::Options& o) {
    std::vector<Point> pts;
    const double t0 = simsurvey::line_start_time(o, 0) + 100.0 / o.speed, span = o.length / o.speed;
    for (int k = 0; k < 500; ++k) {
        const double t = t0 + span * (k + 0.37) / 500.0;
        double ax, ay, az;
        simsurvey::aircraft_on_line(o, 0, t, ax, ay, az);
        Point a, b;
        a.X = static_cast<int32_t>(std::lround((1000 + ax) * 100));
        a.Y = static_cast<int32_t>(std::lround((1000 + ay + 80.0 * std::sin(k * 1.7)) * 100));
        a.Z = 7000;
        b = a;
        b.X += 1500 * ((k % 3) - 1);
        b.Y += 1200 * (((k / 3) % 3) - 1);
        b.Z -= 1500;
        a.GPSTime = b.GPSTime = t;
        a.PointSourceID = b.PointSourceID = 1;
        a.bitfield = 0x11, b.bitfield = 0x12;  // returns 1 and 2 of 2
        pts.push_back(a);
        pts.push_back(b);
    }
    LasShape shape;
    shape.scale = 0.01;
    shape.offset[0] = o.offsetX, shape.offset[1] = o.offsetY, shape.offset[2] = o.offsetZ;
    write_file(d / "stray.las", make_las(shape, pts));
    const std::vector<unsigned char> list = read_file(d / "las_list.txt");
    write_text(d / "las_list.txt", std::string(list.begin(), list.end()) + "stray.las\n");
}

std::string exponent_of(const std::string& out) {
    const std::size_t at = out.find("Optimal Range Normalization Exponent:");
    return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
}

}  // namespace

TEST(LasTrajectory, RebuiltPathFollowsTheAircraftAndTheToolAcceptsIt) {
    TempDir d;
    const simsurvey::Options o = rolling_survey(d.path);
    const simsurvey::Summary s = simsurvey::simulate(o);
    add_stray_pulses(d, o);
    RunResult r = run_trajectory(d, {"las_list.txt", "rebuilt.txt", "--accept-inaccurate"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Flight line 3:"), std::string::npos) << r.out;
    // Files that name no coordinate system: distances in their coordinate units.
    EXPECT_NE(r.out.find(" coordinate units RMS\n"), std::string::npos) << r.out;
    const std::vector<Sample> path = read_trajectory(d / "rebuilt.txt");
    ASSERT_GT(path.size(), 10u);
    for (std::size_t k = 1; k < path.size(); ++k) ASSERT_NEAR(path[k].t - path[k - 1].t, 0.05, 1e-6);

    // At the GPS time of every listed return, against the simulated aircraft.
    double h2 = 0, v2 = 0;
    std::size_t n = 0;
    for (const std::string& f : s.files) {
        const std::vector<unsigned char> b = read_file(d / f);
        const torvane::LASHeader h = torvane::header_from_bytes(b.data());
        const torvane::PointFormat& format = torvane::point_format(h.PointDataFormatID);
        for (uint32_t k = 0; k < h.NumberOfPointReturns; k += 7) {
            const unsigned char* rec = b.data() + h.OffsetToData + std::size_t{k} * h.PointDataRecordLength;
            const double t = torvane::record_gps_time(rec, format);
            ASSERT_GT(t, path.front().t + 0.5);
            ASSERT_LT(t, path.back().t - 0.5);
            double ax, ay, az;
            simsurvey::aircraft_on_line(o, torvane::record_point_source_id(rec, format) - 1, t, ax, ay, az);
            const Sample p = interpolate(path, t);
            h2 += std::pow(p.x - (o.offsetX + 1000 + ax), 2) + std::pow(p.y - (o.offsetY + 1000 + ay), 2);
            v2 += std::pow(p.z - az, 2);
            ++n;
        }
    }
    EXPECT_LT(std::sqrt(h2 / n), 0.3) << r.out;
    EXPECT_LT(std::sqrt(v2 / n), 0.3);
    // The error it estimates for each line (these short lines are held too
    // loosely for the default --max-error), the RMS over the line's time, is
    // that of the path within a factor.
    for (int line = 1; line <= o.lines; ++line) {
        const std::size_t at = r.out.find("\nFlight line " + std::to_string(line) + ": GPS time");
        ASSERT_NE(at, std::string::npos);
        double t0 = 0, t1 = 0, hEstimated = 0, vEstimated = 0;
        ASSERT_EQ(std::sscanf(r.out.c_str() + at, "\nFlight line %*d: GPS time %lf to %lf (%*f s)\n%*[^\n]\n%*[^\n]\n"
                              "  Path error: %lf horizontal, %lf vertical", &t0, &t1, &hEstimated, &vEstimated), 4);
        double lh2 = 0, lv2 = 0;
        int samples = 0;
        for (double t = t0; t <= t1; t += 0.1, ++samples) {
            double ax, ay, az;
            simsurvey::aircraft_on_line(o, line - 1, t, ax, ay, az);
            const Sample p = interpolate(path, t);
            lh2 += std::pow(p.x - (o.offsetX + 1000 + ax), 2) + std::pow(p.y - (o.offsetY + 1000 + ay), 2);
            lv2 += std::pow(p.z - az, 2);
        }
        const double hTrue = std::sqrt(lh2 / samples), vTrue = std::sqrt(lv2 / samples);
        EXPECT_LT(hTrue, 1.25 * hEstimated) << "line " << line;
        EXPECT_GT(hTrue, hEstimated / 5) << "line " << line;
        EXPECT_LT(vTrue, 1.25 * vEstimated) << "line " << line;
        EXPECT_GT(vTrue, vEstimated / 5) << "line " << line;
    }

    // The tool runs with it, and finds the exponent it finds with the truth.
    write_text(d / "tiles.txt", [&] {
        std::string t;
        for (const std::string& f : s.files) t += f + "\n";
        return t;
    }());
    const RunResult withTruth = run_tool(d.path, {"tiles.txt", "trajectory.txt", "0.708", "0.708", "1", "300", "-n"});
    const RunResult withRebuilt = run_tool(d.path, {"tiles.txt", "rebuilt.txt", "0.708", "0.708", "1", "300", "-n"});
    ASSERT_EQ(withTruth.status, 0) << withTruth.out;
    ASSERT_EQ(withRebuilt.status, 0) << withRebuilt.out;
    const std::string e1 = exponent_of(withTruth.out), e2 = exponent_of(withRebuilt.out);
    ASSERT_FALSE(e1.empty());
    EXPECT_NEAR(std::atof(e1.substr(e1.rfind(' ')).c_str()), std::atof(e2.substr(e2.rfind(' ')).c_str()), 0.01);
}

// Returns scattered by 5 cm: the beams' directions err by a few milliradians,
// which must not pull the path toward the ground (it was metres low).
TEST(LasTrajectory, NoisyReturnsDoNotPullThePathDown) {
    TempDir d;
    simsurvey::Options o = rolling_survey(d.path);
    o.positionNoise = 0.05;
    simsurvey::simulate(o);
    const RunResult r = run_trajectory(d, {"las_list.txt", "rebuilt.txt", "--accept-inaccurate"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<Sample> path = read_trajectory(d / "rebuilt.txt");
    for (int line = 1; line <= 2; ++line) {  // the third begins with a bridge
        const std::size_t at = r.out.find("\nFlight line " + std::to_string(line) + ": GPS time");
        ASSERT_NE(at, std::string::npos);
        double t0 = 0, t1 = 0;
        ASSERT_EQ(std::sscanf(r.out.c_str() + at, "\nFlight line %*d: GPS time %lf to %lf", &t0, &t1), 2);
        double sum = 0;
        int samples = 0;
        for (double t = t0; t <= t1; t += 0.1, ++samples) {
            double ax, ay, az;
            simsurvey::aircraft_on_line(o, line - 1, t, ax, ay, az);
            sum += az - interpolate(path, t).z;
        }
        EXPECT_LT(std::fabs(sum / samples), 1.0) << "line " << line;
    }
}

// Three pulses of two returns: the first returns in a.las, the last return of
// one of them too, those of the others in b.las. Listed twice, a file adds nothing.
TEST(LasTrajectory, PulseSplitAcrossTwoFilesCountsOnce) {
    TempDir d;
    std::vector<Point> a, b;
    for (int k = 0; k < 3; ++k) {
        Point first, last;
        first.X = 100 * k, first.Y = 0, first.Z = 20;
        last.X = 100 * k, last.Y = 5, last.Z = 0;
        first.GPSTime = last.GPSTime = 10.0 + 0.001 * k;
        first.PointSourceID = last.PointSourceID = 4;
        first.bitfield = 0x11, last.bitfield = 0x12;
        a.push_back(first);
        (k == 0 ? a : b).push_back(last);
    }
    LasShape shape;
    write_file(d / "a.las", make_las(shape, a));
    write_file(d / "b.las", make_las(shape, b));
    write_text(d / "list.txt", "a.las b.las a.las\n");
    const RunResult r = run_trajectory(d, {"list.txt", "out.txt"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Multi-return pulses: 3 (2 of them across two files)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nFlight line 1 (GPS time 10.000000 to 10.002000) cannot be rebuilt: it has 3 "
                         "multi-return pulses and needs at least 100\n"), std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(d / "out.txt"));
}

TEST(LasTrajectory, SurveyWithoutMultiReturnPulsesIsRefused) {
    TempDir d;
    simsurvey::Options o = rolling_survey(d.path);
    o.vegetation = 0;
    simsurvey::simulate(o);
    const RunResult r = run_trajectory(d, {"las_list.txt", "out.txt"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("Multi-return pulses: 0 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(") cannot be rebuilt: it has 0 multi-return pulses and needs at least 100\n"),
              std::string::npos) << r.out;
    EXPECT_FALSE(file_exists(d / "out.txt"));
}

// Lines whose middle 700 m (12 s) is open ground: the path there is bridged
// from the wooded ends, and too loosely held to be written unless accepted.
TEST(LasTrajectory, BridgeOverOpenGroundIsRefusedUnlessAccepted) {
    TempDir d;
    simsurvey::Options o = rolling_survey(d.path);
    o.length = 1300;
    o.tile = 1300;
    o.lines = 2;
    o.roll = 0;
    o.openGround = 700;
    simsurvey::simulate(o);
    const RunResult refused = run_trajectory(d, {"las_list.txt", "out.txt"});
    EXPECT_EQ(refused.status, 255);
    EXPECT_NE(refused.out.find("\nFlight line 1, bridged from GPS time "), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find(", more than --max-error 0.3"), std::string::npos) << refused.out;
    EXPECT_FALSE(file_exists(d / "out.txt"));
    const RunResult accepted = run_trajectory(d, {"las_list.txt", "out.txt", "--accept-inaccurate"});
    EXPECT_EQ(accepted.status, 0) << accepted.out;
    EXPECT_TRUE(file_exists(d / "out.txt"));
    const RunResult lenient = run_trajectory(d, {"las_list.txt", "out2.txt", "--max-error", "1000"});
    EXPECT_EQ(lenient.status, 0) << lenient.out;
}

TEST(LasTrajectory, Refusals) {
    TempDir d;
    write_text(d / "bad.las", "not a LAS file, but long enough to hold a header of a hundred and seven bytes ......");
    write_text(d / "bad.txt", "bad.las");
    write_text(d / "list.txt", "a.las");
    write_file(d / "empty.las", make_las(LasShape{}, {}));
    write_text(d / "empty.txt", "empty.las");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"bad.txt", "out.txt"}, "\nbad.las is not a valid .las file\n\n"},
        {{"empty.txt", "out.txt"}, "\nThe listed files hold no returns: there is no trajectory to rebuild\n"},
        {{"list.txt", "out.txt", "--step", "0"}, "\n--step should be a number of seconds from 0.001 to 1. You specified 0\n"},
        {{"list.txt", "out.txt", "--speed", "1"}, "\nUnknown option --speed\n"},
        {{"list.txt", "out.txt", "--crs", "EPSG:32610"}, "\n--crs and --gps-week go with --sbet"},
        {{"list.txt", "out.txt", "--max-error", "0"}, "\n--max-error should be a positive distance in coordinate units. You specified 0\n"},
        {{"list.txt", "out.txt", "--sbet", "nav.sbet", "--accept-inaccurate"}, "\n--max-error and --accept-inaccurate go with a rebuilt trajectory"},
        {{"list.txt", "out.txt", "--sbet", "nav.sbet", "--gps-week", "-1"},
         "\n--gps-week should be a whole GPS week number. You specified -1\n"},
        {{"list.txt"}, "\nMissing or excessive number of arguments\n\nUsage:\nLAS_Trajectory\n"},
    };
    for (const auto& [args, message] : cases) {
        const RunResult r = run_trajectory(d, args);
        EXPECT_EQ(r.status, 255) << message;
        EXPECT_NE(r.out.find(message), std::string::npos) << r.out;
        EXPECT_FALSE(file_exists(d / "out.txt"));
    }
}

namespace {

las_trajectory::Occupancy second(uint16_t source, double first, double last) {
    las_trajectory::Occupancy o{las_trajectory::occupancy_key(source, first), 1, {}};
    o.span.add(first);
    o.span.add(last);
    return o;
}

}  // namespace

// Lines end at a gap of kLineGap seconds or where the point source ID changes;
// sources that share times are one line.
TEST(LasTrajectory, FlightLinesFromTheSecondsWithReturns) {
    using las_trajectory::split_flight_lines;
    std::vector<las_trajectory::Occupancy> seconds = {
        second(1, 100.0, 100.9), second(1, 101.0, 101.9), second(1, 106.5, 106.9),  // a gap of 4.6 s
        second(1, 112.0, 112.5),                                                   // a gap of 5.1 s
        second(2, 112.6, 112.9),                                                   // another source, right after
        second(3, 130.0, 130.5), second(4, 130.2, 130.9)};                         // two sources at once
    std::sort(seconds.begin(), seconds.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
    const std::vector<las_trajectory::Pulse> pulses = {{100.5, {}, {}, 1}, {112.7, {}, {}, 2}, {130.6, {}, {}, 4}};
    const auto lines = split_flight_lines(seconds, pulses);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].span.first, 100.0);
    EXPECT_EQ(lines[0].span.last, 106.9);
    EXPECT_EQ(lines[1].span.first, 112.0);
    EXPECT_EQ(lines[1].span.last, 112.5);
    EXPECT_EQ(lines[2].span.first, 112.6);
    EXPECT_EQ(lines[3].span.first, 130.0);
    EXPECT_EQ(lines[3].span.last, 130.9);
    EXPECT_EQ(lines[0].pulses, 1u);
    EXPECT_EQ(lines[1].pulses, 0u);
    EXPECT_EQ(lines[2].firstPulse, 1u);
    EXPECT_EQ(lines[3].pulses, 1u);
}

namespace {

// A line flown along X at 60 m/s, 300 m above flat ground, from GPS time 0 to
// 20 s: 100 pulses a second, each beam across the track (in the Y-Z plane) at
// its own scan angle within +-20 degrees. Its first return lies lever metres
// above its last one on the beam, then is moved along the track by shift(k),
// which turns the beam off the aircraft by about shift x range / lever: the
// beam's distance from the path, scaled by how well it points, is |shift|.
struct SyntheticLine {
    std::vector<las_trajectory::Pulse> pulses;
    las_trajectory::FlightLine line;
};

las_trajectory::XYZ aircraft(double t) { return {60.0 * t, 0.0, 300.0}; }

template <class Lever, class Shift>
SyntheticLine synthetic_line(Lever lever, Shift shift) {
    SyntheticLine s;
    for (std::size_t k = 0; k < 2000; ++k) {
        const double t = 0.01 * static_cast<double>(k), angle = 0.349 * std::sin(0.7 * static_cast<double>(k));
        const las_trajectory::XYZ a = aircraft(t), u = {0.0, std::sin(angle), -std::cos(angle)};
        const double range = 300.0 / std::cos(angle), up = range - lever(k);
        las_trajectory::Pulse p{t, {a[0] + up * u[0] + shift(k), a[1] + up * u[1], a[2] + up * u[2]},
                                {a[0] + range * u[0], a[1] + range * u[1], a[2] + range * u[2]}, 1};
        s.pulses.push_back(p);
    }
    s.line.span.add(s.pulses.front().t);
    s.line.span.add(s.pulses.back().t);
    s.line.pulses = s.pulses.size();
    return s;
}

// The mean along-track error of the fitted path over the line's inner part.
double along_track_error(const las_trajectory::LinePath& path) {
    double sum = 0;
    int n = 0;
    for (double t = 2.0; t <= 18.0; t += 0.25, ++n) sum += las_trajectory::path_position(path, t)[0] - aircraft(t)[0];
    return sum / n;
}

}  // namespace

// The robust scale is the normalized median of the beams' distances
// (1.4826 x median: the standard deviation of normal errors): with most beams
// 0.01 off, those 0.065 off stay (just inside the biweight's 4.685 scales)
// and those 0.074 off are left out.
TEST(LasTrajectory, PathFitLeavesOutTheBeamsBeyondTheRobustScale) {
    const SyntheticLine s = synthetic_line([](std::size_t) { return 20.0; }, [](std::size_t k) {
        const double sign = k % 2 == 0 ? 1.0 : -1.0;
        if (k % 20 == 5 || k % 20 == 6) return 0.065 * sign;
        if (k % 20 == 15 || k % 20 == 16) return 0.074 * sign;
        return 0.01 * sign;
    });
    las_trajectory::LinePath path;
    ASSERT_TRUE(las_trajectory::fit_line_path(s.line, s.pulses.data(), path));
    EXPECT_EQ(path.rejected, 200u);
    EXPECT_EQ(path.used, 1800u);
    EXPECT_LT(std::fabs(along_track_error(path)), 0.002);
}

// Beams count by how well they point: a fifth of the beams are 1 m short
// (a return just under the canopy's top) and all turned the same way along
// the track, 1.5 m off the aircraft; against the long beams (20 m) they carry
// (1/20)^2 of the weight each, and the path stays within a few millimetres.
TEST(LasTrajectory, PathFitWeighsBeamsByHowWellTheyPoint) {
    const SyntheticLine s = synthetic_line([](std::size_t k) { return k % 5 == 0 ? 1.0 : 20.0; },
                                           [](std::size_t k) { return k % 5 == 0 ? 0.005 : (k % 2 == 0 ? 0.01 : -0.01); });
    las_trajectory::LinePath path;
    ASSERT_TRUE(las_trajectory::fit_line_path(s.line, s.pulses.data(), path));
    EXPECT_EQ(path.rejected, 0u);
    EXPECT_LT(std::fabs(along_track_error(path)), 0.004) << along_track_error(path);
}

// Between two lines the path runs straight from where the first line's path
// ends to where the next one's begins.
TEST(LasTrajectory, PathBetweenLinesRunsFromTheEndOfOneToTheStartOfTheNext) {
    las_trajectory::SurveyPath survey;
    const las_trajectory::XYZ origin[2] = {{1000.0, 2000.0, 300.0}, {1400.0, 1900.0, 340.0}};
    const double span[2][2] = {{0.0, 10.0}, {30.0, 40.0}};
    for (int i = 0; i < 2; ++i) {
        las_trajectory::LinePath l;
        l.start = span[i][0], l.end = span[i][1];
        l.t0 = l.start - 2.0;
        l.control.assign(16, las_trajectory::XYZ{0.0, 0.0, 0.0});  // standing still at its origin
        l.origin = origin[i];
        survey.lines.push_back(l);
    }
    las_trajectory::join_lines(survey);
    // The first line rules up to 11 s, the second from 29 s on.
    struct Case {
        double t, f;  // f: how far along the way from the first line to the second
    };
    for (const Case c : {Case{5.0, 0.0}, Case{11.0, 0.0}, Case{15.5, 0.25}, Case{24.5, 0.75}, Case{29.0, 1.0}, Case{35.0, 1.0}}) {
        const las_trajectory::XYZ p = las_trajectory::survey_position(survey, c.t);
        for (int r = 0; r < 3; ++r) EXPECT_NEAR(p[r], origin[0][r] + c.f * (origin[1][r] - origin[0][r]), 1e-9) << c.t;
    }
}
