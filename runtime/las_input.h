// The listed LAS files: the list, the per-file table, the checks that every
// file can be processed, and reading a file that the run validated. Shared by
// the suite's programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_state.h"

namespace quilvor {

// Reads QUILVOR_THREADS and QUILVOR_MEMORY_MB into the run settings.
void read_run_settings();

// The names of the list file (at most 65535), in their order.
std::vector<std::string> read_list(const char* listName);
// Builds _pairInfo from the first _fileCount names of the list file.
void init_pairInfo(const std::vector<std::string>& names);
// The RAI file name of a listed name: "tmp_RAI_" + its last path component
// without the last four characters + ".dat", in the working directory.
std::string rai_name(const std::string& LASName);
// Refuses the run if a listed file cannot be processed; returns only when
// every file passes, each with its validated header and size recorded.
void check_las_4_GPSTime();

// A listed LAS file open for reading, positioned after its public header block.
struct LasInput {
    FilePtr file;
    torvane::LASHeader header;
    const torvane::PointFormat* format;  // the header's point format, one with a GPS time
    uint32_t points;                     // the number of point records
    uint16_t recordLength;               // PointDataRecordLength
};
// Checks a header and the file's size against what the stages rely on.
void validate_layout(const char* name, const torvane::LASHeader& h, uint64_t size);
// Opens a listed file (a regular file only). Its first opening validates the
// header and the size and records them in the entry; every later one finds
// them unchanged, or the run stops with "changed while it was being processed".
// openFailure (with %s for the name) is the stage's message for a file that
// cannot be opened.
LasInput open_las_input(pairStruct& entry, const char* openFailure);
// Reads bytes of point data; a short read means the file changed underneath.
void read_input(LasInput& in, void* buffer, std::size_t bytes, const char* name);
// The same from a given offset of the file, on any thread.
void read_input_at(LasInput& in, void* buffer, std::size_t bytes, uint64_t offset, const char* name);
[[noreturn]] void fail_changed(const char* name);
// Records the identity of the open file fd of a listed file at its first
// opening; at every later one, the run stops with "changed while it was being
// processed" unless it is the same file, unchanged (an input renamed over by
// another file of the same header and size included).
void check_identity(pairStruct& entry, int fd);

}  // namespace quilvor
