// Torvane LiDAR Utilities: the shared toolkit of the suite.
//
// Byte-exact LAS 1.0 - 1.2 layouts, file validation, argument checks, the
// console banner, the index-carrying quicksorts and the header statistics
// update. Everything lives in namespace torvane.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

static_assert(std::endian::native == std::endian::little,
              "LAS files are little-endian; this build assumes a little-endian host");

namespace torvane {

// ---------------------------------------------------------------------------
// LAS layouts. Packed, no padding: the record in memory is byte for byte the
// record in a file. A whole record is filled with memcpy from a byte buffer;
// single fields inside buffers of records are reached by byte copy with the
// load/store helpers below, never through a cast pointer.
// ---------------------------------------------------------------------------
#pragma pack(push, 1)

struct LAS10Header {
    char LASF[4];
    uint32_t Reserved;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FlightDateJulian;
    uint16_t Year;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
};

struct LAS11Header {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t Reserved;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
};

struct LAS12Header {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t GlobalEncoding;
    uint32_t GUIDData1;
    uint16_t GUIDData2;
    uint16_t GUIDData3;
    uint8_t GUIDData4[8];
    uint8_t VersionMajor;
    uint8_t VersionMinor;
    char SystemIdentifier[32];
    char GeneratingSoftware[32];
    uint16_t FileCreationDay;
    uint16_t FileCreationYear;
    uint16_t HeaderSize;
    uint32_t OffsetToData;
    uint32_t NumberOfVariableLengthRecords;
    uint8_t PointDataFormatID;
    uint16_t PointDataRecordLength;
    uint32_t NumberOfPointReturns;
    uint32_t NumberOfPointsByReturn[5];
    double XScaleFactor;
    double YScaleFactor;
    double ZScaleFactor;
    double XOffset;
    double YOffset;
    double ZOffset;
    double MaxX;
    double MinX;
    double MaxY;
    double MinY;
    double MaxZ;
    double MinZ;
};

struct LAS12fm0 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    uint8_t bitfield;  // bits 0-2 return number, 3-5 number of returns, 6 scan direction, 7 edge
    uint8_t Classification;
    int8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
};

struct LAS12fm1 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    uint8_t bitfield;
    uint8_t Classification;
    int8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
    double GPSTime;
};

struct LAS12fm2 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    uint8_t bitfield;
    uint8_t Classification;
    int8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
};

struct LAS12fm3 {
    int32_t X;
    int32_t Y;
    int32_t Z;
    uint16_t Intensity;
    uint8_t bitfield;
    uint8_t Classification;
    int8_t ScanAngleRank;
    uint8_t UserData;
    uint16_t PointSourceID;
    double GPSTime;
    uint16_t Red;
    uint16_t Green;
    uint16_t Blue;
};

#pragma pack(pop)

inline constexpr std::size_t LASHeaderSize = 227;
static_assert(sizeof(LAS10Header) == LASHeaderSize);
static_assert(sizeof(LAS11Header) == LASHeaderSize);
static_assert(sizeof(LAS12Header) == LASHeaderSize);
static_assert(sizeof(LAS12fm0) == 20);
static_assert(sizeof(LAS12fm1) == 28);
static_assert(sizeof(LAS12fm2) == 26);
static_assert(sizeof(LAS12fm3) == 34);
static_assert(offsetof(LAS12Header, OffsetToData) == 96);
static_assert(offsetof(LAS12Header, PointDataFormatID) == 104);
static_assert(offsetof(LAS12Header, NumberOfPointReturns) == 107);
static_assert(offsetof(LAS12Header, XScaleFactor) == 131);
static_assert(offsetof(LAS12Header, MinZ) == 219);
static_assert(offsetof(LAS12fm3, GPSTime) == 20);
static_assert(offsetof(LAS12fm3, Red) == 28);

// Offsets within a point record: the 20 bytes common to all formats, and the
// GPS time of every record that the tool processes (formats 1 and 3).
inline constexpr std::size_t withinRecordOffsetToX = offsetof(LAS12fm1, X);
inline constexpr std::size_t withinRecordOffsetToY = offsetof(LAS12fm1, Y);
inline constexpr std::size_t withinRecordOffsetToZ = offsetof(LAS12fm1, Z);
inline constexpr std::size_t withinRecordOffsetToIntensity = offsetof(LAS12fm1, Intensity);
inline constexpr std::size_t withinRecordOffsetToBitfield = offsetof(LAS12fm1, bitfield);
inline constexpr std::size_t withinRecordOffsetToGPSTime = offsetof(LAS12fm1, GPSTime);
static_assert(withinRecordOffsetToIntensity == 12 && withinRecordOffsetToGPSTime == 20);

// Owns a C stream and closes it when it goes out of scope.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Byte-copy access to a field at any address.
template <class T>
inline T load(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}
template <class T>
inline void store(void* p, T v) {
    std::memcpy(p, &v, sizeof(T));
}

// Header image <-> record (227 bytes each way).
inline LAS12Header header_from_bytes(const void* bytes) { return load<LAS12Header>(bytes); }

// The fields of a point record in a byte buffer, by byte copy.
inline int32_t record_X(const unsigned char* r) { return load<int32_t>(r + withinRecordOffsetToX); }
inline int32_t record_Y(const unsigned char* r) { return load<int32_t>(r + withinRecordOffsetToY); }
inline int32_t record_Z(const unsigned char* r) { return load<int32_t>(r + withinRecordOffsetToZ); }
inline uint16_t record_intensity(const unsigned char* r) { return load<uint16_t>(r + withinRecordOffsetToIntensity); }
inline double record_gps_time(const unsigned char* r) { return load<double>(r + withinRecordOffsetToGPSTime); }
// The return number: bits 0 to 2 of the bit field.
inline int record_return_number(const unsigned char* r) { return r[withinRecordOffsetToBitfield] & 7; }

// A record's real coordinates: its integer times the scale factor plus the offset.
struct RealXYZ {
    double X, Y, Z;
};
inline RealXYZ decode_xyz(const unsigned char* r, const LAS12Header& h) {
    return {record_X(r) * h.XScaleFactor + h.XOffset, record_Y(r) * h.YScaleFactor + h.YOffset,
            record_Z(r) * h.ZScaleFactor + h.ZOffset};
}

// ---------------------------------------------------------------------------
// Validation and file names
// ---------------------------------------------------------------------------
int16_t file_access(const std::string& filename);
int16_t check_file_extension(const std::string& filename, const std::string& extension);
void error_msg(int i, const std::string& text);
int16_t check_las(const std::string& filename);
// Opens a regular file for binary reading; a name that is not a regular file
// (a directory, FIFO, device or socket) is refused without being opened, and
// no open blocks. nullptr when refused or when the file cannot be opened.
FilePtr open_regular_file(const std::string& filename);
void check_DEM(const std::string& str);

// ---------------------------------------------------------------------------
// Argument checks and banner
// ---------------------------------------------------------------------------
void check_numeric_argument(const char* str);
void credits();
int16_t check_YN(const char* text);

// Prints the formatted message on standard output and ends the process
// with exit status -1.
[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// Index-carrying quicksorts: every exchange of two keys is applied to p_ind.
// ---------------------------------------------------------------------------
void l_quicksort(int32_t* p, int32_t count, int32_t* p_ind);
void d_quicksort(double* p, int32_t count, int32_t* p_ind);
void l_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind);
void d_qs(double* p, int32_t left, int32_t right, int32_t* p_ind);
void l_parallel_quicksort(int32_t* p, int32_t count, int32_t* p_ind);
void d_parallel_quicksort(double* p, int32_t count, int32_t* p_ind);
void l_parallel_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep);
void d_parallel_qs(double* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep);

// ---------------------------------------------------------------------------
// Header statistics update and new-header defaults
// ---------------------------------------------------------------------------
void update_header(const std::string& filename);
void initialize_header10(LAS10Header* ph);
void initialize_header11(LAS11Header* ph);
void initialize_header12(LAS12Header* ph);

}  // namespace torvane
