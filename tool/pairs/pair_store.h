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

// The pairs of one file: each paired return once, in the order of the cells,
// however many pairs it belongs to, and for pair t the positions of its first
// and second return in index[2t] and index[2t + 1]. For the normalized copy,
// which needs the range and angle of every record in file order: bit k of
// paired marks record k as a paired return, and fileOrder gives the positions
// of the paired records in file order.
struct KeptPairs {
    Buffer<uint32_t> index;
    PairedReturns returns;
    Buffer<uint64_t> paired;
    Buffer<uint32_t> fileOrder;

    bool is_paired(uint32_t record) const { return (paired[record >> 6] >> (record & 63)) & 1u; }
    // The number of paired records before record.
    uint32_t paired_before(uint32_t record) const;
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

}  // namespace quilvor
