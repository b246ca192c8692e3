// Temporary files made safely, the working-directory lock, normalized outputs
// that appear only when complete, and the clean-up on interruption.
#pragma once

#include <string>
#include <vector>

#include "run_state.h"

namespace quilvor {

// Takes an advisory lock on the working directory, where the run keeps its
// temporary files; a second run there stops with a message instead of sharing
// them. No lock file is made; the lock ends with the process.
void lock_working_directory();

// Creates a temporary file for writing and reading back: an existing entry of
// that name is removed (a link is removed, never followed), then the file is
// created exclusively with mode 0600. It is removed if the run is interrupted,
// until remove_temporary_file. nullptr when it cannot be created.
FilePtr create_temporary_file(const std::string& name, const char* mode);
void remove_temporary_file(const std::string& name);
// The temporary files made and not yet removed that are on disk.
std::vector<std::string> kept_temporary_files();

// A normalized output, written under a temporary name beside its final name
// and renamed to it only when complete; removed if it goes out of scope
// before that.
struct PendingOutput {
    std::string finalName;
    std::string tempName;
    FilePtr file;
    PendingOutput() = default;
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;
    ~PendingOutput();
};
// Creates the temporary file; false (errno set) when it cannot be created.
bool begin_output(PendingOutput& out, const std::string& finalName);
// Flushes the complete file to disk and closes it; false (errno set) on any failure.
bool finish_output(PendingOutput& out);
// Renames the finished file to its final name; false (errno set) on failure,
// with the temporary file removed.
bool publish_output(PendingOutput& out);
void discard_output(PendingOutput& out);

// One output of a run; outputs of one group (the normalized copies of a
// list that names a file twice) are not compared with each other.
struct RunOutput {
    std::string name;
    std::string role;  // for the message: "--report", "normalized copy", ...
    int group = 0;
};
// Refuses, before any work, an output that is one of the inputs or another
// output of the run: the same file (device and inode) or the same name
// (after "." and "..", links and the working directory are resolved).
// "Output file %s would overwrite input file %s", or "Output file %s (role)
// would overwrite output file %s (role)".
void check_outputs_apart(const std::vector<std::string>& inputs, const std::vector<RunOutput>& outputs);
// Ends the run with message (formatted with name) and the system's reason
// when output name cannot be written: a folder, or a place where no file can
// be made (tried with a temporary file, removed at once).
void check_output_place(const std::string& name, const char* message);

// A folder the run made for its outputs: removed (if empty) when the run
// fails or is interrupted. Register the outer folders first.
void remove_folder_on_failure(const std::string& folder);
// Removes them (the failed run's end).
void remove_failed_run_folders();

// From now on SIGINT, SIGTERM and SIGHUP remove every temporary file and
// unfinished output, say so on standard error and end the run with status -1,
// at once, whatever standard output is doing; SIGXFSZ is ignored, so that a
// write past the file-size limit fails as a write. Call before any other
// thread starts.
void install_interrupt_cleanup();

}  // namespace quilvor
