// The spatial grid index: every record of a LAS file held in the order of the
// cells of a 2D grid whose cell size is the search radius.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "pairs.h"

namespace quilvor {

namespace {

constexpr uint64_t maxCells = 401250000;

// Row and column of a return in the whole grid.
struct RowCol {
    uint32_t row, col;
};
RowCol* row_cols(CellOrderedFile& g) { return reinterpret_cast<RowCol*>(g.perReturn.data()); }
int32_t* window_cells(CellOrderedFile& g) {
    return reinterpret_cast<int32_t*>(g.perReturn.data() + sizeof(RowCol) * static_cast<std::size_t>(g.N));
}

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

// First read: the row and column of every return, the window of occupied
// cells, and the checks of positions and times.
void locate_returns(const PairJob& job, LasInput& in) {
    CellOrderedFile& g = job.g;
    const char* name = _pairInfo[job.LASID].LASName.c_str();
    const torvane::LAS12Header& h = g.ph12;
    const double r = _resolution, MinX = h.MinX, MinY = h.MinY;
    const double lastRow = static_cast<double>(g.nrows) - 1.0, lastCol = static_cast<double>(g.ncols) - 1.0;
    const uint32_t N = g.N;
    uint32_t report_step = static_cast<uint32_t>(N * 0.02);
    if (report_step == 0) report_step = N * 100;

    job.out.print("  ... Creating Spatial (2D) Index ...");
    RowCol* rc = row_cols(g);
    uint32_t rowLo = g.nrows, rowHi = 0, colLo = g.ncols, colHi = 0;
    bool outside = false, invalidTime = false, anyTime = false;
    double tMin = 0.0, tMax = 0.0;
    for_each_record(in, N, g.recordLength, name, g.block, [&](const unsigned char* p, uint32_t t) {
        const torvane::RealXYZ xyz = torvane::decode_xyz(p, h);
        const double fy = std::floor((xyz.Y - MinY) / r);
        const double colRaw = std::floor((xyz.X - MinX) / r);
        const double rowRaw = lastRow - fy;
        // Returns up to one cell outside the grid go to the nearest border cell.
        if (!(rowRaw >= -1.0 && rowRaw <= lastRow + 1.0 && colRaw >= -1.0 && colRaw <= lastCol + 1.0)) {
            outside = true;
            rc[t] = {0, 0};
        } else {
            const uint32_t row = static_cast<uint32_t>(rowRaw < 0.0 ? 0.0 : (rowRaw > lastRow ? lastRow : rowRaw));
            const uint32_t col = static_cast<uint32_t>(colRaw < 0.0 ? 0.0 : (colRaw > lastCol ? lastCol : colRaw));
            rc[t] = {row, col};
            rowLo = row < rowLo ? row : rowLo;
            rowHi = row > rowHi ? row : rowHi;
            colLo = col < colLo ? col : colLo;
            colHi = col > colHi ? col : colHi;
        }
        const double gps = torvane::record_gps_time(p);
        if (std::isnan(gps)) {
            invalidTime = true;
        } else if (!anyTime) {
            tMin = tMax = gps;
            anyTime = true;
        } else {
            if (gps < tMin) tMin = gps;
            if (gps > tMax) tMax = gps;
        }
        if (t % report_step == 0) {
            job.out.print("\r  ... Creating Spatial (2D) Index ...  (%3d %%)", static_cast<int>(2 * (t / report_step)));
            job.out.flush();
        }
    });

    if (outside) fail("\nReturns of %s lie outside the extent given in its header\n", name);
    if (invalidTime) fail("\nFile %s holds a return with an invalid GPS time\n", name);
    if (tMin < _rd.front().T || tMax > _rd.back().T)
        fail("\nGPS times of %s (%.6f to %.6f) lie outside the reference data (%.6f to %.6f)\n", name, tMin, tMax,
             _rd.front().T, _rd.back().T);
    g.row0 = rowLo;
    g.col0 = colLo;
    g.wrows = rowHi - rowLo + 1;
    g.wcols = colHi - colLo + 1;
}

// The cell of every return in the window, the returns of each cell, and the
// first slot of each cell.
void count_cells(const PairJob& job) {
    CellOrderedFile& g = job.g;
    const std::size_t n = static_cast<std::size_t>(g.wcols) * g.wrows;
    const RowCol* rc = row_cols(g);
    int32_t* cellOf = window_cells(g);

    job.out.print("\r      Sorting 2D index                         \r");
    job.out.print("\r  ... Calculating number of returns in each cell ...\r");
    g.countReturnsInCell.resize_or_fail(n, "\nFailed to allocate memory for vector of cell counts\n"
                                           "Either available system memory is too little or specified max radius too fine\n");
    int32_t* count = g.countReturnsInCell.data();
    std::fill(count, count + n, 0);
    for (uint32_t t = 0; t < g.N; ++t) {
        const int32_t cell = static_cast<int32_t>(g.cell(rc[t].row, rc[t].col));
        cellOf[t] = cell;
        ++count[cell];
    }

    job.out.print("\r  ... Computing cumulative cell frequency           \r");
    g.cumulativeCount.resize_or_fail(n, "\nFailed to allocate memory for cumulative return count\n");
    g.nextSlot.resize_or_fail(n, "\nFailed to allocate memory for a copy of the cell return count vector\n");
    int32_t cumulativeSum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        cumulativeSum += count[k];
        g.cumulativeCount[k] = cumulativeSum;
        g.nextSlot[k] = cumulativeSum - count[k];
    }
    job.out.print("\r      Sorting back 2D index                  \r");
}

// Second read: every record to the next free slot of its cell, so that cells
// follow each other in ascending number and keep file order within.
void place_records(const PairJob& job, LasInput& in) {
    CellOrderedFile& g = job.g;
    const char* name = _pairInfo[job.LASID].LASName.c_str();
    if (std::fseek(in.file.get(), static_cast<long>(g.ph12.OffsetToData), SEEK_SET) != 0)
        fail("\nFailed to read point data from %s\n", name);
    const uint16_t len = g.recordLength;
    g.pLAS.resize_or_fail(static_cast<std::size_t>(g.N) * len, "\nFailed to allocate for structure of entire %s file\n",
                          name);
    const int32_t* cellOf = window_cells(g);
    int32_t* nextSlot = g.nextSlot.data();
    unsigned char* pLAS = g.pLAS.data();
    for_each_record(in, g.N, len, name, g.block, [&](const unsigned char* p, uint32_t t) {
        const int32_t slot = nextSlot[cellOf[t]]++;
        std::memcpy(pLAS + static_cast<std::size_t>(slot) * len, p, len);
    });
}

}  // namespace

bool build_grid_index(const PairJob& job) {
    CellOrderedFile& g = job.g;
    pairStruct& entry = _pairInfo[job.LASID];
    const char* name = entry.LASName.c_str();
    LasInput in = open_las_input(entry, "\nFailed to open binary file %s for reading\n");
    g.ph12 = in.header;
    g.N = g.ph12.NumberOfPointReturns;
    g.recordLength = g.ph12.PointDataRecordLength;
    if (g.N == 0) {
        job.out.print("\nFile:                               %s\n", name);
        job.out.print("\r  Found %u pairs                     \n", 0u);
        job.out.print("\r%77s\r", "");
        return false;
    }
    if (std::fseek(in.file.get(), static_cast<long>(g.ph12.OffsetToData), SEEK_SET) != 0)
        fail("\nFailed to read point data from %s\n", name);

    torvane::LAS12Header& h = g.ph12;
    const double r = _resolution;
    h.MinX = std::floor(h.MinX / r) * r;
    h.MinY = std::floor(h.MinY / r) * r;
    h.MaxX = std::ceil(h.MaxX / r) * r;
    h.MaxY = std::ceil(h.MaxY / r) * r;
    const double colsD = std::floor((h.MaxX - h.MinX) / r + 0.499999);
    const double rowsD = std::floor((h.MaxY - h.MinY) / r + 0.499999);

    job.out.print("\nFile:                               %s\n", name);
    g.perReturn.resize_or_fail(16 * static_cast<std::size_t>(g.N),
                               "\nFailed to allocate memory for vector of 2D cell indices\n");
    shape_grid(g, colsD, rowsD);
    locate_returns(job, in);
    count_cells(job);
    place_records(job, in);
    return true;
}

bool build_grid_index(uint16_t LASID, CellOrderedFile& g) {
    return build_grid_index(PairJob{LASID, g, standard_output(), kPairIndexFile});
}

}  // namespace quilvor
