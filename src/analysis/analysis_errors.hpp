#pragma once

// The errors of the tempo analysis and of re-analysing a selection: domain "ORVBeatloom". The
// user sees the message unchanged; the codes are what stored reports and callers compare.

#include "common/error.hpp"

namespace corvel::analysis {

inline constexpr const char* kAnalysisErrorDomain = "ORVBeatloom";

inline constexpr int kAudioTooShortCode = 2001;
inline constexpr int kNoPulseStructureCode = 2002;
inline constexpr int kInvalidAudioFormatCode = 2003;
inline constexpr int kAudioBufferCode = 2004;
inline constexpr int kTooLittleAudioCode = 2005;
inline constexpr int kRangeTooShortCode = 2006;
inline constexpr const char* kAudioTooShortMessage = "The audio is too short for a musical tempo analysis.";
inline constexpr const char* kNoPulseStructureMessage = "No sufficiently stable musical pulse was found.";
inline constexpr const char* kInvalidAudioFormatMessage = "Invalid audio format.";
inline constexpr const char* kAudioBufferMessage = "The audio buffer could not be created.";
inline constexpr const char* kTooLittleAudioMessage = "Too little usable audio.";
inline constexpr const char* kRangeTooShortMessage = "The selected analysis range is too short.";

// Re-analysing a selection: the selection is too short to analyse, or what it found could not
// be merged into the tempo map.
inline constexpr int kSelectionTooShortCode = 2301;
inline constexpr int kMergeRefusedCode = 2302;
inline constexpr const char* kSelectionTooShortMessage = "Select at least 4 seconds for re-analysis.";
inline constexpr const char* kMergeRefusedMessage = "The selected range could not be merged into the tempo map.";

// Throws ErrorException with the analysis error of this code and message.
[[noreturn]] inline void throwAnalysisError(int code, const char* message) {
    throw ErrorException(Error{kAnalysisErrorDomain, code, message});
}

}  // namespace corvel::analysis
