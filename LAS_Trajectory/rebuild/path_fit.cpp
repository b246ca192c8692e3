// LAS_Trajectory: the path of one flight line from the beams of its pulses.
//
// The beam of a pulse runs through its first and its last return and through
// the scanner at the pulse's time. The path is a cubic B-spline in time; it is
// the one that brings the beams closest to it (the sum of the squared
// distances of the path's point at each pulse's time from the pulse's beam),
// with a faint penalty on its bends so that stretches without beams are
// bridged smoothly. Beams are weighted by how well they point (their length
// between first and last return over their range), and iteratively reweighted
// (Huber, then Tukey's biweight) so that returns off their beam (noise,
// multipath) lose their say.
#include <algorithm>
#include <cmath>

#include "las_trajectory.h"

namespace las_trajectory {

namespace {

constexpr double kAllowance = 2.0;  // the stated error over the formal one (see below)
constexpr std::size_t kErrorSamples = 500;
constexpr double kSmoothing = 0.01;  // weight of a control point's second difference, against beams of weight 1
constexpr double kHuber = 1.345, kBiweight = 4.685;
constexpr int kHuberRounds = 3, kBiweightRounds = 3;
constexpr std::size_t kBand = 11;    // control points four apart share no beam: 3 x 3 + 2

struct Beam {
    double t;
    XYZ a;         // the last return, about the path's origin
    XYZ u;         // the unit vector from the last to the first return
    double lever;  // the distance between them
};

XYZ sub(const XYZ& a, const XYZ& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const XYZ& a, const XYZ& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// The uniform cubic B-spline's four weights at u in [0, 1] of a segment.
void basis(double u, double b[4]) {
    const double v = 1.0 - u, u2 = u * u, u3 = u2 * u;
    b[0] = v * v * v / 6.0;
    b[1] = (3.0 * u3 - 6.0 * u2 + 4.0) / 6.0;
    b[2] = (-3.0 * u3 + 3.0 * u2 + 3.0 * u + 1.0) / 6.0;
    b[3] = u3 / 6.0;
}

// The segment of t (its first control point) and t's place in it.
std::size_t segment(const LinePath& p, double t, double& u) {
    const double x = (t - p.t0) / p.knot;
    const double last = static_cast<double>(p.control.size() - 4);
    const double i = std::clamp(std::floor(x), 0.0, last);
    u = x - i;
    return static_cast<std::size_t>(i);
}

std::vector<Beam> line_beams(const Pulse* pulses, std::size_t n, const XYZ& origin) {
    std::vector<Beam> beams;
    beams.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        const XYZ d = sub(pulses[k].first, pulses[k].last), a = sub(pulses[k].last, origin);
        const double lever = std::sqrt(dot(d, d));
        if (!(lever > 0 && std::isfinite(lever) && std::isfinite(dot(a, a)))) continue;  // no direction, or too far
        beams.push_back({pulses[k].t, a, {d[0] / lever, d[1] / lever, d[2] / lever}, lever});
    }
    return beams;
}

// The normal equations of the weighted beams and the smoothing penalty.
struct Normal {
    std::vector<double> a, b;
};

void add_beam(Normal& ne, const LinePath& path, const Beam& beam, double weight) {
    double u;
    const std::size_t i = segment(path, beam.t, u);
    double b[4];
    basis(u, b);
    double M[3][3];  // the projection across the beam
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) M[r][c] = (r == c ? 1.0 : 0.0) - beam.u[r] * beam.u[c];
    const XYZ Ma = {dot({M[0][0], M[0][1], M[0][2]}, beam.a), dot({M[1][0], M[1][1], M[1][2]}, beam.a),
                    dot({M[2][0], M[2][1], M[2][2]}, beam.a)};
    for (std::size_t m = 0; m < 4; ++m) {
        for (int r = 0; r < 3; ++r) {
            const std::size_t row = 3 * (i + m) + r;
            ne.b[row] += weight * b[m] * Ma[r];
            for (std::size_t n = m; n < 4; ++n)
                for (int c = (n == m ? r : 0); c < 3; ++c)
                    ne.a[row * (kBand + 1) + (3 * (i + n) + c - row)] += weight * b[m] * b[n] * M[r][c];
        }
    }
}

void add_smoothing(Normal& ne, std::size_t controls) {
    const double coef[3] = {1.0, -2.0, 1.0};
    for (std::size_t k = 0; k + 2 < controls; ++k)
        for (std::size_t p = 0; p < 3; ++p)
            for (std::size_t q = p; q < 3; ++q)
                for (std::size_t r = 0; r < 3; ++r) {
                    const std::size_t row = 3 * (k + p) + r, col = 3 * (k + q) + r;
                    ne.a[row * (kBand + 1) + (col - row)] += kSmoothing * coef[p] * coef[q];
                }
}

Normal normal_equations(const LinePath& path, const std::vector<Beam>& beams, const std::vector<double>& weight) {
    const std::size_t n = 3 * path.control.size();
    Normal ne{std::vector<double>(n * (kBand + 1), 0.0), std::vector<double>(n, 0.0)};
    for (std::size_t k = 0; k < beams.size(); ++k)
        if (weight[k] > 0) add_beam(ne, path, beams[k], weight[k]);
    add_smoothing(ne, path.control.size());
    return ne;
}

// Solves for the control points with the given weights of the beams.
bool solve_path(LinePath& path, const std::vector<Beam>& beams, const std::vector<double>& weight) {
    const std::size_t n = 3 * path.control.size();
    Normal ne = normal_equations(path, beams, weight);
    if (!solve_banded(ne.a, ne.b, n, kBand)) return false;
    for (std::size_t k = 0; k < path.control.size(); ++k) path.control[k] = {ne.b[3 * k], ne.b[3 * k + 1], ne.b[3 * k + 2]};
    return true;
}

XYZ local_position(const LinePath& p, double t) {
    double u;
    const std::size_t i = segment(p, t, u);
    double b[4];
    basis(u, b);
    XYZ x{0, 0, 0};
    for (std::size_t m = 0; m < 4; ++m)
        for (int r = 0; r < 3; ++r) x[r] += b[m] * p.control[i + m][r];
    return x;
}

// The distance of the path from a beam, and the range from its last return.
void beam_offset(const LinePath& p, const Beam& beam, double& distance, double& range) {
    const XYZ d = sub(local_position(p, beam.t), beam.a);
    const double along = dot(d, beam.u);
    range = std::sqrt(dot(d, d));
    distance = std::sqrt(std::max(0.0, dot(d, d) - along * along));
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// The weights of the next round from the distances of this one: how well
// each beam points, times the robust weight of its standardized distance.
void reweight(const LinePath& path, const std::vector<Beam>& beams, int round, std::vector<double>& weight) {
    std::vector<double> base(beams.size()), e(beams.size());
    double sum = 0;
    for (std::size_t k = 0; k < beams.size(); ++k) {
        double d, range;
        beam_offset(path, beams[k], d, range);
        const double s = beams[k].lever / std::max(range, beams[k].lever);
        base[k] = s * s;
        e[k] = d * s;
        sum += base[k];
    }
    const double scale = std::max(1.4826 * median(e), 1e-12);
    const double mean = sum / static_cast<double>(beams.size());
    for (std::size_t k = 0; k < beams.size(); ++k) {
        const double z = e[k] / scale;
        double h;
        if (round <= kHuberRounds) h = z <= kHuber ? 1.0 : kHuber / z;
        else h = z < kBiweight ? (1.0 - (z / kBiweight) * (z / kBiweight)) * (1.0 - (z / kBiweight) * (z / kBiweight)) : 0.0;
        weight[k] = base[k] / mean * h;
    }
}

void report_fit(LinePath& path, const std::vector<Beam>& beams, const std::vector<double>& weight) {
    double sum = 0;
    path.used = 0;
    for (std::size_t k = 0; k < beams.size(); ++k) {
        if (!(weight[k] > 0)) continue;
        double d, range;
        beam_offset(path, beams[k], d, range);
        sum += d * d;
        ++path.used;
    }
    path.rejected = beams.size() - path.used;
    path.rms = path.used > 0 ? std::sqrt(sum / static_cast<double>(path.used)) : 0.0;
}

void find_bridges(LinePath& path, const Pulse* pulses, std::size_t n) {
    double before = path.start;
    for (std::size_t k = 0; k <= n; ++k) {
        const double next = k < n ? pulses[k].t : path.end;
        if (next - before > kBridge) path.bridged.push_back({before, next, false});
        before = next;
    }
}

// ---------------------------------------------------------------------------
// How good the path is
//
// The fitted control points are c = N^-1 A'W y with N = A'WA + l S, where
// A'WA holds the weighted beams, S = D'D the penalty on second differences D
// and l its weight. Each beam's error across itself has a covariance C_k,
// measured from the residuals of the beams in two directions: across the
// beam along the track, and across the beam and the track (the two differ:
// first and last returns of one pulse lie in much the same plane across the
// track, so the beam's direction errs mostly within it). The true path bends:
// its second differences are taken as random with the RMS the fitted path
// shows where beams hold it (q per axis). The error of c then has the
// expected square
//     N^-1 G N^-1  +  l^2 N^-1 D'Q D N^-1,      G = sum of w^2 B'C B, Q = diag(q^2):
// the beams' noise carried through the fit, and what the penalty takes off
// the true bends. At a time t with spline weights b, with z = N^-1 b, the
// position's expected square error is z'Gz + l^2 |Dz|_Q^2. Where beams are
// dense the first term rules; over a bridged stretch the second grows with
// its length from the support at its ends.
//
// These are formal figures: they take the beams' errors as independent and
// the path's bends as white noise in its acceleration. Against the true path
// of simulated surveys the RMS error over a line came out 0.2 to 2.9 times
// the formal figure, about 1.1 in the mean square; the error stated is twice
// the formal one (kAllowance), which the true error exceeded on few lines,
// all of them with long bridges.
// ---------------------------------------------------------------------------

XYZ cross(const XYZ& a, const XYZ& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// The path's velocity at t (per knot spacing: only its direction is used).
XYZ local_velocity(const LinePath& p, double t) {
    double u;
    const std::size_t i = segment(p, t, u);
    const double v = 1.0 - u;
    const double d[4] = {-0.5 * v * v, 1.5 * u * u - 2.0 * u, -1.5 * u * u + u + 0.5, 0.5 * u * u};
    XYZ x{0, 0, 0};
    for (std::size_t m = 0; m < 4; ++m)
        for (int r = 0; r < 3; ++r) x[r] += d[m] * p.control[i + m][r];
    return x;
}

// The two unit directions across a beam: along the track, and across both.
bool across_directions(const LinePath& path, const Beam& beam, XYZ& e1, XYZ& e2) {
    const XYZ v = local_velocity(path, beam.t);
    const double along = dot(v, beam.u);
    XYZ m = {v[0] - along * beam.u[0], v[1] - along * beam.u[1], v[2] - along * beam.u[2]};
    const double len = std::sqrt(dot(m, m));
    if (!(len > 0)) return false;
    e1 = {m[0] / len, m[1] / len, m[2] / len};
    e2 = cross(beam.u, e1);
    return true;
}

// The weighted residual variances of the beams in the two directions across them.
void beam_variances(const LinePath& path, const std::vector<Beam>& beams, const std::vector<double>& weight,
                    double& s1, double& s2) {
    double sum1 = 0, sum2 = 0;
    std::size_t used = 0;
    for (std::size_t k = 0; k < beams.size(); ++k) {
        XYZ e1, e2;
        if (!(weight[k] > 0) || !across_directions(path, beams[k], e1, e2)) continue;
        const XYZ r = sub(local_position(path, beams[k].t), beams[k].a);
        sum1 += weight[k] * dot(r, e1) * dot(r, e1);
        sum2 += weight[k] * dot(r, e2) * dot(r, e2);
        ++used;
    }
    const double freedom = std::max(1.0, static_cast<double>(used) - 1.5 * static_cast<double>(path.control.size()));
    s1 = sum1 / freedom;
    s2 = sum2 / freedom;
}

// A beam whose direction errs by a variance v (over both directions across
// it) is, on average, nearer to points near its returns than to its true
// path point: the least squares of the distances pull the path toward the
// returns (downward) by the gradient of sum w * range * v * u. One last solve
// takes that pull off, with w v from the beams' residuals at the path: their
// variance there is range^2 v. On beams exact to the centimetre the pull is a
// few millimetres; returns scattered by a few centimetres otherwise leave the
// path low by a good part of a metre.
// ne: the normal equations of the weights, left factored for estimate_error.
bool solve_unpulled(LinePath& path, const std::vector<Beam>& beams, const std::vector<double>& weight, Normal& ne) {
    double s1, s2;
    beam_variances(path, beams, weight, s1, s2);
    ne = normal_equations(path, beams, weight);
    for (std::size_t k = 0; k < beams.size() && std::isfinite(s1 + s2); ++k) {
        double d, range;
        beam_offset(path, beams[k], d, range);
        if (!(weight[k] > 0) || !(range > beams[k].lever)) continue;
        const double pull = (s1 + s2) / range;
        double u;
        const std::size_t i = segment(path, beams[k].t, u);
        double b[4];
        basis(u, b);
        for (std::size_t m = 0; m < 4; ++m)
            for (int r = 0; r < 3; ++r) ne.b[3 * (i + m) + r] += pull * b[m] * beams[k].u[r];
    }
    if (!solve_banded(ne.a, ne.b, ne.b.size(), kBand)) return false;
    for (std::size_t k = 0; k < path.control.size(); ++k) path.control[k] = {ne.b[3 * k], ne.b[3 * k + 1], ne.b[3 * k + 2]};
    return true;
}

// G: every beam's error covariance (s1 e1e1' + s2 e2e2') / w, weighted by w^2,
// in the band storage of N.
std::vector<double> noise_matrix(const LinePath& path, const std::vector<Beam>& beams, const std::vector<double>& weight) {
    double s1, s2;
    beam_variances(path, beams, weight, s1, s2);
    std::vector<double> g(3 * path.control.size() * (kBand + 1), 0.0);
    for (std::size_t k = 0; k < beams.size(); ++k) {
        XYZ e1, e2;
        if (!(weight[k] > 0) || !across_directions(path, beams[k], e1, e2)) continue;
        double u;
        const std::size_t i = segment(path, beams[k].t, u);
        double b[4];
        basis(u, b);
        double C[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) C[r][c] = weight[k] * (s1 * e1[r] * e1[c] + s2 * e2[r] * e2[c]);
        for (std::size_t m = 0; m < 4; ++m)
            for (int r = 0; r < 3; ++r) {
                const std::size_t row = 3 * (i + m) + r;
                for (std::size_t n = m; n < 4; ++n)
                    for (int c = (n == m ? r : 0); c < 3; ++c)
                        g[row * (kBand + 1) + (3 * (i + n) + c - row)] += b[m] * b[n] * C[r][c];
            }
    }
    return g;
}

bool near_bridge(const LinePath& path, double t) {
    for (const TimeSpan& b : path.bridged)
        if (t >= b.first - kKnot && t <= b.last + kKnot) return true;
    return false;
}

// The RMS second difference of the control points per axis (the path's
// acceleration times the knot spacing squared, at the knots), where beams
// hold the path: inside the line, a knot away from its ends and its bridges.
XYZ bending(const LinePath& path) {
    XYZ sum{0, 0, 0}, all{0, 0, 0};
    std::size_t n = 0, nAll = 0;
    for (std::size_t k = 0; k + 2 < path.control.size(); ++k) {
        const double t = path.t0 + static_cast<double>(k) * path.knot;
        const bool held = t >= path.start + kKnot && t <= path.end - kKnot && !near_bridge(path, t);
        for (int r = 0; r < 3; ++r) {
            const double d = path.control[k][r] - 2.0 * path.control[k + 1][r] + path.control[k + 2][r];
            all[r] += d * d;
            if (held) sum[r] += d * d;
        }
        ++nAll;
        if (held) ++n;
    }
    if (n == 0) sum = all, n = nAll;
    XYZ q;
    for (int r = 0; r < 3; ++r) q[r] = std::sqrt(sum[r] / static_cast<double>(std::max<std::size_t>(n, 1)));
    return q;
}

// The expected square error of coordinate r of the path at t, given the
// factored N and G; z is a work vector of their size.
double square_error(const LinePath& path, const std::vector<double>& factor, const std::vector<double>& g, int r,
                    double t, const XYZ& q, std::vector<double>& z) {
    double u;
    const std::size_t i = segment(path, t, u);
    double b[4];
    basis(u, b);
    std::fill(z.begin(), z.end(), 0.0);
    for (std::size_t m = 0; m < 4; ++m) z[3 * (i + m) + r] = b[m];
    solve_factored(factor, z, z.size(), kBand);
    double noise = 0;
    for (std::size_t j = 0; j < z.size(); ++j) {
        noise += g[j * (kBand + 1)] * z[j] * z[j];
        for (std::size_t d = 1; d <= kBand && j + d < z.size(); ++d) noise += 2.0 * g[j * (kBand + 1) + d] * z[j] * z[j + d];
    }
    double bends = 0;
    for (std::size_t k = 0; k + 2 < path.control.size(); ++k)
        for (int a = 0; a < 3; ++a) {
            const double d = z[3 * k + a] - 2.0 * z[3 * (k + 1) + a] + z[3 * (k + 2) + a];
            bends += q[a] * q[a] * d * d;
        }
    return std::max(0.0, noise + kSmoothing * kSmoothing * bends);
}

// factor: N = A'WA + l S of the weights, factored.
void estimate_error(LinePath& path, const std::vector<Beam>& beams, const std::vector<double>& weight,
                    const std::vector<double>& factor) {
    const std::vector<double> g = noise_matrix(path, beams, weight);
    const XYZ q = bending(path);
    const std::size_t n = 3 * path.control.size();
    std::vector<double> z(n);
    path.error.clear();
    auto sample = [&](double t) {
        const double x = square_error(path, factor, g, 0, t, q, z), y = square_error(path, factor, g, 1, t, q, z);
        const double h = square_error(path, factor, g, 2, t, q, z);
        path.error.push_back({t, kAllowance * std::sqrt(x + y), kAllowance * std::sqrt(h)});
    };
    // In the middle of every knot interval of a bridged stretch, and of the
    // rest at most about kErrorSamples: each sample costs a solve of the line.
    const std::size_t stride = 1 + path.control.size() / kErrorSamples;
    for (std::size_t i = 0; i + 3 < path.control.size(); ++i) {
        const double t = path.t0 + (static_cast<double>(i) + 0.5) * path.knot;
        if (t < path.start || t > path.end) continue;
        if (i % stride == 0 || std::any_of(path.bridged.begin(), path.bridged.end(), [t](const TimeSpan& b) {
                return t >= b.first && t <= b.last;
            }))
            sample(t);
    }
    if (path.error.empty()) sample(0.5 * (path.start + path.end));  // a line shorter than half a knot interval
}

}  // namespace

PathError rms_error(const LinePath& path, double t0, double t1) {
    double h = 0, v = 0;
    std::size_t n = 0;
    for (const PathError& e : path.error) {
        if (e.t < t0 || e.t > t1) continue;
        h += e.horizontal * e.horizontal;
        v += e.vertical * e.vertical;
        ++n;
    }
    const double m = static_cast<double>(std::max<std::size_t>(n, 1));
    return {0.5 * (t0 + t1), std::sqrt(h / m), std::sqrt(v / m)};
}

std::size_t pulses_needed(double seconds) { return std::max<std::size_t>(100, static_cast<std::size_t>(std::ceil(5.0 * seconds))); }

bool fit_line_path(const FlightLine& line, const Pulse* pulses, LinePath& path) {
    path.start = line.span.first;
    path.end = line.span.last;
    path.knot = kKnot;
    path.t0 = path.start - kMargin - kKnot;
    const std::size_t segments = static_cast<std::size_t>(std::ceil((path.end + kMargin + kKnot - path.t0) / kKnot));
    path.control.assign(segments + 3, XYZ{0, 0, 0});
    path.origin = line.pulses > 0 ? pulses[0].last : XYZ{0, 0, 0};
    const std::vector<Beam> beams = line_beams(pulses, line.pulses, path.origin);
    if (beams.empty()) return false;
    std::vector<double> weight(beams.size());
    double mean = 0;
    for (const Beam& b : beams) mean += b.lever * b.lever;
    mean /= static_cast<double>(beams.size());
    for (std::size_t k = 0; k < beams.size(); ++k) weight[k] = beams[k].lever * beams[k].lever / mean;
    if (!solve_path(path, beams, weight)) return false;
    for (int round = 1; round <= kHuberRounds + kBiweightRounds; ++round) {
        reweight(path, beams, round, weight);
        if (!solve_path(path, beams, weight)) return false;
    }
    Normal ne;
    if (!solve_unpulled(path, beams, weight, ne)) return false;
    report_fit(path, beams, weight);
    find_bridges(path, pulses, line.pulses);
    estimate_error(path, beams, weight, ne.a);
    return true;
}

XYZ path_position(const LinePath& path, double t) {
    const XYZ x = local_position(path, t);
    return {path.origin[0] + x[0], path.origin[1] + x[1], path.origin[2] + x[2]};
}

}  // namespace las_trajectory
