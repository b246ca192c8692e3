// Index-carrying quicksorts.
//
// Two-scan partition around the middle element's value; every exchange of two
// keys is applied to the companion array as well. The two ranges left after a
// partition are disjoint, so the order in which they are sorted does not change
// the result: the worker nests only into the smaller range and loops over the
// larger one, which bounds the nesting to about log2(count) on every input.
//
// The work is bounded too: a range that lies deeper than depth_limit(count)
// partitions below the top is finished by a heap sort (n log n at worst), so a
// crafted order cannot make the sort quadratic. Orders that stay above the
// bound (random orders reach about 2.7 log2(count)) are sorted exactly as the
// plain scheme sorts them, equal keys included.
#include <bit>
#include <utility>

#include "Torvane_LiDAR.h"

namespace torvane {

namespace {

int32_t depth_limit(int32_t count) {
    const int32_t log2 = count > 1 ? std::bit_width(static_cast<uint32_t>(count)) - 1 : 0;
    return 2 * log2 + 32;
}

// Partitions [left, right]; on return [left, j] and [i, right] remain to sort.
template <class Key>
inline void partition(Key* p, int32_t left, int32_t right, int32_t* p_ind, int32_t& i, int32_t& j) {
    const Key v = p[(static_cast<int64_t>(left) + right) / 2];
    i = left;
    j = right;
    do {
        while (p[i] < v && i < right) ++i;
        while (v < p[j] && j > left) --j;
        if (i <= j) {
            std::swap(p[i], p[j]);
            std::swap(p_ind[i], p_ind[j]);
            ++i;
            --j;
        }
    } while (i <= j);
}

// Restores the heap below position root of the n keys at base.
template <class Key>
void sift_down(Key* base, int32_t* ind, int64_t root, int64_t n) {
    for (;;) {
        int64_t child = 2 * root + 1;
        if (child >= n) return;
        if (child + 1 < n && base[child] < base[child + 1]) ++child;
        if (!(base[root] < base[child])) return;
        std::swap(base[root], base[child]);
        std::swap(ind[root], ind[child]);
        root = child;
    }
}

template <class Key>
void heap_sort(Key* p, int32_t left, int32_t right, int32_t* p_ind) {
    Key* base = p + left;
    int32_t* ind = p_ind + left;
    const int64_t n = static_cast<int64_t>(right) - left + 1;
    for (int64_t root = n / 2 - 1; root >= 0; --root) sift_down(base, ind, root, n);
    for (int64_t end = n - 1; end > 0; --end) {
        std::swap(base[0], base[end]);
        std::swap(ind[0], ind[end]);
        sift_down(base, ind, 0, end);
    }
}

template <class Key>
void plain_worker(Key* p, int32_t left, int32_t right, int32_t* p_ind, int32_t depth, int32_t limit) {
    while (left < right) {
        if (depth >= limit) {
            heap_sort(p, left, right, p_ind);
            return;
        }
        int32_t i, j;
        partition(p, left, right, p_ind, i, j);
        ++depth;
        const bool hasLeft = left < j;
        const bool hasRight = i < right;
        if (hasLeft && hasRight) {
            if (j - left < right - i) {
                plain_worker(p, left, j, p_ind, depth, limit);
                left = i;
            } else {
                plain_worker(p, i, right, p_ind, depth, limit);
                right = j;
            }
        } else if (hasLeft) {
            right = j;
        } else if (hasRight) {
            left = i;
        } else {
            return;
        }
    }
}

template <class Key>
void budget_worker(Key* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep, int32_t depth,
                   int32_t limit) {
    if (left >= right) return;
    if (depth >= limit) {
        heap_sort(p, left, right, p_ind);
        return;
    }
    int32_t i, j;
    partition(p, left, right, p_ind, i, j);
    ++depth;
    // The budget only chooses the worker; at most 16 levels run here.
    if (left < j) {
        if (deep > 0) budget_worker(p, left, j, p_ind, deep - 1, depth, limit);
        else plain_worker(p, left, j, p_ind, depth, limit);
    }
    if (i < right) {
        if (deep > 0) budget_worker(p, i, right, p_ind, deep - 1, depth, limit);
        else plain_worker(p, i, right, p_ind, depth, limit);
    }
}

template <class Key>
void sort_range(Key* p, int32_t left, int32_t right, int32_t* p_ind) {
    if (left < right) plain_worker(p, left, right, p_ind, 0, depth_limit(right - left + 1));
}

template <class Key>
void budget_sort_range(Key* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep) {
    if (left < right) budget_worker(p, left, right, p_ind, deep, 0, depth_limit(right - left + 1));
}

}  // namespace

void l_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind) { sort_range(p, left, right, p_ind); }
void d_qs(double* p, int32_t left, int32_t right, int32_t* p_ind) { sort_range(p, left, right, p_ind); }

void l_quicksort(int32_t* p, int32_t count, int32_t* p_ind) {
    if (count > 1) l_qs(p, 0, count - 1, p_ind);
}
void d_quicksort(double* p, int32_t count, int32_t* p_ind) {
    if (count > 1) d_qs(p, 0, count - 1, p_ind);
}

void l_parallel_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep) {
    budget_sort_range(p, left, right, p_ind, deep);
}
void d_parallel_qs(double* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep) {
    budget_sort_range(p, left, right, p_ind, deep);
}

void l_parallel_quicksort(int32_t* p, int32_t count, int32_t* p_ind) {
    if (count > 1) l_parallel_qs(p, 0, count - 1, p_ind, 15);
}
void d_parallel_quicksort(double* p, int32_t count, int32_t* p_ind) {
    if (count > 1) d_parallel_qs(p, 0, count - 1, p_ind, 15);
}

}  // namespace torvane
