// Header statistics update and the defaults of new headers.
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "Torvane_LiDAR.h"

namespace torvane {

namespace {

// What update_header recomputes: the extremes of X, Y, Z in the records'
// integer units, the record count and the counts by return number.
struct HeaderStatistics {
    int32_t maxX = -2147483646, maxY = -2147483646, maxZ = -2147483646;
    int32_t minX = 2147483646, minY = 2147483646, minZ = 2147483646;
    uint32_t return_count = 0;
    uint32_t ReturnNumberCount[5] = {0, 0, 0, 0, 0};

    void add(const unsigned char* r) {
        const int32_t X = record_X(r), Y = record_Y(r), Z = record_Z(r);
        if (X > maxX) maxX = X;
        if (X < minX) minX = X;
        if (Y > maxY) maxY = Y;
        if (Y < minY) minY = Y;
        if (Z > maxZ) maxZ = Z;
        if (Z < minZ) minZ = Z;
        const int rn = record_return_number(r);
        if (rn >= 1 && rn <= 5) ++ReturnNumberCount[rn - 1];
        ++return_count;
    }
    void apply(LAS12Header& h) const {
        h.NumberOfPointReturns = return_count;
        for (int k = 0; k < 5; ++k) h.NumberOfPointsByReturn[k] = ReturnNumberCount[k];
        h.MaxX = static_cast<double>(maxX) * h.XScaleFactor + h.XOffset;
        h.MinX = static_cast<double>(minX) * h.XScaleFactor + h.XOffset;
        h.MaxY = static_cast<double>(maxY) * h.YScaleFactor + h.YOffset;
        h.MinY = static_cast<double>(minY) * h.YScaleFactor + h.YOffset;
        h.MaxZ = static_cast<double>(maxZ) * h.ZScaleFactor + h.ZOffset;
        h.MinZ = static_cast<double>(minZ) * h.ZScaleFactor + h.ZOffset;
    }
};

std::size_t record_length_of(int16_t LASType) {
    switch (LASType) {
        case 1: case 3: case 5: return sizeof(LAS12fm0);
        case 2: case 4: case 6: return sizeof(LAS12fm1);
        case 7: return sizeof(LAS12fm2);
        default: return sizeof(LAS12fm3);
    }
}

// Adds every complete record after OffsetToData, read in large blocks.
void scan_records(std::FILE* f, const LAS12Header& h, std::size_t recordLength, const std::string& filename,
                  HeaderStatistics& stats) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(filename, ec);
    const uint64_t records = (!ec && size > h.OffsetToData) ? (size - h.OffsetToData) / recordLength : 0;
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
        for (std::size_t k = 0; k < got; ++k) stats.add(block.data() + k * recordLength);
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
    unsigned char image[LASHeaderSize];
    if (std::fread(image, 1, LASHeaderSize, f) != LASHeaderSize)
        fail("\n%s is not a valid .las file\n\n", filename.c_str());
    LAS12Header h = header_from_bytes(image);

    HeaderStatistics stats;
    scan_records(f, h, record_length_of(LASType), filename, stats);
    stats.apply(h);
    std::memcpy(image, &h, LASHeaderSize);

    std::rewind(f);
    const bool written = std::fwrite(image, 1, LASHeaderSize, f) == LASHeaderSize;
    const bool closed = std::fclose(file.release()) == 0;
    if (!written || !closed) fail("\nCannot open binary file %s for header update\n\n", filename.c_str());
    std::printf("\rHeader of file %s has been updated    ", filename.c_str());
}

namespace {
// The fields common to the three versions; bytes 4-7 and 90-93 are zeroed by the callers.
template <class H>
void initialize_common(H* ph, uint8_t minor) {
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

void initialize_header10(LAS10Header* ph) {
    initialize_common(ph, 0);
    ph->Reserved = 0;
    ph->FlightDateJulian = 0;
    ph->Year = 0;
}

void initialize_header11(LAS11Header* ph) {
    initialize_common(ph, 1);
    ph->FileSourceID = 0;
    ph->Reserved = 0;
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}

void initialize_header12(LAS12Header* ph) {
    initialize_common(ph, 2);
    ph->FileSourceID = 0;
    ph->GlobalEncoding = 0;
    ph->FileCreationDay = 0;
    ph->FileCreationYear = 0;
}

}  // namespace torvane
