// The intensity-normalized copy of every LAS file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "memory.h"
#include "temp_files.h"

namespace quilvor {

struct StripGains;

void normalizeIntensity();

// The normalized copy's name: the input name without its last four characters, then "_NormI.las"
// ("_NormI.laz" for a name ending in .laz: the copy of a compressed file is compressed).
std::string normalizedName(const std::string& LASName);
// Refuses a run whose normalized output would replace one of its own inputs.
void check_outputs_against_inputs();
// Refuses a normalized copy's name that is a directory, before anything is
// written for that copy.
void check_output_name(const std::string& outName);

// One file's normalized copy.
struct NormalizeJob {
    uint16_t LASID;
    Console& out;                                // the file's console lines
    std::vector<Buffer<unsigned char>>& blocks;  // a read and write block per thread
    const double* power;                         // pow(R / mean range, exponent) for every range R
    const StripGains* gains = nullptr;           // with --strip-gains: each strip's gain divides its intensities
};
// Reads the file in blocks, shared out over the threads (one per entry of
// blocks), normalizes every return's intensity and writes the copy, complete
// and on disk, under a temporary name; publish_output gives it its final name.
std::unique_ptr<PendingOutput> normalize_file(const NormalizeJob& job);

// The stored intensity for a normalized value v: truncated toward zero,
// 0 for a value that is not a number or negative, 65535 at most; with
// truncation on, clamped into [1, 255].
uint16_t stored_intensity(double v, bool truncate);

}  // namespace quilvor
