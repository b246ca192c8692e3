// The --sbet source of a trajectory: SBET files, coordinate systems named by
// LAS files, the conversion into the files' coordinates and time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "child_process.h"
#include "convert.h"
#include "las_builder.h"
#include "las_crs.h"
#include "las_input.h"
#include "sbet.h"
#include "sbet_source.h"
#include "sim_survey.h"
#include "survey_helpers.h"

using namespace testutil;

namespace {

// The failure message of f(), or "" when it does not fail.
template <class F>
std::string failure_of(F&& f) {
    try {
        f();
    } catch (const quilvor::Failure& failure) {
        return failure.message;
    }
    return "";
}

// The survey that convert() reads, made and checked as the programs make it.
quilvor::Survey listed;
void list_files(const std::vector<std::string>& names) {
    testing::internal::CaptureStdout();
    listed = quilvor::open_survey(names);
    testing::internal::GetCapturedStdout();
}

// A small simulated survey with its SBET, the table of its files made as the programs make it.

simsurvey::Summary survey_with_sbet(const std::string& dir, int minor, bool adjusted) {
    simsurvey::Options o;
    o.outDir = dir;
    o.length = 100;
    o.tile = 100;
    o.density = 0.2;
    o.versionMinor = minor;
    o.format = minor >= 4 ? 6 : 1;
    o.sbet = "traj.sbet";
    if (adjusted) o.timeBase = 1.6e8, o.adjustedTime = true;
    const simsurvey::Summary s = simsurvey::simulate(o);
    std::vector<std::string> names;
    for (const std::string& f : s.files) names.push_back(dir + "/" + f);
    list_files(names);
    return s;
}

std::vector<quilvor::refDataStruct> read_trajectory(const std::string& path) {
    std::ifstream f(path);
    std::vector<quilvor::refDataStruct> s;
    for (quilvor::refDataStruct r; f >> r.X >> r.Y >> r.Z >> r.T;) s.push_back(r);
    return s;
}

std::vector<quilvor::refDataStruct> convert(const navigation::SbetOptions& o) {
    testing::internal::CaptureStdout();
    try {
        const std::vector<quilvor::refDataStruct> s = navigation::trajectory_from_sbet(listed, o);
        testing::internal::GetCapturedStdout();
        return s;
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
}

// An SBET record's bytes.
void put_record(std::vector<unsigned char>& b, double t, double lat, double lon, double h) {
    const std::size_t at = b.size();
    b.resize(at + navigation::kSbetRecordBytes, 0);
    torvane::store(&b[at], t), torvane::store(&b[at + 8], lat), torvane::store(&b[at + 16], lon);
    torvane::store(&b[at + 24], h);
}

}  // namespace

TEST(Sbet, SimulatedTrajectoryComesBackInTheFilesCoordinatesAndTime) {
    // GeoTIFF keys and week seconds (LAS 1.2); OGC WKT and adjusted time, the week from the files (LAS 1.4).
    for (const auto& [minor, adjusted] : {std::pair{2, false}, std::pair{4, true}}) {
        TempDir d;
        survey_with_sbet(d.path, minor, adjusted);
        navigation::SbetOptions o;
        o.sbet = d / "traj.sbet";
        const std::vector<quilvor::refDataStruct> got = convert(o), truth = read_trajectory(d / "trajectory.txt");
        ASSERT_EQ(got.size(), truth.size()) << minor;
        for (std::size_t k = 0; k < got.size(); ++k) {
            ASSERT_NEAR(got[k].X, truth[k].X, 1e-3) << minor << " " << k;
            ASSERT_NEAR(got[k].Y, truth[k].Y, 1e-3) << minor << " " << k;
            ASSERT_NEAR(got[k].Z, truth[k].Z, 1e-3) << minor << " " << k;
            ASSERT_NEAR(got[k].T, truth[k].T, 1e-6) << minor << " " << k;
        }
        o.step = 1.0;  // every tenth sample
        EXPECT_EQ(convert(o).size(), (truth.size() - 1) / 10 + 1) << minor;
    }
}

TEST(Sbet, WeekRolloverIsFollowedAndAdjustedTimeTakesTheGivenWeek) {
    std::vector<unsigned char> b;
    put_record(b, 604799.5, 0.6, -2.1, 300);
    put_record(b, 0.5, 0.6, -2.1, 300);  // the next week
    const std::vector<navigation::SbetSample> s = navigation::parse_sbet(b.data(), b.size(), "r.sbet");
    EXPECT_EQ(s[1].time, 604800.5);
    const navigation::TimeConvention c{true, 2000};
    EXPECT_EQ(navigation::las_time(s[1].time, c), 2001 * 604800.0 + 0.5 - 1e9);
    EXPECT_EQ(navigation::week_of_sbet(604799.5, 2000 * 604800.0 + 604799.9 - 1e9), 2000);
    EXPECT_EQ(navigation::week_of_sbet(604799.5, 2001 * 604800.0 + 1.0 - 1e9), 2000);  // files after the rollover

    put_record(b, 0.4, 0.6, -2.1, 300);  // back by a tenth of a second: no rollover
    EXPECT_EQ(failure_of([&] { navigation::parse_sbet(b.data(), b.size(), "r.sbet"); }),
              "\nSBET file r.sbet, record 3: time 0.400000 goes back from 0.500000, which is no week rollover\n");
}

// A step back of more than half a week is a rollover, and each one adds a
// week; a step back of half a week or less is refused.
TEST(Sbet, WeekRolloverThresholdAndEveryRolloverAddsAWeek) {
    const double week = 604800.0;
    struct Case {
        std::vector<double> times;    // seconds of the week, as recorded
        std::vector<double> expected; // continuous; empty: refused
    };
    const Case cases[] = {
        {{400000.0, 400000.0 - week / 2}, {}},  // back by exactly half a week
        {{400000.0, 400000.0 - week / 2 - 0.5}, {400000.0, 400000.0 + week / 2 - 0.5}},
        {{300000.0, 100000.0}, {}},  // back by a third of a week
        {{604000.0, 200.0, 604000.0, 200.0, 300.0},
         {604000.0, week + 200.0, week + 604000.0, 2 * week + 200.0, 2 * week + 300.0}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> b;
        for (double t : c.times) put_record(b, t, 0.6, -2.1, 300);
        if (c.expected.empty()) {
            EXPECT_NE(failure_of([&] { navigation::parse_sbet(b.data(), b.size(), "r.sbet"); }).find("no week rollover"),
                      std::string::npos) << c.times[1];
            continue;
        }
        const std::vector<navigation::SbetSample> s = navigation::parse_sbet(b.data(), b.size(), "r.sbet");
        ASSERT_EQ(s.size(), c.expected.size());
        for (std::size_t k = 0; k < s.size(); ++k) EXPECT_EQ(s[k].time, c.expected[k]) << k;
    }
}

TEST(Sbet, DamagedFilesAreRefusedNamingTheRecord) {
    std::vector<unsigned char> b;
    put_record(b, 10, 0.6, -2.1, 300);
    put_record(b, 11, 0.6, -2.1, 300);
    EXPECT_EQ(failure_of([&] { navigation::parse_sbet(b.data(), b.size() - 5, "t.sbet"); }),
              "\nSBET file t.sbet: its size (267 bytes) is not a whole number of 136-byte records (record 2 is cut "
              "short)\n");
    std::vector<unsigned char> bad = b;
    torvane::store(&bad[136 + 8], 1.6);  // latitude beyond pi/2
    EXPECT_EQ(failure_of([&] { navigation::parse_sbet(bad.data(), bad.size(), "t.sbet"); }),
              "\nSBET file t.sbet, record 2: latitude 1.600000000 rad lies outside [-pi/2, pi/2]\n");
    bad = b;
    torvane::store(&bad[136 + 80], std::nan(""));  // a value the trajectory does not need
    EXPECT_EQ(failure_of([&] { navigation::parse_sbet(bad.data(), bad.size(), "t.sbet"); }),
              "\nSBET file t.sbet, record 2: value 11 is not a finite number\n");
}

TEST(Sbet, TrajectoryThatDoesNotCoverTheFilesIsRefused) {
    TempDir d;
    survey_with_sbet(d.path, 2, false);
    std::vector<unsigned char> b = read_file(d / "traj.sbet");
    b.resize(b.size() / 2 / 136 * 136);  // the first half of the flight
    write_file(d / "half.sbet", b);
    navigation::SbetOptions o;
    o.sbet = d / "half.sbet";
    const std::string message = failure_of([&] { convert(o); });
    EXPECT_NE(message.find("\nThe trajectory of " + (d / "half.sbet") + " (GPS time 345600.000000 to "),
              std::string::npos) << message;
    EXPECT_NE(message.find(") does not cover the returns of "), std::string::npos) << message;
}

TEST(Sbet, CoordinateSystemFromGeoTiffKeysThatDefineTheProjectionByParameters) {
    // A user-defined projected system: transverse Mercator on WGS 84 with the
    // parameters of UTM zone 10 north, as some writers store it.
    const std::vector<uint16_t> keys = {1, 1, 0, 11,
                                        1024, 0, 1, 1,         // projected
                                        2048, 0, 1, 4326,      // WGS 84
                                        3072, 0, 1, 32767,     // user-defined system
                                        3074, 0, 1, 32767,     // user-defined projection
                                        3075, 0, 1, 1,         // transverse Mercator
                                        3076, 0, 1, 9001,      // metres
                                        3080, 34736, 1, 0,     // natural origin longitude
                                        3081, 34736, 1, 1,     // natural origin latitude
                                        3082, 34736, 1, 2,     // false easting
                                        3083, 34736, 1, 3,     // false northing
                                        3092, 34736, 1, 4};    // scale at natural origin
    const std::string crs = navigation::crs_of_geotiff_keys(keys, {-123.0, 0.0, 500000.0, 0.0, 0.9996}, "");
    ASSERT_EQ(crs.rfind("+proj=", 0), 0u) << crs;  // a PROJ string, not an EPSG code
    const std::vector<navigation::SbetSample> sbet = {{10.0, 0.631, -2.1467, 300.0}};
    const navigation::ConvertedTrajectory a = navigation::convert_sbet(sbet, crs, {});
    const navigation::ConvertedTrajectory b = navigation::convert_sbet(sbet, "EPSG:32610", {});
    EXPECT_NEAR(a.samples[0].X, b.samples[0].X, 1e-3);
    EXPECT_NEAR(a.samples[0].Y, b.samples[0].Y, 1e-3);
    EXPECT_EQ(a.samples[0].Z, 300.0);
    // A system without a vertical datum keeps ellipsoidal heights and says by how much they differ.
    EXPECT_NE(b.heights.find("ellipsoidal"), std::string::npos) << b.heights;
    EXPECT_NE(b.heights.find(" m here, EGM96)"), std::string::npos) << b.heights;
    // One named by its EPSG code comes back as that code.
    EXPECT_EQ(navigation::crs_of_geotiff_keys({1, 1, 0, 1, 3072, 0, 1, 32610}, {}, ""), "EPSG:32610");
}

TEST(Sbet, FilesWithoutACoordinateSystemAskForOne) {
    TempDir d;
    survey_with_sbet(d.path, 2, false);
    // The same tiles without their record: a survey that names no coordinate system.
    simsurvey::Options o;
    o.outDir = d.path;
    o.length = 100;
    o.tile = 100;
    o.density = 0.2;
    const simsurvey::Summary s = simsurvey::simulate(o);
    std::vector<std::string> names = {d / s.files[0]};
    listed = quilvor::open_survey(names);
    navigation::SbetOptions so;
    so.sbet = d / "traj.sbet";
    EXPECT_EQ(failure_of([&] { convert(so); }),
              "\nFile " + names[0] + " names no coordinate system (no OGC WKT or GeoTIFF record): give the one of "
              "the LAS files with --crs\n");
    so.crs = "EPSG:32610";
    EXPECT_GT(convert(so).size(), 100u);
}

// Distances in the files' coordinates are labelled with the unit of the
// coordinate system the files name.
TEST(Sbet, DistanceUnitOfTheFilesCoordinateSystem) {
    const std::pair<const char*, const char*> units[] = {
        {"EPSG:32610", "m"},
        {"EPSG:2227", "US ft"},  // California zone 3, US survey feet
        {"EPSG:26910+5703", "m"},
        {"+proj=utm +zone=10 +units=ft +type=crs", "ft"},
        {"+proj=utm +zone=10 +units=us-ft +type=crs", "US ft"},
        {"no coordinate system", ""},
    };
    for (const auto& [crs, unit] : units) EXPECT_EQ(navigation::crs_distance_unit(crs), unit) << crs;

    for (const int minor : {2, 4}) {  // GeoTIFF keys; OGC WKT
        TempDir d;
        const simsurvey::Summary s = survey_with_sbet(d.path, minor, false);
        EXPECT_EQ(navigation::files_distance_unit(listed), "m") << minor;
        if (minor != 2) continue;
        // The first tile's key made a system in US survey feet: the files disagree.
        std::vector<unsigned char> b = read_file(d / s.files[0]);
        const unsigned char key[8] = {0x00, 0x0C, 0, 0, 1, 0, 0x62, 0x7F};  // 3072, 0, 1, 32610
        const auto at = std::search(b.begin(), b.end(), std::begin(key), std::end(key));
        ASSERT_NE(at, b.end());
        torvane::store<uint16_t>(&*(at + 6), 2227);
        write_file(d / s.files[0], b);
        list_files({d / s.files[0]});
        EXPECT_EQ(navigation::files_distance_unit(listed), "US ft");
        ASSERT_GE(s.files.size(), 2u);
        list_files({d / s.files[0], d / s.files[1]});
        EXPECT_EQ(navigation::files_distance_unit(listed), "coordinate units");
    }
}

TEST(Sbet, LasTrajectoryConvertsItAndTheToolAcceptsTheResult) {
    TempDir d;
    const simsurvey::Summary s = survey_with_sbet(d.path, 2, false);
    RunResult r = run_in(d.path, TRAJECTORY_BIN, {"las_list.txt", "nav.txt", "--sbet", "traj.sbet"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\nCoordinates:    EPSG:32610 (named by the LAS files)\n"), std::string::npos) << r.out;
    const std::vector<quilvor::refDataStruct> got = read_trajectory(d / "nav.txt"),
                                              truth = read_trajectory(d / "trajectory.txt");
    ASSERT_EQ(got.size(), truth.size());
    for (std::size_t k = 0; k < got.size(); k += 97) {
        EXPECT_NEAR(got[k].X, truth[k].X, 1e-3) << k;
        EXPECT_NEAR(got[k].Z, truth[k].Z, 1e-3) << k;
        EXPECT_NEAR(got[k].T, truth[k].T, 1e-6) << k;
    }
    std::vector<std::string> args = tool_args(s);
    args.push_back("-n");
    const RunResult withTruth = run_tool(d.path, args);
    args[1] = "nav.txt";
    const RunResult withSbet = run_tool(d.path, args);
    ASSERT_EQ(withSbet.status, 0) << withSbet.out;
    const std::string label = "Optimal Range Normalization Exponent:";
    EXPECT_EQ(withSbet.out.substr(withSbet.out.find(label), 60), withTruth.out.substr(withTruth.out.find(label), 60));
}

// A sparse file whose variable-length records declare far more than a file
// of that size could hold records of (every header but the written ones reads
// as zeros): the files' coordinate system is looked for in a few seconds and
// little memory, and the run asks for one.
TEST(Sbet, SparseFileDeclaringHugeVariableLengthRecordsIsWalkedQuickly) {
    TempDir d;
    const simsurvey::Summary s = survey_with_sbet(d.path, 2, false);
    const std::vector<unsigned char> tile = read_file(d / s.files[0]);
    const torvane::LASHeader original = torvane::header_from_bytes(tile.data());
    struct Case {
        uint32_t count;          // the declared number of records
        uint32_t written;        // headers written, each of a record of 65535 bytes
    } cases[] = {{UINT32_MAX, 0}, {61000, 61000}};
    for (const Case& c : cases) {
        const std::string name = d / "sparse.las";
        torvane::LASHeader h = original;
        h.NumberOfVariableLengthRecords = c.count;
        h.OffsetToData = 4000000000u;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        unsigned char head[torvane::LASHeaderSize];
        torvane::header_to_bytes(h, head);
        ASSERT_EQ(::pwrite(fd, head, sizeof(head), 0), static_cast<ssize_t>(sizeof(head)));
        unsigned char vlr[torvane::kVLRHeaderSize] = {};
        std::memcpy(vlr + 2, "LASF_Projection", 15);
        torvane::store<uint16_t>(vlr + 18, 2112);
        torvane::store<uint16_t>(vlr + 20, 65535);
        for (uint64_t k = 0, at = sizeof(head); k < c.written; ++k, at += sizeof(vlr) + 65535)
            ASSERT_EQ(::pwrite(fd, vlr, sizeof(vlr), static_cast<off_t>(at)), static_cast<ssize_t>(sizeof(vlr)));
        const std::size_t points = tile.size() - original.OffsetToData;
        ASSERT_EQ(::pwrite(fd, tile.data() + original.OffsetToData, points, h.OffsetToData),
                  static_cast<ssize_t>(points));
        ::close(fd);
        write_text(d / "sparse_list.txt", "sparse.las\n");
        const auto start = std::chrono::steady_clock::now();
        RunResult r = run_in(d.path, TRAJECTORY_BIN, {"sparse_list.txt", "nav.txt", "--sbet", "traj.sbet"});
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.status, 255) << r.out;
        EXPECT_NE(r.out.find("names no coordinate system"), std::string::npos) << r.out;
        EXPECT_LT(seconds, 10.0) << c.count;
        std::remove(name.c_str());
    }
}

// What LAS_Trajectory --sbet refuses, each with its message on standard
// output (naming where the value came from) and the system's reason on
// standard error, nothing written; and what it says of heights it could not
// convert, offline whatever PROJ_NETWORK says.
TEST(Sbet, HostileInputsAreRefusedNamingTheirSource) {
    TempDir d;
    const simsurvey::Summary s = survey_with_sbet(d.path, 2, false);
    std::vector<unsigned char> b = read_file(d / "traj.sbet");
    torvane::store(&b[24], 1e125);  // the first record's height
    write_file(d / "high.sbet", b);
    {
        torvane::FilePtr f(std::fopen((d / "huge.sbet").c_str(), "wb"));
        ASSERT_EQ(::ftruncate(::fileno(f.get()), 40000000001), 0);  // sparse: 40 GB, no whole number of records
    }
    ASSERT_EQ(::mkfifo((d / "fifo.sbet").c_str(), 0600), 0);
    write_text(d / "big.crs", "EPSG:32610" + std::string(300000, ' ') + "x");
    std::filesystem::create_directory(d / "home");
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
        int status;
    };
    const std::vector<Case> cases = {
        {{"--sbet", "high.sbet"}, "\nSBET record 1 gives X ", "", 255},
        {{"--sbet", "traj.sbet", "--crs", "+proj=tmerc +k=1e200 +type=crs"}, "\nSBET record 1 gives X ", "", 255},
        {{"--sbet", "traj.sbet", "--crs", "+proj=utm +zone=10 +nadgrids=missing.gsb +type=crs"},
         ": the grid missing.gsb that it names is not installed here\n", "", 255},
        {{"--sbet", "traj.sbet", "--crs", s.files[0]},
         "\nThe coordinate system file " + s.files[0] + " holds no coordinate system definition: it is not text\n", "",
         255},
        {{"--sbet", "traj.sbet", "--crs", "big.crs"},
         "\nThe coordinate system file big.crs is larger than 262144 bytes: it holds no coordinate system definition\n",
         "", 255},
        {{"--sbet", "huge.sbet"},
         "\nSBET file huge.sbet: its size (40000000001 bytes) is not a whole number of 136-byte records", "", 255},
        {{"--sbet", "none.sbet"}, "\nCannot open SBET file none.sbet for reading\n",
         "LAS_Trajectory: none.sbet: No such file or directory\n", 255},
        {{"--sbet", "fifo.sbet"}, "\nCannot open SBET file fifo.sbet for reading\n",
         "LAS_Trajectory: fifo.sbet: not a regular file\n", 255},
        {{"--sbet", "traj.sbet", "--crs", "EPSG:26910+5703"},
         "\n                NAVD88 height is reached only with the grid ", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + (c.args.size() > 2 ? c.args[3] : ""));
        std::vector<std::string> args = {"las_list.txt", "nav.txt"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildSetup setup;
        setup.env = {{"PROJ_NETWORK", "ON"}, {"HOME", d / "home"}, {"XDG_DATA_HOME", d / "home"}};
        const ChildResult r = run_child(d.path, TRAJECTORY_BIN, args, setup);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("converted to"), std::string::npos) << r.out;
        EXPECT_EQ(file_exists(d / "nav.txt"), c.status == 0);
        std::filesystem::remove(d / "nav.txt");
    }
    EXPECT_TRUE(std::filesystem::is_empty(d / "home"));  // no grid fetched, no cache
}

// The trajectory's output where it cannot be written: a missing folder, a
// folder, a file-size limit; the message, the system's reason, nothing left.
TEST(Sbet, OutputThatCannotBeWrittenSaysWhy) {
    TempDir d;
    survey_with_sbet(d.path, 2, false);
    std::filesystem::create_directory(d / "folder");
    const std::vector<std::tuple<std::string, bool, std::string, std::string>> cases = {
        {"no/nav.txt", false, "\nFailed to open file no/nav.txt for writing\n",
         "LAS_Trajectory: no/nav.txt: No such file or directory\n"},
        {"folder", false, "\nFailed to open file folder for writing\n", "LAS_Trajectory: folder: Is a directory\n"},
        {"nav.txt", true, "\nFailed to write trajectory nav.txt\n", "LAS_Trajectory: nav.txt: File too large\n"},
    };
    for (const auto& [output, full, out, err] : cases) {
        SCOPED_TRACE(output);
        ChildSetup setup;
        if (full) setup.fileSizeLimit = 1000;  // ulimit -f: a few lines of the trajectory
        const ChildResult r = run_child(d.path, TRAJECTORY_BIN, {"las_list.txt", output, "--sbet", "traj.sbet"}, setup);
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.out.find(out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(d / "nav.txt"));
        EXPECT_FALSE(file_exists(d / "no"));
    }
}

// GeoTIFF parameters beyond any real system are refused before the library
// builds a definition from them (a false easting of 1e308 overflowed its
// buffer); keys the library cannot read name no system, and it prints nothing.
TEST(Sbet, GeoTiffKeysOutOfRangeOrBrokenAreRefusedSilently) {
    const std::vector<uint16_t> userTM = {1, 1, 0, 6, 1024, 0, 1, 1, 2048, 0, 1, 4326, 3072, 0, 1, 32767,
                                          3075, 0, 1, 1, 3082, 34736, 1, 0, 3083, 34736, 1, 1};
    struct Case {
        std::vector<uint16_t> keys;
        std::vector<double> doubles;
        std::string ascii, crs, failure;
    };
    const std::vector<Case> cases = {
        {userTM, {1e308, 1e308}, "", "",
         "\nFile t.las: GeoTIFF parameter 1 is 1e+308, beyond what a coordinate system takes (at most 1e+09)\n"},
        {userTM, {500000.0, std::nan("")}, "", "",
         "\nFile t.las: GeoTIFF parameter 2 is nan, beyond what a coordinate system takes (at most 1e+09)\n"},
        // A key whose value lies beyond the doubles; a citation beyond the text; an unknown code.
        {{1, 1, 0, 4, 1024, 0, 1, 1, 3072, 0, 1, 32767, 3075, 0, 1, 1, 3082, 34736, 1, 9}, {1.0, 2.0}, "", "", ""},
        {{1, 1, 0, 2, 1024, 0, 1, 1, 1026, 34737, 50, 0}, {}, "ab", "", ""},
        {{1, 1, 0, 2, 1024, 0, 1, 1, 2048, 0, 1, 9999}, {}, "", "", ""},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        std::string crs;
        const std::string failure =
            failure_of([&] { crs = navigation::crs_of_geotiff_keys(c.keys, c.doubles, c.ascii, "t.las"); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(failure, c.failure);
        EXPECT_EQ(crs, c.crs);
    }
}
