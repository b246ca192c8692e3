// The LAZ codec: compressed LAS point records.
//
// A LAZ file is a LAS file whose point records are compressed. The compression
// VLR ("laszip encoded", record 22204) names the compressor, the chunk size and
// the items a record is made of; the point data is a sequence of chunks, each
// decodable on its own, preceded by the 8-byte position of the chunk table
// written after the last chunk. Every chunk starts with its first record
// stored plainly; the records after it are arithmetic-coded item by item.
//
// Standard library only; every function is thread-safe (no shared state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace laz {

// Item types of the compression VLR.
enum ItemType : uint16_t {
    kByte = 0,           // extra bytes of formats 0 to 5
    kPoint10 = 6,        // the 20 bytes common to formats 0 to 5
    kGpsTime11 = 7,      // GPS time of formats 1, 3, 4, 5
    kRgb12 = 8,          // colour of formats 2, 3, 5
    kWavePacket13 = 9,   // wave packet of formats 4, 5
    kPoint14 = 10,       // the 30 bytes common to formats 6 to 10
    kRgb14 = 11,         // colour of format 7
    kRgbNir14 = 12,      // colour and near infrared of formats 8, 10
    kWavePacket14 = 13,  // wave packet of formats 9, 10
    kByte14 = 14,        // extra bytes of formats 6 to 10
};

// Compressors.
inline constexpr uint16_t kPointwise = 1;         // one stream of all points
inline constexpr uint16_t kPointwiseChunked = 2;  // chunks, each one stream
inline constexpr uint16_t kLayeredChunked = 3;    // chunks, each one stream per layer (formats 6 to 10)
inline constexpr uint32_t kVariableChunks = 0xFFFFFFFFu;  // chunk size: points per chunk in the table
inline constexpr uint16_t kCompressionRecordId = 22204;
inline constexpr char kCompressionUserId[] = "laszip encoded";

struct Item { uint16_t type = 0, size = 0, version = 0; };  // one item of the compression VLR
struct Compression {                                         // the compression VLR
    uint16_t compressor = 0;   // 1 pointwise, 2 pointwise chunked, 3 layered chunked
    uint16_t coder = 0;        // 0 arithmetic
    uint8_t versionMajor = 0, versionMinor = 0; uint16_t revision = 0;
    uint32_t options = 0;
    uint32_t chunkSize = 0;    // points per chunk; 0xFFFFFFFF variable
    int64_t evlrCount = -1, evlrOffset = -1;
    std::vector<Item> items;
};
struct Chunk { uint64_t offset = 0, bytes = 0; uint32_t points = 0; };  // offset: absolute in the file

using ReadAt = std::function<std::string(uint64_t offset, void* dst, size_t n)>;  // "" or what failed

// The VLR's payload (without the 54-byte VLR header) <-> Compression.
std::string parse_compression(const uint8_t* data, size_t size, Compression& out);  // "" or what is wrong
std::vector<uint8_t> compression_bytes(const Compression& c);

// The standard items of a point format (the 0x80/0x40 compression bits are
// ignored), extra bytes as a byte item; formats 0-5 pointwise chunked, items
// version 2 (wave packets version 1); formats 6-10 layered, version 3.
Compression compression_for(uint8_t pointFormat, uint16_t recordLength, uint32_t chunkSize = 50000);
// "" when this codec can read records of the format with these items, else what is wrong.
std::string check_items(const Compression& c, uint8_t pointFormat, uint16_t recordLength);

// pointDataStart: the header's offset to point data; pointDataEnd: where the
// compressed data must end (start of EVLRs / waveform data, else file size).
// Fills one Chunk per chunk. A chunk table whose position is -1 is found in the
// last 8 bytes before pointDataEnd; a missing table (its position never
// written) is rebuilt by decoding the chunks one after another where the chunk
// size is fixed, else it is an error.
std::string read_chunk_table(const Compression& c, uint64_t pointDataStart, uint64_t pointDataEnd,
                             uint64_t pointCount, const ReadAt& read, std::vector<Chunk>& out);

// One chunk's bytes -> points * recordLength bytes of plain LAS records.
std::string decode_chunk(const Compression& c, uint16_t recordLength, const uint8_t* data, size_t size,
                         uint32_t points, uint8_t* out);
// As decode_chunk, and `used` receives the bytes the chunk occupies.
std::string decode_chunk_measured(const Compression& c, uint16_t recordLength, const uint8_t* data, size_t size,
                                  uint32_t points, uint8_t* out, size_t& used);
// Plain LAS records -> one chunk's bytes, appended to out.
void encode_chunk(const Compression& c, uint16_t recordLength, const uint8_t* records, uint32_t points,
                  std::vector<uint8_t>& out);
// The chunk table as written after the last chunk (its position goes into the
// 8 bytes before the first chunk). Chunk offsets are not stored, only sizes.
std::vector<uint8_t> chunk_table_bytes(const Compression& c, const std::vector<Chunk>& chunks);

}  // namespace laz
