// The PNG encoding, by libpng.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <thread>
#include <vector>

#include "intensity_image.h"
#include "parallel.h"

namespace intensity_image {

namespace {

struct PngWrite {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWrite() { png_destroy_write_struct(&png, &info); }
};

// libpng reports errors by longjmp to the setjmp of the function that called
// it: nothing in these three functions needs a destructor run, so the
// buffers and threads live in their caller.
bool begin_png(PngWrite& w, std::FILE* f, uint32_t width, uint32_t height) {
    if (setjmp(png_jmpbuf(w.png))) return false;
    png_init_io(w.png, f);
    png_set_IHDR(w.png, w.info, width, height, 8, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Fast: one cheap filter and Huffman coding alone (on these images as
    // small as light compression); the image is written once, read by a viewer.
    png_set_filter(w.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(w.png, 1);
    png_set_compression_strategy(w.png, Z_HUFFMAN_ONLY);
    png_write_info(w.png, w.info);
    return true;
}

bool write_rows(PngWrite& w, unsigned char* rows, uint32_t n, std::size_t stride) {
    if (setjmp(png_jmpbuf(w.png))) return false;
    for (uint32_t k = 0; k < n; ++k) png_write_row(w.png, rows + k * stride);
    return true;
}

bool end_png(PngWrite& w) {
    if (setjmp(png_jmpbuf(w.png))) return false;
    png_write_end(w.png, nullptr);
    return true;
}

}  // namespace

bool write_grey_alpha_png(std::FILE* f, uint32_t width, uint32_t height,
                          void (*row)(const void* context, uint32_t r, unsigned char* pixels), const void* context) {
    PngWrite w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (w.png == nullptr) return false;
    w.info = png_create_info_struct(w.png);
    if (w.info == nullptr) return false;
    // Rows are made in blocks on a second thread while libpng encodes the
    // block before.
    constexpr uint32_t block = 64;
    const std::size_t stride = 2 * static_cast<std::size_t>(width);
    std::vector<unsigned char> rows[2];
    try {
        rows[0].resize(block * stride);
        rows[1].resize(block * stride);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const auto make = [&](uint32_t first, unsigned char* out) {
        for (uint32_t r = first; r < std::min(height, first + block); ++r) row(context, r, out + (r - first) * stride);
    };
    if (!begin_png(w, f, width, height)) return false;
    make(0, rows[0].data());
    bool ok = true;
    for (uint32_t first = 0, b = 0; first < height && ok; first += block, b ^= 1) {
        std::thread next;
        const bool more = first + block < height;
        const bool ahead = more && quilvor::start_thread(next, [&, first, b] { make(first + block, rows[b ^ 1].data()); });
        ok = write_rows(w, rows[b].data(), std::min(block, height - first), stride);
        if (ahead) next.join();
        else if (more) make(first + block, rows[b ^ 1].data());
    }
    return ok && end_png(w);
}

}  // namespace intensity_image
