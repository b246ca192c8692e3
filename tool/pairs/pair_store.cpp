// The pair records kept in memory for the exponent search.
#include "pair_store.h"

#include <algorithm>

namespace quilvor {

PairStore _pairStore;

void reset_pair_store(uint64_t budgetBytes, uint16_t fileCount) {
    std::lock_guard<std::mutex> lock(_pairStore.mutex);
    _pairStore.budget = budgetBytes;
    _pairStore.files.clear();
    _pairStore.files.resize(fileCount);
    _pairStore.kept.assign(fileCount, 0);
}

uint32_t KeptPairs::paired_between(uint32_t from, uint32_t to) const {
    if (from >= to) return 0;
    const auto bits = [](uint64_t w) { return static_cast<uint32_t>(__builtin_popcountll(w)); };
    const uint32_t first = from >> 6, last = to >> 6;
    const uint64_t fromMask = ~uint64_t{0} << (from & 63), toMask = (uint64_t{1} << (to & 63)) - 1;
    if (first == last) return bits(paired[first] & fromMask & toMask);
    uint32_t n = bits(paired[first] & fromMask);
    for (uint32_t w = first + 1; w < last; ++w) n += bits(paired[w]);
    if (to & 63) n += bits(paired[last] & toMask);
    return n;
}

bool keep_pairs_in_memory(uint16_t LASID, uint32_t nPairs, uint32_t nPaired, uint32_t N) {
    if (LASID >= _pairStore.files.size()) return false;
    const std::size_t words = (std::size_t{N} + 63) / 64;
    // A word a pair; cosine, range, intensity and place in file order a paired return; a bit a record.
    const uint64_t perPaired = sizeof(double) + 2 * sizeof(uint16_t) + sizeof(uint32_t);
    const uint64_t bytes = uint64_t{nPairs} * sizeof(uint32_t) + uint64_t{nPaired} * perPaired + words * sizeof(uint64_t);
    {
        std::lock_guard<std::mutex> lock(_pairStore.mutex);
        if (bytes > _pairStore.budget) return false;
        _pairStore.budget -= bytes;
    }
    KeptPairs& k = _pairStore.files[LASID];
    if (!k.pairs.code.resize(nPairs) || !k.returns.resize(nPaired) || !k.paired.resize_zeroed(words) ||
        !k.fileOrder.resize(nPaired)) {
        k = KeptPairs{};
        std::lock_guard<std::mutex> lock(_pairStore.mutex);
        _pairStore.budget += bytes;
        return false;
    }
    _pairStore.kept[LASID] = 1;
    return true;
}

void take_from_budget(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(_pairStore.mutex);
    _pairStore.budget -= std::min(bytes, _pairStore.budget);
}

bool pairs_in_memory(uint16_t LASID) { return LASID < _pairStore.kept.size() && _pairStore.kept[LASID]; }

void release_pairs(uint16_t LASID) {
    if (!pairs_in_memory(LASID)) return;
    _pairStore.kept[LASID] = 0;
    _pairStore.files[LASID] = KeptPairs{};
}

}  // namespace quilvor
