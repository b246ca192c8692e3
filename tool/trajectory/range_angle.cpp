// 3D distance, and range and incidence angle of returns from the trajectory.
#include <cmath>

#include "trajectory.h"

namespace quilvor {

std::size_t locate_sample(double t, std::size_t hint) {
    const refDataStruct* rd = _rd.data();
    const std::size_t n = _rd.size();
    // Returns in time order stay in their interval or step to the next one.
    if (hint + 1 < n && rd[hint].T <= t && t < rd[hint + 1].T) return hint;
    if (hint + 2 < n && rd[hint + 1].T <= t && t < rd[hint + 2].T) return hint + 1;
    // Samples come at an about steady rate: from the proportional guess, a few
    // steps reach the interval.
    if (n > 1 && rd[0].T <= t && t < rd[n - 1].T) {
        const double f = (t - rd[0].T) / (rd[n - 1].T - rd[0].T) * static_cast<double>(n - 1);
        std::size_t i = f < static_cast<double>(n - 2) ? static_cast<std::size_t>(f) : n - 2;
        for (int step = 0; step < 8; ++step) {
            if (t < rd[i].T) --i;  // i > 0 here, as T(0) <= t
            else if (rd[i + 1].T <= t) ++i;  // i + 1 < n - 1 here, as t < T(n - 1)
            else return i;
        }
    }
    std::size_t lo = 0, hi = n;  // the first sample later than t
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (t < rd[mid].T) hi = mid;
        else lo = mid + 1;
    }
    return lo == 0 ? 0 : lo - 1;
}

void range_and_angle(const unsigned char* rec, const torvane::LASHeader& h, const torvane::PointFormat& format,
                     std::size_t& cursor, uint16_t& range, float& angle) {
    const refDataStruct* rd = _rd.data();
    const std::size_t nRef = _rd.size();
    const double t = torvane::record_gps_time(rec, format);
    const std::size_t i = locate_sample(t, cursor);
    cursor = i;

    double refX, refY, refZ;
    if (t < rd[0].T || i + 1 == nRef) {
        // Outside the trajectory's time span: the nearest end sample.
        const refDataStruct& s = (t < rd[0].T) ? rd[0] : rd[i];
        refX = s.X;
        refY = s.Y;
        refZ = s.Z;
    } else {
        const refDataStruct& a = rd[i];
        const refDataStruct& b = rd[i + 1];
        const double refTDiff = b.T - a.T;
        refX = (b.X - a.X) * (t - a.T) / refTDiff + a.X;
        refY = (b.Y - a.Y) * (t - a.T) / refTDiff + a.Y;
        refZ = (b.Z - a.Z) * (t - a.T) / refTDiff + a.Z;
    }

    const double dx = refX - torvane::record_X(rec) * h.XScaleFactor - h.XOffset;
    const double dy = refY - torvane::record_Y(rec) * h.YScaleFactor - h.YOffset;
    const double dz = refZ - torvane::record_Z(rec) * h.ZScaleFactor - h.ZOffset;
    const double SquareHorizontalDistance = dx * dx + dy * dy;
    const double SquareVerticalDistance = dz * dz;

    const double rounded = std::sqrt(SquareHorizontalDistance + SquareVerticalDistance) + 0.5;
    // A range beyond 16 bits, infinite or not a number is stored as 65535.
    range = (rounded < 65536.0) ? static_cast<uint16_t>(rounded) : uint16_t{65535};

    if (SquareHorizontalDistance < 0.1) {
        angle = 0.0f;
    } else {
        const double HorizontalDistance = std::sqrt(SquareHorizontalDistance);
        const double VerticalDistance = std::sqrt(SquareVerticalDistance);
        angle = static_cast<float>(std::atan(HorizontalDistance / VerticalDistance) * (180.0 / M_PI));
    }
}

void calc_RangeAndAngle(const unsigned char* plas, const torvane::LASHeader* pH, const int32_t* LASRecID,
                        uint32_t nPts) {
    if (_rd.empty()) return;
    std::size_t cursor = 0;
    const torvane::PointFormat& format = torvane::point_format(pH->PointDataFormatID);
    for (uint32_t k = 0; k < nPts; ++k)
        range_and_angle(plas + LASRecID[k], *pH, format, cursor, _rangeVec[k], _angleVec[k]);
}

}  // namespace quilvor
