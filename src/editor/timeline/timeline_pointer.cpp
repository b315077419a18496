#include "editor/timeline/timeline_pointer.hpp"

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QLineF>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <QWheelEvent>

#include <cmath>
#include <map>

#include "theme/orvanta_theme.hpp"
#include "theme/symbol_set.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "editor/timeline/flexible_timeline_overlay_view.hpp"
#include "editor/timeline/timeline_handle_view.hpp"
#include "editor/timeline/timeline_marker_lane.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

using theme::OrvantaTheme;

bool optionHeld(Qt::KeyboardModifiers modifiers) { return modifiers.testFlag(Qt::AltModifier); }

// The drags of the lanes start once the pointer has moved a point from where it was pressed.
constexpr double kLaneDragMinimumDistance = 1;

QRectF flagColumn(const LocatorFlagPlacement& flag) {
    const auto [badge, pointer] = locatorFlagBoxes(flag);
    return {badge.left, badge.top, badge.right - badge.left, pointer.bottom - badge.top};
}

}  // namespace

TimelinePointerInput::TimelinePointerInput(BeatloomTimelineViewport& viewport, session::BeatloomViewModel& model,
                                           BeatloomEditorUIState& ui)
    : QObject(&viewport), viewport_(viewport), model_(model), ui_(ui) {
    viewport_.installEventFilter(this);
}

BeatloomWaveformSeekSurface TimelinePointerInput::seekSurface(bool option) const {
    return BeatloomWaveformSeekSurface(
        [this, option](double normalized) { seekSnapped(model_, ui_, normalized, viewport_.window(), option); },
        [this](double pixels) { model_.scrollViewport(pixels); });
}

BeatloomRangeSelectionSurface TimelinePointerInput::rangeSelectionSurface() const {
    const auto window = viewport_.window();
    const auto geometry = viewport_.geometry();
    const auto& result = model_.result.value();
    BeatloomRangeSelectionSurface surface;
    surface.state = {window.start, window.duration, window.width};
    surface.sourceDurationSeconds = result ? result->durationSeconds : 0.0;
    surface.waveformTop = geometry.waveformTop();
    surface.waveformHeight = geometry.waveformHeight();
    surface.coordinateName = std::string(kTimelineCoordinateName);
    surface.isActive = ui_.rangeSelectionMode.value();
    surface.selection = model_.analysisSelection.value();
    surface.onSelectionChanged = [this](double a, double b) { model_.setAnalysisSelection(a, b); };
    surface.dragStartSeconds = rangeDragStartSeconds_;
    return surface;
}

std::vector<MarkerHandle> TimelinePointerInput::handles() const {
    return markerHandles(model_, ui_, viewport_.window(), viewport_.geometry());
}

namespace {

// How far a rhythmic anchor's marker may move right to clear a handle on its spot (the locked
// downbeat and time signature a Rejoin Grid leaves where it puts its anchor).
constexpr double kAnchorMarkerSlide = 48;

}  // namespace

TimelinePointerInput::MarkerLane TimelinePointerInput::markerLane() const {
    const auto window = viewport_.window();
    const auto geometry = viewport_.geometry();
    const auto all = handles();
    const auto pills = flexibleRegionPills(model_.timelineRegions.value(), window, geometry);
    const auto anchors = rhythmicAnchorMarkers(model_.rhythmicAnchors.value(), window, geometry);

    // The items in the order they claim their place: the selected tempo marker, Grid Fit
    // anchors (shown only in Grid Fit mode, where they are what is worked on), song Bar 1 and
    // locked downbeats stand where they are or give way; a region's pill
    // may move inside its region's visible part and keeps clear of tempo markers when it can;
    // time signatures and tempo markers, left to right, may move right by up to their own
    // width; an anchor's marker may move right past a handle.
    enum class Source { handle, pill, anchor };
    std::vector<std::pair<Source, std::size_t>> sources;
    std::vector<MarkerLaneItem> items;
    const auto addHandles = [&](auto&& take, bool slides) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (!take(all[i])) continue;
            const QRectF rect = markerHandleRect(all[i]);
            sources.emplace_back(Source::handle, i);
            items.push_back({boxOf(rect), 0, slides ? rect.width() : 0.0, {}});
        }
    };
    using Kind = MarkerHandleKind;
    const auto isTempo = [](const MarkerHandle& h) { return h.kind == Kind::tempoMarker; };
    addHandles([&](const MarkerHandle& h) { return isTempo(h) && h.selected; }, false);
    addHandles([](const MarkerHandle& h) { return h.kind == Kind::gridFitAnchor; }, false);
    addHandles([](const MarkerHandle& h) { return h.kind == Kind::songBarOne; }, false);
    addHandles([](const MarkerHandle& h) { return h.kind == Kind::lockedDownbeat; }, false);
    std::vector<LabelBox> tempoBoxes;
    for (const auto& h : all) {
        if (isTempo(h) && !h.selected) tempoBoxes.push_back(boxOf(markerHandleRect(h)));
    }
    for (std::size_t i = 0; i < pills.size(); ++i) {
        const auto& pill = pills[i];
        const QRectF rect = regionPillRect(pill);
        // The centre may go anywhere the whole pill stays over the region's visible part and
        // clear of the lane's edges; nowhere else when there is no such room.
        const double x0 = window.x(std::max(pill.region.startSeconds, window.start));
        const double x1 = window.x(std::min(pill.region.endSeconds, window.start + window.duration));
        const double half = rect.width() / 2;
        const double lowest = std::max(x0 + half, kRegionPillEdgeMargin);
        const double highest = std::min(x1 - half, window.width - kRegionPillEdgeMargin);
        MarkerLaneItem item{boxOf(rect), 0, 0, tempoBoxes};
        if (lowest <= pill.centreX && pill.centreX <= highest) {
            item.minimumShift = lowest - pill.centreX;
            item.maximumShift = highest - pill.centreX;
        }
        sources.emplace_back(Source::pill, i);
        items.push_back(std::move(item));
    }
    addHandles([](const MarkerHandle& h) { return h.kind == Kind::timeSignature; }, true);
    addHandles([&](const MarkerHandle& h) { return isTempo(h) && !h.selected; }, true);
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        sources.emplace_back(Source::anchor, i);
        items.push_back({boxOf(rhythmicAnchorMarkerRect(anchors[i])), 0, kAnchorMarkerSlide, {}});
    }

    const auto placements = layOutMarkerLane(items, window.width);
    std::vector<std::optional<double>> handleShift(all.size());
    std::vector<std::optional<double>> pillShift(pills.size());
    std::vector<std::optional<double>> anchorShift(anchors.size());
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (!placements[k].shown) continue;
        const auto [source, i] = sources[k];
        auto& shifts = source == Source::handle ? handleShift : (source == Source::pill ? pillShift : anchorShift);
        shifts[i] = placements[k].shift;
    }
    // Bottom to top, as before.
    MarkerLane lane;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!handleShift[i]) continue;
        lane.handles.push_back(all[i]);
        lane.handles.back().centreX += *handleShift[i];
    }
    for (std::size_t i = 0; i < pills.size(); ++i) {
        if (!pillShift[i]) continue;
        lane.pills.push_back(pills[i]);
        lane.pills.back().centreX += *pillShift[i];
    }
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        if (!anchorShift[i]) continue;
        lane.anchors.push_back(anchors[i]);
        lane.anchors.back().centreX += *anchorShift[i];
    }
    return lane;
}

std::vector<LabelBox> TimelinePointerInput::MarkerLane::boxes() const {
    std::vector<LabelBox> boxes;
    boxes.reserve(handles.size() + pills.size() + anchors.size());
    for (const auto& handle : handles) boxes.push_back(boxOf(markerHandleRect(handle)));
    for (const auto& pill : pills) boxes.push_back(boxOf(regionPillRect(pill)));
    for (const auto& anchor : anchors) boxes.push_back(boxOf(rhythmicAnchorMarkerRect(anchor)));
    return boxes;
}

std::vector<TimelineMenuItem> TimelinePointerInput::contextMenuAt(QPointF position) const {
    const Hit hit = hitAt(position);
    if (hit.handle) return markerHandleContextMenu(model_, *hit.handle);
    if (hit.anchor) return rhythmicAnchorContextMenu(model_, hit.anchor->anchor);
    if (hit.pill) return regionPillContextMenu(model_, hit.pill->region);
    return {};
}

std::string TimelinePointerInput::helpTextAt(QPointF position) const {
    const Hit hit = hitAt(position);
    if (hit.handle) return hit.handle->helpText;
    if (hit.anchor) return hit.anchor->helpText;
    if (hit.pill) return hit.pill->helpText;
    return {};
}

TimelinePointerInput::HitTarget TimelinePointerInput::hitTest(QPointF position) const { return hitAt(position).target; }

TimelinePointerInput::Hit TimelinePointerInput::hitAt(QPointF position) const {
    Hit hit;
    const auto found = [&](HitTarget target) {
        hit.target = target;
        return hit;
    };
    const auto window = viewport_.window();
    const auto geometry = viewport_.geometry();
    const double x = position.x();
    const double y = position.y();
    if (x < 0 || x > window.width || y < 0 || y > geometry.totalHeight()) return found(HitTarget::none);

    if (const auto locator = locatorX(model_, window)) {
        const auto flag = locatorFlagPlacement(*locator, window.width);
        if (flag && flagColumn(*flag).contains(position)) return found(HitTarget::locatorFlag);
    }
    const auto lane = markerLane();
    if ((hit.handle = markerHandleAt(lane.handles, position))) return found(HitTarget::markerHandle);
    if ((hit.anchor = rhythmicAnchorMarkerAt(lane.anchors, position))) return found(HitTarget::rhythmicAnchor);
    if ((hit.pill = regionPillAt(lane.pills, position))) return found(HitTarget::regionPill);
    const bool overWaveform = y >= geometry.waveformTop() && y <= geometry.timeRulerTop();
    if (ui_.gridFitMode.value() && !ui_.rangeSelectionMode.value() && overWaveform) return found(HitTarget::gridFitLane);
    if (rangeSelectionSurface().takesHitAt(x, y)) return found(HitTarget::rangeSelection);
    return found(HitTarget::seekSurface);
}

bool TimelinePointerInput::eventFilter(QObject* watched, QEvent* event) {
    if (watched != &viewport_) return false;
    switch (event->type()) {
        case QEvent::MouseButtonPress: {
            const auto& mouse = static_cast<const QMouseEvent&>(*event);
            if (mouse.button() != Qt::LeftButton) return false;
            press(mouse);
            return true;
        }
        case QEvent::MouseMove: {
            const auto& mouse = static_cast<const QMouseEvent&>(*event);
            if (!gesture_ || !mouse.buttons().testFlag(Qt::LeftButton)) return false;
            move(mouse);
            return true;
        }
        case QEvent::MouseButtonRelease: {
            const auto& mouse = static_cast<const QMouseEvent&>(*event);
            if (mouse.button() != Qt::LeftButton || !gesture_) return false;
            release(mouse);
            return true;
        }
        case QEvent::Wheel: {
            // A scroll the timeline does not take goes on to the enclosing scroll area.
            const bool consumed = wheel(static_cast<const QWheelEvent&>(*event));
            event->setAccepted(consumed);
            return consumed;
        }
        case QEvent::ContextMenu: {
            const auto& request = static_cast<const QContextMenuEvent&>(*event);
            const auto items = contextMenuAt(request.pos());
            if (items.empty()) return false;
            QMenu menu(&viewport_);
            populateContextMenu(menu, items);
            menu.exec(request.globalPos());
            return true;
        }
        case QEvent::ToolTip: {
            const auto& help = static_cast<const QHelpEvent&>(*event);
            const std::string text = helpTextAt(help.pos());
            if (!text.empty()) {
                QToolTip::showText(help.globalPos(), QString::fromStdString(text), &viewport_);
            } else {
                QToolTip::hideText();
                event->ignore();
            }
            return true;
        }
        default: return false;
    }
}

void TimelinePointerInput::press(const QMouseEvent& event) {
    const QPointF position = event.position();
    Hit hit = hitAt(position);
    gesture_ = Gesture{hit.target, position, false, std::move(hit.handle), std::nullopt};
    if (hit.anchor) gesture_->anchorID = hit.anchor->anchor.id;
    // The seek surface answers the press itself; the other layers wait for a drag.
    if (gesture_->target == HitTarget::seekSurface) {
        seekSurface(optionHeld(event.modifiers())).mouseDownOrDragged(position.x(), viewport_.window().width);
    }
}

void TimelinePointerInput::move(const QMouseEvent& event) {
    Gesture& gesture = *gesture_;
    const QPointF position = event.position();
    const bool option = optionHeld(event.modifiers());
    if (gesture.target == HitTarget::seekSurface) {
        seekSurface(option).mouseDownOrDragged(position.x(), viewport_.window().width);
        return;
    }
    if (!gesture.dragging) {
        std::optional<double> minimum = kLaneDragMinimumDistance;
        if (gesture.handle) minimum = markerHandleDragDistance(gesture.handle->kind);
        if (gesture.target == HitTarget::rhythmicAnchor) minimum = kRhythmicAnchorDragMinimumDistance;
        if (gesture.target == HitTarget::regionPill) minimum.reset();  // pills do not drag
        if (!minimum || QLineF(gesture.start, position).length() < *minimum) return;
        gesture.dragging = true;
    }
    switch (gesture.target) {
        case HitTarget::markerHandle:
            // A drag measures time where the pointer is, in the window the handle stands in.
            markerHandleDragChanged(model_, ui_, *gesture.handle, viewport_.window().seconds(position.x()), option);
            return;
        case HitTarget::rhythmicAnchor:
            if (gesture.anchorID) {
                rhythmicAnchorDragChanged(model_, ui_, *gesture.anchorID, viewport_.window().seconds(position.x()),
                                          option);
            }
            return;
        case HitTarget::gridFitLane:
            gridFitLane_.dragFitLine(model_, ui_, viewport_.visibleGridLines(), viewport_.window(), position.x(), option);
            return;
        case HitTarget::rangeSelection: {
            auto surface = rangeSelectionSurface();
            surface.dragChanged(gesture.start.x(), position.x());
            rangeDragStartSeconds_ = surface.dragStartSeconds;
            return;
        }
        case HitTarget::none:
        case HitTarget::locatorFlag:
        case HitTarget::regionPill:
        case HitTarget::seekSurface: return;
    }
}

void TimelinePointerInput::release(const QMouseEvent&) {
    const Gesture gesture = *gesture_;
    gesture_.reset();
    if (gesture.handle) {
        if (gesture.dragging) {
            markerHandleDragEnded(model_, *gesture.handle);
        } else {
            markerHandleClicked(model_, *gesture.handle);
        }
        return;
    }
    if (!gesture.dragging) return;
    switch (gesture.target) {
        case HitTarget::gridFitLane: gridFitLane_.endFitLineDrag(model_); return;
        case HitTarget::rangeSelection: rangeDragStartSeconds_.reset(); return;
        case HitTarget::rhythmicAnchor: rhythmicAnchorDragEnded(model_); return;
        case HitTarget::markerHandle:
        case HitTarget::regionPill:
        case HitTarget::none:
        case HitTarget::locatorFlag:
        case HitTarget::seekSurface: return;
    }
}

bool TimelinePointerInput::wheel(const QWheelEvent& event) {
    // Trackpads report pixels; a wheel reports eighths of a degree, a notch being 15 degrees.
    const QPointF delta =
        event.pixelDelta().isNull() ? QPointF(event.angleDelta()) / 8.0 : QPointF(event.pixelDelta());
    return seekSurface(optionHeld(event.modifiers()))
        .scrollWheel(delta.x(), delta.y(), event.modifiers().testFlag(Qt::ShiftModifier));
}

QColor TimelinePointerInput::selectionBandColour() { return withOpacity(OrvantaTheme::standardOrange(), 0.13); }

void TimelinePointerInput::paintInputLayer(QPainter& painter) const {
    // The band's fill is laid into the waveform lane's columns with the lane (selectionBand).
    const auto surface = rangeSelectionSurface();
    const auto band = surface.selectionBand();
    if (!band) return;
    const QRectF rect(band->x0, surface.waveformTop, band->x1 - band->x0, surface.waveformHeight);
    const QColor& orange = OrvantaTheme::standardOrange();
    painter.setPen(QPen(withOpacity(orange, 0.75), 1.2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect);
}

void TimelinePointerInput::paintFlexibleTimelineOverlay(QPainter& painter, const MarkerLane& lane) const {
    editor::paintFlexibleTimelineOverlay(painter, audioStartTag(viewport_.window(), viewport_.geometry()), lane.pills,
                                         lane.anchors);
}

void TimelinePointerInput::paintMarkerHandles(QPainter& painter, const std::vector<MarkerHandle>& shown) const {
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    for (const auto& handle : shown) {
        // Handles are laid on whole pixels from a picture of their look.
        const std::string key = std::to_string(int(handle.kind)) + '|' + handle.text + '|' +
                                std::to_string(int(handle.selected)) + '|' + std::to_string(int(handle.status)) +
                                '|' + std::to_string(ratio);
        auto picture = handlePictures_.find(key);
        if (picture == handlePictures_.end()) {
            if (handlePictures_.size() > 4096) handlePictures_.clear();
            const QSizeF size = markerHandleRect(handle).size() + QSizeF(4, 4);
            QImage image((size * ratio).toSize() + QSize(1, 1), QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(ratio);
            image.fill(0);
            QPainter local(&image);
            local.setRenderHint(QPainter::Antialiasing, true);
            MarkerHandle centred = handle;
            centred.centreX = size.width() / 2;
            centred.centreY = size.height() / 2;
            paintMarkerHandle(local, centred);
            local.end();
            picture = handlePictures_.emplace(key, HandlePicture{std::move(image), size}).first;
        }
        const QSizeF size = picture->second.size;
        painter.drawImage(QPointF(std::round(handle.centreX - size.width() / 2), std::round(handle.centreY - size.height() / 2)),
                          picture->second.image);
    }
}

void TimelinePointerInput::paintLocatorFlag(QPainter& painter) const {
    const auto window = viewport_.window();
    const auto locator = locatorX(model_, window);
    if (!locator) return;
    const auto flag = locatorFlagPlacement(*locator, window.width);
    if (!flag) return;
    const QColor& blue = OrvantaTheme::standardBlue();
    const auto [badgeBox, pointerBox] = locatorFlagBoxes(*flag);
    const QRectF badge(badgeBox.left, badgeBox.top, badgeBox.right - badgeBox.left, badgeBox.bottom - badgeBox.top);
    QPainterPath rounded;
    rounded.addRoundedRect(badge, 3, 3);
    painter.fillPath(rounded, OrvantaTheme::black(0.92));
    painter.strokePath(rounded, QPen(blue, 1.1));
    theme::paintSymbol(painter, QStringLiteral("scope"), QRectF(badge.center().x() - 4, badge.center().y() - 4, 8, 8), blue);

    // The pointer under the badge, apex down on the locator.
    const QRectF pointer(pointerBox.left, pointerBox.top, pointerBox.right - pointerBox.left,
                         pointerBox.bottom - pointerBox.top);
    QPainterPath triangle;
    triangle.moveTo(pointer.center().x(), pointer.bottom());
    triangle.lineTo(pointer.left(), pointer.top());
    triangle.lineTo(pointer.right(), pointer.top());
    triangle.closeSubpath();
    painter.fillPath(triangle, blue);
}

}  // namespace corvel::editor
