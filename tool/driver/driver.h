// Command line, LAS file list and per-file table.
#pragma once

#include <string>
#include <vector>

#include "run_state.h"

namespace quilvor {

void usage();
void findOptionalArgs(int argc, char** argv);
void checkArgs(char** argv);

// Builds _pairInfo from the first _fileCount names of the list file.
void init_pairInfo(const std::vector<char*>& names);
// Refuses the run if a listed file cannot be processed; returns only when every file passes.
void check_las_4_GPSTime(const std::vector<char*>& names);
// The normalized copy's name: the input name without its last four characters, then "_NormI.las".
std::string normalizedName(const std::string& LASName);
// Refuses a run whose normalized output would replace one of its own inputs.
void check_outputs_against_inputs();

}  // namespace quilvor
