// Where the progress lines and messages of one file's stages go.
#pragma once

#include <cstddef>
#include <cstdio>

namespace quilvor {

// Standard output, or a test's capture of the lines.
class Console {
public:
    virtual ~Console() = default;
    virtual void write(const char* text, std::size_t n) = 0;
    // Makes what was written visible now (a progress line).
    virtual void flush() {}
    void print(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
};

// The console that writes to standard output directly.
Console& standard_output();

}  // namespace quilvor
