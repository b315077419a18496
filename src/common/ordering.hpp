#pragma once

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace corvel {

// Strict weak orders on doubles with NaN after every number, so that no sort meets
// undefined behaviour and a NaN never comes first.
inline bool ascendingNaNLast(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}
inline bool descendingNaNLast(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a > b;
}

// Stable sort driven by a "comes before" predicate that need not be a strict weak order.
//
// Tolerance orders ("times within 1e-6 s tie, then by id") are not transitive, so
// std::sort and std::stable_sort with them are undefined behaviour. This insertion sort
// only ever moves an element past neighbours that it comes before, so it terminates with
// a well-defined result for any predicate, keeps equal elements in input order, and runs
// in linear time on input that is already (nearly) sorted, which is the common case.
template <typename T, typename ComesBefore>
void stableInsertionSort(std::vector<T>& items, ComesBefore comesBefore) {
    for (std::size_t i = 1; i < items.size(); ++i) {
        std::size_t j = i;
        while (j > 0 && comesBefore(items[i], items[j - 1])) {
            --j;
        }
        if (j != i) {
            T moving = std::move(items[i]);
            for (std::size_t k = i; k > j; --k) {
                items[k] = std::move(items[k - 1]);
            }
            items[j] = std::move(moving);
        }
    }
}

// Stable top-down merge sort: an element of the right half moves ahead of one of the left
// half only when it comes before it. Defined for any predicate like the insertion sort, but
// O(n log n) and merging halves rather than walking neighbours, so an intransitive tolerance
// order can settle differently; use it where that merge order is the one wanted.
template <typename T, typename ComesBefore>
void stableMergeSort(std::vector<T>& items, ComesBefore comesBefore) {
    if (items.size() < 2) return;
    std::vector<T> scratch(items.size());
    auto sortRange = [&](auto& self, std::size_t begin, std::size_t end) -> void {
        if (end - begin < 2) return;
        const std::size_t middle = begin + (end - begin) / 2;
        self(self, begin, middle);
        self(self, middle, end);
        std::size_t left = begin, right = middle, out = begin;
        while (left < middle && right < end) {
            if (comesBefore(items[right], items[left])) {
                scratch[out++] = std::move(items[right++]);
            } else {
                scratch[out++] = std::move(items[left++]);
            }
        }
        while (left < middle) scratch[out++] = std::move(items[left++]);
        while (right < end) scratch[out++] = std::move(items[right++]);
        for (std::size_t i = begin; i < end; ++i) items[i] = std::move(scratch[i]);
    };
    sortRange(sortRange, 0, items.size());
}

template <typename T, typename ComesBefore>
std::vector<T> stablySorted(std::vector<T> items, ComesBefore comesBefore) {
    stableInsertionSort(items, comesBefore);
    return items;
}

}  // namespace corvel
