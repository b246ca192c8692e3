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

std::vector<unsigned char> make_las(const LasShape& shape, const std::vector<Point>& points) {
    static const uint16_t lengths[4] = {20, 28, 26, 34};
    const uint16_t len = shape.recordLength ? shape.recordLength : lengths[shape.format];
    torvane::LAS12Header h;
    std::memset(&h, 0, sizeof(h));
    torvane::initialize_header12(&h);
    h.VersionMinor = static_cast<uint8_t>(shape.versionMinor);
    h.PointDataFormatID = static_cast<uint8_t>(shape.format);
    h.PointDataRecordLength = len;
    h.OffsetToData = static_cast<uint32_t>(227 + shape.preamble.size());
    h.NumberOfPointReturns =
        shape.declaredPoints >= 0 ? static_cast<uint32_t>(shape.declaredPoints) : static_cast<uint32_t>(points.size());
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
    std::vector<unsigned char> bytes(sizeof(h) + shape.preamble.size() + points.size() * len, 0);
    std::memcpy(bytes.data(), &h, sizeof(h));
    if (!shape.preamble.empty()) std::memcpy(bytes.data() + sizeof(h), shape.preamble.data(), shape.preamble.size());
    unsigned char* r = bytes.data() + sizeof(h) + shape.preamble.size();
    for (const Point& p : points) {
        torvane::store(r, p.X);
        torvane::store(r + 4, p.Y);
        torvane::store(r + 8, p.Z);
        torvane::store(r + 12, p.Intensity);
        r[14] = p.bitfield;
        torvane::store(r + 18, p.PointSourceID);
        if (len >= 28) torvane::store(r + 20, p.GPSTime);
        r += len;
    }
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
    const torvane::LAS12Header h = torvane::header_from_bytes(b.data());
    double tMin = 1e300, tMax = -1e300;
    for (uint32_t k = 0; k < h.NumberOfPointReturns; ++k) {
        const double t = torvane::load<double>(b.data() + h.OffsetToData + k * h.PointDataRecordLength + 20);
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
