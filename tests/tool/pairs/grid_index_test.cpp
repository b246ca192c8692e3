#include "pair_test_support.h"

using namespace testutil;
using namespace quilvor;

namespace {

class GridIndex : public pairtest::InFolder {};

Point at(double x, double y, double z, double t, uint16_t intensity, double scale = 0.5) {
    Point p;
    p.X = static_cast<int32_t>(x / scale);
    p.Y = static_cast<int32_t>(y / scale);
    p.Z = static_cast<int32_t>(z / scale);
    p.GPSTime = t;
    p.Intensity = intensity;
    return p;
}

}  // namespace

TEST_F(GridIndex, SnappedGridAndCellOrderWithinFileOrder) {
    LasShape shape;
    shape.scale = 0.5;
    shape.autoExtent = false;
    shape.minX = 0.3, shape.maxX = 9.7, shape.minY = 0.2, shape.maxY = 1.9;
    // Three returns of the cell at column 0, row 0 with a return of another cell between them in file order.
    std::vector<Point> pts = {at(0.5, 1.5, 0, 100, 1), at(9.5, 0.5, 0, 150, 9), at(0.5, 1.5, 0, 200, 2),
                              at(0.5, 1.5, 0, 300, 3)};
    setup_run(shape, pts, 1, 1, 1, 1000);
    CellOrderedFile g;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(build_grid_index(0, g));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(g.ncols, 10u);
    EXPECT_EQ(g.nrows, 2u);
    EXPECT_EQ(+g.header.MinX, 0.0);
    EXPECT_EQ(+g.header.MaxX, 10.0);
    EXPECT_EQ(g.countReturnsInCell[0], 3);
    EXPECT_EQ(g.countReturnsInCell[19], 1);
    EXPECT_EQ(g.cumulativeCount[18], 3);
    EXPECT_EQ(g.cumulativeCount[19], 4);
    const int expectedIntensity[4] = {1, 2, 3, 9};
    for (int s = 0; s < 4; ++s)
        EXPECT_EQ(torvane::load<uint16_t>(g.pLAS.get() + s * 28 + 12), expectedIntensity[s]) << s;
    EXPECT_EQ(out,
              "\nFile:                               a.las\n"
              "  ... Creating Spatial (2D) Index ..."
              "\r  ... Creating Spatial (2D) Index ...  (  0 %)"
              "\r      Sorting 2D index                         \r"
              "\r  ... Calculating number of returns in each cell ...\r"
              "\r  ... Computing cumulative cell frequency           \r"
              "\r      Sorting back 2D index                  \r");
    // The header on disk is unchanged.
    const std::vector<unsigned char> b = read_file("a.las");
    EXPECT_EQ(+torvane::header_from_bytes(b.data()).MinX, 0.3);
}

TEST_F(GridIndex, ReturnsOnAndJustBeyondTheBorders) {
    LasShape shape;
    shape.scale = 0.5;
    shape.autoExtent = false;
    shape.minX = 0, shape.maxX = 3, shape.minY = 0, shape.maxY = 2;
    // Exactly on the eastern and northern borders, at MinX / MinY, and half a cell outside.
    std::vector<Point> pts = {at(3, 2, 0, 1, 1), at(0, 0, 0, 2, 2), at(-0.5, -0.5, 0, 3, 3), at(3.5, 2.5, 0, 4, 4)};
    setup_run(shape, pts, 1, 1, 1, 1000);
    CellOrderedFile g;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(build_grid_index(0, g));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(g.countReturnsInCell[2], 2);  // row 0, last column: (3, 2) and (3.5, 2.5)
    EXPECT_EQ(g.countReturnsInCell[3], 2);  // row 1, column 0: (0, 0) and (-0.5, -0.5)
}

TEST_F(GridIndex, RefusedFiles) {
    LasShape shape;
    shape.scale = 0.5;
    shape.autoExtent = false;
    shape.minX = 0, shape.maxX = 3, shape.minY = 0, shape.maxY = 2;
    setup_run(shape, {at(1, 1, 0, 5, 1), at(5.5, 1, 0, 6, 1)}, 1, 1, 1, 1000);
    EXPECT_FAILS_WITH(pairDataToFile(0), "Returns of a.las lie outside the extent given in its header");

    setup_run(shape, {at(1, 1, 0, 5, 1), at(2, 1, 0, 20000, 1)}, 1, 1, 1, 1000);
    EXPECT_FAILS_WITH(pairDataToFile(0), "GPS times of a.las \\(5.000000 to 20000.000000\\) lie outside the "
                                         "reference data \\(0.000000 to 10000.000000\\)");
    setup_run(shape, {at(1, 1, 0, std::nan(""), 1)}, 1, 1, 1, 1000);
    EXPECT_FAILS_WITH(pairDataToFile(0), "File a.las holds a return with an invalid GPS time");

    shape.maxX = 1e9;
    setup_run(shape, {at(1, 1, 0, 5, 1)}, 0.001, 0.001, 1, 1000);
    EXPECT_FAILS_WITH(pairDataToFile(0), "Specified max radius resolution is too fine");
}

TEST_F(GridIndex, CellLimitIsInclusive) {
    LasShape shape;
    shape.autoExtent = false;
    shape.minX = 0, shape.maxX = 401250000, shape.minY = 0, shape.maxY = 1;
    setup_run(shape, {at(1, 0.5, 0, 5, 1, 1.0)}, 1, 1, 1, 1000);
    CellOrderedFile g;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(build_grid_index(0, g));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(static_cast<uint64_t>(g.ncols) * g.nrows, 401250000u);
    g = CellOrderedFile{};
    shape.maxX = 401250001;
    setup_run(shape, {at(1, 0.5, 0, 5, 1, 1.0)}, 1, 1, 1, 1000);
    EXPECT_FAILS_WITH(pairDataToFile(0), "Specified max radius resolution is too fine");
}

TEST_F(GridIndex, FileWithoutRecords) {
    setup_run(LasShape{}, {}, 1, 1, 1, 1000);
    EXPECT_EQ(run_stage(),
              "\nFile:                               a.las\n\r  Found 0 pairs                     \n\r" +
                  std::string(77, ' ') + "\r");
    EXPECT_FALSE(file_exists("tmp_RAI_a.dat"));
    EXPECT_EQ(_pairInfo[0].nPairs, 0u);
}
