// Opening a listed LAS file: the first read validates its header and size,
// every later read finds them unchanged or stops the run.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "file_io.h"
#include "las_input.h"

namespace quilvor {

using torvane::LASHeader;
using torvane::LASHeaderSize;

namespace {

[[noreturn]] void not_valid(const char* name) { fail("\n%s is not a valid .las file\n\n", name); }

}  // namespace

void fail_changed(const char* name) { fail("\nFile %s changed while it was being processed\n", name); }

namespace {

// check_las accepted a format with a GPS time and a record long enough for
// it: before LAS 1.3, format 1 or 3 (LAS 1.0 and 1.1 files that declare
// format 3 are read as such) at exactly its length; from LAS 1.3 on, any
// format of the version with a GPS time, extra bytes allowed. Anything else
// was written since.
bool gps_layout(const LASHeader& h) {
    const int id = h.PointDataFormatID;
    if (h.VersionMinor < 3)
        return (id == 1 || id == 3) && h.PointDataRecordLength == torvane::point_format(id).length;
    if (id > torvane::max_format_of_version(h.VersionMinor)) return false;
    const torvane::PointFormat& f = torvane::point_format(id);
    return f.hasGPSTime && h.PointDataRecordLength >= f.length;
}

}  // namespace

void validate_layout(const char* name, const LASHeader& h, uint64_t size, bool compressed) {
    if (h.VersionMajor != 1 || h.VersionMinor > 4 || !gps_layout(h)) fail_changed(name);
    // Compressed records take less room than they declare: they are checked with their chunks, the
    // rest of the file as if it held no records.
    torvane::LASHeader checked = h;
    if (compressed) {
        if (h.VersionMinor >= 4 && h.NumberOfPointReturns != 0 && h.NumberOfPointRecords != 0 &&
            h.NumberOfPointReturns != h.NumberOfPointRecords)
            not_valid(name);
        checked.NumberOfPointReturns = 0;
        checked.NumberOfPointRecords = 0;
    }
    const torvane::HeaderCheck c = torvane::check_header(checked, size);
    switch (c.fault) {
        case torvane::HeaderFault::None: break;
        case torvane::HeaderFault::NotValid: not_valid(name);
        case torvane::HeaderFault::PointsBeyondFile:
            // A 32-bit count beyond the point data the run can hold is too large (below); a
            // 64-bit one beyond it (LAS 1.4) in a file that does not hold it is truncated.
            if (c.declared <= UINT32_MAX && c.declared * h.PointDataRecordLength > 2147483647u) break;
            fail("\nFile %s is truncated: its header declares %llu points but it holds only %llu\n", name,
                 static_cast<unsigned long long>(c.declared), static_cast<unsigned long long>(c.holds));
        case torvane::HeaderFault::EVLRsBeyondFile:
            fail("\nFile %s is truncated: its extended variable-length records lie beyond its end or inside its "
                 "point data\n", name);
        case torvane::HeaderFault::WaveformBeyondFile:
            fail("\nFile %s is truncated: its waveform data lie beyond its end or inside its point data\n", name);
    }
    const uint64_t count = torvane::point_count(h);
    if (count > UINT32_MAX || count * h.PointDataRecordLength > 2147483647u)
        fail("\nFile %s is too large: its point data exceed 2147483647 bytes\n", name);
}

namespace {

bool named_laz(const std::string& name) { return name.size() >= 4 && name.compare(name.size() - 4, 4, ".laz") == 0; }

// Where a compressed file's point data must end: at its extended
// variable-length records, else at its waveform data, else at its end.
uint64_t compressed_end(const LASHeader& h, uint64_t size) {
    // The packed header's fields are copied, never bound to references.
    const uint64_t evlrs = h.StartOfFirstExtendedVariableLengthRecord, waveform = h.StartOfWaveformDataPacketRecord;
    if (h.VersionMinor >= 4 && h.NumberOfExtendedVariableLengthRecords > 0) return std::min(evlrs, size);
    if (h.VersionMinor >= 3 && waveform != 0) return std::min(waveform, size);
    return size;
}

[[noreturn]] void unreadable(const char* name, const std::string& what) {
    fail("\nFile %s cannot be read: %s\n", name, what.c_str());
}

// The compression record and the chunk table of a compressed file, checked
// against its header and its size.
std::shared_ptr<const CompressedPoints> find_chunks(const SurveyFile& file, int fd) {
    const char* name = file.name.c_str();
    const LASHeader& h = file.header;
    const torvane::VariableRecord* r = find_record(file, torvane::kCompressionUser, torvane::kCompressionRecordID);
    if (r == nullptr || r->extended) unreadable(name, "its compression record (laszip encoded, 22204) is missing");
    std::vector<unsigned char> data(static_cast<std::size_t>(r->length));  // found within the file
    int error = 0;
    if (read_at(fd, data.data(), data.size(), r->dataOffset, error) != data.size()) fail_changed(name);
    auto points = std::make_shared<CompressedPoints>();
    if (std::string e = laz::parse_compression(data.data(), data.size(), points->compression); !e.empty())
        unreadable(name, "its compression record is damaged: " + e);
    if (std::string e = laz::check_items(points->compression, h.PointDataFormatID, h.PointDataRecordLength);
        !e.empty())
        unreadable(name, e);
    const uint64_t end = compressed_end(h, file.size);
    const uint64_t count = torvane::point_count(h);
    const laz::ReadAt read = [fd](uint64_t offset, void* to, std::size_t n) -> std::string {
        int e = 0;
        if (read_at(fd, to, n, offset, e) == n) return "";
        return "it ends before byte " + std::to_string(offset + n);
    };
    if (std::string e = laz::read_chunk_table(points->compression, h.OffsetToData, end, count, read, points->chunks);
        !e.empty())
        unreadable(name, e);
    uint64_t first = 0;
    for (const laz::Chunk& c : points->chunks) {
        if (c.offset < h.OffsetToData || c.offset > end || c.bytes > end - c.offset)
            unreadable(name, "a chunk of its point data lies outside the point data");
        points->firstRecord.push_back(first);
        first += c.points;
    }
    points->firstRecord.push_back(first);
    if (first != count)
        unreadable(name, "its chunks hold " + std::to_string(first) + " records, its header declares " +
                             std::to_string(count));
    return points;
}

}  // namespace

namespace {

// Reads the header image of an open file: its bytes, their own size, whether the file holds them all.
struct HeaderImage {
    unsigned char bytes[torvane::kMaxHeaderSize] = {};
    std::size_t own = torvane::LASHeaderSize;
    bool whole = false;
};

HeaderImage read_header_image(std::FILE* f) {
    HeaderImage image;
    const std::size_t got = std::fread(image.bytes, 1, sizeof(image.bytes), f);
    if (got > offsetof(LASHeader, VersionMinor))
        image.own = torvane::header_size_of_version(image.bytes[offsetof(LASHeader, VersionMinor)]);
    image.whole = got >= image.own;
    return image;
}

}  // namespace

LasInput open_las_input(SurveyFile& file, const char* openFailure) {
    const char* name = file.name.c_str();
    LasInput in;
    errno = 0;
    in.file = torvane::open_regular_file(file.name);
    if (!in.file) fail_with_reason(open_reason(file.name), openFailure, name);
    check_identity(file, ::fileno(in.file.get()));
    const HeaderImage image = read_header_image(in.file.get());
    struct stat st;
    const uint64_t size = ::fstat(::fileno(in.file.get()), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    in.of = &file;
    if (file.validated) {
        if (!image.whole || image.own != file.headerSize || size != file.size ||
            std::memcmp(image.bytes, file.headerBytes.data(), image.own) != 0)
            fail_changed(name);
    } else {
        if (!image.whole) not_valid(name);
        LASHeader h = torvane::header_from_bytes(image.bytes, image.own);
        // Bit 7 of the point format marks compressed records (bit 6 goes with it).
        const bool compressed = (h.PointDataFormatID & 0x80) != 0;
        if (compressed) h.PointDataFormatID &= 0x3F;
        validate_layout(name, h, size, compressed);
        std::memcpy(file.headerBytes.data(), image.bytes, image.own);
        file.headerSize = image.own;
        file.size = size;
        file.header = h;
        const int fd = ::fileno(in.file.get());
        file.records = torvane::find_variable_records(
            h, size,
            [fd](uint64_t offset, void* to, std::size_t n) {
                int error = 0;
                return read_at(fd, to, n, offset, error) == n;
            },
            torvane::wanted_record);
        const bool described =
            find_record(file, torvane::kCompressionUser, torvane::kCompressionRecordID) != nullptr;
        if ((compressed || described) && !named_laz(file.name))
            fail("\nFile %s holds compressed (LAZ) point records but is not named .laz\n", name);
        if (!compressed && named_laz(file.name))
            fail("\nFile %s is named .laz but its point records are not compressed\n", name);
        if (compressed) file.compressed = find_chunks(file, fd);
        file.validated = true;
    }
    in.header = file.header;
    in.format = &torvane::point_format(in.header.PointDataFormatID);
    in.points = static_cast<uint32_t>(torvane::point_count(in.header));
    in.recordLength = in.header.PointDataRecordLength;
    return in;
}

LasInput open_las_input(pairStruct& entry, const char* openFailure) {
    if (entry.file.name.empty()) entry.file.name = entry.LASName;
    return open_las_input(entry.file, openFailure);
}

void read_input_at(const LasInput& in, void* buffer, std::size_t bytes, uint64_t offset) {
    const char* name = in.of->name.c_str();
    int error = 0;
    if (read_at(::fileno(in.file.get()), buffer, bytes, offset, error) == bytes) return;
    if (error != 0) fail_because(error, name, "\nFailed to read point data from %s\n", name);
    fail_changed(name);  // shorter than it was when validated
}

namespace {

// Decodes chunk k of a compressed file into the scratch (unless it holds it already).
void decode_into(const LasInput& in, const CompressedPoints& points, std::size_t k, RecordScratch& scratch) {
    if (scratch.of == &points && scratch.chunk == k) return;
    const char* name = in.of->name.c_str();
    const laz::Chunk& c = points.chunks[k];
    scratch.of = nullptr;
    try {
        scratch.packed.resize(static_cast<std::size_t>(c.bytes));
        scratch.records.resize(std::size_t{c.points} * in.recordLength);
    } catch (const std::bad_alloc&) {
        fail_because(ENOMEM, "", "\nFailed to allocate memory for data from %s\n", name);
    }
    read_input_at(in, scratch.packed.data(), scratch.packed.size(), c.offset);
    const std::string e = laz::decode_chunk(points.compression, in.recordLength, scratch.packed.data(),
                                            scratch.packed.size(), c.points, scratch.records.data());
    if (!e.empty())
        unreadable(name, "chunk " + std::to_string(k + 1) + " of " + std::to_string(points.chunks.size()) +
                             ": " + e);
    scratch.of = &points;
    scratch.chunk = k;
}

}  // namespace

void read_records(const LasInput& in, uint32_t first, uint32_t count, unsigned char* to, RecordScratch& scratch) {
    const CompressedPoints* points = in.of->compressed.get();
    if (points == nullptr) {
        read_input_at(in, to, std::size_t{count} * in.recordLength,
                      in.header.OffsetToData + uint64_t{first} * in.recordLength);
        return;
    }
    const std::vector<uint64_t>& starts = points->firstRecord;
    for (uint64_t at = first, end = uint64_t{first} + count; at < end;) {
        const std::size_t k =
            static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), at) - starts.begin()) - 1;
        decode_into(in, *points, k, scratch);
        const uint64_t n = std::min(end, starts[k + 1]) - at;
        std::memcpy(to, scratch.records.data() + (at - starts[k]) * in.recordLength,
                    static_cast<std::size_t>(n) * in.recordLength);
        to += static_cast<std::size_t>(n) * in.recordLength;
        at += n;
    }
}

std::vector<unsigned char> record_data(const LasInput& in, const torvane::VariableRecord& r) {
    std::vector<unsigned char> data(static_cast<std::size_t>(r.length));  // found within the file
    read_input_at(in, data.data(), data.size(), r.dataOffset);
    return data;
}

const torvane::VariableRecord* find_record(const SurveyFile& file, const std::string& user, uint16_t id) {
    for (const torvane::VariableRecord& r : file.records)
        if (r.user == user && r.id == id) return &r;
    return nullptr;
}

FileIdentity identity_of(const struct stat& st) {
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                        static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                        static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

void check_identity(SurveyFile& file, int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) fail_because(errno, file.name, "\nFailed to open file %s for reading\n",
                                            file.name.c_str());
    const FileIdentity now = identity_of(st);
    if (!file.identified) {
        file.identity = now;
        file.identified = true;
    } else if (!(now == file.identity)) {
        fail_changed(file.name.c_str());
    }
}

}  // namespace quilvor
