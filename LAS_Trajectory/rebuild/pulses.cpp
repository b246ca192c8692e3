// LAS_Trajectory: the pulses of the gathered returns, and the flight lines.
#include <algorithm>

#include "las_trajectory.h"

namespace las_trajectory {

namespace {

bool same_spot(const ReturnPiece& a, const ReturnPiece& b) { return a.count == b.count && a.xyz == b.xyz; }

// The pieces [lo, hi) share a GPS time and a source: one pulse when they hold
// one first and one last return (each perhaps listed twice).
void add_pulse(const std::vector<ReturnPiece>& pieces, std::size_t lo, std::size_t hi, std::vector<Pulse>& pulses,
               PulseCount& count) {
    const ReturnPiece *first = nullptr, *last = nullptr;
    for (std::size_t k = lo; k < hi; ++k) {
        const ReturnPiece& p = pieces[k];
        const ReturnPiece*& slot = p.number == 1 ? first : last;
        if (slot != nullptr && !same_spot(*slot, p)) {
            ++count.ambiguous;
            return;
        }
        if (slot == nullptr) slot = &p;
    }
    if (first == nullptr || last == nullptr) return;  // the other return lies in no listed file
    if (first->count != last->count) {
        ++count.ambiguous;
        return;
    }
    if (first->file != last->file) ++count.split;
    pulses.push_back({first->t, first->xyz, last->xyz, first->source});
}

}  // namespace

std::vector<Pulse> assemble_pulses(const std::vector<ReturnPiece>& pieces, PulseCount& count) {
    std::vector<Pulse> pulses;
    pulses.reserve(pieces.size() / 2);
    for (std::size_t lo = 0, hi; lo < pieces.size(); lo = hi) {
        hi = lo + 1;
        while (hi < pieces.size() && pieces[hi].t == pieces[lo].t && pieces[hi].source == pieces[lo].source) ++hi;
        add_pulse(pieces, lo, hi, pulses, count);
    }
    return pulses;
}

namespace {

// The stretches of each point source ID's returns without a gap of kLineGap.
std::vector<TimeSpan> source_stretches(const std::vector<Occupancy>& seconds) {
    std::vector<TimeSpan> stretches;
    for (std::size_t k = 0; k < seconds.size(); ++k) {
        const bool sameSource = k > 0 && occupancy_source(seconds[k].key) == occupancy_source(seconds[k - 1].key);
        if (!sameSource || seconds[k].span.first - stretches.back().last > kLineGap) stretches.push_back(TimeSpan{});
        stretches.back().add(seconds[k].span);
    }
    return stretches;
}

}  // namespace

std::vector<FlightLine> split_flight_lines(const std::vector<Occupancy>& seconds, const std::vector<Pulse>& pulses) {
    std::vector<TimeSpan> stretches = source_stretches(seconds);
    std::sort(stretches.begin(), stretches.end(), [](const TimeSpan& a, const TimeSpan& b) {
        return a.first < b.first || (a.first == b.first && a.last < b.last);
    });
    // Stretches that overlap in time are one aircraft at one time: one line.
    std::vector<FlightLine> lines;
    for (const TimeSpan& s : stretches) {
        if (!lines.empty() && s.first <= lines.back().span.last) lines.back().span.add(s);
        else lines.push_back(FlightLine{s, 0, 0});
    }
    for (FlightLine& line : lines) {
        const auto lo = std::lower_bound(pulses.begin(), pulses.end(), line.span.first,
                                         [](const Pulse& p, double t) { return p.t < t; });
        const auto hi = std::upper_bound(lo, pulses.end(), line.span.last,
                                         [](double t, const Pulse& p) { return t < p.t; });
        line.firstPulse = static_cast<std::size_t>(lo - pulses.begin());
        line.pulses = static_cast<std::size_t>(hi - lo);
    }
    return lines;
}

}  // namespace las_trajectory
