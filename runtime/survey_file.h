// A listed file of a survey as the suite's programs read it: its header, its
// variable-length records, and its point records as plain LAS record bytes,
// whatever the file's encoding.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Torvane_LiDAR.h"
#include "las_records.h"
#include "laz_codec.h"

namespace quilvor {

// Which file a name led to, and its state: device, inode, size and time of
// the last modification.
struct FileIdentity {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

// How a compressed file's point data are held: the compression record, and
// the chunks with the number of their first record.
struct CompressedPoints {
    laz::Compression compression;
    std::vector<laz::Chunk> chunks;
    std::vector<uint64_t> firstRecord;  // of each chunk, and the record count after the last
};

// One listed file. What the run validated of it when it first read it (its
// public header block, the bytes of its version, and its size) must be found
// unchanged by every later read; the records the suite reads are found then,
// once.
struct SurveyFile {
    std::string name;  // as listed
    bool validated = false;
    std::array<unsigned char, torvane::kMaxHeaderSize> headerBytes{};  // as in the file
    std::size_t headerSize = 0;
    uint64_t size = 0;
    torvane::LASHeader header{};  // the point format without the compression bits
    std::vector<torvane::VariableRecord> records;  // the projection and compression records
    std::shared_ptr<const CompressedPoints> compressed;  // null for plain point records
    // The identity of the file when the run first opened it for its records.
    bool identified = false;
    FileIdentity identity{};
};

// A survey: its listed files, in list order.
using Survey = std::vector<SurveyFile>;

// A listed file open for reading.
struct LasInput {
    torvane::FilePtr file;
    const SurveyFile* of = nullptr;
    torvane::LASHeader header{};
    const torvane::PointFormat* format = nullptr;  // the header's point format, one with a GPS time
    uint32_t points = 0;                           // the number of point records
    uint16_t recordLength = 0;                     // PointDataRecordLength
};

// What one thread keeps between its reads of records: the records of the
// compressed chunk it read last, and that chunk's bytes.
struct RecordScratch {
    std::vector<unsigned char> records, packed;
    const CompressedPoints* of = nullptr;
    std::size_t chunk = SIZE_MAX;
};

}  // namespace quilvor
