#include "session/time_signature_placement.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"
#include "core/meter_map.hpp"
#include "core/time_tolerances.hpp"

namespace corvel::session {

namespace {


}  // namespace

std::vector<BeatloomMeterEvent> withTimeSignatureAt(const std::vector<BeatloomMeterEvent>& events, double seconds,
                                                    std::int64_t numerator, std::int64_t denominator,
                                                    double duration) {
    auto list = normalizedMeterEvents(events, duration);
    const double time = clampOr(seconds, 0.0, duration, 0.0);
    const auto nearby = std::find_if(list.begin(), list.end(), [&](const BeatloomMeterEvent& event) {
        return std::abs(event.timeSeconds - time) < kMarkerSpacingSeconds;
    });
    if (nearby != list.end()) {
        nearby->numerator = numerator;
        nearby->denominator = denominator;
        // The song-start signature stays at the song start.
        if (nearby != list.begin()) nearby->timeSeconds = time;
    } else {
        list.push_back(BeatloomMeterEvent{Uuid::random(), time, numerator, denominator});
    }
    return list;
}

}  // namespace corvel::session
