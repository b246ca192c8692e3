// The search for pairs of returns from different swaths in the cells of the grid.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "pairs.h"
#include "parallel.h"
#include "trajectory.h"

namespace quilvor {

uint32_t _blockCells = 0;
std::vector<PairBlockRuns> _pairBlockRuns;
bool _recordPairStrips = false;
std::vector<PairStrips> _pairStrips;

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
    uint32_t count() const { return nPairs; }
    // Pairs found by another band, after this one's.
    void append(const std::vector<int32_t>& pairs) {
        flush();
        if (!pairs.empty() && std::fwrite(pairs.data(), sizeof(int32_t), pairs.size(), tmp) != pairs.size())
            fail_because(errno, tmpName, "\nFailed to write to temporary binary file %s\n", tmpName.c_str());
        nPairs += static_cast<uint32_t>(pairs.size() / 2);
    }
    [[gnu::noinline]] void flush() {
        if (used > 0 && std::fwrite(buffer.data(), sizeof(int32_t), used, tmp) != used)
            fail_because(errno, tmpName, "\nFailed to write to temporary binary file %s\n", tmpName.c_str());
        used = 0;
    }
};

// The pairs of a band of rows after the first, kept until the bands before it
// are written.
struct PairKeeper {
    std::vector<int32_t>& pairs;
    void add(int32_t offset1, int32_t offset2) {
        pairs.push_back(offset1);
        pairs.push_back(offset2);
    }
    uint32_t count() const { return static_cast<uint32_t>(pairs.size() / 2); }
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

// The bands of rows of a pass: at most one a thread, and 64.
unsigned max_bands() { return std::clamp(_threads, 1u, 64u); }

// Sets the mark of a slot: bit slot & 7 of byte slot >> 3, set through its
// 16-bit word (the same bit on this little-endian machine). A store through a
// byte pointer could change any of the search's other values as far as the
// compiler knows, and they would be read again after every pair.
static_assert(std::endian::native == std::endian::little);
inline void mark_slot(unsigned char* marks, int32_t slot) {
    uint16_t* words = reinterpret_cast<uint16_t*>(marks);
    words[slot >> 4] |= static_cast<uint16_t>(1u << (slot & 15));
}

template <class Sink>
struct Search {
    const CellOrderedFile& g;
    Sink& out;
    unsigned char* marks;  // a bit per slot: the paired returns
    const double minT = _minTimeBWSwaths, maxT = _maxTimeBWSwaths;
    const DistanceTest distance{_maxPairDist};
    // The spatial blocks of the pairs, when they are recorded: the runs, the
    // blocks in a row of blocks, the current block and the pairs before its run.
    PairBlockRuns* runs = nullptr;
    uint32_t blockCols = 0, current = 0;
    uint32_t start = 0;

    void record_blocks(PairBlockRuns* r) {
        runs = r;
        blockCols = r == nullptr ? 0 : (g.ncols + _blockCells - 1) / _blockCells;
        start = out.count();
    }
    // The pairs of cell (row, col) of the whole grid follow.
    void enter_cell(int64_t row, int64_t col) {
        const uint32_t b = static_cast<uint32_t>(row / _blockCells) * blockCols + static_cast<uint32_t>(col / _blockCells);
        if (b == current) return;
        close_run();
        current = b;
    }
    // The same for window cell c.
    void enter_window_cell(int64_t c) {
        if (runs != nullptr) enter_cell(g.row0 + c / g.wcols, g.col0 + c % g.wcols);
    }
    // The pairs found since the last run go to the current block.
    void close_run() {
        const uint32_t n = out.count();
        if (runs != nullptr) runs->add(current, n - start);
        start = n;
    }

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
        const std::size_t len = g.recordLength;  // the pair-index file holds offsets in the file's point data
        const torvane::LASHeader& h = g.header;
        const unsigned char* A = g.record(a);
        const double tA = torvane::record_gps_time(A, CellOrderedFile::kLayout), lo = minT, hi = maxT;
        bool decoded = false;
        torvane::RealXYZ pa{};
        for (int32_t b = from; b < to; ++b) {
            const unsigned char* B = g.record(b);
            const double tDiff = std::fabs(tA - torvane::record_gps_time(B, CellOrderedFile::kLayout));
            if (!(lo < tDiff && tDiff < hi)) continue;
            if (!decoded) {
                pa = torvane::decode_xyz(A, h);
                decoded = true;
            }
            const torvane::RealXYZ pb = torvane::decode_xyz(B, h);
            if (distance.within(SquareDistance3D(pa.X, pa.Y, pa.Z, pb.X, pb.Y, pb.Z))) {
                out.add(a * static_cast<int32_t>(len), b * static_cast<int32_t>(len));
                mark_slot(marks, a);
                mark_slot(marks, b);
            }
        }
    }
};

// Every current cell of rows rowLo..rowHi and columns colLo..colHi of the
// whole grid against its neighbour (row + dRow, col + dCol), row by row. Only
// cells whose neighbour lies in the window are visited: the others, and all
// cells outside the window, hold no pair, so the pairs and their order are
// those of a visit of the whole range.
template <class Sink>
void neighbour_pass(Search<Sink>& s, int64_t rowLo, int64_t rowHi, int64_t colLo, int64_t colHi, int dRow, int dCol) {
    const CellOrderedFile& g = s.g;
    const int64_t wr0 = g.row0, wr1 = wr0 + g.wrows - 1, wc0 = g.col0, wc1 = wc0 + g.wcols - 1;
    const int64_t r0 = std::max({rowLo, wr0, wr0 - dRow}), r1 = std::min({rowHi, wr1, wr1 - dRow});
    const int64_t c0 = std::max({colLo, wc0, wc0 - dCol}), c1 = std::min({colHi, wc1, wc1 - dCol});
    const int64_t delta = int64_t{dRow} * g.wcols + dCol;
    const int32_t* count = g.countReturnsInCell.data();
    for (int64_t row = r0; row <= r1; ++row) {
        const int64_t base = (row - wr0) * g.wcols - wc0;
        for (int64_t col = c0; col <= c1; ++col)
            if (count[base + col] != 0) {
                if (s.runs != nullptr) s.enter_cell(row, col);
                s.betweenCells(base + col, base + col + delta);
            }
    }
}

// One pass: the cells of rows rowLo..rowHi and columns colLo..colHi against
// their neighbour (dRow, dCol), or each cell within itself (within). With
// several threads the rows are shared out in bands of about equal returns;
// the first band writes as it goes, the others keep their pairs, written after
// it in band order: the order of a visit row by row.
struct Pass {
    int64_t rowLo, rowHi, colLo, colHi;
    int dRow = 0, dCol = 0;
    bool within = false;
};

template <class Sink>
void visit_rows(Search<Sink>& s, const Pass& p, int64_t rowA, int64_t rowB) {
    const CellOrderedFile& g = s.g;
    if (!p.within) {
        neighbour_pass(s, rowA, rowB, p.colLo, p.colHi, p.dRow, p.dCol);
    } else {
        // Within cells, over whole rows of the window: its cells in ascending order are the grid's.
        for (int64_t c = (rowA - g.row0) * int64_t{g.wcols}; c < (rowB - g.row0 + 1) * int64_t{g.wcols}; ++c)
            if (g.countReturnsInCell[c] > 1) {
                s.enter_window_cell(c);
                s.withinCell(c);
            }
    }
    s.close_run();
}

// The block runs of the file of job, when they are recorded.
PairBlockRuns* block_runs(const PairJob& job) {
    if (_blockCells == 0 || job.LASID >= _pairBlockRuns.size()) return nullptr;
    return &_pairBlockRuns[job.LASID];
}

void run_pass(const PairJob& job, PairWriter& out, const Pass& p) {
    CellOrderedFile& g = job.g;
    const int64_t r0 = std::max<int64_t>(p.rowLo, g.row0), r1 = std::min<int64_t>(p.rowHi, int64_t{g.row0} + g.wrows - 1);
    if (r0 > r1) return;
    const unsigned parts = static_cast<unsigned>(std::min<int64_t>(max_bands(), r1 - r0 + 1));
    PairBlockRuns* runs = block_runs(job);
    if (parts == 1) {
        Search<PairWriter> s{g, out, g.paired_marks()};
        s.record_blocks(runs);
        visit_rows(s, p, r0, r1);
        return;
    }
    // Band boundaries: rows where the returns counted so far reach k / parts of the pass's.
    auto returnsBefore = [&g](int64_t row) {  // in the window's rows before row
        const int64_t cells = (row - g.row0) * int64_t{g.wcols};
        return cells == 0 ? int64_t{0} : int64_t{g.cumulativeCount[cells - 1]};
    };
    const int64_t lo = returnsBefore(r0), total = returnsBefore(r1 + 1) - lo;
    std::vector<int64_t> firstRow(parts + 1, r1 + 1);
    firstRow[0] = r0;
    for (unsigned k = 1, row = static_cast<unsigned>(r0); k < parts; ++k) {
        while (row <= r1 && (returnsBefore(row) - lo) * parts < total * k) ++row;
        firstRow[k] = std::max<int64_t>(row, firstRow[k - 1]);
    }
    if (g.bandPairs.size() < parts) g.bandPairs.resize(parts);
    std::vector<PairBlockRuns> bandRuns(runs == nullptr ? 0 : parts);  // the first band's go to runs directly
    run_parts(parts, [&](unsigned band) {
        if (firstRow[band] >= firstRow[band + 1]) return;
        if (band == 0) {
            Search<PairWriter> s{g, out, g.paired_marks()};
            s.record_blocks(runs);
            visit_rows(s, p, firstRow[0], firstRow[1] - 1);
        } else {
            g.bandPairs[band].clear();
            PairKeeper keep{g.bandPairs[band]};
            Search<PairKeeper> s{g, keep, g.bandMarks[band].data()};
            s.record_blocks(runs == nullptr ? nullptr : &bandRuns[band]);
            visit_rows(s, p, firstRow[band], firstRow[band + 1] - 1);
        }
    });
    for (unsigned band = 1; band < parts; ++band) {
        out.append(g.bandPairs[band]);
        g.bandPairs[band].clear();
        if (runs != nullptr) runs->append(bandRuns[band]);
    }
}

// Clears the paired marks, and those of the bands after the first (each band
// marks its own: the returns of one pair may lie in the rows of two bands).
void clear_marks(CellOrderedFile& g) {
    std::memset(g.paired_marks(), 0, g.paired_mark_bytes());
    if (g.bandMarks.size() < max_bands()) g.bandMarks.resize(max_bands());
    for (unsigned band = 1; band < max_bands(); ++band)
        if (!g.bandMarks[band].resize_zeroed(g.paired_mark_bytes())) throw std::bad_alloc();
}

// Adds the marks of the bands after the first to the paired marks.
void merge_marks(CellOrderedFile& g) {
    unsigned char* marks = g.paired_marks();
    for (unsigned band = 1; band < max_bands(); ++band) {
        const unsigned char* m = g.bandMarks[band].data();
        for (std::size_t k = 0; k < g.paired_mark_bytes(); ++k) marks[k] |= m[k];
    }
}

}  // namespace

uint32_t search_return_pairs(const PairJob& job, std::FILE* tmp) {
    CellOrderedFile& g = job.g;
    g.pairBlock.resize_or_fail(std::size_t{1} << 20, "\nFailed to write to temporary binary file %s\n",
                               job.tmpName.c_str());
    PairWriter out{tmp, job.tmpName, g.pairBlock};
    const int64_t ncols = g.ncols, nrows = g.nrows;
    if (PairBlockRuns* runs = block_runs(job)) {
        *runs = PairBlockRuns{};
        runs->originX = g.header.MinX;
        runs->topY = g.header.MinY + nrows * _resolution;
        runs->blockCols = (g.ncols + _blockCells - 1) / _blockCells;
    }
    try {
        clear_marks(g);
        // Pass 1: within every cell.
        run_pass(job, out, Pass{0, nrows - 1, 0, ncols - 1, 0, 0, true});
        // Passes 2 to 5: interior columns against north-west, north, north-east and west.
        if (nrows >= 2 && ncols >= 3) {
            run_pass(job, out, Pass{1, nrows - 1, 1, ncols - 2, -1, -1});
            run_pass(job, out, Pass{1, nrows - 1, 1, ncols - 2, -1, 0});
            run_pass(job, out, Pass{1, nrows - 1, 1, ncols - 2, -1, 1});
            run_pass(job, out, Pass{1, nrows - 1, 1, ncols - 2, 0, -1});
        }
        // Passes 6 and 7: the western column against north and north-east.
        if (nrows >= 2) run_pass(job, out, Pass{1, nrows - 1, 0, 0, -1, 0});
        if (nrows >= 2 && ncols >= 2) run_pass(job, out, Pass{1, nrows - 1, 0, 0, -1, 1});
        // Pass 8: the northern row against east.
        if (ncols >= 2) run_pass(job, out, Pass{0, 0, 0, ncols - 2, 0, 1});
        // Passes 9 to 11: the eastern column against west, north-west and north.
        if (nrows >= 2 && ncols >= 2) {
            run_pass(job, out, Pass{1, nrows - 1, ncols - 1, ncols - 1, 0, -1});
            run_pass(job, out, Pass{1, nrows - 1, ncols - 1, ncols - 1, -1, -1});
            run_pass(job, out, Pass{1, nrows - 1, ncols - 1, ncols - 1, -1, 0});
        }
    } catch (const std::bad_alloc&) {
        fail("\nFailed to allocate memory for the pairs of %s\n", _pairInfo[job.LASID].LASName.c_str());
    }
    out.flush();
    merge_marks(g);
    return out.nPairs;
}

uint32_t search_return_pairs(CellOrderedFile& g, std::FILE* tmp) {
    return search_return_pairs(PairJob{0, g, standard_output(), kPairIndexFile}, tmp);
}

}  // namespace quilvor
