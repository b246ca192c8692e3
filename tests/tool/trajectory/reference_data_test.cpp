#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "las_builder.h"
#include "trajectory.h"

using namespace testutil;
using namespace quilvor;

namespace {
// Loads a trajectory text; returns what was printed.
std::string load(const std::string& text) {
    TempDir d;
    write_text(d / "traj.txt", text);
    _rd.clear();
    testing::internal::CaptureStdout();
    try {
        load_reference_data((d / "traj.txt").c_str());
    } catch (const Failure& f) {
        testing::internal::GetCapturedStdout();
        ADD_FAILURE() << f.message;
        return "";
    }
    std::string out = testing::internal::GetCapturedStdout();
    const std::string name = d / "traj.txt";
    for (std::size_t p; (p = out.find(name)) != std::string::npos;) out.replace(p, name.size(), "traj.txt");
    return out;
}
void load_fails(const std::string& text, const std::string& regex) {
    TempDir d;
    write_text(d / "traj.txt", text);
    EXPECT_FAILS_WITH(load_reference_data((d / "traj.txt").c_str()), regex);
}
}  // namespace

TEST(ReferenceData, OrdersUnsortedSamplesAndReports) {
    const std::string out = load("X Y Z T\n30 3 103 300.5\n10 1 101 100.25\n20 2 102 200\n");
    EXPECT_EQ(out,
              "\n... Loading reference data ...\r"
              "                Reference Data             \n"
              "-------------------------------------------\n"
              "File: traj.txt\n"
              "Records:              3\n"
              "Minimum Time:       100.250000\n"
              "Maximum Time:       300.500000\n\n");
    ASSERT_EQ(_rd.size(), 3u);
    const double expectedT[3] = {100.25, 200.0, 300.5};
    const double expectedX[3] = {10.0, 20.0, 30.0};  // the heading line is no sample
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(_rd[k].T, expectedT[k]);
        EXPECT_EQ(_rd[k].X, expectedX[k]);
    }
}

// The rules of the trajectory text, each with a file that keeps to it or
// breaks it: the samples read (their X values in time order), or the message.
TEST(ReferenceData, TextRules) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<double> xs;  // empty: the run fails with message
        const char* message;
    };
    const std::string word40(50, 'w');
    const Case cases[] = {
        {"heading", "X Y Z T\n1 11 101 1\n2 12 102 2\n", {1, 2}, nullptr},
        {"heading after blank lines", "\n \nEast North Height Time\n1 11 101 1\n2 12 102 2\n", {1, 2}, nullptr},
        {"heading with a number", "X Y Z 4\n1 11 101 1\n2 12 102 2\n", {},
         "\nReference data in traj.txt, line 1: X is not a number\n"},
        {"word", "1 11 101 1\n2 NULL 100 2\n", {}, "\nReference data in traj.txt, line 2: NULL is not a number\n"},
        {"n/a", "X Y Z T\n\n1 11 101 1\n2 0 n/a 2\n", {}, "\nReference data in traj.txt, line 4: n/a is not a number\n"},
        {"dash", "1 11 101 1\n2 12 102 2\n3 - 100 3\n", {}, "\nReference data in traj.txt, line 3: - is not a number\n"},
        {"long word", "1 11 101 1\n" + word40 + " 12 102 2\n", {},
         nullptr},  // message checked below: the token cut to 40 bytes
        {"unit suffix", "1 11 101 1\n2m 12 102 2\n", {1, 2}, nullptr},
        {"short line", "1 11 101 1\n2 12 102 2\n3 0\n4 14 104 4\n", {},
         "\nReference data in traj.txt, line 3: 2 values; every line must hold whole X Y Z T samples\n"},
        {"long line", "1 11 101 1\n2 12 102 2 7\n3 13 103 3\n", {},
         "\nReference data in traj.txt, line 2: 5 values; every line must hold whole X Y Z T samples\n"},
        {"eight values a line", "1 11 101 1 2 12 102 2\n3 13 103 3 4 14 104 4\n", {1, 2, 3, 4}, nullptr},
        {"one value a line", "1\n11\n101\n1\n2\n12\n102\n2\n", {1, 2}, nullptr},
        {"free grouping from a first line of six", "1 11 101 1 2 12\n102 2 3 13 103 3\n", {1, 2, 3}, nullptr},
        {"short last line", "1 11 101 1\n2 12 102 2\n3 0\n", {1, 2}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir d;
        write_text(d / "traj.txt", c.text);
        if (c.xs.empty()) {
            const std::string expected =
                c.message != nullptr ? c.message
                                     : "\nReference data in traj.txt, line 2: " + word40.substr(0, 40) + " is not a number\n";
            // Run in the folder, so that the message names the file as given.
            const std::string cwd = std::filesystem::current_path();
            std::filesystem::current_path(d.path);
            EXPECT_EXIT(
                {
                    try {
                        load_reference_data("traj.txt");
                    } catch (const quilvor::Failure& f) {
                        std::fputs(f.message.c_str(), stderr);
                        std::exit(f.message == expected ? 7 : 8);
                    }
                    std::exit(9);
                },
                testing::ExitedWithCode(7), "");
            std::filesystem::current_path(cwd);
            continue;
        }
        load(c.text);
        std::vector<double> xs;
        for (const refDataStruct& r : _rd) xs.push_back(r.X);
        EXPECT_EQ(xs, c.xs);
    }
}

TEST(ReferenceData, EqualTimesEndWhereTheSortPutsThem) {
    // Four samples at one time: the sort's exchange order makes file positions 2, 3, 0, 1.
    load("0 0 0 5\n1 1 1 5\n2 2 2 5\n3 3 3 5\n9 9 9 1\n");
    ASSERT_EQ(_rd.size(), 5u);
    EXPECT_EQ(_rd[0].X, 9.0);
    std::vector<double> xs;
    for (int k = 1; k < 5; ++k) xs.push_back(_rd[k].X);
    std::vector<double> keys = {5, 5, 5, 5, 1};
    std::vector<int32_t> ind = {0, 1, 2, 3, 4};
    torvane::d_quicksort(keys.data(), 5, ind.data());
    for (int k = 1; k < 5; ++k) EXPECT_EQ(xs[k - 1], static_cast<double>(ind[k]));
}

TEST(ReferenceData, LongTokensAndLargeTimes) {
    const std::string out = load("500000.125 4000000.5 1300.25 1593456789.123456\n"
                                 "500100.125 4000100.5 1310.25 1593456799.654321\n");
    EXPECT_NE(out.find("Minimum Time: 1593456789.123456\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Maximum Time: 1593456799.654321\n"), std::string::npos) << out;
    EXPECT_EQ(_rd[0].T, 1593456789.123456);
}

TEST(ReferenceData, RefusedTrajectories) {
    load_fails("1 2 3 4\n", "Data range of X in .*traj.txt is zero");
    load_fails("5 1 1 1\n5 2 2 2\n", "Data range of X in");
    load_fails("1 2 3 7\n2 3 4 7\n", "Data range of T in");
    load_fails("1 2 3 7\n2 3 4", "Data range of X in");  // 7 tokens: one record
    load_fails("1 2 3 4\n2 nan 4 5\n", "hold a value that is not a finite number");
    load_fails("1 2 3 4\n2 3 inf 5\n", "hold a value that is not a finite number");
}

TEST(ReferenceData, TrajectoryBeyondTheMemoryLimitGetsItsOwnMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "a memory limit cannot be set under AddressSanitizer";
#endif
    TempDir d;
    Point p, q;
    p.GPSTime = 10, q.GPSTime = 20, q.X = 1;
    write_file(d / "a.las", make_las(LasShape{}, {p, q}));
    write_text(d / "list.txt", "a.las\n");
    {
        // Two million samples: 64 MB as samples, more than the process may have.
        std::string text;
        text.reserve(40u << 20);
        for (int k = 0; k < 2000000; ++k) text += std::to_string(k % 1000) + " 5 300 " + std::to_string(k) + "\n";
        write_text(d / "traj.txt", text);
    }
    const std::string cmd = "cd '" + d.path + "' && ulimit -v 60000 && exec '" + QUILVOR_BIN +
                            "' list.txt traj.txt 1 1 1 2 -n > out.txt 2>&1";
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
    const std::vector<unsigned char> out = read_file(d / "out.txt");
    const std::string tail = "\nFailed to allocate memory for reference data\n";
    const std::string s(out.begin(), out.end());
    ASSERT_GE(s.size(), tail.size()) << s;
    EXPECT_EQ(s.substr(s.size() - tail.size()), tail);
}
