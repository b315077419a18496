#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "common/numeric.hpp"

// The visible time window of the timeline. The session owns the live one; the views draw it.

namespace corvel::session {

// A horizontal span in timeline pixels, x0 <= x1.
struct BeatloomPixelSpan {
    double x0 = 0;
    double x1 = 0;
    friend bool operator==(const BeatloomPixelSpan&, const BeatloomPixelSpan&) = default;
};

// Peak bins lo ..< hi of a waveform.
struct BeatloomPeakRange {
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    bool empty() const { return hi <= lo; }
    friend bool operator==(const BeatloomPeakRange&, const BeatloomPeakRange&) = default;
};

struct BeatloomViewportState {
    double visibleStartSeconds = 0.0;  // may lie before 0 s
    double visibleDurationSeconds = 1.0;
    double viewportPixelWidth = 1200.0;
    friend bool operator==(const BeatloomViewportState&, const BeatloomViewportState&) = default;

    // The pixels of the window that show audio (0 s to the source's end); none when the
    // window shows no audio at all.
    static std::optional<BeatloomPixelSpan> visiblePixelRange(double start, double duration, double width,
                                                              double sourceDuration) {
        const double a = std::max(start, 0.0);
        const double b = std::min(start + duration, sourceDuration);
        if (!(b > a)) return std::nullopt;
        const double d = maxIgnoringNaN(duration, 1e-6);
        const double w = maxIgnoringNaN(width, 1.0);
        return BeatloomPixelSpan{w * (a - start) / d, w * (b - start) / d};
    }
    std::optional<BeatloomPixelSpan> visiblePixelRange(double sourceDuration) const {
        return visiblePixelRange(visibleStartSeconds, visibleDurationSeconds, viewportPixelWidth, sourceDuration);
    }

    // The peak bins to draw for the window: at least one whenever any audio is visible.
    static BeatloomPeakRange visiblePeakRange(double start, double duration, double waveformDuration,
                                              std::int64_t binCount) {
        if (binCount < 1 || !(waveformDuration > 0)) return {};
        const double a = clampOr(start, 0, waveformDuration, 0);
        const double b = clampOr(start + duration, 0, waveformDuration, 0);
        if (a >= b) return {};
        const double binsPerSecond = double(binCount) / waveformDuration;
        const std::int64_t lo = std::clamp<std::int64_t>(saturatingInt64(std::floor(binsPerSecond * a)), 0, binCount - 1);
        const std::int64_t hi = std::clamp<std::int64_t>(saturatingInt64(std::ceil(binsPerSecond * b)), lo + 1, binCount);
        return {lo, hi};
    }
    BeatloomPeakRange visiblePeakRange(double waveformDuration, std::int64_t binCount) const {
        return visiblePeakRange(visibleStartSeconds, visibleDurationSeconds, waveformDuration, binCount);
    }
};

}  // namespace corvel::session
