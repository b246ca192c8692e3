// Command line: usage text, switches and the checks of the run settings.
#pragma once

#include "las_input.h"
#include "run_state.h"

namespace quilvor {

void usage();
void findOptionalArgs(int argc, char** argv);
void checkArgs(char** argv);

}  // namespace quilvor
