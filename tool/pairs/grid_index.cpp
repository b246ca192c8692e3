// The spatial grid index: every record of a LAS file held in the order of the
// cells of a 2D grid whose cell size is the search radius.
#include <cmath>

#include "driver.h"
#include "pairs.h"

namespace quilvor {

using torvane::load;

namespace {
constexpr uint64_t maxCells = 401250000;
constexpr int32_t outsideCell = -1;
}  // namespace

bool build_grid_index(uint16_t LASID, CellOrderedFile& g) {
    const char* name = _pairInfo[LASID].LASName.c_str();
    const double r = _resolution;

    LasInput in = open_las_input(_pairInfo[LASID], "\nFailed to open binary file %s for reading\n");
    std::FILE* f = in.file.get();
    g.ph12 = in.header;
    torvane::LAS12Header& h = g.ph12;
    g.N = h.NumberOfPointReturns;
    g.recordLength = h.PointDataRecordLength;
    const uint32_t N = g.N;
    const uint16_t len = g.recordLength;

    if (N == 0) {
        std::printf("\nFile:                               %s\n", name);
        std::printf("\r  Found %u pairs                     \n", 0u);
        std::printf("\r%77s\r", "");
        return false;
    }
    if (std::fseek(f, static_cast<long>(h.OffsetToData), SEEK_SET) != 0)
        fail("\nFailed to read point data from %s\n", name);

    h.MinX = std::floor(h.MinX / r) * r;
    h.MinY = std::floor(h.MinY / r) * r;
    h.MaxX = std::ceil(h.MaxX / r) * r;
    h.MaxY = std::ceil(h.MaxY / r) * r;
    double colsD = std::floor((h.MaxX - h.MinX) / r + 0.499999);
    double rowsD = std::floor((h.MaxY - h.MinY) / r + 0.499999);

    std::printf("\nFile:                               %s\n", name);

    std::vector<int32_t> index2D;
    allocate_or_fail(index2D, N, "\nFailed to allocate memory for vector of 2D cell indices\n");

    if (!std::isfinite(colsD) || !std::isfinite(rowsD))
        fail("\nSpecified max radius resolution is too fine. Degrade it and try again\n");
    if (colsD < 1) colsD = 1;
    if (rowsD < 1) rowsD = 1;
    if (colsD > static_cast<double>(maxCells) || rowsD > static_cast<double>(maxCells) ||
        static_cast<uint64_t>(colsD) * static_cast<uint64_t>(rowsD) > maxCells)
        fail("\nSpecified max radius resolution is too fine. Degrade it and try again\n");
    g.ncols = static_cast<uint32_t>(colsD);
    g.nrows = static_cast<uint32_t>(rowsD);
    const uint32_t ncols = g.ncols, nrows = g.nrows;
    const std::size_t n = static_cast<std::size_t>(ncols) * nrows;

    allocate_or_fail(g.countReturnsInCell, n,
                     "\nFailed to allocate memory for vector of cell counts\n"
                     "Either available system memory is too little or specified max radius too fine\n");

    std::printf("  ... Creating Spatial (2D) Index ...");
    uint32_t report_step = static_cast<uint32_t>(N * 0.02);
    if (report_step == 0) report_step = N * 100;

    const double XScale = h.XScaleFactor, YScale = h.YScaleFactor, XOff = h.XOffset, YOff = h.YOffset;
    const double MinX = h.MinX, MinY = h.MinY;
    const double lastRow = static_cast<double>(nrows) - 1.0, lastCol = static_cast<double>(ncols) - 1.0;
    bool outside = false, invalidTime = false;
    double tMin = 0.0, tMax = 0.0;
    bool anyTime = false;
    int32_t* count = g.countReturnsInCell.data();

    for_each_record(in, N, len, name, [&](const unsigned char* p, uint32_t t) {
        const double x = load<int32_t>(p) * XScale + XOff;
        const double y = load<int32_t>(p + 4) * YScale + YOff;
        const double fy = std::floor((y - MinY) / r);
        const double colRaw = std::floor((x - MinX) / r);
        const double rowRaw = lastRow - fy;
        // Returns up to one cell outside the grid go to the nearest border cell.
        if (!(rowRaw >= -1.0 && rowRaw <= lastRow + 1.0 && colRaw >= -1.0 && colRaw <= lastCol + 1.0)) {
            outside = true;
            index2D[t] = outsideCell;
        } else {
            const double row = rowRaw < 0.0 ? 0.0 : (rowRaw > lastRow ? lastRow : rowRaw);
            const double col = colRaw < 0.0 ? 0.0 : (colRaw > lastCol ? lastCol : colRaw);
            const int32_t cell = static_cast<int32_t>(col) + static_cast<int32_t>(row) * static_cast<int32_t>(ncols);
            index2D[t] = cell;
            ++count[cell];
        }
        const double gps = load<double>(p + torvane::withinRecordOffsetToGPSTime);
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
            std::printf("\r  ... Creating Spatial (2D) Index ...  (%3d %%)", static_cast<int>(2 * (t / report_step)));
            std::fflush(stdout);
        }
    });

    if (outside) fail("\nReturns of %s lie outside the extent given in its header\n", name);
    if (invalidTime) fail("\nFile %s holds a return with an invalid GPS time\n", name);
    if (tMin < _rd.front().T || tMax > _rd.back().T)
        fail("\nGPS times of %s (%.6f to %.6f) lie outside the reference data (%.6f to %.6f)\n", name, tMin, tMax,
             _rd.front().T, _rd.back().T);

    // The records are placed by counting: cells in ascending number, and within
    // a cell in file order (the order a sort by cell and back would leave).
    std::printf("\r      Sorting 2D index                         \r");
    std::printf("\r  ... Calculating number of returns in each cell ...\r");
    std::printf("\r  ... Computing cumulative cell frequency           \r");
    allocate_or_fail(g.cumulativeCount, n, "\nFailed to allocate memory for cumulative return count\n");
    int32_t cumulativeSum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        cumulativeSum += count[k];
        g.cumulativeCount[k] = cumulativeSum;
    }
    std::vector<int32_t> nextSlot;
    allocate_or_fail(nextSlot, n, "\nFailed to allocate memory for a copy of the cell return count vector\n");
    for (std::size_t k = 0; k < n; ++k) nextSlot[k] = g.cumulativeCount[k] - count[k];
    std::printf("\r      Sorting back 2D index                  \r");

    if (std::fseek(f, static_cast<long>(h.OffsetToData), SEEK_SET) != 0)
        fail("\nFailed to read point data from %s\n", name);
    g.pLAS = allocate_bytes_or_fail(static_cast<std::size_t>(N) * len,
                                    "\nFailed to allocate for structure of entire %s file\n", name);
    allocate_or_fail(g.x, N, "\nFailed to allocate for structure of entire %s file\n", name);
    allocate_or_fail(g.y, N, "\nFailed to allocate for structure of entire %s file\n", name);
    allocate_or_fail(g.z, N, "\nFailed to allocate for structure of entire %s file\n", name);
    allocate_or_fail(g.t, N, "\nFailed to allocate for structure of entire %s file\n", name);
    const double ZScale = h.ZScaleFactor, ZOff = h.ZOffset;
    unsigned char* pLAS = g.pLAS.get();
    for_each_record(in, N, len, name, [&](const unsigned char* p, uint32_t t) {
        const int32_t slot = nextSlot[static_cast<std::size_t>(index2D[t])]++;
        std::memcpy(pLAS + static_cast<std::size_t>(slot) * len, p, len);
        g.x[slot] = load<int32_t>(p) * XScale + XOff;
        g.y[slot] = load<int32_t>(p + 4) * YScale + YOff;
        g.z[slot] = load<int32_t>(p + 8) * ZScale + ZOff;
        g.t[slot] = load<double>(p + torvane::withinRecordOffsetToGPSTime);
    });
    return true;
}

}  // namespace quilvor
