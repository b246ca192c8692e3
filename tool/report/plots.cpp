// The two plots: the variance curve with the exponent and its interval, and
// the mean intensity of the paired returns by range before and after the
// normalization. Drawn with cairo, written as PNG under a temporary name.
#include <cairo.h>
#include <errno.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "certainty.h"
#include "exponent.h"
#include "temp_files.h"

namespace quilvor {

namespace {

constexpr int kWidth = 800, kHeight = 520;
constexpr double kLeft = 90, kRight = 24, kTop = 48, kBottom = 66;

struct Colour {
    double r, g, b;
};
constexpr Colour kBlack{0, 0, 0}, kBlue{0.12, 0.35, 0.75}, kRed{0.80, 0.22, 0.15}, kBand{0.80, 0.87, 0.97},
    kGrid{0.88, 0.88, 0.88};

// Tick step of about a sixth of span: 1, 2 or 5 times a power of ten.
double tick_step(double span) {
    const double raw = span / 6;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * p >= raw) return m * p;
    return 10 * p;
}

// A plot frame: data limits and the cairo context that draws into it.
struct Frame {
    cairo_t* cr;
    double x0, x1, y0, y1;
    double px(double x) const { return kLeft + (x - x0) / (x1 - x0) * (kWidth - kLeft - kRight); }
    double py(double y) const { return kHeight - kBottom - (y - y0) / (y1 - y0) * (kHeight - kTop - kBottom); }
    void colour(Colour c) const { cairo_set_source_rgb(cr, c.r, c.g, c.b); }
    void text(double x, double y, const std::string& s, double size, double alignX, bool vertical = false) const {
        cairo_save(cr);
        cairo_set_font_size(cr, size);
        cairo_text_extents_t e;
        cairo_text_extents(cr, s.c_str(), &e);
        cairo_move_to(cr, x, y);
        if (vertical) cairo_rotate(cr, -M_PI / 2);
        cairo_rel_move_to(cr, -alignX * e.x_advance, 0);
        cairo_show_text(cr, s.c_str());
        cairo_restore(cr);
    }
    void line(const std::vector<double>& xs, const std::vector<double>& ys, Colour c, double width) const {
        colour(c);
        cairo_set_line_width(cr, width);
        for (std::size_t k = 0; k < xs.size(); ++k)
            k == 0 ? cairo_move_to(cr, px(xs[k]), py(ys[k])) : cairo_line_to(cr, px(xs[k]), py(ys[k]));
        cairo_stroke(cr);
    }
    void dots(const std::vector<double>& xs, const std::vector<double>& ys, Colour c, double radius) const {
        colour(c);
        for (std::size_t k = 0; k < xs.size(); ++k) {
            cairo_new_sub_path(cr);
            cairo_arc(cr, px(xs[k]), py(ys[k]), radius, 0, 2 * M_PI);
        }
        cairo_fill(cr);
    }
};

std::string number(double v, double step) {
    char b[32];
    const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    std::snprintf(b, sizeof b, "%.*f", decimals, std::fabs(v) < step * 1e-6 ? 0.0 : v);
    return b;
}

// Background, grid, ticks with their numbers, axis titles and the title.
void axes(const Frame& f, const std::string& title, const std::string& xTitle, const std::string& yTitle) {
    cairo_t* cr = f.cr;
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    const double sx = tick_step(f.x1 - f.x0), sy = tick_step(f.y1 - f.y0);
    cairo_set_line_width(cr, 1);
    for (double x = std::ceil(f.x0 / sx) * sx; x <= f.x1 + sx * 1e-9; x += sx) {
        f.colour(kGrid);
        cairo_move_to(cr, std::round(f.px(x)) + 0.5, kTop);
        cairo_line_to(cr, std::round(f.px(x)) + 0.5, kHeight - kBottom);
        cairo_stroke(cr);
        f.colour(kBlack);
        f.text(f.px(x), kHeight - kBottom + 18, number(x, sx), 12, 0.5);
    }
    for (double y = std::ceil(f.y0 / sy) * sy; y <= f.y1 + sy * 1e-9; y += sy) {
        f.colour(kGrid);
        cairo_move_to(cr, kLeft, std::round(f.py(y)) + 0.5);
        cairo_line_to(cr, kWidth - kRight, std::round(f.py(y)) + 0.5);
        cairo_stroke(cr);
        f.colour(kBlack);
        f.text(kLeft - 6, f.py(y) + 4, number(y, sy), 12, 1);
    }
    f.colour(kBlack);
    cairo_rectangle(cr, kLeft + 0.5, kTop + 0.5, kWidth - kLeft - kRight - 1, kHeight - kTop - kBottom - 1);
    cairo_stroke(cr);
    f.text((kLeft + kWidth - kRight) / 2, kHeight - 22, xTitle, 14, 0.5);
    f.text(24, (kTop + kHeight - kBottom) / 2, yTitle, 14, 0.5, true);
    f.text((kLeft + kWidth - kRight) / 2, 30, title, 16, 0.5);
}

// Limits of values with a margin of a twentieth either side, and room for
// the legend above (a share of the span).
void limits(const std::vector<double>& v, double& lo, double& hi, double legendRoom = 0) {
    lo = *std::min_element(v.begin(), v.end());
    hi = *std::max_element(v.begin(), v.end());
    const double span = hi > lo ? hi - lo : std::max(1.0, std::fabs(hi) / 10) * 10;
    lo -= span / 20;
    hi += span / 20 + span * legendRoom;
}

cairo_status_t write_to_file(void* closure, const unsigned char* data, unsigned int length) {
    std::FILE* f = static_cast<std::FILE*>(closure);
    return std::fwrite(data, 1, length, f) == length ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

// Draws with draw into a PNG named name in the plots folder.
template <class Draw>
void png(const std::string& name, Draw&& draw) {
    const std::string path = (std::filesystem::path(_extraOutputs.plotsDir) / name).string();
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
    cairo_t* cr = cairo_create(surface);
    draw(cr);
    cairo_destroy(cr);
    PendingOutput out;
    int error = 0;
    const bool drawn = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS;
    if (drawn && !begin_output(out, path)) error = errno;
    errno = 0;
    bool ok = drawn && error == 0 &&
              cairo_surface_write_to_png_stream(surface, write_to_file, out.file.get()) == CAIRO_STATUS_SUCCESS;
    if (drawn && error == 0 && !ok) error = errno;
    cairo_surface_destroy(surface);
    ok = ok && finish_output(out) && publish_output(out);
    if (!ok) fail_because(error != 0 ? error : errno, path, "\nCannot write the plot %s\n", path.c_str());
}

void legend(const Frame& f, int row, Colour c, const std::string& label) {
    const double x = kLeft + 16, y = kTop + 20 + 20 * row;
    f.colour(c);
    cairo_set_line_width(f.cr, 2.5);
    cairo_move_to(f.cr, x, y - 4);
    cairo_line_to(f.cr, x + 26, y - 4);
    cairo_stroke(f.cr);
    f.colour(kBlack);
    f.text(x + 34, y, label, 12, 0);
}

void variance_curve_plot(cairo_t* cr) {
    std::vector<double> xs, ys;
    for (const CurvePoint& p : _certainty.curve)
        if (std::isfinite(p.variance)) {
            xs.push_back(p.exponent);
            ys.push_back(p.variance);
        }
    ys.push_back(_postNormIntensityVar);
    double y0, y1;
    limits(ys, y0, y1, 0.25);
    ys.pop_back();
    const Frame f{cr, 0, 4.1, std::min(0.0, y0), y1};
    axes(f, "Within-pair intensity variance against the exponent", "Range normalization exponent (dimensionless)",
         "Within-pair variance after normalization (intensity units)");
    const ExponentInterval& iv = _certainty.interval;
    char label[160];
    if (iv.valid) {
        f.colour(kBand);
        const double a = f.px(iv.low), b = std::max(f.px(iv.high), a + 2);
        cairo_rectangle(cr, a, kTop + 1, b - a, kHeight - kTop - kBottom - 2);
        cairo_fill(cr);
        std::snprintf(label, sizeof label, "%.0f %% interval %.4f to %.4f (standard error %.4f)", iv.level * 100,
                      iv.low, iv.high, iv.standardError);
        legend(f, 2, kBand, label);
    }
    f.colour(kRed);
    cairo_set_line_width(cr, 1.5);
    cairo_move_to(cr, f.px(_normFactor), kTop);
    cairo_line_to(cr, f.px(_normFactor), kHeight - kBottom);
    cairo_stroke(cr);
    f.line(xs, ys, kBlue, 2.5);
    f.dots(xs, ys, kBlue, 3);
    f.dots({_normFactor}, {_postNormIntensityVar}, kRed, 5);
    legend(f, 0, kBlue, "variance after normalization");
    std::snprintf(label, sizeof label, "exponent %.4f, variance %.3f", _normFactor, _postNormIntensityVar);
    legend(f, 1, kRed, label);
}

void intensity_by_range_plot(cairo_t* cr) {
    std::vector<double> xs, raw, normalized, all;
    for (const RangeBin& b : _certainty.byRange) {
        xs.push_back((b.rangeLo + b.rangeHi) / 2);
        raw.push_back(b.raw);
        normalized.push_back(b.normalized);
    }
    if (xs.empty()) xs = raw = normalized = {0.0};
    all = raw;
    all.insert(all.end(), normalized.begin(), normalized.end());
    double x0, x1, y0, y1;
    limits(xs, x0, x1);
    limits(all, y0, y1, 0.25);
    const Frame f{cr, x0, x1, y0, y1};
    axes(f, "Mean intensity of the paired returns by range", "Range from the aircraft (coordinate units, m)",
         "Mean intensity (intensity units)");
    f.line(xs, raw, kRed, 2.5);
    f.dots(xs, raw, kRed, 3);
    f.line(xs, normalized, kBlue, 2.5);
    f.dots(xs, normalized, kBlue, 3);
    legend(f, 0, kRed, "raw intensity");
    char label[120];
    std::snprintf(label, sizeof label, "normalized with exponent %.3f (mean range %.1f)", _normFactor, _meanRange);
    legend(f, 1, kBlue, label);
}

}  // namespace

void draw_plots() {
    if (_extraOutputs.plotsDir.empty()) return;
    png("variance_curve.png", variance_curve_plot);
    png("intensity_by_range.png", intensity_by_range_plot);
}

}  // namespace quilvor
