// The real binaries on a machine having a bad day: a full disk, a file-size
// limit, threads that cannot be started, standard output nobody reads.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <tuple>

#include "child_process.h"
#include "las_builder.h"
#include "survey_helpers.h"

using namespace testutil;

namespace {

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The files of the folder that the run made (neither inputs nor the list and
// trajectory), with their bytes; removed afterwards.
std::vector<std::pair<std::string, std::vector<unsigned char>>> take_products(const SimulatedSurvey& v) {
    std::vector<std::pair<std::string, std::vector<unsigned char>>> products;
    for (const auto& e : std::filesystem::directory_iterator(v.d.path)) {
        const std::string n = e.path().filename().string();
        if (std::find(v.s.files.begin(), v.s.files.end(), n) != v.s.files.end() || n == "las_list.txt" ||
            n == "trajectory.txt")
            continue;
        products.emplace_back(n, read_file(e.path()));
        std::filesystem::remove(e.path());
    }
    std::sort(products.begin(), products.end());
    return products;
}

std::vector<std::string> names_of(const std::vector<std::pair<std::string, std::vector<unsigned char>>>& products) {
    std::vector<std::string> names;
    for (const auto& p : products) names.push_back(p.first);
    return names;
}

std::string without_cpu_time(std::string out) {
    const std::size_t p = out.find("\nElapsed CPU time ");
    if (p != std::string::npos) out.erase(p);
    return out;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

// A full disk: the write's message, the system's reason, and the RAI file the
// failed run keeps, named.
TEST(UnluckyMachine, FullDiskSaysWhyAndNamesTheKeptFiles) {
    SimulatedSurvey v;
    ChildSetup setup;
    setup.faults = true;
    setup.env = {{"FAULT_WRITE_BYTES", "0"}, {"QUILVOR_THREADS", "2"}};
    const ChildResult r = run_child(v.d.path, QUILVOR_BIN, v.args, setup);
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    const std::string rai = "tmp_RAI_" + v.s.files[0].substr(0, v.s.files[0].size() - 4) + ".dat";
    EXPECT_TRUE(ends_with(r.out, "\nFailed to write binary file " + rai + "\n")) << r.out;
    EXPECT_NE(r.err.find("LAS_Quilvor: " + rai + ": No space left on device\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("LAS_Quilvor: the failed run keeps its temporary file " + rai + "\n"), std::string::npos)
        << r.err;
    EXPECT_TRUE(file_exists(v.d / rai));
}

// A file-size limit below the size of a normalized copy: the write fails as a
// write (not the process by SIGXFSZ), the partial copy is removed.
TEST(UnluckyMachine, FileSizeLimitFailsTheWriteAndRemovesThePartialCopy) {
    SimulatedSurvey v;
    uint64_t smallest = UINT64_MAX;
    for (const std::string& f : v.s.files) smallest = std::min<uint64_t>(smallest, read_file(v.d / f).size());
    ChildSetup setup;
    setup.fileSizeLimit = smallest / 2;  // room for the RAI files and ~tmp_rpi, not for a copy
    const ChildResult r = run_child(v.d.path, QUILVOR_BIN, v.args, setup);
    EXPECT_EQ(r.status, 255) << r.signal << r.err;
    const std::string copy = v.s.files[0].substr(0, v.s.files[0].size() - 4) + "_NormI.las";
    EXPECT_TRUE(ends_with(r.out, "\nFailed to write intensity normalized data to " + copy + "\n")) << r.out;
    EXPECT_NE(r.err.find("LAS_Quilvor: " + copy + ": File too large\n"), std::string::npos) << r.err;
    EXPECT_TRUE(take_products(v).empty());  // no copy, no temporary file
}

// Threads that cannot be started (none at all, only the interrupt thread, or
// one more): the same output and files as a run that has them all.
TEST(UnluckyMachine, ThreadsThatCannotBeStartedChangeNothing) {
    SimulatedSurvey v;
    ChildSetup normal;
    normal.env = {{"QUILVOR_THREADS", "4"}};
    const ChildResult expected = run_child(v.d.path, QUILVOR_BIN, v.args, normal);
    ASSERT_EQ(expected.status, 0) << expected.out << expected.err;
    const auto products = take_products(v);
    ASSERT_EQ(products.size(), v.s.files.size());
    for (const char* threads : {"0", "1", "2"}) {
        SCOPED_TRACE(threads);
        ChildSetup setup = normal;
        setup.faults = true;
        setup.env.push_back({"FAULT_THREADS", threads});
        const ChildResult r = run_child(v.d.path, QUILVOR_BIN, v.args, setup);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(without_cpu_time(r.out), without_cpu_time(expected.out));
        EXPECT_NE(r.err.find("LAS_Quilvor: a thread cannot be started: Resource temporarily unavailable\n"),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(take_products(v) == products);
    }
    // LAS_IntensityImage likewise.
    const std::vector<std::string> image = {"las_list.txt", "2", "i.png"};
    ASSERT_EQ(run_child(v.d.path, IMAGE_BIN, image).status, 0);
    const auto drawn = take_products(v);
    ASSERT_EQ(names_of(drawn), (std::vector<std::string>{"i.pgw", "i.png"}));
    for (const char* threads : {"0", "1"}) {
        SCOPED_TRACE(threads);
        ChildSetup setup;
        setup.faults = true;
        setup.env = {{"FAULT_THREADS", threads}};
        const ChildResult r = run_child(v.d.path, IMAGE_BIN, image, setup);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.err.find("LAS_IntensityImage: a thread cannot be started"), std::string::npos) << r.err;
        EXPECT_TRUE(take_products(v) == drawn);
    }
}

// SIGTERM while standard output is a full pipe that nobody reads: the run
// ends within a second, its temporary files removed, with status 255 and its
// own name in the message.
TEST(UnluckyMachine, SigtermWithStandardOutputStalled) {
    // Small tiles: more lines on standard output than a pipe of one page
    // holds, so that LAS_Quilvor gets stuck in the middle of its files, with
    // RAI files written.
    SimulatedSurvey v(100);
    const ChildResult whole = run_child(v.d.path, QUILVOR_BIN, v.args);
    ASSERT_EQ(whole.status, 0);
    ASSERT_GT(whole.out.size(), 6000u);
    take_products(v);
    // The third run cannot start its interrupt thread: the clean-up runs in the signal's handler.
    const std::vector<std::tuple<std::string, std::vector<std::string>, bool, bool>> programs = {
        {QUILVOR_BIN, v.args, false, false},
        {IMAGE_BIN, {"las_list.txt", "2", "i.png"}, true, false},
        {QUILVOR_BIN, v.args, false, true}};
    for (const auto& [program, args, full, noThreads] : programs) {
        const std::string name = std::filesystem::path(program).filename();
        SCOPED_TRACE(name);
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
        ::fcntl(out[1], F_SETPIPE_SZ, 4096);
        const std::string block(4096, 'x');
        while (full && (::write(out[1], block.data(), block.size()) > 0 || ::write(out[1], "x", 1) > 0)) {
        }
        ::fcntl(out[1], F_SETFL, 0);  // the child's writes block, as on a stalled pipe
        TempDir logs;
        const int err = ::open((logs / "err.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ChildSetup setup;
        setup.stdoutFd = out[1];
        if (noThreads) {
            setup.faults = true;
            setup.env = {{"FAULT_THREADS", "0"}};
        }
        const pid_t pid = start_child(v.d.path, program, args, setup, out[1], err);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(800));  // well into the run, and stuck
        ChildResult r;
        ASSERT_FALSE(wait_child(pid, 0, r)) << "ended on its own with " << r.status;
        const auto sent = std::chrono::steady_clock::now();
        ::kill(pid, SIGTERM);
        const bool ended = wait_child(pid, 5, r);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        if (!ended) {
            ::kill(pid, SIGKILL);
            wait_child(pid, 5, r);
        }
        ::close(out[0]);
        ::close(out[1]);
        ::close(err);
        EXPECT_TRUE(ended);
        EXPECT_LT(seconds, kSanitized ? 3.0 : 1.0);
        EXPECT_EQ(r.status, 255);
        const std::vector<unsigned char> e = read_file(logs / "err.txt");
        EXPECT_TRUE(ends_with(std::string(e.begin(), e.end()),
                              "\n" + name + " interrupted: its temporary files and unfinished outputs have been removed\n"));
        // Outputs completed before stay; nothing temporary does.
        for (const std::string& n : names_of(take_products(v)))
            EXPECT_TRUE(ends_with(n, "_NormI.las") || ends_with(n, ".png") || ends_with(n, ".pgw")) << n;
    }
}

// A disk that cannot keep the new outputs (fsync fails): the report, the
// plots each say which and why, leave nothing,
// and the plots folder the failed run made is removed.
TEST(UnluckyMachine, FailedFsyncOfTheNewOutputsSaysWhy) {
    SimulatedSurvey v(500);
    std::vector<std::string> tool = v.args;
    tool.push_back("-n");
    const auto with = [&](std::vector<std::string> args, const std::vector<std::string>& extra) {
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::string, std::string>> cases = {
        {QUILVOR_BIN, with(tool, {"--report", "r.json"}), "\nCannot write the report r.json\n", "r.json"},
        {QUILVOR_BIN, with(tool, {"--plots", "p"}), "\nCannot write the plot p/variance_curve.png\n",
         "p/variance_curve.png"},
    };
    for (const auto& [program, args, out, subject] : cases) {
        SCOPED_TRACE(args.back());
        ChildSetup setup;
        setup.faults = true;
        setup.env = {{"FAULT_FSYNC", "1"}};
        const ChildResult r = run_child(v.d.path, program, args, setup);
        EXPECT_EQ(r.status, 255) << r.out << r.err;
        EXPECT_TRUE(ends_with(without_cpu_time(r.out), out)) << r.out;
        EXPECT_NE(r.err.find("LAS_Quilvor: " + subject + ": Input/output error\n"), std::string::npos) << r.err;
        EXPECT_TRUE(take_products(v).empty());
    }
}
