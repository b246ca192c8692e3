// The search for pairs of returns from different swaths in the cells of the grid.
#include <cmath>

#include "pairs.h"
#include "trajectory.h"

namespace quilvor {

namespace {

// Accepted pairs on their way to the pair-index file, written in large blocks.
struct PairWriter {
    std::FILE* tmp;
    const std::string& tmpName;
    Buffer<int32_t>& buffer;
    std::size_t used = 0;
    uint32_t nPairs = 0;

    void add(int32_t offset1, int32_t offset2) {
        buffer[used++] = offset1;
        buffer[used++] = offset2;
        ++nPairs;
        if (used == buffer.size()) flush();
    }
    void flush() {
        if (used > 0 && std::fwrite(buffer.data(), sizeof(int32_t), used, tmp) != used)
            fail("\nFailed to write to temporary binary file %s\n", tmpName.c_str());
        used = 0;
    }
};

struct Search {
    const CellOrderedFile& g;
    PairWriter& out;
    const double minT = _minTimeBWSwaths, maxT = _maxTimeBWSwaths, maxD = _maxPairDist;

    // Every return of the current cell against every return of the neighbour
    // (current first); both are window cells, or -1 for an empty cell outside.
    void betweenCells(int64_t cell, int64_t neighbour) {
        if (cell < 0 || neighbour < 0) return;
        const int32_t kc = g.countReturnsInCell[cell], kn = g.countReturnsInCell[neighbour];
        if (kc == 0 || kn == 0) return;
        const int32_t sc = g.cumulativeCount[cell] - kc, sn = g.cumulativeCount[neighbour] - kn;
        for (int32_t a = sc; a < sc + kc; ++a) test_against(a, sn, sn + kn);
    }

    // Every two returns of one cell, the later one in file order first.
    void withinCell(int64_t cell) {
        if (cell < 0) return;
        const int32_t k = g.countReturnsInCell[cell];
        const int32_t s = g.cumulativeCount[cell] - k;
        for (int32_t a = 1; a < k; ++a) test_against(s + a, s, s + a);
    }

    // The pair test of first return a against second returns b = from .. to - 1.
    void test_against(int32_t a, int32_t from, int32_t to) {
        const unsigned char* A = g.record(a);
        const double tA = torvane::record_gps_time(A);
        bool decoded = false;
        torvane::RealXYZ pa{};
        for (int32_t b = from; b < to; ++b) {
            const unsigned char* B = g.record(b);
            const double tDiff = std::fabs(tA - torvane::record_gps_time(B));
            if (!(minT < tDiff && tDiff < maxT)) continue;
            if (!decoded) {
                pa = torvane::decode_xyz(A, g.ph12);
                decoded = true;
            }
            const torvane::RealXYZ pb = torvane::decode_xyz(B, g.ph12);
            if (Distance3D(pa.X, pa.Y, pa.Z, pb.X, pb.Y, pb.Z) <= maxD)
                out.add(a * static_cast<int32_t>(g.recordLength), b * static_cast<int32_t>(g.recordLength));
        }
    }
};

// Calls visit(row, col) for the cells of rows rowLo..rowHi and columns
// colLo..colHi of the whole grid, row by row, that lie in the window: the
// cells outside it hold no return, so the pairs and their order are those of
// a visit of the whole range.
template <class Fn>
void for_cells(const CellOrderedFile& g, int64_t rowLo, int64_t rowHi, int64_t colLo, int64_t colHi, Fn visit) {
    const int64_t r0 = std::max<int64_t>(rowLo, g.row0), r1 = std::min<int64_t>(rowHi, int64_t{g.row0} + g.wrows - 1);
    const int64_t c0 = std::max<int64_t>(colLo, g.col0), c1 = std::min<int64_t>(colHi, int64_t{g.col0} + g.wcols - 1);
    for (int64_t row = r0; row <= r1; ++row)
        for (int64_t col = c0; col <= c1; ++col) visit(static_cast<uint32_t>(row), static_cast<uint32_t>(col));
}

}  // namespace

uint32_t search_return_pairs(const PairJob& job, std::FILE* tmp) {
    CellOrderedFile& g = job.g;
    g.pairBlock.resize_or_fail(std::size_t{1} << 20, "\nFailed to write to temporary binary file %s\n",
                               job.tmpName.c_str());
    PairWriter out{tmp, job.tmpName, g.pairBlock};
    Search s{g, out};
    const int64_t ncols = g.ncols, nrows = g.nrows;

    // Pass 1: within every cell.
    for_cells(g, 0, nrows - 1, 0, ncols - 1, [&](uint32_t row, uint32_t col) { s.withinCell(g.cell(row, col)); });

    // Passes 2 to 5: interior columns against north-west, north, north-east and west.
    if (nrows >= 2 && ncols >= 3) {
        const int dRow[4] = {-1, -1, -1, 0};
        const int dCol[4] = {-1, 0, 1, -1};
        for (int pass = 0; pass < 4; ++pass)
            for_cells(g, 1, nrows - 1, 1, ncols - 2, [&](uint32_t row, uint32_t col) {
                s.betweenCells(g.cell(row, col), g.cell(row + dRow[pass], col + dCol[pass]));
            });
    }
    // Passes 6 and 7: the western column against north and north-east.
    if (nrows >= 2)
        for_cells(g, 1, nrows - 1, 0, 0,
                  [&](uint32_t row, uint32_t) { s.betweenCells(g.cell(row, 0), g.cell(row - 1, 0)); });
    if (nrows >= 2 && ncols >= 2)
        for_cells(g, 1, nrows - 1, 0, 0,
                  [&](uint32_t row, uint32_t) { s.betweenCells(g.cell(row, 0), g.cell(row - 1, 1)); });
    // Pass 8: the northern row against east.
    if (ncols >= 2)
        for_cells(g, 0, 0, 0, ncols - 2,
                  [&](uint32_t, uint32_t col) { s.betweenCells(g.cell(0, col), g.cell(0, col + 1)); });
    // Passes 9 to 11: the eastern column against west, north-west and north.
    if (nrows >= 2 && ncols >= 2) {
        const uint32_t last = g.ncols - 1;
        for_cells(g, 1, nrows - 1, last, last,
                  [&](uint32_t row, uint32_t) { s.betweenCells(g.cell(row, last), g.cell(row, last - 1)); });
        for_cells(g, 1, nrows - 1, last, last,
                  [&](uint32_t row, uint32_t) { s.betweenCells(g.cell(row, last), g.cell(row - 1, last - 1)); });
        for_cells(g, 1, nrows - 1, last, last,
                  [&](uint32_t row, uint32_t) { s.betweenCells(g.cell(row, last), g.cell(row - 1, last)); });
    }
    out.flush();
    return out.nPairs;
}

uint32_t search_return_pairs(CellOrderedFile& g, std::FILE* tmp) {
    return search_return_pairs(PairJob{0, g, standard_output(), kPairIndexFile}, tmp);
}

}  // namespace quilvor
