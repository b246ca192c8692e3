// The coordinate system that LAS files name: their OGC WKT record or their
// GeoTIFF keys, as a definition PROJ accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Torvane_LiDAR.h"
#include "las_input.h"
#include "run_state.h"

namespace navigation {

// One variable-length record (or extended one) of a LAS file.
struct LasRecord {
    std::string user;  // user ID, up to its first zero byte
    uint16_t id = 0;
    std::vector<unsigned char> data;
};

// The projection records of an open listed file (the first of each record
// ID, among its variable-length and extended variable-length records), with
// their data.
std::vector<LasRecord> read_las_records(const quilvor::LasInput& in);

// The coordinate system of the records: the OGC WKT record (user
// "LASF_Projection", 2112) where there is one, else the GeoTIFF keys (34735,
// with 34736 and 34737) as "EPSG:code" (with "+code" for a vertical system)
// or, for keys that define the projection by its parameters, a PROJ string.
// Empty when the records name none. A GeoTIFF double parameter that is not
// a number or beyond +-1e9 ends the run naming file, before any library
// builds a definition from it; the libraries print nothing.
std::string crs_of_records(const std::vector<LasRecord>& records, const std::string& file = "");

// The same from GeoTIFF keys alone (key directory, doubles, ASCII).
std::string crs_of_geotiff_keys(const std::vector<uint16_t>& keys, const std::vector<double>& doubles,
                                const std::string& ascii, const std::string& file = "");

}  // namespace navigation
