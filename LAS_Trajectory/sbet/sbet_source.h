// A trajectory from a survey's navigation solution (SBET): converted into
// the coordinate system and GPS-time convention of the listed LAS files and
// checked to cover every file's returns.
#pragma once

#include <string>
#include <vector>

#include "run_state.h"
#include "survey_file.h"

namespace navigation {

struct SbetOptions {
    std::string sbet;      // the SBET file
    std::string crs;       // --crs: a definition PROJ accepts, or a file holding one; empty: the files' own
    int gpsWeek = -1;      // --gps-week: the GPS week of the SBET's first record; -1: from the files' times
    double step = 0.0;     // --step: seconds between output samples; 0: every record
};

// The GPS-time span of a listed file's returns, and whether it holds
// adjusted standard GPS time.
struct FileTimes {
    double first = 0.0, last = 0.0;
    bool any = false;
    bool adjusted = false;
};
// Reads every record's GPS time of a listed file in large blocks.
FileTimes file_times(quilvor::SurveyFile& file);

// The unit of the listed files' coordinates where they all name one
// coordinate system whose unit PROJ knows ("m", "ft", "US ft"), else
// "coordinate units".
std::string files_distance_unit(quilvor::Survey& survey);

// The SBET as X Y Z T samples in the files' terms, every file's returns
// covered (otherwise the run ends with both spans), thinned to one sample
// every step seconds; prints what it did on standard output. The survey's
// files passed open_survey.
std::vector<quilvor::refDataStruct> trajectory_from_sbet(quilvor::Survey& survey, const SbetOptions& o);

}  // namespace navigation
