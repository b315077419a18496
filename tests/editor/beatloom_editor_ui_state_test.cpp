#include <gtest/gtest.h>

#include "editor/beatloom_editor_ui_state.hpp"

namespace corvel::editor {
namespace {

TEST(BeatloomEditorUIState, StartsWithTheEighthGridSnappingOnTheLargeWaveformAndEverythingClosed) {
    const BeatloomEditorUIState ui;
    EXPECT_EQ(ui.gridResolution.value(), BeatloomGridResolution::eighth);
    EXPECT_TRUE(ui.snapEnabled.value());
    EXPECT_TRUE(ui.transientSnapEnabled.value());
    EXPECT_TRUE(ui.showSubdivisions.value());
    EXPECT_TRUE(ui.waveformLarge.value());
    for (const auto* flag : {&ui.gridFitMode, &ui.rangeSelectionMode, &ui.showTransients, &ui.showMeterPopover,
                             &ui.showGridPopover, &ui.showClickPopover, &ui.showViewPopover, &ui.showHelpPopover,
                             &ui.showGridFitMorePopover}) {
        EXPECT_FALSE(flag->value());
    }
}

TEST(BeatloomEditorUIState, DismissingPopoversEndsBothModesAndKeepsTheHelpPopoverAndTheUsersSwitches) {
    BeatloomEditorUIState ui;
    ui.gridResolution.set(BeatloomGridResolution::sixteenth);
    ui.snapEnabled.set(false);
    ui.transientSnapEnabled.set(false);
    ui.showSubdivisions.set(false);
    ui.showTransients.set(true);
    ui.waveformLarge.set(false);
    for (auto* flag : {&ui.gridFitMode, &ui.rangeSelectionMode, &ui.showMeterPopover, &ui.showGridPopover,
                       &ui.showClickPopover, &ui.showViewPopover, &ui.showHelpPopover, &ui.showGridFitMorePopover}) {
        flag->set(true);
    }
    int writes = 0;
    std::vector<Subscription> watching;
    for (auto* flag : {&ui.gridFitMode, &ui.rangeSelectionMode, &ui.showMeterPopover, &ui.showGridPopover,
                       &ui.showClickPopover, &ui.showViewPopover, &ui.showGridFitMorePopover}) {
        watching.push_back(flag->subscribe([&](bool) { ++writes; }));
    }

    ui.dismissPopovers();

    EXPECT_EQ(writes, 7);  // each flag published on its own
    for (const auto* flag : {&ui.gridFitMode, &ui.rangeSelectionMode, &ui.showMeterPopover, &ui.showGridPopover,
                             &ui.showClickPopover, &ui.showViewPopover, &ui.showGridFitMorePopover}) {
        EXPECT_FALSE(flag->value());
    }
    EXPECT_TRUE(ui.showHelpPopover.value());
    EXPECT_EQ(ui.gridResolution.value(), BeatloomGridResolution::sixteenth);
    EXPECT_FALSE(ui.snapEnabled.value());
    EXPECT_FALSE(ui.transientSnapEnabled.value());
    EXPECT_FALSE(ui.showSubdivisions.value());
    EXPECT_TRUE(ui.showTransients.value());
    EXPECT_FALSE(ui.waveformLarge.value());
}

}  // namespace
}  // namespace corvel::editor
