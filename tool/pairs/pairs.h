// Return-pair search: grid index, pair search, pair attributes and RAI files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "driver.h"
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

// What the grid index hands to the pair search and the pair attributes:
// every record of one LAS file in cell order, with the per-cell counts.
struct CellOrderedFile {
    torvane::LAS12Header ph12{};  // MinX..MaxY hold the snapped grid bounds
    uint32_t ncols = 0;
    uint32_t nrows = 0;
    uint32_t N = 0;                // number of records
    uint16_t recordLength = 0;     // PointDataRecordLength
    std::vector<int32_t> countReturnsInCell;
    std::vector<int32_t> cumulativeCount;
    std::unique_ptr<unsigned char[]> pLAS;  // N records, cell order
    // Real coordinates and GPS time of the record in each slot, decoded once.
    std::vector<double> x, y, z, t;
};

// Finds the pairs of the file _pairInfo[LASID] and writes its RAI file.
void pairDataToFile(uint16_t LASID);

// The three stages of pairDataToFile.
// Reads the file into cell order; returns false for a file without point records.
bool build_grid_index(uint16_t LASID, CellOrderedFile& g);
// Searches the grid for pairs, writing them to tmp; returns the number found.
uint32_t search_return_pairs(CellOrderedFile& g, std::FILE* tmp);
// Range, angle and intensity of both returns of every pair, into the RAI file.
// Takes ~tmp_rpi over and removes it.
void write_pair_attributes(uint16_t LASID, CellOrderedFile& g, FilePtr tmp, uint32_t nPairs);

// The pair-index temporary file.
inline const std::string kPairIndexFile = "~tmp_rpi";

// Calls fn(record, t) for each of the N records of len bytes that follow the
// file's current position, reading in large blocks.
template <class Fn>
void for_each_record(LasInput& in, uint32_t N, uint16_t len, const char* name, Fn fn) {
    const uint32_t perBlock = (4u << 20) / len + 1;
    std::vector<unsigned char> block(static_cast<std::size_t>(perBlock) * len);
    uint32_t t = 0;
    while (t < N) {
        const uint32_t want = (N - t < perBlock) ? N - t : perBlock;
        read_input(in, block.data(), static_cast<std::size_t>(want) * len, name);
        for (uint32_t k = 0; k < want; ++k, ++t) fn(block.data() + static_cast<std::size_t>(k) * len, t);
    }
}

}  // namespace quilvor
