#include "las_builder.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testutil {

const char* const kBanner =
    "\nTorvane LiDAR Utilities"
    "\n\nDeveloped and maintained by the Torvane LiDAR Utilities maintainers"
    "\nTorvane LiDAR Utilities project"
    "\nAddress: see the project documentation"
    "\n\n** No warranty regarding script behavior is given or implied **"
    "\n** Acknowledging the author's efforts ensures script updates and availability **\n";

namespace {

// A record of the builder's point in the shape's format: the bit field given
// in the layout of formats 0 to 5 is carried into that of formats 6 to 10.
void put_point(unsigned char* r, const Point& p, const torvane::PointFormat& f, uint16_t len) {
    torvane::store(r, p.X);
    torvane::store(r + 4, p.Y);
    torvane::store(r + 8, p.Z);
    torvane::store(r + 12, p.Intensity);
    if (f.extended) {
        r[14] = static_cast<uint8_t>((p.bitfield & 7) | (((p.bitfield >> 3) & 7) << 4));
        r[15] = static_cast<uint8_t>(p.bitfield & 0xC0);  // scan direction and edge
    } else {
        r[14] = p.bitfield;
    }
    torvane::store(r + f.pointSourceID, p.PointSourceID);
    if (f.hasGPSTime && len >= f.gpsTime + 8) torvane::store(r + f.gpsTime, p.GPSTime);
}

}  // namespace

std::vector<unsigned char> make_las(const LasShape& shape, const std::vector<Point>& points) {
    const torvane::PointFormat& f = torvane::point_format(shape.format);
    const uint16_t len = shape.recordLength ? shape.recordLength : f.length;
    const std::size_t headerSize = torvane::header_size_of_version(shape.versionMinor);
    torvane::LASHeader h;
    std::memset(&h, 0, sizeof(h));
    torvane::initialize_header12(&h);
    h.VersionMinor = static_cast<uint8_t>(shape.versionMinor);
    h.HeaderSize = static_cast<uint16_t>(headerSize);
    h.PointDataFormatID = static_cast<uint8_t>(shape.format);
    h.PointDataRecordLength = len;
    h.OffsetToData = static_cast<uint32_t>(headerSize + shape.preamble.size());
    const uint64_t declared =
        shape.declaredPoints >= 0 ? static_cast<uint64_t>(shape.declaredPoints) : static_cast<uint64_t>(points.size());
    if (shape.versionMinor < 4 || (shape.legacyCounts && shape.format < 6)) h.NumberOfPointReturns = static_cast<uint32_t>(declared);
    if (shape.versionMinor >= 4) h.NumberOfPointRecords = declared;
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = shape.scale;
    h.XOffset = shape.offset[0];
    h.YOffset = shape.offset[1];
    h.ZOffset = shape.offset[2];
    if (shape.autoExtent && !points.empty()) {
        int32_t lo[3] = {points[0].X, points[0].Y, points[0].Z}, hi[3] = {lo[0], lo[1], lo[2]};
        for (const Point& p : points) {
            const int32_t v[3] = {p.X, p.Y, p.Z};
            for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], v[a]), hi[a] = std::max(hi[a], v[a]);
        }
        h.MinX = lo[0] * shape.scale + shape.offset[0];
        h.MaxX = hi[0] * shape.scale + shape.offset[0];
        h.MinY = lo[1] * shape.scale + shape.offset[1];
        h.MaxY = hi[1] * shape.scale + shape.offset[1];
        h.MinZ = lo[2] * shape.scale + shape.offset[2];
        h.MaxZ = hi[2] * shape.scale + shape.offset[2];
    } else {
        h.MinX = shape.minX, h.MaxX = shape.maxX, h.MinY = shape.minY;
        h.MaxY = shape.maxY, h.MinZ = shape.minZ, h.MaxZ = shape.maxZ;
    }
    std::vector<unsigned char> bytes(h.OffsetToData + points.size() * len + shape.tail.size(), 0);
    torvane::header_to_bytes(h, bytes.data());
    std::copy(shape.preamble.begin(), shape.preamble.end(), bytes.begin() + static_cast<std::ptrdiff_t>(headerSize));
    unsigned char* r = bytes.data() + h.OffsetToData;
    for (const Point& p : points) {
        put_point(r, p, f, len);
        r += len;
    }
    std::copy(shape.tail.begin(), shape.tail.end(), bytes.end() - static_cast<std::ptrdiff_t>(shape.tail.size()));
    return bytes;
}

void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

std::vector<unsigned char> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quilvor_test_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
}
TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

namespace {
std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}
}  // namespace

RunResult run_in(const std::string& dir, const std::string& program, const std::vector<std::string>& args) {
    std::string cmd = "cd " + quote(dir) + " && exec " + quote(program);
    for (const std::string& a : args) cmd += " " + quote(a);
    cmd += " 2>/dev/null";
    RunResult r;
    std::FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, got);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

RunResult run_tool(const std::string& dir, const std::vector<std::string>& args) {
    return run_in(dir, QUILVOR_BIN, args);
}

std::string lasdata(const std::string& name) { return std::string(LASDATA_DIR) + "/" + name; }
std::vector<unsigned char> sample_survey(const std::string& sample, const std::string& dir, const std::string& copy) {
    const std::vector<unsigned char> b = read_file(lasdata(sample));
    const torvane::LASHeader h = torvane::header_from_bytes(b.data());
    double tMin = 1e300, tMax = -1e300;
    const torvane::PointFormat& f = torvane::point_format(h.PointDataFormatID);
    for (uint64_t k = 0; k < torvane::point_count(h); ++k) {
        const double t = torvane::record_gps_time(b.data() + h.OffsetToData + k * h.PointDataRecordLength, f);
        tMin = std::min(tMin, t), tMax = std::max(tMax, t);
    }
    std::filesystem::copy_file(lasdata(sample), dir + "/" + copy);
    write_text(dir + "/list.txt", copy + "\n");
    char traj[256];
    std::snprintf(traj, sizeof(traj), "%.3f %.3f %.3f %.6f\n%.3f %.3f %.3f %.6f\n", h.MinX, h.MinY, h.MaxZ + 500,
                  tMin - 1, h.MaxX, h.MaxY, h.MaxZ + 600, tMax + 1);
    write_text(dir + "/traj.txt", traj);
    return b;
}

bool have_lasdata() { return std::filesystem::exists(lasdata("simple.las")); }

}  // namespace testutil
