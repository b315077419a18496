#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/tempo_map_records.hpp"

// Undo and redo of the tempo editor work on whole snapshots of what the user edits: the session
// snapshots before and after an edit (or a whole drag gesture) and records the pair under the
// edit's action name.

namespace corvel {

// The ten edited values of the tempo editor. Two snapshots are equal when every field is: arrays
// element by element with full record equality (ids and confidences included, a NaN never equal),
// Bar 1 absent on both sides or present with equal values.
struct BeatloomEditorState {
    std::vector<BeatloomTempoPoint> tempoPoints;
    std::vector<BeatloomMeterEvent> meterEvents;
    std::vector<BeatloomBarAnchor> barAnchors;
    std::vector<BeatloomPhaseLock> phaseLocks;
    std::optional<double> barOneSeconds;
    std::int64_t pickupBarCount = 0;
    std::vector<BeatloomGridFitAnchor> gridFitAnchors;
    std::vector<BeatloomLockedRange> lockedRanges;
    std::vector<BeatloomTimelineRegion> timelineRegions;
    std::vector<BeatloomRhythmicAnchor> rhythmicAnchors;
    friend bool operator==(const BeatloomEditorState&, const BeatloomEditorState&) = default;
};

// A bounded undo history with a redo list. The session owns it as a value.
class BeatloomEditHistory {
public:
    struct Entry {
        std::string actionName;
        BeatloomEditorState before;
        BeatloomEditorState after;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    static constexpr std::int64_t defaultCapacity = 100;

    // Empty, keeping at most `capacity` undo entries (a negative capacity counts as 0).
    explicit BeatloomEditHistory(std::int64_t capacity = defaultCapacity);

    // Oldest first; the last is undone next.
    const std::vector<Entry>& undoEntries() const { return undoEntries_; }
    // The last is redone next.
    const std::vector<Entry>& redoEntries() const { return redoEntries_; }
    std::int64_t capacity() const { return capacity_; }

    // Adds an entry unless nothing changed (then the redo list is kept too); drops the oldest
    // entries beyond the capacity and empties the redo list.
    void record(std::string actionName, BeatloomEditorState before, BeatloomEditorState after);
    // Moves the newest undo entry to the redo list and returns it; the caller restores `before`.
    std::optional<Entry> undo();
    // Moves the newest redo entry back to the undo list and returns it; the caller restores `after`.
    std::optional<Entry> redo();
    void clear();

private:
    std::vector<Entry> undoEntries_;
    std::vector<Entry> redoEntries_;
    std::int64_t capacity_;
};

}  // namespace corvel
