#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "child_process.h"
#include "exponent.h"
#include "las_builder.h"

using namespace testutil;
using namespace quilvor;

namespace {

class Estimation : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path previous = std::filesystem::current_path();
    void SetUp() override {
        std::filesystem::current_path(dir.path);
        _pairInfo.clear();
        _fileCount = 0;
        _maxPairsForOneLASFile = 0;
        _allPairs = 0.0;
    }
    void TearDown() override { std::filesystem::current_path(previous); }

    // Adds a listed file whose RAI file holds these pairs.
    void add_file(const std::string& name, const std::vector<RangeAngleIntensityStruct>& pairs) {
        pairStruct e{name + ".las", "tmp_RAI_" + name + ".dat", static_cast<uint32_t>(pairs.size()), -1.0};
        std::vector<unsigned char> b(pairs.size() * 16);
        if (!b.empty()) std::memcpy(b.data(), pairs.data(), b.size());
        if (!pairs.empty()) write_file(e.RAIName, b);
        _pairInfo.push_back(e);
        _fileCount = static_cast<uint16_t>(_pairInfo.size());
    }
    void estimate_means() {
        testing::internal::CaptureStdout();
        cmpMeanRange();
        cmpPreNormIntensityVar();
        testing::internal::GetCapturedStdout();
    }
};

RangeAngleIntensityStruct pair(uint16_t r1, uint16_t i1, uint16_t r2, uint16_t i2, float a1 = 0, float a2 = 0) {
    return RangeAngleIntensityStruct{r1, a1, i1, r2, a2, i2};
}

}  // namespace

TEST_F(Estimation, MeanRangesAndPreNormalizationVariance) {
    add_file("a", {pair(100, 10, 110, 20), pair(120, 30, 130, 30)});
    estimate_means();
    EXPECT_EQ(_pairInfo[0].meanRange, 115.0);
    EXPECT_EQ(_allPairs, 2.0);
    EXPECT_EQ(_meanRange, 115.0);
    EXPECT_EQ(_preNormIntensityVar, std::sqrt(100.0 / 2));
    EXPECT_NEAR(_preNormIntensityVar, 7.071, 0.0005);
}

TEST_F(Estimation, MeanRangeIsWeightedByPairs) {
    add_file("a", {pair(100, 0, 100, 65535)});
    add_file("b", {pair(200, 5, 200, 5), pair(200, 5, 200, 5), pair(200, 5, 200, 5)});
    estimate_means();
    EXPECT_EQ(_pairInfo[0].meanRange, 100.0);
    EXPECT_EQ(_pairInfo[1].meanRange, 200.0);
    EXPECT_EQ(_allPairs, 4.0);
    EXPECT_EQ(_meanRange, 175.0);
    EXPECT_EQ(_maxPairsForOneLASFile, 3u);
    EXPECT_EQ(_preNormIntensityVar, std::sqrt(65535.0 * 65535.0 / 4));
}

TEST_F(Estimation, LeftoverAndShortRaiFilesNeverEnterTheEstimate) {
    add_file("a", {pair(100, 10, 110, 20)});
    add_file("b", {});
    write_file("tmp_RAI_b.dat", std::vector<unsigned char>(16, 1));  // left by an earlier run
    EXPECT_FAILS_WITH(cmpMeanRange(), "Failed to open binary file tmp_RAI_b.dat for reading");
    _pairInfo[1].nPairs = 2;
    EXPECT_FAILS_WITH(cmpMeanRange(), "Binary file tmp_RAI_b.dat holds fewer pair records than expected");
}

TEST_F(Estimation, NormalizationFormula) {
    // Equal ranges at the mean range and angles 0: the raw differences, whatever the exponent.
    add_file("a", {pair(100, 10, 100, 20), pair(100, 30, 100, 30)});
    estimate_means();
    for (double e : {0.0, 1.0, 2.5}) EXPECT_EQ(cmpPostNormIntensityVar(e), std::sqrt(100.0 / 2));
    // The cosine multiplies: at 60 degrees and exponent 0, 201 becomes about 100.5.
    const std::vector<double> power = range_power_table(100.0, 0.0);
    const double v = normalized_intensity(power, 150, 201, incidence_cosine(60.0f));
    EXPECT_EQ(v, 1.0 * 201.0 * std::cos(60.0 * 0.01745329252));
    EXPECT_NEAR(v, 100.5, 1e-6);
    EXPECT_EQ(range_power_table(115.0, 1.7)[230], std::pow(230.0 / 115.0, 1.7));
}

TEST_F(Estimation, PostNormalizationVarianceAtZeroKeepsTheCosine) {
    add_file("a", {pair(100, 100, 100, 100, 0.0f, 60.0f)});
    estimate_means();
    EXPECT_EQ(_preNormIntensityVar, 0.0);
    EXPECT_NEAR(cmpPostNormIntensityVar(0), 50.0, 1e-6);
}

// Pairs kept in memory, enough for the variance pass to be shared out over the
// threads: the same V as the sum in pair order, and the same search, for any
// number of threads.
TEST_F(Estimation, SharedVariancePassKeepsThePairOrder) {
    const unsigned threads = _threads;
    const uint32_t nReturns = (1u << 20) + 4099, nPairs = nReturns - 8;
    _pairInfo.push_back(pairStruct{"a.las", "tmp_RAI_a.dat", nPairs, -1.0});
    _fileCount = 1;
    reset_pair_store(uint64_t{1} << 30, 1);
    ASSERT_TRUE(keep_pairs_in_memory(0, nPairs, nReturns, nReturns));
    KeptPairs& k = _pairStore.files[0];
    for (uint32_t r = 0; r < nReturns; ++r)
        k.returns.set(r, incidence_cosine(static_cast<float>(r % 61)), static_cast<uint16_t>(90 + r % 113),
                      static_cast<uint16_t>(r * 7919 % 4001));
    for (uint32_t t = 0; t < nPairs; ++t)
        ASSERT_TRUE(PairPositions::encode(t == 0 ? 0 : t - 1, t, t + 1 + t % 7, k.pairs.code[t]));
    estimate_means();
    const std::vector<double> power = range_power_table(_meanRange, 0.7);
    double Q = 0;
    const PairedReturns& r = k.returns;
    for (uint32_t t = 0; t < nPairs; ++t) {
        const uint32_t i2 = t + 1 + t % 7;
        const double N1 = normalized_intensity(power, r.range[t], r.intensity[t], r.cosine[t]);
        const double N2 = normalized_intensity(power, r.range[i2], r.intensity[i2], r.cosine[i2]);
        Q += (N1 - N2) * (N1 - N2);
    }
    double factor[4], V[4];
    for (unsigned n : {1u, 2u, 3u}) {
        _threads = n;
        EXPECT_EQ(cmpPostNormIntensityVar(0.7), std::sqrt(Q / nPairs)) << n;
        testing::internal::CaptureStdout();
        calcRangeFactor(0.01, 2.0, 4.0);
        testing::internal::GetCapturedStdout();
        factor[n] = _normFactor;
        V[n] = _postNormIntensityVar;
    }
    EXPECT_EQ(V[1], cmpPostNormIntensityVar(factor[1]));
    _threads = threads;
    reset_pair_store(0, 0);
    EXPECT_EQ(factor[2], factor[1]);
    EXPECT_EQ(factor[3], factor[1]);
    EXPECT_EQ(V[2], V[1]);
    EXPECT_EQ(V[3], V[1]);
}

TEST(GoldenSection, EndPointsTiesAndQuadratic) {
    double x = 0, f = 0;
    testing::internal::CaptureStdout();
    int it = golden_section_search(0.01, 2.0, 4.0, [](double e) { return (e - 2.0) * (e - 2.0); }, x, f);
    EXPECT_EQ(x, 2.0);
    EXPECT_EQ(it, 15);
    golden_section_search(0.01, 2.0, 4.0, [](double e) { return -e; }, x, f);
    EXPECT_LT(x, 4.0);
    EXPECT_GT(x, 3.99);
    golden_section_search(0.01, 2.0, 4.0, [](double e) { return e; }, x, f);
    EXPECT_GT(x, 0.01);
    EXPECT_LT(x, 0.011);
    it = golden_section_search(0.01, 2.0, 4.0, [](double) { return 0.0; }, x, f);
    EXPECT_EQ(it, 26);
    EXPECT_GT(x, 0.01);
    EXPECT_LT(x, 0.011);
    EXPECT_EQ(f, 0.0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\r  ... Computing normalization factor -- Iteration 26" + std::string(27, ' ') + "\r"),
              std::string::npos);
}

// The probes of the search are those of its recurrence with R = 0.61803399
// and C = 1 - R, in order; the reference below follows the documented steps.
TEST(GoldenSection, ExactProbeSequence) {
    const double R = 0.61803399, C = 1 - R;
    EXPECT_EQ(C, 0.38196600999999997);
    const auto V = [](double e) { return std::fabs(e - 1.3) + 0.25 * std::sin(5 * e); };
    std::vector<double> expected;
    double x0 = 0.01, x1 = 2.0, x2 = 2.0 + 2.0 * C, x3 = 4.0;
    expected = {x1, x2};
    double f1 = V(x1), f2 = V(x2);
    while (std::fabs(x3 - x0) > (std::fabs(x1) + std::fabs(x2)) * 0.001) {
        if (f1 > f2) {
            x0 = x1, x1 = x2, x2 = R * x2 + x3 * C, f1 = f2, f2 = V(x2);
            expected.push_back(x2);
        } else {
            x3 = x2, x2 = x1, x1 = R * x1 + x0 * C, f2 = f1, f1 = V(x1);
            expected.push_back(x1);
        }
    }
    std::vector<double> probes;
    double x = 0, f = 0;
    testing::internal::CaptureStdout();
    golden_section_search(0.01, 2.0, 4.0, [&](double e) { probes.push_back(e); return V(e); }, x, f);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(probes.size(), expected.size());
    for (std::size_t k = 0; k < probes.size(); ++k) EXPECT_EQ(probes[k], expected[k]) << k;
    EXPECT_EQ(x, f2 > f1 ? x1 : x2);
}

// Equal values at the end choose the larger interior point: with V constant
// every iteration moves the upper end, so the last probe is the smaller
// interior point and the one before it the larger.
TEST(GoldenSection, FinalTieChoosesTheLargerPoint) {
    std::vector<double> probes;
    double x = 0, f = 0;
    testing::internal::CaptureStdout();
    golden_section_search(0.01, 2.0, 4.0, [&](double e) { probes.push_back(e); return 5.0; }, x, f);
    testing::internal::GetCapturedStdout();
    ASSERT_GE(probes.size(), 3u);
    EXPECT_LT(probes.back(), probes[probes.size() - 2]);
    EXPECT_EQ(x, probes[probes.size() - 2]);
    EXPECT_EQ(f, 5.0);
}

// Values computed ahead, together with the value asked for, change nothing:
// the same minimum, value, iterations and lines, whichever way the search moves.
TEST(GoldenSection, ValuesComputedAheadChangeNothing) {
    const std::vector<std::function<double(double)>> functions = {
        [](double e) { return (e - 2.0) * (e - 2.0); }, [](double e) { return -e; }, [](double e) { return e; },
        [](double) { return 0.0; }, [](double e) { return std::fabs(std::sin(3 * e)) + 0.1 * e; },
        [](double e) { return e > 3.0 ? std::nan("") : (e - 0.7) * (e - 0.7); }};
    for (std::size_t k = 0; k < functions.size(); ++k) {
        double x = 0, f = 0, xa = 0, fa = 0;
        testing::internal::CaptureStdout();
        const int it = golden_section_search(0.01, 2.0, 4.0, functions[k], x, f);
        const std::string out = testing::internal::GetCapturedStdout();
        const TogetherValues together = [&](double a, double b) { return std::pair{functions[k](a), functions[k](b)}; };
        testing::internal::CaptureStdout();
        const int ita = golden_section_search(0.01, 2.0, 4.0, functions[k], xa, fa, &together);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), out) << k;
        EXPECT_EQ(ita, it) << k;
        EXPECT_EQ(xa, x) << k;
        EXPECT_EQ(std::memcmp(&fa, &f, sizeof f), 0) << k;
    }
}

TEST_F(Estimation, RangesThatCannotBeNormalizedStopTheRun) {
    add_file("a", {pair(0, 10, 0, 20), pair(0, 30, 0, 30)});  // every return at the aircraft
    EXPECT_FAILS_WITH(cmpMeanRange(), "cannot be normalized \\(mean range 0.000\\): check that the trajectory");
    _pairInfo.clear();
    add_file("b", {pair(65535, 10, 65535, 20)});  // every range beyond 16 bits
    EXPECT_FAILS_WITH(cmpMeanRange(), "cannot be normalized \\(mean range 65535.000\\)");
    _pairInfo.clear();
    add_file("c", {pair(100, 10, 110, 20, std::nanf(""), 0.0f), pair(65535, 1, 65535, 1)});
    estimate_means();
    EXPECT_FAILS_WITH(calcRangeFactor(0.01, 2.0, 4.0), "cannot be normalized \\(mean range 32820.000\\)");
}

TEST_F(Estimation, SearchOnPairsThatAgreeEverywhere) {
    add_file("a", {pair(80, 50, 80, 50, 10.0f, 10.0f), pair(120, 70, 120, 70)});
    estimate_means();
    testing::internal::CaptureStdout();
    calcRangeFactor(0.01, 2.0, 4.0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(_postNormIntensityVar, 0.0);
    EXPECT_LT(_normFactor, 0.011);
}

TEST_F(Estimation, SummaryLayout) {
    add_file("twelve_c", {});
    _pairInfo[0].LASName = "twelve_c.las";  // 12 characters
    _pairInfo[0].nPairs = 345;
    _pairInfo[0].meanRange = 87.5;
    pairStruct longName{std::string(45, 'n') + ".las", "x", 7, 100.25};
    _pairInfo.push_back(longName);
    _pairInfo.push_back(_pairInfo[0]);
    _allPairs = 697;
    _meanRange = 90.0;
    _preNormIntensityVar = 12.3456;
    _postNormIntensityVar = 3.5;
    _normFactor = 1.98765;
    testing::internal::CaptureStdout();
    pairReport();
    const std::string rule = std::string(59, '-') + "\n";
    const std::string row = "twelve_c.las" + std::string(28, ' ') + " " + "     345" + " " + "   87.500\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\rSummary:" + std::string(70, ' ') + "\n" + rule + "LASName" + std::string(33, ' ') +
                  "    Pairs MeanRange\n" + rule + row + std::string(45, 'n') + ".las        7   100.250\n" + row +
                  rule + "Total:" + std::string(34, ' ') + "      697    90.000\n" +
                  "\nPre-normalization within-pair intensity variance:    12.346\n"
                  "Post-normalization within-pair intensity variance:    3.500\n"
                  "Optimal Range Normalization Exponent:" + std::string(13, ' ') + "    1.988\n");
}

TEST_F(Estimation, RemovingRaiFilesPassesOverMissingOnes) {
    add_file("a", {pair(1, 1, 1, 1)});
    add_file("a", {pair(1, 1, 1, 1)});  // listed twice: the second removal finds nothing
    delete_tmp_RAI_files();
    EXPECT_FALSE(file_exists("tmp_RAI_a.dat"));
}

namespace {

// The aircraft flies out along X (time 0 to 1000) and back (1000 to 2000),
// climbing 0.1 m/s; a return right below it at time t has angle 0 and the
// range of its height below the aircraft.
const char* const kOutAndBack = "0 0 1000 0\n1000 0 1100 1000\n0 0 1200 2000\n0 50 1300 5000\n";

double aircraft_height(double t) { return t <= 1000 ? 1000 + 0.1 * t : 1100 + 0.1 * (t - 1000); }

// Two returns at X = x, seen at time x on the way out and 2000 - x on the way
// back, with the given ranges and intensities.
std::vector<Point> spot(double x, int range1, uint16_t i1, int range2, uint16_t i2) {
    Point a, b;
    a.X = b.X = static_cast<int32_t>(x);
    a.GPSTime = x;
    a.Z = static_cast<int32_t>(aircraft_height(x) - range1);
    a.Intensity = i1;
    b.GPSTime = 2000 - x;
    b.Z = static_cast<int32_t>(aircraft_height(2000 - x) - range2);
    b.Intensity = i2;
    return {a, b};
}

std::vector<Point> join(std::vector<std::vector<Point>> spots) {
    std::vector<Point> all;
    for (auto& s : spots) all.insert(all.end(), s.begin(), s.end());
    return all;
}

std::string summary_of(const RunResult& r) { return r.out.substr(r.out.find("\rSummary:")); }

}  // namespace

TEST(EstimateThroughTheBinary, MeanRangesVarianceAndSummary) {
    TempDir d;
    write_text(d / "traj.txt", kOutAndBack);
    write_file(d / "a.las", make_las(LasShape{}, join({spot(100, 100, 10, 110, 20), spot(500, 120, 30, 130, 30)})));
    write_file(d / "b.las", make_las(LasShape{}, spot(100, 100, 50, 100, 50)));
    write_file(d / "c.las", make_las(LasShape{}, join({spot(300, 200, 40, 200, 40), spot(600, 200, 40, 200, 40),
                                                      spot(900, 200, 40, 200, 40)})));
    const std::vector<std::string> args = {"list.txt", "traj.txt", "200", "200", "10", "10000", "-n"};

    write_text(d / "list.txt", "a.las\n");
    RunResult r = run_tool(d.path, args);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string s = summary_of(r);
    EXPECT_NE(s.find("\na.las" + std::string(35, ' ') + "        2   115.000\n"), std::string::npos) << s;
    EXPECT_NE(s.find("Pre-normalization within-pair intensity variance:     7.071\n"), std::string::npos) << s;

    write_text(d / "list.txt", "b.las c.las");
    r = run_tool(d.path, args);
    ASSERT_EQ(r.status, 0) << r.out;
    s = summary_of(r);
    EXPECT_NE(s.find("b.las" + std::string(35, ' ') + "        1   100.000\n"), std::string::npos) << s;
    EXPECT_NE(s.find("c.las" + std::string(35, ' ') + "        3   200.000\n"), std::string::npos) << s;
    EXPECT_NE(s.find("Total:" + std::string(34, ' ') + "        4   175.000\n"), std::string::npos) << s;
    EXPECT_NE(s.find("Pre-normalization within-pair intensity variance:     0.000\n"), std::string::npos) << s;
    EXPECT_NE(s.find("Post-normalization within-pair intensity variance:    0.000\n"), std::string::npos) << s;
    EXPECT_NE(s.find("Optimal Range Normalization Exponent:" + std::string(13, ' ') + "    0.010\n"), std::string::npos);

    // A name listed twice: two identical rows, its pairs counted twice, nothing left behind.
    write_text(d / "list.txt", "a.las a.las");
    r = run_tool(d.path, args);
    ASSERT_EQ(r.status, 0) << r.out;
    s = summary_of(r);
    const std::string row = "a.las" + std::string(35, ' ') + "        2   115.000\n";
    EXPECT_NE(s.find(row + row), std::string::npos) << s;
    EXPECT_NE(s.find("Total:" + std::string(34, ' ') + "        4   115.000\n"), std::string::npos) << s;
    EXPECT_FALSE(file_exists(d / "tmp_RAI_a.dat"));
    EXPECT_FALSE(file_exists(d / "a_NormI.las"));

    // A file in which no pair is found ends the estimate, naming its RAI file, even
    // when an earlier run left a file of that name.
    write_file(d / "e.las", make_las(LasShape{}, {spot(100, 100, 10, 100, 10)[0]}));
    write_file(d / "tmp_RAI_e.dat", std::vector<unsigned char>(64, 7));
    write_text(d / "list.txt", "a.las e.las");
    r = run_tool(d.path, args);
    EXPECT_EQ(r.status, 255);
    const std::string tail = "\nFailed to open binary file tmp_RAI_e.dat for reading\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_NE(r.out.find("\r  Found 0 pairs                     \n\r" + std::string(77, ' ') + "\r"), std::string::npos);
    // Standard error says which file, with which settings, and what to try.
    const ChildResult c = run_child(d.path, QUILVOR_BIN, args);
    EXPECT_EQ(c.out, r.out);
    EXPECT_NE(c.err.find("LAS_Quilvor: e.las has no pairs: no two of its returns lie within 200 of each other with "
                         "GPS times more than 10 and less than 10000 apart\n"),
              std::string::npos)
        << c.err;
    EXPECT_NE(c.err.find("LAS_Quilvor: try a larger max pair distance"), std::string::npos) << c.err;
}

TEST(EstimateThroughTheBinary, ListedPathsThatEndAlike) {
    // sub/a.las and /abs/other/a.las: two RAI files in the working directory,
    // the outputs beside their inputs.
    TempDir d;
    write_text(d / "traj.txt", kOutAndBack);
    std::filesystem::create_directories(d / "sub");
    std::filesystem::create_directories(d / "other");
    const std::vector<unsigned char> a = make_las(LasShape{}, join({spot(100, 100, 10, 110, 20), spot(500, 120, 30, 130, 30)}));
    write_file(d / "sub/a.las", a);
    write_file(d / "other/a.las", make_las(LasShape{}, spot(100, 100, 50, 100, 50)));
    write_text(d / "list.txt", "sub/a.las " + (d / "other/a.las") + "\n");
    const RunResult r = run_tool(d.path, {"list.txt", "traj.txt", "200", "200", "10", "10000"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string s = summary_of(r);
    EXPECT_NE(s.find("\nsub/a.las" + std::string(31, ' ') + "        2   115.000\n"), std::string::npos) << s;
    EXPECT_NE(s.find("/other/a.las "), std::string::npos) << s;
    EXPECT_NE(s.find("Total:" + std::string(34, ' ') + "        3   110.000\n"), std::string::npos) << s;
    EXPECT_EQ(read_file(d / "sub/a_NormI.las").size(), a.size());
    EXPECT_TRUE(file_exists(d / "other/a_NormI.las"));
    for (const auto& e : std::filesystem::directory_iterator(d.path))
        EXPECT_EQ(e.path().filename().string().rfind("tmp_RAI_", 0), std::string::npos) << e.path();
}
