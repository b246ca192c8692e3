// Run state and working folder for in-process tests of the pair search.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "las_builder.h"
#include "pairs.h"
#include "run_state.h"

namespace pairtest {

// Each test runs in a fresh folder, where ~tmp_rpi and the RAI files go.
class InFolder : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::filesystem::path previous = std::filesystem::current_path();
    void SetUp() override { std::filesystem::current_path(dir.path); }
    void TearDown() override { std::filesystem::current_path(previous); }

    // One listed file a.las with these points, and a trajectory spanning the times 0 to 10000.
    void setup_run(const testutil::LasShape& shape, const std::vector<testutil::Point>& pts, double maxDist,
                   double radius, double minT, double maxT) {
        testutil::write_file("a.las", testutil::make_las(shape, pts));
        quilvor::_maxPairDist = maxDist;
        quilvor::_resolution = radius;
        quilvor::_minTimeBWSwaths = minT;
        quilvor::_maxTimeBWSwaths = maxT;
        quilvor::_fileCount = 1;
        quilvor::_pairInfo.assign(1, quilvor::pairStruct{"a.las", "tmp_RAI_a.dat", 0, -1.0});
        quilvor::_rd = {{0, 0, 1000, 0}, {100, 100, 1100, 10000}};
    }

    // Runs the stage; returns its output with the progress lines.
    std::string run_stage() {
        testing::internal::CaptureStdout();
        quilvor::pairDataToFile(0);
        return testing::internal::GetCapturedStdout();
    }

    std::vector<quilvor::RangeAngleIntensityStruct> rai() {
        const std::vector<unsigned char> b = testutil::read_file("tmp_RAI_a.dat");
        std::vector<quilvor::RangeAngleIntensityStruct> r(b.size() / 16);
        std::memcpy(r.data(), b.data(), r.size() * 16);
        return r;
    }

    // The (Intensity1, Intensity2) of every pair, in RAI order.
    std::vector<std::pair<int, int>> intensity_pairs() {
        std::vector<std::pair<int, int>> v;
        for (const auto& r : rai()) v.emplace_back(r.Intensity1, r.Intensity2);
        return v;
    }
};

}  // namespace pairtest
