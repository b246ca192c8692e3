// The pair records kept in memory for the exponent search, within a budget.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "memory.h"

namespace quilvor {

// What the exponent search needs of paired returns, each array by position:
// the cosine of the incidence angle (which does not depend on the exponent,
// computed once), the range and the intensity.
struct PairedReturns {
    Buffer<double> cosine;
    Buffer<uint16_t> range, intensity;

    bool resize(std::size_t n) { return cosine.resize(n) && range.resize(n) && intensity.resize(n); }
    std::size_t size() const { return cosine.size(); }
    void set(std::size_t r, double c, uint16_t R, uint16_t I) {
        cosine[r] = c;
        range[r] = R;
        intensity[r] = I;
    }
};

// The positions of the first and second return of each pair, in pair order,
// in one word a pair: the first position less that of the pair before (12
// bits; 0 before the first pair) and the second less the first (20 bits,
// signed). Pairs are found cell after cell, so both are mostly small; a pair
// whose differences do not fit has kEscaped as its first field and both
// positions in `escaped`, two words a pair, in pair order.
struct PairPositions {
    static constexpr uint32_t kEscaped = 0xFFF;
    Buffer<uint32_t> code;
    std::vector<uint32_t> escaped;

    // The word of positions i1, i2 after a pair whose first position was
    // previous; false when they do not fit one.
    static bool encode(uint32_t previous, uint32_t i1, uint32_t i2, uint32_t& word) {
        const int64_t step = int64_t{i1} - previous, apart = int64_t{i2} - i1;
        if (step < 0 || step >= kEscaped || apart < -(int64_t{1} << 19) || apart >= (int64_t{1} << 19)) return false;
        word = static_cast<uint32_t>(step) | (static_cast<uint32_t>(apart) << 12);
        return true;
    }
};

// Calls fn(i1, i2) for the n pairs of code (and escaped), in order.
template <class Fn>
inline void for_each_position_pair(const uint32_t* code, const uint32_t* escaped, std::size_t n, Fn&& fn) {
    uint32_t i1 = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const uint32_t w = code[k];
        uint32_t i2;
        if ((w & PairPositions::kEscaped) == PairPositions::kEscaped) [[unlikely]] {
            i1 = escaped[0];
            i2 = escaped[1];
            escaped += 2;
        } else {
            i1 += w & PairPositions::kEscaped;
            i2 = i1 + static_cast<uint32_t>(static_cast<int32_t>(w) >> 12);
        }
        fn(i1, i2);
    }
}

// The pairs of one file: each paired return once, in the order of the cells,
// however many pairs it belongs to, and the positions of the returns of each
// pair among them. For the normalized copy,
// which needs the range and angle of every record in file order: bit k of
// paired marks record k as a paired return, and fileOrder gives the positions
// of the paired records in file order.
struct KeptPairs {
    PairPositions pairs;
    PairedReturns returns;
    Buffer<uint64_t> paired;
    Buffer<uint32_t> fileOrder;

    bool is_paired(uint32_t record) const { return (paired[record >> 6] >> (record & 63)) & 1u; }
    // The number of paired records from record from to record to - 1.
    uint32_t paired_between(uint32_t from, uint32_t to) const;
};

// The pairs of each listed file, in pair order, for the files whose pairs fit
// the budget; the others are read from their RAI files at every evaluation.
struct PairStore {
    std::mutex mutex;
    uint64_t budget = 0;  // bytes still free
    std::vector<KeptPairs> files;
    std::vector<char> kept;  // per file: its pairs are in memory
};
extern PairStore _pairStore;

// Sets the budget in bytes and makes room for fileCount files, none kept.
void reset_pair_store(uint64_t budgetBytes, uint16_t fileCount);
// Takes room for nPairs pairs of nPaired distinct returns of the N records of
// file LASID from the budget (paired marks all clear); false when they do not
// fit (the file is then read from its RAI file).
bool keep_pairs_in_memory(uint16_t LASID, uint32_t nPairs, uint32_t nPaired, uint32_t N);
bool pairs_in_memory(uint16_t LASID);
// Gives the memory of the kept pairs of file LASID back (it is then read from its RAI file).
void release_pairs(uint16_t LASID);
// Takes bytes more from the budget (as much as is left), for the escaped pairs of a kept file.
void take_from_budget(uint64_t bytes);

}  // namespace quilvor
