// The search for pairs of returns from different swaths in the cells of the grid.
#include <algorithm>
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
    [[gnu::noinline]] void flush() {
        if (used > 0 && std::fwrite(buffer.data(), sizeof(int32_t), used, tmp) != used)
            fail("\nFailed to write to temporary binary file %s\n", tmpName.c_str());
        used = 0;
    }
};

// The distance test d <= maxD with d = sqrt(s): a square s clearly below or
// above maxD squared decides it without the root; only squares within a
// relative 1e-9 of maxD squared, far wider than any rounding, take the root.
// The answer is that of the root in every case.
struct DistanceTest {
    double maxD, lo, hi;
    bool shortcut;
    explicit DistanceTest(double d) : maxD(d), lo(d * d * (1 - 1e-9)), hi(d * d * (1 + 1e-9)) {
        shortcut = std::isnormal(lo) && std::isfinite(hi);
    }
    bool within(double s) const {
        if (shortcut) {
            if (s <= lo) return true;
            if (s >= hi) return false;
        }
        return std::sqrt(s) <= maxD;
    }
};

struct Search {
    const CellOrderedFile& g;
    PairWriter& out;
    const double minT = _minTimeBWSwaths, maxT = _maxTimeBWSwaths;
    const DistanceTest distance{_maxPairDist};

    // Every return of the current cell against every return of the neighbour
    // (current first); both are window cells.
    void betweenCells(int64_t cell, int64_t neighbour) {
        const int32_t kc = g.countReturnsInCell[cell], kn = g.countReturnsInCell[neighbour];
        if (kc == 0 || kn == 0) return;
        const int32_t sc = g.cumulativeCount[cell] - kc, sn = g.cumulativeCount[neighbour] - kn;
        for (int32_t a = sc; a < sc + kc; ++a) test_against(a, sn, sn + kn);
    }

    // Every two returns of one cell, the later one in file order first.
    void withinCell(int64_t cell) {
        const int32_t k = g.countReturnsInCell[cell];
        const int32_t s = g.cumulativeCount[cell] - k;
        for (int32_t a = 1; a < k; ++a) test_against(s + a, s, s + a);
    }

    // The pair test of first return a against second returns b = from .. to - 1.
    void test_against(int32_t a, int32_t from, int32_t to) {
        const unsigned char* base = g.pLAS.data();
        const std::size_t len = g.recordLength;
        const torvane::LAS12Header& h = g.ph12;
        const unsigned char* A = base + static_cast<std::size_t>(a) * len;
        const double tA = torvane::record_gps_time(A), lo = minT, hi = maxT;
        bool decoded = false;
        torvane::RealXYZ pa{};
        for (int32_t b = from; b < to; ++b) {
            const unsigned char* B = base + static_cast<std::size_t>(b) * len;
            const double tDiff = std::fabs(tA - torvane::record_gps_time(B));
            if (!(lo < tDiff && tDiff < hi)) continue;
            if (!decoded) {
                pa = torvane::decode_xyz(A, h);
                decoded = true;
            }
            const torvane::RealXYZ pb = torvane::decode_xyz(B, h);
            if (distance.within(SquareDistance3D(pa.X, pa.Y, pa.Z, pb.X, pb.Y, pb.Z)))
                out.add(a * static_cast<int32_t>(len), b * static_cast<int32_t>(len));
        }
    }
};

// Every current cell of rows rowLo..rowHi and columns colLo..colHi of the
// whole grid against its neighbour (row + dRow, col + dCol), row by row. Only
// cells whose neighbour lies in the window are visited: the others, and all
// cells outside the window, hold no pair, so the pairs and their order are
// those of a visit of the whole range.
void neighbour_pass(Search& s, int64_t rowLo, int64_t rowHi, int64_t colLo, int64_t colHi, int dRow, int dCol) {
    const CellOrderedFile& g = s.g;
    const int64_t wr0 = g.row0, wr1 = wr0 + g.wrows - 1, wc0 = g.col0, wc1 = wc0 + g.wcols - 1;
    const int64_t r0 = std::max({rowLo, wr0, wr0 - dRow}), r1 = std::min({rowHi, wr1, wr1 - dRow});
    const int64_t c0 = std::max({colLo, wc0, wc0 - dCol}), c1 = std::min({colHi, wc1, wc1 - dCol});
    const int64_t delta = int64_t{dRow} * g.wcols + dCol;
    const int32_t* count = g.countReturnsInCell.data();
    for (int64_t row = r0; row <= r1; ++row) {
        const int64_t base = (row - wr0) * g.wcols - wc0;
        for (int64_t col = c0; col <= c1; ++col)
            if (count[base + col] != 0) s.betweenCells(base + col, base + col + delta);
    }
}

}  // namespace

uint32_t search_return_pairs(const PairJob& job, std::FILE* tmp) {
    CellOrderedFile& g = job.g;
    g.pairBlock.resize_or_fail(std::size_t{1} << 20, "\nFailed to write to temporary binary file %s\n",
                               job.tmpName.c_str());
    PairWriter out{tmp, job.tmpName, g.pairBlock};
    Search s{g, out};
    const int64_t ncols = g.ncols, nrows = g.nrows;

    // Pass 1: within every cell; the window's cells in ascending order are the grid's.
    const int64_t cells = static_cast<int64_t>(g.wcols) * g.wrows;
    for (int64_t c = 0; c < cells; ++c)
        if (g.countReturnsInCell[c] > 1) s.withinCell(c);
    // Passes 2 to 5: interior columns against north-west, north, north-east and west.
    if (nrows >= 2 && ncols >= 3) {
        neighbour_pass(s, 1, nrows - 1, 1, ncols - 2, -1, -1);
        neighbour_pass(s, 1, nrows - 1, 1, ncols - 2, -1, 0);
        neighbour_pass(s, 1, nrows - 1, 1, ncols - 2, -1, 1);
        neighbour_pass(s, 1, nrows - 1, 1, ncols - 2, 0, -1);
    }
    // Passes 6 and 7: the western column against north and north-east.
    if (nrows >= 2) neighbour_pass(s, 1, nrows - 1, 0, 0, -1, 0);
    if (nrows >= 2 && ncols >= 2) neighbour_pass(s, 1, nrows - 1, 0, 0, -1, 1);
    // Pass 8: the northern row against east.
    if (ncols >= 2) neighbour_pass(s, 0, 0, 0, ncols - 2, 0, 1);
    // Passes 9 to 11: the eastern column against west, north-west and north.
    if (nrows >= 2 && ncols >= 2) {
        neighbour_pass(s, 1, nrows - 1, ncols - 1, ncols - 1, 0, -1);
        neighbour_pass(s, 1, nrows - 1, ncols - 1, ncols - 1, -1, -1);
        neighbour_pass(s, 1, nrows - 1, ncols - 1, ncols - 1, -1, 0);
    }
    out.flush();
    return out.nPairs;
}

uint32_t search_return_pairs(CellOrderedFile& g, std::FILE* tmp) {
    return search_return_pairs(PairJob{0, g, standard_output(), kPairIndexFile}, tmp);
}

}  // namespace quilvor
