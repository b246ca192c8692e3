// The JSON report: the summary's figures at full precision, the interval,
// each file's figures, the variance curve and the run's arguments.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "certainty.h"
#include "strip_gains.h"
#include "exponent.h"
#include "normalize.h"
#include "temp_files.h"

#ifndef QUILVOR_VERSION
#define QUILVOR_VERSION "unknown"
#endif

namespace quilvor {

namespace {

using Json = nlohmann::ordered_json;

// Adds a file or folder name under key. A name that is not UTF-8 (file
// names are bytes) is written losslessly as ISO 8859-1: every byte the
// character of its code, U+0000 to U+00FF; "<key>_encoding": "latin1"
// beside it says so.
void put_name(Json& j, const std::string& key, const std::string& name) {
    try {
        (void)Json(name).dump();  // the JSON writer's own test of UTF-8
        j[key] = name;
        return;
    } catch (const Json::exception&) {
    }
    std::string latin1;
    for (const unsigned char c : name) {
        if (c < 0x80) {
            latin1 += static_cast<char>(c);
        } else {
            latin1 += static_cast<char>(0xC0 | (c >> 6));
            latin1 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    j[key] = latin1;
    j[key + "_encoding"] = "latin1";
}

Json interval_json(const ExponentInterval& i) {
    Json j;
    j["level"] = i.level;
    j["low"] = i.valid ? Json(i.low) : Json(nullptr);
    j["high"] = i.valid ? Json(i.high) : Json(nullptr);
    j["standard_error"] = i.valid ? Json(i.standardError) : Json(nullptr);
    j["method"] = i.method;
    return j;
}

Json files_json() {
    Json files = Json::array();
    for (std::size_t k = 0; k < _pairInfo.size(); ++k) {
        const pairStruct& e = _pairInfo[k];
        const FileFigures& f = _certainty.files[k];
        Json file;
        put_name(file, "name", e.LASName);
        file.update(Json{{"pairs", e.nPairs},
                          {"mean_range", e.meanRange},
                          {"exponent", f.exponent},
                          {"variance_before", f.varianceBefore},
                          {"variance_after", f.varianceAfter},
                          {"standard_error", f.interval.valid ? Json(f.interval.standardError) : Json(nullptr)},
                          {"interval", interval_json(f.interval)}});
        files.push_back(std::move(file));
    }
    return files;
}

Json curve_json() {
    Json curve = Json::array();
    for (const CurvePoint& p : _certainty.curve) curve.push_back(Json{{"exponent", p.exponent}, {"variance", p.variance}});
    return curve;
}

Json by_range_json() {
    Json bins = Json::array();
    for (const RangeBin& b : _certainty.byRange)
        bins.push_back(Json{{"range_low", b.rangeLo},
                            {"range_high", b.rangeHi},
                            {"returns", b.returns},
                            {"mean_intensity", b.raw},
                            {"mean_normalized_intensity", b.normalized}});
    return bins;
}

Json strip_gains_json() {
    const StripGains& sg = _stripGains;
    Json strips = Json::array();
    for (const Strip& s : sg.strips) {
        Json files = Json::array();
        for (uint16_t f : s.files) {
            Json name;
            put_name(name, "name", _pairInfo[f].LASName);
            files.push_back(name["name"]);
        }
        strips.push_back(Json{{"id", s.source},
                              {"gps_time_first", s.firstTime + _rd.front().T},
                              {"gps_time_last", s.lastTime + _rd.front().T},
                              {"files", files},
                              {"pairs", s.pairs},
                              {"estimable", s.estimable && sg.valid},
                              {"gain", s.estimable && sg.valid ? Json(s.gain) : Json(nullptr)},
                              {"standard_error", s.estimable && sg.valid ? Json(s.standardError) : Json(nullptr)}});
    }
    return Json{{"exponent", sg.valid ? Json(sg.exponent) : Json(nullptr)},
                {"interval", interval_json(sg.interval)},
                {"strips", strips}};
}

Json arguments_json(char** argv) {
    Json j;
    put_name(j, "list_file", argv[1]);
    put_name(j, "trajectory_file", argv[2]);
    j.update(Json{{"max_pair_distance", _maxPairDist},
                  {"search_radius", _resolution},
                  {"min_time_between_swaths", _minTimeBWSwaths},
                  {"max_time_between_swaths", _maxTimeBWSwaths},
                  {"truncate", _truncateIntensityFlag == 0 && _skipNormalizationFlag == -1},
                  {"normalize", _skipNormalizationFlag == -1}});
    put_name(j, "report", _extraOutputs.reportFile);
    if (_extraOutputs.plotsDir.empty())
        j["plots"] = nullptr;
    else
        put_name(j, "plots", _extraOutputs.plotsDir);
    j["strip_gains"] = _extraOutputs.stripGains;
    return j;
}

}  // namespace

void write_json_report(int /*argc*/, char** argv) {
    const std::string& name = _extraOutputs.reportFile;
    if (name.empty()) return;
    Json j;
    j["exponent"] = _normFactor;
    j["variance_before"] = _preNormIntensityVar;
    j["variance_after"] = _postNormIntensityVar;
    j["mean_range"] = _meanRange;
    j["pairs"] = static_cast<uint64_t>(_allPairs);
    j["interval"] = interval_json(_certainty.interval);
    j["strip_gains"] = strip_gains_json();
    j["warnings"] = _certainty.warnings;
    j["files"] = files_json();
    j["curve"] = curve_json();
    j["intensity_by_range"] = by_range_json();
    j["arguments"] = arguments_json(argv);
    j["version"] = QUILVOR_VERSION;
    // Names went in through put_name; a warning's sentence may quote a name
    // that is not UTF-8, and gets the replacement character there.
    const std::string text = j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    PendingOutput out;
    if (!begin_output(out, name)) fail_because(errno, name, "\nCannot create the report %s\n", name.c_str());
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), out.file.get()) != text.size() || !finish_output(out) ||
        !publish_output(out))
        fail_because(errno, name, "\nCannot write the report %s\n", name.c_str());
}

namespace {

const char* const kPlotNames[] = {"variance_curve.png", "intensity_by_range.png"};

// Makes the plots folder, with every missing folder above it; those it made
// are removed again if the run fails.
void make_plots_folder(const std::string& folder) {
    std::vector<std::filesystem::path> missing;
    std::error_code ec;
    for (std::filesystem::path p = std::filesystem::path(folder); !p.empty() && !std::filesystem::exists(p, ec);
         p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    std::filesystem::create_directories(folder, ec);
    const int made = ec.value();
    for (auto p = missing.rbegin(); p != missing.rend(); ++p)
        if (std::filesystem::is_directory(*p, ec)) remove_folder_on_failure(p->string());
    if (!std::filesystem::is_directory(folder, ec)) {
        struct stat st;
        const int why = ::stat(folder.c_str(), &st) == 0 ? ENOTDIR : made;
        fail_because(why, folder, "\nCannot make the folder %s for the plots\n", folder.c_str());
    }
}

}  // namespace

void check_extra_outputs(char** argv) {
    // No output may be an input or another output.
    std::vector<std::string> inputs = {argv[1], argv[2]};
    std::vector<RunOutput> outputs;
    for (const pairStruct& e : _pairInfo) inputs.push_back(e.LASName);
    if (!_extraOutputs.reportFile.empty()) outputs.push_back({_extraOutputs.reportFile, "--report", 1});
    if (!_extraOutputs.plotsDir.empty())
        for (const char* plot : kPlotNames)
            outputs.push_back({(std::filesystem::path(_extraOutputs.plotsDir) / plot).string(), "--plots", 2});
    if (_skipNormalizationFlag == -1)
        for (const pairStruct& e : _pairInfo) outputs.push_back({normalizedName(e.LASName), "normalized copy", 3});
    check_outputs_apart(inputs, outputs);

    if (!_extraOutputs.plotsDir.empty()) {
        make_plots_folder(_extraOutputs.plotsDir);
        for (const char* plot : kPlotNames)
            check_output_place((std::filesystem::path(_extraOutputs.plotsDir) / plot).string(),
                               "\nCannot write the plot %s\n");
    }
    if (!_extraOutputs.reportFile.empty()) {
        const std::filesystem::path parent = std::filesystem::path(_extraOutputs.reportFile).parent_path();
        std::error_code ec;
        if (!parent.empty() && !std::filesystem::is_directory(parent, ec))
            fail("\nCannot write the report %s: no folder %s\n", _extraOutputs.reportFile.c_str(),
                 parent.string().c_str());
        check_output_place(_extraOutputs.reportFile, "\nCannot create the report %s\n");
    }
}

}  // namespace quilvor
