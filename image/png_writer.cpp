// The PNG encoding, by libpng.
#include <png.h>

#include <csetjmp>
#include <vector>

#include "intensity_image.h"

namespace intensity_image {

namespace {

struct PngWrite {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWrite() { png_destroy_write_struct(&png, &info); }
};

// libpng reports errors by longjmp: nothing here may need a destructor run
// between setjmp and the jump, so the row buffer lives in the caller.
bool encode(PngWrite& w, std::FILE* f, uint32_t width, uint32_t height,
            void (*row)(const void*, uint32_t, unsigned char*), const void* context, unsigned char* pixels) {
    if (setjmp(png_jmpbuf(w.png))) return false;
    png_init_io(w.png, f);
    png_set_IHDR(w.png, w.info, width, height, 8, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Fast: one cheap filter and light compression; the image is written once, read by a viewer.
    png_set_filter(w.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(w.png, 1);
    png_write_info(w.png, w.info);
    for (uint32_t r = 0; r < height; ++r) {
        row(context, r, pixels);
        png_write_row(w.png, pixels);
    }
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
    std::vector<unsigned char> pixels;
    try {
        pixels.resize(2 * static_cast<std::size_t>(width));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return encode(w, f, width, height, row, context, pixels.data());
}

}  // namespace intensity_image
