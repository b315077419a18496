#include "editor/beatloom_editor_ui_state.hpp"

namespace corvel::editor {

void BeatloomEditorUIState::dismissPopovers() {
    gridFitMode.set(false);
    rangeSelectionMode.set(false);
    showMeterPopover.set(false);
    showGridPopover.set(false);
    showClickPopover.set(false);
    showViewPopover.set(false);
    showGridFitMorePopover.set(false);
}

}  // namespace corvel::editor
