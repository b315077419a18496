#include "common/ordering.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvel {
namespace {

struct Item {
    double time;
    std::string id;
};

// The shape of the tolerance orders: close times tie and the id decides.
bool comesBefore(const Item& a, const Item& b) {
    if (std::abs(a.time - b.time) > 1e-6) return a.time < b.time;
    return a.id < b.id;
}

std::string ids(const std::vector<Item>& items) {
    std::string text;
    for (const auto& item : items) text += item.id;
    return text;
}

TEST(StableInsertionSort, OrdersByTimeThenTieBreaker) {
    std::vector<Item> items{{5.0000005, "A"}, {5.0, "B"}, {1.0, "C"}, {3.0, "D"}};
    stableInsertionSort(items, comesBefore);
    EXPECT_EQ(ids(items), "CDAB");
}

TEST(StableInsertionSort, KeepsEqualElementsInInputOrder) {
    std::vector<Item> items{{2, "x"}, {1, "a"}, {2, "y"}, {1, "b"}};
    stableInsertionSort(items, [](const Item& a, const Item& b) { return a.time < b.time; });
    EXPECT_EQ(ids(items), "abxy");
}

TEST(StableInsertionSort, NonTransitiveAndNaNPredicatesStayDefined) {
    // A chain of near ties (each within tolerance of the next) and NaN times: the result
    // must be a permutation of the input, whatever its order.
    std::vector<Item> items{{NAN, "n"}, {1.0000009, "c"}, {1.0, "b"}, {1.0000018, "a"}, {NAN, "m"}, {0.5, "z"}};
    stableInsertionSort(items, comesBefore);
    std::string sorted = ids(items);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, "abcmnz");
}

TEST(StableMergeSort, OrdersKeepsTiesInInputOrderAndStaysDefined) {
    std::vector<Item> items{{5.0000005, "A"}, {5.0, "B"}, {1.0, "C"}, {3.0, "D"}, {2, "x"}, {1, "a"}, {2, "y"}};
    stableMergeSort(items, [](const Item& a, const Item& b) { return a.time < b.time; });
    EXPECT_EQ(ids(items), "CaxyDBA");

    items = {{NAN, "n"}, {1.0000009, "c"}, {1.0, "b"}, {1.0000018, "a"}, {NAN, "m"}, {0.5, "z"}};
    stableMergeSort(items, comesBefore);
    std::string sorted = ids(items);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, "abcmnz");
}

TEST(NaNLastOrders, PutNaNAfterEveryNumberInBothDirections) {
    std::vector<double> values{NAN, 2, -INFINITY, NAN, 3, 1};
    std::vector<double> up = values;
    std::stable_sort(up.begin(), up.end(), ascendingNaNLast);
    std::vector<double> down = values;
    std::stable_sort(down.begin(), down.end(), descendingNaNLast);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(up[i], (std::vector<double>{-INFINITY, 1, 2, 3}[i]));
        EXPECT_EQ(down[i], (std::vector<double>{3, 2, 1, -INFINITY}[i]));
    }
    EXPECT_TRUE(std::isnan(up[4]) && std::isnan(up[5]));
    EXPECT_TRUE(std::isnan(down[4]) && std::isnan(down[5]));
}

}  // namespace
}  // namespace corvel
