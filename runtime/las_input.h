// The listed LAS files: the list, the per-file table, the checks that every
// file can be processed, and reading a file that the run validated. Shared by
// the suite's programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_state.h"
#include "survey_file.h"

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
// Refuses the run if a file of _pairInfo cannot be processed; returns only
// when every file passes, each with its validated header and size recorded.
void check_las_4_GPSTime();
// The same for the files of a list, as a survey of their own (the
// programs beside LAS_Quilvor).
Survey open_survey(const std::vector<std::string>& names);
// Refuses the run if one file cannot be processed.
void check_survey_file(SurveyFile& file);

// Checks a header and the file's size against what the stages rely on; the
// records of a compressed file are checked with its chunks.
void validate_layout(const char* name, const torvane::LASHeader& h, uint64_t size, bool compressed = false);
// Opens a listed file (a regular file only). Its first opening validates the
// header and the size, finds its records and records all of them in the
// file's value; every later one finds them unchanged, or the run stops with
// "changed while it was being processed". openFailure (with %s for the name)
// is the stage's message for a file that cannot be opened.
LasInput open_las_input(SurveyFile& file, const char* openFailure);
// The same for a file of _pairInfo.
LasInput open_las_input(pairStruct& entry, const char* openFailure);
// Point records first .. first + count - 1 as plain LAS records of
// recordLength bytes into to, on any thread; scratch is the thread's own.
void read_records(const LasInput& in, uint32_t first, uint32_t count, unsigned char* to, RecordScratch& scratch);
// Bytes of the file from a given offset, on any thread; a short read means
// the file changed underneath.
void read_input_at(const LasInput& in, void* buffer, std::size_t bytes, uint64_t offset);
// The data of one of the file's records (all of it lies within the file).
std::vector<unsigned char> record_data(const LasInput& in, const torvane::VariableRecord& r);
// The file's first record of a user ID and record ID, or nullptr.
const torvane::VariableRecord* find_record(const SurveyFile& file, const std::string& user, uint16_t id);
[[noreturn]] void fail_changed(const char* name);
// Records the identity of the open file fd of a listed file at its first
// opening; at every later one, the run stops with "changed while it was being
// processed" unless it is the same file, unchanged (an input renamed over by
// another file of the same header and size included).
void check_identity(SurveyFile& file, int fd);

}  // namespace quilvor
