#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/grid_records.hpp"
#include "editor/timeline/timeline_layout.hpp"

// The texts over the timeline's rulers: which grid lines get a bar or beat label at the
// current zoom, the time ruler's ticks, and where each label stands. No painting here.

namespace corvel::editor {

// Sorts by time, earliest first; lines at equal times keep their order.
void sortLinesByTime(std::vector<BeatloomTimeline::GridLine>& lines);

// The bar lines that get a bar number: each at least 42 px right of the last one labelled.
std::vector<BeatloomTimeline::GridLine> barLabelsToShow(const std::vector<BeatloomTimeline::GridLine>& lines,
                                                        const BeatloomTimelineWindow& window);

// The beat lines that get a bar.beat label: only where both neighbouring beat or bar lines
// stand at least 44 px away, whether or not those are labelled.
std::vector<BeatloomTimeline::GridLine> beatLabelsToShow(const std::vector<BeatloomTimeline::GridLine>& lines,
                                                         const BeatloomTimelineWindow& window);

// Minutes, a colon and seconds with two digits and three decimals ("1:15.500"); negative
// times read as 0:00.000.
std::string formatRulerTime(double seconds);

// The smallest step of the time ruler that keeps its labels at least 85 px apart; 300 s when
// none of the steps does.
double timeRulerStep(const BeatloomTimelineWindow& window);

// The ticks of the time ruler inside the window, never before 0 s or past the song's end.
std::vector<double> timeRulerTicks(const BeatloomTimelineWindow& window, double songDuration);

enum class RulerLabelKind { bar, beat, time };

struct RulerLabel {
    RulerLabelKind kind = RulerLabelKind::bar;
    std::string text;
    double centreX = 0;
    double centreY = 0;
    double x = 0;  // the line or tick it labels
    friend bool operator==(const RulerLabel&, const RulerLabel&) = default;
};

// The rectangle a label covers on screen, in pixels.
struct LabelBox {
    double left = 0;
    double top = 0;
    double right = 0;
    double bottom = 0;
    bool intersects(const LabelBox& other) const {
        return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
    }
};

// The labels that stay when no two may overlap: the boxes come in priority order, and each
// one that meets a box kept before it, or one of the reserved boxes (texts of other layers),
// is left out. Returns the indices kept, in order.
std::vector<std::size_t> labelsWithoutOverlap(const std::vector<LabelBox>& boxes,
                                              const std::vector<LabelBox>& reserved);

// A label's box moved sideways just enough to lie wholly inside the lane, `margin` from its
// edges; none for a label of a line or tick outside the lane, whose label would stand for
// something not shown.
std::optional<LabelBox> keptInsideLane(const LabelBox& box, double labelledX, double width, double margin);

// A label the locator's flag would cover, and where it stands instead: just right of the flag,
// or nowhere when it gives way.
struct LabelMove {
    std::size_t index = 0;
    std::optional<LabelBox> box;
};

// The labels (their boxes, as placed without the flag) that the flag's boxes cover move right
// to stand `gap` clear of the flag, when they can stand there inside a lane `width` wide
// (`margin` from its end) without meeting another label or a reserved box; otherwise they give
// way. Labels the flag leaves alone are not listed.
std::vector<LabelMove> labelsClearOfFlag(const std::vector<LabelBox>& labels, const std::vector<LabelBox>& reserved,
                                         const std::vector<LabelBox>& flag, double width, double margin, double gap);

// Every ruler label of the window: the bar labels, then the beat labels, then the times.
std::vector<RulerLabel> rulerLabels(const std::vector<BeatloomTimeline::GridLine>& visibleLines,
                                    const BeatloomTimelineWindow& window, const BeatloomTimelineGeometry& geometry,
                                    double songDuration);

}  // namespace corvel::editor
