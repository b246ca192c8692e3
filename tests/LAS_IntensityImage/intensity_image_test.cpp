// LAS_IntensityImage through the real binary: cell values decoded back with libpng.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

#include "las_builder.h"

using namespace testutil;

namespace {

RunResult run_image(const TempDir& d, const std::vector<std::string>& args) { return run_in(d.path, IMAGE_BIN, args); }

struct Image {
    uint32_t width = 0, height = 0;
    std::vector<unsigned char> pixels;  // grey, alpha
};

Image read_png(const std::string& path) {
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    Image out;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    image.format = PNG_FORMAT_GA;
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        out.width = image.width;
        out.height = image.height;
    }
    return out;
}

Point at(double x, double y, uint16_t intensity, int returnNumber = 1) {
    Point p;
    p.X = static_cast<int32_t>(std::lround(x * 100));
    p.Y = static_cast<int32_t>(std::lround(y * 100));
    p.Intensity = intensity;
    p.bitfield = static_cast<uint8_t>(returnNumber | (2 << 3));
    return p;
}

// A 3 x 2 grid of 1 m cells with its corner at (0, 2): the north-west cell
// holds 100, 200 (first returns) and 250 (a second return); the cell east of
// it 50, given by a return on the edge between them; the south-east cell 30.
void write_survey(const TempDir& d) {
    LasShape shape;
    shape.scale = 0.01;
    write_file(d / "a.las", make_las(shape, {at(0.5, 1.5, 100), at(0.25, 1.75, 200), at(0.5, 1.5, 250, 2), at(1.0, 1.5, 50)}));
    write_file(d / "b.las", make_las(shape, {at(2.5, 0.5, 30)}));
    write_text(d / "list.txt", "a.las b.las\n");
}

}  // namespace

TEST(IntensityImage, CellMeansWorldFileAndFirstReturns) {
    TempDir d;
    write_survey(d);
    RunResult r = run_image(d, {"list.txt", "1", "out.png", "--range", "0", "255"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Grid:        3 x 2 cells of 1\nReturns:     5\nGrey scale:  0.000 to 255.000 (given)\n"),
              std::string::npos) << r.out;
    Image im = read_png(d / "out.png");
    ASSERT_EQ(im.width, 3u);
    ASSERT_EQ(im.height, 2u);
    // (grey, alpha) row by row from the north-west: means 183.3, 50, empty / empty, empty, 30.
    const std::vector<unsigned char> expected = {183, 255, 50, 255, 0, 0, 0, 0, 0, 0, 30, 255};
    EXPECT_EQ(im.pixels, expected);
    const std::vector<unsigned char> w = read_file(d / "out.pgw");
    EXPECT_EQ(std::string(w.begin(), w.end()),
              "1.0000000000\n0.0000000000\n0.0000000000\n-1.0000000000\n0.5000000000\n1.5000000000\n");

    r = run_image(d, {"--first", "list.txt", "1", "first.png", "--range", "0", "510"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Returns:     4 (first returns)\n"), std::string::npos) << r.out;
    im = read_png(d / "first.png");
    ASSERT_EQ(im.pixels.size(), 12u);
    EXPECT_EQ(im.pixels[0], 75);  // 150 on a scale to 510
    EXPECT_EQ(im.pixels[2], 25);

    // By default the scale runs from the 2nd to the 98th percentile of the cell
    // means, to a sixteenth of an intensity step: here the least and the greatest.
    r = run_image(d, {"list.txt", "1", "auto.png"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Grey scale:  30.000 to 183.375 (2nd to 98th percentile of the cell means)\n"),
              std::string::npos) << r.out;
    im = read_png(d / "auto.png");
    ASSERT_EQ(im.pixels.size(), 12u);
    EXPECT_EQ(im.pixels[0], 255);
    EXPECT_EQ(im.pixels[10], 0);
    EXPECT_EQ(im.pixels[11], 255);
}

// Two cells whose sums pass 32 bits: 65538 returns of 65535 and as many of 0
// in the west one (mean 32767.5), 65538 of 65535 in the east one.
TEST(IntensityImage, CellsPastThirtyTwoBits) {
    TempDir d;
    std::vector<Point> points;
    for (int k = 0; k < 65538; ++k) {
        points.push_back(at(0.5, 0.5, 65535));
        points.push_back(at(1.5, 0.5, 65535));
    }
    for (int k = 0; k < 65538; ++k) points.push_back(at(0.5, 0.5, 0));
    LasShape shape;
    shape.scale = 0.01;
    write_file(d / "a.las", make_las(shape, points));
    write_text(d / "list.txt", "a.las\n");
    const RunResult r = run_image(d, {"list.txt", "1", "out.png", "--range", "0", "65535"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Returns:     196614\n"), std::string::npos) << r.out;
    const Image im = read_png(d / "out.png");
    EXPECT_EQ(im.pixels, (std::vector<unsigned char>{128, 255, 255, 255}));
}

TEST(IntensityImage, Refusals) {
    TempDir d;
    write_survey(d);
    const std::string tail = "\nMissing or excessive number of arguments\n\n";
    RunResult r = run_image(d, {"list.txt", "1"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find(tail + "Usage:\nLAS_IntensityImage\n"), std::string::npos) << r.out;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"list.txt", "-1", "x.png"}, "\nCell size should be a positive number. You specified -1\n"},
        {{"list.txt", "1", "x.tif"}, "\nThe image name x.tif should end in .png\n"},
        {{"list.txt", "1", "x.png", "--range", "5", "5"}, "\n--range needs two numbers LO and HI, LO less than HI\n"},
        {{"list.txt", "0.0001", "x.png"},
         "\nA grid of 22500 x 12500 cells of 0.0001 is larger than 100000000 cells: use a cell size of at least 0.00017\n"},
        {{"bad.txt", "1", "x.png"}, "\nbad.las is not a valid .las file\n\n"},
    };
    write_text(d / "bad.las", "not a LAS file, but long enough to hold a header of a hundred and seven bytes ......");
    write_text(d / "bad.txt", "bad.las");
    for (const auto& [args, message] : cases) {
        r = run_image(d, args);
        EXPECT_EQ(r.status, 255) << message;
        ASSERT_GE(r.out.size(), message.size());
        EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message);
        EXPECT_FALSE(file_exists(d / "x.png"));
        EXPECT_FALSE(file_exists(d / "x.pgw"));
    }
}

// Cell sizes whose grid cannot be drawn: refused before any return is read,
// naming a cell size that can, without "nan" or "inf".
TEST(IntensityImage, CellSizesWithoutADrawableGrid) {
    TempDir d;
    // A line of returns 1000 long and 0.01 wide.
    LasShape shape;
    shape.scale = 0.01;
    write_file(d / "line.las", make_las(shape, {at(0, 0, 10), at(1000, 0.01, 20)}));
    write_text(d / "list.txt", "line.las");
    const std::vector<std::pair<std::string, std::string>> cases = {
        // 1000 / 1e6 a side, with the margin of 1 %
        {"1e-310", "\nA cell size of 1e-310 is far too small for the extent of the listed files: use a cell size of at "
                   "least 0.00101\n"},
        // 2^-10: 1024000 columns, 11 rows
        {"0.0009765625", "\nA grid of 1024000 x 11 cells of 0.0009765625 is wider or taller than an image may be "
                         "(1000000 cells a side, 100000000 cells in all): use a cell size of at least 0.00101\n"},
    };
    for (const auto& [cell, message] : cases) {
        const RunResult r = run_image(d, {"list.txt", cell, "x.png"});
        EXPECT_EQ(r.status, 255) << cell;
        ASSERT_GE(r.out.size(), message.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message);
        EXPECT_EQ(r.out.find("nan"), std::string::npos);
        EXPECT_EQ(r.out.find("inf"), std::string::npos);
        EXPECT_FALSE(file_exists(d / "x.png"));
    }
    // The cell size named is one that draws.
    EXPECT_EQ(run_image(d, {"list.txt", "0.00101", "x.png"}).status, 0);
}
