// LAS_IntensityImage: arguments, the grid, binning the returns, the grey scale
// and the written files.
#include "intensity_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "las_input.h"
#include "parallel.h"
#include "temp_files.h"

namespace intensity_image {

using quilvor::fail;

void image_usage() {
    std::printf("Usage:\nLAS_IntensityImage\n");
    std::printf("        <ASCII file w/ list of LAS files>\n");
    std::printf("        <Cell size, in the units of the LAS files>\n");
    std::printf("        <Output image, .png (a world file .pgw is written beside it)>\n");
    std::printf("        Options:\n");
    std::printf("           --range LO HI {grey scale from intensity LO (black) to HI (white)}\n");
    std::printf("           --first       {first returns only}\n\n");
}

using torvane::parse_finite_number;

ImageOptions parse_image_arguments(int argc, char** argv) {
    ImageOptions o;
    std::vector<const char*> positional;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--first") {
            o.firstOnly = true;
        } else if (a == "--range") {
            if (k + 2 >= argc || !parse_finite_number(argv[k + 1], o.lo) || !parse_finite_number(argv[k + 2], o.hi) || !(o.lo < o.hi))
                fail("\n--range needs two numbers LO and HI, LO less than HI\n");
            o.fixedRange = true;
            k += 2;
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            fail("\nUnknown option %s\n", a.c_str());
        } else {
            positional.push_back(argv[k]);
        }
    }
    if (positional.size() != 3) throw quilvor::Failure("");  // the caller prints the usage
    o.listFile = positional[0];
    o.cellSizeText = positional[1];
    if (!parse_finite_number(positional[1], o.cellSize) || !(o.cellSize > 0))
        fail("\nCell size should be a positive number. You specified %s\n", positional[1]);
    o.output = positional[2];
    if (o.output.size() < 5 || o.output.compare(o.output.size() - 4, 4, ".png") != 0)
        fail("\nThe image name %s should end in .png\n", positional[2]);
    return o;
}

namespace {

// The smallest cell size (with a margin for rounding, rounded up to three
// significant digits) whose grid over the extent fits the limits of cells and
// of an image's sides; 0 when no cell size would.
double larger_cell(double minX, double maxX, double minY, double maxY) {
    const double w = maxX - minX, h = maxY - minY;
    double needed = std::max({w / kMaxSide, h / kMaxSide, std::sqrt(w * h / static_cast<double>(kMaxCells))});
    // Coordinates far from 0 need a cell that their quotient by it can count.
    const double far = std::max({std::fabs(minX), std::fabs(maxX), std::fabs(minY), std::fabs(maxY)});
    needed = std::max(needed, far * 1e-15) * 1.01;
    if (!(needed > 0.0) || !std::isfinite(needed)) return needed == 0.0 ? 1.0 : 0.0;
    const double step = std::pow(10.0, std::floor(std::log10(needed)) - 2);
    const double rounded = std::ceil(needed / step) * step;
    return std::isfinite(rounded) ? rounded : 0.0;
}

[[noreturn]] void refuse_grid(const ImageOptions& o, bool finite, double cols, double rows, double needed) {
    const char* size = o.cellSizeText.c_str();
    if (needed == 0.0) fail("\nThe extent of the listed files is too large for an image\n");
    if (finite && cols <= kMaxSide && rows <= kMaxSide) {
        // Beyond the number of cells alone: the cell size that brings the grid
        // under the limit, with a margin for rounding, rounded up to three
        // significant digits.
        needed = o.cellSize * std::sqrt(cols * rows / static_cast<double>(kMaxCells)) * 1.01;
        const double step = std::pow(10.0, std::floor(std::log10(needed)) - 2);
        fail("\nA grid of %.0f x %.0f cells of %s is larger than %llu cells: use a cell size of at least %g\n", cols,
             rows, size, static_cast<unsigned long long>(kMaxCells), std::ceil(needed / step) * step);
    }
    if (finite && cols < 1e15 && rows < 1e15)
        fail("\nA grid of %.0f x %.0f cells of %s is wider or taller than an image may be (%llu cells a side, "
             "%llu cells in all): use a cell size of at least %g\n",
             cols, rows, size, static_cast<unsigned long long>(kMaxSide), static_cast<unsigned long long>(kMaxCells),
             needed);
    fail("\nA cell size of %s is far too small for the extent of the listed files: use a cell size of at least "
         "%g\n", size, needed);
}

}  // namespace

void shape_grid(IntensityGrid& grid, const ImageOptions& o, const quilvor::Survey& survey) {
    double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
    for (const quilvor::SurveyFile& entry : survey) {
        const torvane::LASHeader h = entry.header;
        const double west = h.MinX, east = h.MaxX, south = h.MinY, north = h.MaxY;  // unpacked copies
        minX = std::min(minX, west), maxX = std::max(maxX, east);
        minY = std::min(minY, south), maxY = std::max(maxY, north);
    }
    const double c = o.cellSize;
    grid.cell = c;
    grid.west = std::floor(minX / c) * c;
    grid.north = std::ceil(maxY / c) * c;
    const double cols = std::max(1.0, std::ceil((maxX - grid.west) / c));
    const double rows = std::max(1.0, std::ceil((grid.north - minY) / c));
    const bool finite = std::isfinite(grid.west) && std::isfinite(grid.north) && std::isfinite(cols) &&
                        std::isfinite(rows);
    if (finite && cols <= kMaxSide && rows <= kMaxSide && cols * rows <= static_cast<double>(kMaxCells)) {
        grid.ncols = static_cast<uint32_t>(cols);
        grid.nrows = static_cast<uint32_t>(rows);
    } else {
        refuse_grid(o, finite, cols, rows, larger_cell(minX, maxX, minY, maxY));
    }
    const std::size_t n = static_cast<std::size_t>(grid.ncols) * grid.nrows;
    if (!grid.cells.resize_zeroed(n))
        quilvor::fail_because(ENOMEM, "", "\nFailed to allocate memory for a grid of %u x %u cells\n", grid.ncols,
                              grid.nrows);
}

void add_records(IntensityGrid& grid, const torvane::LASHeader& h, const unsigned char* block, std::size_t n,
                 bool firstOnly) {
    const uint16_t len = h.PointDataRecordLength;
    const torvane::PointFormat& format = torvane::point_format(h.PointDataFormatID);
    const double west = grid.west, north = grid.north, inverse = 1.0 / grid.cell;
    const double colLimit = grid.ncols + 1.0, rowLimit = grid.nrows + 1.0;
    const uint32_t lastCol = grid.ncols - 1, lastRow = grid.nrows - 1;
    Cell* cells = grid.cells.data();
    // First the cell of every record of the block, then the sums: consecutive
    // returns of a scan line lie in different rows of the grid, so the cells
    // are fetched ahead of their turn.
    constexpr std::size_t chunk = 4096, ahead = 64;
    uint32_t cellOf[chunk];
    uint16_t intensity[chunk];
    for (std::size_t start = 0; start < n; start += chunk) {
        std::size_t m = 0;
        for (std::size_t k = start; k < std::min(n, start + chunk); ++k) {
            const unsigned char* r = block + k * len;
            if (firstOnly && torvane::record_return_number(r, format) != 1) continue;
            const torvane::RealXYZ p = torvane::decode_xyz(r, h);
            // A return on a cell edge belongs to the cell east or south of it;
            // on the grid's own east or south edge, to the last cell. (The
            // whole part of a number that is not negative is its floor.)
            const double fx = (p.X - west) * inverse, fy = (north - p.Y) * inverse;
            if (!(fx >= 0.0 && fy >= 0.0 && fx < colLimit && fy < rowLimit)) continue;
            const uint32_t col = std::min(static_cast<uint32_t>(fx), lastCol);
            const uint32_t row = std::min(static_cast<uint32_t>(fy), lastRow);
            cellOf[m] = col + row * grid.ncols;
            intensity[m++] = torvane::record_intensity(r);
        }
        for (std::size_t k = 0; k < m; ++k) {
            if (k + ahead < m) __builtin_prefetch(&cells[cellOf[k + ahead]], 1);
            add_to_cell(grid, cellOf[k], intensity[k]);
        }
        grid.used += m;
    }
}

namespace {

// Blocks of records on their way from the reading thread to the binning one.
struct BlockQueue {
    struct Item {
        std::size_t buffer, records;
        uint16_t file;
    };
    std::mutex mutex;
    std::condition_variable changed;
    // Blocks small enough to be binned while still in the shared cache.
    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
    std::vector<quilvor::Buffer<unsigned char>> buffers = std::vector<quilvor::Buffer<unsigned char>>(4);
    std::vector<std::size_t> free = {0, 1, 2, 3};
    std::deque<Item> full;
    std::vector<torvane::LASHeader> headers;
    bool finished = false;
    std::optional<quilvor::Failure> failure;
    IntensityGrid* binHere = nullptr;  // without a reading thread: the grid the reader bins into
    bool firstOnly = false;
};

// Reads every listed file in blocks into the queue; a failure ends the reading
// and travels to the binning thread.
void read_files(BlockQueue& q, quilvor::Survey& survey) {
    try {
        quilvor::RecordScratch scratch;
        for (uint16_t i = 0; i < survey.size(); ++i) {
            quilvor::SurveyFile& entry = survey[i];
            const char* name = entry.name.c_str();
            quilvor::LasInput in = quilvor::open_las_input(entry, "\nFailed to open file %s for reading\n");
            const torvane::LASHeader h = in.header;
            q.headers[i] = h;
            const uint16_t len = h.PointDataRecordLength;
            const std::size_t perBlock = BlockQueue::kBlockBytes / len;
            for (uint32_t done = 0; done < in.points;) {
                std::size_t b;
                {
                    std::unique_lock<std::mutex> lock(q.mutex);
                    q.changed.wait(lock, [&] { return !q.free.empty(); });
                    b = q.free.back();
                    q.free.pop_back();
                }
                q.buffers[b].resize_or_fail(perBlock * len, "\nFailed to allocate memory for data from %s\n", name);
                const std::size_t n = std::min<std::size_t>(perBlock, in.points - done);
                quilvor::read_records(in, done, static_cast<uint32_t>(n), q.buffers[b].data(), scratch);
                if (q.binHere != nullptr) add_records(*q.binHere, h, q.buffers[b].data(), n, q.firstOnly);
                std::lock_guard<std::mutex> lock(q.mutex);
                if (q.binHere != nullptr) q.free.push_back(b);
                else q.full.push_back({b, n, i});
                q.changed.notify_all();
                done += static_cast<uint32_t>(n);
            }
        }
    } catch (const quilvor::Failure& f) {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.failure = f;
    }
    std::lock_guard<std::mutex> lock(q.mutex);
    q.finished = true;
    q.changed.notify_all();
}

}  // namespace

void add_files(IntensityGrid& grid, bool firstOnly, quilvor::Survey& survey) {
    // The grid's pages are made ready by the kernel in the background, while
    // the files are read on one thread and their returns binned on this one.
    const std::size_t bytes = sizeof(Cell) * grid.ncols * static_cast<std::size_t>(grid.nrows);
    std::thread prepare;
    const bool preparing =
        quilvor::start_thread(prepare, [&grid, bytes] { ::madvise(grid.cells.data(), bytes, MADV_POPULATE_WRITE); });
    BlockQueue q;
    q.headers.resize(survey.size());
    std::thread reader;
    const bool reading = quilvor::start_thread(reader, [&q, &survey] { read_files(q, survey); });
    if (!reading) {
        // One thread: each block is binned as soon as it is read.
        q.binHere = &grid;
        q.firstOnly = firstOnly;
        read_files(q, survey);
    }
    for (;;) {
        BlockQueue::Item item;
        {
            std::unique_lock<std::mutex> lock(q.mutex);
            q.changed.wait(lock, [&] { return !q.full.empty() || q.finished; });
            if (q.full.empty()) break;
            item = q.full.front();
            q.full.pop_front();
        }
        add_records(grid, q.headers[item.file], q.buffers[item.buffer].data(), item.records, firstOnly);
        std::lock_guard<std::mutex> lock(q.mutex);
        q.free.push_back(item.buffer);
        q.changed.notify_all();
    }
    if (reading) reader.join();
    if (preparing) prepare.join();
    if (q.failure) throw *q.failure;
}

void percentile_range(const IntensityGrid& grid, double& lo, double& hi) {
    // Cell means to a sixteenth of an intensity step.
    constexpr std::size_t steps = 16, bins = 65536 * steps;
    std::vector<uint32_t> histogram(bins, 0);
    uint64_t cells = 0;
    const std::size_t n = static_cast<std::size_t>(grid.ncols) * grid.nrows;
    for (std::size_t c = 0; c < n; ++c) {
        if (grid.cells[c].count == 0) continue;
        const WideCell total = cell_total(grid, c);
        const double mean = static_cast<double>(total.sum) / static_cast<double>(total.count);
        ++histogram[std::min<std::size_t>(static_cast<std::size_t>(mean * steps), bins - 1)];
        ++cells;
    }
    const uint64_t k2 = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(0.02 * cells)));
    const uint64_t k98 = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(0.98 * cells)));
    uint64_t seen = 0;
    std::size_t b2 = 0, b98 = 0;
    bool found2 = false;
    for (std::size_t b = 0; b < bins; ++b) {
        seen += histogram[b];
        if (!found2 && seen >= k2) b2 = b, found2 = true;
        if (seen >= k98) {
            b98 = b;
            break;
        }
    }
    lo = static_cast<double>(b2) / steps;
    hi = static_cast<double>(b98 + 1) / steps;
}

uint8_t grey(double mean, double lo, double hi) {
    const double f = std::clamp((mean - lo) / (hi - lo), 0.0, 1.0);
    return static_cast<uint8_t>(std::lround(f * 255.0));
}

namespace {

struct RowSource {
    const IntensityGrid* grid;
    double lo, hi;
};

void fill_row(const void* context, uint32_t r, unsigned char* pixels) {
    const RowSource& s = *static_cast<const RowSource*>(context);
    const IntensityGrid& g = *s.grid;
    const std::size_t base = static_cast<std::size_t>(r) * g.ncols;
    for (uint32_t c = 0; c < g.ncols; ++c) {
        const WideCell cell = cell_total(g, base + c);
        pixels[2 * c] = cell.count == 0 ? 0 : grey(static_cast<double>(cell.sum) / static_cast<double>(cell.count), s.lo, s.hi);
        pixels[2 * c + 1] = cell.count == 0 ? 0 : 255;  // cells without returns are transparent
    }
}

}  // namespace

std::string world_file_name(const std::string& output) { return output.substr(0, output.size() - 4) + ".pgw"; }

void write_image(const IntensityGrid& grid, double lo, double hi, const std::string& output) {
    quilvor::PendingOutput png, pgw;
    if (!quilvor::begin_output(png, output))
        quilvor::fail_because(errno, output, "\nFailed to open file %s for writing\n", output.c_str());
    const RowSource source{&grid, lo, hi};
    if (!write_grey_alpha_png(png.file.get(), grid.ncols, grid.nrows, fill_row, &source) ||
        !quilvor::finish_output(png))
        quilvor::fail_because(errno, output, "\nFailed to write image %s\n", output.c_str());

    // World file: cell size, two rotation terms, minus the cell size, and the
    // centre of the upper-left cell.
    const std::string world = world_file_name(output);
    if (!quilvor::begin_output(pgw, world))
        quilvor::fail_because(errno, world, "\nFailed to open file %s for writing\n", world.c_str());
    const int n = std::fprintf(pgw.file.get(), "%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n%.10f\n", grid.cell, 0.0, 0.0,
                               -grid.cell, grid.west + grid.cell / 2, grid.north - grid.cell / 2);
    if (n < 0 || !quilvor::finish_output(pgw))
        quilvor::fail_because(errno, world, "\nFailed to write world file %s\n", world.c_str());
    if (!quilvor::publish_output(png))
        quilvor::fail_because(errno, output, "\nFailed to write image %s\n", output.c_str());
    if (!quilvor::publish_output(pgw))
        quilvor::fail_because(errno, world, "\nFailed to write world file %s\n", world.c_str());
}

}  // namespace intensity_image
