#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/tempo_map_records.hpp"
#include "session/beatloom_viewport_state.hpp"

// The two input surfaces under the timeline's handles: the seek surface over all four lanes and
// the Range Select layer over the waveform lane. Free of Qt: the timeline widget hands them
// pointer positions and scroll deltas in its own coordinates and they decide what is reported.

namespace corvel::editor {

// Turns clicks and drags into a position across the surface (0 at the left edge, 1 at the
// right) and sideways scrolling into timeline pixels.
class BeatloomWaveformSeekSurface final {
public:
    BeatloomWaveformSeekSurface() = default;
    BeatloomWaveformSeekSurface(std::function<void(double)> seek, std::function<void(double)> scroll)
        : onSeekNormalized(std::move(seek)), onHorizontalScrollPixels(std::move(scroll)) {}

    std::function<void(double)> onSeekNormalized;
    std::function<void(double)> onHorizontalScrollPixels;

    // A mouse press or any drag movement at x (surface coordinates) over a surface that wide.
    // A press into an inactive window seeks just the same. Returns whether a position was reported.
    bool mouseDownOrDragged(double x, double boundsWidth) const;

    // A scroll gesture with its precise deltas. A mostly vertical scroll counts as sideways only
    // while Shift is held. Returns false when the scroll is left to the enclosing scroll handling.
    bool scrollWheel(double deltaX, double deltaY, bool shiftHeld) const;
};

// Range Select: a drag across the waveform lane reports a time range; the session's analysis
// selection is shown as a band, also after Range Select is switched off.
struct BeatloomRangeSelectionSurface {
    session::BeatloomViewportState state;
    double sourceDurationSeconds = 0;
    double waveformTop = 0;
    double waveformHeight = 0;
    std::string coordinateName;
    bool isActive = false;
    std::optional<BeatloomTimeRange> selection;
    std::function<void(double, double)> onSelectionChanged;
    std::optional<double> dragStartSeconds;  // where the current drag began, none between drags

    // The time under x, with x held inside the timeline and the time inside the file.
    double timeAt(double x) const;
    // The selection's pixel span inside the timeline; none when nothing of it is visible.
    std::optional<session::BeatloomPixelSpan> selectionBand() const;
    // Only in Range Select mode, and only over the waveform lane.
    bool takesHitAt(double x, double y) const;
    // Every movement of a drag that began at startX: reports the start time, then the current one.
    void dragChanged(double startX, double currentX);
    void dragEnded() { dragStartSeconds.reset(); }
};

}  // namespace corvel::editor
