// A navigation solution in the coordinates and GPS-time convention of LAS files.
#pragma once

#include <string>
#include <vector>

#include "run_state.h"
#include "sbet.h"

namespace navigation {

// GPS time as the LAS files hold it: seconds of the GPS week, or adjusted
// standard GPS time (GPS seconds since 1980-01-06 less 1e9; global encoding bit 0).
struct TimeConvention {
    bool adjusted = false;
    int week = 0;  // adjusted time: the GPS week of the first SBET sample
};
// The LAS time of an SBET time (seconds of week, unwrapped): T = W x 604800 + seconds - 1e9
// for adjusted time, the seconds as they are otherwise.
inline double las_time(double seconds, const TimeConvention& c) {
    return c.adjusted ? static_cast<double>(c.week) * 604800.0 + seconds - 1e9 : seconds;
}
// The GPS week of an SBET that begins at firstSeconds (of its week) for LAS
// files whose earliest adjusted time is filesStart: the week that puts the
// SBET's start nearest the files' start.
int week_of_sbet(double firstSeconds, double filesStart);

// The samples in the coordinate system crs (any definition PROJ accepts) and
// the LAS time convention. heights says what the heights are: converted to
// the system's vertical datum where it has one that PROJ reaches here, or
// ellipsoidal, with the local geoid height where it is known.
struct ConvertedTrajectory {
    std::vector<quilvor::refDataStruct> samples;
    std::string heights;
};
// label names the system in messages (crs_for_messages(crs) when empty).
ConvertedTrajectory convert_sbet(const std::vector<SbetSample>& sbet, const std::string& crs, const TimeConvention& time,
                                 const std::string& label = "");

// The unit of the coordinate system's first axis (of its horizontal part):
// "m", "ft", "US ft", another unit's name, or empty when PROJ cannot tell.
std::string crs_distance_unit(const std::string& crs);

// A definition for messages: its first line, at most 60 characters.
std::string crs_for_messages(const std::string& crs);

}  // namespace navigation
