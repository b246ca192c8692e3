// The variable-length records of a LAS file (between the public header block
// and the point data) and the extended ones of LAS 1.4 (after the point
// data): found by walking their headers, every length checked against the
// file's size, nothing allocated from a declared count or length.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Torvane_LiDAR.h"

namespace torvane {

inline constexpr std::size_t kVLRHeaderSize = 54;
// Within a (extended) variable-length record's header: the user ID (16
// bytes), the record ID and the length of the data after the header (16 bits,
// 64 bits in an extended one).
inline constexpr std::size_t kVLRUserAt = 2, kVLRRecordIDAt = 18, kVLRLengthAt = 20;

// One (extended) variable-length record: where its data lie in the file.
struct VariableRecord {
    std::string user;  // user ID, up to its first zero byte
    uint16_t id = 0;
    bool extended = false;
    uint64_t dataOffset = 0;  // from the start of the file
    uint64_t length = 0;      // bytes of data
};

// Reads n bytes at offset into to; false when the file does not hold them all.
using ReadBytesAt = std::function<bool(uint64_t offset, void* to, std::size_t n)>;

// The records of a file of fileSize bytes that keep(user, id) wants, the
// first one of each user ID and record ID only, in file order. The walk reads
// the headers alone, through one window of at most 1 MiB, and stops at the
// first record that does not fit: the variable-length records within the
// point data's offset, the extended ones within the file; a header of zero
// bytes alone ends it too.
std::vector<VariableRecord> find_variable_records(const LASHeader& h, uint64_t fileSize, const ReadBytesAt& read,
                                                  const std::function<bool(const std::string&, uint16_t)>& keep);

// The user IDs of the records the suite reads: the coordinate system and the
// description of compressed point data.
inline constexpr const char* kProjectionUser = "LASF_Projection";
inline constexpr const char* kCompressionUser = "laszip encoded";
inline constexpr uint16_t kCompressionRecordID = 22204;

// The records the suite reads (projection and compression ones).
bool wanted_record(const std::string& user, uint16_t id);

}  // namespace torvane
