// The LAZ codec's file-level parts: the compression VLR, the items of each
// point format, the chunk table, and the dispatch of a chunk to its
// compressor.
#include "laz_codec.h"

#include <cstring>
#include <memory>

#include "Torvane_LiDAR.h"
#include "arithmetic_coder.h"
#include "integer_compressor.h"
#include "layered.h"
#include "pointwise.h"

namespace laz {

using torvane::load;

namespace {

template <class T>
void append(std::vector<uint8_t>& out, T v) {
    uint8_t b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

// The compression VLR's payload: fixed fields, then six bytes per item.
constexpr size_t kCompressor = 0, kCoder = 2, kVersionMajor = 4, kVersionMinor = 5, kRevision = 6, kOptions = 8,
                 kChunkSize = 12, kEvlrCount = 16, kEvlrOffset = 24, kItemCount = 32, kFixedSize = 34, kItemSize = 6;

std::string text(uint64_t v) { return std::to_string(v); }

bool variable_chunks(const Compression& c) { return c.chunkSize == kVariableChunks || c.chunkSize == 0; }

uint32_t record_length_of(const Compression& c) {
    uint32_t n = 0;
    for (const Item& it : c.items) n += it.size;
    return n;
}

// Bytes of the fields every record of a point format holds.
int base_record_length(uint8_t format) {
    static constexpr int kBase[11] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
    return format <= 10 ? kBase[format] : -1;
}

std::string item_label(const Item& it) {
    static const char* const kNames[15] = {"byte", "short", "int", "long", "float", "double", "point10", "gpstime11",
                                           "rgb12", "wavepacket13", "point14", "rgb14", "rgbnir14", "wavepacket14",
                                           "byte14"};
    const std::string name = it.type < 15 ? kNames[it.type] : "type " + text(it.type);
    return name + " (" + text(it.size) + " bytes, version " + text(it.version) + ")";
}

std::string read_exactly(const ReadAt& read, uint64_t offset, void* dst, size_t n, const char* what) {
    std::string e = read(offset, dst, n);
    return e.empty() ? e : std::string("cannot read the ") + what + ": " + e;
}

// Without a table, chunks of a fixed size follow one another: each is decoded
// to learn where the next begins.
std::string rebuild_chunk_table(const Compression& c, uint64_t chunksStart, uint64_t chunksEnd, uint64_t pointCount,
                                const ReadAt& read, std::vector<Chunk>& out) {
    const uint32_t recordLength = record_length_of(c);
    if (recordLength == 0 || recordLength > 0xFFFF) return "the items add up to " + text(recordLength) + " bytes";
    const uint64_t perChunk = c.chunkSize < pointCount ? c.chunkSize : pointCount;
    if (perChunk * recordLength > (uint64_t{1} << 30))
        return "chunks of " + text(c.chunkSize) + " records are too large to read without a chunk table";
    std::vector<uint8_t> records(perChunk * recordLength);
    std::vector<uint8_t> bytes;
    uint64_t at = chunksStart, remaining = pointCount;
    while (remaining) {
        const uint32_t points = static_cast<uint32_t>(remaining < perChunk ? remaining : perChunk);
        if (at >= chunksEnd) return "the point data ends after " + text(pointCount - remaining) + " of " + text(pointCount) + " records";
        const uint64_t most = uint64_t{points} * recordLength * 2 + 4096;
        const uint64_t window = chunksEnd - at < most ? chunksEnd - at : most;
        bytes.resize(window);
        if (std::string e = read_exactly(read, at, bytes.data(), window, "chunk"); !e.empty()) return e;
        size_t used = 0;
        if (std::string e = decode_chunk_measured(c, static_cast<uint16_t>(recordLength), bytes.data(), window, points,
                                                  records.data(), used);
            !e.empty())
            return "chunk " + text(out.size()) + " (no chunk table): " + e;
        out.push_back({at, used, points});
        at += used;
        remaining -= points;
    }
    return "";
}

}  // namespace

std::string parse_compression(const uint8_t* data, size_t size, Compression& out) {
    out = Compression{};
    if (data == nullptr || size < kFixedSize)
        return "the compression record holds " + text(size) + " bytes, fewer than " + text(kFixedSize);
    out.compressor = load<uint16_t>(data + kCompressor);
    out.coder = load<uint16_t>(data + kCoder);
    out.versionMajor = data[kVersionMajor];
    out.versionMinor = data[kVersionMinor];
    out.revision = load<uint16_t>(data + kRevision);
    out.options = load<uint32_t>(data + kOptions);
    out.chunkSize = load<uint32_t>(data + kChunkSize);
    out.evlrCount = load<int64_t>(data + kEvlrCount);
    out.evlrOffset = load<int64_t>(data + kEvlrOffset);
    const uint16_t count = load<uint16_t>(data + kItemCount);
    if (count == 0) return "the compression record lists no items";
    if (size != kFixedSize + kItemSize * size_t{count})
        return "the compression record holds " + text(size) + " bytes, not the " + text(kFixedSize + kItemSize * count) +
               " of its " + text(count) + " items";
    out.items.resize(count);
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* p = data + kFixedSize + kItemSize * size_t{i};
        out.items[i] = {load<uint16_t>(p), load<uint16_t>(p + 2), load<uint16_t>(p + 4)};
    }
    return "";
}

std::vector<uint8_t> compression_bytes(const Compression& c) {
    std::vector<uint8_t> out;
    out.reserve(kFixedSize + kItemSize * c.items.size());
    append<uint16_t>(out, c.compressor);
    append<uint16_t>(out, c.coder);
    append<uint8_t>(out, c.versionMajor);
    append<uint8_t>(out, c.versionMinor);
    append<uint16_t>(out, c.revision);
    append<uint32_t>(out, c.options);
    append<uint32_t>(out, c.chunkSize);
    append<int64_t>(out, c.evlrCount);
    append<int64_t>(out, c.evlrOffset);
    append<uint16_t>(out, static_cast<uint16_t>(c.items.size()));
    for (const Item& it : c.items) {
        append<uint16_t>(out, it.type);
        append<uint16_t>(out, it.size);
        append<uint16_t>(out, it.version);
    }
    return out;
}

Compression compression_for(uint8_t pointFormat, uint16_t recordLength, uint32_t chunkSize) {
    const uint8_t format = pointFormat & 0x3F;
    Compression c;
    c.coder = 0;
    c.versionMajor = 3;
    c.versionMinor = 4;
    c.revision = 3;
    c.chunkSize = chunkSize;
    const int base = base_record_length(format);
    if (base < 0) return c;  // no items: check_items names the format
    const uint16_t extra = recordLength > base ? static_cast<uint16_t>(recordLength - base) : 0;
    const bool gpsTime = format == 1 || format == 3 || format == 4 || format == 5;
    const bool rgb = format == 2 || format == 3 || format == 5 || format == 7 || format == 8 || format == 10;
    const bool nir = format == 8 || format == 10;
    const bool wavePacket = format == 4 || format == 5 || format == 9 || format == 10;
    if (format <= 5) {
        c.compressor = kPointwiseChunked;
        c.items.push_back({kPoint10, 20, 2});
        if (gpsTime) c.items.push_back({kGpsTime11, 8, 2});
        if (rgb) c.items.push_back({kRgb12, 6, 2});
        if (wavePacket) c.items.push_back({kWavePacket13, 29, 1});
        if (extra) c.items.push_back({kByte, extra, 2});
    } else {
        c.compressor = kLayeredChunked;
        c.items.push_back({kPoint14, 30, 3});
        if (nir) c.items.push_back({kRgbNir14, 8, 3});
        else if (rgb) c.items.push_back({kRgb14, 6, 3});
        if (wavePacket) c.items.push_back({kWavePacket14, 29, 3});
        if (extra) c.items.push_back({kByte14, extra, 3});
    }
    return c;
}

std::string check_items(const Compression& c, uint8_t pointFormat, uint16_t recordLength) {
    const uint8_t format = pointFormat & 0x3F;
    if (c.coder != 0) return "coder " + text(c.coder) + " is not supported";
    if (base_record_length(format) < 0) return "point format " + text(format) + " cannot be compressed";
    if (record_length_of(c) != recordLength)
        return "the compressed items add up to " + text(record_length_of(c)) + " bytes, the records hold " +
               text(recordLength);
    const Compression standard = compression_for(format, recordLength);
    if (c.items.size() != standard.items.size()) {
        std::string e = "the compressed items";
        for (const Item& it : c.items) e += " " + item_label(it);
        return e + " do not make a record of point format " + text(format);
    }
    for (size_t i = 0; i < c.items.size(); ++i) {
        const Item& it = c.items[i];
        const Item& want = standard.items[i];
        if (it.type != want.type || it.size != want.size)
            return "item " + item_label(it) + " does not belong in a record of point format " + text(format);
        const bool known = it.type == kWavePacket13 ? it.version == 1
                           : format <= 5            ? (it.version == 1 || it.version == 2)
                                                    : (it.version == 3 || it.version == 4);
        if (!known) return "item " + item_label(it) + " is not supported";
    }
    if (format <= 5 && c.compressor != kPointwise && c.compressor != kPointwiseChunked)
        return "compressor " + text(c.compressor) + " is not supported for point format " + text(format);
    if (format > 5 && c.compressor != kLayeredChunked)
        return "compressor " + text(c.compressor) + " is not supported for point format " + text(format);
    return "";
}

std::string read_chunk_table(const Compression& c, uint64_t pointDataStart, uint64_t pointDataEnd,
                             uint64_t pointCount, const ReadAt& read, std::vector<Chunk>& out) {
    out.clear();
    if (pointDataEnd < pointDataStart) return "the point data ends before it starts";
    if (c.compressor == kPointwise) {
        if (pointCount > 0xFFFFFFFFu) return "a stream of " + text(pointCount) + " records is not supported";
        if (pointCount) out.push_back({pointDataStart, pointDataEnd - pointDataStart, static_cast<uint32_t>(pointCount)});
        return "";
    }
    if (c.compressor != kPointwiseChunked && c.compressor != kLayeredChunked)
        return "compressor " + text(c.compressor) + " is not supported";
    if (pointCount == 0) return "";
    if (pointDataEnd - pointDataStart < 8) return "the point data is too short to hold the chunk table's position";
    const uint64_t chunksStart = pointDataStart + 8;
    int64_t tableAt = 0;
    if (std::string e = read_exactly(read, pointDataStart, &tableAt, 8, "chunk table's position"); !e.empty()) return e;
    uint64_t chunksEnd = pointDataEnd;
    if (tableAt == -1) {  // written by a writer that could not go back: the position follows the table
        if (pointDataEnd - chunksStart < 8) return "the chunk table's position is missing at the end of the point data";
        chunksEnd = pointDataEnd - 8;
        if (std::string e = read_exactly(read, chunksEnd, &tableAt, 8, "chunk table's position"); !e.empty()) return e;
    }
    if (tableAt >= 0 && static_cast<uint64_t>(tableAt) == pointDataStart) {  // never written: the writer stopped early
        if (variable_chunks(c)) return "the chunk table is missing and the chunks have no fixed size";
        return rebuild_chunk_table(c, chunksStart, chunksEnd, pointCount, read, out);
    }
    if (tableAt < 0 || static_cast<uint64_t>(tableAt) < chunksStart || static_cast<uint64_t>(tableAt) > chunksEnd ||
        chunksEnd - static_cast<uint64_t>(tableAt) < 8)
        return "the chunk table's position " + text(static_cast<uint64_t>(tableAt)) + " lies outside the point data (" +
               text(chunksStart) + " to " + text(chunksEnd) + ")";
    const uint64_t table = static_cast<uint64_t>(tableAt);
    uint8_t head[8];
    if (std::string e = read_exactly(read, table, head, 8, "chunk table"); !e.empty()) return e;
    const uint32_t version = load<uint32_t>(head), count = load<uint32_t>(head + 4);
    if (version != 0) return "chunk table version " + text(version) + " is not supported";
    if (count > table - chunksStart) return "the chunk table lists " + text(count) + " chunks in " + text(table - chunksStart) + " bytes";
    const bool variable = variable_chunks(c);
    if (!variable) {
        const uint64_t needed = (pointCount + c.chunkSize - 1) / c.chunkSize;
        if (count != needed)
            return "the chunk table lists " + text(count) + " chunks, " + text(pointCount) + " records in chunks of " +
                   text(c.chunkSize) + " need " + text(needed);
    }
    if (count == 0) return "the chunk table lists no chunks for " + text(pointCount) + " records";

    const uint64_t tableBytes = chunksEnd - table - 8;
    const uint64_t most = uint64_t{count} * 24 + 64;
    std::vector<uint8_t> coded(tableBytes < most ? tableBytes : most);
    if (std::string e = read_exactly(read, table + 8, coded.data(), coded.size(), "chunk table"); !e.empty()) return e;
    Decoder d;
    start_decoder(d, coded.data(), coded.size());
    IntegerCoder ic;
    reset_integer_coder(ic, 32, 2, true);
    out.reserve(count);
    uint32_t lastPoints = 0, lastBytes = 0;
    uint64_t at = chunksStart, listed = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t points;
        if (variable) {
            points = static_cast<uint32_t>(decode_integer(d, ic, static_cast<int32_t>(lastPoints), 0));
            lastPoints = points;
        } else {
            points = static_cast<uint32_t>(i + 1 < count ? c.chunkSize : pointCount - uint64_t{c.chunkSize} * i);
        }
        const uint32_t bytes = static_cast<uint32_t>(decode_integer(d, ic, static_cast<int32_t>(lastBytes), 1));
        lastBytes = bytes;
        if (d.overrun) return "the chunk table is damaged or cut short";
        if (bytes == 0 || bytes > table - at)
            return "chunk " + text(i) + " of " + text(bytes) + " bytes at " + text(at) + " does not end before the chunk table at " + text(table);
        out.push_back({at, bytes, points});
        at += bytes;
        listed += points;
    }
    if (listed != pointCount)
        return "the chunk table lists " + text(listed) + " records, the header " + text(pointCount);
    return "";
}

std::string decode_chunk_measured(const Compression& c, uint16_t recordLength, const uint8_t* data, size_t size,
                                  uint32_t points, uint8_t* out, size_t& used) {
    used = 0;
    if (c.coder != 0) return "coder " + text(c.coder) + " is not supported";
    if (c.compressor == kPointwise || c.compressor == kPointwiseChunked)
        return decode_pointwise_chunk(c, recordLength, data, size, points, out, used);
    if (c.compressor == kLayeredChunked) return decode_layered_chunk(c, recordLength, data, size, points, out, &used);
    return "compressor " + text(c.compressor) + " is not supported";
}

std::string decode_chunk(const Compression& c, uint16_t recordLength, const uint8_t* data, size_t size,
                         uint32_t points, uint8_t* out) {
    size_t used = 0;
    std::string e = decode_chunk_measured(c, recordLength, data, size, points, out, used);
    // A chunk's records end exactly where the chunk does; anything else is damage.
    if (e.empty() && points && c.compressor == kPointwiseChunked && used != size)
        e = "chunk of " + text(size) + " bytes ends after " + text(used) + " bytes: its data is damaged";
    return e;
}

void encode_chunk(const Compression& c, uint16_t recordLength, const uint8_t* records, uint32_t points,
                  std::vector<uint8_t>& out) {
    if (c.compressor == kPointwise || c.compressor == kPointwiseChunked)
        encode_pointwise_chunk(c, recordLength, records, points, out);
    else if (c.compressor == kLayeredChunked)
        encode_layered_chunk(c, recordLength, records, points, out);
}

std::vector<uint8_t> chunk_table_bytes(const Compression& c, const std::vector<Chunk>& chunks) {
    std::vector<uint8_t> out;
    append<uint32_t>(out, 0);  // version
    append<uint32_t>(out, static_cast<uint32_t>(chunks.size()));
    if (chunks.empty()) return out;
    const bool variable = c.chunkSize == kVariableChunks;
    Encoder e;
    start_encoder(e, out);
    IntegerCoder ic;
    reset_integer_coder(ic, 32, 2, false);
    uint32_t lastPoints = 0, lastBytes = 0;
    for (const Chunk& ch : chunks) {
        if (variable) {
            encode_integer(e, ic, static_cast<int32_t>(lastPoints), static_cast<int32_t>(ch.points), 0);
            lastPoints = ch.points;
        }
        const uint32_t bytes = static_cast<uint32_t>(ch.bytes);
        encode_integer(e, ic, static_cast<int32_t>(lastBytes), static_cast<int32_t>(bytes), 1);
        lastBytes = bytes;
    }
    finish_encoder(e);
    return out;
}

}  // namespace laz
