#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

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
