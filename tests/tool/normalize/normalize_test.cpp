#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numeric>
#include <sstream>

#include "las_builder.h"
#include "normalize.h"
#include "run_state.h"
#include "sim_survey.h"
#include "survey_helpers.h"

using namespace testutil;

namespace {

struct Estimate {
    double pre = 0, post = 0, exponent = 0;
};

// The number printed after a label of the summary, or NaN.
double number_after(const std::string& out, const std::string& label) {
    const std::size_t p = out.find(label);
    return p == std::string::npos ? std::nan("") : std::strtod(out.c_str() + p + label.size(), nullptr);
}

Estimate parse_summary(const std::string& out) {
    return {number_after(out, "Pre-normalization within-pair intensity variance:"),
            number_after(out, "Post-normalization within-pair intensity variance:"),
            number_after(out, "Optimal Range Normalization Exponent:")};
}

// Every output equals its input but for bytes 12 and 13 of each record.
void expect_only_intensities_changed(const std::string& in, const std::string& out) {
    const std::vector<unsigned char> a = read_file(in), b = read_file(out);
    ASSERT_EQ(a.size(), b.size()) << out;
    const torvane::LASHeader h = torvane::header_from_bytes(a.data());
    std::size_t changed = 0;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k] == b[k]) continue;
        ASSERT_GE(k, +h.OffsetToData) << out;
        ASSERT_LT(k, torvane::point_data_end(h)) << out;
        const std::size_t within = (k - h.OffsetToData) % h.PointDataRecordLength;
        ASSERT_TRUE(within == 12 || within == 13) << out << " byte " << k;
        ++changed;
    }
    EXPECT_GT(changed, 0u);
}

}  // namespace

TEST(StoredIntensity, TruncationAndClamping) {
    EXPECT_EQ(quilvor::stored_intensity(100.5, false), 100);
    EXPECT_EQ(quilvor::stored_intensity(0.7, false), 0);
    EXPECT_EQ(quilvor::stored_intensity(-3.0, false), 0);
    EXPECT_EQ(quilvor::stored_intensity(std::nan(""), false), 0);
    EXPECT_EQ(quilvor::stored_intensity(300.2, false), 300);
    EXPECT_EQ(quilvor::stored_intensity(65534.9, false), 65534);
    EXPECT_EQ(quilvor::stored_intensity(70000.0, false), 65535);  // no wrap to the low 16 bits
    EXPECT_EQ(quilvor::stored_intensity(255.9, true), 255);
    EXPECT_EQ(quilvor::stored_intensity(256.0, true), 255);
    EXPECT_EQ(quilvor::stored_intensity(70000.0, true), 255);
    EXPECT_EQ(quilvor::stored_intensity(0.4, true), 1);
    EXPECT_EQ(quilvor::stored_intensity(-5.0, true), 1);
    EXPECT_EQ(quilvor::stored_intensity(17.0, true), 17);
}

// The spread (standard deviation over mean) of intensity / reflectance over the
// returns of a simulated tile: the reflectance is the simulator's, so after a
// good normalization only the noise is left.
double reflectance_ratio_spread(const std::string& file, const simsurvey::Options& o) {
    const std::vector<unsigned char> b = read_file(file);
    const torvane::LASHeader h = torvane::header_from_bytes(b.data());
    double sum = 0, sum2 = 0;
    for (uint32_t k = 0; k < h.NumberOfPointReturns; ++k) {
        const unsigned char* r = b.data() + h.OffsetToData + static_cast<std::size_t>(k) * h.PointDataRecordLength;
        const torvane::RealXYZ p = torvane::decode_xyz(r, h);
        const double q = torvane::record_intensity(r) / simsurvey::reflectance(p.X - o.offsetX - 1000, p.Y - o.offsetY - 1000);
        sum += q, sum2 += q * q;
    }
    const double n = h.NumberOfPointReturns, mean = sum / n;
    return std::sqrt(sum2 / n - mean * mean) / mean;
}

TEST(TruthTest, RecoversTheSimulatedExponent) {
    for (double eTrue : {1.0, 2.0, 3.0}) {
        TempDir d;
        simsurvey::Options o;
        o.outDir = d.path;
        o.exponent = eTrue;
        o.length = 300;
        o.tile = 150;
        o.scanAngle = 30;
        o.density = 1.0;
        o.noise = 0.01;
        o.vegetation = 0.0;
        o.seed = 7;
        const simsurvey::Summary s = simsurvey::simulate(o);
        const RunResult r = run_tool(d.path, tool_args(s));
        ASSERT_EQ(r.status, 0) << r.out;
        const Estimate e = parse_summary(r.out);
        EXPECT_NEAR(e.exponent, eTrue, 0.05) << r.out;
        EXPECT_LT(e.post, 0.6 * e.pre) << r.out;
        std::printf("e_true %.1f: exponent %.3f, variance %.3f -> %.3f\n", eTrue, e.exponent, e.pre, e.post);
        for (const std::string& f : s.files) {
            const std::string out = f.substr(0, f.size() - 4) + "_NormI.las";
            expect_only_intensities_changed(d / f, d / out);
            // Range and angle are gone from the written intensities: what is left is
            // the reflectance with 1 % noise.
            const double before = reflectance_ratio_spread(d / f, o), after = reflectance_ratio_spread(d / out, o);
            EXPECT_LT(after, 0.02) << out;
            EXPECT_LT(after, 0.5 * before) << out;
        }
        EXPECT_FALSE(file_exists(d / "~tmp_rpi"));
        for (const std::string& f : s.files) EXPECT_FALSE(file_exists(d / ("tmp_RAI_" + f.substr(0, f.size() - 4) + ".dat")));
    }
}

TEST(TruthTest, TrajectoryInOtherUnitsIsRefusedBeforeAnyOutput) {
    TempDir d;
    const simsurvey::Summary s = simulate_survey(d.path, 150, 150, 0.5);
    // The trajectory in degrees while the returns are in metres: every range beyond 16 bits.
    std::string degrees;
    const std::vector<unsigned char> text = read_file(d / "trajectory.txt");
    std::istringstream in(std::string(text.begin(), text.end()));
    for (double x, y, z, t; in >> x >> y >> z >> t;) degrees += std::to_string(x / 111000) + " " + std::to_string(y / 111000) + " " +
                                                              std::to_string(z) + " " + std::to_string(t) + "\n";
    write_text(d / "trajectory.txt", degrees);
    const RunResult r = run_tool(d.path, tool_args(s));
    EXPECT_EQ(r.status, 255);
    const std::string tail = "\nThe ranges of the paired returns cannot be normalized (mean range 65535.000): check that "
                             "the trajectory uses the coordinate system and units of the LAS files\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    for (const std::string& f : s.files) EXPECT_FALSE(file_exists(d / (f.substr(0, f.size() - 4) + "_NormI.las")));
}

TEST(NormalizedFiles, SecondRunOverwritesWithIdenticalBytesAndSwitches) {
    TempDir d;
    simsurvey::Options o;
    o.outDir = d.path;
    o.length = 150;
    o.tile = 150;
    o.density = 0.5;
    o.versionMinor = 0;  // LAS 1.0 with its start signature before the points
    o.format = 3;
    o.timeBase = 1.0e9;
    const simsurvey::Summary s = simsurvey::simulate(o);
    std::vector<std::string> args = tool_args(s);
    const std::string out0 = d / (s.files[0].substr(0, s.files[0].size() - 4) + "_NormI.las");

    args.push_back("-n");
    RunResult r = run_tool(d.path, args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(file_exists(out0));  // "-n" writes nothing
    EXPECT_EQ(r.out.substr(r.out.find("Optimal Range")).find("\nElapsed CPU time "), 60u);
    args.pop_back();

    r = run_tool(d.path, args);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<unsigned char> first = read_file(out0);
    expect_only_intensities_changed(d / s.files[0], out0);
    EXPECT_EQ(first[227], 0xDD);
    EXPECT_EQ(first[228], 0xCC);
    r = run_tool(d.path, args);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(read_file(out0), first);

    // With truncation every intensity lies in [1, 255].
    args.push_back("-tr");
    r = run_tool(d.path, args);
    ASSERT_EQ(r.status, 0);
    const std::vector<unsigned char> t = read_file(out0);
    const torvane::LASHeader h = torvane::header_from_bytes(t.data());
    for (uint32_t k = 0; k < h.NumberOfPointReturns; ++k) {
        const uint16_t v = torvane::load<uint16_t>(t.data() + h.OffsetToData + k * 34 + 12);
        EXPECT_GE(v, 1);
        EXPECT_LE(v, 255);
    }
}

TEST(NormalizedFiles, EveryReturnGetsItsOwnRangeAndAngle) {
    // The aircraft stays at (0, 0, 1000); mean range 100, exponent 2.
    TempDir d;
    struct Return { int32_t x, y, z; uint16_t intensity; };
    const Return returns[5] = {
        {0, 0, 900, 100},    // range 100, angle 0: 100
        {100, 0, 900, 200},  // range 141, 45 degrees: 200 x 1.41^2 x 0.7071 = 281.2
        {0, 0, 800, 100},    // range 200, angle 0: 100 x 4 = 400
        {300, 400, 1000, 90},// range 500, 90 degrees: cos(90 x 0.01745329252) = -3e-10 below 0
        {0, 60, 920, 51},    // range 100, angle 36.87 degrees: 51 x 0.8 = 40.8
    };
    std::vector<Point> pts;
    for (const Return& r : returns) {
        Point p;
        p.X = r.x, p.Y = r.y, p.Z = r.z, p.Intensity = r.intensity, p.GPSTime = 50;
        pts.push_back(p);
    }
    write_file(d / "a.las", make_las(LasShape{}, pts));
    quilvor::_pairInfo.assign(1, quilvor::pairStruct{d / "a.las", "unused", 0, -1.0});
    quilvor::_fileCount = 1;
    quilvor::_rd = {{0, 0, 1000, 0}, {0, 0, 1000, 100}};
    quilvor::_meanRange = 100.0;
    quilvor::_normFactor = 2.0;
    for (const int16_t truncate : {-1, 0}) {
        quilvor::_truncateIntensityFlag = truncate;
        testing::internal::CaptureStdout();
        quilvor::normalizeIntensity();
        testing::internal::GetCapturedStdout();
        const std::vector<unsigned char> out = read_file(d / "a_NormI.las");
        const std::vector<uint16_t> expected =
            truncate == -1 ? std::vector<uint16_t>{100, 281, 400, 0, 40} : std::vector<uint16_t>{100, 255, 255, 1, 40};
        for (std::size_t k = 0; k < 5; ++k)
            EXPECT_EQ(torvane::record_intensity(out.data() + 227 + 28 * k), expected[k]) << k << " " << truncate;
    }
    quilvor::_truncateIntensityFlag = -1;
}

TEST(NormalizedFiles, RealFileKeepsItsVariableLengthRecords) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    TempDir d;
    const std::vector<unsigned char> b = sample_survey("mvk-thin.las", d.path, "mvk.las");
    const torvane::LASHeader h = torvane::header_from_bytes(b.data());
    const RunResult r = run_tool(d.path, {"list.txt", "traj.txt", "2", "2", "10", "100000"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<unsigned char> out = read_file(d / "mvk_NormI.las");
    ASSERT_EQ(out.size(), b.size());
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + h.OffsetToData, out.begin()));
}

TEST(NormalizedFiles, FileWithoutRecordsIsCopiedUnchanged) {
    TempDir d;
    LasShape shape;
    shape.preamble = {9, 8, 7};
    const std::vector<unsigned char> empty = make_las(shape, {});
    write_file(d / "empty.las", empty);
    quilvor::_pairInfo.assign(1, quilvor::pairStruct{d / "empty.las", "unused", 0, -1.0});
    quilvor::_fileCount = 1;
    quilvor::_meanRange = 100.0;
    quilvor::_normFactor = 2.0;
    testing::internal::CaptureStdout();
    quilvor::normalizeIntensity();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_file(d / "empty_NormI.las"), empty);
    EXPECT_EQ(out, "\n\r  ... Normalizing intensity for file " + (d / "empty.las") + "          \r\r" +
                       std::string(79, ' ') + "\r");
}

namespace {

// Waveform data and one extended variable-length record after the point
// records of a LAS 1.4 file, with the header pointing at them.
void append_waveform_and_evlr(const std::string& path) {
    std::vector<unsigned char> b = read_file(path);
    const uint64_t wave = b.size(), evlr = wave + 60 + 16;
    std::vector<unsigned char> tail(60 + 16 + 60 + 5);
    std::iota(tail.begin(), tail.end(), static_cast<unsigned char>(1));
    b.insert(b.end(), tail.begin(), tail.end());
    torvane::LASHeader h = torvane::header_from_bytes(b.data());
    h.GlobalEncoding = 2;  // waveform data inside the file
    h.StartOfWaveformDataPacketRecord = wave;
    h.StartOfFirstExtendedVariableLengthRecord = evlr;
    h.NumberOfExtendedVariableLengthRecords = 1;
    torvane::header_to_bytes(h, b.data());
    write_file(path, b);
}

std::string without_cpu_time(const std::string& out) { return out.substr(0, out.find("\nElapsed CPU time ")); }

}  // namespace

TEST(NormalizedFiles, SameSurveyAsLAS12AndLAS14GivesTheSameReportAndIntensities) {
    TempDir d12, d14;
    simsurvey::Options o;
    o.length = 200;
    o.tile = 100;
    o.density = 1.0;
    o.format = 3;
    o.outDir = d12.path;
    const simsurvey::Summary s = simsurvey::simulate(o);
    o.versionMinor = 4;
    o.format = 10;  // colours, near infrared and a wave packet descriptor
    o.outDir = d14.path;
    simsurvey::simulate(o);
    append_waveform_and_evlr(d14 / s.files[0]);

    const RunResult r12 = run_tool(d12.path, tool_args(s)), r14 = run_tool(d14.path, tool_args(s));
    ASSERT_EQ(r12.status, 0) << r12.out;
    ASSERT_EQ(r14.status, 0) << r14.out;
    EXPECT_EQ(without_cpu_time(r14.out), without_cpu_time(r12.out));
    for (const std::string& f : s.files) {
        const std::string copy = f.substr(0, f.size() - 4) + "_NormI.las";
        expect_only_intensities_changed(d14 / f, d14 / copy);
        const std::vector<unsigned char> a = read_file(d12 / copy), b = read_file(d14 / copy);
        const torvane::LASHeader ha = torvane::header_from_bytes(a.data()), hb = torvane::header_from_bytes(b.data());
        ASSERT_EQ(torvane::point_count(ha), torvane::point_count(hb));
        EXPECT_EQ(+hb.NumberOfPointReturns, 0u);  // formats 6 to 10 count in 64 bits alone
        for (uint64_t k = 0; k < torvane::point_count(ha); ++k)
            ASSERT_EQ(torvane::record_intensity(a.data() + ha.OffsetToData + k * ha.PointDataRecordLength),
                      torvane::record_intensity(b.data() + hb.OffsetToData + k * hb.PointDataRecordLength))
                << f << " record " << k;
    }
}

TEST(NormalizedFiles, ABlockThatFailsInAThreadStopsTheCopyAndLeavesNoOutput) {
    // Four blocks of records; a time beyond the trajectory in the third, as if
    // the file had been rewritten after its pair search.
    TempDir d;
    const std::size_t perBlock = (std::size_t{4} << 20) / 28, n = 3 * perBlock + 10;
    std::vector<Point> pts(n);
    for (std::size_t k = 0; k < n; ++k)
        pts[k].X = static_cast<int32_t>(k % 1000), pts[k].Z = 0, pts[k].Intensity = 100, pts[k].GPSTime = 50;
    pts[2 * perBlock + 7].GPSTime = 500;
    write_file(d / "a.las", make_las(LasShape{}, pts));
    quilvor::_rd = {{0, 0, 1000, 0}, {0, 0, 1000, 100}};
    quilvor::_meanRange = 100.0;
    quilvor::_normFactor = 2.0;
    for (const unsigned threads : {1u, 3u}) {
        quilvor::_pairInfo.assign(1, quilvor::pairStruct{d / "a.las", "unused", 0, -1.0});
        quilvor::_fileCount = 1;
        quilvor::_threads = threads;
        testing::internal::CaptureStdout();
        try {
            quilvor::normalizeIntensity();
            ADD_FAILURE() << "no failure at " << threads << " threads";
        } catch (const quilvor::Failure& f) {
            EXPECT_EQ(f.message, "\nFile " + (d / "a.las") + " changed while it was being processed\n") << threads;
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d.path), std::filesystem::directory_iterator()), 1)
            << "the unfinished copy is left at " << threads << " threads";
    }
    quilvor::_threads = 1;
}
