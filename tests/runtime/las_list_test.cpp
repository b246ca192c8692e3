// The LAS file list and the checks of every listed file, through the real binary.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "las_builder.h"
#include "run_state.h"
#include "las_input.h"
#include "normalize.h"

using namespace testutil;

namespace {

// A small valid file with GPS time.
std::vector<unsigned char> valid_las(int minor = 2, int format = 1) {
    LasShape shape;
    shape.versionMinor = minor;
    shape.format = format;
    std::vector<Point> pts(2);
    pts[0].X = 1, pts[0].GPSTime = 10.0;
    pts[1].X = 3, pts[1].Y = 2, pts[1].GPSTime = 20.0;
    return make_las(shape, pts);
}

RunResult run_list(const TempDir& d, const std::string& list, std::vector<std::string> extra = {"-n"}) {
    write_text(d / "list.txt", list);
    std::vector<std::string> args = {"list.txt", "traj.txt", "1", "1", "1", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_tool(d.path, args);
}

std::string after_banner(const RunResult& r) { return r.out.substr(std::string(kBanner).size()); }

const std::string kNoTrajectory = "\nCannot open ASCII file with reference data traj.txt for reading\n";

}  // namespace

TEST(FileList, EmptyListAndShortNames) {
    TempDir d;
    RunResult r = run_list(d, " \n\t\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "\nInvalid contents in list.txt\n");
    r = run_list(d, "abc");
    EXPECT_EQ(after_banner(r), "\nFile name (abc) is too short\n");
}

TEST(FileList, TooManyNames) {
    TempDir d;
    std::string list;
    for (int k = 0; k < 65536; ++k) list += "a.las\n";
    const RunResult r = run_list(d, list);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "\nToo many LAS files listed in list.txt (at most 65535)\n");
}

TEST(FileList, TableHoldsNamesAndRaiNames) {
    // A directory part never reaches the RAI name; two names that end alike get
    // two RAI files, the same name listed twice shares one.
    const std::vector<std::string> names = {"a.las",    "b.las",     "survey/strip3.las", "old/strip3.las",
                                            "survey/strip3.las", "/d/a.las", "q/a_8.las", "y/a.las"};
    quilvor::_fileCount = static_cast<uint16_t>(names.size());
    quilvor::init_pairInfo(names);
    ASSERT_EQ(quilvor::_pairInfo.size(), names.size());
    const std::vector<std::string> rai = {"tmp_RAI_a.dat",   "tmp_RAI_b.dat",      "tmp_RAI_strip3.dat",
                                          "tmp_RAI_strip3_4.dat", "tmp_RAI_strip3.dat", "tmp_RAI_a_6.dat",
                                          "tmp_RAI_a_8.dat", "tmp_RAI_a_8_8.dat"};
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(quilvor::_pairInfo[i].RAIName, rai[i]) << i;
    EXPECT_EQ(quilvor::_pairInfo[1].LASName, "b.las");
    EXPECT_EQ(quilvor::_pairInfo[2].nPairs, 0u);
    EXPECT_EQ(quilvor::_pairInfo[2].meanRange, -1.0);
    EXPECT_EQ(quilvor::normalizedName("dir/swath_07.las"), "dir/swath_07_NormI.las");
}

TEST(FileList, RealFilesWithAndWithoutGpsTime) {
    if (!have_lasdata()) GTEST_SKIP() << "sample LAS files not present";
    TempDir d;
    for (const char* name : {"1.0_0.las", "1.1_0.las", "1.2_0.las", "1.2_2.las"}) {
        const RunResult r = run_list(d, lasdata(name));
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r), "File " + lasdata(name) + " does not contain GPS information [required]\n");
    }
    const RunResult ok = run_list(d, lasdata("1.0_1.las") + "\n" + lasdata("1.1_1.las") + " " + lasdata("1.2_1.las") +
                                         " " + lasdata("1.2_3.las") + " " + lasdata("lots_of_vlr.las"));
    EXPECT_EQ(after_banner(ok), kNoTrajectory);
    const RunResult trunc = run_list(d, lasdata("1.2-no-points.las"));
    EXPECT_EQ(after_banner(trunc), "\nFile " + lasdata("1.2-no-points.las") +
                                       " is truncated: its header declares 1065 points but it holds only 0\n");
    // The first rejected file ends the run; later names are not looked at.
    const RunResult order = run_list(d, lasdata("1.2_1.las") + " missing.las " + lasdata("1.2_0.las"));
    EXPECT_EQ(after_banner(order), "Unable to open file missing.las in file_access()\n\nFile missing.las does NOT exist\n");
}

TEST(FileList, UndefinedFormatsOfOldVersions) {
    TempDir d;
    write_file(d / "f3.las", valid_las(1, 3));
    EXPECT_EQ(after_banner(run_list(d, "f3.las")), kNoTrajectory);
    write_file(d / "f2.las", valid_las(0, 2));
    EXPECT_EQ(after_banner(run_list(d, "f2.las")), "File f2.las does not contain GPS information [required]\n");
    LasShape shape;
    shape.versionMinor = 1;
    shape.format = 3;
    shape.recordLength = 30;
    write_file(d / "f3s.las", make_las(shape, {Point{}}));
    EXPECT_EQ(after_banner(run_list(d, "f3s.las")),
              "\nData format of f3s.las (3) is incompatible with Length of Data Record (30)\n");
}

TEST(FileList, HeaderFieldsThatCannotBeProcessed) {
    TempDir d;
    std::vector<unsigned char> b = valid_las();
    b[96] = 200;  // OffsetToData below 227
    write_file(d / "o.las", b);
    EXPECT_EQ(after_banner(run_list(d, "o.las")), "\no.las is not a valid .las file\n\n");
    b = valid_las();
    torvane::store<double>(b.data() + 139, 0.0);  // Y scale factor
    write_file(d / "s.las", b);
    EXPECT_EQ(after_banner(run_list(d, "s.las")), "\ns.las is not a valid .las file\n\n");
    b = valid_las();
    torvane::store<double>(b.data() + 211, std::nan(""));  // MaxZ
    write_file(d / "n.las", b);
    EXPECT_EQ(after_banner(run_list(d, "n.las")), "\nn.las is not a valid .las file\n\n");
    b = valid_las();
    b.resize(200);
    write_file(d / "h.las", b);
    EXPECT_EQ(after_banner(run_list(d, "h.las")), "\nh.las is not a valid .las file\n\n");
    b = valid_las();
    torvane::store<uint32_t>(b.data() + 107, 80000000u);  // 80e6 x 28 bytes
    write_file(d / "big.las", b);
    EXPECT_EQ(after_banner(run_list(d, "big.las")),
              "\nFile big.las is too large: its point data exceed 2147483647 bytes\n");
    b = valid_las();
    b.resize(b.size() - 1);
    write_file(d / "t.las", b);
    EXPECT_EQ(after_banner(run_list(d, "t.las")),
              "\nFile t.las is truncated: its header declares 2 points but it holds only 1\n");
    // A LAS 1.4 count of 2^40 in a small file: the file is truncated, whatever it would need.
    b = valid_las(4, 6);
    torvane::store<uint64_t>(b.data() + offsetof(torvane::LASHeader, NumberOfPointRecords), uint64_t{1} << 40);
    write_file(d / "t14.las", b);
    EXPECT_EQ(after_banner(run_list(d, "t14.las")),
              "\nFile t14.las is truncated: its header declares 1099511627776 points but it holds only 2\n");
    // An X offset so large that every coordinate rounds to it: no geometry at all.
    b = valid_las();
    torvane::store<double>(b.data() + offsetof(torvane::LASHeader, XOffset), 1e300);
    write_file(d / "far.las", b);
    EXPECT_EQ(after_banner(run_list(d, "far.las")), "\nfar.las is not a valid .las file\n\n");
}

TEST(FileList, NamesThatAreNotRegularFilesAreRefusedWithoutOpening) {
    TempDir d;
    ASSERT_EQ(mkfifo((d / "pipe.las").c_str(), 0600), 0);  // opening it for reading would wait for a writer
    std::filesystem::create_directory(d / "dir.las");
    for (const char* name : {"pipe.las", "dir.las"}) {
        const RunResult r = run_list(d, name);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r), "\n" + std::string(name) + " is not a valid .las file\n\n");
    }
}

TEST(FileList, OutputNeverOverwritesAnInput) {
    TempDir d;
    write_file(d / "x.las", valid_las());
    write_file(d / "x_NormI.las", valid_las());
    const RunResult r = run_list(d, "x.las x_NormI.las", {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "\nOutput file x_NormI.las would overwrite input file x_NormI.las\n");
    std::filesystem::create_symlink("x.las", d / "y.las");
    std::filesystem::remove(d / "x_NormI.las");
    std::filesystem::create_symlink("x.las", d / "y_NormI.las");
    EXPECT_EQ(after_banner(run_list(d, "x.las y.las", {})),
              "\nOutput file y_NormI.las would overwrite input file x.las\n");
    // With "-n" nothing is written, so nothing is refused.
    EXPECT_EQ(after_banner(run_list(d, "x.las y.las", {"-n"})), kNoTrajectory);
}

TEST(FileList, TrajectoryCounting) {
    TempDir d;
    write_file(d / "a.las", valid_las());
    write_text(d / "traj.txt", "1 2 3\n");
    EXPECT_EQ(after_banner(run_list(d, "a.las")),
              "\n... Loading reference data ...\r\nNo reference data records in traj.txt\n");
    write_text(d / "traj.txt", "0 0 100 0\n10 10 110 100 1 2\n");  // ten tokens: two samples
    const RunResult r = run_list(d, "a.las");
    EXPECT_NE(r.out.find("Records:              2\n"), std::string::npos) << r.out;
}

TEST(FileList, LAS14HeadersThatCannotBeProcessed) {
    TempDir d;
    const std::vector<unsigned char> good = valid_las(4, 6);
    write_file(d / "good.las", good);
    EXPECT_EQ(after_banner(run_list(d, "good.las")), kNoTrajectory);
    auto refused = [&](const std::string& name, std::vector<unsigned char> b, const std::string& message) {
        write_file(d / name, b);
        EXPECT_EQ(after_banner(run_list(d, name)), message) << name;
    };
    std::vector<unsigned char> b = good;
    torvane::store<uint64_t>(b.data() + 247, 3);  // 64-bit count beyond the file's two records
    refused("count.las", b, "\nFile count.las is truncated: its header declares 3 points but it holds only 2\n");
    b = good;
    torvane::store<uint16_t>(b.data() + 94, 374);  // header size below the version's
    refused("hsize.las", b, "\nhsize.las is not a valid .las file\n\n");
    b = good;
    torvane::store<uint32_t>(b.data() + 107, 1);  // legacy count set and different from the 64-bit one
    refused("legacy.las", b, "\nlegacy.las is not a valid .las file\n\n");
    b = good;
    torvane::store<uint64_t>(b.data() + 235, b.size());  // an EVLR at the very end of the file
    torvane::store<uint32_t>(b.data() + 243, 1);
    refused("evlr.las", b,
            "\nFile evlr.las is truncated: its extended variable-length records lie beyond its end or inside its "
            "point data\n");
    b = good;
    torvane::store<uint64_t>(b.data() + 227, b.size() - 30);  // waveform data inside the point records
    refused("wave.las", b,
            "\nFile wave.las is truncated: its waveform data lie beyond its end or inside its point data\n");
}
