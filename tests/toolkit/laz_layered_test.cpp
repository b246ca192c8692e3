// The layered LAZ chunks of LAS 1.4: the public twin decoded and re-encoded, simulated
// records of every point format round-tripped, and damaged chunks refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "las_builder.h"
#include "layered.h"

namespace {

using testutil::have_lasdata;
using testutil::lasdata;
using testutil::read_file;

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char* p) { return le16(p) | (static_cast<uint32_t>(le16(p + 2)) << 16); }

// The compression VLR of a LAZ file, read by walking its VLRs.
laz::Compression compression_of(const std::vector<unsigned char>& file, const torvane::LASHeader& h) {
    laz::Compression c;
    size_t at = h.HeaderSize;
    for (uint32_t i = 0; i < h.NumberOfVariableLengthRecords && at + 54 <= file.size(); ++i) {
        const unsigned char* v = file.data() + at;
        const size_t length = le16(v + 20);
        if (std::strncmp(reinterpret_cast<const char*>(v + 2), "laszip encoded", 16) == 0 && le16(v + 18) == 22204) {
            const unsigned char* p = v + 54;
            c.compressor = le16(p);
            c.chunkSize = le32(p + 12);
            for (uint16_t k = 0; k < le16(p + 32); ++k)
                c.items.push_back({le16(p + 34 + 6 * k), le16(p + 36 + 6 * k), le16(p + 38 + 6 * k)});
        }
        at += 54 + length;
    }
    return c;
}

// The twin pair: the LAZ file's only chunk (between the chunk table position and the table)
// and the LAS file's records.
struct Twin {
    laz::Compression c;
    uint16_t recordLength = 0;
    uint32_t points = 0;
    std::vector<unsigned char> chunk, records;
};

Twin load_twin() {
    Twin t;
    const std::vector<unsigned char> laz = read_file(lasdata("1_4_w_evlr.laz"));
    const std::vector<unsigned char> las = read_file(lasdata("1_4_w_evlr.las"));
    const torvane::LASHeader hz = torvane::header_from_bytes(laz.data(), laz.size());
    const torvane::LASHeader hs = torvane::header_from_bytes(las.data(), las.size());
    t.c = compression_of(laz, hz);
    t.recordLength = hz.PointDataRecordLength;
    t.points = static_cast<uint32_t>(torvane::point_count(hz));
    uint64_t table = 0;
    std::memcpy(&table, laz.data() + hz.OffsetToData, 8);
    t.chunk.assign(laz.begin() + hz.OffsetToData + 8, laz.begin() + static_cast<std::ptrdiff_t>(table));
    t.records.assign(las.begin() + hs.OffsetToData,
                     las.begin() + hs.OffsetToData + static_cast<std::ptrdiff_t>(t.points) * hs.PointDataRecordLength);
    return t;
}

TEST(LazLayered, TwinDecodesToItsLasRecords) {
    if (!have_lasdata()) GTEST_SKIP() << "no sample data";
    const Twin t = load_twin();
    ASSERT_EQ(t.c.compressor, 3);
    ASSERT_GE(t.c.chunkSize, t.points);  // one chunk
    std::vector<unsigned char> out(t.records.size());
    EXPECT_EQ(laz::decode_layered_chunk(t.c, t.recordLength, t.chunk.data(), t.chunk.size(), t.points, out.data()), "");
    for (uint32_t i = 0; i < t.points; ++i) {
        ASSERT_EQ(0, std::memcmp(out.data() + i * t.recordLength, t.records.data() + i * t.recordLength, t.recordLength))
            << "record " << i;
    }
}

TEST(LazLayered, TwinRecordsEncodeToItsChunk) {
    if (!have_lasdata()) GTEST_SKIP() << "no sample data";
    const Twin t = load_twin();
    std::vector<unsigned char> chunk;
    laz::encode_layered_chunk(t.c, t.recordLength, t.records.data(), t.points, chunk);
    ASSERT_EQ(chunk.size(), t.chunk.size());
    const auto diff = std::mismatch(chunk.begin(), chunk.end(), t.chunk.begin());
    EXPECT_EQ(diff.first, chunk.end()) << "first difference at byte " << (diff.first - chunk.begin());
}

// ---------------------------------------------------------------------------
// Simulated records
// ---------------------------------------------------------------------------

struct Format {
    int id;
    uint16_t rgbAt, nirAt, waveAt, extraAt;  // 0: absent
    uint16_t length;
};
// formats 6 to 10 with three extra bytes
constexpr Format kFormats[] = {
    {6, 0, 0, 0, 30, 33}, {7, 30, 0, 0, 36, 39}, {8, 30, 36, 0, 38, 41}, {9, 0, 0, 30, 59, 62}, {10, 30, 36, 38, 67, 70}};

laz::Compression items_for(const Format& f, uint16_t version) {
    laz::Compression c;
    c.compressor = 3;
    c.items.push_back({laz::kPoint14, 30, version});
    if (f.nirAt) c.items.push_back({laz::kRgbNir14, 8, version});
    else if (f.rgbAt) c.items.push_back({laz::kRgb14, 6, version});
    if (f.waveAt) c.items.push_back({laz::kWavePacket14, 29, version});
    c.items.push_back({laz::kByte14, 3, version});
    return c;
}

void put16(unsigned char* p, uint32_t v) { p[0] = static_cast<unsigned char>(v), p[1] = static_cast<unsigned char>(v >> 8); }
void put32(unsigned char* p, uint32_t v) { put16(p, v), put16(p + 2, v >> 16); }

// Pulses of one to five returns on four scanner channels taking turns in runs,
// two flight lines interleaved in time, now and then an odd value.
std::vector<unsigned char> simulate(const Format& f, uint32_t points, uint32_t seed) {
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    std::vector<unsigned char> out(static_cast<size_t>(points) * f.length);
    int32_t x = 100000, y = 200000, z = 5000;
    double time[2] = {302400.125, 309000.5};
    uint32_t channel = 0, r = 1, n = 1, line = 0;
    uint64_t waveOffset = 1000;
    for (uint32_t i = 0; i < points; ++i) {
        unsigned char* p = out.data() + static_cast<size_t>(i) * f.length;
        if (r >= n) {  // a new pulse
            r = 1;
            n = 1 + pick(5) + (pick(50) == 0 ? 9 : 0);
            if (pick(8) == 0) channel = pick(4);
            if (pick(200) == 0) line ^= 1;
            time[line] += pick(30) == 0 ? 1000.0 + pick(1000) : 0.00001 * (1 + pick(3));
            x += static_cast<int32_t>(pick(200)) - 60;
            y += static_cast<int32_t>(pick(40)) - 20;
        } else {
            ++r;
        }
        z += static_cast<int32_t>(pick(300)) - 150;
        put32(p, static_cast<uint32_t>(x + static_cast<int32_t>(pick(5))));
        put32(p + 4, static_cast<uint32_t>(y));
        put32(p + 8, static_cast<uint32_t>(z));
        put16(p + 12, 200 + pick(3000) / n);
        p[14] = static_cast<unsigned char>(r | (n << 4));
        p[15] = static_cast<unsigned char>((pick(20) == 0 ? pick(16) : 0) | (channel << 4) | ((line & 1) << 6) |
                                           (pick(100) == 0 ? 0x80 : 0));
        p[16] = static_cast<unsigned char>(pick(10) == 0 ? pick(256) : (r == n ? 2 : 1));
        p[17] = static_cast<unsigned char>(pick(4) == 0 ? pick(256) : 7);
        put16(p + 18, static_cast<uint32_t>(static_cast<int32_t>(pick(4000)) - 2000));
        put16(p + 20, 7000 + line + (pick(500) == 0 ? pick(60000) : 0));
        std::memcpy(p + 22, &time[line], 8);
        if (f.rgbAt) {
            const uint32_t grey = pick(65536);
            for (int k = 0; k < 3; ++k) put16(p + f.rgbAt + 2 * k, pick(3) == 0 ? grey : (grey + pick(300)) & 0xFFFF);
        }
        if (f.nirAt) put16(p + f.nirAt, pick(2) ? 0 : pick(65536));
        if (f.waveAt) {
            unsigned char* w = p + f.waveAt;
            const uint32_t size = pick(4) == 0 ? 256 + pick(100) : 256;
            w[0] = static_cast<unsigned char>(pick(10) == 0 ? pick(256) : 1);
            if (pick(50) == 0) waveOffset = (static_cast<uint64_t>(pick(1u << 20)) << 32) | rng();
            else if (pick(3) != 0) waveOffset += size;
            put32(w + 1, static_cast<uint32_t>(waveOffset)), put32(w + 5, static_cast<uint32_t>(waveOffset >> 32));
            put32(w + 9, size);
            for (int k = 0; k < 4; ++k) put32(w + 13 + 4 * k, pick(4) == 0 ? rng() : 0x3F800000u + pick(1000));
        }
        p[f.extraAt] = 42;
        p[f.extraAt + 1] = static_cast<unsigned char>(i);
        p[f.extraAt + 2] = static_cast<unsigned char>(pick(256));
    }
    return out;
}

TEST(LazLayered, SimulatedRecordsOfEveryFormatRoundTrip) {
    for (const Format& f : kFormats) {
        for (uint16_t version : {3, 4}) {
            const laz::Compression c = items_for(f, version);
            for (uint32_t points : {1u, 2u, 5000u}) {
                SCOPED_TRACE("format " + std::to_string(f.id) + " version " + std::to_string(version) + ", " +
                             std::to_string(points) + " points");
                const std::vector<unsigned char> records = simulate(f, points, f.id * 10 + version);
                std::vector<unsigned char> chunk;
                laz::encode_layered_chunk(c, f.length, records.data(), points, chunk);
                ASSERT_FALSE(chunk.empty());
                if (points > 100) {
                    EXPECT_LT(chunk.size(), records.size() / 2);
                }
                std::vector<unsigned char> back(records.size());
                ASSERT_EQ(laz::decode_layered_chunk(c, f.length, chunk.data(), chunk.size(), points, back.data()), "");
                for (uint32_t i = 0; i < points; ++i)
                    ASSERT_EQ(0, std::memcmp(back.data() + static_cast<size_t>(i) * f.length,
                                             records.data() + static_cast<size_t>(i) * f.length, f.length))
                        << "record " << i;
            }
        }
    }
}

// GPS times are kept to the bit: a zero changing sign, NaN.
TEST(LazLayered, GpsTimeBitsRoundTrip) {
    const Format& f = kFormats[0];
    std::vector<unsigned char> records = simulate(f, 6, 2);
    const double times[6] = {0.0, -0.0, 0.0, std::nan(""), std::nan(""), -0.0};
    for (int i = 0; i < 6; ++i) std::memcpy(records.data() + i * f.length + 22, &times[i], 8);
    std::vector<unsigned char> chunk, back(records.size());
    laz::encode_layered_chunk(items_for(f, 3), f.length, records.data(), 6, chunk);
    ASSERT_EQ(laz::decode_layered_chunk(items_for(f, 3), f.length, chunk.data(), chunk.size(), 6, back.data()), "");
    EXPECT_EQ(back, records);
}

// Versions 3 and 4 differ only when a record returns to a scanner channel seen before.
TEST(LazLayered, VersionsDifferOnlyAcrossChannels) {
    const Format& f = kFormats[4];
    std::vector<unsigned char> records = simulate(f, 3000, 1);
    auto encode = [&](uint16_t version) {
        std::vector<unsigned char> chunk;
        laz::encode_layered_chunk(items_for(f, version), f.length, records.data(), 3000, chunk);
        return chunk;
    };
    EXPECT_NE(encode(3), encode(4));
    for (size_t i = 0; i < 3000; ++i) records[i * f.length + 15] &= 0xCF;  // all on channel 0
    EXPECT_EQ(encode(3), encode(4));
}

// An independent decoder (the npm package laz-perf, run by node, found through NODE_PATH)
// reads our version 3 chunks of formats 6 to 8 on four scanner channels.
TEST(LazLayered, IndependentDecoderReadsOurChunks) {
    testutil::TempDir dir;
    testutil::write_text(dir / "decode.js", R"(
const fs = require('fs');
const [chunkPath, format, length, points, outPath] = process.argv.slice(2);
require('laz-perf').createLazPerf().then((L) => {
  const bytes = fs.readFileSync(chunkPath);
  const src = L._malloc(bytes.length), dst = L._malloc(Number(length));
  L.HEAPU8.set(bytes, src);
  const d = new L.ChunkDecoder();
  d.open(Number(format), Number(length), src);
  const out = Buffer.alloc(Number(length) * Number(points));
  for (let i = 0; i < Number(points); ++i) {
    d.getPoint(dst);
    out.set(L.HEAPU8.subarray(dst, dst + Number(length)), i * Number(length));
  }
  fs.writeFileSync(outPath, out);
});
)");
#ifdef NODE_MODULES_DIR
    ::setenv("NODE_PATH", NODE_MODULES_DIR, 1);
#endif
    if (testutil::run_in(dir.path, "node", {"-e", "require('laz-perf')"}).status != 0)
        GTEST_SKIP() << "node or the laz-perf package (tests/node: npm install) is missing";
    for (const Format& f : {kFormats[0], kFormats[1], kFormats[2]}) {
        SCOPED_TRACE("format " + std::to_string(f.id));
        const uint32_t points = 5000;
        const std::vector<unsigned char> records = simulate(f, points, 99);
        std::vector<unsigned char> chunk;
        laz::encode_layered_chunk(items_for(f, 3), f.length, records.data(), points, chunk);
        testutil::write_file(dir / "chunk.bin", chunk);
        ASSERT_EQ(testutil::run_in(dir.path, "node", {"decode.js", "chunk.bin", std::to_string(f.id),
                                                       std::to_string(f.length), std::to_string(points), "out.bin"})
                      .status,
                  0);
        const std::vector<unsigned char> back = read_file(dir / "out.bin");
        ASSERT_EQ(back.size(), records.size());
        for (uint32_t i = 0; i < points; ++i)
            ASSERT_EQ(0, std::memcmp(back.data() + static_cast<size_t>(i) * f.length,
                                     records.data() + static_cast<size_t>(i) * f.length, f.length))
                << "record " << i;
    }
}

// ---------------------------------------------------------------------------
// Damaged chunks: an error, never a read outside the chunk
// ---------------------------------------------------------------------------

TEST(LazLayered, DamagedChunksAreRefused) {
    const Format& f = kFormats[4];
    const laz::Compression c = items_for(f, 3);
    const uint32_t points = 400;
    const std::vector<unsigned char> records = simulate(f, points, 7);
    std::vector<unsigned char> chunk;
    laz::encode_layered_chunk(c, f.length, records.data(), points, chunk);
    std::vector<unsigned char> out(records.size());

    // every truncation: the copy on the heap ends where the chunk is cut
    for (size_t size = 0; size < chunk.size(); size += 7) {
        std::vector<unsigned char> cut(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_NE(laz::decode_layered_chunk(c, f.length, cut.data(), cut.size(), points, out.data()), "")
            << "cut at " << size;
    }
    // a layer size beyond the chunk
    std::vector<unsigned char> bad = chunk;
    put32(bad.data() + f.length + 4 + 4, 0xFFFFFFF0u);
    EXPECT_NE(laz::decode_layered_chunk(c, f.length, bad.data(), bad.size(), points, out.data()), "");
    // items that do not make the record
    laz::Compression wrong = c;
    wrong.items.back().size = 4;
    EXPECT_NE(laz::decode_layered_chunk(wrong, f.length, chunk.data(), chunk.size(), points, out.data()), "");
    wrong = c;
    wrong.items[0].version = 2;
    EXPECT_NE(laz::decode_layered_chunk(wrong, f.length, chunk.data(), chunk.size(), points, out.data()), "");
    // flipped bytes decode to something or to an error, inside the buffers (checked under ASan)
    std::mt19937 rng(3);
    for (int k = 0; k < 200; ++k) {
        std::vector<unsigned char> flipped = chunk;
        flipped[f.length + rng() % (flipped.size() - f.length)] ^= static_cast<unsigned char>(1 + rng() % 255);
        (void)laz::decode_layered_chunk(c, f.length, flipped.data(), flipped.size(), points, out.data());
    }
}

}  // namespace
