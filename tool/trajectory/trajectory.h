// Trajectory loading, time ordering, and the range and incidence angle of returns.
#pragma once

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

double Distance3D(double x1, double y1, double z1, double x2, double y2, double z2);

// Range and incidence angle of the nPts returns at byte offsets LASRecID (in
// non-decreasing GPS time) of plas, into _rangeVec and _angleVec.
void calc_RangeAndAngle(const unsigned char* plas, const torvane::LAS12Header* pH, const int32_t* LASRecID,
                        uint32_t nPts);

}  // namespace quilvor
