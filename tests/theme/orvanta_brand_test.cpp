#include "theme/orvanta_brand.hpp"

#include <gtest/gtest.h>

namespace corvel::theme {
namespace {

TEST(OrvantaMarkShapeTest, OutlineScalesWithItsRectangle) {
    const QPainterPath small = OrvantaMarkShape::path(QRectF(0, 0, 50, 50));
    const QPainterPath large = OrvantaMarkShape::path(QRectF(0, 0, 100, 100));
    ASSERT_EQ(small.elementCount(), large.elementCount());
    ASSERT_GT(small.elementCount(), 0);
    for (int i = 0; i < small.elementCount(); ++i) {
        EXPECT_NEAR(large.elementAt(i).x, 2 * small.elementAt(i).x, 1e-9) << i;
        EXPECT_NEAR(large.elementAt(i).y, 2 * small.elementAt(i).y, 1e-9) << i;
    }
    EXPECT_EQ(small.fillRule(), Qt::WindingFill);
}

TEST(OrvantaMarkShapeTest, PositionsFollowWidthAndHeightWhileBarCornersFollowTheWidth) {
    const QRectF wide(10, 20, 200, 100);
    const QPainterPath path = OrvantaMarkShape::path(wide);
    const QRectF bounds = path.boundingRect();
    EXPECT_NEAR(bounds.left(), 10 + 0.02 * 200, 1e-6);
    EXPECT_NEAR(bounds.top(), 20 + 0.06 * 100, 1e-6);
    EXPECT_NEAR(bounds.bottom(), 20 + 0.94 * 100, 1e-6);

    // 3 px in from the first bar's top-left corner: cut off by a corner of 0.065 x 200 = 13 px,
    // inside a corner that followed the height (6.5 px).
    const QPointF nearCorner(10 + 0.02 * 200 + 3, 20 + 0.35 * 100 + 3);
    EXPECT_FALSE(path.contains(nearCorner));
    EXPECT_TRUE(path.contains(QPointF(10 + 0.09 * 200, 20 + 0.5 * 100)));

    const QRectF tall(10, 20, 100, 200);
    EXPECT_TRUE(OrvantaMarkShape::path(tall).contains(QPointF(10 + 0.02 * 100 + 3, 20 + 0.35 * 200 + 3)));
}

TEST(OrvantaMarkTest, GlowOnlyColoursTheShadows) {
    const auto on = OrvantaMark::shadows(true);
    const auto off = OrvantaMark::shadows(false);
    EXPECT_NEAR(on[0].color.alphaF(), 0.34, 0.005);
    EXPECT_NEAR(on[1].color.alphaF(), 0.3, 0.005);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(off[i].color.alpha(), 0);
        EXPECT_EQ(off[i].offset, on[i].offset);
        EXPECT_EQ(off[i].blurRadius, on[i].blurRadius);
    }
    EXPECT_EQ(on[0].offset, QPointF(-3, 1));
    EXPECT_EQ(on[1].offset, QPointF(4, 1));
}

TEST(OrvantaMarkBadgeTest, BadgeOf36HasItsCornerRadiusAndMarkInset) {
    EXPECT_NEAR(OrvantaMarkBadge::cornerRadius(36), 8.64, 1e-9);
    const QRectF mark = OrvantaMarkBadge::markRect(36);
    EXPECT_NEAR(mark.left(), 5.76, 1e-9);
    EXPECT_NEAR(mark.top(), 5.76, 1e-9);
    EXPECT_NEAR(mark.width(), 24.48, 1e-9);
    EXPECT_NEAR(mark.height(), 24.48, 1e-9);

    const OrvantaMarkBadge badge(36, true);
    EXPECT_EQ(badge.size(), QSize(36, 36));
}

TEST(OrvantaMarkBadgeTest, DrawsWithAndWithoutGlowAtEverySize) {
    for (qreal size : {1.0, 36.0, 52.0}) {
        for (bool glow : {true, false}) {
            OrvantaMarkBadge badge(size, glow);
            EXPECT_FALSE(badge.grab().isNull()) << size;
            OrvantaMark mark(glow);
            mark.resize(static_cast<int>(size), static_cast<int>(size));
            EXPECT_FALSE(mark.grab().isNull()) << size;
        }
    }
}

}  // namespace
}  // namespace corvel::theme
