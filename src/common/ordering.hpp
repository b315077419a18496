#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace corvel {

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

template <typename T, typename ComesBefore>
std::vector<T> stablySorted(std::vector<T> items, ComesBefore comesBefore) {
    stableInsertionSort(items, comesBefore);
    return items;
}

}  // namespace corvel
