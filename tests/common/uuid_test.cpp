#include "common/uuid.hpp"

#include <set>

#include <gtest/gtest.h>

namespace corvel {
namespace {

TEST(Uuid, RandomIsVersion4UpperCaseAndRoundTrips) {
    const Uuid id = Uuid::random();
    const std::string text = id.toString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);
    for (char c : text) EXPECT_TRUE(c == '-' || std::isdigit(c) || (c >= 'A' && c <= 'F')) << text;
    EXPECT_EQ(Uuid::parse(text), id);
    EXPECT_NE(Uuid::random(), id);
}

TEST(Uuid, ParseAcceptsEitherCaseAndRejectsMalformedText) {
    const auto upper = Uuid::parse("6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
    ASSERT_TRUE(upper);
    EXPECT_EQ(Uuid::parse("6ba7b810-9dad-11d1-80b4-00c04fd430c8"), upper);
    EXPECT_EQ(upper->toString(), "6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
    for (const char* bad : {"", "6BA7B810-9DAD-11D1-80B4-00C04FD430C", "6BA7B8109-DAD-11D1-80B4-00C04FD430C8",
                            "6BA7B810-9DAD-11D1-80B4-00C04FD430CG", "{6BA7B810-9DAD-11D1-80B4-00C04FD430C}"}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
}

TEST(Uuid, OrderFollowsTheTextForm) {
    const auto a = *Uuid::parse("0A000000-0000-4000-8000-000000000000");
    const auto b = *Uuid::parse("A0000000-0000-4000-8000-000000000000");
    EXPECT_LT(a, b);
    EXPECT_LT(a.toString(), b.toString());
}

}  // namespace
}  // namespace corvel
