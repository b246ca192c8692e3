// Smoothed best estimate of trajectory (SBET) files: the navigation solution
// of a survey, 17 little-endian doubles a record, time in GPS seconds of the
// week, latitude and longitude in radians, ellipsoidal height in metres.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace navigation {

inline constexpr std::size_t kSbetRecordBytes = 136;

// The fields of a record that a trajectory needs. The others (velocities,
// attitude, wander angle, accelerations, angular rates) are read past.
struct SbetSample {
    double time;       // GPS seconds of the week, unwrapped across week rollovers (+604800 after each)
    double latitude;   // radians
    double longitude;  // radians
    double height;     // metres above the ellipsoid
};

// Reads and checks a whole SBET file: a whole number of records, every
// value finite, latitudes within [-pi/2, pi/2] and longitudes within
// [-2 pi, 2 pi], time never going back but by a week rollover (followed).
// A failure ends the run with a message naming the file and the record.
std::vector<SbetSample> read_sbet(const std::string& path);
// The same, from the bytes of a file (for the reader and the tests).
std::vector<SbetSample> parse_sbet(const unsigned char* bytes, std::size_t size, const std::string& path);

// Writes samples as an SBET file (time as seconds of the week, wrapped back
// into [0, 604800)); the fields not held are 0. False when it cannot be written.
bool write_sbet(const std::string& path, const std::vector<SbetSample>& samples);

}  // namespace navigation
