#pragma once

// The visible time window of the timeline. The session owns the live one; the views draw it.

namespace corvel::session {

struct BeatloomViewportState {
    double visibleStartSeconds = 0.0;  // may lie before 0 s
    double visibleDurationSeconds = 1.0;
    double viewportPixelWidth = 1200.0;
    friend bool operator==(const BeatloomViewportState&, const BeatloomViewportState&) = default;
};

}  // namespace corvel::session
