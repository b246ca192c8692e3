#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <random>
#include <vector>

#include "Torvane_LiDAR.h"

namespace {
std::vector<int32_t> iota(std::size_t n) {
    std::vector<int32_t> v(n);
    std::iota(v.begin(), v.end(), 0);
    return v;
}
}  // namespace

TEST(Quicksort, WorkedExamples) {
    std::vector<int32_t> keys = {3, 1, 2}, ind = iota(3);
    torvane::l_quicksort(keys.data(), 3, ind.data());
    EXPECT_EQ(keys, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(ind, (std::vector<int32_t>{1, 2, 0}));

    std::vector<double> eq4(4, 7.0);
    std::vector<int32_t> ind4 = iota(4);
    torvane::d_quicksort(eq4.data(), 4, ind4.data());
    EXPECT_EQ(ind4, (std::vector<int32_t>{2, 3, 0, 1}));
    std::vector<int32_t> eq3(3, 7), ind3 = iota(3);
    torvane::l_quicksort(eq3.data(), 3, ind3.data());
    EXPECT_EQ(ind3, (std::vector<int32_t>{2, 1, 0}));

    std::vector<int32_t> one = {5}, ind1 = {9};
    torvane::l_quicksort(one.data(), 1, ind1.data());
    torvane::l_quicksort(nullptr, 0, nullptr);  // no element is read
    EXPECT_EQ(one[0], 5);
    EXPECT_EQ(ind1[0], 9);
}

// A straightforward transcription of the two-scan scheme, nesting into both
// ranges, as the reference for exchange order.
template <class K>
void reference_qs(K* p, int32_t left, int32_t right, int32_t* ind) {
    int32_t i = left, j = right;
    const K v = p[(left + right) / 2];
    do {
        while (p[i] < v && i < right) i++;
        while (v < p[j] && j > left) j--;
        if (i <= j) {
            std::swap(p[i], p[j]);
            std::swap(ind[i], ind[j]);
            i++;
            j--;
        }
    } while (i <= j);
    if (left < j) reference_qs(p, left, j, ind);
    if (i < right) reference_qs(p, i, right, ind);
}

// The plain and the budget sort of one key type against the reference.
template <class K>
void expect_reference_order(const std::vector<K>& keys, void (*plain)(K*, int32_t, int32_t*),
                            void (*budget)(K*, int32_t, int32_t*)) {
    const int32_t n = static_cast<int32_t>(keys.size());
    std::vector<K> refKeys = keys;
    std::vector<int32_t> refInd = iota(n);
    reference_qs(refKeys.data(), 0, n - 1, refInd.data());
    EXPECT_TRUE(std::is_sorted(refKeys.begin(), refKeys.end()));
    for (auto sort : {plain, budget}) {
        std::vector<K> k = keys;
        std::vector<int32_t> ind = iota(n);
        sort(k.data(), n, ind.data());
        EXPECT_EQ(k, refKeys);
        EXPECT_EQ(ind, refInd);
    }
}

TEST(Quicksort, AllVariantsFollowTheSameExchangeOrder) {
    std::mt19937 rng(42);
    for (int round = 0; round < 40; ++round) {
        const int32_t n = 1 + static_cast<int32_t>(rng() % 3000);
        const int32_t distinct = 1 + static_cast<int32_t>(rng() % (round % 2 ? 5 : 100000));
        std::vector<int32_t> keys(n);
        for (auto& k : keys) k = static_cast<int32_t>(rng() % distinct) - distinct / 2;
        expect_reference_order(keys, torvane::l_quicksort, torvane::l_parallel_quicksort);
        expect_reference_order(std::vector<double>(keys.begin(), keys.end()), torvane::d_quicksort,
                               torvane::d_parallel_quicksort);
    }
}

// Keys that make every middle element the smallest of its range: each partition
// then splits off a single element, so the plain scheme would need count
// partitions (quadratic work, and as deep a nesting as the input is long).
std::vector<int32_t> middle_pivot_killer(int32_t n) {
    std::vector<int32_t> key(n), at = iota(n);  // at[pos]: the element now at pos
    for (int32_t k = 0; k < n; ++k) {
        const int32_t mid = static_cast<int32_t>((static_cast<int64_t>(k) + n - 1) / 2);
        key[at[mid]] = k;
        std::swap(at[k], at[mid]);
    }
    return key;
}

TEST(Quicksort, CraftedOrderOfMillionsSortsInBoundedWork) {
    const int32_t n = 3000000;
    for (int kind = 0; kind < 4; ++kind) {
        const std::vector<int32_t> keys = kind == 0 ? middle_pivot_killer(n) : [&] {
            std::vector<int32_t> k(n);
            for (int32_t t = 0; t < n; ++t) k[t] = kind == 1 ? t : kind == 2 ? n - t : 7;
            return k;
        }();
        std::vector<int32_t> k = keys, ind = iota(n);
        const auto t0 = std::chrono::steady_clock::now();
        torvane::l_quicksort(k.data(), n, ind.data());
        std::vector<double> d(keys.begin(), keys.end());
        std::vector<int32_t> dInd = iota(n);
        torvane::d_parallel_quicksort(d.data(), n, dInd.data());
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 20.0) << kind;
        EXPECT_TRUE(std::is_sorted(k.begin(), k.end()));
        EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));
        for (int32_t t = 0; t < n; t += 997) {
            EXPECT_EQ(k[t], keys[ind[t]]);
            EXPECT_EQ(d[t], keys[dInd[t]]);
        }
        if (kind == 2) {
            EXPECT_EQ(ind[0], n - 1);
        }
    }
}

TEST(Quicksort, NotANumberKeyEndsTheSort) {
    std::vector<double> keys = {3.0, std::nan(""), 1.0, 2.0};
    std::vector<int32_t> ind = iota(4);
    torvane::d_quicksort(keys.data(), 4, ind.data());
    std::vector<int32_t> sortedInd = ind;
    std::sort(sortedInd.begin(), sortedInd.end());
    EXPECT_EQ(sortedInd, iota(4));  // still a permutation
}
