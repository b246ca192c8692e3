// The pair records kept in memory for the exponent search.
#include "pair_store.h"

namespace quilvor {

PairStore _pairStore;

void reset_pair_store(uint64_t budgetBytes, uint16_t fileCount) {
    std::lock_guard<std::mutex> lock(_pairStore.mutex);
    _pairStore.budget = budgetBytes;
    _pairStore.files.clear();
    _pairStore.files.resize(fileCount);
    _pairStore.kept.assign(fileCount, 0);
}

bool keep_pairs_in_memory(uint16_t LASID, uint32_t nPairs, uint32_t nPaired) {
    if (LASID >= _pairStore.files.size()) return false;
    const uint64_t bytes = uint64_t{nPairs} * 2 * sizeof(uint32_t) + uint64_t{nPaired} * sizeof(PairedReturn);
    {
        std::lock_guard<std::mutex> lock(_pairStore.mutex);
        if (bytes > _pairStore.budget) return false;
        _pairStore.budget -= bytes;
    }
    KeptPairs& k = _pairStore.files[LASID];
    if (!k.index.resize(std::size_t{nPairs} * 2) || !k.returns.resize(nPaired)) {
        k = KeptPairs{};
        std::lock_guard<std::mutex> lock(_pairStore.mutex);
        _pairStore.budget += bytes;
        return false;
    }
    _pairStore.kept[LASID] = 1;
    return true;
}

bool pairs_in_memory(uint16_t LASID) { return LASID < _pairStore.kept.size() && _pairStore.kept[LASID]; }

}  // namespace quilvor
