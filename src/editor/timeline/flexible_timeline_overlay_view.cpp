#include "editor/timeline/flexible_timeline_overlay_view.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "editor/timeline/timeline_handle_view.hpp"

namespace corvel::editor {

namespace {

using theme::FontDesign;
using theme::OrvantaTheme;

constexpr double kSymbolSide = 8;
const QString kAudioStartText = QStringLiteral("AUDIO START");
constexpr double kMarkerSpacing = 1;

QFont pillFont() { return OrvantaTheme::font(9, QFont::Black, FontDesign::rounded); }
QFont anchorLabelFont() { return OrvantaTheme::font(8, QFont::ExtraBold, FontDesign::monospaced); }
QFont tagFont() { return OrvantaTheme::font(9, QFont::ExtraBold, FontDesign::rounded); }

const QColor& modeColour(BeatloomTimelineMode mode) {
    return mode == BeatloomTimelineMode::free ? OrvantaTheme::standardBlue() : OrvantaTheme::standardOrange();
}

QSizeF textSize(const QFont& font, const QString& text) {
    const QFontMetricsF metrics(font);
    return {metrics.horizontalAdvance(text), metrics.height()};
}

QRectF centredRect(double centreX, double centreY, QSizeF size) {
    return {centreX - size.width() / 2, centreY - size.height() / 2, size.width(), size.height()};
}

template <typename Item>
std::optional<Item> topmostAt(const std::vector<Item>& items, QPointF position, QRectF (*rect)(const Item&)) {
    const auto hit = std::find_if(items.rbegin(), items.rend(),
                                  [&](const Item& item) { return rect(item).contains(position); });
    return hit == items.rend() ? std::nullopt : std::optional<Item>(*hit);
}

}  // namespace

QRectF regionPillRect(const FlexibleRegionPill& pill) {
    const QSizeF text = textSize(pillFont(), QString::fromStdString(pill.text));
    return centredRect(pill.centreX, pill.centreY, {text.width() + 14, text.height() + 6});
}

QRectF audioStartTagRect(const AudioStartTag& tag) {
    const QSizeF text = textSize(tagFont(), kAudioStartText);
    return centredRect(tag.centreX, tag.centreY, {text.width() + 10, text.height() + 4});
}

QRectF rhythmicAnchorMarkerRect(const RhythmicAnchorMarker& marker) {
    QSizeF size(kSymbolSide, kSymbolSide);
    if (marker.label) {
        const QSizeF label = textSize(anchorLabelFont(), QString::fromStdString(*marker.label));
        size = {std::max(size.width(), label.width()), size.height() + kMarkerSpacing + label.height()};
    }
    return centredRect(marker.centreX, marker.centreY, size);
}

std::optional<FlexibleRegionPill> regionPillAt(const std::vector<FlexibleRegionPill>& pills, QPointF position) {
    return topmostAt(pills, position, &regionPillRect);
}

std::optional<RhythmicAnchorMarker> rhythmicAnchorMarkerAt(const std::vector<RhythmicAnchorMarker>& markers,
                                                           QPointF position) {
    return topmostAt(markers, position, &rhythmicAnchorMarkerRect);
}

QColor regionBandColour(BeatloomTimelineMode mode) {
    return withOpacity(modeColour(mode), mode == BeatloomTimelineMode::free ? 0.055 : 0.045);
}

void paintFlexibleTimelineOverlay(QPainter& painter, const std::optional<AudioStartTag>& tag,
                                  const std::vector<FlexibleRegionPill>& pills,
                                  const std::vector<RhythmicAnchorMarker>& markers) {
    painter.save();
    if (tag) {
        const QRectF box = audioStartTagRect(*tag);
        QPainterPath rounded;
        rounded.addRoundedRect(box, 4, 4);
        painter.fillPath(rounded, OrvantaTheme::black(0.66));
        painter.setFont(tagFont());
        painter.setPen(OrvantaTheme::white(0.48));
        painter.drawText(box, Qt::AlignCenter, kAudioStartText);
    }

    for (const auto& pill : pills) {
        const QColor& colour = modeColour(pill.region.mode);
        const QRectF box = regionPillRect(pill);
        QPainterPath capsule;
        capsule.addRoundedRect(box, box.height() / 2, box.height() / 2);
        painter.fillPath(capsule, withOpacity(colour, 0.1));
        painter.strokePath(capsule, QPen(withOpacity(colour, 0.3), 1));
        painter.setFont(pillFont());
        painter.setPen(withOpacity(colour, 0.95));
        painter.drawText(box, Qt::AlignCenter, QString::fromStdString(pill.text));
    }

    for (const auto& marker : markers) {
        const QColor& colour = marker.isReference ? OrvantaTheme::standardBlue() : OrvantaTheme::standardOrange();
        const QRectF box = rhythmicAnchorMarkerRect(marker);
        const QRectF symbol(box.center().x() - kSymbolSide / 2, box.top(), kSymbolSide, kSymbolSide);
        theme::paintSymbol(painter, QString::fromStdString(marker.symbol), symbol, colour);
        if (marker.label) {
            painter.setFont(anchorLabelFont());
            painter.setPen(colour);
            const QRectF label(box.left(), symbol.bottom() + kMarkerSpacing, box.width(),
                               box.bottom() - symbol.bottom() - kMarkerSpacing);
            painter.drawText(label, Qt::AlignCenter, QString::fromStdString(*marker.label));
        }
    }
    painter.restore();
}

}  // namespace corvel::editor
