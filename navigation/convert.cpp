// SBET samples into a LAS survey's coordinate system (by PROJ) and time.
#include "convert.h"

#include <proj.h>

#include <cmath>
#include <memory>
#include <vector>

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

// PROJ's own diagnostics never reach standard error: what matters reaches the
// user through the program's messages.
void quiet(void*, int, const char*) {}

// A context that neither logs nor uses the network (whatever PROJ_NETWORK
// says), and so never writes a grid cache into the home folder.
ContextPtr quiet_context() {
    ContextPtr ctx(proj_context_create());
    proj_log_func(ctx.get(), nullptr, quiet);
    proj_log_level(ctx.get(), PJ_LOG_NONE);
    proj_context_set_enable_network(ctx.get(), 0);
    proj_grid_cache_set_enable(ctx.get(), 0);
    return ctx;
}

// The grids an operation needs that are not installed here, by their short
// names, optional ones (named with @) left out.
std::vector<std::string> missing_grids(PJ_CONTEXT* ctx, const PJ* op) {
    std::vector<std::string> missing;
    const int n = proj_coordoperation_get_grid_used_count(ctx, op);
    for (int g = 0; g < n; ++g) {
        const char *name = nullptr, *full = nullptr, *package = nullptr, *url = nullptr;
        int direct = 0, open = 0, available = 0;
        if (proj_coordoperation_get_grid_used(ctx, op, g, &name, &full, &package, &url, &direct, &open, &available) &&
            !available && name != nullptr && name[0] != '@')
            missing.push_back(name);
    }
    return missing;
}

// A grid that the definition names itself (+nadgrids=, +geoidgrids=, a bound
// system's transformation) must be at hand: PROJ would otherwise go round it
// without a word.
void check_named_grids(PJ_CONTEXT* ctx, const PJ* target, const std::string& named) {
    std::vector<PjPtr> parts;
    if (proj_get_type(target) == PJ_TYPE_COMPOUND_CRS)
        for (int i = 0; i < 2; ++i) parts.emplace_back(proj_crs_get_sub_crs(ctx, target, i));
    else
        parts.emplace_back(proj_clone(ctx, target));
    for (const PjPtr& part : parts) {
        if (!part || proj_get_type(part.get()) != PJ_TYPE_BOUND_CRS) continue;
        PjPtr op(proj_crs_get_coordoperation(ctx, part.get()));
        if (!op) continue;
        const std::vector<std::string> missing = missing_grids(ctx, op.get());
        if (!missing.empty())
            fail("\nCannot use the coordinate system %s: the grid %s that it names is not installed here\n",
                 named.c_str(), missing.front().c_str());
    }
}

std::string last_error(PJ_CONTEXT* ctx) {
    const char* text = proj_context_errno_string(ctx, proj_context_errno(ctx));
    return text != nullptr ? text : "unknown error";
}

// The operation from WGS 84 (latitude, longitude, ellipsoidal height) to
// target, with longitude and latitude in degrees and the target's easting
// first, whatever the definitions' axis order.
PjPtr operation_to(PJ_CONTEXT* ctx, const PJ* target, const std::string& named) {
    PjPtr source(proj_create(ctx, "EPSG:4979"));
    if (!source) fail("\nCannot use the coordinate system WGS 84 (EPSG:4979) here: %s\n", last_error(ctx).c_str());
    PjPtr op(proj_create_crs_to_crs_from_pj(ctx, source.get(), target, nullptr, nullptr));
    if (!op)
        fail("\nCannot convert WGS 84 into the coordinate system %s: %s\n", named.c_str(),
             last_error(ctx).c_str());
    PjPtr normalized(proj_normalize_for_visualization(ctx, op.get()));
    if (!normalized)
        fail("\nCannot convert WGS 84 into the coordinate system %s: %s\n", named.c_str(),
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

// Whether the operation PROJ used for (latitude, longitude) in degrees
// changed the heights by a model of the vertical datum: false for a
// ballpark vertical step (heights passed through as they are).
bool heights_converted_at(PJ_CONTEXT* ctx, PJ* op, double latitude, double longitude) {
    const PJ_COORD c = proj_trans(op, PJ_FWD, proj_coord(longitude, latitude, 0.0, 0.0));
    if (!std::isfinite(c.xyz.z)) return false;
    PjPtr used(proj_trans_get_last_used_operation(op));
    return used && !proj_coordoperation_has_ballpark_transformation(ctx, used.get());
}

// The grids that the best of PROJ's candidate operations into target needs
// and that are not installed here.
std::vector<std::string> grids_wanting(PJ_CONTEXT* ctx, const PJ* target) {
    PjPtr source(proj_create(ctx, "EPSG:4979"));
    PJ_OPERATION_FACTORY_CONTEXT* factory = proj_create_operation_factory_context(ctx, nullptr);
    std::vector<std::string> missing;
    if (!source || factory == nullptr) return missing;
    proj_operation_factory_context_set_grid_availability_use(ctx, factory, PROJ_GRID_AVAILABILITY_IGNORED);
    proj_operation_factory_context_set_spatial_criterion(ctx, factory, PROJ_SPATIAL_CRITERION_PARTIAL_INTERSECTION);
    PJ_OBJ_LIST* ops = proj_create_operations(ctx, source.get(), target, factory);
    const int n = ops != nullptr ? proj_list_get_count(ops) : 0;
    for (int i = 0; i < n && missing.empty(); ++i) {
        PjPtr op(proj_list_get(ctx, ops, i));
        if (op && !proj_coordoperation_has_ballpark_transformation(ctx, op.get())) missing = missing_grids(ctx, op.get());
    }
    if (ops != nullptr) proj_list_destroy(ops);
    proj_operation_factory_context_destroy(factory);
    return missing;
}

// What the heights are after the operation: converted only where PROJ
// really applied the vertical datum's model, at the first, the middle and
// the last sample.
std::string heights_line(PJ_CONTEXT* ctx, const PJ* target, PJ* op, const std::vector<SbetSample>& sbet) {
    const bool compound = proj_get_type(target) == PJ_TYPE_COMPOUND_CRS;
    PjPtr vertical(compound ? proj_crs_get_sub_crs(ctx, target, 1) : nullptr);
    bool converted = compound;
    for (std::size_t k : {std::size_t{0}, sbet.size() / 2, sbet.size() - 1})
        converted = converted && heights_converted_at(ctx, op, sbet[k].latitude * kDegrees, sbet[k].longitude * kDegrees);
    const char* name = vertical ? proj_get_name(vertical.get()) : nullptr;
    const std::string datum = name != nullptr ? name : "the vertical datum";
    if (converted) return "Heights:        converted to " + datum;
    const SbetSample& mid = sbet[sbet.size() / 2];
    const double n = geoid_height(ctx, mid.latitude * kDegrees, mid.longitude * kDegrees);
    std::string line = "Heights:        ellipsoidal (WGS 84): the coordinate system has no vertical datum that can be "
                       "reached here, so ranges are off by the local geoid height";
    if (std::isfinite(n)) {
        char buf[96];
        std::snprintf(buf, sizeof(buf), " (%.1f m here, EGM96)", n);
        line += buf;
    }
    if (compound) {
        const std::vector<std::string> missing = grids_wanting(ctx, target);
        line += "\n                " + datum + " is reached only with the grid " +
                (missing.empty() ? std::string("of a transformation PROJ does not have here")
                                 : missing.front() + ", which is not installed here") +
                " (PROJ's network access is off)";
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

ConvertedTrajectory convert_sbet(const std::vector<SbetSample>& sbet, const std::string& crs, const TimeConvention& time,
                                 const std::string& label) {
    const std::string named = label.empty() ? crs_for_messages(crs) : label;
    ContextPtr ctx = quiet_context();
    PjPtr target(proj_create(ctx.get(), crs.c_str()));
    if (!target || !proj_is_crs(target.get()))
        fail("\nCannot use the coordinate system %s: %s\n", named.c_str(),
             target ? "it is no coordinate system" : last_error(ctx.get()).c_str());
    check_named_grids(ctx.get(), target.get(), named);
    PjPtr op = operation_to(ctx.get(), target.get(), named);

    const std::size_t n = sbet.size();
    ConvertedTrajectory out;
    out.samples.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        out.samples[k] = {sbet[k].longitude * kDegrees, sbet[k].latitude * kDegrees, sbet[k].height,
                          las_time(sbet[k].time, time)};
    quilvor::refDataStruct* s = out.samples.data();
    const std::size_t stride = sizeof(quilvor::refDataStruct);
    proj_trans_generic(op.get(), PJ_FWD, &s->X, stride, n, &s->Y, stride, n, &s->Z, stride, n, nullptr, 0, 0);
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(s[k].X) || !std::isfinite(s[k].Y) || !std::isfinite(s[k].Z)) {
            // Again alone, for PROJ's reason: a place outside the system, or a transformation that failed.
            proj_errno_reset(op.get());
            proj_trans(op.get(), PJ_FWD, proj_coord(sbet[k].longitude * kDegrees, sbet[k].latitude * kDegrees,
                                                    sbet[k].height, 0.0));
            const int e = proj_errno(op.get());
            if (e != 0 && e != PROJ_ERR_COORD_TRANSFM_OUTSIDE_PROJECTION_DOMAIN && e != PROJ_ERR_COORD_TRANSFM_NO_OPERATION &&
                e != PROJ_ERR_COORD_TRANSFM_INVALID_COORD) {
                const char* why = proj_context_errno_string(ctx.get(), e);
                fail("\nSBET record %zu (latitude %.9f, longitude %.9f rad): the conversion into the coordinate "
                     "system %s failed: %s\n", k + 1, sbet[k].latitude, sbet[k].longitude,
                     named.c_str(), why != nullptr ? why : "unknown error");
            }
            fail("\nSBET record %zu (latitude %.9f, longitude %.9f rad) lies outside the coordinate system %s\n",
                 k + 1, sbet[k].latitude, sbet[k].longitude, named.c_str());
        }
        if (!quilvor::trajectory_value_fits(s[k]))
            fail("\nSBET record %zu gives X %g, Y %g, Z %g, T %g in the coordinate system %s: a trajectory holds "
                 "values up to %g\n", k + 1, s[k].X, s[k].Y, s[k].Z, s[k].T, named.c_str(),
                 quilvor::kLargestTrajectoryValue);
    }
    out.heights = heights_line(ctx.get(), target.get(), op.get(), sbet);
    return out;
}

}  // namespace navigation
