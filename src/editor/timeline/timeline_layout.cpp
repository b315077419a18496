#include "editor/timeline/timeline_layout.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "common/numeric.hpp"
#include "core/grid_lines.hpp"
#include "core/transient_snap.hpp"
#include "editor/beatloom_editor_ui_state.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::editor {

namespace {

using BeatloomTimeline::GridKind;
using BeatloomTimeline::GridLine;

// Grid lines farther outside the lane than this are not stroked.
constexpr double kGridStrokeMargin = 2;
// The locator and the playhead stay drawn this far outside the lane, so that one standing at
// an edge keeps its full width.
constexpr double kPlayPositionMargin = 3;
// The lane that an anchor marks hides the plain grid line at the same quarter position.
constexpr double kAnchorQuarterTolerance = 1e-9;
// Transient ticks look this far around each beat and bar line.
constexpr double kTransientTickRadiusSeconds = 0.05;

double songDuration(const session::BeatloomViewModel& model) {
    const auto& result = model.result.value();
    return result ? result->durationSeconds : 0.0;
}

bool isEven(std::int64_t n) { return n % 2 == 0; }

int strength(GridKind kind) {
    switch (kind) {
        case GridKind::subdivision: return 0;
        case GridKind::beat: return 1;
        case GridKind::bar: break;
    }
    return 2;
}

std::int64_t pixelColumn(double x) { return saturatingInt64(std::floor(x)); }

// Keeps, per pixel column, the first of its strongest strokes, in the order they came. Strokes
// mostly come column by column, left to right; only then are neighbours compared alone.
void keepStrongestPerColumn(std::vector<GridStroke>& strokes) {
    const bool leftToRight = std::is_sorted(strokes.begin(), strokes.end(), [](const GridStroke& a, const GridStroke& b) {
        return pixelColumn(a.x) < pixelColumn(b.x);
    });
    std::unordered_map<std::int64_t, std::size_t> byColumn;
    std::vector<GridStroke> kept;
    kept.reserve(strokes.size());
    for (const auto& stroke : strokes) {
        const std::int64_t column = pixelColumn(stroke.x);
        std::optional<std::size_t> same;
        if (leftToRight) {
            if (!kept.empty() && pixelColumn(kept.back().x) == column) same = kept.size() - 1;
        } else if (const auto it = byColumn.find(column); it != byColumn.end()) {
            same = it->second;
        }
        if (!same) {
            if (!leftToRight) byColumn.emplace(column, kept.size());
            kept.push_back(stroke);
        } else if (strength(stroke.kind) > strength(kept[*same].kind)) {
            kept[*same] = stroke;
        }
    }
    strokes = std::move(kept);
}

bool earlier(const GridLine& line, double t) { return line.timeSeconds < t; }

}  // namespace

std::vector<GridLine> songGridLines(const session::BeatloomViewModel& model, BeatloomGridResolution resolution) {
    if (!model.result.value()) return {};
    return BeatloomTimeline::gridLines(model.editableTempoPoints.value(), model.meterEvents.value(),
                                       model.barAnchors.value(), model.phaseLocks.value(),
                                       model.effectiveBarOneSeconds(), model.pickupBarCount.value(), false,
                                       model.timelineRegions.value(), model.rhythmicAnchors.value(), resolution,
                                       songDuration(model));
}

std::vector<GridLine> visibleGridLines(const std::vector<GridLine>& songLines, const BeatloomTimelineWindow& window,
                                       bool showSubdivisions) {
    // The song's lines are in time order: find the window's first line by bisection, so that a
    // deep zoom into a long song does not walk the whole grid.
    const double from = window.widenedStart();
    const double to = window.widenedEnd();
    auto it = std::lower_bound(songLines.begin(), songLines.end(), from,
                               [](const GridLine& line, double t) { return line.timeSeconds < t; });
    std::vector<GridLine> visible;
    for (; it != songLines.end() && it->timeSeconds <= to; ++it) {
        if (it->kind == GridKind::subdivision && !showSubdivisions) continue;
        visible.push_back(*it);
    }
    return visible;
}

SongGrid::SongGrid(std::vector<GridLine> songLines) : lines(std::move(songLines)) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == GridKind::subdivision) continue;
        beatsAndBars.push_back(i);
        if (lines[i].kind == GridKind::bar) bars.push_back(i);
    }
}

std::vector<std::size_t> barsOnStride(const std::vector<const GridLine*>& bars, const BeatloomTimelineWindow& window,
                                      double spacing, double minimumSpacing, bool keepUnnumbered) {
    // The bars' usual spacing: the median gap between neighbours.
    std::vector<double> perBar;
    for (std::size_t i = 1; i < bars.size(); ++i) {
        const double gap = window.x(bars[i]->timeSeconds) - window.x(bars[i - 1]->timeSeconds);
        if (gap > 0) perBar.push_back(gap);
    }
    std::int64_t stride = 1;
    if (!perBar.empty()) {
        const auto middle = perBar.begin() + std::ptrdiff_t(perBar.size() / 2);
        std::nth_element(perBar.begin(), middle, perBar.end());
        constexpr std::int64_t kWidestStride = std::int64_t(1) << 40;
        while (double(stride) * *middle < spacing && stride < kWidestStride) stride *= 2;
    }

    std::vector<std::size_t> kept;
    double last = std::numeric_limits<double>::lowest();
    std::int64_t countFrom = 1;
    bool newCount = false;  // a renumbered bar whose count has none kept yet
    std::optional<std::int64_t> previous;
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const double x = window.x(bars[i]->timeSeconds);
        if (!bars[i]->barNumber) {
            if (keepUnnumbered && x - last >= minimumSpacing) {
                kept.push_back(i);
                last = x;
            }
            continue;
        }
        const std::int64_t number = *bars[i]->barNumber;
        if (previous && (*previous == std::numeric_limits<std::int64_t>::max() || number != *previous + 1)) {
            newCount = true;
        }
        previous = number;
        // Whole strides apart, in remainders so that no subtraction can overflow.
        const bool onStride = (number % stride - countFrom % stride) % stride == 0;
        if ((onStride || newCount) && x - last >= minimumSpacing) {
            kept.push_back(i);
            last = x;
            if (newCount) countFrom = number;
            newCount = false;
        }
    }
    return kept;
}

std::vector<GridLine> drawnGridLines(const SongGrid& grid, const BeatloomTimelineWindow& window,
                                     bool showSubdivisions) {
    const auto& lines = grid.lines;
    const double from = window.widenedStart();
    const double to = window.widenedEnd();
    // The range of an index list whose lines lie in the window.
    const auto inWindow = [&](const std::vector<std::size_t>& indices) {
        const auto byTime = [&lines](std::size_t i, double t) { return lines[i].timeSeconds < t; };
        const auto begin = std::lower_bound(indices.begin(), indices.end(), from, byTime);
        const auto end = std::upper_bound(begin, indices.end(), to,
                                          [&lines](double t, std::size_t i) { return t < lines[i].timeSeconds; });
        return std::pair{std::size_t(begin - indices.begin()), std::size_t(end - indices.begin())};
    };
    const double width = std::max(window.width, 1.0);
    // A level whose lines stand closer on average than this share of the spacing cannot reach
    // the spacing anywhere in the window unless the tempo changes that much inside it: it is
    // passed over without looking at its lines.
    constexpr double kHopelessShare = 1.0 / 8;
    const auto hopeless = [&](std::size_t count) {
        return double(count) * kGridLineSpacing * kHopelessShare > width;
    };
    std::vector<std::size_t> drawn;  // indices into lines

    // Bars on a stride of bar numbers.
    const auto [barBegin, barEnd] = inWindow(grid.bars);
    std::vector<const GridLine*> bars;
    bars.reserve(barEnd - barBegin);
    for (std::size_t i = barBegin; i < barEnd; ++i) bars.push_back(&lines[grid.bars[i]]);
    for (const std::size_t i : barsOnStride(bars, window, kBarStrideSpacing, kGridLineSpacing, true)) {
        drawn.push_back(grid.bars[barBegin + i]);
    }

    // A line of a finer level stands where it and its neighbours of its level or above stand
    // far enough apart, whether or not those are drawn.
    const auto spaced = [&](double x, double before, double after) {
        return x - before >= kGridLineSpacing && after - x >= kGridLineSpacing;
    };
    const auto [beatBegin, beatEnd] = inWindow(grid.beatsAndBars);
    if (!hopeless(beatEnd - beatBegin)) {
        const auto& beats = grid.beatsAndBars;
        const auto xOf = [&](std::size_t k) {
            return k < beats.size() ? window.x(lines[beats[k]].timeSeconds) : std::numeric_limits<double>::infinity();
        };
        for (std::size_t k = beatBegin; k < beatEnd; ++k) {
            if (lines[beats[k]].kind != GridKind::beat) continue;
            const double before = k > 0 ? xOf(k - 1) : -std::numeric_limits<double>::infinity();
            if (spaced(xOf(k), before, xOf(k + 1))) drawn.push_back(beats[k]);
        }
    }
    if (showSubdivisions) {
        const auto first = std::size_t(std::lower_bound(lines.begin(), lines.end(), from, earlier) - lines.begin());
        const auto end = std::size_t(std::upper_bound(lines.begin() + std::ptrdiff_t(first), lines.end(), to,
                                                      [](double t, const GridLine& line) { return t < line.timeSeconds; }) -
                                     lines.begin());
        if (!hopeless(end - first - (beatEnd - beatBegin))) {
            const auto xOf = [&](std::size_t k) {
                return k < lines.size() ? window.x(lines[k].timeSeconds) : std::numeric_limits<double>::infinity();
            };
            for (std::size_t k = first; k < end; ++k) {
                if (lines[k].kind != GridKind::subdivision) continue;
                const double before = k > 0 ? xOf(k - 1) : -std::numeric_limits<double>::infinity();
                if (spaced(xOf(k), before, xOf(k + 1))) drawn.push_back(k);
            }
        }
    }

    std::sort(drawn.begin(), drawn.end());
    std::vector<GridLine> result;
    result.reserve(drawn.size());
    for (const std::size_t i : drawn) result.push_back(lines[i]);
    return result;
}

std::vector<GridLine> withEveryBar(const SongGrid& grid, const BeatloomTimelineWindow& window,
                                   const std::vector<GridLine>& drawnLines) {
    const auto& lines = grid.lines;
    const auto byTime = [&lines](std::size_t i, double t) { return lines[i].timeSeconds < t; };
    auto bar = std::lower_bound(grid.bars.begin(), grid.bars.end(), window.widenedStart(), byTime);
    std::vector<GridLine> merged;
    merged.reserve(drawnLines.size());
    const auto barsUntil = [&](double t, bool inclusive) {
        for (; bar != grid.bars.end() && lines[*bar].timeSeconds <= window.widenedEnd(); ++bar) {
            const double barTime = lines[*bar].timeSeconds;
            if (inclusive ? barTime > t : barTime >= t) break;
            merged.push_back(lines[*bar]);
        }
    };
    for (const auto& line : drawnLines) {
        if (line.kind == GridKind::bar) continue;
        barsUntil(line.timeSeconds, true);
        merged.push_back(line);
    }
    barsUntil(std::numeric_limits<double>::infinity(), true);
    return merged;
}

std::vector<GridStroke> gridStrokes(const std::vector<GridLine>& visibleLines, const BeatloomTimelineWindow& window,
                                    bool gridFitMode, const std::vector<BeatloomGridFitAnchor>& gridFitAnchors,
                                    const std::optional<BeatloomGridFitter::Fit>& fit) {
    const double w = window.width;
    const auto onLane = [w](double x) { return x > -kGridStrokeMargin && x < w + kGridStrokeMargin; };
    const auto markedByAnchor = [&](const GridLine& line) {
        if (!gridFitMode || line.kind == GridKind::subdivision) return false;
        return std::any_of(gridFitAnchors.begin(), gridFitAnchors.end(), [&](const BeatloomGridFitAnchor& anchor) {
            return std::fabs(anchor.quarterPosition - line.quarterPosition) <= kAnchorQuarterTolerance;
        });
    };

    std::vector<GridStroke> strokes;
    for (const auto& line : visibleLines) {
        if (markedByAnchor(line)) continue;
        const double x = window.x(line.timeSeconds);
        if (onLane(x)) strokes.push_back({x, line.kind, false});
    }
    keepStrongestPerColumn(strokes);
    if (gridFitMode && fit) {
        std::vector<GridStroke> fitted;
        for (const auto& line : visibleLines) {
            const double x = window.x(fit->interceptSeconds + fit->secondsPerQuarter * line.quarterPosition);
            if (onLane(x)) fitted.push_back({x, line.kind, true});
        }
        keepStrongestPerColumn(fitted);
        strokes.insert(strokes.end(), fitted.begin(), fitted.end());
    }
    return strokes;
}

std::vector<session::BeatloomPixelSpan> barShadingSpans(const std::vector<GridLine>& visibleLines,
                                                        const BeatloomTimelineWindow& window) {
    std::vector<GridLine> bars;
    std::copy_if(visibleLines.begin(), visibleLines.end(), std::back_inserter(bars),
                 [](const GridLine& line) { return line.kind == GridKind::bar; });
    std::stable_sort(bars.begin(), bars.end(),
                     [](const GridLine& a, const GridLine& b) { return a.timeSeconds < b.timeSeconds; });

    std::vector<session::BeatloomPixelSpan> spans;
    for (std::size_t i = 0; i < bars.size(); ++i) {
        if (!bars[i].barNumber || !isEven(*bars[i].barNumber)) continue;
        const double x0 = window.x(bars[i].timeSeconds);
        const double end = i + 1 < bars.size() ? bars[i + 1].timeSeconds : window.start + window.duration;
        const double x1 = window.x(end);
        spans.push_back({x0, std::max(x1, x0)});
    }
    return spans;
}

namespace {

// NaN wins both ways, so that a damaged bin keeps every run that holds it blank.
float lowerOf(float a, float b) { return std::isnan(a) || std::isnan(b) ? NAN : std::min(a, b); }
float upperOf(float a, float b) { return std::isnan(a) || std::isnan(b) ? NAN : std::max(a, b); }

}  // namespace

WaveformLevels::WaveformLevels(const BeatloomWaveformData& waveform)
    : waveform_(&waveform),
      bins_(std::int64_t(std::min(waveform.minPeaks.size(), waveform.maxPeaks.size()))) {
    const auto blocks = std::size_t((bins_ + kBlockBins - 1) / kBlockBins);
    std::vector<float> mins(blocks);
    std::vector<float> maxs(blocks);
    for (std::size_t j = 0; j < blocks; ++j) {
        const std::size_t begin = j * std::size_t(kBlockBins);
        const std::size_t end = std::min(begin + std::size_t(kBlockBins), std::size_t(bins_));
        float mn = waveform.minPeaks[begin];
        float mx = waveform.maxPeaks[begin];
        bool damaged = false;
        for (std::size_t i = begin; i < end; ++i) {
            const float lo = waveform.minPeaks[i];
            const float hi = waveform.maxPeaks[i];
            damaged |= lo != lo || hi != hi;
            mn = lo < mn ? lo : mn;
            mx = hi > mx ? hi : mx;
        }
        mins[j] = damaged ? NAN : mn;
        maxs[j] = damaged ? NAN : mx;
    }
    minimums_.push_back(std::move(mins));
    maximums_.push_back(std::move(maxs));
    while (minimums_.back().size() > 1) {
        const auto& below = minimums_.back();
        const auto& belowMax = maximums_.back();
        const std::size_t size = (below.size() + 1) / 2;
        std::vector<float> coarserMins(size);
        std::vector<float> coarserMaxs(size);
        for (std::size_t j = 0; j < size; ++j) {
            const std::size_t a = 2 * j;
            const std::size_t b = std::min(a + 1, below.size() - 1);
            coarserMins[j] = lowerOf(below[a], below[b]);
            coarserMaxs[j] = upperOf(belowMax[a], belowMax[b]);
        }
        minimums_.push_back(std::move(coarserMins));
        maximums_.push_back(std::move(coarserMaxs));
    }
}

std::pair<float, float> WaveformLevels::envelope(std::int64_t first, std::int64_t last) const {
    float mn = INFINITY;
    float mx = -INFINITY;
    bool damaged = false;
    const auto take = [&](float lo, float hi) {
        if (std::isnan(lo) || std::isnan(hi)) damaged = true;
        mn = std::min(mn, lo);
        mx = std::max(mx, hi);
    };
    std::int64_t lo = std::max<std::int64_t>(first, 0);
    std::int64_t hi = std::min(last + 1, bins_);
    // Single bins up to the first and from the last whole block.
    for (; lo < hi && lo % kBlockBins != 0; ++lo) take(minPeak(lo), maxPeak(lo));
    while (hi > lo && hi % kBlockBins != 0) {
        --hi;
        take(minPeak(hi), maxPeak(hi));
    }
    // The blocks bottom up: an odd edge is taken at its level, the rest moves up.
    lo /= kBlockBins;
    hi /= kBlockBins;
    for (std::size_t level = 0; lo < hi && level < minimums_.size(); ++level, lo /= 2, hi /= 2) {
        const auto takeBlock = [&](std::int64_t j) {
            take(minimums_[level][std::size_t(j)], maximums_[level][std::size_t(j)]);
        };
        if (lo % 2 == 1) takeBlock(lo++);
        if (hi % 2 == 1) takeBlock(--hi);
    }
    if (damaged) return {NAN, NAN};
    return {mn, mx};
}

std::vector<WaveformSegment> waveformSegments(const WaveformLevels& levels, const BeatloomTimelineWindow& window,
                                              const BeatloomTimelineGeometry& geometry) {
    const std::int64_t n = levels.binCount();
    const double waveformDuration = levels.durationSeconds();
    const auto range =
        session::BeatloomViewportState::visiblePeakRange(window.start, window.duration, waveformDuration, n);
    const double w = window.width;
    if (range.empty() || !(w > 0)) return {};

    const std::int64_t columns = std::max<std::int64_t>(saturatingInt64(w), 1);
    const double centre = geometry.waveformCentreY();
    const double scale = geometry.waveformAmplitudeScale();
    std::vector<WaveformSegment> segments;

    if (range.hi - range.lo < columns) {
        // Deep zoom: each bin its own stroke at the bin's centre.
        const double binSeconds = waveformDuration / double(std::max<std::int64_t>(n, 1));
        for (std::int64_t i = range.lo; i < range.hi; ++i) {
            const double x = window.x(binSeconds * (double(i) + 0.5));
            if (x < -1 || x > w + 1) continue;
            const double mn = levels.minPeak(i);
            const double mx = levels.maxPeak(i);
            // A damaged cache record may hold a non-finite peak; it has no place on screen.
            if (!std::isfinite(mn) || !std::isfinite(mx)) continue;
            segments.push_back({x, centre - scale * mx, centre - scale * mn});
        }
        return segments;
    }

    // One stroke per pixel column over the envelope of the bins it covers; a column that lies
    // wholly before 0 s or after the end holds no audio and draws nothing.
    const auto binAt = [&](double t) {
        const double clamped = clampOr(t, 0, waveformDuration, 0);
        return std::clamp<std::int64_t>(saturatingInt64(clamped / waveformDuration * double(n)), 0, n - 1);
    };
    const double divisor = maxIgnoringNaN(w, 1.0);
    segments.reserve(std::size_t(columns));
    for (std::int64_t c = 0; c < columns; ++c) {
        const double t0 = window.start + window.duration * double(c) / divisor;
        const double t1 = window.start + window.duration * double(c + 1) / divisor;
        if (!(t1 > 0) || !(t0 <= waveformDuration)) continue;
        const std::int64_t first = std::max(binAt(t0), range.lo);
        const std::int64_t last = std::min(std::max(binAt(t0), binAt(t1)), range.hi - 1);
        if (first > last) continue;
        const auto [mn, mx] = levels.envelope(first, last);
        if (!std::isfinite(mn) || !std::isfinite(mx)) continue;
        segments.push_back({double(c) + 0.5, centre - scale * double(mx), centre - scale * double(mn)});
    }
    return segments;
}

std::vector<WaveformSegment> waveformSegments(const BeatloomWaveformData& waveform,
                                              const BeatloomTimelineWindow& window,
                                              const BeatloomTimelineGeometry& geometry) {
    return waveformSegments(WaveformLevels(waveform), window, geometry);
}

std::vector<double> transientTickXs(const std::vector<GridLine>& visibleLines, const BeatloomWaveformData& waveform,
                                    const BeatloomTimelineWindow& window) {
    std::unordered_set<std::int64_t> seenMilliseconds;
    std::vector<double> xs;
    for (const auto& line : visibleLines) {
        if (line.kind == GridKind::subdivision) continue;
        const auto snap = snappedTransient(waveform, line.timeSeconds, kTransientTickRadiusSeconds);
        if (!snap) continue;
        if (!seenMilliseconds.insert(roundedInt64(snap->time * 1000)).second) continue;
        const double x = window.x(snap->time);
        if (x >= 0 && x <= window.width) xs.push_back(x);
    }
    return xs;
}

std::vector<MarkerLine> markerLines(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window,
                                    bool gridFitMode) {
    std::vector<MarkerLine> lines;
    const auto add = [&](double seconds, MarkerLineKind kind) {
        if (window.inWidenedWindow(seconds)) lines.push_back({window.x(seconds), kind});
    };
    for (const auto& point : model.editableTempoPoints.value()) add(point.timeSeconds, MarkerLineKind::tempoPoint);
    const auto& meters = model.meterEvents.value();
    for (std::size_t i = 1; i < meters.size(); ++i) add(meters[i].timeSeconds, MarkerLineKind::meterEvent);
    if (const auto barOne = model.barOneSeconds.value()) add(*barOne, MarkerLineKind::songBarOne);
    for (const auto& anchor : model.barAnchors.value()) add(anchor.timeSeconds, MarkerLineKind::lockedDownbeat);
    if (gridFitMode) {
        for (const auto& anchor : model.gridFitAnchors.value()) add(anchor.timeSeconds, MarkerLineKind::gridFitAnchor);
    }
    return lines;
}

namespace {

std::optional<double> playPositionX(double seconds, const BeatloomTimelineWindow& window) {
    const double x = window.x(seconds);
    if (x >= -kPlayPositionMargin && x <= window.width + kPlayPositionMargin) return x;
    return std::nullopt;
}

}  // namespace

std::optional<double> locatorX(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window) {
    return playPositionX(model.locatorSeconds.value(), window);
}

std::optional<double> playheadX(const session::BeatloomViewModel& model, const BeatloomTimelineWindow& window) {
    const auto& player = model.previewPlayer();
    if (player.transportState().value() == audio::BeatloomPreviewTransportState::stopped) return std::nullopt;
    return playPositionX(player.currentPlaybackSeconds().value(), window);
}

BeatloomTimelineWindow timelineWindow(const session::BeatloomViewModel& model, double width) {
    const auto& state = model.viewportState.value();
    return {state.visibleStartSeconds, state.visibleDurationSeconds, BeatloomTimelineWindow::layoutWidth(width)};
}

TimelineCanvasPlan canvasPlan(const session::BeatloomViewModel& model, const BeatloomEditorUIState& ui,
                              const BeatloomTimelineGeometry& geometry, const BeatloomTimelineWindow& window,
                              const std::vector<GridLine>& visibleLines, const WaveformLevels* waveformLevels) {
    const bool gridFitMode = ui.gridFitMode.value();
    TimelineCanvasPlan plan;
    plan.geometry = geometry;
    plan.width = window.width;
    plan.audioSpan = session::BeatloomViewportState::visiblePixelRange(window.start, window.duration, window.width,
                                                                       songDuration(model));
    plan.barShading = barShadingSpans(visibleLines, window);
    plan.gridStrokes =
        gridStrokes(visibleLines, window, gridFitMode, model.gridFitAnchors.value(), model.gridFitResult.value());
    if (const auto& waveform = model.waveformData.value()) {
        plan.waveform = waveformLevels ? waveformSegments(*waveformLevels, window, geometry)
                                       : waveformSegments(*waveform, window, geometry);
        if (ui.showTransients.value() || gridFitMode) plan.transientTicks = transientTickXs(visibleLines, *waveform, window);
    }
    plan.markerLines = markerLines(model, window, gridFitMode);
    plan.locatorX = locatorX(model, window);
    plan.playheadX = playheadX(model, window);
    return plan;
}

}  // namespace corvel::editor
