#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/uuid.hpp"
#include "core/tempo_map_records.hpp"

// The meter map (time-signature changes) and the bar anchors (locked downbeats): what counts as
// a valid signature, the canonical form of both lists, removing a meter event and the messages
// that block an export. Every grid, click and export computation starts from the normal forms.

namespace corvel {

// Meter events and bar anchors closer than this fall together.
inline constexpr double meterMergeDistanceSeconds = 0.0005;

inline constexpr const char* invalidTimeSignatureMessage = "Invalid time signature";
inline constexpr const char* meterEventOutsideAudioMessage = "Time-signature marker lies outside the audio";
inline constexpr const char* barAnchorOutsideAudioMessage = "Bar-start anchor lies outside the audio";

// Numerator 1 to 32, denominator 1, 2, 4, 8 or 16.
bool isValidTimeSignature(std::int64_t numerator, std::int64_t denominator);

// Never empty: starts with an event at exactly 0 s (a 4/4 one is put in front when the first
// kept event lies later), keeps only finite times within 0...duration and valid signatures,
// sorted by time (ties within 1e-6 s by id text) and at least 0.0005 s apart; of two closer
// events the later one wins.
std::vector<BeatloomMeterEvent> normalizedMeterEvents(const std::vector<BeatloomMeterEvent>& events,
                                                      double durationSeconds);

// Finite times clamped to 0...duration, ascending (stable) and at least 0.0005 s apart; of two
// closer anchors the earlier one wins. May be empty.
std::vector<BeatloomBarAnchor> normalizedBarAnchors(const std::vector<BeatloomBarAnchor>& anchors,
                                                    double durationSeconds);

// The normalised map without the event of that id; nothing when no event has the id or when it
// is the song-start event, which can never be removed.
std::optional<std::vector<BeatloomMeterEvent>> removingMeterEvent(const Uuid& id,
                                                                  const std::vector<BeatloomMeterEvent>& events,
                                                                  double durationSeconds);

// Checks the lists as they are, without normalising them. Each message at most once, in
// ascending character order; empty when the map is valid.
std::vector<std::string> meterMapIssues(const std::vector<BeatloomMeterEvent>& events,
                                        const std::vector<BeatloomBarAnchor>& anchors, double durationSeconds);

}  // namespace corvel
