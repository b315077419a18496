#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "audio/preview/preview_output.hpp"

namespace corvel::audio {

inline constexpr const char* kPortAudioErrorDomain = "PortAudio";

// Outputs on the system's default output device, opened at the rate asked for (or the first
// of previewOutputRates that the device takes) with up to two channels. The library is brought
// up on the first open, not before, and stays up while the factory or one of its outputs lives.
// Opening throws ErrorException (domain "PortAudio", the library's error code and message)
// when the library or the device can't be had. A failed open or start names the device and
// says what to try: the library's message ("Device unavailable") leads the text.
PreviewOutputFactory portAudioOutputFactory();

// The message of a failed sound output: the library's message, the output's name (none when the
// system has no output at all) and what the user can do about it.
std::string outputDeviceMessage(std::string_view libraryMessage, const std::optional<std::string>& deviceName);

}  // namespace corvel::audio
