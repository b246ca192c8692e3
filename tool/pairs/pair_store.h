// The pair records kept in memory for the exponent search, within a budget.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "memory.h"

namespace quilvor {

// What the exponent search needs of one pair, with what does not depend on
// the exponent (the cosines of the two incidence angles) computed once.
struct PairTerms {
    double cos1, cos2;
    uint16_t Range1, Intensity1, Range2, Intensity2;
};
static_assert(sizeof(PairTerms) == 24);

// The pairs of each listed file, in pair order, for the files whose pairs fit
// the budget; the others are read from their RAI files at every evaluation.
struct PairStore {
    std::mutex mutex;
    uint64_t budget = 0;  // bytes still free
    std::vector<Buffer<PairTerms>> files;
    std::vector<char> kept;           // per file: its pairs are in memory
};
extern PairStore _pairStore;

// Sets the budget in bytes and makes room for fileCount files, none kept.
void reset_pair_store(uint64_t budgetBytes, uint16_t fileCount);
// Takes room for nPairs records of file LASID from the budget; false when
// they do not fit (the file is then read from its RAI file).
bool keep_pairs_in_memory(uint16_t LASID, uint32_t nPairs);
bool pairs_in_memory(uint16_t LASID);

}  // namespace quilvor
