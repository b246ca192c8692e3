// The per-file table and the checks that every listed LAS file can be processed.
#include <cmath>
#include <filesystem>
#include <system_error>

#include "driver.h"

namespace quilvor {

using torvane::LAS12Header;
using torvane::LASHeaderSize;

void init_pairInfo(const std::vector<char*>& names) {
    try {
        _pairInfo.assign(_fileCount, pairStruct{});
    } catch (const std::bad_alloc&) {
        fail("\nFailed to allocate memory for return pair information structure\n");
    }
    for (uint16_t i = 0; i < _fileCount; ++i) {
        pairStruct& entry = _pairInfo[i];
        entry.meanRange = -1.0;
        entry.nPairs = 0;
        entry.LASName = names[i];
        if (entry.LASName.size() < 4) fail("\nFile name (%s) is too short\n", names[i]);
        entry.RAIName = "tmp_RAI_" + entry.LASName.substr(0, entry.LASName.size() - 4) + ".dat";
    }
}

namespace {

[[noreturn]] void refuse_gps(const char* name) {
    fail("File %s does not contain GPS information [required]\n", name);
}

// The checks that follow a type code that carries GPS time at byte 20.
void check_layout(const char* name) {
    unsigned char image[LASHeaderSize];
    std::size_t got = 0;
    {
        FilePtr f(std::fopen(name, "rb"));
        if (f) got = std::fread(image, 1, LASHeaderSize, f.get());
    }
    if (got < LASHeaderSize) fail("\n%s is not a valid .las file\n\n", name);
    const LAS12Header h = torvane::header_from_bytes(image);

    const double scales[3] = {h.XScaleFactor, h.YScaleFactor, h.ZScaleFactor};
    const double others[12] = {h.XOffset, h.YOffset, h.ZOffset, h.MaxX, h.MinX, h.MaxY,
                               h.MinY,    h.MaxZ,    h.MinZ,    0.0,    0.0,    0.0};
    bool valid = h.OffsetToData >= LASHeaderSize;
    for (double s : scales) valid = valid && s != 0.0 && std::isfinite(s);
    for (double v : others) valid = valid && std::isfinite(v);
    if (!valid) fail("\n%s is not a valid .las file\n\n", name);

    const uint64_t pointBytes = static_cast<uint64_t>(h.NumberOfPointReturns) * h.PointDataRecordLength;
    if (pointBytes > 2147483647u)
        fail("\nFile %s is too large: its point data exceed 2147483647 bytes\n", name);

    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(name, ec);
    if (ec || size < static_cast<uint64_t>(h.OffsetToData) + pointBytes) {
        uint64_t holds = 0;
        if (!ec && size > h.OffsetToData) holds = (size - h.OffsetToData) / h.PointDataRecordLength;
        fail("\nFile %s is truncated: its header declares %u points but it holds only %u\n", name,
             h.NumberOfPointReturns, static_cast<unsigned>(holds));
    }
}

}  // namespace

void check_las_4_GPSTime(const std::vector<char*>& names) {
    for (char* name : names) {
        const int16_t LASType = torvane::check_las(name);
        switch (LASType) {
            case -1: throw Failure("");  // check_las has printed why
            case 1: case 3: case 5: case 7: refuse_gps(name);
            case 2: case 4: case 6: case 8: break;
            case 0: {
                // LAS 1.0 or 1.1 declaring format 2 or 3: usable only as format 3 with
                // 34-byte records, which hold the GPS time at byte 20.
                unsigned char b[107] = {};
                {
                    FilePtr f(std::fopen(name, "rb"));
                    if (f && std::fread(b, 1, sizeof(b), f.get()) != sizeof(b)) b[104] = 0;
                }
                const int format = b[104];
                const uint16_t length = torvane::load<uint16_t>(b + 105);
                if (format != 3) refuse_gps(name);
                if (length != 34)
                    fail("\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n", name,
                         '0' + format, static_cast<int>(length));
                break;
            }
            default: throw Failure("");
        }
        check_layout(name);
    }
}

std::string normalizedName(const std::string& LASName) {
    return LASName.substr(0, LASName.size() - 4) + "_NormI.las";
}

void check_outputs_against_inputs() {
    for (const pairStruct& out : _pairInfo) {
        const std::string outName = normalizedName(out.LASName);
        std::error_code ec;
        if (!std::filesystem::exists(outName, ec)) continue;
        for (const pairStruct& in : _pairInfo) {
            std::error_code ec2;
            if (std::filesystem::equivalent(outName, in.LASName, ec2))
                fail("\nOutput file %s would overwrite input file %s\n", outName.c_str(), in.LASName.c_str());
        }
    }
}

}  // namespace quilvor
