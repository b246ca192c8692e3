// The LAZ codec against files other software wrote (simple.laz and
// 1_4_w_evlr.laz, the compressed twins of their LAS files), round trips of
// real samples through every chunk layout, and damaged input answered with a
// message.
#include <gtest/gtest.h>

#include <cstring>

#include "Torvane_LiDAR.h"
#include "las_builder.h"
#include "laz_codec.h"

namespace {

using testutil::have_lasdata;
using testutil::lasdata;
using testutil::read_file;

// A sample file in memory: its header, its compression VLR if any, where its
// point data lies.
struct Sample {
    std::vector<uint8_t> bytes;
    torvane::LASHeader header{};
    uint64_t points = 0;
    uint16_t recordLength = 0;
    uint64_t dataStart = 0;
    bool compressed = false;
    laz::Compression compression;
    std::string vlrError;
    const uint8_t* records() const { return bytes.data() + dataStart; }
};

Sample open_sample(const std::string& name) {
    Sample s;
    const std::vector<unsigned char> b = read_file(lasdata(name));
    s.bytes.assign(b.begin(), b.end());
    s.header = torvane::header_from_bytes(s.bytes.data(), s.bytes.size());
    s.points = torvane::point_count(s.header);
    s.recordLength = s.header.PointDataRecordLength;
    s.dataStart = s.header.OffsetToData;
    uint64_t at = s.header.HeaderSize;
    for (uint32_t i = 0; i < s.header.NumberOfVariableLengthRecords && at + 54 <= s.dataStart; ++i) {
        const uint16_t id = torvane::load<uint16_t>(s.bytes.data() + at + 18);
        const uint16_t length = torvane::load<uint16_t>(s.bytes.data() + at + 20);
        if (id == laz::kCompressionRecordId && at + 54 + length <= s.bytes.size()) {
            s.compressed = true;
            s.vlrError = laz::parse_compression(s.bytes.data() + at + 54, length, s.compression);
        }
        at += 54 + length;
    }
    return s;
}

laz::ReadAt reader_of(const std::vector<uint8_t>& file) {
    return [&file](uint64_t offset, void* dst, size_t n) -> std::string {
        if (offset > file.size() || n > file.size() - offset) return "beyond the end of the file";
        std::memcpy(dst, file.data() + offset, n);
        return "";
    };
}

// The point data as a writer lays it out: the table's position, the chunks
// (of the given sizes, the last one taking the rest), the table.
std::vector<uint8_t> compress(const laz::Compression& c, uint16_t recordLength, const uint8_t* records,
                              uint64_t points, uint64_t dataStart, const std::vector<uint32_t>& sizes) {
    std::vector<uint8_t> out;
    if (c.compressor == laz::kPointwise) {
        laz::encode_chunk(c, recordLength, records, static_cast<uint32_t>(points), out);
        return out;
    }
    out.resize(8);
    std::vector<laz::Chunk> chunks;
    uint64_t done = 0;
    for (size_t i = 0; done < points; ++i) {
        const uint64_t want = i < sizes.size() ? sizes[i] : c.chunkSize;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(want, points - done));
        const size_t start = out.size();
        laz::encode_chunk(c, recordLength, records + done * recordLength, n, out);
        chunks.push_back({dataStart + start, out.size() - start, n});
        done += n;
    }
    const int64_t tableAt = static_cast<int64_t>(dataStart + out.size());
    std::memcpy(out.data(), &tableAt, 8);
    const std::vector<uint8_t> table = laz::chunk_table_bytes(c, chunks);
    out.insert(out.end(), table.begin(), table.end());
    return out;
}

// Every record of a file whose point data runs from dataStart to its end; "" or what failed.
std::string decompress(const laz::Compression& c, uint16_t recordLength, const std::vector<uint8_t>& file,
                       uint64_t dataStart, uint64_t points, std::vector<uint8_t>& records) {
    std::vector<laz::Chunk> chunks;
    std::string e = laz::read_chunk_table(c, dataStart, file.size(), points, reader_of(file), chunks);
    if (!e.empty()) return e;
    records.assign(points * recordLength, 0);
    uint64_t done = 0;
    for (const laz::Chunk& ch : chunks) {
        if (ch.offset + ch.bytes > file.size() || done + ch.points > points) return "chunk outside the file";
        e = laz::decode_chunk(c, recordLength, file.data() + ch.offset, ch.bytes, ch.points,
                              records.data() + done * recordLength);
        if (!e.empty()) return e;
        done += ch.points;
    }
    return done == points ? "" : "chunks hold fewer records than the header";
}

// The public twins: a LAZ file other software wrote and its plain LAS file.
struct Twin {
    const char* laz;
    const char* las;
};
constexpr Twin kTwins[] = {{"simple.laz", "simple.las"}, {"1_4_w_evlr.laz", "1_4_w_evlr.las"}};

// Where a LAZ file's compressed point data ends: at its EVLRs, else at its end.
uint64_t point_data_end(const Sample& s) {
    const uint64_t evlrs = s.header.StartOfFirstExtendedVariableLengthRecord;
    return s.header.VersionMinor >= 4 && s.header.NumberOfExtendedVariableLengthRecords && evlrs ? evlrs : s.bytes.size();
}

TEST(LazTwins, TwinsDecodeToTheirLasRecords) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    for (const Twin& t : kTwins) {
        SCOPED_TRACE(t.laz);
        const Sample laz = open_sample(t.laz);
        const Sample las = open_sample(t.las);
        ASSERT_TRUE(laz.compressed);
        ASSERT_EQ(laz.vlrError, "");
        EXPECT_EQ(laz::check_items(laz.compression, laz.header.PointDataFormatID, laz.recordLength), "");
        ASSERT_EQ(laz.points, las.points);
        const std::vector<uint8_t> file(laz.bytes.begin(), laz.bytes.begin() + static_cast<std::ptrdiff_t>(point_data_end(laz)));
        std::vector<uint8_t> records;
        ASSERT_EQ(decompress(laz.compression, laz.recordLength, file, laz.dataStart, laz.points, records), "");
        ASSERT_EQ(records.size(), las.points * las.recordLength);
        EXPECT_EQ(0, std::memcmp(records.data(), las.records(), records.size()));
    }
}

TEST(LazTwins, TwinRecordsEncodeToTheTwinsPointData) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    for (const Twin& t : kTwins) {
        SCOPED_TRACE(t.laz);
        const Sample laz = open_sample(t.laz);
        const Sample las = open_sample(t.las);
        // The items and chunk size the twin was written with, as this codec chooses them itself.
        const laz::Compression c = laz::compression_for(las.header.PointDataFormatID, las.recordLength, 50000);
        ASSERT_EQ(c.items.size(), laz.compression.items.size());
        for (size_t i = 0; i < c.items.size(); ++i) {
            EXPECT_EQ(c.items[i].type, laz.compression.items[i].type);
            EXPECT_EQ(c.items[i].size, laz.compression.items[i].size);
            EXPECT_EQ(c.items[i].version, laz.compression.items[i].version);
        }
        EXPECT_EQ(c.compressor, laz.compression.compressor);
        EXPECT_EQ(c.chunkSize, laz.compression.chunkSize);
        // Table position, chunk and chunk table, byte for byte.
        const std::vector<uint8_t> data = compress(c, las.recordLength, las.records(), las.points, laz.dataStart, {});
        const std::vector<uint8_t> want(laz.bytes.begin() + static_cast<std::ptrdiff_t>(laz.dataStart),
                                        laz.bytes.begin() + static_cast<std::ptrdiff_t>(point_data_end(laz)));
        EXPECT_EQ(data.size(), want.size());
        EXPECT_TRUE(data == want) << "the compressed point data differs from the twin's";
        // The VLR written for it reads back the same.
        laz::Compression back;
        const std::vector<uint8_t> vlr = laz::compression_bytes(c);
        ASSERT_EQ(laz::parse_compression(vlr.data(), vlr.size(), back), "");
        EXPECT_EQ(laz::compression_bytes(back), vlr);
    }
}

// Real samples through every layout: fixed chunks, variable chunks, one
// stream, a table whose position was never written (rebuilt by decoding).
TEST(LazRoundTrip, RealSamplesInEveryChunkLayout) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    // Where the chunk table's position is: before the chunks, never written
    // (the writer stopped), or -1 there and after the table (a writer that could not seek).
    enum Position { kFirst, kNever, kAtEnd };
    struct Case {
        const char* file;
        uint16_t compressor;
        uint32_t chunkSize;
        std::vector<uint32_t> sizes;  // variable chunks
        Position position;
        uint16_t version = 2;  // of the items
    };
    const Case cases[] = {
        {"sample_c.las", laz::kPointwiseChunked, 5000, {}, kFirst},  // format 3, four flight lines
        {"mvk-thin.las", laz::kPointwiseChunked, 1000, {}, kFirst},  // format 1
        {"extrabytes.las", laz::kPointwiseChunked, 300, {}, kFirst},  // 27 extra bytes
        {"simple.las", laz::kPointwiseChunked, laz::kVariableChunks, {1, 400, 64, 600}, kFirst},
        {"simple.las", laz::kPointwiseChunked, laz::kVariableChunks, {500, 500, 65}, kAtEnd},
        {"mvk-thin.las", laz::kPointwise, 0, {}, kFirst},
        {"sample_c.las", laz::kPointwiseChunked, 4000, {}, kNever},
        {"sample_c.las", laz::kPointwise, 0, {}, kFirst, 1},  // the first LAZ files' items
        {"extrabytes.las", laz::kPointwiseChunked, 500, {}, kFirst, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.file) + " chunks of " + std::to_string(k.chunkSize) + " version " + std::to_string(k.version));
        const Sample s = open_sample(k.file);
        laz::Compression c = laz::compression_for(s.header.PointDataFormatID, s.recordLength, k.chunkSize);
        c.compressor = k.compressor;
        for (laz::Item& it : c.items) it.version = k.version;
        ASSERT_EQ(laz::check_items(c, s.header.PointDataFormatID, s.recordLength), "");
        const uint64_t dataStart = 1000;
        std::vector<uint8_t> file(dataStart, 0);
        const std::vector<uint8_t> data = compress(c, s.recordLength, s.records(), s.points, dataStart, k.sizes);
        file.insert(file.end(), data.begin(), data.end());
        EXPECT_LT(data.size(), s.points * s.recordLength * 3 / 4);
        if (k.position == kNever) torvane::store<int64_t>(file.data() + dataStart, int64_t(dataStart));
        if (k.position == kAtEnd) {
            file.resize(file.size() + 8);
            std::memcpy(file.data() + file.size() - 8, file.data() + dataStart, 8);
            torvane::store<int64_t>(file.data() + dataStart, -1);
        }
        std::vector<uint8_t> records;
        ASSERT_EQ(decompress(c, s.recordLength, file, dataStart, s.points, records), "");
        EXPECT_EQ(0, std::memcmp(records.data(), s.records(), records.size()));
    }
}

// Format 4: mvk-thin's records with a wave packet each (packets that follow
// one another, repeat, jump back and jump far), in both item versions' company.
TEST(LazRoundTrip, WavePacketsOfFormat4) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    const Sample s = open_sample("mvk-thin.las");
    const uint16_t length = 57;
    std::vector<uint8_t> records(s.points * length);
    uint64_t offset = 60;
    for (uint64_t i = 0; i < s.points; ++i) {
        uint8_t* r = records.data() + i * length;
        std::memcpy(r, s.records() + i * s.recordLength, 28);
        const uint32_t size = 48 + 8 * static_cast<uint32_t>(i % 3);
        if (i % 7 == 3) offset -= 1000;                 // back
        else if (i % 97 == 5) offset += uint64_t{1} << 40;  // far
        else if (i % 5 != 1) offset += size;            // the next packet (i % 5 == 1: the same)
        r[28] = static_cast<uint8_t>(1 + i % 2);
        const float point = 1.5f * static_cast<float>(i % 11), dx = 0.001f, dy = -0.002f, dz = -0.999f;
        torvane::store(r + 29, offset);
        torvane::store(r + 37, size);
        torvane::store(r + 41, point);
        torvane::store(r + 45, dx);
        torvane::store(r + 49, dy);
        torvane::store(r + 53, dz);
    }
    laz::Compression c = laz::compression_for(4, length, 2000);
    ASSERT_EQ(laz::check_items(c, 4, length), "");
    ASSERT_EQ(c.items[2].type, laz::kWavePacket13);
    const uint64_t dataStart = 500;
    std::vector<uint8_t> file(dataStart, 0);
    const std::vector<uint8_t> data = compress(c, length, records.data(), s.points, dataStart, {});
    file.insert(file.end(), data.begin(), data.end());
    std::vector<uint8_t> back;
    ASSERT_EQ(decompress(c, length, file, dataStart, s.points, back), "");
    EXPECT_TRUE(back == records);
}

// Damaged input: each a message, never a crash or a read outside the buffer
// (run under the sanitizers).
TEST(LazDamage, DamagedTwinGivesMessages) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    const Sample laz = open_sample("simple.laz");
    const uint64_t start = laz.dataStart, end = laz.bytes.size();
    const int64_t tableAt = torvane::load<int64_t>(laz.bytes.data() + start);
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* message;
    };
    const Case cases[] = {
        {"table position past the end", [&](auto& f) { torvane::store<int64_t>(f.data() + start, int64_t(end) + 100); },
         "outside the point data"},
        {"table position negative", [&](auto& f) { torvane::store<int64_t>(f.data() + start, -7); }, "outside"},
        {"table version", [&](auto& f) { f[tableAt] = 1; }, "version 1"},
        {"table count", [&](auto& f) { f[tableAt + 4] = 9; }, "lists 9 chunks"},
        {"table cut short", [&](auto& f) { f.erase(f.end() - 3, f.end()); }, ""},
        {"chunk bytes changed", [&](auto& f) { for (int i = 0; i < 16; ++i) f[start + 4000 + i] ^= 0x5A; }, ""},
        {"chunk ends early", [&](auto& f) { f.erase(f.begin() + int64_t(start) + 9000, f.begin() + int64_t(start) + 9100); }, ""},
        {"chunk of no bytes", [&](auto& f) { f.resize(start + 8); }, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<uint8_t> file = laz.bytes;
        k.damage(file);
        std::vector<uint8_t> records;
        const std::string e = decompress(laz.compression, laz.recordLength, file, start, laz.points, records);
        EXPECT_NE(e, "");
        EXPECT_NE(e.find(k.message), std::string::npos) << e;
    }
    // A chunk decoded with fewer bytes than it needs, or more records than it holds.
    std::vector<laz::Chunk> chunks;
    ASSERT_EQ(laz::read_chunk_table(laz.compression, start, end, laz.points, reader_of(laz.bytes), chunks), "");
    std::vector<uint8_t> records((laz.points + 10) * laz.recordLength);
    for (size_t size : {size_t{0}, size_t{20}, size_t{34}, size_t{38}, size_t(chunks[0].bytes - 1)}) {
        EXPECT_NE(laz::decode_chunk(laz.compression, laz.recordLength, laz.bytes.data() + chunks[0].offset, size,
                                    chunks[0].points, records.data()),
                  "")
            << size;
    }
    EXPECT_NE(laz::decode_chunk(laz.compression, laz.recordLength, laz.bytes.data() + chunks[0].offset,
                                chunks[0].bytes, chunks[0].points + 10, records.data()),
              "");
}

TEST(LazDamage, CompressionRecordsThatDoNotFit) {
    const laz::Compression good = laz::compression_for(3, 34);
    const std::vector<uint8_t> bytes = laz::compression_bytes(good);
    laz::Compression c;
    EXPECT_EQ(laz::parse_compression(bytes.data(), bytes.size(), c), "");
    EXPECT_NE(laz::parse_compression(bytes.data(), 33, c), "");
    EXPECT_NE(laz::parse_compression(bytes.data(), bytes.size() - 1, c), "");
    std::vector<uint8_t> extra = bytes;
    extra.push_back(0);
    EXPECT_NE(laz::parse_compression(extra.data(), extra.size(), c), "");
    // Items against the point format and record length.
    EXPECT_EQ(laz::check_items(good, 3, 34), "");
    EXPECT_NE(laz::check_items(good, 3, 36).find("add up to 34"), std::string::npos);
    EXPECT_NE(laz::check_items(good, 1, 34), "");
    laz::Compression v1 = good;
    v1.items[1].version = 7;
    EXPECT_NE(laz::check_items(v1, 3, 34).find("version 7"), std::string::npos);
    laz::Compression coder = good;
    coder.coder = 1;
    EXPECT_NE(laz::check_items(coder, 3, 34), "");
    // The standard items of the formats with a GPS time.
    EXPECT_EQ(laz::compression_for(1, 28).items.size(), 2u);
    EXPECT_EQ(laz::compression_for(3, 61).items.back().size, 27);
    EXPECT_EQ(laz::compression_for(6, 30).compressor, laz::kLayeredChunked);
    EXPECT_EQ(laz::compression_for(5, 63).items.size(), 4u);
}

}  // namespace
