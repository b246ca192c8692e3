#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "las_builder.h"
#include "trajectory.h"

using namespace testutil;
using namespace quilvor;

namespace {

struct Batch {
    std::vector<unsigned char> plas;
    std::vector<int32_t> ids;
    torvane::LASHeader h{};
};

// Records of format 1 at the given real coordinates (scale 0.5) and times, in that order.
Batch batch(const std::vector<std::array<double, 4>>& returns) {
    Batch b;
    b.h.XScaleFactor = b.h.YScaleFactor = b.h.ZScaleFactor = 0.5;
    b.h.PointDataFormatID = 1;
    for (const auto& r : returns) {
        std::vector<unsigned char> rec(28, 0);
        torvane::store<int32_t>(rec.data(), static_cast<int32_t>(r[0] / 0.5));
        torvane::store<int32_t>(rec.data() + 4, static_cast<int32_t>(r[1] / 0.5));
        torvane::store<int32_t>(rec.data() + 8, static_cast<int32_t>(r[2] / 0.5));
        torvane::store<double>(rec.data() + 20, r[3]);
        b.ids.push_back(static_cast<int32_t>(b.plas.size()));
        b.plas.insert(b.plas.end(), rec.begin(), rec.end());
    }
    return b;
}

void compute(Batch& b) {
    _rangeVec.assign(b.ids.size(), 0);
    _angleVec.assign(b.ids.size(), -1.0f);
    calc_RangeAndAngle(b.plas.data(), &b.h, b.ids.data(), static_cast<uint32_t>(b.ids.size()));
}

}  // namespace

TEST(RangeAngle, WorkedExamples) {
    _rd = {{0, 0, 100, 0}, {10, 0, 100, 10}, {20, 0, 100, 20}};
    Batch b = batch({{100, 0, 0, 0.0},     // first sample time: 100 below, 100 aside
                     {5, 0, 0, 5.0},       // midway: under the mean position (5, 0, 100)
                     {10, 0, 0, 10.0},     // at a sample's time: under that sample
                     {10, 0, -0.5, 10.0},  // range 100.5 rounds up
                     {20, 0, 0, 20.0}});   // last sample time: under the last sample
    compute(b);
    EXPECT_EQ(_rangeVec[0], 141);
    EXPECT_FLOAT_EQ(_angleVec[0], 45.0f);
    EXPECT_EQ(_angleVec[0], static_cast<float>(std::atan(100.0 / 100.0) * (180.0 / M_PI)));
    for (int k = 1; k < 5; ++k) EXPECT_EQ(_angleVec[k], 0.0f) << k;
    EXPECT_EQ(_rangeVec[1], 100);
    EXPECT_EQ(_rangeVec[2], 100);
    EXPECT_EQ(_rangeVec[3], 101);
    EXPECT_EQ(_rangeVec[4], 100);
}

TEST(RangeAngle, DuplicateSampleTimesAreSteppedOver) {
    // Two samples at time 10: the later one in the array begins the next interval.
    _rd = {{0, 0, 100, 0}, {50, 0, 100, 10}, {10, 0, 100, 10}, {20, 0, 100, 20}};
    Batch b = batch({{10, 0, 0, 10.0}, {15, 0, 0, 15.0}, {15, 0, 0, 15.0}});
    compute(b);
    EXPECT_EQ(_rangeVec[0], 100);
    EXPECT_EQ(_angleVec[0], 0.0f);
    EXPECT_EQ(_angleVec[1], 0.0f);
    EXPECT_EQ(_rangeVec[1], _rangeVec[2]);  // one record twice: the same values
    EXPECT_EQ(_angleVec[1], _angleVec[2]);
}

TEST(RangeAngle, HorizontalReturnAndFarRanges) {
    _rd = {{0, 0, 0, 0}, {0, 100000, 0, 10}};
    Batch b = batch({{10, 0, 0, 0.0}, {0, -100000, 0, 10.0}});
    compute(b);
    EXPECT_EQ(_angleVec[0], 90.0f);  // no vertical difference
    EXPECT_EQ(_rangeVec[0], 10);
    EXPECT_EQ(_rangeVec[1], 65535);  // 200000 does not fit 16 bits
}

TEST(RangeAngle, Distance3D) {
    EXPECT_EQ(Distance3D(1, 2, 3, 1, 2, 3), 0.0);
    EXPECT_EQ(Distance3D(0, 0, 0, 3, 4, 12), 13.0);
}
