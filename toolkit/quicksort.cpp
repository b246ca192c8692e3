// Index-carrying quicksorts.
//
// Two-scan partition around the middle element's value; every exchange of two
// keys is applied to the companion array as well. The two ranges left after a
// partition are disjoint, so the order in which they are sorted does not change
// the result: the worker nests only into the smaller range and loops over the
// larger one, which bounds the nesting to about log2(count) on every input.
#include <utility>

#include "Torvane_LiDAR.h"

namespace torvane {

namespace {

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

template <class Key>
void plain_worker(Key* p, int32_t left, int32_t right, int32_t* p_ind) {
    while (left < right) {
        int32_t i, j;
        partition(p, left, right, p_ind, i, j);
        const bool hasLeft = left < j;
        const bool hasRight = i < right;
        if (hasLeft && hasRight) {
            if (j - left < right - i) {
                plain_worker(p, left, j, p_ind);
                left = i;
            } else {
                plain_worker(p, i, right, p_ind);
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
void budget_worker(Key* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep) {
    if (left >= right) return;
    int32_t i, j;
    partition(p, left, right, p_ind, i, j);
    // The budget only chooses the worker; at most 16 levels run here.
    if (left < j) {
        if (deep > 0) budget_worker(p, left, j, p_ind, deep - 1);
        else plain_worker(p, left, j, p_ind);
    }
    if (i < right) {
        if (deep > 0) budget_worker(p, i, right, p_ind, deep - 1);
        else plain_worker(p, i, right, p_ind);
    }
}

}  // namespace

void l_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind) { plain_worker(p, left, right, p_ind); }
void d_qs(double* p, int32_t left, int32_t right, int32_t* p_ind) { plain_worker(p, left, right, p_ind); }

void l_quicksort(int32_t* p, int32_t count, int32_t* p_ind) {
    if (count > 1) l_qs(p, 0, count - 1, p_ind);
}
void d_quicksort(double* p, int32_t count, int32_t* p_ind) {
    if (count > 1) d_qs(p, 0, count - 1, p_ind);
}

void l_parallel_qs(int32_t* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep) {
    budget_worker(p, left, right, p_ind, deep);
}
void d_parallel_qs(double* p, int32_t left, int32_t right, int32_t* p_ind, int32_t deep) {
    budget_worker(p, left, right, p_ind, deep);
}

void l_parallel_quicksort(int32_t* p, int32_t count, int32_t* p_ind) {
    if (count > 1) l_parallel_qs(p, 0, count - 1, p_ind, 15);
}
void d_parallel_quicksort(double* p, int32_t count, int32_t* p_ind) {
    if (count > 1) d_parallel_qs(p, 0, count - 1, p_ind, 15);
}

}  // namespace torvane
