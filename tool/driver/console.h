// Where the progress lines and messages of one file's stages go.
#pragma once

#include <cstddef>
#include <cstdio>

namespace quilvor {

// Standard output, or, when several files are processed at once, that file's
// block of lines, which is printed whole and in list order.
class Console {
public:
    virtual ~Console() = default;
    virtual void write(const char* text, std::size_t n) = 0;
    // Makes what was written visible now (a progress line).
    virtual void flush() {}
    // True when the file's work is no longer wanted (an earlier file of its
    // stage has failed): the work stops at its next step.
    virtual bool abandoned() const { return false; }
    void print(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
};

// The console that writes to standard output directly.
Console& standard_output();

}  // namespace quilvor
