// SBET samples into a LAS survey's coordinate system (by PROJ) and time.
#include "convert.h"

#include <proj.h>

#include <cmath>
#include <memory>

namespace navigation {

using quilvor::fail;

namespace {

struct ContextDeleter {
    void operator()(PJ_CONTEXT* c) const { proj_context_destroy(c); }
};
struct PjDeleter {
    void operator()(PJ* p) const { proj_destroy(p); }
};
using ContextPtr = std::unique_ptr<PJ_CONTEXT, ContextDeleter>;
using PjPtr = std::unique_ptr<PJ, PjDeleter>;

constexpr double kDegrees = 180.0 / 3.14159265358979323846;

std::string last_error(PJ_CONTEXT* ctx) {
    const char* text = proj_context_errno_string(ctx, proj_context_errno(ctx));
    return text != nullptr ? text : "unknown error";
}

// The operation from WGS 84 (latitude, longitude, ellipsoidal height) to
// target, with longitude and latitude in degrees and the target's easting
// first, whatever the definitions' axis order.
PjPtr operation_to(PJ_CONTEXT* ctx, const PJ* target, const std::string& crs) {
    PjPtr source(proj_create(ctx, "EPSG:4979"));
    if (!source) fail("\nCannot use the coordinate system WGS 84 (EPSG:4979) here: %s\n", last_error(ctx).c_str());
    PjPtr op(proj_create_crs_to_crs_from_pj(ctx, source.get(), target, nullptr, nullptr));
    if (!op)
        fail("\nCannot convert WGS 84 into the coordinate system %s: %s\n", crs_for_messages(crs).c_str(),
             last_error(ctx).c_str());
    PjPtr normalized(proj_normalize_for_visualization(ctx, op.get()));
    if (!normalized)
        fail("\nCannot convert WGS 84 into the coordinate system %s: %s\n", crs_for_messages(crs).c_str(),
             last_error(ctx).c_str());
    return normalized;
}

// The geoid height (EGM96) at a point, or NaN where the model is not at hand.
double geoid_height(PJ_CONTEXT* ctx, double latitude, double longitude) {
    PjPtr op(proj_create_crs_to_crs(ctx, "EPSG:4979", "EPSG:4326+5773", nullptr));
    if (!op || proj_coordoperation_has_ballpark_transformation(ctx, op.get())) return std::nan("");
    PjPtr normalized(proj_normalize_for_visualization(ctx, op.get()));
    if (!normalized) return std::nan("");
    const PJ_COORD c = proj_trans(normalized.get(), PJ_FWD, proj_coord(longitude, latitude, 0.0, 0.0));
    return std::isfinite(c.xyz.z) ? -c.xyz.z : std::nan("");
}

// What the heights are after the operation.
std::string heights_line(PJ_CONTEXT* ctx, const PJ* target, const PJ* op, const std::vector<SbetSample>& sbet) {
    const bool compound = proj_get_type(target) == PJ_TYPE_COMPOUND_CRS;
    if (compound && !proj_coordoperation_has_ballpark_transformation(ctx, op)) {
        PjPtr vertical(proj_crs_get_sub_crs(ctx, target, 1));
        return std::string("Heights:        converted to ") + (vertical ? proj_get_name(vertical.get()) : "the vertical datum");
    }
    const SbetSample& mid = sbet[sbet.size() / 2];
    const double n = geoid_height(ctx, mid.latitude * kDegrees, mid.longitude * kDegrees);
    std::string line = "Heights:        ellipsoidal (WGS 84): the coordinate system has no vertical datum that can be "
                       "reached here, so ranges are off by the local geoid height";
    if (std::isfinite(n)) {
        char buf[96];
        std::snprintf(buf, sizeof(buf), " (%.1f m here, EGM96)", n);
        line += buf;
    }
    return line;
}

}  // namespace

std::string crs_distance_unit(const std::string& crs) {
    ContextPtr ctx(proj_context_create());
    if (!ctx) return "";
    proj_log_level(ctx.get(), PJ_LOG_NONE);
    PjPtr c(proj_create(ctx.get(), crs.c_str()));
    // The horizontal part of a compound system; the source of a system bound to WGS 84.
    for (int step = 0; c && step < 3; ++step) {
        const PJ_TYPE type = proj_get_type(c.get());
        if (type == PJ_TYPE_COMPOUND_CRS)
            c.reset(proj_crs_get_sub_crs(ctx.get(), c.get(), 0));
        else if (type == PJ_TYPE_BOUND_CRS)
            c.reset(proj_get_source_crs(ctx.get(), c.get()));
        else
            break;
    }
    if (!c) return "";
    PjPtr cs(proj_crs_get_coordinate_system(ctx.get(), c.get()));
    const char* name = nullptr;
    double toMetres = 0.0;
    if (!cs || !proj_cs_get_axis_info(ctx.get(), cs.get(), 0, nullptr, nullptr, nullptr, &toMetres, &name, nullptr,
                                      nullptr))
        return "";
    if (proj_cs_get_type(ctx.get(), cs.get()) == PJ_CS_TYPE_CARTESIAN) {
        if (toMetres == 1.0) return "m";
        if (toMetres == 0.3048) return "ft";
        if (std::fabs(toMetres - 1200.0 / 3937.0) < 1e-12) return "US ft";
    }
    return name != nullptr ? name : "";
}

std::string crs_for_messages(const std::string& crs) {
    // A WKT definition by its name: PROJCS["name", ... or PROJCRS["name", ...
    const std::size_t open = crs.find("[\"");
    if (open != std::string::npos && open < 16 && crs.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == open) {
        const std::size_t close = crs.find('"', open + 2);
        if (close != std::string::npos) return crs.substr(open + 2, close - open - 2) + " (OGC WKT)";
    }
    std::string s = crs.substr(0, crs.find('\n'));
    return s.size() > 60 ? s.substr(0, 57) + "..." : s;
}

int week_of_sbet(double firstSeconds, double filesStart) {
    return static_cast<int>(std::lround((filesStart + 1e9 - firstSeconds) / 604800.0));
}

ConvertedTrajectory convert_sbet(const std::vector<SbetSample>& sbet, const std::string& crs, const TimeConvention& time) {
    ContextPtr ctx(proj_context_create());
    proj_log_level(ctx.get(), PJ_LOG_NONE);
    PjPtr target(proj_create(ctx.get(), crs.c_str()));
    if (!target || !proj_is_crs(target.get()))
        fail("\nCannot use the coordinate system %s: %s\n", crs_for_messages(crs).c_str(),
             target ? "it is no coordinate system" : last_error(ctx.get()).c_str());
    PjPtr op = operation_to(ctx.get(), target.get(), crs);

    const std::size_t n = sbet.size();
    ConvertedTrajectory out;
    out.samples.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        out.samples[k] = {sbet[k].longitude * kDegrees, sbet[k].latitude * kDegrees, sbet[k].height,
                          las_time(sbet[k].time, time)};
    quilvor::refDataStruct* s = out.samples.data();
    const std::size_t stride = sizeof(quilvor::refDataStruct);
    proj_trans_generic(op.get(), PJ_FWD, &s->X, stride, n, &s->Y, stride, n, &s->Z, stride, n, nullptr, 0, 0);
    for (std::size_t k = 0; k < n; ++k)
        if (!std::isfinite(s[k].X) || !std::isfinite(s[k].Y) || !std::isfinite(s[k].Z))
            fail("\nSBET record %zu (latitude %.9f, longitude %.9f rad) lies outside the coordinate system %s\n",
                 k + 1, sbet[k].latitude, sbet[k].longitude, crs_for_messages(crs).c_str());
    out.heights = heights_line(ctx.get(), target.get(), op.get(), sbet);
    return out;
}

}  // namespace navigation
