// Return-pair search: grid index, pair search, pair attributes and RAI files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "las_input.h"
#include "memory.h"
#include "run_state.h"

namespace quilvor {

#pragma pack(push, 1)
// One pair of a RAI file: range, angle and intensity of the first and of the second return.
struct RangeAngleIntensityStruct {
    uint16_t Range1;
    float Angle1;
    uint16_t Intensity1;
    uint16_t Range2;
    float Angle2;
    uint16_t Intensity2;
};
#pragma pack(pop)
static_assert(sizeof(RangeAngleIntensityStruct) == 16);

// Row and column of a return in the whole grid.
struct RowCol {
    uint32_t row, col;
};

// The 16 bytes of working memory per return that the steps of one file's
// pair stage share in turn (N returns):
//   bytes  0 N to  8 N  the row and column of each record (grid); then the
//                       rank (0 N to 4 N) and angle (4 N to 8 N) of each slot
//   bytes  8 N to 12 N  the window cell of each record, then its slot
//   bytes 12 N to 14 N  the range of each slot
//   bytes 14 N on       one bit per slot: paired (whole 16-bit words)
struct ReturnScratch {
    unsigned char* base;
    std::size_t N;
    RowCol* row_cols() const { return reinterpret_cast<RowCol*>(base); }
    int32_t* record_cells() const { return reinterpret_cast<int32_t*>(base + 8 * N); }  // cell, then slot
    uint32_t* ranks() const { return reinterpret_cast<uint32_t*>(base); }
    float* angles() const { return reinterpret_cast<float*>(base + 4 * N); }
    uint16_t* ranges() const { return reinterpret_cast<uint16_t*>(base + 12 * N); }
    unsigned char* paired_marks() const { return base + 14 * N; }  // 16-bit aligned
    static constexpr std::size_t kBytesPerReturn = 16;
};

// Where the pairs of one file lie, without a word per pair: the pairs in
// pair order as runs of consecutive pairs found in one spatial block (a square
// of cells of the file's grid, numbered row by row).
struct PairBlockRuns {
    std::vector<uint32_t> block, count;
    // Where block b lies: its column b % blockCols and row b / blockCols,
    // counted from the grid's west edge originX and north edge topY.
    double originX = 0, topY = 0;
    uint32_t blockCols = 1;
    // Appends n pairs of block b, to the last run when it is of b too.
    void add(uint32_t b, uint32_t n) {
        if (n == 0) return;
        if (!block.empty() && block.back() == b) {
            count.back() += n;
            return;
        }
        block.push_back(b);
        count.push_back(n);
    }
    void append(const PairBlockRuns& o) {
        for (std::size_t k = 0; k < o.block.size(); ++k) add(o.block[k], o.count[k]);
    }
};
// The edge of a spatial block in cells, 0 when the pair search does not
// record the blocks (the default); then the block runs of each file.
extern uint32_t _blockCells;
extern std::vector<PairBlockRuns> _pairBlockRuns;

// Which strip each return of a pair was flown in, recorded when
// _recordPairStrips is set: for pair t of a file, entries 2t and 2t + 1 hold
// the point source ID and the GPS time (less _rd's first time) of its first
// and second return.
struct PairStrips {
    std::vector<uint16_t> source;
    std::vector<float> time;
};
extern bool _recordPairStrips;
extern std::vector<PairStrips> _pairStrips;

// One LAS file held in the order of the cells of its grid, and the memory
// that the pair stage reuses from one file to the next.
struct CellOrderedFile {
    torvane::LASHeader header{};  // MinX..MaxY hold the snapped grid bounds
    uint32_t ncols = 0;           // the grid over the header's extent
    uint32_t nrows = 0;
    // The window of cells between the lowest and highest row and column that
    // hold a return; the cell arrays cover it alone.
    uint32_t col0 = 0, row0 = 0, wcols = 0, wrows = 0;
    uint32_t N = 0;             // number of records
    uint16_t recordLength = 0;  // PointDataRecordLength
    Buffer<int32_t> countReturnsInCell;  // per window cell
    Buffer<int32_t> cumulativeCount;
    Buffer<int32_t> nextSlot;
    std::vector<Buffer<int32_t>> rangeNextSlot;  // per range of records after the first
    Buffer<unsigned char> pLAS;       // N records, cell order, kRecordBytes of each
    Buffer<unsigned char> perReturn;  // the ReturnScratch of the file
    std::vector<Buffer<unsigned char>> bandMarks;  // the paired marks of the bands of rows after the first
    std::vector<Buffer<unsigned char>> blocks;  // one read block per thread
    Buffer<int32_t> pairBlock;        // pair offsets on their way to the pair-index file
    std::vector<std::vector<int32_t>> bandPairs;  // pairs of the bands of rows after the first
    std::vector<Buffer<int32_t>> pairBlocks;                 // per thread, for reading pairs back
    std::vector<Buffer<RangeAngleIntensityStruct>> raiBlocks;  // per thread, RAI records on their way to the file

    // The window cell of (row, col) of the whole grid, or -1 outside the window.
    int64_t cell(uint32_t row, uint32_t col) const {
        if (row < row0 || col < col0 || row - row0 >= wrows || col - col0 >= wcols) return -1;
        return static_cast<int64_t>(col - col0) + static_cast<int64_t>(row - row0) * wcols;
    }
    // The part of a record the pair stage reads (coordinates, intensity, GPS
    // time, point source ID), held as a record of format 1 whatever the
    // file's format: its first 20 bytes (with the point source ID at its place
    // in format 1), then its GPS time.
    static constexpr const torvane::PointFormat& kLayout = torvane::kPointFormats[1];
    static constexpr uint16_t kRecordBytes = kLayout.length;
    static_assert(kLayout.gpsTime == 20 && kLayout.length == 28);
    const torvane::PointFormat* format = nullptr;  // the file's point format
    const unsigned char* record(int32_t slot) const {
        return pLAS.data() + static_cast<std::size_t>(slot) * kRecordBytes;
    }
    ReturnScratch scratch() { return {perReturn.data(), N}; }
    unsigned char* paired_marks() { return scratch().paired_marks(); }
    std::size_t paired_mark_bytes() const { return (std::size_t{N} + 15) / 16 * 2; }  // whole 16-bit words
};

// One file's pair stage. Its steps share their work out over the run's threads.
struct PairJob {
    uint16_t LASID;
    CellOrderedFile& g;    // the memory of the stage, kept from one file to the next
    Console& out;          // the file's console lines
    std::string tmpName;   // the pair-index file
};

// The pair-index temporary file.
inline const std::string kPairIndexFile = "~tmp_rpi";

// Finds the pairs of every listed file, one after the other, and writes their RAI files.
void pairDataToFiles();
// Finds the pairs of the file _pairInfo[LASID] and writes its RAI file.
void pairDataToFile(uint16_t LASID);
void pair_data_to_file(const PairJob& job);

// The three stages of pair_data_to_file.
// Reads the file into cell order; false for a file without point records.
bool build_grid_index(const PairJob& job);
// Searches the grid for pairs, writing them to tmp and marking their returns;
// returns the number found.
uint32_t search_return_pairs(const PairJob& job, std::FILE* tmp);
// Range, angle and intensity of both returns of every pair of tmp (which it
// takes over and removes) into the RAI file.
void write_pair_attributes(const PairJob& job, FilePtr tmp, uint32_t nPairs);

// The same stages on one thread, with their lines on standard output.
bool build_grid_index(uint16_t LASID, CellOrderedFile& g);
uint32_t search_return_pairs(CellOrderedFile& g, std::FILE* tmp);
void write_pair_attributes(uint16_t LASID, CellOrderedFile& g, FilePtr tmp, uint32_t nPairs);

}  // namespace quilvor
