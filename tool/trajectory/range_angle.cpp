// 3D distance, and range and incidence angle of returns from the trajectory.
#include <cmath>

#include "trajectory.h"

namespace quilvor {

using torvane::load;

double Distance3D(double x1, double y1, double z1, double x2, double y2, double z2) {
    const double dx = x1 - x2;
    const double dy = y1 - y2;
    const double dz = z1 - z2;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

void calc_RangeAndAngle(const unsigned char* plas, const torvane::LAS12Header* pH, const int32_t* LASRecID,
                        uint32_t nPts) {
    const refDataStruct* rd = _rd.data();
    const std::size_t nRef = _rd.size();
    if (nRef == 0) return;
    const double XScale = pH->XScaleFactor, YScale = pH->YScaleFactor, ZScale = pH->ZScaleFactor;
    const double XOff = pH->XOffset, YOff = pH->YOffset, ZOff = pH->ZOffset;
    uint16_t* rangeVec = _rangeVec.data();
    float* angleVec = _angleVec.data();

    // i is the largest sample index with T(i) <= t: the return lies in the
    // interval [T(i), T(i+1)). Zero-length intervals are stepped over.
    std::size_t i = 0;
    for (uint32_t k = 0; k < nPts; ++k) {
        const unsigned char* rec = plas + LASRecID[k];
        const double t = load<double>(rec + torvane::withinRecordOffsetToGPSTime);
        while (i + 1 < nRef && rd[i + 1].T <= t) ++i;

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

        const double dx = refX - load<int32_t>(rec) * XScale - XOff;
        const double dy = refY - load<int32_t>(rec + 4) * YScale - YOff;
        const double dz = refZ - load<int32_t>(rec + 8) * ZScale - ZOff;
        const double SquareHorizontalDistance = dx * dx + dy * dy;
        const double SquareVerticalDistance = dz * dz;

        const double rounded = std::sqrt(SquareHorizontalDistance + SquareVerticalDistance) + 0.5;
        // A range beyond 16 bits, infinite or not a number is stored as 65535.
        rangeVec[k] = (rounded < 65536.0) ? static_cast<uint16_t>(rounded) : uint16_t{65535};

        if (SquareHorizontalDistance < 0.1) {
            angleVec[k] = 0.0f;
        } else {
            const double HorizontalDistance = std::sqrt(SquareHorizontalDistance);
            const double VerticalDistance = std::sqrt(SquareVerticalDistance);
            angleVec[k] = static_cast<float>(std::atan(HorizontalDistance / VerticalDistance) * (180.0 / M_PI));
        }
    }
}

}  // namespace quilvor
