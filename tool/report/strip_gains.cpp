// The strips of the paired returns and the fit of the exponent with a gain per strip.
#include "strip_gains.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <utility>

#include "pairs.h"
#include "run_state.h"

namespace quilvor {

StripGains _stripGains;

uint32_t StripGains::strip_of(uint16_t source, double t) const {
    if (sourceFirst.empty()) return UINT32_MAX;
    const uint32_t first = sourceFirst[source], last = sourceFirst[source + 1u];
    if (first == last) return UINT32_MAX;
    // Strips of one source meet half-way through the gap between them.
    uint32_t k = first;
    while (k + 1 < last && t > 0.5 * (strips[bySource[k]].lastTime + strips[bySource[k + 1]].firstTime)) ++k;
    return bySource[k];
}

double StripGains::gain_of(uint16_t source, double t) const {
    const uint32_t s = strip_of(source, t);
    return s == UINT32_MAX || !strips[s].estimable ? 1.0 : strips[s].gain;
}

std::string StripGains::name(uint32_t strip) const {
    const Strip& s = strips[strip];
    char text[96];
    if (sourceFirst[s.source + 1u] - sourceFirst[s.source] > 1)
        std::snprintf(text, sizeof text, "point source %u from GPS time %.1f", unsigned{s.source},
                      s.firstTime + _rd.front().T);
    else
        std::snprintf(text, sizeof text, "point source %u", unsigned{s.source});
    return text;
}

void GainTerms::add(uint32_t block, uint32_t a, uint32_t b, double u, double y, double rounding) {
    if (a > b) std::swap(a, b), u = -u, y = -y;
    const uint64_t key = (uint64_t{block} << 32) | (uint64_t{a} << 16) | b;
    if (key != lastKey) {
        const auto [at, added] = index.try_emplace(key, static_cast<uint32_t>(terms.size()));
        if (added) terms.push_back(GainTerm{block, a, b, 0, 0, 0, 0, 0, 0});
        last = at->second;
        lastKey = key;
    }
    GainTerm& t = terms[last];
    t.n += 1;
    t.su += u;
    t.suu += u * u;
    t.sy += y;
    t.suy += u * y;
    t.rounding += rounding;
}

namespace {

// The most strips the fit takes (a strip's number fits 16 bits, in a pair's strips and a term's key).
constexpr std::size_t kMaxStrips = 65535;

uint32_t root(std::vector<uint32_t>& parent, uint32_t s) {
    while (parent[s] != s) s = parent[s] = parent[parent[s]];
    return s;
}

// The groups of strips joined by pairs, the largest (by pairs) the main one;
// one parameter for each strip but the first of its group.
void group_strips(StripGains& g) {
    const std::size_t S = g.strips.size();
    std::vector<uint32_t> parent(S);
    std::iota(parent.begin(), parent.end(), 0u);
    for (const std::vector<uint16_t>& of : g.pairStrip)
        for (std::size_t k = 0; k + 1 < of.size(); k += 2) {
            const uint32_t a = root(parent, of[k]), b = root(parent, of[k + 1]);
            if (a != b) parent[std::max(a, b)] = std::min(a, b);
        }
    std::vector<uint64_t> pairs(S, 0);
    for (uint32_t s = 0; s < S; ++s) {
        g.strips[s].component = root(parent, s);
        pairs[g.strips[s].component] += g.strips[s].pairs;
    }
    g.mainComponent = static_cast<uint32_t>(std::max_element(pairs.begin(), pairs.end()) - pairs.begin());
    g.parameter.assign(S, -1);
    g.parameters = 1;
    for (uint32_t s = 0; s < S; ++s) {
        Strip& strip = g.strips[s];
        strip.estimable = strip.component == g.mainComponent && pairs[g.mainComponent] > 0;
        if (strip.component != s) g.parameter[s] = static_cast<int32_t>(g.parameters++);
    }
    // A group of one strip has no gain to fit; nor has the main group when it is alone.
    uint32_t inMain = 0;
    for (const Strip& s : g.strips) inMain += s.component == g.mainComponent;
    if (inMain < 2)
        for (Strip& s : g.strips) s.estimable = false;
}

// A stretch of time of one source's paired returns: their earliest and latest time.
struct Span {
    uint16_t source;
    int64_t bin;
    float first, last;
    bool operator<(const Span& o) const { return source != o.source ? source < o.source : bin < o.bin; }
};

// The paired returns gathered by source into spans of half the least time
// between swaths (no gap inside a span can end a strip), in source and time
// order: far fewer than the returns, so they are sorted instead of them.
std::vector<Span> paired_spans() {
    const double width = _minTimeBWSwaths / 2;
    std::vector<Span> spans;
    std::unordered_map<uint64_t, std::size_t> at;
    uint64_t lastKey = UINT64_MAX;
    std::size_t last = 0;
    for (const PairStrips& p : _pairStrips)
        for (std::size_t k = 0; k < p.source.size(); ++k) {
            const float t = p.time[k];
            const int64_t bin = static_cast<int64_t>(std::floor(t / width));
            const uint64_t key = (uint64_t{p.source[k]} << 48) ^ (static_cast<uint64_t>(bin) & 0xFFFFFFFFFFFFull);
            if (key != lastKey) {
                const auto [it, added] = at.try_emplace(key, spans.size());
                if (added) spans.push_back(Span{p.source[k], bin, t, t});
                last = it->second, lastKey = key;
            }
            Span& sp = spans[last];
            sp.first = std::min(sp.first, t), sp.last = std::max(sp.last, t);
        }
    std::sort(spans.begin(), spans.end());
    return spans;
}

// The strips of the spans: a strip ends where the source changes or the
// times leave a gap longer than the least time between swaths.
void strips_of_spans(const std::vector<Span>& spans, StripGains& g) {
    g.sourceFirst.assign(65537, 0);
    for (std::size_t k = 0; k < spans.size(); ++k) {
        const bool starts = k == 0 || spans[k].source != spans[k - 1].source ||
                            double{spans[k].first} - double{spans[k - 1].last} > _minTimeBWSwaths;
        if (starts) {
            Strip s;
            s.source = spans[k].source;
            s.firstTime = spans[k].first;
            g.strips.push_back(s);
            ++g.sourceFirst[s.source + 1u];
        }
        g.strips.back().lastTime = spans[k].last;
    }
    for (std::size_t s = 1; s < g.sourceFirst.size(); ++s) g.sourceFirst[s] += g.sourceFirst[s - 1];
    g.bySource.resize(g.strips.size());
    std::iota(g.bySource.begin(), g.bySource.end(), 0u);  // strips are made in source, then time, order
}

// The strips of the returns of the pairs of each file, and each strip's pairs and files.
void strips_of_pairs(StripGains& g) {
    for (uint16_t i = 0; i < _fileCount && i < _pairStrips.size(); ++i) {
        const PairStrips& p = _pairStrips[i];
        std::vector<uint16_t>& of = g.pairStrip[i];
        of.resize(p.source.size());
        for (std::size_t k = 0; k < of.size(); ++k) of[k] = static_cast<uint16_t>(g.strip_of(p.source[k], p.time[k]));
        for (std::size_t k = 0; k + 1 < of.size(); k += 2) {
            ++g.strips[of[k]].pairs;
            if (of[k + 1] != of[k]) ++g.strips[of[k + 1]].pairs;
            for (const uint16_t s : {of[k], of[k + 1]}) {
                std::vector<uint16_t>& files = g.strips[s].files;
                if (files.empty() || files.back() != i) files.push_back(i);
            }
        }
    }
}

// The normal equations of the fit (upper triangle of A, and b), each term weighted by weight[its block].
void normal_equations(const std::vector<GainTerm>& terms, const std::vector<double>* weight, std::vector<double>& A,
                      std::vector<double>& b) {
    const StripGains& g = _stripGains;
    const std::size_t P = g.parameters;
    A.assign(P * P, 0.0);
    b.assign(P, 0.0);
    for (const GainTerm& t : terms) {
        const double w = weight == nullptr ? 1.0 : (*weight)[t.block];
        if (w == 0) continue;
        A[0] += w * (t.suu - t.rounding);
        b[0] += w * t.suy;
        if (t.a == t.b) continue;
        const int32_t pa = g.parameter[t.a], pb = g.parameter[t.b];
        if (pa > 0) {
            A[std::size_t(pa)] += w * t.su;
            A[std::size_t(pa) * P + std::size_t(pa)] += w * t.n;
            b[std::size_t(pa)] += w * t.sy;
        }
        if (pb > 0) {
            A[std::size_t(pb)] -= w * t.su;
            A[std::size_t(pb) * P + std::size_t(pb)] += w * t.n;
            b[std::size_t(pb)] -= w * t.sy;
        }
        if (pa > 0 && pb > 0) A[std::size_t(std::min(pa, pb)) * P + std::size_t(std::max(pa, pb))] -= w * t.n;
    }
}

// Solves A x = b (A symmetric, its upper triangle of P x P given) by Cholesky,
// A = U' U, then U' z = b and U x = z; x in b. False when A is not positive definite.
bool solve_cholesky(std::vector<double>& A, std::vector<double>& b, std::size_t P) {
    for (std::size_t i = 0; i < P; ++i) {
        double d = A[i * P + i];
        for (std::size_t k = 0; k < i; ++k) d -= A[k * P + i] * A[k * P + i];
        if (!(d > 1e-9 * std::max(1.0, std::fabs(A[i * P + i])))) return false;
        const double u = std::sqrt(d);
        A[i * P + i] = u;
        for (std::size_t j = i + 1; j < P; ++j) {
            double v = A[i * P + j];
            for (std::size_t k = 0; k < i; ++k) v -= A[k * P + i] * A[k * P + j];
            A[i * P + j] = v / u;
        }
    }
    for (std::size_t i = 0; i < P; ++i) {
        double v = b[i];
        for (std::size_t k = 0; k < i; ++k) v -= A[k * P + i] * b[k];
        b[i] = v / A[i * P + i];
    }
    for (std::size_t i = P; i-- > 0;) {
        double v = b[i];
        for (std::size_t k = i + 1; k < P; ++k) v -= A[i * P + k] * b[k];
        b[i] = v / A[i * P + i];
    }
    return true;
}

}  // namespace

void assign_strips() {
    StripGains& g = _stripGains;
    g = StripGains{};
    g.pairStrip.assign(_fileCount, {});
    strips_of_spans(paired_spans(), g);
    if (g.strips.size() <= kMaxStrips) {
        strips_of_pairs(g);
        group_strips(g);
    } else {  // too many to fit: no strips, no fit
        g = StripGains{};
        g.pairStrip.assign(_fileCount, {});
    }
    std::vector<PairStrips>().swap(_pairStrips);
}

bool fit_strip_gains(const std::vector<GainTerm>& terms, const std::vector<double>* weight, double& exponent,
                     std::vector<double>& logGain) {
    const StripGains& g = _stripGains;
    std::vector<double> A, b;
    normal_equations(terms, weight, A, b);
    if (!solve_cholesky(A, b, g.parameters)) return false;
    exponent = b[0];
    // The log gains, each group's averaging 0.
    const std::size_t S = g.strips.size();
    logGain.assign(S, 0.0);
    std::vector<double> sum(S, 0.0), count(S, 0.0);
    for (std::size_t s = 0; s < S; ++s) {
        if (g.parameter[s] > 0) logGain[s] = b[std::size_t(g.parameter[s])];
        sum[g.strips[s].component] += logGain[s];
        count[g.strips[s].component] += 1;
    }
    for (std::size_t s = 0; s < S; ++s) logGain[s] -= sum[g.strips[s].component] / count[g.strips[s].component];
    return std::isfinite(exponent);
}

}  // namespace quilvor
