// Walking the (extended) variable-length records of a LAS file.
#include "las_records.h"

#include <algorithm>
#include <vector>

namespace torvane {

namespace {

constexpr std::size_t kWindowBytes = std::size_t{1} << 20;
// No more records than this are kept, whatever a file declares.
constexpr std::size_t kMostKept = 64;

// Reads ahead of the walk in one window, so that many small records cost few reads.
struct Window {
    const ReadBytesAt& read;
    uint64_t end;  // nothing at or past end is read
    std::vector<unsigned char> bytes;
    uint64_t start = 0;
    std::size_t held = 0;

    Window(const ReadBytesAt& reader, uint64_t limit) : read(reader), end(limit) {}

    // The n bytes at offset, or nullptr when they do not lie before end. After
    // a long jump (records of much data) only the n bytes are read: the next
    // header likely lies as far ahead.
    const unsigned char* at(uint64_t offset, std::size_t n, bool longJump) {
        if (offset > end || n > end - offset) return nullptr;
        if (offset >= start && offset - start + n <= held) return bytes.data() + (offset - start);
        const std::size_t want =
            longJump ? n : static_cast<std::size_t>(std::min<uint64_t>(kWindowBytes, end - offset));
        if (bytes.size() < want) bytes.resize(want);
        if (!read(offset, bytes.data(), want)) return nullptr;
        start = offset;
        held = want;
        return bytes.data();
    }
};

std::string user_id(const unsigned char* field) {
    std::size_t n = 0;
    while (n < 16 && field[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

// count records from offset on, each a header then its data, all before end.
void walk(Window& w, uint64_t offset, uint64_t count, bool extended,
          const std::function<bool(const std::string&, uint16_t)>& keep, std::vector<VariableRecord>& out) {
    const std::size_t headerBytes = extended ? kEVLRHeaderSize : kVLRHeaderSize;
    uint64_t lastLength = 0;
    for (uint64_t k = 0; k < count; ++k) {
        const unsigned char* head = w.at(offset, headerBytes, lastLength >= kWindowBytes / 32);
        if (head == nullptr) return;
        // A header of zero bytes alone (no user ID, no record ID, no data) is no record: the list ends
        // there, as it does in the unwritten part of a sparse file.
        if (std::all_of(head, head + headerBytes, [](unsigned char c) { return c == 0; })) return;
        VariableRecord r;
        r.extended = extended;
        r.id = load<uint16_t>(head + kVLRRecordIDAt);
        r.length = extended ? load<uint64_t>(head + kVLRLengthAt) : load<uint16_t>(head + kVLRLengthAt);
        offset += headerBytes;
        if (r.length > w.end - offset) return;
        r.dataOffset = offset;
        lastLength = r.length;
        offset += r.length;
        r.user = user_id(head + kVLRUserAt);
        if (out.size() >= kMostKept || !keep(r.user, r.id)) continue;
        const bool seen = std::any_of(out.begin(), out.end(), [&](const VariableRecord& o) {
            return o.extended == r.extended && o.id == r.id && o.user == r.user;
        });
        if (!seen) out.push_back(std::move(r));
    }
}

}  // namespace

bool wanted_record(const std::string& user, uint16_t id) {
    return user == kProjectionUser || (user == kCompressionUser && id == kCompressionRecordID);
}

std::vector<VariableRecord> find_variable_records(const LASHeader& h, uint64_t fileSize, const ReadBytesAt& read,
                                                  const std::function<bool(const std::string&, uint16_t)>& keep) {
    std::vector<VariableRecord> records;
    const uint64_t start = (h.HeaderSize >= LASHeaderSize && h.HeaderSize <= h.OffsetToData) ? h.HeaderSize
                                                                                              : LASHeaderSize;
    {
        Window w{read, std::min<uint64_t>(h.OffsetToData, fileSize)};
        walk(w, start, h.NumberOfVariableLengthRecords, false, keep, records);
    }
    if (h.VersionMinor >= 4 && h.NumberOfExtendedVariableLengthRecords > 0) {
        Window w{read, fileSize};
        walk(w, h.StartOfFirstExtendedVariableLengthRecord, h.NumberOfExtendedVariableLengthRecords, true, keep,
             records);
    }
    return records;
}

}  // namespace torvane
