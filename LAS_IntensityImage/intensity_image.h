// LAS_IntensityImage: the mean intensity of the returns in each cell of a
// grid over a survey, as a grey PNG with a world file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "memory.h"
#include "run_state.h"

namespace intensity_image {

struct ImageOptions {
    std::string listFile;
    double cellSize = 0;
    std::string cellSizeText;
    std::string output;  // ends in .png
    bool fixedRange = false;
    double lo = 0, hi = 0;  // the grey scale, with fixedRange
    bool firstOnly = false;
};

// Parses the command line; throws a quilvor::Failure with the message.
ImageOptions parse_image_arguments(int argc, char** argv);
void image_usage();

// At most this many cells, and this many a side (the widest and tallest image
// that libpng writes by default).
inline constexpr uint64_t kMaxCells = 100000000;
inline constexpr uint64_t kMaxSide = 1000000;

// The grid over the union of the files' extents: north up, its corner and
// its cell edges on whole multiples of the cell size.
// One cell: the sum of its returns' intensities and their number, in 32 bits
// each. A cell whose sum or count would pass 32 bits is moved to the grid's
// wide cells: its count becomes kWide and its sum the index of its wide cell.
struct Cell {
    uint32_t sum;
    uint32_t count;
};
struct WideCell {
    uint64_t sum;
    uint64_t count;
};
inline constexpr uint32_t kWide = UINT32_MAX;

struct IntensityGrid {
    double cell = 1, west = 0, north = 0;
    uint32_t ncols = 0, nrows = 0;
    quilvor::Buffer<Cell> cells;  // row by row, row 0 northmost
    std::vector<WideCell> wide;   // the cells too full for 32 bits
    uint64_t used = 0;            // returns that fell in a cell
};

// Adds one return's intensity to cell c.
inline void add_to_cell(IntensityGrid& grid, std::size_t c, uint16_t intensity) {
    Cell& cell = grid.cells[c];
    uint32_t sum;
    if (cell.count < kWide - 1 && !__builtin_add_overflow(cell.sum, intensity, &sum)) {
        cell.sum = sum;
        ++cell.count;
        return;
    }
    if (cell.count != kWide) {
        grid.wide.push_back({cell.sum, cell.count});
        cell.sum = static_cast<uint32_t>(grid.wide.size() - 1);  // fewer cells than 2^32
        cell.count = kWide;
    }
    grid.wide[cell.sum].sum += intensity;
    ++grid.wide[cell.sum].count;
}

// The sum and the number of cell c's returns.
inline WideCell cell_total(const IntensityGrid& grid, std::size_t c) {
    const Cell& cell = grid.cells[c];
    if (cell.count == kWide) return grid.wide[cell.sum];
    return {cell.sum, cell.count};
}

// Shapes the grid over the validated headers of the survey's files; a grid of
// more than kMaxCells, or of more than kMaxSide a side, is refused, naming the
// cell size to use.
void shape_grid(IntensityGrid& grid, const ImageOptions& o, const quilvor::Survey& survey);
// Adds the returns of every listed file (first returns only with firstOnly):
// the files are read on a second thread while this one bins their returns.
void add_files(IntensityGrid& grid, bool firstOnly, quilvor::Survey& survey);
// Adds the n records of block, of the file whose header is h.
void add_records(IntensityGrid& grid, const torvane::LASHeader& h, const unsigned char* block, std::size_t n,
                 bool firstOnly);
// The grey scale: the 2nd and 98th percentiles of the cell means.
void percentile_range(const IntensityGrid& grid, double& lo, double& hi);
// Grey value of a mean on the scale lo to hi (0 to 255).
uint8_t grey(double mean, double lo, double hi);

// Writes the image (grey and alpha, empty cells transparent) and its world
// file beside it, each under a temporary name renamed when complete.
void write_image(const IntensityGrid& grid, double lo, double hi, const std::string& output);
// The world file's name: the image's with ".pgw" in place of ".png".
std::string world_file_name(const std::string& output);

// Writes one PNG of width x height pixels of two 8-bit channels (grey,
// alpha); row(r, pixels) fills row r. False when libpng fails.
bool write_grey_alpha_png(std::FILE* f, uint32_t width, uint32_t height,
                          void (*row)(const void* context, uint32_t r, unsigned char* pixels), const void* context);

}  // namespace intensity_image
