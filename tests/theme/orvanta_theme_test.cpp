#include "theme/orvanta_theme.hpp"

#include <QGraphicsDropShadowEffect>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "theme/symbol_set.hpp"

namespace corvel::theme {
namespace {

TEST(OrvantaThemeTest, GradientStopsAreSpacedEvenlyFromPinkToBlue) {
    struct Case {
        const char* name;
        const QGradientStops& stops;
        std::size_t count;
    };
    const Case cases[] = {{"accent", OrvantaTheme::accentStops(), 2},
                          {"brand", OrvantaTheme::brandStops(), 3},
                          {"mark", OrvantaTheme::markStops(), 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(static_cast<std::size_t>(c.stops.size()), c.count);
        for (std::size_t i = 0; i < c.count; ++i) {
            EXPECT_DOUBLE_EQ(c.stops[static_cast<qsizetype>(i)].first, static_cast<double>(i) / (c.count - 1));
        }
        EXPECT_EQ(c.stops.front().second, OrvantaTheme::pink());
        EXPECT_EQ(c.stops.back().second, OrvantaTheme::blue());
    }
}

TEST(OrvantaThemeTest, ButtonStylesFollowThePressState) {
    struct Case {
        const char* name;
        ButtonAppearance look;
        qreal background, topFill, text, shadow, scale;
    };
    const Case cases[] = {
        {"primary pressed", OrvantaPrimaryButtonStyle::appearance(true), 0.78, 0, 1, 0.14, 0.985},
        {"primary released", OrvantaPrimaryButtonStyle::appearance(false), 1, 0, 1, 0.3, 1},
        {"secondary pressed", OrvantaSecondaryButtonStyle::appearance(true), 1, 0.1, 0.8, 0, 1},
        {"secondary released", OrvantaSecondaryButtonStyle::appearance(false), 1, 0.16, 0.96, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DOUBLE_EQ(c.look.backgroundOpacity, c.background);
        EXPECT_DOUBLE_EQ(c.look.topFillOpacity, c.topFill);
        EXPECT_DOUBLE_EQ(c.look.textOpacity, c.text);
        EXPECT_DOUBLE_EQ(c.look.shadowOpacity, c.shadow);
        EXPECT_DOUBLE_EQ(c.look.scale, c.scale);
    }
}

TEST(OrvantaThemeTest, PrimaryButtonShadowFadesWhilePressedAndReturnsOnRelease) {
    OrvantaButton button(OrvantaButton::Style::primary, QStringLiteral("COPY DIAGNOSTICS"), QStringLiteral("doc.on.doc"));
    button.show();
    auto* shadow = qobject_cast<QGraphicsDropShadowEffect*>(button.graphicsEffect());
    ASSERT_NE(shadow, nullptr);
    EXPECT_NEAR(shadow->color().alphaF(), 0.3, 0.01);
    EXPECT_EQ(shadow->color().rgb(), OrvantaTheme::standardBlue().rgb());

    QTest::mousePress(&button, Qt::LeftButton);
    EXPECT_DOUBLE_EQ(button.currentAppearance().scale, 0.985);
    EXPECT_NEAR(shadow->color().alphaF(), 0.14, 0.01);

    QTest::mouseRelease(&button, Qt::LeftButton);
    EXPECT_DOUBLE_EQ(button.currentAppearance().scale, 1.0);
    EXPECT_NEAR(shadow->color().alphaF(), 0.3, 0.01);
}

TEST(OrvantaThemeTest, ButtonsAreAtLeastTheirStyleHeightAndMakeRoomForTheSymbol) {
    const OrvantaButton primary(OrvantaButton::Style::primary, QStringLiteral("COPY"));
    const OrvantaButton withSymbol(OrvantaButton::Style::primary, QStringLiteral("COPY"), QStringLiteral("doc.on.doc"));
    const OrvantaButton secondary(OrvantaButton::Style::secondary, QStringLiteral("REFRESH"));
    EXPECT_GE(primary.sizeHint().height(), 44);
    EXPECT_GE(secondary.sizeHint().height(), 40);
    EXPECT_GT(withSymbol.sizeHint().width(), primary.sizeHint().width());
    EXPECT_EQ(withSymbol.property(kSystemImageProperty).toString(), QStringLiteral("doc.on.doc"));
    EXPECT_EQ(secondary.graphicsEffect(), nullptr);  // the quiet button casts no shadow
}

TEST(OrvantaThemeTest, SectionLabelShowsItsTextInCapitalsWithTracking) {
    const OrvantaSectionLabel label(QStringLiteral("System State"));
    EXPECT_EQ(label.text(), QStringLiteral("SYSTEM STATE"));
    EXPECT_EQ(label.font().pixelSize(), 12);
    EXPECT_EQ(label.font().letterSpacingType(), QFont::AbsoluteSpacing);
    EXPECT_DOUBLE_EQ(label.font().letterSpacing(), 3.0);
}

TEST(OrvantaThemeTest, NavigationButtonKeepsItsSizeWhenSelected) {
    int pressed = 0;
    OrvantaNavigationButton button(QStringLiteral("BEATLOOM"), QStringLiteral("waveform.path.ecg"), false,
                                   [&] { ++pressed; });
    const QSize unselected = button.sizeHint();
    EXPECT_EQ(unselected.height(), 40);
    button.setSelected(true);
    EXPECT_EQ(button.sizeHint(), unselected);
    EXPECT_TRUE(button.selected());

    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(pressed, 1);
}

TEST(OrvantaThemeTest, PanelPadsItsContent) {
    const OrvantaPanel panel({20, 20});
    EXPECT_EQ(panel.contentsMargins(), QMargins(20, 20, 20, 20));
}

TEST(SymbolSetTest, KnowsTheSymbolsTheShellShowsAndNothingElse) {
    for (const char* name : {"shippingbox.fill", "waveform.path.ecg", "stethoscope", "globe", "doc.on.doc"}) {
        EXPECT_TRUE(hasSymbol(QString::fromLatin1(name))) << name;
    }
    EXPECT_FALSE(hasSymbol(QStringLiteral("play.fill.unknown")));
    EXPECT_FALSE(hasSymbol(QString()));
}

// A widget drawn over black, as it shows on the dark window.
QImage onBlack(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    QPainter painter(&image);
    widget.render(&painter, {}, {}, QWidget::DrawChildren);
    return image;
}

// A panel's rounded rectangle with the drop-shadow effect on the widget itself: how the panel
// and its shadow have to look.
class EffectPanel final : public QWidget {
public:
    EffectPanel(qreal radius, QWidget* parent) : QWidget(parent), radius_(radius) {
        auto* shadow = new QGraphicsDropShadowEffect(this);
        shadow->setBlurRadius(20);
        shadow->setOffset(0, 10);
        shadow->setColor(OrvantaTheme::black(0.28));
        setGraphicsEffect(shadow);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPen stroke(OrvantaTheme::panelStroke(), 1);
        stroke.setMiterLimit(10);
        painter.setPen(stroke);
        painter.setBrush(OrvantaTheme::panelFill());
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius_, radius_);
    }

private:
    qreal radius_;
};

TEST(OrvantaThemeTest, PanelAndItsShadowLookAsTheDropShadowEffectDrawsThemAtAnySize) {
    // A tall list, a wide bar and a panel smaller than its own corners and blur.
    for (const QSize size : {QSize(500, 1400), QSize(900, 180), QSize(90, 50)}) {
        QWidget ours;
        QWidget reference;
        for (QWidget* parent : {&ours, &reference}) parent->resize(size + QSize(200, 200));
        OrvantaPanel panel({16, 14}, &ours);
        panel.setGeometry(QRect(QPoint(100, 100), size));
        EffectPanel effect(16, &reference);
        effect.setGeometry(QRect(QPoint(100, 100), size));
        // Over white, where a black shadow shows.
        const auto onWhite = [](QWidget& widget) {
            QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::white);
            QPainter painter(&image);
            widget.render(&painter, {}, {}, QWidget::DrawChildren);
            return image;
        };
        const QImage a = onWhite(ours);
        const QImage b = onWhite(reference);
        int worst = 0;
        for (int y = 0; y < a.height(); ++y) {
            for (int x = 0; x < a.width(); ++x) {
                const QRgb p = a.pixel(x, y);
                const QRgb q = b.pixel(x, y);
                worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                  std::abs(qBlue(p) - qBlue(q))});
            }
        }
        EXPECT_LE(worst, 1) << size.width() << " x " << size.height();
        // There is a shadow to compare, faint as it is: below the panel it darkens the white.
        int deepest = 0;
        for (int y = 100 + size.height(); y < b.height(); ++y) {
            deepest = std::max(deepest, 255 - qRed(b.pixel(100 + size.width() / 2, y)));
        }
        EXPECT_GE(deepest, 3);
    }
}

// The strongest text ink in a region of a rendered widget: how bright its label reads.
int brightestInk(const QImage& image, const QRect& region) {
    int brightest = 0;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) brightest = std::max(brightest, qGray(image.pixel(x, y)));
    }
    return brightest;
}

TEST(OrvantaThemeTest, WhatCantBeUsedIsDrawnDimmerThanWhatCan) {
    const QPalette palette = OrvantaTheme::darkPalette();
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        EXPECT_LT(palette.color(QPalette::Disabled, role).alphaF(), palette.color(QPalette::Active, role).alphaF() * 0.6)
            << role;
    }
    // The look Qt's own style gives buttons and menu items, with the theme's palette.
    const std::unique_ptr<QStyle> style(QStyleFactory::create(QStringLiteral("Fusion")));
    ASSERT_TRUE(style);
    const auto rendered = [&](QWidget& widget) {
        widget.setStyle(style.get());
        widget.setPalette(palette);
        widget.setAutoFillBackground(true);  // the style's own face, in the theme's colours
        widget.adjustSize();
        return onBlack(widget);
    };
    QPushButton button(QStringLiteral("Use Detected Tempo"));
    const int live = brightestInk(rendered(button), button.rect().adjusted(4, 4, -4, -4));
    button.setEnabled(false);
    const int dead = brightestInk(rendered(button), button.rect().adjusted(4, 4, -4, -4));
    EXPECT_LT(dead, live - 60);

    QMenu menu;
    QAction* enabled = menu.addAction(QStringLiteral("Remove Pickup Bars"));
    QAction* disabled = menu.addAction(QStringLiteral("Remove Pickup Bars"));
    disabled->setEnabled(false);
    const QImage image = rendered(menu);
    EXPECT_LT(brightestInk(image, menu.actionGeometry(disabled)), brightestInk(image, menu.actionGeometry(enabled)) - 60);

    // The theme's own buttons fade as well.
    OrvantaButton themed(OrvantaButton::Style::secondary, QStringLiteral("UNDO"));
    themed.resize(themed.sizeHint());
    const int themedLive = brightestInk(onBlack(themed), themed.rect().adjusted(4, 4, -4, -4));
    themed.setEnabled(false);
    EXPECT_LT(brightestInk(onBlack(themed), themed.rect().adjusted(4, 4, -4, -4)), themedLive - 60);
}

}  // namespace
}  // namespace corvel::theme
