#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "las_builder.h"

using namespace testutil;

namespace {
torvane::LASHeader header_of(const std::string& path) {
    const std::vector<unsigned char> b = read_file(path);
    return torvane::header_from_bytes(b.data());
}
void update(const std::string& path) {
    testing::internal::CaptureStdout();
    torvane::update_header(path);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rHeader of file " + path + " has been updated    ");
}
}  // namespace

TEST(UpdateHeader, CorrectHeaderOfRealFileStaysByteIdentical) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    TempDir d;
    std::filesystem::copy_file(lasdata("simple.las"), d / "simple.las");
    update(d / "simple.las");
    EXPECT_EQ(read_file(d / "simple.las"), read_file(lasdata("simple.las")));
}

TEST(UpdateHeader, RecomputesCountsAndExtentIncludingFarZ) {
    TempDir d;
    LasShape shape;
    shape.format = 3;
    shape.scale = 0.01;
    shape.offset[0] = 1000.0;
    shape.autoExtent = false;  // a wrong extent to be corrected
    shape.declaredPoints = 99;
    shape.preamble = {1, 2, 3, 4, 5};
    std::vector<Point> pts(5);
    pts[0].X = -5, pts[0].Y = 10, pts[0].Z = 20000000, pts[0].bitfield = 0x11;  // return 1
    pts[1].X = 7, pts[1].Y = -3, pts[1].Z = 30000000, pts[1].bitfield = 0x12;   // return 2
    pts[2].X = 2, pts[2].Y = 4, pts[2].Z = 25000000, pts[2].bitfield = 0x15;    // return 5
    pts[3].bitfield = 0x10, pts[3].Z = 20000001;                                // return 0
    pts[4].bitfield = 0x17, pts[4].Z = 20000002;                                // return 7
    std::vector<unsigned char> bytes = make_las(shape, pts);
    bytes.push_back(0xAB);  // a trailing piece shorter than a record
    write_file(d / "f.las", bytes);
    update(d / "f.las");

    const torvane::LASHeader h = header_of(d / "f.las");
    EXPECT_EQ(+h.NumberOfPointReturns, 5u);
    const uint32_t expected[5] = {1, 1, 0, 0, 1};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(+h.NumberOfPointsByReturn[k], expected[k]);
    EXPECT_EQ(+h.MinX, -5 * 0.01 + 1000.0);
    EXPECT_EQ(+h.MaxX, 7 * 0.01 + 1000.0);
    EXPECT_EQ(+h.MinY, -3 * 0.01);
    EXPECT_EQ(+h.MaxY, 10 * 0.01);
    EXPECT_EQ(+h.MinZ, 20000000 * 0.01);  // not the old start bound 10000000
    EXPECT_EQ(+h.MaxZ, 30000000 * 0.01);
    const std::vector<unsigned char> after = read_file(d / "f.las");
    EXPECT_TRUE(std::equal(after.begin() + 227, after.end(), bytes.begin() + 227));  // only the header changed
}

TEST(UpdateHeader, LAS14CountsIn64BitsAndLegacyCountsOnlyWhereUsed) {
    // Returns 1 to 15 of formats 6 to 10; a format 1 file in LAS 1.4 with its
    // legacy counts set. Extended variable-length records after the records
    // are not records.
    TempDir d;
    for (const int format : {6, 1}) {
        LasShape shape;
        shape.versionMinor = 4;
        shape.format = format;
        shape.declaredPoints = 40;
        shape.tail = std::vector<unsigned char>(60 + 3 * 30, 0x5A);  // as long as three records
        std::vector<Point> pts(4);
        pts[0].bitfield = 0x09, pts[1].bitfield = 0x3A, pts[2].bitfield = 0x3F, pts[3].bitfield = 0x3B;
        std::vector<unsigned char> b = make_las(shape, pts);
        torvane::LASHeader h = torvane::header_from_bytes(b.data());
        h.StartOfFirstExtendedVariableLengthRecord = b.size() - shape.tail.size();
        h.NumberOfExtendedVariableLengthRecords = 1;
        torvane::header_to_bytes(h, b.data());
        if (format == 6) b[h.OffsetToData + 2 * 30 + 14] = 0xFF;  // return 15 of 15
        const std::string path = d / ("f" + std::to_string(format) + ".las");
        write_file(path, b);
        update(path);
        h = header_of(path);
        EXPECT_EQ(+h.NumberOfPointRecords, 4u) << format;
        EXPECT_EQ(+h.NumberOfPointsByReturn64[0], 1u) << format;
        EXPECT_EQ(+h.NumberOfPointsByReturn64[1], 1u) << format;
        EXPECT_EQ(+h.NumberOfPointsByReturn64[2], 1u) << format;
        EXPECT_EQ(+h.NumberOfPointsByReturn64[format == 6 ? 14 : 6], 1u) << format;  // 15, or 7 of 3 bits
        EXPECT_EQ(+h.NumberOfPointReturns, format == 6 ? 0u : 4u);
        EXPECT_EQ(+h.NumberOfPointsByReturn[0], format == 6 ? 0u : 1u);
        const std::vector<unsigned char> after = read_file(path);
        EXPECT_TRUE(std::equal(after.begin() + 375, after.end(), b.begin() + 375));  // only the header changed
    }
}

TEST(UpdateHeader, FileWithoutRecordsGetsStartBounds) {
    TempDir d;
    LasShape shape;
    shape.declaredPoints = 10;
    write_file(d / "e.las", make_las(shape, {}));
    update(d / "e.las");
    const torvane::LASHeader h = header_of(d / "e.las");
    EXPECT_EQ(+h.NumberOfPointReturns, 0u);
    EXPECT_EQ(+h.MaxX, -2147483646.0);
    EXPECT_EQ(+h.MinZ, 2147483646.0);
}

TEST(UpdateHeader, RefusesUndefinedFormatAndShortFiles) {
    TempDir d;
    LasShape shape;
    shape.versionMinor = 1;
    shape.format = 3;
    write_file(d / "c0.las", make_las(shape, {Point{}}));
    EXPECT_FAILS_WITH(torvane::update_header(d / "c0.las"), "Cannot update header of .*c0.las: its point data format");
    std::vector<unsigned char> b = make_las(LasShape{}, {});
    b.resize(150);
    write_file(d / "s.las", b);
    EXPECT_FAILS_WITH(torvane::update_header(d / "s.las"), "s.las is not a valid .las file");
    EXPECT_EQ(read_file(d / "s.las"), b);
}

TEST(InitializeHeader, DefaultsOfEveryVersion) {
    torvane::LASHeader h10, h11, h12, h14;
    std::memset(&h10, 0xEE, sizeof(h10));
    std::memset(&h11, 0xEE, sizeof(h11));
    std::memset(&h12, 0xEE, sizeof(h12));
    std::memset(&h14, 0xEE, sizeof(h14));
    torvane::initialize_header10(&h10);
    torvane::initialize_header14(&h14);
    torvane::initialize_header11(&h11);
    torvane::initialize_header12(&h12);
    EXPECT_EQ(+h10.VersionMinor, 0);
    EXPECT_EQ(+h11.VersionMinor, 1);
    EXPECT_EQ(+h12.VersionMinor, 2);
    EXPECT_EQ(std::string(h12.GeneratingSoftware), "Torvane LiDAR Utilities");
    EXPECT_EQ(static_cast<unsigned char>(h12.GeneratingSoftware[24]), 0xEE);  // bytes after the text untouched
    EXPECT_EQ(+h12.HeaderSize, 227);
    EXPECT_EQ(+h12.OffsetToData, 227u);
    EXPECT_EQ(+h12.XScaleFactor, 1.0);
    EXPECT_EQ(+h10.FileSourceID, 0u);
    EXPECT_EQ(+h10.GlobalEncoding, 0u);
    EXPECT_EQ(+h14.VersionMinor, 4);
    EXPECT_EQ(+h14.HeaderSize, 375);
    EXPECT_EQ(+h14.OffsetToData, 375u);
    EXPECT_EQ(+h14.NumberOfPointRecords, 0u);
    EXPECT_EQ(+h14.NumberOfPointsByReturn64[14], 0u);
    EXPECT_EQ(+h14.StartOfWaveformDataPacketRecord, 0u);
    EXPECT_EQ(+h11.FileCreationYear, 0);
    EXPECT_EQ(std::memcmp(h12.LASF, "LASF", 4), 0);
}

TEST(Layouts, UnalignedRecordsReadByByteCopy) {
    // Format 2 and 3 records back to back put every second record's fields off alignment.
    for (int format : {2, 3}) {
        LasShape shape;
        shape.format = format;
        std::vector<Point> pts(3);
        for (int k = 0; k < 3; ++k) pts[k].X = -100000 * (k + 1), pts[k].Intensity = static_cast<uint16_t>(300 + k),
                                    pts[k].GPSTime = 1.5e8 + k;
        const std::vector<unsigned char> b = make_las(shape, pts);
        const std::size_t len = format == 2 ? 26 : 34;
        for (int k = 0; k < 3; ++k) {
            const unsigned char* r = b.data() + 227 + k * len;
            EXPECT_EQ(torvane::load<int32_t>(r), -100000 * (k + 1));
            EXPECT_EQ(torvane::load<uint16_t>(r + torvane::withinRecordOffsetToIntensity), 300 + k);
            if (format == 3) {
                EXPECT_EQ(torvane::record_gps_time(r, torvane::point_format(3)), 1.5e8 + k);
            }
        }
    }
}
