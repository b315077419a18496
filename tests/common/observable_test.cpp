#include "common/observable.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvel {
namespace {

TEST(Published, TellsEverySubscriberAboutChangesButNotAboutEqualValues) {
    Published<std::string> name("a");
    std::vector<std::string> first, second;
    Subscription one = name.subscribe([&](const std::string& v) { first.push_back(v); });
    Subscription two = name.subscribe([&](const std::string& v) { second.push_back(v + "!"); });
    name.set("b");
    name.set("b");
    name.set("c");
    EXPECT_EQ(name.value(), "c");
    EXPECT_EQ(first, (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(second, (std::vector<std::string>{"b!", "c!"}));
}

TEST(Published, DestroyedOrResetSubscriptionHearsNothingMore) {
    Published<int> value(0);
    int heard = 0;
    {
        Subscription subscription = value.subscribe([&](int) { ++heard; });
        value.set(1);
        Subscription moved = std::move(subscription);
        subscription.reset();  // the moved-from handle owns nothing any more
        value.set(2);
    }
    value.set(3);
    EXPECT_EQ(heard, 2);
}

TEST(Published, SubscriptionMayOutliveTheValue) {
    Subscription subscription;
    {
        Published<int> value(0);
        subscription = value.subscribe([](int) {});
    }
    subscription.reset();  // must not touch the destroyed value
    SUCCEED();
}

TEST(Published, ObserverMayUnsubscribeOthersAndItselfWhileBeingTold) {
    Published<int> value(0);
    std::vector<std::string> calls;
    std::optional<Subscription> second;
    std::optional<Subscription> third;
    Subscription first = value.subscribe([&](int v) {
        calls.push_back("first " + std::to_string(v));
        second.reset();  // not called any more, even in this round
        if (!third) third = value.subscribe([&](int w) { calls.push_back("third " + std::to_string(w)); });
    });
    second = value.subscribe([&](int v) { calls.push_back("second " + std::to_string(v)); });
    value.set(1);
    value.set(2);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 1", "first 2", "third 2"}));
}

}  // namespace
}  // namespace corvel
