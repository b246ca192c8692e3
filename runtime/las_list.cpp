// The list of LAS files, the per-file table and the checks that every listed file can be processed.
#include <filesystem>
#include <system_error>

#include "las_input.h"

namespace quilvor {

using torvane::LASHeaderSize;

std::string rai_name(const std::string& LASName) {
    const std::size_t slash = LASName.find_last_of('/');
    const std::string last = slash == std::string::npos ? LASName : LASName.substr(slash + 1);
    return "tmp_RAI_" + last.substr(0, last.size() >= 4 ? last.size() - 4 : 0) + ".dat";
}

namespace {

// True when an entry before i with another LAS name already uses name.
bool taken_by_another(std::size_t i, const std::string& name) {
    for (std::size_t j = 0; j < i; ++j)
        if (_pairInfo[j].RAIName == name && _pairInfo[j].LASName != _pairInfo[i].LASName) return true;
    return false;
}

}  // namespace

std::vector<std::string> read_list(const char* listName) {
    FilePtr list(std::fopen(listName, "r"));
    if (!list) fail_because(errno, listName, "\nCannot open input ASCII file %s for reading\n", listName);
    TokenReader reader(list.get());
    std::vector<std::string> names;
    try {
        std::string token;
        while (reader.next(token)) {
            if (names.size() == 65535) fail("\nToo many LAS files listed in %s (at most 65535)\n", listName);
            names.push_back(token);
        }
    } catch (const std::bad_alloc&) {
        fail("\nFailed to allocate memory for return pair information structure\n");
    }
    if (names.empty()) fail("\nInvalid contents in %s\n", listName);
    return names;
}

void init_pairInfo(const std::vector<std::string>& names) {
    try {
        _pairInfo.assign(_fileCount, pairStruct{});
        for (uint16_t i = 0; i < _fileCount; ++i) {
            pairStruct& entry = _pairInfo[i];
            entry.meanRange = -1.0;
            entry.nPairs = 0;
            entry.LASName = names[i];
            if (entry.LASName.size() < 4) fail("\nFile name (%s) is too short\n", names[i].c_str());
            // Two different names that end alike (a/tile.las, b/tile.las) must not
            // share a RAI file: the later one gets its list position. The same name
            // listed twice keeps sharing one.
            entry.RAIName = rai_name(entry.LASName);
            while (taken_by_another(i, entry.RAIName))
                entry.RAIName.insert(entry.RAIName.size() - 4, "_" + std::to_string(i + 1));
        }
    } catch (const std::bad_alloc&) {
        fail("\nFailed to allocate memory for return pair information structure\n");
    }
}

namespace {

[[noreturn]] void refuse_gps(const char* name) {
    fail("File %s does not contain GPS information [required]\n", name);
}

// Code 0 of check_las, a LAS 1.0 or 1.1 file declaring format 2 or 3: usable
// only as format 3 with 34-byte records, which hold the GPS time at byte 20.
void check_undefined_format(const char* name) {
    using torvane::LASHeader;
    unsigned char b[torvane::LASHeaderSize] = {};
    {
        FilePtr f = torvane::open_regular_file(name);
        if (f && std::fread(b, 1, sizeof(b), f.get()) < 107) b[offsetof(LASHeader, PointDataFormatID)] = 0;
    }
    const int raw = b[offsetof(LASHeader, PointDataFormatID)];
    const int format = (raw & 0x80) != 0 ? raw & 0x3F : raw;
    const uint16_t length = torvane::load<uint16_t>(b + offsetof(LASHeader, PointDataRecordLength));
    if (format != 3) refuse_gps(name);
    if (length != torvane::point_format(3).length)
        fail("\nData format of %s (%c) is incompatible with Length of Data Record (%d)\n", name, '0' + format,
             static_cast<int>(length));
}

}  // namespace

void check_survey_file(SurveyFile& file) {
    const char* name = file.name.c_str();
    const int16_t LASType = torvane::check_las(file.name);
    switch (LASType) {
        case -1: throw Failure("");  // check_las has printed why
        case 0: check_undefined_format(name); break;
        default:
            if (!torvane::las_type_has_gps_time(LASType)) refuse_gps(name);
    }
    open_las_input(file, "\n%s is not a valid .las file\n\n");
}

void check_las_4_GPSTime() {
    for (pairStruct& entry : _pairInfo) {
        entry.file.name = entry.LASName;
        check_survey_file(entry.file);
    }
}

Survey open_survey(const std::vector<std::string>& names) {
    Survey survey;
    try {
        survey.resize(names.size());
    } catch (const std::bad_alloc&) {
        fail("\nFailed to allocate memory for return pair information structure\n");
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].size() < 4) fail("\nFile name (%s) is too short\n", names[i].c_str());
        survey[i].name = names[i];
    }
    for (SurveyFile& file : survey) check_survey_file(file);
    return survey;
}

}  // namespace quilvor
