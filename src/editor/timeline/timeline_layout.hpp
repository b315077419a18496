#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include "core/grid_fitter.hpp"
#include "core/grid_records.hpp"
#include "core/waveform_data.hpp"
#include "session/beatloom_viewport_state.hpp"

// What the timeline canvas draws and where, worked out without any painting so that every
// choice can be checked on its own. The widget turns these plans into strokes and fills.
// Lengths are logical pixels; y grows downwards.

namespace corvel::session {
class BeatloomViewModel;
}

namespace corvel::editor {

class BeatloomEditorUIState;

// The name under which the layers of the timeline measure gesture locations.
inline constexpr std::string_view kTimelineCoordinateName = "beatloom-virtualized-timeline";

// The four lanes, from the top: bar ruler, marker lane, waveform lane, time ruler.
struct BeatloomTimelineGeometry {
    double rulerHeight = 38;
    double markerLaneHeight = 58;
    double timeRulerHeight = 26;
    bool waveformLarge = true;

    double waveformTop() const { return rulerHeight + markerLaneHeight; }
    double waveformHeight() const { return waveformLarge ? 430 : 330; }
    double timeRulerTop() const { return waveformTop() + waveformHeight(); }
    double totalHeight() const { return timeRulerTop() + timeRulerHeight; }
    // The waveform's zero line and the height of a full-scale peak: the trace fills at most
    // 91 % of the lane.
    double waveformCentreY() const { return waveformTop() + (waveformLarge ? 215 : 165); }
    double waveformAmplitudeScale() const { return waveformLarge ? 195.65 : 150.15; }
};

// The visible window laid over a lane width: the one time <-> x mapping of every layer.
struct BeatloomTimelineWindow {
    double start = 0;     // s, seconds at the left edge
    double duration = 1;  // d, seconds across the width
    double width = 1;     // w, pixels

    // The width the layers draw over: the laid-out width, at least 1 pixel.
    static double layoutWidth(double availableWidth) { return maxIgnoringNaN(availableWidth, 1.0); }

    double x(double seconds) const {
        return (seconds - start) / maxIgnoringNaN(duration, 1e-6) * maxIgnoringNaN(width, 1.0);
    }
    double seconds(double x) const { return x / maxIgnoringNaN(width, 1.0) * duration + start; }

    // Items are chosen from the window widened by 2 % of its duration on each side, so that
    // lines and markers just outside do not pop in while scrolling.
    double widenedStart() const { return start - 0.02 * duration; }
    double widenedEnd() const { return start + duration + 0.02 * duration; }
    bool inWidenedWindow(double seconds) const { return seconds >= widenedStart() && seconds <= widenedEnd(); }
};

// ---- Grid ----

// The grid of the whole song as the session's edited map gives it, at a resolution; empty
// without a result.
std::vector<BeatloomTimeline::GridLine> songGridLines(const session::BeatloomViewModel& model,
                                                      BeatloomGridResolution resolution);

// The song's lines inside the widened window, in time order: beats and bars always,
// subdivisions only when shown.
std::vector<BeatloomTimeline::GridLine> visibleGridLines(const std::vector<BeatloomTimeline::GridLine>& songLines,
                                                         const BeatloomTimelineWindow& window, bool showSubdivisions);

// The grid of the whole song in time order, with the places of its beat and bar lines and of
// its bar lines alone, so that the strongest line of a pixel column is found without walking
// every line of the column.
struct SongGrid {
    std::vector<BeatloomTimeline::GridLine> lines;
    std::vector<std::size_t> beatsAndBars;  // indices into lines
    std::vector<std::size_t> bars;

    SongGrid() = default;
    explicit SongGrid(std::vector<BeatloomTimeline::GridLine> songLines);
};

// Grid lines stand at least this far apart (pixels) to be drawn: a level (subdivisions,
// beats) shows only where its lines and their neighbours keep this spacing; bars are thinned
// to a stride of bar numbers (every 2nd, 4th ... bar) that keeps them this far apart on
// average, and never closer than the spacing.
inline constexpr double kGridLineSpacing = 8;
inline constexpr double kBarStrideSpacing = 16;

// The bars among `bars` (every bar of a stretch, in time order) kept on a stride of bar
// numbers: the smallest power of two that sets the bars' usual spacing in the window at
// `spacing` or more, counted from bar 1 (1, 3, 5 or 1, 5, 9 ...); a bar whose number does not
// follow its numbered neighbour's (a rejoined grid, a bar number override) starts a new count,
// and the first of its bars with room is kept. A kept bar stands at least `minimumSpacing`
// right of the last one kept; unnumbered bars only keep that spacing, when kept at all.
// Returns indices into `bars`.
std::vector<std::size_t> barsOnStride(const std::vector<const BeatloomTimeline::GridLine*>& bars,
                                      const BeatloomTimelineWindow& window, double spacing, double minimumSpacing,
                                      bool keepUnnumbered);

// The lines the window draws and labels, in time order: bars on a stride, and beats and
// subdivisions where they stand far enough apart (kGridLineSpacing), so that a long song seen
// whole shows a readable grid and costs little more than its bars.
std::vector<BeatloomTimeline::GridLine> drawnGridLines(const SongGrid& grid, const BeatloomTimelineWindow& window,
                                                       bool showSubdivisions);

// The drawn lines with every bar of the widened window in place of the drawn bars, in time
// order: what the ruler labels choose from, so that bar numbers thin on a stride of their own.
std::vector<BeatloomTimeline::GridLine> withEveryBar(const SongGrid& grid, const BeatloomTimelineWindow& window,
                                                     const std::vector<BeatloomTimeline::GridLine>& drawnLines);

// A vertical grid stroke over the waveform lane.
struct GridStroke {
    double x = 0;
    BeatloomTimeline::GridKind kind = BeatloomTimeline::GridKind::beat;
    bool fitted = false;  // the dashed cyan copy at the Grid Fit time
    friend bool operator==(const GridStroke&, const GridStroke&) = default;
};

// The grid lines as drawn: every visible line within 2 pixels of the lane, except in Grid Fit
// mode the beats and bars an anchor marks; then, in Grid Fit mode with a fit, every visible line
// again at its fitted time. Each pixel column holds at most one plain and one fitted stroke:
// the first of its strongest lines (a bar over a beat over a subdivision).
std::vector<GridStroke> gridStrokes(const std::vector<BeatloomTimeline::GridLine>& visibleLines,
                                    const BeatloomTimelineWindow& window, bool gridFitMode,
                                    const std::vector<BeatloomGridFitAnchor>& gridFitAnchors,
                                    const std::optional<BeatloomGridFitter::Fit>& fit);

// ---- Lanes ----

// The spans of the waveform lane shaded behind even bars (pickup bars 0, -2 ... included), each
// from its bar line to the next visible one, the last to the window's end.
std::vector<session::BeatloomPixelSpan> barShadingSpans(const std::vector<BeatloomTimeline::GridLine>& visibleLines,
                                                        const BeatloomTimelineWindow& window);

// ---- Waveform ----

// The envelopes of a waveform's peaks over blocks of 16 bins, then of two blocks, four and so
// on, built once per waveform so that the envelope of any run of bins is found in a few steps.
// It reads the waveform's own peaks, which must stay as they are while it is used. A bin with
// a NaN peak makes the envelope of every run that holds it NaN.
class WaveformLevels {
public:
    static constexpr std::int64_t kBlockBins = 16;

    explicit WaveformLevels(const BeatloomWaveformData& waveform);
    std::int64_t binCount() const { return bins_; }
    double durationSeconds() const { return waveform_->durationSeconds; }
    float minPeak(std::int64_t bin) const { return waveform_->minPeaks[std::size_t(bin)]; }
    float maxPeak(std::int64_t bin) const { return waveform_->maxPeaks[std::size_t(bin)]; }
    // The smallest minimum and the largest maximum of bins first ... last; NaN when one is NaN.
    std::pair<float, float> envelope(std::int64_t first, std::int64_t last) const;

private:
    const BeatloomWaveformData* waveform_;
    std::int64_t bins_ = 0;
    std::vector<std::vector<float>> minimums_;  // level k: blocks of 16 * 2^k bins
    std::vector<std::vector<float>> maximums_;
};

// One vertical stroke of the waveform trace.
struct WaveformSegment {
    double x = 0;
    double yTop = 0;
    double yBottom = 0;
    friend bool operator==(const WaveformSegment&, const WaveformSegment&) = default;
};

// The trace of the visible peaks: one segment per bin at its centre while fewer bins than
// pixel columns are visible, else one per column over the envelope of its bins. Never more
// segments than columns in the second case, and none where there is no audio (before 0 s or
// after the end).
std::vector<WaveformSegment> waveformSegments(const WaveformLevels& levels, const BeatloomTimelineWindow& window,
                                              const BeatloomTimelineGeometry& geometry);
std::vector<WaveformSegment> waveformSegments(const BeatloomWaveformData& waveform,
                                              const BeatloomTimelineWindow& window,
                                              const BeatloomTimelineGeometry& geometry);

// The x of each transient that a visible beat or bar line snaps to (within 0.05 s), once per
// millisecond, inside the lane width.
std::vector<double> transientTickXs(const std::vector<BeatloomTimeline::GridLine>& visibleLines,
                                    const BeatloomWaveformData& waveform, const BeatloomTimelineWindow& window);

// ---- Markers, locator and playhead ----

enum class MarkerLineKind { tempoPoint, meterEvent, songBarOne, lockedDownbeat, gridFitAnchor };

struct MarkerLine {
    double x = 0;
    MarkerLineKind kind = MarkerLineKind::tempoPoint;
    friend bool operator==(const MarkerLine&, const MarkerLine&) = default;
};

// A stretch of a marker line as drawn, from top to bottom.
struct MarkerStroke {
    MarkerLine line;
    double top = 0;
    double bottom = 0;
    friend bool operator==(const MarkerStroke&, const MarkerStroke&) = default;
};

// The marker lines of the session's map inside the widened window, in drawing order (Grid Fit
// anchors last, and only in Grid Fit mode). The song-start time signature has no line.
std::vector<MarkerLine> markerLines(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window,
                                    bool gridFitMode);

// The x of the locator, or of the playhead while the transport is not stopped, when it lies
// within 3 pixels of the lane.
std::optional<double> locatorX(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window);
std::optional<double> playheadX(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window);

// ---- The whole canvas ----

// Everything the canvas draws for one frame, layer by layer in drawing order.
struct TimelineCanvasPlan {
    BeatloomTimelineGeometry geometry;
    double width = 1;
    std::optional<session::BeatloomPixelSpan> audioSpan;
    std::vector<session::BeatloomPixelSpan> barShading;
    std::vector<GridStroke> gridStrokes;
    std::vector<WaveformSegment> waveform;
    std::vector<double> transientTicks;
    std::vector<MarkerLine> markerLines;
    // The marker lines as drawn: each stops where an item over the marker lane stands on it.
    // Laid by the viewport, which knows the lane's items (timeline_marker_lane.hpp).
    std::vector<MarkerStroke> markerStrokes;
    std::optional<double> locatorX;
    std::optional<double> playheadX;
};

// The window of the session's viewport over a lane width.
BeatloomTimelineWindow timelineWindow(const session::BeatloomViewModel& model, double width);

// The plan of one frame from the session, the editor state and the visible grid lines; the
// waveform from its levels when given, else from the session's peaks. Every marker line is
// there, and no stroke of them yet.
TimelineCanvasPlan canvasPlan(const session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                              const BeatloomTimelineGeometry& geometry, const BeatloomTimelineWindow& window,
                              const std::vector<BeatloomTimeline::GridLine>& visibleLines,
                              const WaveformLevels* waveformLevels = nullptr);

}  // namespace corvel::editor
