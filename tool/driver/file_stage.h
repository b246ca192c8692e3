// A per-file stage run for several files at once, with the output of a run
// that takes the files one after the other.
#pragma once

#include <cstdint>
#include <functional>

#include "console.h"
#include "run_state.h"

namespace quilvor {

struct FileStage {
    unsigned threads = 1;
    // Does the work of file i; worker is 0 .. threads - 1. Its lines go to
    // out, which prints them once every earlier file is done. It may return
    // an action that completes the file (such as renaming an output into
    // place), run once every earlier file has completed.
    std::function<std::function<void()>(uint16_t i, Console& out, unsigned worker)> work;
    // A file whose work must have ended before file i starts, or -1.
    std::function<int(uint16_t i)> waitFor;
    // Removes what the work of file i left behind, when file failed (before i) failed.
    std::function<void(uint16_t i, uint16_t failed)> discard;
};

// Runs the stage for files 0 .. _fileCount - 1, taken in list order. Standard
// output is what one thread would print: each file's lines whole and in list
// order. When file k fails, the files before k complete, the lines of the
// files up to k are printed, the files after k are abandoned and discarded,
// and k's Failure is thrown here.
void run_file_stage(const FileStage& stage);

}  // namespace quilvor
