#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <map>
#include <set>

#include "las_builder.h"
#include "sim_survey.h"
#include "trajectory.h"

using namespace testutil;

namespace {

struct Record {
    double x, y, z, t;
    uint16_t intensity, source;
    int32_t offset;
};

std::vector<Record> records(const std::vector<unsigned char>& b) {
    const torvane::LASHeader h = torvane::header_from_bytes(b.data());
    std::vector<Record> rs;
    for (uint32_t k = 0; k < h.NumberOfPointReturns; ++k) {
        const unsigned char* r = b.data() + h.OffsetToData + k * h.PointDataRecordLength;
        rs.push_back({torvane::load<int32_t>(r) * h.XScaleFactor + h.XOffset,
                      torvane::load<int32_t>(r + 4) * h.YScaleFactor + h.YOffset,
                      torvane::load<int32_t>(r + 8) * h.ZScaleFactor + h.ZOffset, torvane::load<double>(r + 20),
                      torvane::load<uint16_t>(r + 12), torvane::load<uint16_t>(r + 18),
                      static_cast<int32_t>(k * h.PointDataRecordLength)});
    }
    return rs;
}

simsurvey::Options small(const std::string& dir) {
    simsurvey::Options o;
    o.outDir = dir;
    o.length = 200;
    o.tile = 100;
    o.density = 0.5;
    return o;
}

}  // namespace

TEST(Simulator, GeometryAgreesWithItsTrajectory) {
    TempDir d;
    simsurvey::Options o = small(d.path);
    const simsurvey::Summary s = simsurvey::simulate(o);
    testing::internal::CaptureStdout();
    quilvor::load_reference_data((d / "trajectory.txt").c_str());
    testing::internal::GetCapturedStdout();
    for (const std::string& f : s.files) {
        const std::vector<unsigned char> b = read_file(d / f);
        const std::vector<Record> rs = records(b);
        std::set<uint16_t> swaths;
        for (const Record& r : rs) swaths.insert(r.source);
        EXPECT_GE(swaths.size(), 2u) << f;
        // The tool's range and angle from the trajectory file against the model's own geometry.
        std::vector<int32_t> ids;
        for (std::size_t k = 0; k < rs.size(); k += 37) ids.push_back(rs[k].offset);  // in GPS-time order
        quilvor::_rangeVec.assign(ids.size(), 0);
        quilvor::_angleVec.assign(ids.size(), 0);
        const torvane::LASHeader h = torvane::header_from_bytes(b.data());
        quilvor::calc_RangeAndAngle(b.data() + h.OffsetToData, &h, ids.data(), static_cast<uint32_t>(ids.size()));
        for (std::size_t k = 0; k < ids.size(); ++k) {
            const Record& r = rs[k * 37];
            double ax, ay, az;
            simsurvey::aircraft_on_line(o, r.source - 1, r.t, ax, ay, az);
            ax += o.offsetX + 1000.0, ay += o.offsetY + 1000.0;
            const double hd = std::hypot(ax - r.x, ay - r.y), vd = az - r.z;
            EXPECT_NEAR(quilvor::_rangeVec[k], std::sqrt(hd * hd + vd * vd), 0.51);
            EXPECT_NEAR(quilvor::_angleVec[k], std::atan(hd / vd) * 180.0 / M_PI, 0.01);
        }
    }
}

// The model, plain and with a gain and a reflectance field per strip and lines further apart in height.
TEST(Simulator, IntensitiesFollowTheModel) {
    for (const double strips : {0.0, 0.1}) {
        TempDir d;
        simsurvey::Options o = small(d.path);
        o.noise = 0.0;
        o.vegetation = 0.0;
        o.exponent = 2.5;
        o.stripGain = strips;
        o.stripReflectance = strips;
        o.heightStep = strips == 0 ? o.heightStep : 0.1;
        const simsurvey::Summary s = simsurvey::simulate(o);
        const std::vector<Record> rs = records(read_file(d / s.files[0]));
        ASSERT_GT(rs.size(), 100u);
        for (std::size_t k = 0; k < rs.size(); k += 53) {
            const Record& r = rs[k];
            double ax, ay, az;
            simsurvey::aircraft_on_line(o, r.source - 1, r.t, ax, ay, az);
            const double lx = r.x - o.offsetX - 1000.0, ly = r.y - o.offsetY - 1000.0;
            const double hd = std::hypot(ax - lx, ay - ly), vd = az - r.z;
            const double range = std::sqrt(hd * hd + vd * vd), angle = std::atan(hd / vd);
            const double strip = simsurvey::strip_gain(o, r.source - 1) * simsurvey::strip_reflectance(o, r.source - 1, lx, ly);
            const double model =
                simsurvey::reflectance(lx, ly) * strip * std::pow(o.altitude / range, 2.5) / std::cos(angle);
            EXPECT_NEAR(r.intensity, model, 1.0);
            EXPECT_NEAR(r.z, simsurvey::terrain(lx, ly), 0.01);
            if (strips == 0) EXPECT_EQ(strip, 1.0);
            else EXPECT_NE(strip, 1.0);
        }
    }
}

TEST(Simulator, DeterministicForASeedAndValidForTheTool) {
    TempDir a, b, c;
    simsurvey::Options o = small(a.path);
    const simsurvey::Summary s = simsurvey::simulate(o);
    o.outDir = b.path;
    simsurvey::simulate(o);
    o.outDir = c.path;
    o.seed = 2;
    simsurvey::simulate(o);
    bool differs = false;
    for (const std::string& f : s.files) {
        EXPECT_EQ(read_file(a / f), read_file(b / f)) << f;
        differs = differs || read_file(a / f) != read_file(c / f);
    }
    EXPECT_TRUE(differs);
    EXPECT_EQ(read_file(a / "trajectory.txt"), read_file(b / "trajectory.txt"));

    for (const auto& [minor, format, code] : std::vector<std::array<int, 3>>{{0, 1, 2}, {1, 1, 4}, {2, 3, 8}, {1, 3, 0}}) {
        TempDir e;
        simsurvey::Options v = small(e.path);
        v.versionMinor = minor;
        v.format = format;
        v.timeBase = 1.6e8;
        const simsurvey::Summary sv = simsurvey::simulate(v);
        EXPECT_EQ(torvane::check_las(e / sv.files[0]), code);
        const std::string d = std::to_string(sv.maxPairDistance);
        const RunResult r = run_tool(e.path, {"las_list.txt", "trajectory.txt", d, d, "1", "1000", "-n"});
        EXPECT_EQ(r.status, 0) << r.out;
    }
}

TEST(Simulator, CommandLine) {
    TempDir d;
    RunResult r = run_in(d.path, SIMSURVEY_BIN, {"--out", "w", "--length", "100", "--tile", "100", "--density", "0.5"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Tool arguments: las_list.txt trajectory.txt 1.415 1.415 1 "), std::string::npos) << r.out;
    EXPECT_TRUE(file_exists(d / "w/las_list.txt"));
    r = run_in(d.path, SIMSURVEY_BIN, {"--out", "one", "--lines", "1"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("no tile holds an overlap of two swaths"), std::string::npos);
    r = run_in(d.path, SIMSURVEY_BIN, {"--format", "2"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("invalid value for --format: 2"), std::string::npos);
}

// A rolling aircraft and three-return pulses: every return of a pulse lies on
// one beam through the aircraft at the pulse's time; without vegetation no
// pulse has two returns.
TEST(Simulator, RollingAircraftBeamsAndReturnCounts) {
    TempDir d;
    simsurvey::Options o = small(d.path);
    o.vegetation = 0.5;
    o.maxReturns = 3;
    o.roll = 3.0;
    const simsurvey::Summary s = simsurvey::simulate(o);
    std::map<std::pair<double, int>, std::vector<std::array<double, 3>>> pulses;  // by time and line
    std::size_t threes = 0;
    double maxDrift = 0;
    for (const std::string& f : s.files) {
        const std::vector<unsigned char> b = read_file(d / f);
        const torvane::LASHeader h = torvane::header_from_bytes(b.data());
        const torvane::PointFormat& format = torvane::point_format(h.PointDataFormatID);
        for (uint32_t k = 0; k < h.NumberOfPointReturns; ++k) {
            const unsigned char* r = b.data() + h.OffsetToData + std::size_t{k} * h.PointDataRecordLength;
            const torvane::RealXYZ p = torvane::decode_xyz(r, h);
            const int n = torvane::record_number_of_returns(r, format);
            if (n == 3 && torvane::record_return_number(r, format) == 3) ++threes;
            if (n > 1)
                pulses[{torvane::record_gps_time(r, format), torvane::record_point_source_id(r, format)}].push_back(
                    {p.X, p.Y, p.Z});
        }
    }
    EXPECT_GT(threes, 100u);
    std::size_t checked = 0;
    for (const auto& [key, pts] : pulses) {
        if (pts.size() < 2) continue;  // the other return in a tile not written
        double ax, ay, az;
        simsurvey::aircraft_on_line(o, key.second - 1, key.first, ax, ay, az);
        maxDrift = std::max(maxDrift, std::fabs(ay - simsurvey::line_y(o, key.second - 1)));
        const double a[3] = {o.offsetX + 1000 + ax, o.offsetY + 1000 + ay, az};
        // Each return's offset from the aircraft points the same way as the last one's.
        const std::array<double, 3>& last = pts.back();
        const double L[3] = {last[0] - a[0], last[1] - a[1], last[2] - a[2]};
        const double lenL = std::sqrt(L[0] * L[0] + L[1] * L[1] + L[2] * L[2]);
        for (const auto& p : pts) {
            const double P[3] = {p[0] - a[0], p[1] - a[1], p[2] - a[2]};
            const double along = (P[0] * L[0] + P[1] * L[1] + P[2] * L[2]) / lenL;
            const double off2 = P[0] * P[0] + P[1] * P[1] + P[2] * P[2] - along * along;
            EXPECT_LT(std::sqrt(std::max(0.0, off2)), 0.03);
        }
        ++checked;
    }
    EXPECT_GT(checked, 1000u);
    EXPECT_GT(maxDrift, 0.5);  // the roll moves the aircraft sideways

    TempDir bare;
    o = small(bare.path);
    o.vegetation = 0;
    const simsurvey::Summary b = simsurvey::simulate(o);
    for (const std::string& f : b.files) {
        const std::vector<unsigned char> bytes = read_file(bare / f);
        const torvane::LASHeader h = torvane::header_from_bytes(bytes.data());
        const torvane::PointFormat& format = torvane::point_format(h.PointDataFormatID);
        for (uint32_t k = 0; k < h.NumberOfPointReturns; ++k)
            ASSERT_EQ(torvane::record_number_of_returns(bytes.data() + h.OffsetToData + std::size_t{k} * h.PointDataRecordLength, format), 1);
    }
}
