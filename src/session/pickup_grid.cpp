#include "session/pickup_grid.hpp"

namespace corvel::session {

std::optional<double> startOfBarsBeforeBarOne(const std::vector<BeatloomTimeline::Segment>& segments,
                                              const std::vector<BeatloomMeterEvent>& meterEvents, double duration,
                                              double barOneSeconds, std::int64_t bars) {
    const auto meter = BeatloomTimeline::meterInForce(meterEvents, duration, barOneSeconds);
    const double quarters = BeatloomTimeline::meterRule(meter).barLengthQuarters() * static_cast<double>(bars);
    const auto start =
        BeatloomTimeline::seconds(segments, BeatloomTimeline::quarterPosition(segments, barOneSeconds) - quarters);
    if (start && *start < barOneSeconds) return start;
    return std::nullopt;
}

}  // namespace corvel::session
