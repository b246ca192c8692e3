// Trajectory loading, time ordering, and the range and incidence angle of returns.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "run_state.h"

namespace quilvor {

// Reads the trajectory file (its name is the second argument), counts its
// samples, and leaves them ordered by time in _rd.
void load_reference_data(const char* refdatafile);

// Checks the _refDataRecords samples in _rd, prints the report block and
// returns the samples in ascending time.
std::vector<refDataStruct> sort_reference_data_by_time(const char* refdatafile);

// The square of the 3D distance of two points, the squares added in the order x, y, z.
inline double SquareDistance3D(double x1, double y1, double z1, double x2, double y2, double z2) {
    const double dx = x1 - x2;
    const double dy = y1 - y2;
    const double dz = z1 - z2;
    return dx * dx + dy * dy + dz * dz;
}
inline double Distance3D(double x1, double y1, double z1, double x2, double y2, double z2) {
    return std::sqrt(SquareDistance3D(x1, y1, z1, x2, y2, z2));
}

// The cosine of an incidence angle in degrees, converted with 0.01745329252.
inline double incidence_cosine(float angle) { return std::cos(static_cast<double>(angle) * 0.01745329252); }

// The trajectory interval of time t: the largest sample index i with T(i) <= t
// (0 before the first sample). hint, the interval of a return shortly before,
// makes a walk through returns in time order cost nothing per return; the
// answer is the same for any hint.
std::size_t locate_sample(double t, std::size_t hint);

// Range (whole units, at most 65535) and incidence angle (degrees) of the
// return whose record (of the given format) is rec: the aircraft position is
// interpolated between the samples around its GPS time. cursor carries the
// interval from one return to the next.
void range_and_angle(const unsigned char* rec, const torvane::LASHeader& h, const torvane::PointFormat& format,
                     std::size_t& cursor, uint16_t& range, float& angle);

// Range and incidence angle of the nPts returns at byte offsets LASRecID (in
// non-decreasing GPS time) of plas, records of the header's format, into
// _rangeVec and _angleVec.
void calc_RangeAndAngle(const unsigned char* plas, const torvane::LASHeader* pH, const int32_t* LASRecID,
                        uint32_t nPts);

}  // namespace quilvor
