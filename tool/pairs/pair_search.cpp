// The search for pairs of returns from different swaths in the cells of the grid.
#include <cmath>

#include "pairs.h"
#include "trajectory.h"

namespace quilvor {

namespace {

// Collects accepted pairs and writes them to ~tmp_rpi in large blocks.
struct PairWriter {
    std::FILE* tmp;
    std::vector<int32_t> buffer;
    uint32_t nPairs = 0;

    void add(int32_t offset1, int32_t offset2) {
        buffer.push_back(offset1);
        buffer.push_back(offset2);
        ++nPairs;
        if (buffer.size() >= (1u << 20)) flush();
    }
    void flush() {
        if (!buffer.empty() && std::fwrite(buffer.data(), sizeof(int32_t), buffer.size(), tmp) != buffer.size())
            fail("\nFailed to write to temporary binary file ~tmp_rpi\n");
        buffer.clear();
    }
};

struct Search {
    const CellOrderedFile& g;
    PairWriter& out;
    const double minT = _minTimeBWSwaths, maxT = _maxTimeBWSwaths, maxD = _maxPairDist;

    // The pair test: first return in slot a, second in slot b.
    void test(int32_t a, int32_t b) {
        const double tDiff = std::fabs(g.t[a] - g.t[b]);
        if (!(minT < tDiff && tDiff < maxT)) return;
        const double d = Distance3D(g.x[a], g.y[a], g.z[a], g.x[b], g.y[b], g.z[b]);
        if (d <= maxD) out.add(a * static_cast<int32_t>(g.recordLength), b * static_cast<int32_t>(g.recordLength));
    }

    int32_t first(uint32_t cell) const { return g.cumulativeCount[cell] - g.countReturnsInCell[cell]; }

    // Every two returns of one cell, the later one in file order first.
    void withinCell(uint32_t cell) {
        const int32_t k = g.countReturnsInCell[cell];
        const int32_t s = first(cell);
        for (int32_t a = 1; a < k; ++a)
            for (int32_t b = 0; b < a; ++b) test(s + a, s + b);
    }

    // Every return of the current cell against every return of the neighbour.
    void betweenCells(uint32_t cell, uint32_t neighbour) {
        const int32_t kc = g.countReturnsInCell[cell], kn = g.countReturnsInCell[neighbour];
        if (kc == 0 || kn == 0) return;
        const int32_t sc = first(cell), sn = first(neighbour);
        for (int32_t a = sc; a < sc + kc; ++a)
            for (int32_t b = sn; b < sn + kn; ++b) test(a, b);
    }
};

}  // namespace

uint32_t search_return_pairs(CellOrderedFile& g, std::FILE* tmp) {
    PairWriter out{tmp, {}, 0};
    out.buffer.reserve(1u << 20);
    Search s{g, out};
    const uint32_t ncols = g.ncols, nrows = g.nrows;
    auto cell = [ncols](uint32_t row, uint32_t col) { return col + row * ncols; };

    // Pass 1: within every cell.
    for (uint32_t row = 0; row < nrows; ++row)
        for (uint32_t col = 0; col < ncols; ++col) s.withinCell(cell(row, col));

    // Passes 2 to 5: interior columns against north-west, north, north-east and west.
    if (nrows >= 2 && ncols >= 3) {
        const int dRow[4] = {-1, -1, -1, 0};
        const int dCol[4] = {-1, 0, 1, -1};
        for (int pass = 0; pass < 4; ++pass)
            for (uint32_t row = 1; row < nrows; ++row)
                for (uint32_t col = 1; col + 1 < ncols; ++col)
                    s.betweenCells(cell(row, col), cell(row + dRow[pass], col + dCol[pass]));
    }
    // Passes 6 and 7: the western column against north and north-east.
    if (nrows >= 2)
        for (uint32_t row = 1; row < nrows; ++row) s.betweenCells(cell(row, 0), cell(row - 1, 0));
    if (nrows >= 2 && ncols >= 2)
        for (uint32_t row = 1; row < nrows; ++row) s.betweenCells(cell(row, 0), cell(row - 1, 1));
    // Pass 8: the northern row against east.
    if (ncols >= 2)
        for (uint32_t col = 0; col + 1 < ncols; ++col) s.betweenCells(cell(0, col), cell(0, col + 1));
    // Passes 9 to 11: the eastern column against west, north-west and north.
    if (nrows >= 2 && ncols >= 2) {
        const uint32_t last = ncols - 1;
        for (uint32_t row = 1; row < nrows; ++row) s.betweenCells(cell(row, last), cell(row, last - 1));
        for (uint32_t row = 1; row < nrows; ++row) s.betweenCells(cell(row, last), cell(row - 1, last - 1));
        for (uint32_t row = 1; row < nrows; ++row) s.betweenCells(cell(row, last), cell(row - 1, last));
    }
    out.flush();
    return out.nPairs;
}

}  // namespace quilvor
