#include "editor/timeline/flexible_timeline_overlay.hpp"

#include <algorithm>
#include <utility>

#include "editor/beatloom_editor_ui_state.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

constexpr double kTolerance = 1e-6;
// Anchors keep this far from the lane's edges.
constexpr double kAnchorEdgeMargin = 18;
// The locator goes this far before a region's end when it has to move in from after it.
constexpr double kInsideRegionMargin = 0.0001;

double windowEnd(const BeatloomTimelineWindow& window) { return window.start + window.duration; }

// The x span of the part of the region inside the window; reversed or empty when none is.
std::pair<double, double> visibleSpanX(const BeatloomTimelineRegion& region, const BeatloomTimelineWindow& window) {
    return {window.x(std::max(region.startSeconds, window.start)),
            window.x(std::min(region.endSeconds, windowEnd(window)))};
}

bool isFree(const BeatloomTimelineRegion& region) { return region.mode == BeatloomTimelineMode::free; }

// Moves the locator into the region so that the operations at the locator act on it.
void seekIntoRegion(session::BeatloomViewModel& model, const BeatloomTimelineRegion& region) {
    const double inside = std::max(region.startSeconds,
                                   std::min(region.endSeconds - kInsideRegionMargin, model.locatorSeconds.value()));
    model.seek(inside);
}

}  // namespace

std::vector<FlexibleRegionBand> flexibleRegionBands(const std::vector<BeatloomTimelineRegion>& regions,
                                                    const BeatloomTimelineWindow& window,
                                                    const BeatloomTimelineGeometry& geometry) {
    std::vector<FlexibleRegionBand> bands;
    for (const auto& region : regions) {
        if (!(std::max(region.startSeconds, window.start) < std::min(region.endSeconds, windowEnd(window)))) continue;
        const auto [x0, x1] = visibleSpanX(region, window);
        bands.push_back({region.id, region.mode, x0, geometry.rulerHeight, std::max(x1 - x0, 0.0),
                         geometry.markerLaneHeight + geometry.waveformHeight()});
    }
    return bands;
}

std::vector<FlexibleRegionPill> flexibleRegionPills(const std::vector<BeatloomTimelineRegion>& regions,
                                                    const BeatloomTimelineWindow& window,
                                                    const BeatloomTimelineGeometry& geometry) {
    std::vector<FlexibleRegionPill> pills;
    for (const auto& region : regions) {
        if (region.endSeconds < window.start - kTolerance || region.startSeconds > windowEnd(window) + kTolerance) {
            continue;
        }
        const auto [x0, x1] = visibleSpanX(region, window);
        const double middle = (x0 + x1) / 2;
        FlexibleRegionPill pill;
        pill.region = region;
        pill.text = isFree(region) ? "FREE" : "RUBATO";
        pill.helpText = isFree(region) ? "Free Time · continuous beat grid suspended"
                                       : "Rubato · elastic grid follows rhythmic anchors";
        // The left margin wins on a lane too narrow for both.
        pill.centreX = std::max(std::min(middle, window.width - kRegionPillEdgeMargin), kRegionPillEdgeMargin);
        pill.centreY = geometry.rulerHeight + 10;
        pills.push_back(std::move(pill));
    }
    return pills;
}

std::vector<RhythmicAnchorMarker> rhythmicAnchorMarkers(const std::vector<BeatloomRhythmicAnchor>& anchors,
                                                        const BeatloomTimelineWindow& window,
                                                        const BeatloomTimelineGeometry& geometry) {
    std::vector<RhythmicAnchorMarker> markers;
    for (const auto& anchor : anchors) {
        const double t = anchor.audioTimeSeconds;
        if (!(t >= window.start - kTolerance && t <= windowEnd(window) + kTolerance)) continue;
        RhythmicAnchorMarker marker;
        marker.anchor = anchor;
        const bool diamond =
            anchor.kind == BeatloomRhythmicAnchorKind::downbeat || anchor.kind == BeatloomRhythmicAnchorKind::rejoin;
        marker.symbol = diamond ? "diamond.fill" : "circle.fill";
        marker.isReference = anchor.kind == BeatloomRhythmicAnchorKind::freeReference;
        if (!marker.isReference) marker.label = anchor.displayLabel();
        marker.helpText =
            marker.isReference ? "Free Time reference anchor" : "Rhythmic anchor · " + anchor.displayLabel();
        marker.centreX = std::min(std::max(window.x(t), kAnchorEdgeMargin),
                                  std::max(window.width - kAnchorEdgeMargin, kAnchorEdgeMargin));
        marker.centreY = geometry.rulerHeight + geometry.markerLaneHeight - 12;
        markers.push_back(std::move(marker));
    }
    return markers;
}

std::optional<AudioStartTag> audioStartTag(const BeatloomTimelineWindow& window,
                                           const BeatloomTimelineGeometry& geometry) {
    if (!(window.start < 0 && windowEnd(window) > 0)) return std::nullopt;
    return AudioStartTag{std::max(window.x(0) + 34, 34.0), geometry.timeRulerTop() + geometry.timeRulerHeight * 0.5};
}

std::vector<TimelineMenuItem> regionPillContextMenu(session::BeatloomViewModel& model,
                                                    const BeatloomTimelineRegion& region) {
    std::vector<TimelineMenuItem> items;
    if (isFree(region)) {
        items.push_back({"Convert to Rubato", false, false, [&model, region] {
                             seekIntoRegion(model, region);
                             model.convertRegion(BeatloomTimelineMode::rubato);
                         }});
    } else {
        items.push_back({"Convert to Free Time", false, false, [&model, region] {
                             seekIntoRegion(model, region);
                             model.convertRegion(BeatloomTimelineMode::free);
                         }});
    }
    items.push_back({"", false, true, {}});
    items.push_back({"Delete Region", true, false, [&model, region] {
                         seekIntoRegion(model, region);
                         model.deleteRegionAtLocator();
                     }});
    return items;
}

std::vector<TimelineMenuItem> rhythmicAnchorContextMenu(session::BeatloomViewModel& model,
                                                        const BeatloomRhythmicAnchor& anchor) {
    const Uuid id = anchor.id;
    return {{"Delete Anchor", true, false, [&model, id] {
                 model.performEdit("Delete Rhythmic Anchor", "Rhythmic anchor removed.",
                                   [id](session::BeatloomViewModel& edited) { edited.removeRhythmicAnchor(id); });
             }}};
}

void rhythmicAnchorDragChanged(session::BeatloomViewModel& model, const BeatloomEditorUIState& ui, const Uuid& anchorID,
                               double seconds, bool optionHeld) {
    model.beginTransaction("Move Rhythmic Anchor");
    model.moveRhythmicAnchor(anchorID, ui.transientSnapEnabled.value() && !optionHeld, seconds);
}

void rhythmicAnchorDragEnded(session::BeatloomViewModel& model) { model.endTransaction("Rhythmic anchor moved."); }

}  // namespace corvel::editor
