// LAS_Trajectory: the scan of the listed files in large blocks on the run's
// threads: the GPS-time span of every file, the seconds in which each point
// source ID has returns, and the first and last returns of multi-return pulses.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <unordered_map>

#include "las_input.h"
#include "las_trajectory.h"
#include "memory.h"
#include "parallel.h"

namespace las_trajectory {

using quilvor::fail;

void TimeSpan::add(double t) {
    if (empty) {
        first = last = t;
        empty = false;
        return;
    }
    first = std::min(first, t);
    last = std::max(last, t);
}

void TimeSpan::add(const TimeSpan& s) {
    if (s.empty) return;
    add(s.first);
    add(s.last);
}

uint64_t occupancy_key(uint16_t source, double t) {
    const uint64_t second = static_cast<uint64_t>(static_cast<int64_t>(std::floor(t)) + (int64_t{1} << 40));
    return (uint64_t{source} << 48) | second;
}

namespace {

// Blocks of about this size are read and scanned as one task.
constexpr std::size_t kBlockBytes = std::size_t{8} << 20;

struct Task {
    uint16_t file;
    uint32_t firstRecord, records;
};

// One thread's share of the scan; its seconds are found by key through a map.
struct ScanPart {
    SurveyScan scan;
    std::unordered_map<uint64_t, std::size_t> index;
    uint64_t lastKey = UINT64_MAX;
    std::size_t last = 0;
};

std::vector<Task> block_tasks(const quilvor::Survey& survey) {
    std::vector<Task> tasks;
    for (uint16_t i = 0; i < survey.size(); ++i) {
        const torvane::LASHeader& h = survey[i].header;
        const uint32_t points = static_cast<uint32_t>(torvane::point_count(h));
        const uint32_t perBlock = static_cast<uint32_t>(std::max<std::size_t>(1, kBlockBytes / h.PointDataRecordLength));
        for (uint32_t k = 0; k < points; k += std::min(perBlock, points - k))
            tasks.push_back({i, k, std::min(perBlock, points - k)});
    }
    return tasks;
}

void count_second(ScanPart& part, uint16_t source, double t) {
    const uint64_t key = occupancy_key(source, t);
    if (key != part.lastKey) {
        const auto [it, added] = part.index.try_emplace(key, part.scan.seconds.size());
        if (added) part.scan.seconds.push_back({key, 0, TimeSpan{}});
        part.lastKey = key;
        part.last = it->second;
    }
    Occupancy& o = part.scan.seconds[part.last];
    ++o.returns;
    o.span.add(t);
}

void scan_block(ScanPart& part, const quilvor::LasInput& in, uint16_t file, const unsigned char* block,
                std::size_t n, bool gatherPieces) {
    const torvane::LASHeader& h = in.header;
    const torvane::PointFormat& f = torvane::point_format(h.PointDataFormatID);
    const uint16_t len = h.PointDataRecordLength;
    TimeSpan span;
    for (std::size_t k = 0; k < n; ++k) {
        const unsigned char* r = block + k * len;
        const double t = torvane::record_gps_time(r, f);
        if (!(std::fabs(t) <= kLargestTime))
            fail("\nFile %s holds a GPS time (%g) that is not the time of a survey\n",
                 in.of->name.c_str(), t);
        span.add(t);
        const uint16_t source = torvane::record_point_source_id(r, f);
        count_second(part, source, t);
        if (!gatherPieces) continue;
        const int count = torvane::record_number_of_returns(r, f), number = torvane::record_return_number(r, f);
        if (count < 2 || (number != 1 && number != count)) continue;
        const torvane::RealXYZ p = torvane::decode_xyz(r, h);
        if (!(std::isfinite(p.X) && std::isfinite(p.Y) && std::isfinite(p.Z))) continue;  // beyond doubles
        part.scan.pieces.push_back({t, {p.X, p.Y, p.Z}, source, file, static_cast<uint8_t>(number),
                                    static_cast<uint8_t>(count)});
    }
    part.scan.files[file].add(span);
    part.scan.all.add(span);
    part.scan.returns += n;
}

// Scans the tasks taken in turn from next, reading each file's blocks through
// one opening of it.
void scan_tasks(quilvor::Survey& survey, ScanPart& part, const std::vector<Task>& tasks, std::atomic<std::size_t>& next,
                bool gatherPieces) {
    quilvor::Buffer<unsigned char> buffer;
    quilvor::RecordScratch scratch;
    quilvor::LasInput in;
    int open = -1;
    for (std::size_t k; (k = next.fetch_add(1)) < tasks.size();) {
        const Task& task = tasks[k];
        quilvor::SurveyFile& entry = survey[task.file];
        const char* name = entry.name.c_str();
        if (open != task.file) {
            in = quilvor::open_las_input(entry, "\nFailed to open file %s for reading\n");
            open = task.file;
        }
        const std::size_t bytes = std::size_t{task.records} * in.recordLength;
        buffer.resize_or_fail(bytes, "\nFailed to allocate memory for data from %s\n", name);
        quilvor::read_records(in, task.firstRecord, task.records, buffer.data(), scratch);
        scan_block(part, in, task.file, buffer.data(), task.records, gatherPieces);
    }
}

// The parts' findings in one scan, in an order that does not depend on how
// the blocks fell to the threads.
void merge_parts(std::vector<ScanPart>& parts, SurveyScan& scan) {
    std::unordered_map<uint64_t, std::size_t> index;
    for (ScanPart& part : parts) {
        scan.all.add(part.scan.all);
        scan.returns += part.scan.returns;
        for (std::size_t i = 0; i < scan.files.size(); ++i) scan.files[i].add(part.scan.files[i]);
        for (const Occupancy& o : part.scan.seconds) {
            const auto [it, added] = index.try_emplace(o.key, scan.seconds.size());
            if (added) scan.seconds.push_back({o.key, 0, TimeSpan{}});
            scan.seconds[it->second].returns += o.returns;
            scan.seconds[it->second].span.add(o.span);
        }
        scan.pieces.insert(scan.pieces.end(), part.scan.pieces.begin(), part.scan.pieces.end());
        std::vector<ReturnPiece>().swap(part.scan.pieces);
    }
    std::sort(scan.seconds.begin(), scan.seconds.end(),
              [](const Occupancy& a, const Occupancy& b) { return a.key < b.key; });
}

bool piece_before(const ReturnPiece& a, const ReturnPiece& b) {
    if (a.t != b.t) return a.t < b.t;
    if (a.source != b.source) return a.source < b.source;
    if (a.number != b.number) return a.number < b.number;
    if (a.count != b.count) return a.count < b.count;
    if (a.xyz != b.xyz) return a.xyz < b.xyz;
    return a.file < b.file;
}

}  // namespace

void scan_survey(quilvor::Survey& survey, SurveyScan& scan, bool gatherPieces) {
    const std::vector<Task> tasks = block_tasks(survey);
    const unsigned threads = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(quilvor::_threads, tasks.size())));
    std::vector<ScanPart> parts(threads);
    for (ScanPart& part : parts) part.scan.files.resize(survey.size());
    std::atomic<std::size_t> next{0};
    quilvor::run_parts(threads, [&](unsigned p) { scan_tasks(survey, parts[p], tasks, next, gatherPieces); });
    scan.files.assign(survey.size(), TimeSpan{});
    merge_parts(parts, scan);
    std::sort(scan.pieces.begin(), scan.pieces.end(), piece_before);
}

}  // namespace las_trajectory
