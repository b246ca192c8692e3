// LAS file validation and file-name checks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Torvane_LiDAR.h"

namespace torvane {

namespace {
// Bytes 0 to 106 of the header hold everything check_las looks at.
constexpr std::size_t classifyBytes = 107;

// LAS 1.0 to 1.2: formats 0 to 3, each record exactly its format's length.
int16_t classify_legacy(const std::string& filename, int minor, int format, uint16_t length) {
    if (format > 3) {
        std::printf("\nPointDataFormatID in %s is %c. Only 0, 1, 2, or 3 is accepted\n", filename.c_str(),
                    '0' + format);
        return -1;
    }
    static constexpr int16_t codes[3][4] = {{1, 2, 0, 0}, {3, 4, 0, 0}, {5, 6, 7, 8}};
    const int16_t code = codes[minor][format];
    if (code != 0 && length != kPointFormats[format].length) {
        std::printf("\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n",
                    filename.c_str(), '0' + format, static_cast<int>(length));
        return -1;
    }
    return code;
}

// LAS 1.3 (formats 0 to 5) and 1.4 (0 to 10): a record holds at least its
// format's fields, and may carry extra bytes after them.
int16_t classify_13_14(const std::string& filename, int minor, int format, uint16_t length) {
    const int highest = max_format_of_version(minor);
    if (format > highest) {
        std::printf("\nPointDataFormatID in %s is %d. Only 0 to %d are accepted in LAS 1.%d\n", filename.c_str(),
                    format, highest, minor);
        return -1;
    }
    if (length < kPointFormats[format].length) {
        std::printf("\nData format of %s (%d) is incompatible with Length of Data Record (%d)\n", filename.c_str(),
                    format, static_cast<int>(length));
        return -1;
    }
    return static_cast<int16_t>((minor == 3 ? kLAS13Type : kLAS14Type) + format);
}
}  // namespace

namespace {
bool is_regular_or_directory(const std::string& filename) {
    struct stat st;
    return ::stat(filename.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode));
}
}  // namespace

int16_t file_access(const std::string& filename) {
    bool readable;
    if (is_regular_or_directory(filename)) {
        std::FILE* f = std::fopen(filename.c_str(), "r");
        readable = f != nullptr;
        if (f != nullptr) std::fclose(f);
    } else {
        // A FIFO, device or socket is never opened here: opening one can block.
        readable = ::access(filename.c_str(), R_OK) == 0;
    }
    if (!readable) {
        std::printf("Unable to open file %s in file_access()\n", filename.c_str());
        return -1;
    }
    return 0;
}

FilePtr open_regular_file(const std::string& filename) {
    struct stat st;
    if (::stat(filename.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    // Non-blocking, in case the name is replaced by a FIFO after the check.
    const int fd = ::open(filename.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr) ::close(fd);
    return FilePtr(f);
}

int16_t check_file_extension(const std::string& filename, const std::string& extension) {
    const std::size_t n = filename.size();
    if (n <= 4) {
        std::printf("\nFile name (%s) is too short\n", filename.c_str());
        return -1;
    }
    if (filename[n - 4] != '.') {
        std::printf("\nExtension of file %s should be preceeded by a dot (.)\n", filename.c_str());
        return -1;
    }
    if (filename.compare(n - 3, 3, extension) != 0) {
        std::printf("\nFile extension of %s is not .%s\n", filename.c_str(), extension.c_str());
        return -1;
    }
    return 0;
}

void error_msg(int i, const std::string& text) {
    switch (i) {
        case 1: std::printf("\nFile %s does NOT exist\n", text.c_str()); break;
        case 2: std::printf("\nFile %s already exists\n", text.c_str()); break;
        case 3: std::printf("\nSame file name (%s) has been specified twice\n", text.c_str()); break;
        default: break;
    }
}

int16_t check_las(const std::string& filename) {
    if (file_access(filename) == -1) {
        error_msg(1, filename);
        return -1;
    }
    // Compressed (LAZ) files are read as well: their point records are plain LAS records once decoded.
    const bool laz = filename.size() > 4 && filename.compare(filename.size() - 4, 4, ".laz") == 0;
    if (!laz && check_file_extension(filename, "las") == -1) {
        std::fprintf(stderr, "Listed files must be LAS files, named .las, or compressed LAS (LAZ) files, named .laz\n");
        return -1;
    }

    unsigned char b[classifyBytes];
    std::size_t got = 0;
    {
        FilePtr f = open_regular_file(filename);
        if (f) got = std::fread(b, 1, classifyBytes, f.get());
    }
    if (got < classifyBytes || std::memcmp(b, "LASF", 4) != 0) {
        std::printf("\n%s is not a valid .las file\n\n", filename.c_str());
        return -1;
    }
    const int major = b[offsetof(LASHeader, VersionMajor)];
    const int minor = b[offsetof(LASHeader, VersionMinor)];
    if (major != 1) {
        std::printf("\nCannot handle las files of version %c.x\n", '0' + major);
        return -1;
    }
    if (minor > 4) {
        std::printf("\nCannot handle las files of version %c.%c\n", '0' + major, '0' + minor);
        return -1;
    }
    int format = b[offsetof(LASHeader, PointDataFormatID)];
    // Bit 7 marks compressed point records (bit 6 goes with it): the format is in the bits below.
    if ((format & 0x80) != 0) format &= 0x3F;
    const uint16_t length = load<uint16_t>(b + offsetof(LASHeader, PointDataRecordLength));
    return minor <= 2 ? classify_legacy(filename, minor, format, length) : classify_13_14(filename, minor, format, length);
}

int las_type_format(int16_t LASType) {
    if (LASType >= kLAS14Type) return LASType - kLAS14Type;
    if (LASType >= kLAS13Type) return LASType - kLAS13Type;
    static constexpr int formats[9] = {-1, 0, 1, 0, 1, 0, 1, 2, 3};
    return LASType >= 1 && LASType <= 8 ? formats[LASType] : -1;
}

bool las_type_has_gps_time(int16_t LASType) {
    const int format = las_type_format(LASType);
    return format >= 0 && kPointFormats[format].hasGPSTime;
}

void check_DEM(const std::string& str) {
    if (check_file_extension(str, "asc") == -1 && check_file_extension(str, "flt") == -1) {
        std::printf("\nDEM file extension should be either '.asc' (ASCII) or '.flt' (floating point binary)\n");
        std::exit(-1);
    }
    if (check_file_extension(str, "flt") == -1) return;  // an ASCII DEM
    const std::string FileCore = str.substr(0, str.size() - 4);
    const std::string filename = FileCore + ".hdr";
    if (file_access(filename) == -1) {
        std::printf("\nFloating point binary DEM files also require a ASCII header file ('.hdr')\n");
        std::exit(-1);
    }
}

}  // namespace torvane
