// Command line: usage text, switches and the checks of the run settings.
#pragma once

#include <string>

#include "las_input.h"
#include "run_state.h"

namespace quilvor {

void usage();
// The usage with the options --report, --plots and --strip-gains, for --help.
void help();
// Takes the options --report FILE and --plots DIR (each with its value) and
// --strip-gains from the arguments after the first six into _extraOutputs,
// leaving argv and argc to the rest; returns why the command line is refused
// (a missing or repeated value, another argument after the first six
// beginning with "--"), or an empty string.
std::string take_extra_outputs(int& argc, char** argv);
void findOptionalArgs(int argc, char** argv);
void checkArgs(char** argv);

}  // namespace quilvor
