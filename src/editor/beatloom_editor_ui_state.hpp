#pragma once

#include "common/observable.hpp"
#include "core/tempo_map_records.hpp"

// What the tempo editor's screens show and how their drags snap: none of it belongs to the
// song, so nothing here is undone, saved or exported, and the session never reads it. One
// instance lives as long as the application, so a visit to another section keeps it.
// Free of Qt, so the application model can own it beside the session. Main thread only.

namespace corvel::editor {

class BeatloomEditorUIState final {
public:
    BeatloomEditorUIState() = default;
    BeatloomEditorUIState(const BeatloomEditorUIState&) = delete;
    BeatloomEditorUIState& operator=(const BeatloomEditorUIState&) = delete;

    // The grid that is drawn and that drags, lane clicks and the locator snap to.
    Published<BeatloomGridResolution> gridResolution{BeatloomGridResolution::eighth};
    Published<bool> snapEnabled{true};
    Published<bool> gridFitMode{false};
    Published<bool> rangeSelectionMode{false};
    Published<bool> transientSnapEnabled{true};
    Published<bool> showSubdivisions{true};
    Published<bool> showTransients{false};
    Published<bool> waveformLarge{true};  // the waveform lane is 430 px high, else 330 px
    Published<bool> showMeterPopover{false};
    Published<bool> showGridPopover{false};
    Published<bool> showClickPopover{false};
    Published<bool> showViewPopover{false};
    Published<bool> showHelpPopover{false};
    Published<bool> showGridFitMorePopover{false};

    // After "Clear Project": both modes off and every popover closed but the keyboard-shortcut
    // one; the grid and the snapping and display switches keep what the user chose.
    void dismissPopovers();
};

}  // namespace corvel::editor
