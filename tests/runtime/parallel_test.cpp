// Work shared out over several threads: the same output and files as one thread, through the real binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "las_builder.h"
#include "parallel.h"
#include "run_state.h"
#include "survey_helpers.h"

using namespace testutil;

namespace {

// A run with the given environment; standard output without the CPU time.
RunResult run_with(const SimulatedSurvey& v, const char* threads, const char* memoryMB) {
    setenv("QUILVOR_THREADS", threads, 1);
    setenv("QUILVOR_MEMORY_MB", memoryMB, 1);
    RunResult r = run_tool(v.d.path, v.args);
    unsetenv("QUILVOR_THREADS");
    unsetenv("QUILVOR_MEMORY_MB");
    const std::size_t p = r.out.find("\nElapsed CPU time ");
    if (p != std::string::npos) r.out.erase(p);
    return r;
}

// Every file of the folder but the inputs, with its bytes; removed afterwards.
std::vector<std::pair<std::string, std::vector<unsigned char>>> take_products(const SimulatedSurvey& v) {
    std::vector<std::pair<std::string, std::vector<unsigned char>>> products;
    for (const auto& e : std::filesystem::directory_iterator(v.d.path)) {
        const std::string n = e.path().filename().string();
        const bool input = std::find(v.s.files.begin(), v.s.files.end(), n) != v.s.files.end();
        if (input || n == "las_list.txt" || n == "trajectory.txt") continue;
        products.emplace_back(n, std::filesystem::is_directory(e.path()) ? std::vector<unsigned char>{} : read_file(e.path()));
        if (!std::filesystem::is_directory(e.path())) std::filesystem::remove(e.path());
    }
    std::sort(products.begin(), products.end());
    return products;
}

}  // namespace

// Four tiles, and one tile of 334,000 returns: several blocks of the normalized copy per file.
TEST(Threads, SameBytesForEveryThreadCountAndMemoryBudget) {
    for (const double tile : {250.0, 500.0}) {
        SimulatedSurvey v(tile);
        ASSERT_GE(v.s.files.size(), tile == 250 ? 3u : 1u);
        const RunResult one = run_with(v, "1", "4096");
        ASSERT_EQ(one.status, 0) << one.out;
        const auto expected = take_products(v);
        ASSERT_EQ(expected.size(), v.s.files.size());  // the outputs alone
        for (const auto& [threads, memory] : {std::pair{"2", "4096"}, {"3", "4096"}, {"2", "0"}, {"1", "0"}}) {
            const RunResult r = run_with(v, threads, memory);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, one.out) << threads << " threads, " << memory << " MB, tile " << tile;
            EXPECT_TRUE(take_products(v) == expected) << threads << " threads, " << memory << " MB, tile " << tile;
        }
    }
}

TEST(Threads, FailureInALaterFileEndsAsOnOneThread) {
    SimulatedSurvey v;
    ASSERT_GE(v.s.files.size(), 4u);
    // The second tile's returns are stamped beyond the trajectory: its pair search fails.
    std::vector<unsigned char> b = read_file(v.d / v.s.files[1]);
    const torvane::LASHeader h = torvane::header_from_bytes(b.data());
    for (uint32_t k = 0; k < h.NumberOfPointReturns; k += 97)
        torvane::store<double>(b.data() + h.OffsetToData + k * h.PointDataRecordLength + 20, 1e9);
    write_file(v.d / v.s.files[1], b);
    const RunResult one = run_with(v, "1", "4096");
    EXPECT_EQ(one.status, 255);
    EXPECT_NE(one.out.find("lie outside the reference data"), std::string::npos);
    const auto leftBehind = take_products(v);  // the first tile's RAI file, as nothing is rolled back
    ASSERT_EQ(leftBehind.size(), 1u);
    for (const char* threads : {"2", "4"}) {
        const RunResult r = run_with(v, threads, "4096");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, one.out) << threads;
        EXPECT_TRUE(take_products(v) == leftBehind) << threads;
    }
}

TEST(Threads, OutputThatCannotBeRenamedEndsAsOnOneThread) {
    SimulatedSurvey v;
    ASSERT_GE(v.s.files.size(), 4u);
    // The third output's name is taken by a folder: refused when that copy is due.
    const std::string third = v.s.files[2].substr(0, v.s.files[2].size() - 4) + "_NormI.las";
    std::filesystem::create_directory(v.d / third);
    const RunResult one = run_with(v, "1", "4096");
    EXPECT_EQ(one.status, 255);
    // The copy's progress line comes first: the name is refused when that copy is due.
    const std::string tail = "\r  ... Normalizing intensity for file " + v.s.files[2] + "          \r" +
                             "\nFailed to open file " + third + " for writing intensity normalized data\n";
    ASSERT_GE(one.out.size(), tail.size());
    EXPECT_EQ(one.out.substr(one.out.size() - tail.size()), tail);
    const auto outputs = take_products(v);  // the first two outputs and the folder
    ASSERT_EQ(outputs.size(), 3u);
    const RunResult two = run_with(v, "2", "4096");
    EXPECT_EQ(two.status, 255);
    EXPECT_EQ(two.out, one.out);
    EXPECT_TRUE(take_products(v) == outputs);
}

TEST(Threads, JobsRunOnceEachAndTheLowestFailingJobsFailureIsThrown) {
    for (const unsigned threads : {1u, 3u}) {
        std::vector<std::atomic<int>> runs(50);
        quilvor::run_jobs(threads, runs.size(), [&](std::size_t job) { ++runs[job]; });
        for (std::size_t job = 0; job < runs.size(); ++job) EXPECT_EQ(runs[job], 1) << job << ", " << threads;
        std::atomic<int> ran{0};
        try {
            quilvor::run_jobs(threads, 20, [&](std::size_t job) {
                ++ran;
                if (job == 13 || job == 4) throw quilvor::Failure("job " + std::to_string(job));
            });
            ADD_FAILURE() << "no failure thrown";
        } catch (const quilvor::Failure& f) {
            EXPECT_EQ(f.message, "job 4");
        }
        EXPECT_EQ(ran, 20);
    }
}
