// Helpers for tests: crafted LAS files, temporary folders and runs of the real binaries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Torvane_LiDAR.h"
#include "run_state.h"

namespace testutil {

struct Point {
    int32_t X = 0, Y = 0, Z = 0;
    uint16_t Intensity = 0;
    uint8_t bitfield = 0x09;  // return 1 of 1
    double GPSTime = 0.0;
    uint16_t PointSourceID = 0;
};

struct LasShape {
    int versionMinor = 2;
    int format = 1;
    uint16_t recordLength = 0;  // 0: the format's own length
    double scale = 1.0;
    double offset[3] = {0.0, 0.0, 0.0};
    bool autoExtent = true;     // extent from the points
    double minX = 0, maxX = 0, minY = 0, maxY = 0, minZ = 0, maxZ = 0;
    std::vector<unsigned char> preamble;  // bytes between the public header block and the points
    int64_t declaredPoints = -1;          // -1: the number of points
    // LAS 1.4: the legacy 32-bit counts set too for formats 0 to 5, or left 0
    // (formats 6 to 10 always leave them 0).
    bool legacyCounts = true;
    std::vector<unsigned char> tail;      // bytes after the points (waveform data, EVLRs)
};

std::vector<unsigned char> make_las(const LasShape& shape, const std::vector<Point>& points);
void write_file(const std::string& path, const std::vector<unsigned char>& bytes);
void write_text(const std::string& path, const std::string& text);
std::vector<unsigned char> read_file(const std::string& path);
bool file_exists(const std::string& path);

// A fresh folder below the system's temporary folder, removed with its content.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

struct RunResult {
    std::string out;  // standard output
    int status = -1;  // exit status, 255 for exit(-1)
};
// Runs a program in folder dir with the given arguments (each quoted).
RunResult run_in(const std::string& dir, const std::string& program, const std::vector<std::string>& args);
RunResult run_tool(const std::string& dir, const std::vector<std::string>& args);

std::string lasdata(const std::string& name);  // path of a real sample file
// Copies a real sample file into dir under the name copy, with list.txt naming it and a
// made-up trajectory traj.txt: a straight climb across its extent, high above its
// returns, spanning its GPS times. Returns the file's bytes.
std::vector<unsigned char> sample_survey(const std::string& sample, const std::string& dir, const std::string& copy);
bool have_lasdata();

// The banner as the tool prints it.
extern const char* const kBanner;

}  // namespace testutil

// Runs stmt in a child process whose standard output goes to standard error,
// and expects exit status 255 and output matching regex; a stage's failure is
// reported as main reports it.
#define EXPECT_FAILS_WITH(stmt, regex)                                             \
    EXPECT_EXIT(                                                                   \
        {                                                                          \
            std::fflush(stdout);                                                   \
            dup2(2, 1);                                                            \
            try {                                                                  \
                stmt;                                                              \
            } catch (const quilvor::Failure& failure) {                            \
                quilvor::end_run_with(failure);                                    \
            }                                                                      \
        },                                                                         \
        ::testing::ExitedWithCode(255), regex)
