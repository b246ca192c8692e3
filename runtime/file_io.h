// Positional reads and writes of whole byte ranges, on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quilvor {

// Reads bytes from offset of the open file fd into data, again after an
// interruption or a short count; returns the bytes read: all of them, or fewer
// at the end of the file (error 0) or on a failure (error its errno value).
std::size_t read_at(int fd, void* data, std::size_t bytes, uint64_t offset, int& error);

// Writes bytes of data at offset of the open file fd, again after an
// interruption or a short count; true when the file took them all, else false
// with error set (its errno value; ENOSPC for a file that takes nothing more).
bool write_at(int fd, const void* data, std::size_t bytes, uint64_t offset, int& error);

}  // namespace quilvor
