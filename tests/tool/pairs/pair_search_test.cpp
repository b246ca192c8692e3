#include <cmath>
#include <filesystem>

#include "pair_store.h"
#include "pair_test_support.h"
#include "sim_survey.h"
#include "temp_files.h"
#include "trajectory.h"

using namespace testutil;
using namespace quilvor;

namespace {

class PairSearch : public pairtest::InFolder {};

Point at(double x, double y, double z, double t, uint16_t intensity) {
    Point p;
    p.X = static_cast<int32_t>(std::lround(x * 10));
    p.Y = static_cast<int32_t>(std::lround(y * 10));
    p.Z = static_cast<int32_t>(std::lround(z * 10));
    p.GPSTime = t;
    p.Intensity = intensity;
    return p;
}

LasShape tenth_spec() {
    LasShape shape;
    shape.scale = 0.1;
    return shape;
}

using Pairs = std::vector<std::pair<int, int>>;

}  // namespace

TEST_F(PairSearch, TwoByThreeGridVisitsTouchingCellsInPassOrder) {
    // One return per cell, intensity = cell number + 1; listed in reverse cell order.
    const double xy[6][2] = {{9.5, 10.5}, {15, 10.5}, {20.5, 10.5}, {9.5, 9.5}, {15, 9.5}, {20.5, 9.5}};
    std::vector<Point> pts;
    for (int c = 5; c >= 0; --c) pts.push_back(at(xy[c][0], xy[c][1], 0, 100.0 * (c + 1), static_cast<uint16_t>(c + 1)));
    setup_run(tenth_spec(), pts, 10, 10, 1, 1000);
    const std::string out = run_stage();
    const Pairs expected = {{5, 1}, {5, 2}, {5, 3}, {5, 4}, {4, 1}, {4, 2}, {1, 2}, {2, 3}, {6, 5}, {6, 2}, {6, 3}};
    EXPECT_EQ(intensity_pairs(), expected);
    EXPECT_EQ(_pairInfo[0].nPairs, 11u);
    EXPECT_NE(out.find("\r  Found 11 pairs                     \n"), std::string::npos);
    EXPECT_FALSE(file_exists("~tmp_rpi"));
    EXPECT_EQ(read_file("tmp_RAI_a.dat").size(), 11u * 16);
}

TEST_F(PairSearch, WithinCellOrderLaterReturnFirst) {
    std::vector<Point> pts = {at(0.5, 0.5, 0, 100, 1), at(0.5, 0.5, 0, 200, 2), at(0.5, 0.5, 0, 300, 3)};
    setup_run(tenth_spec(), pts, 1, 1, 1, 1000);
    run_stage();
    EXPECT_EQ(intensity_pairs(), (Pairs{{2, 1}, {3, 1}, {3, 2}}));
}

TEST_F(PairSearch, NarrowGrids) {
    // One row of three cells: passes 1 and 8, the western return first.
    setup_run(tenth_spec(), {at(0.5, 0.5, 0, 100, 1), at(1.5, 0.5, 0, 200, 2), at(2.5, 0.5, 0, 300, 3)}, 1, 1, 1,
              1000);
    run_stage();
    EXPECT_EQ(intensity_pairs(), (Pairs{{1, 2}, {2, 3}}));
    // One column of three cells: passes 1 and 6, the southern return first.
    setup_run(tenth_spec(), {at(0.5, 2.5, 0, 100, 1), at(0.5, 1.5, 0, 200, 2), at(0.5, 0.5, 0, 300, 3)}, 1, 1, 1,
              1000);
    run_stage();
    EXPECT_EQ(intensity_pairs(), (Pairs{{2, 1}, {3, 2}}));
    // Two columns and two rows, all returns near the middle: passes 6, 7, 8, 9, 10, 11.
    setup_run(tenth_spec(),
              {at(0.9, 1.1, 0, 100, 1), at(1.1, 1.1, 0, 200, 2), at(0.9, 0.9, 0, 300, 3), at(1.1, 0.9, 0, 400, 4)}, 1,
              1, 1, 1000);
    run_stage();
    EXPECT_EQ(intensity_pairs(), (Pairs{{3, 1}, {3, 2}, {1, 2}, {4, 3}, {4, 1}, {4, 2}}));
}

TEST_F(PairSearch, ExactTimeAndDistanceBounds) {
    // Distances 5 (3-4-0) and times 10 (the minimum), 20 (the maximum) and 15.
    std::vector<Point> pts = {at(1, 1, 0, 100, 1), at(4, 5, 0, 110, 2), at(4, 5, 0, 120, 3), at(4, 5, 0.5, 115, 4)};
    setup_run(tenth_spec(), pts, 5, 5, 10, 20);
    run_stage();
    // (2, 1): time 10 not above the minimum; (3, 1): time 20 not below the maximum; (4, 1): 3D distance above 5.
    // (3, 2) and (4, 2), (4, 3): times 10, 5, 5: none qualifies; only the pair at distance exactly 5 remains:
    std::vector<Point> pts2 = {at(1, 1, 0, 100, 1), at(4, 5, 0, 115, 2)};
    EXPECT_EQ(_pairInfo[0].nPairs, 0u);
    EXPECT_FALSE(file_exists("tmp_RAI_a.dat"));
    setup_run(tenth_spec(), pts2, 5, 5, 10, 20);
    run_stage();
    EXPECT_EQ(intensity_pairs(), (Pairs{{2, 1}}));
}

TEST_F(PairSearch, PairAttributesKeepPairOrder) {
    // The pair whose first return is the latest in time keeps its place in pair order.
    std::vector<Point> pts = {at(0.5, 0.5, 0, 500, 10), at(0.5, 0.5, 0, 100, 20), at(0.5, 0.5, 0, 300, 30)};
    setup_run(tenth_spec(), pts, 1, 1, 1, 1000);
    _rd = {{0.5, 0.5, 100, 0}, {100.5, 0.5, 100, 1000}};
    run_stage();
    const auto r = rai();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(+r[0].Intensity1, 20);  // slot 1 (time 100) against slot 0 (time 500)
    EXPECT_EQ(+r[0].Intensity2, 10);
    EXPECT_EQ(+r[1].Intensity1, 30);
    EXPECT_EQ(+r[2].Intensity1, 30);
    EXPECT_EQ(+r[2].Intensity2, 20);
    // Ranges from the aircraft at x = 0.5 + t / 10: slot 0 at time 500 is 50 aside and 100 below.
    EXPECT_EQ(+r[0].Range2, static_cast<uint16_t>(std::sqrt(50.0 * 50 + 100.0 * 100) + 0.5));
    EXPECT_EQ(+r[0].Range1, static_cast<uint16_t>(std::sqrt(10.0 * 10 + 100.0 * 100) + 0.5));
    EXPECT_EQ(+r[1].Range1, +r[2].Range1);  // one return in two pairs
    EXPECT_EQ(+r[1].Angle1, +r[2].Angle1);
}

TEST(RaiRecord, ByteLayout) {
    RangeAngleIntensityStruct r{100, 12.5f, 200, 105, 20.0f, 180};
    unsigned char b[16];
    std::memcpy(b, &r, 16);
    const unsigned char expected[16] = {0x64, 0, 0, 0, 0x48, 0x41, 0xC8, 0, 0x69, 0, 0, 0, 0xA0, 0x41, 0xB4, 0};
    EXPECT_EQ(std::memcmp(b, expected, 16), 0);
}

// The kept positions of pairs: one word where the step from the pair before
// and the distance between the two fit, the pair itself otherwise.
TEST(PairPositions, StepsAndDistancesAtTheirLimits) {
    const std::vector<std::pair<uint32_t, uint32_t>> pairs = {
        {0, 1},           {4094, 0},         {8189, 8190},         {8189, 8189 + 524287}, {8189, 8189 + 524288},
        {600000, 1},      {600000, 75712},   {600000, 75711},      {599999, 5},           {4000000000u, 12},
        {4000000001u, 4000000002u}};
    const std::vector<bool> fits = {true, true, false, true, false, false, true, false, false, false, true};
    std::vector<uint32_t> code(pairs.size()), escaped;
    uint32_t previous = 0;
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const auto [i1, i2] = pairs[k];
        EXPECT_EQ(PairPositions::encode(previous, i1, i2, code[k]), fits[k]) << k;
        if (!fits[k]) code[k] = PairPositions::kEscaped, escaped.insert(escaped.end(), {i1, i2});
        previous = i1;
    }
    std::vector<std::pair<uint32_t, uint32_t>> decoded;
    for_each_position_pair(code.data(), escaped.data(), code.size(),
                           [&](uint32_t i1, uint32_t i2) { decoded.emplace_back(i1, i2); });
    EXPECT_EQ(decoded, pairs);
}

TEST_F(PairSearch, SimulatedTileMatchesBruteForceCount) {
    simsurvey::Options o;
    o.outDir = dir.path;
    o.length = 100;
    o.tile = 100;
    o.density = 0.5;
    o.lines = 2;
    const simsurvey::Summary s = simsurvey::simulate(o);
    ASSERT_FALSE(s.files.empty());
    _maxPairDist = 1.3;
    _resolution = 1.5;
    _minTimeBWSwaths = s.minTime;
    _maxTimeBWSwaths = s.maxTime;
    _fileCount = 1;
    _pairInfo.assign(1, pairStruct{s.files[0], "tmp_RAI_a.dat", 0, -1.0});
    testing::internal::CaptureStdout();
    load_reference_data("trajectory.txt");
    pairDataToFile(0);
    testing::internal::GetCapturedStdout();

    const std::vector<unsigned char> b = read_file(s.files[0]);
    const torvane::LASHeader h = torvane::header_from_bytes(b.data());
    struct P { double x, y, z, t; };
    std::vector<P> ps;
    for (uint32_t k = 0; k < h.NumberOfPointReturns; ++k) {
        const unsigned char* r = b.data() + h.OffsetToData + k * h.PointDataRecordLength;
        ps.push_back({torvane::load<int32_t>(r) * h.XScaleFactor + h.XOffset,
                      torvane::load<int32_t>(r + 4) * h.YScaleFactor + h.YOffset,
                      torvane::load<int32_t>(r + 8) * h.ZScaleFactor + h.ZOffset, torvane::load<double>(r + 20)});
    }
    ASSERT_GT(ps.size(), 1000u);
    uint32_t brute = 0;
    for (std::size_t i = 0; i < ps.size(); ++i)
        for (std::size_t j = i + 1; j < ps.size(); ++j) {
            const double dt = std::fabs(ps[i].t - ps[j].t);
            if (_minTimeBWSwaths < dt && dt < _maxTimeBWSwaths &&
                Distance3D(ps[i].x, ps[i].y, ps[i].z, ps[j].x, ps[j].y, ps[j].z) <= _maxPairDist)
                ++brute;
        }
    EXPECT_GT(brute, 100u);
    EXPECT_EQ(_pairInfo[0].nPairs, brute);
}

TEST(RealSurvey, SampleFileWithMadeUpTrajectory) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    TempDir d;
    sample_survey("sample_c.las", d.path, "sample_c.las");
    const RunResult r = run_tool(d.path, {"list.txt", "traj.txt", "1", "1", "10", "100000", "-n"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::size_t p = r.out.find("Found ");
    ASSERT_NE(p, std::string::npos);
    EXPECT_GT(std::stoul(r.out.substr(p + 6)), 0u);
    EXPECT_NE(r.out.find("Optimal Range Normalization Exponent:"), std::string::npos);
    EXPECT_FALSE(file_exists(d / "~tmp_rpi"));
}

TEST_F(PairSearch, CorruptPairIndexFileEndsTheRun) {
    // The third return pairs with none (50 m above the others).
    setup_run(tenth_spec(), {at(0.5, 0.5, 0, 100, 1), at(0.5, 0.5, 0, 200, 2), at(0.5, 0.5, 50, 150, 3)}, 1, 1, 1,
              1000);
    CellOrderedFile g;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(build_grid_index(0, g));
    FilePtr tmp = create_temporary_file(kPairIndexFile, "w+b");
    ASSERT_EQ(search_return_pairs(g, tmp.get()), 1u);
    testing::internal::GetCapturedStdout();
    // Foreign bytes in place of the pair: beyond the point data, off a record
    // boundary, negative, a return the search did not pair; then a file
    // shorter than its pairs. The RAI file is not left begun.
    for (const int32_t bad : {0x7fffff00, 3, -28, 2 * int32_t{g.recordLength}, 0}) {
        std::rewind(tmp.get());
        const int32_t record[2] = {bad, 0};
        std::fwrite(record, 4, bad == 0 ? 1 : 2, tmp.get());
        std::fflush(tmp.get());
        if (bad == 0) {
            ASSERT_EQ(ftruncate(fileno(tmp.get()), 4), 0);
        }
        EXPECT_FAILS_WITH(write_pair_attributes(0, g, std::move(tmp), 1), "Temporary binary file ~tmp_rpi is corrupt");
        EXPECT_FALSE(file_exists(_pairInfo[0].RAIName)) << bad;
    }
}

TEST_F(PairSearch, FarHeaderExtentCostsOnlyTheOccupiedCells) {
    // The 2 x 3 cells of the test above, inside a header extent that reaches
    // 100 km to the west and east and 5 km to the north and south: 20 million
    // cells, of which the returns occupy six, all interior. Pass 1, then the
    // interior passes 2 to 5 alone give the pairs.
    const double xy[6][2] = {{9.5, 10.5}, {15, 10.5}, {20.5, 10.5}, {9.5, 9.5}, {15, 9.5}, {20.5, 9.5}};
    std::vector<Point> pts;
    for (int c = 5; c >= 0; --c) pts.push_back(at(xy[c][0], xy[c][1], 0, 100.0 * (c + 1), static_cast<uint16_t>(c + 1)));
    LasShape shape = tenth_spec();
    shape.autoExtent = false;
    shape.minX = -100000, shape.maxX = 100030, shape.minY = -5000, shape.maxY = 5020;
    setup_run(shape, pts, 10, 10, 1, 1000);
    CellOrderedFile g;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(build_grid_index(0, g));
    testing::internal::GetCapturedStdout();
    EXPECT_GT(static_cast<uint64_t>(g.ncols) * g.nrows, 20000000u);
    EXPECT_EQ(g.countReturnsInCell.size(), 6u);
    run_stage();
    const Pairs expected = {{5, 1}, {6, 2}, {4, 1}, {5, 2}, {6, 3}, {4, 2}, {5, 3}, {2, 1}, {3, 2}, {5, 4}, {6, 5}};
    EXPECT_EQ(intensity_pairs(), expected);
}
