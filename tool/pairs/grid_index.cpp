// The spatial grid index: every record of a LAS file held in the order of the
// cells of a 2D grid whose cell size is the search radius.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "pairs.h"
#include "parallel.h"

namespace quilvor {

namespace {

constexpr uint64_t maxCells = 401250000;

RowCol* row_cols(CellOrderedFile& g) { return g.scratch().row_cols(); }
int32_t* window_cells(CellOrderedFile& g) { return g.scratch().record_cells(); }


// Snaps the header's extent to whole multiples of the radius and gives the
// grid its shape; fails when it has too many cells.
void shape_grid(CellOrderedFile& g, double colsD, double rowsD) {
    if (!std::isfinite(colsD) || !std::isfinite(rowsD))
        fail("\nSpecified max radius resolution is too fine. Degrade it and try again\n");
    if (colsD < 1) colsD = 1;
    if (rowsD < 1) rowsD = 1;
    if (colsD > static_cast<double>(maxCells) || rowsD > static_cast<double>(maxCells) ||
        static_cast<uint64_t>(colsD) * static_cast<uint64_t>(rowsD) > maxCells)
        fail("\nSpecified max radius resolution is too fine. Degrade it and try again\n");
    g.ncols = static_cast<uint32_t>(colsD);
    g.nrows = static_cast<uint32_t>(rowsD);
}

// What the first read finds in a range of records.
struct LocateResult {
    uint32_t rowLo = UINT32_MAX, rowHi = 0, colLo = UINT32_MAX, colHi = 0;
    bool outside = false, invalidTime = false, anyTime = false;
    double tMin = 0.0, tMax = 0.0;

    void add_time(double gps) {
        if (std::isnan(gps)) {
            invalidTime = true;
        } else if (!anyTime) {
            tMin = tMax = gps;
            anyTime = true;
        } else {
            if (gps < tMin) tMin = gps;
            if (gps > tMax) tMax = gps;
        }
    }
    void merge(const LocateResult& o) {
        rowLo = std::min(rowLo, o.rowLo), rowHi = std::max(rowHi, o.rowHi);
        colLo = std::min(colLo, o.colLo), colHi = std::max(colHi, o.colHi);
        outside = outside || o.outside;
        invalidTime = invalidTime || o.invalidTime;
        if (o.anyTime) {
            add_time(o.tMin);
            add_time(o.tMax);
        }
    }
};

// The row and column of records first .. last - 1, read through block.
void locate_range(const PairJob& job, const LasInput& in, uint32_t first, uint32_t last, Buffer<unsigned char>& block,
                  RecordScratch& scratch, LocateResult& result, uint32_t report_step) {
    LocateResult found;  // kept here, not beside another thread's
    CellOrderedFile& g = job.g;
    const char* name = _pairInfo[job.LASID].LASName.c_str();
    const torvane::LASHeader& h = g.header;
    const double r = _resolution, MinX = h.MinX, MinY = h.MinY;
    const double lastRow = static_cast<double>(g.nrows) - 1.0, lastCol = static_cast<double>(g.ncols) - 1.0;
    const uint16_t len = g.recordLength;
    const torvane::PointFormat& format = *g.format;
    // A compressed file's records come through the reading thread's decoded chunk: smaller blocks keep
    // the memory of the run that of a plain file's.
    const uint32_t perBlock = ((in.of->compressed ? 1u : 4u) << 20) / len + 1;
    block.resize_or_fail(static_cast<std::size_t>(perBlock) * len, "\nFailed to allocate for structure of entire %s file\n",
                         name);
    RowCol* rc = row_cols(g);
    // The first range prints the progress lines of its records: every report_step records.
    uint64_t nextReport = first == 0 ? 0 : UINT64_MAX;
    for (uint32_t t = first; t < last;) {
        const uint32_t n = std::min(perBlock, last - t);
        read_records(in, t, n, block.data(), scratch);
        for (uint32_t k = 0; k < n; ++k, ++t) {
            const unsigned char* p = block.data() + static_cast<std::size_t>(k) * len;
            const torvane::RealXYZ xyz = torvane::decode_xyz(p, h);
            const double fy = std::floor((xyz.Y - MinY) / r);
            const double colRaw = std::floor((xyz.X - MinX) / r);
            const double rowRaw = lastRow - fy;
            // Returns up to one cell outside the grid go to the nearest border cell.
            if (!(rowRaw >= -1.0 && rowRaw <= lastRow + 1.0 && colRaw >= -1.0 && colRaw <= lastCol + 1.0)) {
                found.outside = true;
                rc[t] = {0, 0};
            } else {
                const uint32_t row = static_cast<uint32_t>(rowRaw < 0.0 ? 0.0 : (rowRaw > lastRow ? lastRow : rowRaw));
                const uint32_t col = static_cast<uint32_t>(colRaw < 0.0 ? 0.0 : (colRaw > lastCol ? lastCol : colRaw));
                rc[t] = {row, col};
                found.rowLo = std::min(found.rowLo, row), found.rowHi = std::max(found.rowHi, row);
                found.colLo = std::min(found.colLo, col), found.colHi = std::max(found.colHi, col);
            }
            found.add_time(torvane::record_gps_time(p, format));
            if (t == nextReport) {
                nextReport += report_step;
                job.out.print("\r  ... Creating Spatial (2D) Index ...  (%3d %%)", static_cast<int>(2 * (t / report_step)));
                job.out.flush();
            }
        }
    }
    result = found;
}

// First read, shared out over the threads: the row and column of every
// return, the window of occupied cells, and the checks of positions and times.
void locate_returns(const PairJob& job, const LasInput& in, std::vector<RecordScratch>& scratch) {
    CellOrderedFile& g = job.g;
    const char* name = _pairInfo[job.LASID].LASName.c_str();
    const uint32_t N = g.N;
    uint32_t report_step = static_cast<uint32_t>(N * 0.02);
    if (report_step == 0) report_step = N * 100;

    job.out.print("  ... Creating Spatial (2D) Index ...");
    const Ranges parts(g.N);  // ranges of records
    if (g.blocks.size() < parts.count) g.blocks.resize(parts.count);
    std::vector<LocateResult> found(parts.count);
    run_parts(parts.count, [&](unsigned part) {
        locate_range(job, in, parts.first(part), parts.first(part + 1), g.blocks[part], scratch[part], found[part],
                     report_step);
    });
    // The progress lines of the records the first range did not hold.
    for (uint64_t t = (parts.first(1) + report_step - 1) / report_step * uint64_t{report_step}; t < N; t += report_step)
        job.out.print("\r  ... Creating Spatial (2D) Index ...  (%3d %%)", static_cast<int>(2 * (t / report_step)));
    job.out.flush();
    for (unsigned part = 1; part < parts.count; ++part) found[0].merge(found[part]);
    const LocateResult& all = found[0];

    if (all.outside) fail("\nReturns of %s lie outside the extent given in its header\n", name);
    if (all.invalidTime) fail("\nFile %s holds a return with an invalid GPS time\n", name);
    if (all.tMin < _rd.front().T || all.tMax > _rd.back().T)
        fail("\nGPS times of %s (%.6f to %.6f) lie outside the reference data (%.6f to %.6f)\n", name, all.tMin,
             all.tMax, _rd.front().T, _rd.back().T);
    g.row0 = all.rowLo;
    g.col0 = all.colLo;
    g.wrows = all.rowHi - all.rowLo + 1;
    g.wcols = all.colHi - all.colLo + 1;
}

// The cell of every return in the window, the returns of each cell, and the
// first slot of each cell for each range of records: the records of a cell
// take its slots in file order, range after range.
void count_cells(const PairJob& job) {
    CellOrderedFile& g = job.g;
    const std::size_t n = static_cast<std::size_t>(g.wcols) * g.wrows;
    const Ranges parts(g.N);  // ranges of records

    job.out.print("\r      Sorting 2D index                         \r");
    job.out.print("\r  ... Calculating number of returns in each cell ...\r");
    const char* countFailure = "\nFailed to allocate memory for vector of cell counts\n"
                               "Either available system memory is too little or specified max radius too fine\n";
    g.countReturnsInCell.resize_or_fail(n, countFailure);
    // Each range counts into its own array: the first into the counts, the others into their next slots.
    if (g.rangeNextSlot.size() < parts.count - 1) g.rangeNextSlot.resize(parts.count - 1);
    for (unsigned part = 1; part < parts.count; ++part) g.rangeNextSlot[part - 1].resize_or_fail(n, countFailure);
    run_parts(parts.count, [&](unsigned part) {
        const RowCol* rc = row_cols(g);
        int32_t* cellOf = window_cells(g);
        int32_t* count = part == 0 ? g.countReturnsInCell.data() : g.rangeNextSlot[part - 1].data();
        std::fill(count, count + n, 0);
        for (uint32_t t = parts.first(part); t < parts.first(part + 1); ++t) {
            const int32_t cell = static_cast<int32_t>(g.cell(rc[t].row, rc[t].col));
            cellOf[t] = cell;
            ++count[cell];
        }
    });

    job.out.print("\r  ... Computing cumulative cell frequency           \r");
    g.cumulativeCount.resize_or_fail(n, "\nFailed to allocate memory for cumulative return count\n");
    g.nextSlot.resize_or_fail(n, "\nFailed to allocate memory for a copy of the cell return count vector\n");
    int32_t* count = g.countReturnsInCell.data();
    int32_t cumulativeSum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        int32_t total = count[k];
        for (unsigned part = 1; part < parts.count; ++part) total += g.rangeNextSlot[part - 1][k];
        int32_t slot = cumulativeSum;
        cumulativeSum += total;
        g.cumulativeCount[k] = cumulativeSum;
        g.nextSlot[k] = slot;
        slot += count[k];
        count[k] = total;
        for (unsigned part = 1; part < parts.count; ++part) {
            const int32_t inRange = g.rangeNextSlot[part - 1][k];
            g.rangeNextSlot[part - 1][k] = slot;
            slot += inRange;
        }
    }
    job.out.print("\r      Sorting back 2D index                  \r");
}

// Second read, shared out over the threads: every record to the next free
// slot of its cell, so that cells follow each other in ascending number and
// keep file order within. Each record's cell gives way to its slot.
void place_records(const PairJob& job, const LasInput& in, std::vector<RecordScratch>& scratch) {
    CellOrderedFile& g = job.g;
    const char* name = _pairInfo[job.LASID].LASName.c_str();
    const uint16_t len = g.recordLength, kept = CellOrderedFile::kRecordBytes;
    const std::size_t gpsTime = g.format->gpsTime, layoutTime = CellOrderedFile::kLayout.gpsTime;
    // The point source ID where the kept layout has it (formats 6 to 10 hold it after the scan angle).
    const std::size_t sourceID = g.format->pointSourceID, keptSourceID = CellOrderedFile::kLayout.pointSourceID;
    g.pLAS.resize_or_fail(static_cast<std::size_t>(g.N) * kept, "\nFailed to allocate for structure of entire %s file\n",
                          name);
    const Ranges parts(g.N);  // ranges of records
    run_parts(parts.count, [&](unsigned part) {
        int32_t* cellOf = window_cells(g);
        int32_t* nextSlot = part == 0 ? g.nextSlot.data() : g.rangeNextSlot[part - 1].data();
        unsigned char* pLAS = g.pLAS.data();
        Buffer<unsigned char>& block = g.blocks[part];
        const uint32_t perBlock = static_cast<uint32_t>(block.size() / len);
        for (uint32_t t = parts.first(part), last = parts.first(part + 1); t < last;) {
            const uint32_t want = std::min(perBlock, last - t);
            read_records(in, t, want, block.data(), scratch[part]);
            for (uint32_t k = 0; k < want; ++k, ++t) {
                // The cells of the records a little ahead, and where they will
                // likely go, are on their way to the cache (a hint only).
                if (t + 16 < last) __builtin_prefetch(nextSlot + cellOf[t + 16], 1);
                if (t + 8 < last)
                    __builtin_prefetch(pLAS + static_cast<std::size_t>(nextSlot[cellOf[t + 8]]) * kept, 1);
                const int32_t slot = nextSlot[cellOf[t]]++;
                unsigned char* to = pLAS + static_cast<std::size_t>(slot) * kept;
                const unsigned char* from = block.data() + static_cast<std::size_t>(k) * len;
                std::memcpy(to, from, layoutTime);  // coordinates, intensity and what follows them
                std::memcpy(to + layoutTime, from + gpsTime, sizeof(double));
                if (sourceID != keptSourceID) std::memcpy(to + keptSourceID, from + sourceID, sizeof(uint16_t));
                cellOf[t] = slot;
            }
        }
    });
}

}  // namespace

bool build_grid_index(const PairJob& job) {
    CellOrderedFile& g = job.g;
    pairStruct& entry = _pairInfo[job.LASID];
    const char* name = entry.LASName.c_str();
    LasInput in = open_las_input(entry, "\nFailed to open binary file %s for reading\n");
    g.header = in.header;
    g.N = in.points;
    g.recordLength = in.recordLength;
    g.format = in.format;
    if (g.N == 0) {
        job.out.print("\nFile:                               %s\n", name);
        job.out.print("\r  Found %u pairs                     \n", 0u);
        job.out.print("\r%77s\r", "");
        return false;
    }
    torvane::LASHeader& h = g.header;
    const double r = _resolution;
    h.MinX = std::floor(h.MinX / r) * r;
    h.MinY = std::floor(h.MinY / r) * r;
    h.MaxX = std::ceil(h.MaxX / r) * r;
    h.MaxY = std::ceil(h.MaxY / r) * r;
    const double colsD = std::floor((h.MaxX - h.MinX) / r + 0.499999);
    const double rowsD = std::floor((h.MaxY - h.MinY) / r + 0.499999);

    job.out.print("\nFile:                               %s\n", name);
    g.perReturn.resize_or_fail(ReturnScratch::kBytesPerReturn * g.N,
                               "\nFailed to allocate memory for vector of 2D cell indices\n");
    shape_grid(g, colsD, rowsD);
    std::vector<RecordScratch> scratch(Ranges(g.N).count);  // one a range of records
    locate_returns(job, in, scratch);
    count_cells(job);
    place_records(job, in, scratch);
    return true;
}

bool build_grid_index(uint16_t LASID, CellOrderedFile& g) {
    return build_grid_index(PairJob{LASID, g, standard_output(), kPairIndexFile});
}

}  // namespace quilvor
