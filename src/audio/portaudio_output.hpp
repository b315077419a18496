#pragma once

#include "audio/preview_output.hpp"

namespace corvel::audio {

inline constexpr const char* kPortAudioErrorDomain = "PortAudio";

// Outputs on the system's default output device, opened at the rate asked for with up to two
// channels. The library is brought up on the first open, not before, and stays up while the
// factory or one of its outputs lives. Opening throws ErrorException (domain "PortAudio",
// the library's error code and message) when the library or the device can't be had.
PreviewOutputFactory portAudioOutputFactory();

}  // namespace corvel::audio
