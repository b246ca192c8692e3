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
// LAS layouts, versions 1.0 to 1.4. Packed, no padding: the record in memory
// is byte for byte the record in a file. A whole header is filled with the
// bytes of its version (header_from_bytes); single fields inside buffers of
// records are reached by byte copy with the load/store helpers below and the
// named accessors of the point formats, never through a cast pointer.
// ---------------------------------------------------------------------------
#pragma pack(push, 1)

// The public header block of every version: bytes 0 to 226 are common to
// 1.0 to 1.4; 1.3 adds the waveform start (235 bytes), 1.4 the extended
// variable-length records and the 64-bit point counts (375 bytes). Fields
// beyond a file's version are zero. In LAS 1.0, bytes 4 to 7 are reserved
// (they show here as FileSourceID and GlobalEncoding) and bytes 90 to 93 hold
// the flight date (Julian day) and year; in 1.1, bytes 6 and 7 are reserved.
struct LASHeader {
    char LASF[4];
    uint16_t FileSourceID;
    uint16_t GlobalEncoding;  // bit 0: adjusted standard GPS time; bit 1: internal waveform data
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
    uint32_t NumberOfPointReturns;       // legacy count; 0 in 1.4 files of formats 6 to 10
    uint32_t NumberOfPointsByReturn[5];  // legacy counts by return
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
    // LAS 1.3 and later
    uint64_t StartOfWaveformDataPacketRecord;
    // LAS 1.4
    uint64_t StartOfFirstExtendedVariableLengthRecord;
    uint32_t NumberOfExtendedVariableLengthRecords;
    uint64_t NumberOfPointRecords;
    uint64_t NumberOfPointsByReturn64[15];
};

#pragma pack(pop)

inline constexpr std::size_t LASHeaderSize = 227;    // LAS 1.0 to 1.2
inline constexpr std::size_t LAS13HeaderSize = 235;
inline constexpr std::size_t LAS14HeaderSize = 375;
inline constexpr std::size_t kMaxHeaderSize = LAS14HeaderSize;
inline constexpr std::size_t kEVLRHeaderSize = 60;   // the header of an extended variable-length record
static_assert(sizeof(LASHeader) == LAS14HeaderSize);
static_assert(offsetof(LASHeader, OffsetToData) == 96);
static_assert(offsetof(LASHeader, PointDataFormatID) == 104);
static_assert(offsetof(LASHeader, NumberOfPointReturns) == 107);
static_assert(offsetof(LASHeader, XScaleFactor) == 131);
static_assert(offsetof(LASHeader, MinZ) == 219);
static_assert(offsetof(LASHeader, StartOfWaveformDataPacketRecord) == 227);
static_assert(offsetof(LASHeader, StartOfFirstExtendedVariableLengthRecord) == 235);
static_assert(offsetof(LASHeader, NumberOfPointRecords) == 247);
static_assert(offsetof(LASHeader, NumberOfPointsByReturn64) == 255);

// The public header block's size in a file of LAS 1.<minor>.
constexpr std::size_t header_size_of_version(int minor) {
    return minor >= 4 ? LAS14HeaderSize : (minor == 3 ? LAS13HeaderSize : LASHeaderSize);
}
// The highest point data format that LAS 1.<minor> defines.
constexpr int max_format_of_version(int minor) { return minor >= 4 ? 10 : (minor == 3 ? 5 : (minor == 2 ? 3 : 1)); }

// A point data record format: its own record length (a record may be longer
// in LAS 1.3 and 1.4, which allow extra bytes after the format's fields) and
// where its fields lie. Every format begins with X, Y, Z (i32 at 0, 4, 8) and
// the intensity (u16 at 12). Formats 0 to 5 hold the return number in bits 0
// to 2 of byte 14 and the number of returns in bits 3 to 5, the scan angle
// rank as a signed byte at 16 (whole degrees); formats 6 to 10 hold them in
// the low and high four bits of byte 14, the scan angle as i16 at 18 in steps
// of 0.006 degrees.
struct PointFormat {
    uint8_t id;
    uint16_t length;
    bool hasGPSTime;
    uint8_t gpsTime;         // offset of the GPS time (a double), where hasGPSTime
    bool extended;           // formats 6 to 10
    uint8_t classification;  // offset of the classification byte
    uint8_t scanAngle;       // offset of the scan angle
    uint8_t pointSourceID;   // offset of the point source ID (u16)
    uint8_t wavePacket;      // offset of the 29-byte wave packet descriptor, 0 without one
};
inline constexpr PointFormat kPointFormats[11] = {
    {0, 20, false, 0, false, 15, 16, 18, 0},   {1, 28, true, 20, false, 15, 16, 18, 0},
    {2, 26, false, 0, false, 15, 16, 18, 0},   {3, 34, true, 20, false, 15, 16, 18, 0},
    {4, 57, true, 20, false, 15, 16, 18, 28},  {5, 63, true, 20, false, 15, 16, 18, 34},
    {6, 30, true, 22, true, 16, 18, 20, 0},    {7, 36, true, 22, true, 16, 18, 20, 0},
    {8, 38, true, 22, true, 16, 18, 20, 0},    {9, 59, true, 22, true, 16, 18, 20, 30},
    {10, 67, true, 22, true, 16, 18, 20, 38},
};
inline constexpr int kMaxPointFormat = 10;
// The format of a header's PointDataFormatID (at most kMaxPointFormat).
inline const PointFormat& point_format(int id) { return kPointFormats[id]; }

// Offsets within a point record that all formats share.
inline constexpr std::size_t withinRecordOffsetToX = 0;
inline constexpr std::size_t withinRecordOffsetToY = 4;
inline constexpr std::size_t withinRecordOffsetToZ = 8;
inline constexpr std::size_t withinRecordOffsetToIntensity = 12;
inline constexpr std::size_t withinRecordOffsetToReturns = 14;

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

// The header of the bytes of a file's start (n of them, at least 227): the
// fields of its version, every later field zero. header_size_of_version of
// its VersionMinor bytes belong to it; a shorter n leaves the rest zero.
LASHeader header_from_bytes(const void* bytes, std::size_t n);
// The same for a buffer that holds the whole header of its version.
inline LASHeader header_from_bytes(const void* bytes) { return header_from_bytes(bytes, kMaxHeaderSize); }
// Writes the header's fields of its version: header_size_of_version bytes.
void header_to_bytes(const LASHeader& h, void* bytes);
// The number of point records: the 64-bit count of a LAS 1.4 file where it
// is set, otherwise the legacy 32-bit one.
inline uint64_t point_count(const LASHeader& h) {
    return (h.VersionMinor >= 4 && h.NumberOfPointRecords != 0) ? h.NumberOfPointRecords : h.NumberOfPointReturns;
}

// The fields of a point record in a byte buffer, by byte copy.
inline int32_t record_X(const unsigned char* r) { return load<int32_t>(r + withinRecordOffsetToX); }
inline int32_t record_Y(const unsigned char* r) { return load<int32_t>(r + withinRecordOffsetToY); }
inline int32_t record_Z(const unsigned char* r) { return load<int32_t>(r + withinRecordOffsetToZ); }
inline uint16_t record_intensity(const unsigned char* r) { return load<uint16_t>(r + withinRecordOffsetToIntensity); }
inline void set_record_intensity(unsigned char* r, uint16_t v) { store<uint16_t>(r + withinRecordOffsetToIntensity, v); }
inline double record_gps_time(const unsigned char* r, const PointFormat& f) { return load<double>(r + f.gpsTime); }
inline int record_return_number(const unsigned char* r, const PointFormat& f) {
    return f.extended ? (r[withinRecordOffsetToReturns] & 15) : (r[withinRecordOffsetToReturns] & 7);
}
inline int record_number_of_returns(const unsigned char* r, const PointFormat& f) {
    return f.extended ? (r[withinRecordOffsetToReturns] >> 4) : ((r[withinRecordOffsetToReturns] >> 3) & 7);
}
inline uint8_t record_classification(const unsigned char* r, const PointFormat& f) { return r[f.classification]; }
inline uint16_t record_point_source_id(const unsigned char* r, const PointFormat& f) {
    return load<uint16_t>(r + f.pointSourceID);
}
// The scan angle in degrees.
inline double record_scan_angle(const unsigned char* r, const PointFormat& f) {
    return f.extended ? load<int16_t>(r + f.scanAngle) * 0.006 : static_cast<double>(static_cast<int8_t>(r[f.scanAngle]));
}

// A record's real coordinates: its integer times the scale factor plus the offset.
struct RealXYZ {
    double X, Y, Z;
};
inline RealXYZ decode_xyz(const unsigned char* r, const LASHeader& h) {
    return {record_X(r) * h.XScaleFactor + h.XOffset, record_Y(r) * h.YScaleFactor + h.YOffset,
            record_Z(r) * h.ZScaleFactor + h.ZOffset};
}

// What is wrong with a header for a file of a given size, as a value: the
// caller prints its own message. The header passed check_las (version,
// format, record length).
enum class HeaderFault {
    None,
    NotValid,           // a scale of 0 or not finite, an offset or extent not finite, a header size
                        // below its version's, point data that begin inside the header, or 32- and
                        // 64-bit counts that disagree
    PointsBeyondFile,   // the declared records do not fit in the file
    EVLRsBeyondFile,    // the extended variable-length records begin inside the point data or end beyond the file
    WaveformBeyondFile  // the waveform data packets begin inside the point data or beyond the file
};
struct HeaderCheck {
    HeaderFault fault = HeaderFault::None;
    uint64_t declared = 0;  // PointsBeyondFile: the records declared
    uint64_t holds = 0;     // PointsBeyondFile: the whole records the file holds
};
HeaderCheck check_header(const LASHeader& h, uint64_t fileSize);
// The end of the point records, from the start of the file.
inline uint64_t point_data_end(const LASHeader& h) {
    return h.OffsetToData + point_count(h) * h.PointDataRecordLength;
}

// ---------------------------------------------------------------------------
// Validation and file names
// ---------------------------------------------------------------------------
int16_t file_access(const std::string& filename);
int16_t check_file_extension(const std::string& filename, const std::string& extension);
void error_msg(int i, const std::string& text);
// The LAS type code of a file: 1 to 8 for the formats of LAS 1.0 to 1.2 (odd
// codes without GPS time), 0 for a LAS 1.0 or 1.1 file declaring format 2 or
// 3, kLAS13Type + format for LAS 1.3, kLAS14Type + format for LAS 1.4, -1
// (after a message) for a file that cannot be used. A name ending in .laz
// passes the name check, and a point format with bit 7 set (compressed
// records) is classified by its low six bits.
int16_t check_las(const std::string& filename);
inline constexpr int16_t kLAS13Type = 9;   // 9 to 14: LAS 1.3, formats 0 to 5
inline constexpr int16_t kLAS14Type = 15;  // 15 to 25: LAS 1.4, formats 0 to 10
// The point format of a type code from 1 to 25.
int las_type_format(int16_t LASType);
bool las_type_has_gps_time(int16_t LASType);
// Opens a regular file for binary reading; a name that is not a regular file
// (a directory, FIFO, device or socket) is refused without being opened, and
// no open blocks. nullptr when refused or when the file cannot be opened.
FilePtr open_regular_file(const std::string& filename);
void check_DEM(const std::string& str);

// ---------------------------------------------------------------------------
// Argument checks and banner
// ---------------------------------------------------------------------------
void check_numeric_argument(const char* str);
// The whole of text as a finite number into v; false for anything else
// (trailing characters, an empty text, inf, nan, out of range).
bool parse_finite_number(const char* text, double& v);
void credits();
// True for a command line that is "--help" alone: the program prints its usage and ends with status 0.
bool asks_for_help(int argc, char** argv);
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
// The defaults of a new header of LAS 1.0, 1.1, 1.2, 1.3 or 1.4: every field
// of the version set (HeaderSize and OffsetToData its header size); the
// fields beyond the version are left as they are.
void initialize_header10(LASHeader* ph);
void initialize_header11(LASHeader* ph);
void initialize_header12(LASHeader* ph);
void initialize_header13(LASHeader* ph);
void initialize_header14(LASHeader* ph);

}  // namespace torvane
