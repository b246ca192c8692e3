// The survey model and the writer of its files.
#include "sim_survey.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>

#include "Torvane_LiDAR.h"
#include "las_records.h"
#include "laz_codec.h"

namespace simsurvey {

namespace {

constexpr double kMeanTerrain = 50.0;
constexpr double kMargin = 100.0;   // run-in and run-out of each line beyond the area, metres
constexpr double kLead = 10.0;      // trajectory before the first and after the last line, seconds
constexpr double kPi = 3.14159265358979323846;
constexpr double kClimb = 0.1;      // slow climb along every line, m/s
constexpr double kRollPeriod = 12.7;  // seconds of one roll to the left and back
constexpr double kHeavePeriod = 17.3; // seconds of one heave up and down
constexpr double kGravity = 9.81;

// Counter-based random numbers: a return's noise depends only on the seed and
// on which pulse it belongs to, never on the order in which tiles are made.
uint64_t mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}
double uniform(uint64_t seed, uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    const uint64_t h = mix(mix(mix(mix(mix(seed) ^ a) ^ b) ^ c) ^ d);
    return (static_cast<double>(h >> 11) + 0.5) * (1.0 / 9007199254740992.0);
}
double gaussian(uint64_t seed, uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    const double u1 = uniform(seed, a, b, c, d * 2 + 0);
    const double u2 = uniform(seed, a, b, c, d * 2 + 1);
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

double pulse_spacing(const Options& o) { return 1.0 / std::sqrt(o.density); }
int pulses_across(const Options& o) { return std::max(1, static_cast<int>(swath_width(o) / pulse_spacing(o))); }
double scan_period(const Options& o) { return pulse_spacing(o) / o.speed; }
int direction(int line) { return line % 2 == 0 ? 1 : -1; }
double line_start_x(const Options& o, int line) { return direction(line) > 0 ? -kMargin : o.length + kMargin; }

uint16_t model_intensity(const Options& o, double rho, double range, double angleDeg, double g) {
    const double v = rho * std::pow(o.altitude / range, o.exponent) / std::cos(angleDeg * kPi / 180.0) *
                     (1.0 + o.noise * g);
    const double r = std::round(v);
    return static_cast<uint16_t>(std::clamp(r, 1.0, 65535.0));
}

}  // namespace

double swath_width(const Options& o) { return 2.0 * o.altitude * std::tan(o.scanAngle * kPi / 180.0); }
double line_spacing(const Options& o) { return swath_width(o) * (1.0 - o.overlap); }
double line_y(const Options& o, int line) { return line * line_spacing(o); }
// Lines are flown at heights 4 % apart (low, nominal, high, low, ...), so that
// neighbouring swaths see a spot from different ranges even at nadir.
double line_height(const Options& o, int line) {
    return kMeanTerrain + o.altitude * (1.0 + o.heightStep * (line % 3 - 1));
}
double strip_gain(const Options& o, int line) {
    return 1.0 + o.stripGain * (2.0 * uniform(o.seed, static_cast<uint64_t>(line), 0, 0, 11) - 1.0);
}
double strip_reflectance(const Options& o, int line, double x, double y) {
    if (o.stripReflectance == 0.0) return 1.0;
    // Three waves of random direction, phase and wavelength (0.5 to 1.5 times
    // the length), so that no stretch of the survey averages them out.
    double f = 0.0;
    for (uint64_t m = 0; m < 3; ++m) {
        const double u = uniform(o.seed, static_cast<uint64_t>(line), m, 0, 12);
        const double k = 2.0 * kPi / (o.reflectanceLength * (0.5 + u));
        const double dir = 2.0 * kPi * uniform(o.seed, static_cast<uint64_t>(line), m, 0, 13);
        const double phase = 2.0 * kPi * uniform(o.seed, static_cast<uint64_t>(line), m, 0, 14);
        f += std::sin(k * (x * std::cos(dir) + y * std::sin(dir)) + phase);
    }
    return 1.0 + o.stripReflectance * f / std::sqrt(1.5);
}
double line_duration(const Options& o) { return (o.length + 2.0 * kMargin) / o.speed; }
double trajectory_end(const Options& o) { return line_start_time(o, o.lines - 1) + line_duration(o) + kLead; }
double line_start_time(const Options& o, int line) {
    return o.timeBase + kLead + line * (line_duration(o) + o.turn);
}

double terrain(double x, double y) {
    return kMeanTerrain + 10.0 * std::sin(x / 150.0) + 8.0 * std::cos(y / 110.0) + 4.0 * std::sin((x + y) / 70.0);
}

double reflectance(double x, double y) { return 200.0 + 100.0 * std::sin(x / 40.0) * std::cos(y / 55.0); }

double roll_angle(const Options& o, double t) {
    if (o.roll == 0.0) return 0.0;
    return o.roll * kPi / 180.0 * std::sin(2.0 * kPi * (t - o.timeBase) / kRollPeriod);
}

namespace {

// The sideways drift that the roll's bank gives (its acceleration g tan(roll),
// for a gentle roll g x roll), and a heave of a quarter metre per degree of roll.
double drift(const Options& o, double t) {
    const double w = 2.0 * kPi / kRollPeriod;
    return -kGravity * o.roll * kPi / 180.0 / (w * w) * std::sin(w * (t - o.timeBase));
}
double heave(const Options& o, double t) { return 0.25 * o.roll * std::sin(2.0 * kPi * (t - o.timeBase) / kHeavePeriod); }

}  // namespace

void aircraft_on_line(const Options& o, int line, double t, double& x, double& y, double& z) {
    x = line_start_x(o, line) + direction(line) * o.speed * (t - line_start_time(o, line));
    y = line_y(o, line);
    z = line_height(o, line) + kClimb * (t - line_start_time(o, line));
    if (o.roll != 0.0) {
        y += drift(o, t);
        z += heave(o, t);
    }
}

void aircraft_position(const Options& o, double t, double& x, double& y, double& z) {
    const double dur = line_duration(o);
    if (t < line_start_time(o, 0)) return aircraft_on_line(o, 0, t, x, y, z);
    for (int i = 0; i < o.lines; ++i) {
        const double t0 = line_start_time(o, i);
        if (t <= t0 + dur || i == o.lines - 1) return aircraft_on_line(o, i, t, x, y, z);
        if (t < line_start_time(o, i + 1)) {
            // A half circle from the end of line i to the start of line i + 1, climbing meanwhile.
            const double u = (t - t0 - dur) / o.turn;
            const double r = 0.5 * (line_y(o, i + 1) - line_y(o, i));
            const double xe = line_start_x(o, i + 1);
            x = xe + direction(i) * r * std::sin(kPi * u);
            y = 0.5 * (line_y(o, i) + line_y(o, i + 1)) - r * std::cos(kPi * u);
            const double z0 = line_height(o, i) + kClimb * dur;
            z = z0 + (line_height(o, i + 1) - z0) * u;
            return;
        }
    }
}

namespace {

bool vegetated(double x, double y) { return std::sin(x / 60.0) * std::sin(y / 45.0) > 0.5; }

// The across-track offset (from the aircraft) of a pulse aimed at offset c of
// level flight, with the scanner rolled: the same scan angle plus the roll,
// over the mean terrain.
double roll_offset(const Options& o, double c, double az, double t) {
    const double h = az - kMeanTerrain;
    return h * std::tan(std::atan2(c, h) + roll_angle(o, t));
}

// The farthest a roll moves a return across the track.
double rolled_shift(const Options& o) {
    const double h = o.altitude * 1.1 + 0.25 * o.roll;
    const double a = o.scanAngle * kPi / 180.0, r = o.roll * kPi / 180.0;
    const double w = 2.0 * kPi / kRollPeriod;
    return h * (std::tan(a + r) - std::tan(a)) + kGravity * r / (w * w) + 1.0;
}

}  // namespace

void returns_in_rectangle(const Options& o, double x0, double x1, double y0, double y1, std::vector<Return>& out) {
    const double ds = pulse_spacing(o);
    const double W = swath_width(o);
    const int nAcross = pulses_across(o);
    const double dtScan = scan_period(o);
    const double dtPulse = dtScan / nAcross;
    const long sMax = static_cast<long>(line_duration(o) / dtScan);
    // How far a roll moves a return across the track at most: the drift and
    // the scan angle turned by the roll, at the swath's edge.
    const double rollShift = o.roll == 0.0 ? 0.0 : rolled_shift(o);
    const int jExtra = static_cast<int>(std::ceil(rollShift / ds));
    for (int i = 0; i < o.lines; ++i) {
        const double ly = line_y(o, i);
        if (ly + W / 2 + rollShift < y0 || ly - W / 2 - rollShift >= y1) continue;
        const double xs = line_start_x(o, i);
        const int dir = direction(i);
        double sLo = dir > 0 ? (x0 - xs) / ds : (xs - x1) / ds;
        double sHi = dir > 0 ? (x1 - xs) / ds : (xs - x0) / ds;
        const long s0 = std::max(0L, static_cast<long>(std::floor(sLo)) - 2);
        const long s1 = std::min(sMax, static_cast<long>(std::ceil(sHi)) + 2);
        const int j0 = std::max(0, static_cast<int>(std::floor((y0 - ly + W / 2) / ds)) - 2 - jExtra);
        const int j1 = std::min(nAcross - 1, static_cast<int>(std::ceil((y1 - ly + W / 2) / ds)) + 2 + jExtra);
        double ax, ay, az;
        for (long s = s0; s <= s1; ++s) {
            for (int j = j0; j <= j1; ++j) {
                const double t = line_start_time(o, i) + s * dtScan + j * dtPulse;
                aircraft_on_line(o, i, t, ax, ay, az);
                double c = -W / 2 + (j + 0.5) * (W / nAcross);
                if (o.roll != 0.0) c = roll_offset(o, c, az, t);
                const double gx = ax, gy = ay + c, gz = terrain(gx, gy);
                const bool bare = std::fabs(gx - 0.5 * o.length) < 0.5 * o.openGround;
                const bool canopy = vegetated(gx, gy) && !bare && uniform(o.seed, i, s, j, 7) < o.vegetation;
                const bool inside = canopy && o.maxReturns == 3 && uniform(o.seed, i, s, j, 9) < 0.5;
                const uint8_t n = canopy ? (inside ? 3 : 2) : 1;
                auto emit = [&](double x, double y, double z, double rho, uint8_t number, uint64_t key) {
                    if (x < x0 || x >= x1 || y < y0 || y >= y1) return;
                    const double h = std::hypot(ax - x, ay - y), v = az - z;
                    Return r;
                    r.x = x;
                    r.y = y;
                    r.z = z;
                    if (o.positionNoise > 0) {  // a return from somewhere in the footprint, ranged with noise
                        r.x += o.positionNoise * gaussian(o.seed, i, s, j, 16 + 3 * key);
                        r.y += o.positionNoise * gaussian(o.seed, i, s, j, 17 + 3 * key);
                        r.z += o.positionNoise * gaussian(o.seed, i, s, j, 18 + 3 * key);
                    }
                    r.t = t;
                    r.range = std::sqrt(h * h + v * v);
                    r.angle = std::atan(h / v) * 180.0 / kPi;
                    if (o.stripGain != 0.0 || o.stripReflectance != 0.0)
                        rho *= strip_gain(o, i) * strip_reflectance(o, i, x, y);
                    r.intensity = model_intensity(o, rho, r.range, r.angle, gaussian(o.seed, i, s, j, key));
                    r.returnNumber = number;
                    r.numberOfReturns = n;
                    r.line = static_cast<uint16_t>(i);
                    out.push_back(r);
                };
                if (canopy) {
                    const double height = 12.0 + 6.0 * uniform(o.seed, i, s, j, 8);
                    const double f = (az - gz - height) / (az - gz);
                    const double cx = ax, cy = ay + c * f;
                    emit(cx, cy, gz + height, 0.6 * reflectance(cx, cy), 1, 1);
                    if (inside) {
                        // Half-way down the canopy, on the same beam.
                        const double fm = (az - gz - 0.5 * height) / (az - gz);
                        const double mx = ax, my = ay + c * fm;
                        emit(mx, my, gz + 0.5 * height, 0.4 * reflectance(mx, my), 2, 3);
                    }
                    emit(gx, gy, gz, 0.8 * reflectance(gx, gy), n, 2);
                } else {
                    emit(gx, gy, gz, reflectance(gx, gy), 1, 0);
                }
            }
        }
    }
}

namespace {

using torvane::FilePtr;

// The header of a tile: the version's defaults, the survey's scale, offsets and format.
torvane::LASHeader tile_header(const Options& o, uint32_t offsetToData, std::size_t returns) {
    torvane::LASHeader h;
    std::memset(&h, 0, sizeof(h));
    if (o.versionMinor == 4) torvane::initialize_header14(&h);
    else if (o.versionMinor == 3) torvane::initialize_header13(&h);
    else torvane::initialize_header12(&h);
    h.VersionMinor = static_cast<uint8_t>(o.versionMinor);
    std::memcpy(h.SystemIdentifier, "SIMULATION", 10);
    h.OffsetToData = offsetToData;
    h.PointDataFormatID = static_cast<uint8_t>(o.format);
    h.PointDataRecordLength = torvane::point_format(o.format).length;
    // LAS 1.4 counts in 64 bits; its formats 6 to 10 leave the legacy counts 0.
    if (o.versionMinor < 4 || o.format < 6) h.NumberOfPointReturns = static_cast<uint32_t>(returns);
    if (o.versionMinor >= 4) h.NumberOfPointRecords = returns;
    h.XScaleFactor = h.YScaleFactor = h.ZScaleFactor = o.scale;
    h.XOffset = o.offsetX;
    h.YOffset = o.offsetY;
    h.ZOffset = o.offsetZ;
    return h;
}

// The fields after the coordinates and intensity, in the layout of the format.
void put_return_fields(unsigned char* p, const Return& r, const torvane::PointFormat& f) {
    const uint8_t classification = r.returnNumber < r.numberOfReturns ? 5 : 2;  // high vegetation or ground
    if (f.extended) {
        p[14] = static_cast<uint8_t>(r.returnNumber | (r.numberOfReturns << 4));
        p[15] = static_cast<uint8_t>((r.line % 2) << 6);  // scan direction
        p[16] = classification;
        torvane::store<int16_t>(p + 18, static_cast<int16_t>(std::lround(r.angle / 0.006)));
    } else {
        p[14] = static_cast<uint8_t>(r.returnNumber | (r.numberOfReturns << 3) | ((r.line % 2) << 6));
        p[15] = classification;
        p[16] = static_cast<uint8_t>(std::lround(r.angle));  // scan angle rank, unsigned here
    }
    torvane::store<uint16_t>(p + f.pointSourceID, static_cast<uint16_t>(r.line + 1));
    torvane::store<double>(p + f.gpsTime, r.t);
}

// A tile's bytes as a LAZ file: the compression record after the other
// records (and before a start signature), the records in chunks of 50,000 with
// their table, the point format's compression bit set.
std::vector<unsigned char> compressed_tile(const std::vector<unsigned char>& plain, uint16_t len) {
    torvane::LASHeader h = torvane::header_from_bytes(plain.data(), plain.size());
    const laz::Compression c = laz::compression_for(h.PointDataFormatID, len);
    const std::vector<uint8_t> description = laz::compression_bytes(c);
    const std::size_t signature = h.VersionMinor == 0 ? 2 : 0;
    const std::size_t recordsAt = h.OffsetToData - signature;
    std::vector<unsigned char> out(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(recordsAt));
    unsigned char head[torvane::kVLRHeaderSize] = {};
    std::memcpy(head + 2, torvane::kCompressionUser, std::strlen(torvane::kCompressionUser));
    torvane::store<uint16_t>(head + 18, torvane::kCompressionRecordID);
    torvane::store<uint16_t>(head + 20, static_cast<uint16_t>(description.size()));
    std::memcpy(head + 22, "point compression", 17);
    out.insert(out.end(), head, head + sizeof(head));
    out.insert(out.end(), description.begin(), description.end());
    out.insert(out.end(), plain.begin() + static_cast<std::ptrdiff_t>(recordsAt),
               plain.begin() + static_cast<std::ptrdiff_t>(h.OffsetToData));
    const std::size_t pointsAt = out.size();
    out.resize(out.size() + 8);
    const uint64_t points = torvane::point_count(h);
    std::vector<laz::Chunk> chunks;
    std::vector<uint8_t> packed;
    for (uint64_t first = 0; first < points; first += c.chunkSize) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(c.chunkSize, points - first));
        packed.clear();
        laz::encode_chunk(c, len, plain.data() + h.OffsetToData + first * len, n, packed);
        chunks.push_back({out.size(), packed.size(), n});
        out.insert(out.end(), packed.begin(), packed.end());
    }
    torvane::store<int64_t>(out.data() + pointsAt, static_cast<int64_t>(out.size()));
    const std::vector<uint8_t> table = laz::chunk_table_bytes(c, chunks);
    out.insert(out.end(), table.begin(), table.end());
    h.OffsetToData = static_cast<uint32_t>(pointsAt);
    h.NumberOfVariableLengthRecords += 1;
    h.PointDataFormatID |= 0x80;
    torvane::header_to_bytes(h, out.data());
    return out;
}

std::string write_tile(const Options& o, const std::vector<Return>& rs, const std::string& name) {
    const double ox = o.offsetX + 1000.0, oy = o.offsetY + 1000.0;  // the area's south-west corner
    const torvane::PointFormat& format = torvane::point_format(o.format);
    const uint16_t len = format.length;
    // The coordinate system's record, then, in LAS 1.0, a start signature.
    const std::vector<unsigned char> vlr = crs_record(o);
    const std::size_t headerSize = torvane::header_size_of_version(o.versionMinor);
    const uint32_t offsetToData = static_cast<uint32_t>(headerSize + vlr.size() + (o.versionMinor == 0 ? 2 : 0));
    std::vector<unsigned char> buf(offsetToData + rs.size() * len, 0);
    std::copy(vlr.begin(), vlr.end(), buf.begin() + static_cast<std::ptrdiff_t>(headerSize));

    torvane::LASHeader h = tile_header(o, offsetToData, rs.size());
    h.NumberOfVariableLengthRecords = vlr.empty() ? 0 : 1;
    if (!vlr.empty() && o.versionMinor >= 4) h.GlobalEncoding |= 16;  // the coordinate system as WKT
    if (o.adjustedTime && o.versionMinor >= 2) h.GlobalEncoding |= 1;
    int32_t lo[3] = {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max(),
                     std::numeric_limits<int32_t>::max()};
    int32_t hi[3] = {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::min(),
                     std::numeric_limits<int32_t>::min()};
    unsigned char* p = buf.data() + offsetToData;
    for (const Return& r : rs) {
        const int32_t q[3] = {static_cast<int32_t>(std::llround((ox + r.x - o.offsetX) / o.scale)),
                              static_cast<int32_t>(std::llround((oy + r.y - o.offsetY) / o.scale)),
                              static_cast<int32_t>(std::llround((r.z - o.offsetZ) / o.scale))};
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], q[a]);
            hi[a] = std::max(hi[a], q[a]);
            torvane::store<int32_t>(p + 4 * a, q[a]);
        }
        torvane::store<uint16_t>(p + 12, r.intensity);
        put_return_fields(p, r, format);
        if (o.versionMinor >= 4) ++h.NumberOfPointsByReturn64[r.returnNumber - 1];
        if (r.returnNumber <= 5 && h.NumberOfPointReturns != 0) ++h.NumberOfPointsByReturn[r.returnNumber - 1];
        p += len;
    }
    h.MinX = lo[0] * o.scale + o.offsetX;
    h.MaxX = hi[0] * o.scale + o.offsetX;
    h.MinY = lo[1] * o.scale + o.offsetY;
    h.MaxY = hi[1] * o.scale + o.offsetY;
    h.MinZ = lo[2] * o.scale + o.offsetZ;
    h.MaxZ = hi[2] * o.scale + o.offsetZ;
    torvane::header_to_bytes(h, buf.data());
    if (o.versionMinor == 0) {
        buf[offsetToData - 2] = 0xDD;
        buf[offsetToData - 1] = 0xCC;
    }
    if (o.laz) buf = compressed_tile(buf, len);
    const std::string path = (std::filesystem::path(o.outDir) / name).string();
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f) return "cannot create " + path;
    if (std::fwrite(buf.data(), 1, buf.size(), f.get()) != buf.size()) return "cannot write " + path;
    return "";
}

std::string write_trajectory(const Options& o, const std::string& path) {
    const double end = trajectory_end(o);
    const double ox = o.offsetX + 1000.0, oy = o.offsetY + 1000.0;
    FilePtr f(std::fopen(path.c_str(), "w"));
    if (!f) return "cannot create " + path;
    std::string text;
    char line[128];
    for (long k = 0;; ++k) {
        const double t = o.timeBase + k / 10.0;
        if (t > end) break;
        double x = 0, y = 0, z = 0;
        aircraft_position(o, t, x, y, z);
        const int n = std::snprintf(line, sizeof(line), "%.4f %.4f %.4f %.6f\n", ox + x, oy + y, z, t);
        text.append(line, static_cast<std::size_t>(n));
    }
    if (std::fwrite(text.data(), 1, text.size(), f.get()) != text.size()) return "cannot write " + path;
    return "";
}

}  // namespace

Summary simulate(const Options& o) {
    Summary sum;
    std::error_code ec;
    std::filesystem::create_directories(o.outDir, ec);
    const double W = swath_width(o);
    const double yLo = -W / 2, yHi = line_y(o, o.lines - 1) + W / 2;
    const int cols = std::max(1, static_cast<int>(std::ceil(o.length / o.tile)));
    const int rows = std::max(1, static_cast<int>(std::ceil((yHi - yLo) / o.tile)));
    const double ds = pulse_spacing(o);
    std::vector<Return> rs;
    std::string list;
    for (int row = 0; row < rows; ++row) {
        const double y0 = yLo + row * o.tile, y1 = std::min(yHi, y0 + o.tile);
        // A tile is written only where two swaths overlap inside it: the tool
        // needs pairs of returns in every file.
        bool overlapped = false;
        for (int i = 0; i + 1 < o.lines; ++i) {
            const double a = std::max(line_y(o, i + 1) - W / 2, y0), b = std::min(line_y(o, i) + W / 2, y1);
            if (b - a >= 4 * ds) overlapped = true;
        }
        if (!overlapped) continue;
        for (int col = 0; col < cols; ++col) {
            const double x0 = col * o.tile, x1 = std::min(o.length, x0 + o.tile);
            rs.clear();
            returns_in_rectangle(o, x0, x1, y0, y1, rs);
            if (rs.empty()) continue;
            char name[64];
            std::snprintf(name, sizeof(name), "tile_%02d_%02d.%s", col, row, o.laz ? "laz" : "las");
            const std::string err = write_tile(o, rs, name);
            if (!err.empty()) throw std::runtime_error(err);
            sum.files.push_back(name);
            sum.returns += rs.size();
            list += std::string(name) + "\n";
        }
    }
    const std::string listPath = (std::filesystem::path(o.outDir) / "las_list.txt").string();
    {
        FilePtr f(std::fopen(listPath.c_str(), "w"));
        if (!f || std::fwrite(list.data(), 1, list.size(), f.get()) != list.size())
            throw std::runtime_error("cannot write " + listPath);
    }
    std::string err = write_trajectory(o, (std::filesystem::path(o.outDir) / "trajectory.txt").string());
    if (err.empty() && !o.sbet.empty()) err = write_sbet_trajectory(o, (std::filesystem::path(o.outDir) / o.sbet).string());
    if (!err.empty()) throw std::runtime_error(err);

    sum.maxPairDistance = std::ceil(ds * 1000.0) / 1000.0;
    sum.radius = sum.maxPairDistance;
    sum.minTime = 1.0;
    sum.maxTime = std::ceil(line_start_time(o, o.lines - 1) + line_duration(o) - o.timeBase) + 1.0;
    return sum;
}

std::string parse_options(int argc, char** argv, Options& o) {
    for (int k = 1; k < argc; ++k) {
        const std::string key = argv[k];
        if (key == "--laz") {
            o.laz = true;
            continue;
        }
        if (k + 1 >= argc) return "missing value for " + key;
        const std::string value = argv[++k];
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        const bool number = end != value.c_str() && *end == '\0' && std::isfinite(v);
        auto need = [&](bool ok) { return ok ? std::string() : "invalid value for " + key + ": " + value; };
        std::string err;
        if (key == "--out") o.outDir = value;
        else if (key == "--sbet") o.sbet = value;
        else if (key == "--las-version") {
            if (value.size() == 3 && value[0] == '1' && value[1] == '.' && value[2] >= '0' && value[2] <= '4')
                o.versionMinor = value[2] - '0';
            else err = need(false);
        } else if (key == "--time-base") {
            if (value == "week") o.timeBase = 345600.0;
            else if (value == "adjusted") o.timeBase = 1.6e8, o.adjustedTime = true;
            else if (value == "1e9") o.timeBase = 1.0e9;
            else if (number && v >= 0) o.timeBase = v;
            else err = need(false);
        } else if (!number) {
            err = need(false);
        } else if (key == "--seed") { err = need(v >= 0 && v == std::floor(v)); o.seed = static_cast<uint64_t>(v); }
        else if (key == "--lines") { err = need(v >= 1 && v <= 1000 && v == std::floor(v)); o.lines = static_cast<int>(v); }
        else if (key == "--length") { err = need(v > 0); o.length = v; }
        else if (key == "--altitude") { err = need(v > 0); o.altitude = v; }
        else if (key == "--scan-angle") { err = need(v > 0 && v < 60); o.scanAngle = v; }
        else if (key == "--overlap") { err = need(v >= 0 && v < 1); o.overlap = v; }
        else if (key == "--density") { err = need(v > 0 && v <= 1000); o.density = v; }
        else if (key == "--exponent") { err = need(v >= -10 && v <= 10); o.exponent = v; }
        else if (key == "--noise") { err = need(v >= 0 && v < 1); o.noise = v; }
        else if (key == "--tile") { err = need(v > 0); o.tile = v; }
        else if (key == "--speed") { err = need(v > 0); o.speed = v; }
        else if (key == "--turn") { err = need(v > 0); o.turn = v; }
        else if (key == "--vegetation") { err = need(v >= 0 && v <= 1); o.vegetation = v; }
        else if (key == "--returns") { err = need(v == 2 || v == 3); o.maxReturns = static_cast<int>(v); }
        else if (key == "--roll") { err = need(v >= 0 && v <= 10); o.roll = v; }
        else if (key == "--height-step") { err = need(v >= 0 && v <= 0.3); o.heightStep = v; }
        else if (key == "--strip-gain") { err = need(v >= 0 && v < 0.5); o.stripGain = v; }
        else if (key == "--strip-reflectance") { err = need(v >= 0 && v < 0.5); o.stripReflectance = v; }
        else if (key == "--reflectance-length") { err = need(v > 0); o.reflectanceLength = v; }
        else if (key == "--open-ground") { err = need(v >= 0); o.openGround = v; }
        else if (key == "--position-noise") { err = need(v >= 0 && v <= 10); o.positionNoise = v; }
        else if (key == "--format") {
            err = need(v >= 1 && v <= torvane::kMaxPointFormat && v == std::floor(v) &&
                       torvane::point_format(static_cast<int>(v)).hasGPSTime);
            o.format = static_cast<int>(v);
        }
        else if (key == "--scale") { err = need(v > 0); o.scale = v; }
        else if (key == "--offset-x") o.offsetX = v;
        else if (key == "--offset-y") o.offsetY = v;
        else if (key == "--offset-z") o.offsetZ = v;
        else return "unknown option " + key;
        if (!err.empty()) return err;
    }
    // Formats 1 and 3 in every version (1.0 and 1.1 take format 3 as the tool
    // does); formats 4 and 5 from LAS 1.3, 6 to 10 from LAS 1.4.
    if (o.format > 3 && o.format > torvane::max_format_of_version(o.versionMinor))
        return "point data format " + std::to_string(o.format) + " needs LAS 1." + (o.format <= 5 ? "3" : "4");
    if (!o.sbet.empty() && !o.adjustedTime && trajectory_end(o) >= 604800.0)
        return "--sbet needs the time base week or adjusted";
    // Every coordinate must fit the 32-bit integers of the records.
    const double extent = 1000.0 + std::max(o.length, line_y(o, o.lines - 1) + swath_width(o));
    const double height = std::fabs(o.offsetZ) + line_height(o, o.lines - 1);
    if (std::max(extent, height) / o.scale > 2.0e9) return "coordinates do not fit 32-bit integers at this scale";
    return "";
}

}  // namespace simsurvey
