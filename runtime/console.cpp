// Formatted console lines, to standard output or to a file's block.
#include "console.h"

#include <cstdarg>
#include <string>

namespace quilvor {

void Console::print(const char* fmt, ...) {
    char small[512];
    std::va_list args;
    va_start(args, fmt);
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof(small), fmt, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof(small)) {
        write(small, static_cast<std::size_t>(n));
    } else {
        std::string text(static_cast<std::size_t>(n), '\0');
        std::vsnprintf(text.data(), text.size() + 1, fmt, again);
        write(text.data(), text.size());
    }
    va_end(again);
}

namespace {
class StandardOutput : public Console {
public:
    void write(const char* text, std::size_t n) override { std::fwrite(text, 1, n, stdout); }
    void flush() override { std::fflush(stdout); }
};
}  // namespace

Console& standard_output() {
    static StandardOutput console;
    return console;
}

}  // namespace quilvor
