// The simulated survey's navigation solution (an SBET file) and the record
// of its coordinate system in the LAS files.
#include <proj.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "sbet.h"
#include "sim_survey.h"
#include "Torvane_LiDAR.h"

namespace simsurvey {

namespace {

struct ContextDeleter {
    void operator()(PJ_CONTEXT* c) const { proj_context_destroy(c); }
};
struct PjDeleter {
    void operator()(PJ* p) const { proj_destroy(p); }
};

constexpr double kPi = 3.14159265358979323846;

// A variable-length record of user "LASF_Projection": its 54-byte header and data.
std::vector<unsigned char> projection_record(uint16_t id, const std::vector<unsigned char>& data) {
    std::vector<unsigned char> r(54 + data.size(), 0);
    std::memcpy(r.data() + 2, "LASF_Projection", 15);
    torvane::store<uint16_t>(r.data() + 18, id);
    torvane::store<uint16_t>(r.data() + 20, static_cast<uint16_t>(data.size()));
    std::memcpy(r.data() + 22, "Coordinate system", 17);
    std::copy(data.begin(), data.end(), r.begin() + 54);
    return r;
}

// The OGC WKT of the survey's coordinate system, with its terminating zero.
std::vector<unsigned char> survey_wkt() {
    std::unique_ptr<PJ_CONTEXT, ContextDeleter> ctx(proj_context_create());
    std::unique_ptr<PJ, PjDeleter> crs(proj_create(ctx.get(), kSurveyCrs));
    const char* wkt = crs ? proj_as_wkt(ctx.get(), crs.get(), PJ_WKT1_GDAL, nullptr) : nullptr;
    if (wkt == nullptr) throw std::runtime_error("PROJ does not know the survey's coordinate system here");
    return std::vector<unsigned char>(wkt, wkt + std::strlen(wkt) + 1);
}

}  // namespace

std::vector<unsigned char> crs_record(const Options& o) {
    if (o.sbet.empty()) return {};
    if (o.versionMinor >= 4) return projection_record(2112, survey_wkt());
    // Version 1, revision 1.0, 3 keys: a projected system, pixel is area, EPSG code.
    const uint16_t keys[16] = {1, 1, 0, 3, 1024, 0, 1, 1, 1025, 0, 1, 1, 3072, 0, 1, 32610};
    std::vector<unsigned char> data(sizeof(keys));
    for (int k = 0; k < 16; ++k) torvane::store<uint16_t>(data.data() + 2 * k, keys[k]);
    return projection_record(34735, data);
}

std::string write_sbet_trajectory(const Options& o, const std::string& path) {
    const double ox = o.offsetX + 1000.0, oy = o.offsetY + 1000.0;
    std::vector<navigation::SbetSample> samples;
    for (long k = 0;; ++k) {
        const double t = o.timeBase + k / 10.0;
        if (t > trajectory_end(o)) break;
        double x = 0, y = 0, z = 0;
        aircraft_position(o, t, x, y, z);
        // Adjusted standard GPS time is GPS time less 1e9 seconds.
        samples.push_back({o.adjustedTime ? t + 1e9 : t, oy + y, ox + x, z});
    }
    std::unique_ptr<PJ_CONTEXT, ContextDeleter> ctx(proj_context_create());
    std::unique_ptr<PJ, PjDeleter> op(proj_create_crs_to_crs(ctx.get(), kSurveyCrs, "EPSG:4979", nullptr));
    std::unique_ptr<PJ, PjDeleter> norm(op ? proj_normalize_for_visualization(ctx.get(), op.get()) : nullptr);
    if (!norm) return "PROJ cannot convert the survey's coordinates into WGS 84 here";
    for (navigation::SbetSample& s : samples) {
        const PJ_COORD c = proj_trans(norm.get(), PJ_FWD, proj_coord(s.longitude, s.latitude, s.height, 0.0));
        s.longitude = c.lpz.lam * kPi / 180.0;
        s.latitude = c.lpz.phi * kPi / 180.0;
        s.height = c.lpz.z;
    }
    return navigation::write_sbet(path, samples) ? "" : "cannot write " + path;
}

}  // namespace simsurvey
