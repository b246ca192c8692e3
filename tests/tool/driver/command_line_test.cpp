// The command line and the run driver, through the real binary.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>

#include "las_builder.h"
#include "survey_helpers.h"

using namespace testutil;

namespace {

const std::string kUsage =
    "Usage:\nLAS_Quilvor.exe\n"
    "        <ASCII file w/ list of LAS files>\n"
    "        <Laser trajectory data in X, Y, Z, T space-delimited ASCII>\n"
    "        <Max distance, in 3D, of returns forming a pair>\n"
    "        <Radius, in 2D, when searching for pairs of returns>\n"
    "        <Min time difference between scanning swaths>\n"
    "        <Max time difference between scanning swaths>\n"
    "        Options:\n"
    "           -tr {truncate normalized intensities within the [1,255] range}\n"
    "           -n  {no normalization; only compute normalization parameters}\n\n";

RunResult run(const std::vector<std::string>& args) {
    TempDir d;
    return run_tool(d.path, args);
}

}  // namespace

TEST(CommandLine, NoArgumentsPrintsBannerAndUsage) {
    const RunResult r = run({});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(kBanner) + kUsage);
}

TEST(CommandLine, ArgumentCountRule) {
    const std::string missing = std::string(kBanner) + "\nMissing or excessive number of arguments\n\n" + kUsage;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"l", "t", "1", "1", "1", "2", "extra"}, {"l", "t", "1", "1", "1", "-n"}, {"l", "t", "1"}}) {
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, missing);
    }
    // Two switch occurrences meet the rule; the run goes on to the list file.
    const RunResult r = run({"nolist.txt", "t", "1", "1", "1", "2", "-n", "-n"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(kBanner) + "\nCannot open input ASCII file nolist.txt for reading\n");
}

// --help alone prints the program's usage and ends with status 0; the usage
// printed for a wrong argument count stays as it was.
TEST(CommandLine, HelpOfEveryProgram) {
    const std::string options =
        "        More options, after the six values above:\n"
        "           --report FILE.json {also write a JSON report of the estimate, with an interval\n"
        "                               for the exponent and each file's own exponent}\n"
        "           --plots DIR        {also draw the variance curve and the intensity by range\n"
        "                               into DIR}\n"
        "           --strip-gains      {normalize with the exponent fitted with one gain per strip\n"
        "                               and divide each strip's intensities by its gain}\n\n";
    struct Case {
        std::string program, usageStart;
    };
    const Case cases[] = {{QUILVOR_BIN, kUsage + options},
                          {TRAJECTORY_BIN, "Usage:\nLAS_Trajectory\n"},
                          {IMAGE_BIN, "Usage:\nLAS_IntensityImage\n"},
                          {SIMSURVEY_BIN, "Usage: LAS_SimSurvey [options]\n"}};
    for (const Case& c : cases) {
        TempDir d;
        const RunResult r = run_in(d.path, c.program, {"--help"});
        EXPECT_EQ(r.status, 0) << c.program;
        EXPECT_EQ(r.out.substr(0, c.usageStart.size()), c.usageStart) << c.program;
        EXPECT_NE(r.out.find("--"), std::string::npos) << c.program;  // the options are listed
        const RunResult twice = run_in(d.path, c.program, {"--help", "--help"});
        EXPECT_NE(twice.status, 0) << c.program;
    }
}

TEST(CommandLine, RunSettingChecks) {
    const std::string b = kBanner;
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"l", "t", "1e5", "1", "1", "2"}, "\nInvalid argument value (1e5)\n"},
        {{"l", "t", "1", "-n", "1", "2", "5"}, "\nInvalid argument value (-n)\n"},
        // The sixth argument is a value even when it looks like an option.
        {{"l", "t", "1", "2", "1", "--30"}, "\nInvalid argument value (--30)\n"},
        {{"l", "t", "0", "1", "1", "2"},
         "\nMax distance between a return pair returns should be positive. You specified 0\n"},
        {{"l", "t", "1", "-2", "1", "2"},
         "\nRadius used in search for return pairs should be positive. You specified -2\n"},
        {{"l", "t", "2", "1", "1", "2"},
         "\nRadius used in search for return pairs should at least equal the max distance between returns\n"},
        {{"l", "t", "1", "1", "0.0", "2"},
         "\nSpecified minimum GPS time difference between swaths (0.0) should be positive\n"},
        {{"l", "t", "1", "1", "1", ""}, "\nSpecified maximum GPS time difference between swaths () should be positive\n"},
        {{"l", "t", "1", "1", "5", "5"},
         "\nSpecified maximum GPS time between swaths (5) should be greater than minimum time (5)\n"},
        {{"l", "t", "1", "1", "1", "2"}, "\nCannot open input ASCII file l for reading\n"},
        {{"l", "t", "1", "1", "1", "2", "-tr", "-n"},
         "\nWARNING: Your request to truncate the intensity into the [1,255] range\n"
         "by using the '-tr' argument will be ignored because you do not want to\n"
         "perform intensity normalization ('-s' argument) for the file(s) specified\n"
         "in l\n\n"
         "\nCannot open input ASCII file l for reading\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(r.out, b + c.message);
    }
}

TEST(CommandLine, ReportThatCannotBeWrittenIsAFailure) {
    TempDir d;
    std::string args;
    for (const std::string& a : tool_args(simulate_survey(d.path, 150, 150, 0.5))) args += " " + a;
    args += " -n";
    // Standard output on a full device: the run cannot deliver its report.
    const std::string run = "cd '" + d.path + "' && '" + QUILVOR_BIN + "'" + args;
    const int full = std::system((run + " > /dev/full 2> err.txt").c_str());
    ASSERT_TRUE(WIFEXITED(full));
    EXPECT_EQ(WEXITSTATUS(full), 255);
    const std::vector<unsigned char> err = read_file(d / "err.txt");
    EXPECT_EQ(std::string(err.begin(), err.end()), "\nLAS_Quilvor: the report could not be written to standard output\n");
    EXPECT_EQ(WEXITSTATUS(std::system((run + " > /dev/null").c_str())), 0);
}

// The options --report and --plots take a value each and may stand anywhere
// after the six positional arguments; any other "--" argument, or an option
// without its value, is refused as an excessive argument is.
TEST(CommandLine, ExtraOutputOptions) {
    const std::string refused = std::string(kBanner) + "\nMissing or excessive number of arguments\n\n" + kUsage;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"l", "t", "1", "1", "1", "2", "--report"},
             {"l", "t", "1", "1", "1", "2", "-n", "--plots"},
             {"l", "t", "1", "1", "1", "2", "--verbose"},
             {"l", "t", "1", "1", "1", "2", "--report", "r.json", "--report", "s.json"},
             {"--report", "r.json", "l", "t", "1", "1", "1", "2"}}) {
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, refused);
    }
    // Accepted among the switches, a value that looks like a switch included;
    // the run goes on to the list file.
    const RunResult r = run({"nolist.txt", "t", "1", "1", "1", "2", "--plots", "p", "-n", "--report", "-tr"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string(kBanner) + "\nCannot open input ASCII file nolist.txt for reading\n");
}
