// The JSON report and the plots, through the real binary on a small simulated survey.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>
#include <nlohmann/json.hpp>

#include "Torvane_LiDAR.h"
#include "certainty.h"
#include "child_process.h"
#include "las_builder.h"
#include "survey_helpers.h"

using namespace testutil;
using Json = nlohmann::json;

namespace {

// A small survey of four files, run once with -n and both extra outputs.
struct Survey {
    TempDir dir;
    std::vector<std::string> args;
    RunResult run;
    Json report;
    Survey() {
        simsurvey::Options o;
        o.outDir = dir.path;
        o.length = 240;
        o.tile = 120;
        o.density = 1.0;
        args = tool_args(simsurvey::simulate(o));
        std::vector<std::string> a = args;
        for (const char* s : {"-n", "--report", "out/report.json", "--plots", "plots"}) a.push_back(s);
        std::system(("mkdir -p " + dir / "out").c_str());
        run = run_tool(dir.path, a);
        if (run.status != 0) return;
        const std::vector<unsigned char> b = read_file(dir / "out/report.json");
        report = Json::parse(std::string(b.begin(), b.end()));
    }
};

Survey& survey() {
    static Survey s;
    return s;
}

std::string line_with(const std::string& out, const std::string& label) {
    const std::size_t at = out.find(label);
    if (at == std::string::npos) return "";
    return out.substr(at, out.find('\n', at) - at);
}

std::string fixed3(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%9.3f", v);
    return b;
}

}  // namespace

TEST(Report, AgreesWithThePrintedSummary) {
    Survey& s = survey();
    ASSERT_EQ(s.run.status, 0) << s.run.out;
    const Json& j = s.report;
    const std::string& out = s.run.out;
    EXPECT_EQ(line_with(out, "Optimal Range"), "Optimal Range Normalization Exponent:" + std::string(13, ' ') + fixed3(j["exponent"]));
    EXPECT_EQ(line_with(out, "Pre-normalization"),
              "Pre-normalization within-pair intensity variance: " + fixed3(j["variance_before"]));
    EXPECT_EQ(line_with(out, "Post-normalization"),
              "Post-normalization within-pair intensity variance:" + fixed3(j["variance_after"]));
    char total[80];
    std::snprintf(total, sizeof total, "%-40s %8llu %9.3f", "Total:", j["pairs"].get<unsigned long long>(),
                  j["mean_range"].get<double>());
    EXPECT_EQ(line_with(out, "Total:"), total);
    ASSERT_EQ(j["files"].size(), 4u);
    for (const Json& f : j["files"]) {
        char row[120];
        std::snprintf(row, sizeof row, "%-40s %8u %9.3f", f["name"].get<std::string>().c_str(),
                      f["pairs"].get<unsigned>(), f["mean_range"].get<double>());
        EXPECT_NE(out.find(std::string("\n") + row + "\n"), std::string::npos) << row;
    }
    EXPECT_EQ(j["arguments"]["list_file"], "las_list.txt");
    EXPECT_EQ(j["arguments"]["normalize"], false);
}

TEST(Report, PerFileFiguresAddUpAndEachFileIsItsOwnRun) {
    Survey& s = survey();
    ASSERT_EQ(s.run.status, 0) << s.run.out;
    const Json& j = s.report;
    double pairs = 0, ranges = 0, squares = 0;
    for (const Json& f : j["files"]) {
        const double n = f["pairs"];
        pairs += n;
        ranges += n * f["mean_range"].get<double>();
        squares += n * std::pow(f["variance_before"].get<double>(), 2);
    }
    const double all = j["pairs"];
    EXPECT_EQ(pairs, all);
    EXPECT_NEAR(ranges / all, j["mean_range"].get<double>(), 1e-9);
    EXPECT_NEAR(std::sqrt(squares / all), j["variance_before"].get<double>(), 1e-9);
    // A file's figures are those of a run on that file alone.
    const Json& f = j["files"][1];
    write_text(s.dir / "one.txt", f["name"].get<std::string>() + "\n");
    std::vector<std::string> a = s.args;
    a[0] = "one.txt";
    for (const char* x : {"-n", "--report", "one.json"}) a.push_back(x);
    ASSERT_EQ(run_tool(s.dir.path, a).status, 0);
    const std::vector<unsigned char> b = read_file(s.dir / "one.json");
    const Json one = Json::parse(std::string(b.begin(), b.end()));
    EXPECT_EQ(one["exponent"].get<double>(), f["exponent"].get<double>());
    EXPECT_EQ(one["variance_after"].get<double>(), f["variance_after"].get<double>());
    EXPECT_EQ(one["variance_before"].get<double>(), f["variance_before"].get<double>());
}

TEST(Report, CurveHasItsMinimumAtTheExponentAndTheIntervalHoldsIt) {
    Survey& s = survey();
    ASSERT_EQ(s.run.status, 0) << s.run.out;
    const Json& j = s.report;
    const Json& curve = j["curve"];
    ASSERT_GE(curve.size(), 41u);
    EXPECT_EQ(curve.front()["exponent"], 0.01);
    EXPECT_EQ(curve.back()["exponent"], 4.0);
    const double e = j["exponent"], step = (4.0 - 0.01) / (curve.size() - 1);
    std::size_t best = 0;
    for (std::size_t k = 0; k < curve.size(); ++k) {
        EXPECT_NEAR(curve[k]["exponent"].get<double>(), 0.01 + step * k, 1e-12);
        EXPECT_GE(curve[k]["variance"].get<double>(), j["variance_after"].get<double>() * (1 - 1e-9));
        if (curve[k]["variance"] < curve[best]["variance"]) best = k;
    }
    EXPECT_LE(std::fabs(curve[best]["exponent"].get<double>() - e), step);
    const Json& iv = j["interval"];
    EXPECT_LT(iv["low"].get<double>(), e);
    EXPECT_GT(iv["high"].get<double>(), e);
    EXPECT_GT(iv["standard_error"].get<double>(), 0);
    EXPECT_LT(iv["standard_error"].get<double>(), 0.1);
}

// The passes of the figures run as jobs on the threads when every file's
// pairs are in memory, one after the other otherwise: the same figures.
TEST(Report, SameFiguresOnAnyThreadsAndWhenThePairsAreReadFromFiles) {
    Survey& s = survey();
    ASSERT_EQ(s.run.status, 0) << s.run.out;
    Json kept = s.report;
    kept.erase("arguments");
    for (const auto& [threads, memoryMB] : {std::pair{"2", "0"}, {"1", "4096"}, {"3", "4096"}}) {
        std::vector<std::string> a = s.args;
        for (const char* x : {"-n", "--report", "again.json"}) a.push_back(x);
        setenv("QUILVOR_THREADS", threads, 1);
        setenv("QUILVOR_MEMORY_MB", memoryMB, 1);
        const RunResult r = run_tool(s.dir.path, a);
        unsetenv("QUILVOR_THREADS");
        unsetenv("QUILVOR_MEMORY_MB");
        ASSERT_EQ(r.status, 0);
        const std::vector<unsigned char> b = read_file(s.dir / "again.json");
        Json again = Json::parse(std::string(b.begin(), b.end()));
        again.erase("arguments");
        EXPECT_EQ(again, kept) << threads << " threads, " << memoryMB << " MB";
    }
}

TEST(Report, PlotsAreImagesAndTheSummaryIsUnchanged) {
    Survey& s = survey();
    ASSERT_EQ(s.run.status, 0) << s.run.out;
    for (const char* name : {"plots/variance_curve.png", "plots/intensity_by_range.png"}) {
        const std::vector<unsigned char> png = read_file(s.dir / name);
        ASSERT_GT(png.size(), 5000u) << name;  // drawn, not blank
        EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
        EXPECT_EQ((png[16] << 8 | png[17]) << 16 | (png[18] << 8 | png[19]), 800);
    }
    // Without the options every byte but the elapsed time is the same.
    std::vector<std::string> a = s.args;
    a.push_back("-n");
    const RunResult plain = run_tool(s.dir.path, a);
    ASSERT_EQ(plain.status, 0);
    const auto upToTime = [](const std::string& o) { return o.substr(0, o.find("\nElapsed CPU time")); };
    EXPECT_EQ(upToTime(plain.out), upToTime(s.run.out));
}

namespace {

std::string read_text(const std::string& path) {
    const std::vector<unsigned char> b = read_file(path);
    return std::string(b.begin(), b.end());
}

std::vector<std::string> read_text_lines(const std::string& path) {
    std::istringstream in(read_text(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The files of a folder (not below it) with their bytes.
std::map<std::string, std::vector<unsigned char>> folder_content(const std::string& dir) {
    std::map<std::string, std::vector<unsigned char>> content;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        content[e.path().filename().string()] = e.is_regular_file() ? read_file(e.path()) : std::vector<unsigned char>{};
    return content;
}

}  // namespace

// The bootstrap's draws: the standard error of the mean of independent block
// values is sigma / sqrt(n), and replicates draw differently.
TEST(Bootstrap, MeanOfIndependentBlocksHasTheTextbookStandardError) {
    const std::size_t n = 400;
    std::vector<double> value(n);
    uint64_t z = 12345;
    const auto next = [&z] {  // a fixed sequence of uniform numbers in (0, 1)
        z = z * 6364136223846793005ull + 1442695040888963407ull;
        return (static_cast<double>(z >> 11) + 0.5) / 9007199254740992.0;
    };
    double mean = 0, ss = 0;
    for (double& v : value) v = std::sqrt(-2 * std::log(next())) * std::cos(6.283185307179586 * next()), mean += v;
    mean /= n;
    for (double v : value) ss += (v - mean) * (v - mean);
    const double expected = std::sqrt(ss / n) / std::sqrt(double(n));
    std::vector<uint32_t> counts, first;
    double sum = 0, sumSq = 0;
    const int replicates = 1000;
    for (int r = 0; r < replicates; ++r) {
        quilvor::resample_counts(r, n, counts);
        uint64_t drawn = 0;
        double m = 0;
        for (std::size_t k = 0; k < n; ++k) drawn += counts[k], m += counts[k] * value[k];
        ASSERT_EQ(drawn, n);
        m /= n;
        sum += m;
        sumSq += m * m;
        if (r == 0) first = counts;
        if (r == 1) {
            EXPECT_NE(counts, first);
        }
    }
    const double se = std::sqrt((sumSq - sum * sum / replicates) / (replicates - 1));
    EXPECT_NEAR(se / expected, 1.0, 0.1) << se << " " << expected;
    // The same replicate draws the same blocks every time.
    quilvor::resample_counts(0, n, counts);
    EXPECT_EQ(counts, first);
}

namespace {

// Mean intensity of the records of each point source in the normalized copies.
std::map<uint16_t, double> mean_by_source(const TempDir& dir, const std::vector<std::string>& files) {
    std::map<uint16_t, std::pair<double, double>> sums;
    for (const std::string& f : files) {
        const std::vector<unsigned char> b = read_file(dir / (f.substr(0, f.size() - 4) + "_NormI.las"));
        const torvane::LASHeader h = torvane::header_from_bytes(b.data(), b.size());
        const torvane::PointFormat& format = torvane::point_format(h.PointDataFormatID);
        for (std::size_t at = h.OffsetToData; at + format.length <= b.size(); at += h.PointDataRecordLength) {
            auto& s = sums[torvane::record_point_source_id(b.data() + at, format)];
            s.first += torvane::record_intensity(b.data() + at);
            s.second += 1;
        }
    }
    std::map<uint16_t, double> mean;
    for (const auto& [source, s] : sums) mean[source] = s.first / s.second;
    return mean;
}

}  // namespace

// No output of any program may be one of its inputs or another of its
// outputs (the same name or the same file): refused before any work, nothing
// written, nothing left. A report or plots place that cannot be written is
// found before the work, with the system's reason, and a plots folder the
// failed run made is removed.
TEST(Report, NoOutputMayNameAnInput) {
    TempDir d;
    simsurvey::Options o;
    o.outDir = d.path;
    o.length = 100;
    o.tile = 100;
    o.density = 0.2;
    o.sbet = "nav.sbet";
    const std::vector<std::string> tool = tool_args(simsurvey::simulate(o));
    const std::string tile = read_text_lines(d / "las_list.txt")[0];
    const std::string copy = tile.substr(0, tile.size() - 4) + "_NormI.las";
    write_text(d / "variance_curve.png", read_text(d / "trajectory.txt"));
    std::filesystem::create_directory(d / "folder");
    std::filesystem::create_symlink("las_list.txt", d / "link.txt");
    const auto with = [&](std::vector<std::string> extra, const std::vector<std::string>& args) {
        extra.insert(extra.begin(), args.begin(), args.end());
        return extra;
    };
    std::vector<std::string> plotsInput = tool;
    plotsInput[1] = "variance_curve.png";
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::string, std::string>> cases = {
        {QUILVOR_BIN, with({"--report", "las_list.txt"}, tool),
         "\nOutput file las_list.txt would overwrite input file las_list.txt\n", ""},
        {QUILVOR_BIN, with({"--report", "./trajectory.txt"}, tool),
         "\nOutput file ./trajectory.txt would overwrite input file trajectory.txt\n", ""},
        {QUILVOR_BIN, with({"--report", "link.txt"}, tool),
         "\nOutput file link.txt would overwrite input file las_list.txt\n", ""},
        {QUILVOR_BIN, with({"--report", tile}, tool), "\nOutput file " + tile + " would overwrite input file " + tile + "\n",
         ""},
        {QUILVOR_BIN, with({"--report", copy}, tool),
         "\nOutput file " + copy + " (normalized copy) would overwrite output file " + copy + " (--report)\n", ""},
        {QUILVOR_BIN, with({"--plots", "."}, plotsInput),
         "\nOutput file ./variance_curve.png would overwrite input file variance_curve.png\n", ""},
        {QUILVOR_BIN, with({"--plots", "made/deep", "--report", "folder"}, tool), "\nCannot create the report folder\n",
         "LAS_Quilvor: folder: Is a directory\n"},
        {QUILVOR_BIN, with({"--plots", "las_list.txt/sub"}, tool),
         "\nCannot make the folder las_list.txt/sub for the plots\n", "LAS_Quilvor: las_list.txt/sub: Not a directory\n"},
        {TRAJECTORY_BIN, {"las_list.txt", "las_list.txt", "--sbet", "nav.sbet"},
         "\nOutput file las_list.txt would overwrite input file las_list.txt\n", ""},
        {TRAJECTORY_BIN, {"las_list.txt", tile, "--sbet", "nav.sbet"},
         "\nOutput file " + tile + " would overwrite input file " + tile + "\n", ""},
        {TRAJECTORY_BIN, {"las_list.txt", "nav.sbet", "--sbet", "nav.sbet"},
         "\nOutput file nav.sbet would overwrite input file nav.sbet\n", ""},
        {TRAJECTORY_BIN, {"las_list.txt", "link.txt"}, "\nOutput file link.txt would overwrite input file las_list.txt\n",
         ""},
        {IMAGE_BIN, {"link.txt", "2", "las_list.png"}, "", ""},  // allowed: the image names no input
    };
    const auto before = folder_content(d.path);
    for (const auto& [program, args, out, err] : cases) {
        SCOPED_TRACE(args[args.size() - 1]);
        const ChildResult r = run_child(d.path, program, args);
        if (out.empty()) {
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            for (const char* made : {"las_list.png", "las_list.pgw"}) std::filesystem::remove(d / made);
        } else {
            EXPECT_EQ(r.status, 255) << r.out << r.err;
            EXPECT_NE(r.out.find(out), std::string::npos) << r.out;
            EXPECT_NE(r.err.find(err), std::string::npos) << r.err;
        }
        EXPECT_TRUE(folder_content(d.path) == before);
    }
}

// A listed name that is not UTF-8: the report takes it, losslessly, as
// ISO 8859-1 with a marker, and the run goes on to its copies.
TEST(Report, NameThatIsNotUtf8IsWrittenAsLatin1) {
    TempDir d;
    simsurvey::Options o;
    o.outDir = d.path;
    o.length = 240;
    o.tile = 120;
    o.density = 1.0;
    std::vector<std::string> args = tool_args(simsurvey::simulate(o));
    std::vector<std::string> tiles = read_text_lines(d / "las_list.txt");
    const std::string odd = "t\xe9\xff.las";
    std::filesystem::rename(d / tiles[0], d / odd);
    tiles[0] = odd;
    std::string list;
    for (const std::string& t : tiles) list += t + "\n";
    write_text(d / "las_list.txt", list);
    args.push_back("--report");
    args.push_back("r.json");
    const RunResult r = run_tool(d.path, args);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::vector<unsigned char> b = read_file(d / "r.json");
    const Json report = Json::parse(std::string(b.begin(), b.end()));
    EXPECT_EQ(report["files"][0]["name"], "t\u00e9\u00ff.las");
    EXPECT_EQ(report["files"][0]["name_encoding"], "latin1");
    EXPECT_FALSE(report["files"][1].contains("name_encoding"));
    EXPECT_EQ(report["files"][1]["name"], tiles[1]);
    EXPECT_TRUE(file_exists(d / "t\xe9\xff_NormI.las"));
}

// Lines 5 % apart in gain and 4 % apart in height: the fit with a gain per
// strip finds the true exponent and the gains (as the simulator drew them,
// their geometric mean 1), and --strip-gains evens the strips out.
TEST(StripGains, JointFitRecoversTheGainsAndTheExponent) {
    TempDir dir;
    simsurvey::Options o;
    o.outDir = dir.path;
    o.length = 300;
    o.tile = 150;
    o.density = 1.0;
    o.exponent = 1.5;
    o.stripGain = 0.05;
    o.seed = 4;
    const simsurvey::Summary sum = simsurvey::simulate(o);
    std::vector<std::string> a = tool_args(sum);
    for (const char* x : {"--report", "report.json", "--strip-gains"}) a.push_back(x);
    const RunResult run = run_tool(dir.path, a);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<unsigned char> b = read_file(dir / "report.json");
    const Json j = Json::parse(std::string(b.begin(), b.end()));
    const Json& g = j["strip_gains"];
    const double se = g["interval"]["standard_error"];
    EXPECT_GT(se, 0);
    EXPECT_LT(std::fabs(g["exponent"].get<double>() - 1.5), 4 * se) << g.dump();
    double logMean = 0;
    for (int i = 0; i < o.lines; ++i) logMean += std::log(simsurvey::strip_gain(o, i)) / o.lines;
    ASSERT_EQ(g["strips"].size(), std::size_t(o.lines));
    for (const Json& s : g["strips"]) {
        const int line = s["id"].get<int>() - 1;
        const double truth = simsurvey::strip_gain(o, line) / std::exp(logMean);
        EXPECT_LT(std::fabs(s["gain"].get<double>() - truth), std::max(0.002, 4 * s["standard_error"].get<double>()))
            << s.dump() << " true " << truth;
    }
    // Printed exponent outside the interval: a warning that says so.
    const double e = j["exponent"];
    const bool outside = e < g["interval"]["low"].get<double>() || e > g["interval"]["high"].get<double>();
    bool warned = false;
    for (const Json& w : j["warnings"]) warned = warned || w.get<std::string>().find("--strip-gains") != std::string::npos;
    EXPECT_EQ(warned, outside);
    // The line after the summary; the copies' strips as those without the
    // option but each divided by its gain (and by what the other exponent
    // makes of the strips' ranges, a little).
    EXPECT_NE(run.out.find("\nExponent with a gain per strip:"), std::string::npos) << run.out;
    const std::map<uint16_t, double> withGains = mean_by_source(dir, sum.files);
    a.resize(6);
    ASSERT_EQ(run_tool(dir.path, a).status, 0);
    const std::map<uint16_t, double> without = mean_by_source(dir, sum.files);
    ASSERT_EQ(withGains.size(), std::size_t(o.lines));
    double lo = 1e300, hi = 0, gLo = 1e300, gHi = 0;
    for (const auto& [source, m] : withGains) {
        const double g = simsurvey::strip_gain(o, source - 1), times = m / without.at(source) * g;
        lo = std::min(lo, times), hi = std::max(hi, times);
        gLo = std::min(gLo, g), gHi = std::max(gHi, g);
    }
    EXPECT_LT(hi / lo - 1, 0.5 * (gHi / gLo - 1)) << lo << " " << hi << " " << gLo << " " << gHi;
}

// A true exponent beyond the search's bracket: the printed one stops at its
// upper bound, and the report says so.
TEST(Warnings, ExponentAtTheBoundOfTheSearch) {
    TempDir dir;
    simsurvey::Options o;
    o.outDir = dir.path;
    o.length = 240;
    o.tile = 240;
    o.density = 1.0;
    o.exponent = 5;
    std::vector<std::string> a = tool_args(simsurvey::simulate(o));
    for (const char* x : {"-n", "--report", "report.json"}) a.push_back(x);
    ASSERT_EQ(run_tool(dir.path, a).status, 0);
    const std::vector<unsigned char> b = read_file(dir / "report.json");
    const Json j = Json::parse(std::string(b.begin(), b.end()));
    EXPECT_GT(j["exponent"].get<double>(), 3.99);
    bool atBound = false;
    for (const Json& w : j["warnings"]) atBound = atBound || w.get<std::string>().find("upper bound") != std::string::npos;
    EXPECT_TRUE(atBound) << j["warnings"].dump();
}
