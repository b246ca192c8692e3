// The --sbet source of a trajectory: the files' time and coordinate system,
// the conversion, the coverage check and the thinning.
#include "sbet_source.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "convert.h"
#include "las_crs.h"
#include "las_input.h"
#include "memory.h"
#include "sbet.h"

namespace navigation {

using quilvor::fail;

FileTimes file_times(quilvor::SurveyFile& entry) {
    const char* name = entry.name.c_str();
    quilvor::LasInput in = quilvor::open_las_input(entry, "\nFailed to open file %s for reading\n");
    FileTimes t;
    // Global encoding bit 0 from LAS 1.2 on; bytes 6 and 7 are reserved before.
    t.adjusted = in.header.VersionMinor >= 2 && (in.header.GlobalEncoding & 1) != 0;
    const std::size_t perBlock = (std::size_t{4} << 20) / in.recordLength;
    quilvor::Buffer<unsigned char> block;
    quilvor::RecordScratch scratch;
    block.resize_or_fail(perBlock * in.recordLength, "\nFailed to allocate memory for data from %s\n", name);
    for (uint32_t done = 0; done < in.points;) {
        const std::size_t n = std::min<std::size_t>(perBlock, in.points - done);
        quilvor::read_records(in, done, static_cast<uint32_t>(n), block.data(), scratch);
        for (std::size_t k = 0; k < n; ++k) {
            const double time = torvane::record_gps_time(block.data() + k * in.recordLength, *in.format);
            if (std::isnan(time)) fail("\nFile %s holds a return with an invalid GPS time\n", name);
            if (!t.any || time < t.first) t.first = time;
            if (!t.any || time > t.last) t.last = time;
            t.any = true;
        }
        done += static_cast<uint32_t>(n);
    }
    return t;
}

namespace {

// A coordinate system definition is a few kilobytes of text; a file far
// larger is no definition.
constexpr std::size_t kLargestCrsFile = std::size_t{1} << 18;

// The definition given with --crs: the content of a file of that name, or the
// text itself; label is how messages name it (the file's name for a file).
std::string given_crs(const std::string& crs, std::string& label) {
    struct stat st;
    label.clear();
    if (::stat(crs.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return crs;
    errno = 0;
    torvane::FilePtr f = torvane::open_regular_file(crs);
    if (!f) quilvor::fail_with_reason(quilvor::open_reason(crs), "\nCannot read the coordinate system file %s\n", crs.c_str());
    std::string s(kLargestCrsFile + 1, '\0');
    s.resize(std::fread(s.data(), 1, s.size(), f.get()));
    if (std::ferror(f.get())) quilvor::fail_because(errno, crs, "\nCannot read the coordinate system file %s\n", crs.c_str());
    if (s.size() > kLargestCrsFile)
        fail("\nThe coordinate system file %s is larger than %zu bytes: it holds no coordinate system definition\n",
             crs.c_str(), kLargestCrsFile);
    for (const char c : s)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\r' && c != '\t')
            fail("\nThe coordinate system file %s holds no coordinate system definition: it is not text\n",
                 crs.c_str());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    label = crs_for_messages(s) + " (file " + crs + ")";
    return s;
}

// The coordinate system every listed file names; the run ends when one names
// none or two disagree.
std::string files_crs(quilvor::Survey& survey) {
    std::string crs;
    for (std::size_t i = 0; i < survey.size(); ++i) {
        quilvor::LasInput in = quilvor::open_las_input(survey[i], "\nFailed to open file %s for reading\n");
        const std::string own = crs_of_records(read_las_records(in), survey[i].name);
        if (own.empty())
            fail("\nFile %s names no coordinate system (no OGC WKT or GeoTIFF record): give the one of the "
                 "LAS files with --crs\n", survey[i].name.c_str());
        if (i > 0 && own != crs)
            fail("\nFiles %s and %s name different coordinate systems (%s and %s): give the one to use with --crs\n",
                 survey[0].name.c_str(), survey[i].name.c_str(), crs_for_messages(crs).c_str(),
                 crs_for_messages(own).c_str());
        if (i == 0) crs = own;
    }
    return crs;
}

// Every file's span, and the convention they share.
std::vector<FileTimes> all_file_times(quilvor::Survey& survey, bool& adjusted) {
    std::vector<FileTimes> times;
    for (uint16_t i = 0; i < survey.size(); ++i) {
        times.push_back(file_times(survey[i]));
        if (times[i].adjusted != times[0].adjusted)
            fail("\nFiles %s and %s hold GPS time in different conventions (week seconds and adjusted standard "
                 "GPS time)\n", survey[0].name.c_str(), survey[i].name.c_str());
    }
    adjusted = !times.empty() && times[0].adjusted;
    return times;
}

// Ends the run unless the samples span every file's returns.
void check_coverage(const quilvor::Survey& survey, const std::vector<quilvor::refDataStruct>& s,
                    const std::vector<FileTimes>& times, const std::string& sbet) {
    for (std::size_t i = 0; i < times.size(); ++i) {
        if (!times[i].any) continue;
        if (times[i].first < s.front().T || times[i].last > s.back().T)
            fail("\nThe trajectory of %s (GPS time %.6f to %.6f) does not cover the returns of %s (%.6f to %.6f)\n",
                 sbet.c_str(), s.front().T, s.back().T, survey[i].name.c_str(), times[i].first, times[i].last);
    }
}

// One sample every step seconds (the first and the last always).
std::vector<quilvor::refDataStruct> thinned(const std::vector<quilvor::refDataStruct>& s, double step) {
    if (step <= 0.0 || s.size() < 3) return s;
    std::vector<quilvor::refDataStruct> out{s.front()};
    for (std::size_t k = 1; k + 1 < s.size(); ++k)
        if (s[k].T - out.back().T >= step - 1e-9) out.push_back(s[k]);
    out.push_back(s.back());
    return out;
}

}  // namespace

std::string files_distance_unit(quilvor::Survey& survey) {
    std::string crs;
    for (std::size_t i = 0; i < survey.size(); ++i) {
        quilvor::LasInput in = quilvor::open_las_input(survey[i], "\nFailed to open file %s for reading\n");
        const std::string own = crs_of_records(read_las_records(in), survey[i].name);
        if (own.empty() || (i > 0 && own != crs)) return "coordinate units";
        crs = own;
    }
    const std::string unit = crs.empty() ? "" : crs_distance_unit(crs);
    return unit.empty() ? "coordinate units" : unit;
}

std::vector<quilvor::refDataStruct> trajectory_from_sbet(quilvor::Survey& survey, const SbetOptions& o) {
    const std::vector<SbetSample> sbet = read_sbet(o.sbet);
    bool adjusted = false;
    const std::vector<FileTimes> times = all_file_times(survey, adjusted);
    std::string label;
    const std::string crs = o.crs.empty() ? files_crs(survey) : given_crs(o.crs, label);

    TimeConvention time;
    time.adjusted = adjusted;
    if (adjusted) {
        double start = INFINITY;
        for (const FileTimes& t : times) if (t.any) start = std::min(start, t.first);
        time.week = o.gpsWeek >= 0 ? o.gpsWeek : (std::isfinite(start) ? week_of_sbet(sbet.front().time, start) : 0);
    }
    const ConvertedTrajectory converted = convert_sbet(sbet, crs, time, label);
    check_coverage(survey, converted.samples, times, o.sbet);

    std::printf("\nSBET:           %s, %zu records, %.6f to %.6f s of the GPS week\n", o.sbet.c_str(), sbet.size(),
                sbet.front().time, sbet.back().time);
    std::printf("Coordinates:    %s (%s)\n", crs_for_messages(crs).c_str(),
                o.crs.empty() ? "named by the LAS files" : "--crs");
    if (adjusted)
        std::printf("Time:           adjusted standard GPS time, GPS week %d%s\n", time.week,
                    o.gpsWeek >= 0 ? " (--gps-week)" : " (from the LAS files' times)");
    else
        std::printf("Time:           seconds of the GPS week, as in the LAS files\n");
    std::printf("%s\n", converted.heights.c_str());
    return thinned(converted.samples, o.step);
}

}  // namespace navigation
