// Temporary files, the working-directory lock and interruptions, through the real binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "las_builder.h"
#include "survey_helpers.h"

using namespace testutil;

namespace {

std::vector<std::string> simulate(const std::string& dir, double density) {
    return tool_args(simulate_survey(dir, 500, 250, density));
}

// Names in dir that start with one of the prefixes or contain ".las." (an unfinished output).
std::vector<std::string> leftovers(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string n = e.path().filename().string();
        if (n.rfind("~tmp_rpi", 0) == 0 || n.rfind("tmp_RAI_", 0) == 0 || n.find(".las.") != std::string::npos)
            found.push_back(n);
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

TEST(TemporaryFiles, LinksAreReplacedNeverFollowed) {
    TempDir d;
    const std::vector<std::string> args = simulate(d.path, 0.5);
    write_text(d / "victim.txt", "keep me");
    for (const char* threads : {"1", "2"}) {
        for (const char* link : {"~tmp_rpi", "tmp_RAI_tile_00_00.dat"})
            std::filesystem::create_symlink("victim.txt", d / link);
        setenv("QUILVOR_THREADS", threads, 1);
        const RunResult r = run_tool(d.path, args);
        unsetenv("QUILVOR_THREADS");
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(read_file(d / "victim.txt"), std::vector<unsigned char>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
        EXPECT_TRUE(leftovers(d.path).empty()) << threads;
    }
}

TEST(TemporaryFiles, OneRunPerWorkingDirectory) {
    TempDir d;
    const std::vector<std::string> args = simulate(d.path, 0.5);
    const int fd = open(d.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);  // as another run holds it
    RunResult r = run_tool(d.path, args);
    EXPECT_EQ(r.status, 255);
    const std::string tail = "\nAnother LAS_Quilvor run is using the temporary files of this directory\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_TRUE(leftovers(d.path).empty());
    EXPECT_FALSE(file_exists(d / "tile_00_00_NormI.las"));
    close(fd);
    r = run_tool(d.path, args);
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST(TemporaryFiles, InterruptedRunLeavesNoTemporaryOrTruncatedFile) {
    TempDir d;
    const std::vector<std::string> args = simulate(d.path, 8);
    // Once while pairs are searched, once while normalized files are written.
    for (const std::string& sign : {std::string("tmp_RAI_"), std::string("_NormI.las.")}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (chdir(d.path.c_str()) != 0) _exit(99);
            freopen("/dev/null", "w", stdout);
            freopen("stderr.txt", "w", stderr);
            std::vector<char*> argv = {const_cast<char*>(QUILVOR_BIN)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(QUILVOR_BIN, argv.data());
            _exit(98);
        }
        bool seen = false;
        const auto t0 = std::chrono::steady_clock::now();
        while (!seen && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(120)) {
            for (const std::string& n : leftovers(d.path)) seen = seen || n.find(sign) != std::string::npos;
            if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ASSERT_TRUE(seen) << sign;
        kill(pid, sign == "tmp_RAI_" ? SIGINT : SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << sign << " " << status;
        const std::vector<unsigned char> err = read_file(d / "stderr.txt");
        EXPECT_NE(std::string(err.begin(), err.end()).find("interrupted"), std::string::npos);
        EXPECT_TRUE(leftovers(d.path).empty()) << leftovers(d.path)[0];
        // An output that exists is whole: as long as its input.
        for (const auto& e : std::filesystem::directory_iterator(d.path)) {
            const std::string n = e.path().filename().string();
            const std::size_t at = n.find("_NormI.las");
            if (at == std::string::npos) continue;
            EXPECT_EQ(std::filesystem::file_size(e.path()), std::filesystem::file_size(d / (n.substr(0, at) + ".las")));
        }
    }
}
