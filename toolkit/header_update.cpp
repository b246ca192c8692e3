// Header statistics update and the defaults of new headers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "Torvane_LiDAR.h"

namespace torvane {

namespace {

// What update_header recomputes: the extremes of X, Y, Z in the records'
// integer units, the record count and the counts by return number (1 to 15;
// the legacy fields hold the first five).
struct HeaderStatistics {
    int32_t maxX = -2147483646, maxY = -2147483646, maxZ = -2147483646;
    int32_t minX = 2147483646, minY = 2147483646, minZ = 2147483646;
    uint64_t return_count = 0;
    uint64_t ReturnNumberCount[15] = {};

    void add(const unsigned char* r, const PointFormat& format) {
        const int32_t X = record_X(r), Y = record_Y(r), Z = record_Z(r);
        if (X > maxX) maxX = X;
        if (X < minX) minX = X;
        if (Y > maxY) maxY = Y;
        if (Y < minY) minY = Y;
        if (Z > maxZ) maxZ = Z;
        if (Z < minZ) minZ = Z;
        const int rn = record_return_number(r, format);
        if (rn >= 1) ++ReturnNumberCount[rn - 1];
        ++return_count;
    }
    // The legacy counts: always before LAS 1.4; in a 1.4 file only where it used them.
    void apply(LASHeader& h) const {
        const bool legacy = h.VersionMinor < 4 || (h.NumberOfPointReturns != 0 && return_count <= UINT32_MAX);
        if (h.VersionMinor >= 4) {
            h.NumberOfPointRecords = return_count;
            for (int k = 0; k < 15; ++k) h.NumberOfPointsByReturn64[k] = ReturnNumberCount[k];
        }
        if (legacy) {
            h.NumberOfPointReturns = static_cast<uint32_t>(return_count);
            for (int k = 0; k < 5; ++k) h.NumberOfPointsByReturn[k] = static_cast<uint32_t>(ReturnNumberCount[k]);
        }
        h.MaxX = static_cast<double>(maxX) * h.XScaleFactor + h.XOffset;
        h.MinX = static_cast<double>(minX) * h.XScaleFactor + h.XOffset;
        h.MaxY = static_cast<double>(maxY) * h.YScaleFactor + h.YOffset;
        h.MinY = static_cast<double>(minY) * h.YScaleFactor + h.YOffset;
        h.MaxZ = static_cast<double>(maxZ) * h.ZScaleFactor + h.ZOffset;
        h.MinZ = static_cast<double>(minZ) * h.ZScaleFactor + h.ZOffset;
    }
};

// Where the records end: the file's end, or in LAS 1.3 and 1.4 the waveform
// data or extended variable-length records that follow them.
uint64_t records_end(const LASHeader& h, uint64_t size) {
    // Copies of the packed fields: std::min takes references.
    const uint64_t waveform = h.StartOfWaveformDataPacketRecord, evlrs = h.StartOfFirstExtendedVariableLengthRecord;
    uint64_t end = size;
    if (h.VersionMinor >= 3 && waveform > h.OffsetToData) end = std::min(end, waveform);
    if (h.VersionMinor >= 4 && h.NumberOfExtendedVariableLengthRecords > 0 && evlrs > h.OffsetToData)
        end = std::min(end, evlrs);
    return end;
}

// Adds every complete record after OffsetToData, read in large blocks.
void scan_records(std::FILE* f, const LASHeader& h, const PointFormat& format, std::size_t recordLength,
                  const std::string& filename, HeaderStatistics& stats) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(filename, ec);
    const uint64_t end = ec ? 0 : records_end(h, size);
    const uint64_t records = end > h.OffsetToData ? (end - h.OffsetToData) / recordLength : 0;
    if (records == 0) return;
    if (std::fseek(f, static_cast<long>(h.OffsetToData), SEEK_SET) != 0)
        fail("\nCannot open binary file %s for header update\n\n", filename.c_str());
    const uint64_t perBlock = (1u << 20) / recordLength;
    std::vector<unsigned char> block;
    try {
        block.resize(perBlock * recordLength);
    } catch (const std::bad_alloc&) {
        fail("\nCannot allocate memory for storing a record of information from %s\n", filename.c_str());
    }
    for (uint64_t left = records; left > 0;) {
        const uint64_t want = left < perBlock ? left : perBlock;
        const std::size_t got = std::fread(block.data(), recordLength, want, f);
        for (std::size_t k = 0; k < got; ++k) stats.add(block.data() + k * recordLength, format);
        if (got < want) break;
        left -= want;
    }
}

}  // namespace

void update_header(const std::string& filename) {
    const int16_t LASType = check_las(filename);
    if (LASType == -1) std::exit(-1);
    if (LASType == 0)
        fail("\nCannot update header of %s: its point data format is not defined for its LAS version\n",
             filename.c_str());

    FilePtr file(std::fopen(filename.c_str(), "r+b"));
    if (!file) fail("\nCannot open binary file %s for header update\n\n", filename.c_str());
    std::FILE* f = file.get();
    unsigned char image[kMaxHeaderSize] = {};
    const std::size_t got = std::fread(image, 1, kMaxHeaderSize, f);
    const std::size_t own = header_size_of_version(image[offsetof(LASHeader, VersionMinor)]);
    if (got < own) fail("\n%s is not a valid .las file\n\n", filename.c_str());
    LASHeader h = header_from_bytes(image, got);

    // LAS 1.0 to 1.2 records are read at their format's length, later ones at the header's.
    const PointFormat& format = kPointFormats[las_type_format(LASType)];
    const std::size_t recordLength = h.VersionMinor < 3 ? std::size_t{format.length} : std::size_t{h.PointDataRecordLength};
    HeaderStatistics stats;
    scan_records(f, h, format, recordLength, filename, stats);
    stats.apply(h);
    header_to_bytes(h, image);

    std::rewind(f);
    const bool written = std::fwrite(image, 1, own, f) == own;
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) fail("\nCannot open binary file %s for header update\n\n", filename.c_str());
    std::printf("\rHeader of file %s has been updated    ", filename.c_str());
}

namespace {
// The fields common to every version; bytes 4-7 and 90-93 are zeroed by the callers.
void initialize_common(LASHeader* ph, uint8_t minor) {
    std::memcpy(ph->LASF, "LASF", 4);
    ph->GUIDData1 = 0;
    ph->GUIDData2 = 0;
    ph->GUIDData3 = 0;
    ph->GUIDData4[0] = 0;
    ph->VersionMajor = 1;
    ph->VersionMinor = minor;
    ph->SystemIdentifier[0] = '\0';
    static constexpr char software[] = "Torvane LiDAR Utilities";
    static_assert(sizeof(software) == 24);
    std::memcpy(ph->GeneratingSoftware, software, sizeof(software));
    ph->HeaderSize = 227;
    ph->OffsetToData = 227;
    ph->NumberOfVariableLengthRecords = 0;
    ph->PointDataFormatID = 0;
    ph->PointDataRecordLength = 0;
    ph->NumberOfPointReturns = 0;
    for (int k = 0; k < 5; ++k) ph->NumberOfPointsByReturn[k] = 0;
    ph->XScaleFactor = 1.0;
    ph->YScaleFactor = 1.0;
    ph->ZScaleFactor = 1.0;
    ph->XOffset = 0.0;
    ph->YOffset = 0.0;
    ph->ZOffset = 0.0;
    ph->MaxX = 0.0;
    ph->MinX = 0.0;
    ph->MaxY = 0.0;
    ph->MinY = 0.0;
    ph->MaxZ = 0.0;
    ph->MinZ = 0.0;
}
}  // namespace

void initialize_header10(LASHeader* ph) {
    initialize_common(ph, 0);
    ph->FileSourceID = 0;  // with GlobalEncoding, the four reserved bytes of LAS 1.0
    ph->GlobalEncoding = 0;
    ph->FileCreationDay = 0;  // the flight date and year of LAS 1.0
    ph->FileCreationYear = 0;
}

void initialize_header11(LASHeader* ph) {
    initialize_common(ph, 1);
    ph->FileSourceID = 0;
    ph->GlobalEncoding = 0;  // reserved in LAS 1.1
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}

void initialize_header12(LASHeader* ph) {
    initialize_common(ph, 2);
    ph->FileSourceID = 0;
    ph->GlobalEncoding = 0;
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}

void initialize_header13(LASHeader* ph) {
    initialize_header12(ph);
    ph->VersionMinor = 3;
    ph->HeaderSize = ph->OffsetToData = LAS13HeaderSize;
    ph->StartOfWaveformDataPacketRecord = 0;
}

void initialize_header14(LASHeader* ph) {
    initialize_header13(ph);
    ph->VersionMinor = 4;
    ph->HeaderSize = ph->OffsetToData = LAS14HeaderSize;
    ph->StartOfFirstExtendedVariableLengthRecord = 0;
    ph->NumberOfExtendedVariableLengthRecords = 0;
    ph->NumberOfPointRecords = 0;
    for (int k = 0; k < 15; ++k) ph->NumberOfPointsByReturn64[k] = 0;
}

}  // namespace torvane
