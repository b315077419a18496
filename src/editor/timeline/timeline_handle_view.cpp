#include "editor/timeline/timeline_handle_view.hpp"

#include <QAction>
#include <QFontMetricsF>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>

#include <string>
#include <unordered_map>

#include "theme/orvanta_theme.hpp"

namespace corvel::editor {

namespace {

using theme::FontDesign;
using theme::OrvantaTheme;
using BeatloomGridFitter::AnchorStatus;
using Kind = MarkerHandleKind;

constexpr double kBarOneWidth = 22;
constexpr double kBarOneHeight = 18;
constexpr double kLockedDownbeatSize = 16;
constexpr double kGridFitAnchorSize = 10;
constexpr double kLabelPaddingX = 7;
constexpr double kLabelPaddingY = 4;
constexpr double kHandleGroundOpacity = 0.88;

QFont labelFont(Kind kind) {
    switch (kind) {
        case Kind::songBarOne: return OrvantaTheme::font(11, QFont::Black, FontDesign::rounded);
        case Kind::tempoMarker: return OrvantaTheme::font(10, QFont::ExtraBold, FontDesign::rounded);
        case Kind::timeSignature: return OrvantaTheme::font(10, QFont::Black, FontDesign::monospaced);
        case Kind::lockedDownbeat: return OrvantaTheme::font(15, QFont::Black);
        case Kind::gridFitAnchor: break;
    }
    return OrvantaTheme::font(10, QFont::Normal);
}

// The size of a chip's text, measured once per kind and text: the marker lane asks for every
// handle's box on every frame.
QSizeF labelTextSize(Kind kind, const std::string& text) {
    struct Measured {
        QFont font;
        std::unordered_map<std::string, QSizeF> sizes;
    };
    static std::unordered_map<int, Measured> byKind;
    const QFont font = labelFont(kind);
    Measured& measured = byKind[int(kind)];
    if (!(measured.font == font) || measured.sizes.size() > 4096) measured = Measured{font, {}};
    if (const auto found = measured.sizes.find(text); found != measured.sizes.end()) return found->second;
    const QFontMetricsF metrics(font);
    const QSizeF size(metrics.horizontalAdvance(QString::fromStdString(text)), metrics.height());
    return measured.sizes.emplace(text, size).first->second;
}

QRectF centred(const MarkerHandle& handle, double width, double height) {
    return {handle.centreX - width / 2, handle.centreY - height / 2, width, height};
}

QColor statusColour(AnchorStatus status) {
    switch (status) {
        case AnchorStatus::questionable: return OrvantaTheme::standardOrange();
        case AnchorStatus::outlier: return QColor(Qt::red);
        case AnchorStatus::good: break;
    }
    return OrvantaTheme::standardCyan();
}

QPainterPath roundedRect(const QRectF& rect, double radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// "1.circle.fill": a filled circle with the figure 1 cut out of it.
void paintLockedDownbeatSymbol(QPainter& painter, const QRectF& box, const QColor& colour) {
    QPainterPath circle;
    circle.addEllipse(box);
    QFont font = OrvantaTheme::font(int(box.height() * 0.7), QFont::Black, FontDesign::rounded);
    QPainterPath figure;
    const QFontMetricsF metrics(font);
    const double width = metrics.horizontalAdvance(QStringLiteral("1"));
    figure.addText(box.center().x() - width / 2, box.center().y() + (metrics.ascent() - metrics.descent()) / 2, font,
                   QStringLiteral("1"));
    painter.fillPath(circle.subtracted(figure), colour);
}

}  // namespace

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(float(color.alphaF() * opacity));
    return color;
}

QRectF markerHandleRect(const MarkerHandle& handle) {
    switch (handle.kind) {
        case Kind::songBarOne: return centred(handle, kBarOneWidth, kBarOneHeight);
        case Kind::tempoMarker:
        case Kind::timeSignature: {
            const QSizeF text = labelTextSize(handle.kind, handle.text);
            return centred(handle, text.width() + 2 * kLabelPaddingX, text.height() + 2 * kLabelPaddingY);
        }
        case Kind::lockedDownbeat: return centred(handle, kLockedDownbeatSize, kLockedDownbeatSize);
        case Kind::gridFitAnchor: break;
    }
    return centred(handle, kGridFitAnchorSize, kGridFitAnchorSize);
}

std::optional<MarkerHandle> markerHandleAt(const std::vector<MarkerHandle>& handles, QPointF position) {
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
        if (markerHandleRect(*it).contains(position)) return *it;
    }
    return std::nullopt;
}

void paintMarkerHandle(QPainter& painter, const MarkerHandle& handle) {
    const QRectF rect = markerHandleRect(handle);
    const QString text = QString::fromStdString(handle.text);
    // A dark ground under the translucent chips and the cut-out figure of the downbeat symbol,
    // so that the locator or a marker line beneath does not run through their text.
    const QColor ground = OrvantaTheme::black(kHandleGroundOpacity);
    switch (handle.kind) {
        case Kind::tempoMarker:
        case Kind::timeSignature: painter.fillPath(roundedRect(rect, 5), ground); break;
        case Kind::lockedDownbeat: {
            QPainterPath disk;
            disk.addEllipse(rect.adjusted(1, 1, -1, -1));
            painter.fillPath(disk, ground);
            break;
        }
        case Kind::songBarOne:
        case Kind::gridFitAnchor: break;
    }
    switch (handle.kind) {
        case Kind::songBarOne:
            painter.fillPath(roundedRect(rect, 5), OrvantaTheme::standardCyan());
            painter.setFont(labelFont(handle.kind));
            painter.setPen(Qt::black);
            painter.drawText(rect, Qt::AlignCenter, text);
            return;
        case Kind::tempoMarker:
            painter.fillPath(roundedRect(rect, 5),
                             withOpacity(OrvantaTheme::standardPurple(), handle.selected ? 0.95 : 0.76));
            painter.setFont(labelFont(handle.kind));
            painter.setPen(Qt::white);
            painter.drawText(rect, Qt::AlignCenter, text);
            return;
        case Kind::timeSignature: {
            const QColor& orange = OrvantaTheme::standardOrange();
            const QPainterPath background = roundedRect(rect, 5);
            painter.fillPath(background, withOpacity(orange, 0.11));
            painter.strokePath(background, QPen(withOpacity(orange, 0.36), 1));
            painter.setFont(labelFont(handle.kind));
            painter.setPen(orange);
            painter.drawText(rect, Qt::AlignCenter, text);
            return;
        }
        case Kind::lockedDownbeat:
            paintLockedDownbeatSymbol(painter, rect, OrvantaTheme::standardCyan());
            return;
        case Kind::gridFitAnchor:
            painter.setBrush(statusColour(handle.status));
            painter.setPen(QPen(OrvantaTheme::black(0.55), 1));
            painter.drawEllipse(rect);
            return;
    }
}

void populateContextMenu(QMenu& menu, const std::vector<TimelineMenuItem>& items) {
    for (const auto& item : items) {
        if (item.isDivider) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(QString::fromStdString(item.title));
        if (item.destructive) action->setProperty(kDestructiveActionProperty, true);
        QObject::connect(action, &QAction::triggered, &menu, [run = item.action] {
            if (run) run();
        });
    }
}

}  // namespace corvel::editor
