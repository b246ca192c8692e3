// Compressed (LAZ) surveys through the real binaries: the same survey as LAS
// and as LAZ gives the same report, the same normalized records and the same
// image; damaged or misnamed LAZ files are refused naming the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "las_input.h"
#include "survey_helpers.h"

using namespace testutil;

namespace {

// The simulator's survey into dir, LAS 1.<minor> of a format, plain or compressed.
simsurvey::Summary simulate(const std::string& dir, int minor, int format, bool laz) {
    simsurvey::Options o;
    o.outDir = dir;
    o.length = 400;
    o.tile = 200;
    o.density = 1.0;
    o.versionMinor = minor;
    o.format = format;
    o.laz = laz;
    return simsurvey::simulate(o);
}

// A file's point records as plain LAS records, read as the programs read them.
std::vector<unsigned char> records_of(const std::string& path) {
    quilvor::Survey survey = quilvor::open_survey({path});
    quilvor::LasInput in = quilvor::open_las_input(survey[0], "\nFailed to open file %s for reading\n");
    std::vector<unsigned char> records(std::size_t{in.points} * in.recordLength);
    quilvor::RecordScratch scratch;
    quilvor::read_records(in, 0, in.points, records.data(), scratch);
    return records;
}

// Standard output less its CPU-time line, the names of the LAZ files read as those of the LAS files.
std::string comparable(std::string out) {
    const std::size_t cpu = out.find("CPU");
    if (cpu != std::string::npos) out.erase(out.rfind('\n', cpu) + 1, out.find('\n', cpu) - out.rfind('\n', cpu));
    for (std::size_t at; (at = out.find(".laz")) != std::string::npos;) out.replace(at, 4, ".las");
    return out;
}

std::string stem(const std::string& name) { return name.substr(0, name.size() - 4); }

TEST(LazSurvey, SameSurveyAsLasAndAsLazGivesTheSameReportRecordsAndImage) {
    struct Case {
        int minor, format;
    } cases[] = {{2, 1}, {2, 3}, {4, 6}};
    for (const Case& c : cases) {
        TempDir plain, packed;
        const simsurvey::Summary s = simulate(plain.path, c.minor, c.format, false);
        const simsurvey::Summary z = simulate(packed.path, c.minor, c.format, true);
        ASSERT_EQ(s.files.size(), z.files.size());
        const RunResult a = run_tool(plain.path, tool_args(s));
        const RunResult b = run_tool(packed.path, tool_args(z));
        ASSERT_EQ(a.status, 0) << a.out;
        ASSERT_EQ(b.status, 0) << b.out;
        EXPECT_EQ(comparable(a.out), comparable(b.out)) << c.format;
        for (std::size_t i = 0; i < s.files.size(); ++i) {
            const std::string copy = packed / (stem(z.files[i]) + "_NormI.laz");
            ASSERT_TRUE(file_exists(copy));
            const std::vector<unsigned char> want = records_of(plain / (stem(s.files[i]) + "_NormI.las"));
            const std::vector<unsigned char> got = records_of(copy);
            EXPECT_TRUE(got == want) << copy;
            EXPECT_FALSE(records_of(packed / z.files[i]) == got) << "intensities unchanged in " << copy;
        }
        const RunResult ia = run_in(plain.path, IMAGE_BIN, {"las_list.txt", "2", "i.png"});
        const RunResult ib = run_in(packed.path, IMAGE_BIN, {"las_list.txt", "2", "i.png"});
        ASSERT_EQ(ib.status, 0) << ib.out;
        EXPECT_TRUE(read_file(plain / "i.png") == read_file(packed / "i.png"));
        if (c.format != 1) continue;
        // A small survey: its path is taken as it is.
        const RunResult ta = run_in(plain.path, TRAJECTORY_BIN, {"las_list.txt", "t.txt", "--accept-inaccurate"});
        const RunResult tb = run_in(packed.path, TRAJECTORY_BIN, {"las_list.txt", "t.txt", "--accept-inaccurate"});
        ASSERT_EQ(ta.status, 0) << ta.out;
        ASSERT_EQ(tb.status, 0) << tb.out;
        EXPECT_EQ(comparable(ta.out), comparable(tb.out));
    }
}

// Every byte of a file with one change.
using Damage = void (*)(std::vector<unsigned char>&, const torvane::LASHeader&);

TEST(LazSurvey, DamagedOrMisnamedFilesAreRefusedNamingTheFileAndNothingIsWritten) {
    TempDir d;
    const simsurvey::Summary z = simulate(d.path, 2, 1, true);
    const std::vector<unsigned char> good = read_file(d / z.files[0]);
    const torvane::LASHeader h = torvane::header_from_bytes(good.data(), good.size());
    struct Case {
        const char* name;
        Damage damage;
        const char* message;
    } cases[] = {
        {"cut.laz", [](std::vector<unsigned char>& b, const torvane::LASHeader& hh) {
             b.resize(hh.OffsetToData + (b.size() - hh.OffsetToData) / 2);
         }, "cannot be read"},
        {"table.laz", [](std::vector<unsigned char>& b, const torvane::LASHeader& hh) {
             torvane::store<int64_t>(b.data() + hh.OffsetToData, static_cast<int64_t>(b.size()) + 1000);
         }, "cannot be read: the chunk table's position"},
        {"chunk.laz", [](std::vector<unsigned char>& b, const torvane::LASHeader& hh) {
             for (std::size_t k = hh.OffsetToData + 8 + 28; k < hh.OffsetToData + 4000; ++k) b[k] = 0xFF;
         }, "cannot be read: chunk 1 of"},
        {"items.laz", [](std::vector<unsigned char>& b, const torvane::LASHeader& hh) {
             // The compression record, last before the records: 34 bytes, then two items of 6 bytes
             // (type, size, version); the first item's size says 22 where the point10 item has 20.
             const std::size_t description = hh.OffsetToData - (34 + 6 * 2);
             torvane::store<uint16_t>(b.data() + description + 34 + 2, 22);
         }, "cannot be read"},
        {"packed.las", [](std::vector<unsigned char>&, const torvane::LASHeader&) {},
         "holds compressed (LAZ) point records but is not named .laz"},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> bytes = good;
        c.damage(bytes, h);
        write_file(d / c.name, bytes);
        write_text(d / "bad_list.txt", std::string(c.name) + "\n");
        std::vector<std::string> args = tool_args(z);
        args[0] = "bad_list.txt";
        const RunResult r = run_tool(d.path, args);
        EXPECT_EQ(r.status, 255) << c.name << r.out;
        EXPECT_NE(r.out.find(std::string("File ") + c.name + " " + c.message), std::string::npos)
            << c.name << r.out;
        EXPECT_FALSE(file_exists(d / (stem(c.name) + "_NormI.laz")) || file_exists(d / (stem(c.name) + "_NormI.las")))
            << c.name;
        const RunResult image = run_in(d.path, IMAGE_BIN, {"bad_list.txt", "2", "bad.png"});
        EXPECT_EQ(image.status, 255) << c.name << image.out;
        EXPECT_FALSE(file_exists(d / "bad.png")) << c.name;
    }
    // Plain records named .laz.
    TempDir p;
    const simsurvey::Summary s = simulate(p.path, 2, 1, false);
    std::filesystem::rename(p / s.files[0], p / "plain.laz");
    write_text(p / "bad_list.txt", "plain.laz\n");
    std::vector<std::string> args = tool_args(s);
    args[0] = "bad_list.txt";
    const RunResult r = run_tool(p.path, args);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("File plain.laz is named .laz but its point records are not compressed"), std::string::npos)
        << r.out;
}

}  // namespace

namespace {

// An independent decoder (the npm package laz-perf of tests/node, run by node)
// reads our compressed copies as we read them. Skipped where node or the
// package is missing.
TEST(LazSurvey, IndependentDecoderReadsOurCopies) {
    TempDir d;
    write_text(d / "decode.js", R"(
const fs = require('fs');
const [inPath, outPath] = process.argv.slice(2);
require('laz-perf').createLazPerf().then((L) => {
  const bytes = fs.readFileSync(inPath);
  const src = L._malloc(bytes.length);
  L.HEAPU8.set(bytes, src);
  const f = new L.LASZip();
  f.open(src, bytes.length);
  const n = f.getCount(), len = f.getPointLength();
  const dst = L._malloc(len), out = Buffer.alloc(n * len);
  for (let i = 0; i < n; ++i) {
    f.getPoint(dst);
    out.set(L.HEAPU8.subarray(dst, dst + len), i * len);
  }
  fs.writeFileSync(outPath, out);
});
)");
    ::setenv("NODE_PATH", NODE_MODULES_DIR, 1);
    if (run_in(d.path, "node", {"-e", "require('laz-perf')"}).status != 0)
        GTEST_SKIP() << "node or the laz-perf package (tests/node: npm install) is missing";
    for (const auto& [minor, format] : {std::pair{2, 3}, std::pair{4, 6}}) {
        TempDir s;
        const simsurvey::Summary z = simulate(s.path, minor, format, true);
        ASSERT_EQ(run_tool(s.path, tool_args(z)).status, 0);
        const std::string copy = s / (stem(z.files[0]) + "_NormI.laz");
        ASSERT_EQ(run_in(d.path, "node", {"decode.js", copy, "out.bin"}).status, 0) << copy;
        EXPECT_TRUE(read_file(d / "out.bin") == records_of(copy)) << copy;
    }
}

}  // namespace
