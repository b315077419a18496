#include "platform/main_loop.hpp"

#include <cmath>
#include <limits>

namespace corvel::platform {

MainLoop::Duration durationFromSeconds(double seconds) {
    if (!(seconds > 0)) return MainLoop::Duration::zero();
    const double nanoseconds = std::round(seconds * 1e9);
    // 2^63 is exactly representable; anything at or beyond it is the longest duration.
    if (nanoseconds >= 9223372036854775808.0) return MainLoop::Duration::max();
    return MainLoop::Duration(static_cast<std::int64_t>(nanoseconds));
}

}  // namespace corvel::platform
