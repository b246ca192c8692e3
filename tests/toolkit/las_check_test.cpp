#include <gtest/gtest.h>
#include <unistd.h>

#include "las_builder.h"

using namespace testutil;
using torvane::check_las;

namespace {

std::pair<int, std::string> classify(const std::string& path) {
    testing::internal::CaptureStdout();
    const int code = check_las(path);
    return {code, testing::internal::GetCapturedStdout()};
}

std::vector<unsigned char> header_bytes(int major, int minor, int format, uint16_t length) {
    LasShape shape;
    shape.versionMinor = minor;
    shape.format = format < 4 ? format : 1;
    shape.recordLength = length;
    std::vector<unsigned char> b = make_las(shape, {});
    b[24] = static_cast<unsigned char>(major);
    b[104] = static_cast<unsigned char>(format);
    return b;
}

}  // namespace

TEST(CheckLas, RealSampleFilesGetTheirTypeCodes) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    const std::pair<const char*, int> expected[] = {
        {"1.0_0.las", 1}, {"1.0_1.las", 2}, {"1.1_0.las", 3}, {"1.1_1.las", 4},       {"1.2_0.las", 5},
        {"1.2_1.las", 6}, {"1.2_2.las", 7}, {"1.2_3.las", 8}, {"1.2-no-points.las", 8}, {"lots_of_vlr.las", 4},
        {"simple.las", 8}, {"mvk-thin.las", 6}, {"sample_c.las", 8},
        // LAS 1.4: formats 7 and 6, and format 3 with 27 extra bytes a record.
        {"autzen-bmx-2010.las", 22}, {"wontcompress3.las", 21}, {"extrabytes.las", 18}};
    for (const auto& [name, code] : expected) {
        const auto [got, out] = classify(lasdata(name));
        EXPECT_EQ(got, code) << name;
        EXPECT_EQ(out, "") << name;
    }
}

TEST(CheckLas, EveryRejectionHasItsMessage) {
    TempDir d;
    auto check = [&](const std::string& name, const std::vector<unsigned char>& bytes, const std::string& msg) {
        write_file(d / name, bytes);
        const auto [code, out] = classify(d / name);
        EXPECT_EQ(code, -1) << name;
        EXPECT_EQ(out, msg) << name;
    };
    const std::vector<unsigned char> good = header_bytes(1, 2, 1, 28);
    check("x.LAS", good, "\nFile extension of " + (d / "x.LAS") + " is not .las\n");
    check("x.lasx", good, "\nExtension of file " + (d / "x.lasx") + " should be preceeded by a dot (.)\n");
    std::vector<unsigned char> bad = good;
    bad[3] = 'X';
    check("sig.las", bad, "\n" + (d / "sig.las") + " is not a valid .las file\n\n");
    check("short.las", std::vector<unsigned char>(good.begin(), good.begin() + 106),
          "\n" + (d / "short.las") + " is not a valid .las file\n\n");
    check("v2.las", header_bytes(2, 0, 1, 28), "\nCannot handle las files of version 2.x\n");
    check("v15.las", header_bytes(1, 5, 1, 28), "\nCannot handle las files of version 1.5\n");
    check("v13f6.las", header_bytes(1, 3, 6, 30),
          "\nPointDataFormatID in " + (d / "v13f6.las") + " is 6. Only 0 to 5 are accepted in LAS 1.3\n");
    check("v14f11.las", header_bytes(1, 4, 11, 30),
          "\nPointDataFormatID in " + (d / "v14f11.las") + " is 11. Only 0 to 10 are accepted in LAS 1.4\n");
    check("v14len.las", header_bytes(1, 4, 7, 35),
          "\nData format of " + (d / "v14len.las") + " (7) is incompatible with Length of Data Record (35)\n");
    check("f10.las", header_bytes(1, 2, 10, 28),
          "\nPointDataFormatID in " + (d / "f10.las") + " is :. Only 0, 1, 2, or 3 is accepted\n");
    check("len.las", header_bytes(1, 2, 1, 30),
          "\nData format of " + (d / "len.las") + " (1) is incompatible with Length of Data Record (30)\n");

    // From LAS 1.3 on a record may carry extra bytes after its format's fields.
    write_file(d / "v14f10.las", header_bytes(1, 4, 10, 70));
    EXPECT_EQ(classify(d / "v14f10.las").first, torvane::kLAS14Type + 10);
    write_file(d / "v13f5.las", header_bytes(1, 3, 5, 63));
    EXPECT_EQ(classify(d / "v13f5.las").first, torvane::kLAS13Type + 5);
    write_file(d / "v10f3.las", header_bytes(1, 0, 3, 77));
    EXPECT_EQ(classify(d / "v10f3.las").first, 0);  // record length not checked for code 0

    const auto [code, out] = classify(d / "missing.txt");
    EXPECT_EQ(code, -1);
    EXPECT_EQ(out, "Unable to open file " + (d / "missing.txt") + " in file_access()\n\nFile " + (d / "missing.txt") +
                       " does NOT exist\n");
}

TEST(FileNames, ExtensionChecksAndMessages) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(torvane::check_file_extension("a.las", "las"), 0);
    EXPECT_EQ(torvane::check_file_extension(".las", "las"), -1);
    EXPECT_EQ(torvane::check_file_extension("survey.las.bak", "las"), -1);
    EXPECT_EQ(torvane::check_file_extension("a.las", "lasx"), -1);
    torvane::error_msg(2, "a.las");
    torvane::error_msg(3, "b.las");
    torvane::error_msg(9, "c.las");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nFile name (.las) is too short\n"
              "\nFile extension of survey.las.bak is not .las\n"
              "\nFile extension of a.las is not .lasx\n"
              "\nFile a.las already exists\n"
              "\nSame file name (b.las) has been specified twice\n");
}

TEST(CheckDEM, AsciiAndBinaryDemNames) {
    TempDir d;
    testing::internal::CaptureStdout();
    torvane::check_DEM(d / "terrain.asc");
    write_text(d / "terrain.hdr", "ncols 1\n");
    torvane::check_DEM(d / "terrain.flt");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nFile extension of " + (d / "terrain.asc") +
                                                          " is not .flt\n\nFile extension of " + (d / "terrain.flt") +
                                                          " is not .asc\n");
    const std::string longName = d / (std::string(120, 'x') + ".asc");
    testing::internal::CaptureStdout();
    torvane::check_DEM(longName);
    testing::internal::GetCapturedStdout();
    EXPECT_FAILS_WITH(torvane::check_DEM(d / "other.flt"), "require a ASCII header file");
    EXPECT_FAILS_WITH(torvane::check_DEM(d / "terrain.ASC"), "should be either '.asc'");
}
