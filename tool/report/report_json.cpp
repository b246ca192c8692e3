// The JSON report: the summary's figures at full precision, the interval,
// each file's figures, the variance curve and the run's arguments.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "certainty.h"
#include "strip_gains.h"
#include "exponent.h"
#include "temp_files.h"

#ifndef QUILVOR_VERSION
#define QUILVOR_VERSION "unknown"
#endif

namespace quilvor {

namespace {

using Json = nlohmann::ordered_json;

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
        files.push_back(Json{{"name", e.LASName},
                             {"pairs", e.nPairs},
                             {"mean_range", e.meanRange},
                             {"exponent", f.exponent},
                             {"variance_before", f.varianceBefore},
                             {"variance_after", f.varianceAfter},
                             {"standard_error", f.interval.valid ? Json(f.interval.standardError) : Json(nullptr)},
                             {"interval", interval_json(f.interval)}});
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
        for (uint16_t f : s.files) files.push_back(_pairInfo[f].LASName);
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
    return Json{{"list_file", argv[1]},
                {"trajectory_file", argv[2]},
                {"max_pair_distance", _maxPairDist},
                {"search_radius", _resolution},
                {"min_time_between_swaths", _minTimeBWSwaths},
                {"max_time_between_swaths", _maxTimeBWSwaths},
                {"truncate", _truncateIntensityFlag == 0 && _skipNormalizationFlag == -1},
                {"normalize", _skipNormalizationFlag == -1},
                {"report", _extraOutputs.reportFile},
                {"plots", _extraOutputs.plotsDir.empty() ? Json(nullptr) : Json(_extraOutputs.plotsDir)},
                {"strip_gains", _extraOutputs.stripGains}};
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
    const std::string text = j.dump(2) + "\n";
    PendingOutput out;
    if (!begin_output(out, name)) fail("\nCannot create the report %s\n", name.c_str());
    if (std::fwrite(text.data(), 1, text.size(), out.file.get()) != text.size() || !finish_output(out) ||
        !publish_output(out))
        fail("\nCannot write the report %s\n", name.c_str());
}

void check_extra_outputs() {
    if (!_extraOutputs.plotsDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(_extraOutputs.plotsDir, ec);
        if (!std::filesystem::is_directory(_extraOutputs.plotsDir, ec))
            fail("\nCannot make the folder %s for the plots\n", _extraOutputs.plotsDir.c_str());
    }
    if (!_extraOutputs.reportFile.empty()) {
        const std::filesystem::path parent = std::filesystem::path(_extraOutputs.reportFile).parent_path();
        std::error_code ec;
        if (!parent.empty() && !std::filesystem::is_directory(parent, ec))
            fail("\nCannot write the report %s: no folder %s\n", _extraOutputs.reportFile.c_str(),
                 parent.string().c_str());
    }
}

}  // namespace quilvor
