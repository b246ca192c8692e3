// The public header block of every LAS version: read from and written to a
// file's bytes, and checked against the file's size.
#include <cmath>

#include "Torvane_LiDAR.h"

namespace torvane {

LASHeader header_from_bytes(const void* bytes, std::size_t n) {
    LASHeader h;
    std::memset(&h, 0, sizeof(h));
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    const std::size_t own = header_size_of_version(b[offsetof(LASHeader, VersionMinor)]);
    std::memcpy(&h, b, own < n ? own : n);
    return h;
}

void header_to_bytes(const LASHeader& h, void* bytes) {
    std::memcpy(bytes, &h, header_size_of_version(h.VersionMinor));
}

namespace {

// Scales not zero and finite, offsets and extent finite, and an offset that
// keeps the coordinates' precision: one step of the scale must change it
// (an offset so large that it does not makes every coordinate the same).
bool finite_numbers(const LASHeader& h) {
    const double scales[3] = {h.XScaleFactor, h.YScaleFactor, h.ZScaleFactor};
    const double offsets[3] = {h.XOffset, h.YOffset, h.ZOffset};
    const double others[6] = {h.MaxX, h.MinX, h.MaxY, h.MinY, h.MaxZ, h.MinZ};
    bool valid = true;
    for (int k = 0; k < 3; ++k)
        valid = valid && scales[k] != 0.0 && std::isfinite(scales[k]) && std::isfinite(offsets[k]) &&
                offsets[k] + scales[k] != offsets[k] && offsets[k] - scales[k] != offsets[k];
    for (double v : others) valid = valid && std::isfinite(v);
    return valid;
}

// The header's own size and where the point data begin. LAS 1.0 to 1.2
// files are read whatever HeaderSize says, as they always were.
bool sizes_consistent(const LASHeader& h) {
    if (h.OffsetToData < LASHeaderSize) return false;
    if (h.VersionMinor < 3) return true;
    const std::size_t own = header_size_of_version(h.VersionMinor);
    return h.HeaderSize >= own && h.OffsetToData >= h.HeaderSize;
}

// A LAS 1.4 file's 32-bit count, where set, must be its 64-bit count.
bool counts_agree(const LASHeader& h) {
    return h.VersionMinor < 4 || h.NumberOfPointReturns == 0 || h.NumberOfPointRecords == 0 ||
           h.NumberOfPointReturns == h.NumberOfPointRecords;
}

}  // namespace

HeaderCheck check_header(const LASHeader& h, uint64_t fileSize) {
    HeaderCheck c;
    if (!finite_numbers(h) || !sizes_consistent(h) || !counts_agree(h) || h.PointDataRecordLength == 0) {
        c.fault = HeaderFault::NotValid;
        return c;
    }
    const uint64_t count = point_count(h);
    // Counts up to 2^64 records of up to 65535 bytes: compare by division, free of overflow.
    const uint64_t room = fileSize > h.OffsetToData ? fileSize - h.OffsetToData : 0;
    if (count > room / h.PointDataRecordLength) {
        c.fault = HeaderFault::PointsBeyondFile;
        c.declared = count;
        c.holds = room / h.PointDataRecordLength;
        return c;
    }
    const uint64_t pointsEnd = point_data_end(h);
    if (h.VersionMinor >= 4 && h.NumberOfExtendedVariableLengthRecords > 0) {
        const uint64_t start = h.StartOfFirstExtendedVariableLengthRecord;
        const uint64_t headers = uint64_t{h.NumberOfExtendedVariableLengthRecords} * kEVLRHeaderSize;
        if (start < pointsEnd || start > fileSize || headers > fileSize - start) c.fault = HeaderFault::EVLRsBeyondFile;
    }
    if (c.fault == HeaderFault::None && h.VersionMinor >= 3 && h.StartOfWaveformDataPacketRecord != 0) {
        const uint64_t start = h.StartOfWaveformDataPacketRecord;
        if (start < pointsEnd || start > fileSize || fileSize - start < kEVLRHeaderSize)
            c.fault = HeaderFault::WaveformBeyondFile;
    }
    return c;
}

}  // namespace torvane
