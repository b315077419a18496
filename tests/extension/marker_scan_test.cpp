#include "common/format.hpp"
#include "extension/extension_fixture.hpp"

namespace corvel::extension_test {
namespace {

const std::string kStopCommand = "Main_OnCommand(1016,0)";

std::string seekTo(const std::string& sixDecimals) { return "SetEditCurPos2(" + sixDecimals + ",false,true)"; }

TEST_F(ExtensionTest, FirstPlayingTickOnlyStartsTracking) {
    host.markers = {{"!stop", 10.0}};
    loadExtension();
    EXPECT_EQ(playingTick(10.0), (Lines{"[CWS] timer active", "[CWS] start tracking at 10.000"}));
    EXPECT_EQ(host.calls, (Lines{"GetPlayState()", "EnumProjects()", "GetPlayPosition()"}));

    // Still inside the window on the next tick, so the stop acts now.
    EXPECT_EQ(playingTick(10.03), Lines{"[CWS] !stop hit at 10.000 (window 10.000 -> 10.030)"});
    EXPECT_EQ(host.actions(), Lines{kStopCommand});

    // The stop ended tracking: the stopped tick that follows says nothing.
    EXPECT_TRUE(stoppedTick().empty());
    EXPECT_EQ(host.calls, Lines{"GetPlayState()"});
    EXPECT_EQ(playingTick(10.2), Lines{"[CWS] start tracking at 10.200"});
}

TEST_F(ExtensionTest, PlaybackStoppedIsLoggedOnceWhileTracking) {
    trackFrom(5.0);
    EXPECT_TRUE(playingTick(5.03).empty());
    host.playState = 2;  // bit 0 clear: not playing
    EXPECT_EQ(tick(), Lines{"[CWS] playback stopped/reset"});
    EXPECT_EQ(host.calls, Lines{"GetPlayState()"});
    EXPECT_TRUE(tick().empty());
    host.playState = 5;  // bit 0 set among others: playing
    EXPECT_EQ(tick(), Lines{"[CWS] start tracking at 5.030"});
}

TEST_F(ExtensionTest, NoActiveProjectResetsTracking) {
    host.markers = {{"!stop", 5.05}};
    trackFrom(5.0);
    host.hasProject = false;
    EXPECT_EQ(playingTick(5.03), Lines{"[CWS] no active project"});
    EXPECT_EQ(host.calls, (Lines{"GetPlayState()", "EnumProjects()"}));
    EXPECT_EQ(playingTick(5.06), Lines{"[CWS] no active project"});
    EXPECT_TRUE(stoppedTick().empty());  // not tracking any more

    host.hasProject = true;
    EXPECT_EQ(playingTick(5.04), Lines{"[CWS] start tracking at 5.040"});
    EXPECT_EQ(stoppedTick(), Lines{"[CWS] playback stopped/reset"});
}

struct WindowCase {
    const char* label;
    double last;
    double pos;
    double marker;
    bool acts;
};
// Test lists show the case by its label, not as raw bytes.
void PrintTo(const WindowCase& c, std::ostream* out) { *out << c.label; }


class StopWindow : public ExtensionTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(StopWindow, BothEndsAreInclusive) {
    const WindowCase& c = GetParam();
    host.markers = {{"!stop", c.marker}};
    trackFrom(c.last);
    const Lines lines = playingTick(c.pos);
    if (c.acts) {
        EXPECT_EQ(lines, Lines{"[CWS] !stop hit at " + formatFixed(c.marker, 3) + " (window " + formatFixed(c.last, 3) +
                               " -> " + formatFixed(c.pos, 3) + ")"});
        EXPECT_EQ(host.actions(), Lines{kStopCommand});
    } else {
        EXPECT_TRUE(lines.empty());
        EXPECT_TRUE(host.actions().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StopWindow,
    ::testing::Values(WindowCase{"ForwardAtLastMinusLead", 10.0, 10.03, 10.0 - 0.06, true},
                      WindowCase{"ForwardJustBeforeLowerEnd", 10.0, 10.03, 9.9399, false},
                      WindowCase{"ForwardAtPosPlusLead", 10.0, 10.03, 10.03 + 0.06, true},
                      WindowCase{"ForwardJustAfterUpperEnd", 10.0, 10.03, 10.0901, false},
                      WindowCase{"StandingStill", 10.0, 10.0, 10.05, true},
                      WindowCase{"BackwardAtPosMinusLead", 10.0, 9.5, 9.5 - 0.06, true},
                      WindowCase{"BackwardAtLastPlusLead", 10.0, 9.5, 10.0 + 0.06, true},
                      WindowCase{"BackwardJustBeforeLowerEnd", 10.0, 9.5, 9.4399, false},
                      WindowCase{"BackwardJustAfterUpperEnd", 10.0, 9.5, 10.0601, false},
                      WindowCase{"ForwardStepOfExactlyTwo", 10.0, 12.0, 11.0, true},
                      WindowCase{"BackwardStepOfExactlyTwo", 12.0, 10.0, 11.0, true}),
    [](const auto& testCase) { return std::string(testCase.param.label); });

TEST_F(ExtensionTest, LargeStepIsAdoptedWithoutScanning) {
    host.markers = {{"!stop", 11.0}, {"!stop", 12.52}};
    trackFrom(10.0);
    EXPECT_EQ(playingTick(12.5), Lines{"[CWS] large step ignored: last=10.000 pos=12.500 step=2.500"});
    EXPECT_EQ(host.calls, (Lines{"GetPlayState()", "EnumProjects()", "GetPlayPosition()"}));
    EXPECT_EQ(playingTick(12.53), Lines{"[CWS] !stop hit at 12.520 (window 12.500 -> 12.530)"});
}

TEST_F(ExtensionTest, LargeBackwardStepIsAdoptedWithoutScanning) {
    host.markers = {{"!stop", 8.0}};
    trackFrom(10.0);
    EXPECT_EQ(playingTick(7.5), Lines{"[CWS] large step ignored: last=10.000 pos=7.500 step=-2.500"});
    EXPECT_TRUE(playingTick(7.53).empty());
    EXPECT_TRUE(host.actions().empty());
}

struct StopNameCase {
    const char* label;
    const char* name;
    bool stops;
};
void PrintTo(const StopNameCase& c, std::ostream* out) { *out << c.label; }


class StopName : public ExtensionTest, public ::testing::WithParamInterface<StopNameCase> {};

TEST_P(StopName, WholeNameIgnoringCase) {
    host.markers = {{GetParam().name, 10.01}};
    trackFrom(10.0);
    const Lines lines = playingTick(10.03);
    if (GetParam().stops) {
        EXPECT_EQ(lines, Lines{"[CWS] !stop hit at 10.010 (window 10.000 -> 10.030)"});
        EXPECT_EQ(host.actions(), Lines{kStopCommand});
    } else {
        EXPECT_TRUE(lines.empty());
        EXPECT_TRUE(host.actions().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StopName,
                         ::testing::Values(StopNameCase{"Lower", "!stop", true}, StopNameCase{"Upper", "!STOP", true},
                                           StopNameCase{"Mixed", "!sToP", true},
                                           StopNameCase{"TrailingBlank", "!stop ", false},
                                           StopNameCase{"LeadingBlank", " !stop", false},
                                           StopNameCase{"Longer", "!stops", false},
                                           StopNameCase{"Shorter", "!sto", false},
                                           StopNameCase{"NoBang", "stop", false}, StopNameCase{"Empty", "", false}),
                         [](const auto& testCase) { return std::string(testCase.param.label); });

TEST_F(ExtensionTest, RegionsAndNamelessEntriesNeverAct) {
    host.markers = {{std::nullopt, 10.01}, {"!stop", 10.01, true}, {"!stop", 10.02}};
    trackFrom(10.0);
    EXPECT_EQ(playingTick(10.03), Lines{"[CWS] !stop hit at 10.020 (window 10.000 -> 10.030)"});
    EXPECT_EQ(host.calls, (Lines{"GetPlayState()", "EnumProjects()", "GetPlayPosition()", "CountProjectMarkers()",
                                 "EnumProjectMarkers3(0)", "EnumProjectMarkers3(1)", "EnumProjectMarkers3(2)",
                                 kStopCommand}));
}

TEST_F(ExtensionTest, MarkerCountsBeyondTheListOrBelowZero) {
    host.markers = {{"!jumpto1", 10.01}};
    host.countOverride = std::pair{2, 1};  // indices 1 and 2 fail to enumerate
    trackFrom(10.0);
    EXPECT_EQ(playingTick(10.03), Lines{"[CWS] !jumpto1 found, but target @1 missing"});
    EXPECT_EQ(host.calls, (Lines{"GetPlayState()", "EnumProjects()", "GetPlayPosition()", "CountProjectMarkers()",
                                 "EnumProjectMarkers3(0)", "CountProjectMarkers()", "EnumProjectMarkers3(0)",
                                 "EnumProjectMarkers3(1)", "EnumProjectMarkers3(2)", "EnumProjectMarkers3(1)",
                                 "EnumProjectMarkers3(2)"}));
    host.countOverride = std::pair{-3, 2};
    EXPECT_TRUE(playingTick(10.06).empty());
    EXPECT_EQ(host.calls, (Lines{"GetPlayState()", "EnumProjects()", "GetPlayPosition()", "CountProjectMarkers()"}));
}

enum class Outcome { Jumps, TargetMissing, NotAJump };

struct JumpNameCase {
    const char* label;
    const char* jumpName;
    const char* targetName;
    Outcome outcome;
    const char* number;
};
void PrintTo(const JumpNameCase& c, std::ostream* out) { *out << c.label; }


class JumpName : public ExtensionTest, public ::testing::WithParamInterface<JumpNameCase> {};

TEST_P(JumpName, NumberRules) {
    const JumpNameCase& c = GetParam();
    host.markers = {{c.jumpName, 10.01}, {c.targetName, 30.0}};
    trackFrom(10.0);
    const Lines lines = playingTick(10.03);
    const std::string n = c.number;
    switch (c.outcome) {
    case Outcome::Jumps:
        EXPECT_EQ(lines, Lines{"[CWS] !jumpto" + n + " hit at 10.010 -> target 30.000"});
        EXPECT_EQ(host.actions(), Lines{seekTo("30.000000")});
        break;
    case Outcome::TargetMissing:
        EXPECT_EQ(lines, Lines{"[CWS] !jumpto" + n + " found, but target @" + n + " missing"});
        EXPECT_TRUE(host.actions().empty());
        break;
    case Outcome::NotAJump:
        EXPECT_TRUE(lines.empty());
        EXPECT_TRUE(host.actions().empty());
        EXPECT_EQ(std::count(host.calls.begin(), host.calls.end(), "CountProjectMarkers()"), 1);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JumpName,
    ::testing::Values(JumpNameCase{"Plain", "!jumpto4", "@4", Outcome::Jumps, "4"},
                      JumpNameCase{"MixedCaseAndBlank", "!JumpTo 4", "@4", Outcome::Jumps, "4"},
                      JumpNameCase{"PlusSign", "!JUMPTO+4", "@4", Outcome::Jumps, "4"},
                      JumpNameCase{"LeadingZeroJump", "!jumpto04", "@4", Outcome::Jumps, "4"},
                      JumpNameCase{"LeadingZeroTarget", "!jumpto4", "@04", Outcome::Jumps, "4"},
                      JumpNameCase{"BlankInTarget", "!jumpto4", "@ 4", Outcome::Jumps, "4"},
                      JumpNameCase{"Largest", "!jumpto2147483647", "@2147483647", Outcome::Jumps, "2147483647"},
                      JumpNameCase{"TargetWithLetters", "!jumpto4", "@4a", Outcome::TargetMissing, "4"},
                      JumpNameCase{"TargetBareMark", "!jumpto4", "@", Outcome::TargetMissing, "4"},
                      JumpNameCase{"TargetWithoutMark", "!jumpto4", "4", Outcome::TargetMissing, "4"},
                      JumpNameCase{"TargetOtherNumber", "!jumpto4", "@5", Outcome::TargetMissing, "4"},
                      JumpNameCase{"PrefixOnly", "!jumpto", "@", Outcome::NotAJump, ""},
                      JumpNameCase{"BlankOnly", "!jumpto ", "@", Outcome::NotAJump, ""},
                      JumpNameCase{"Zero", "!jumpto0", "@0", Outcome::NotAJump, ""},
                      JumpNameCase{"Negative", "!jumpto-4", "@-4", Outcome::NotAJump, ""},
                      JumpNameCase{"DigitsThenLetters", "!jumpto4a", "@4", Outcome::NotAJump, ""},
                      JumpNameCase{"TrailingBlank", "!jumpto4 ", "@4", Outcome::NotAJump, ""},
                      JumpNameCase{"AboveIntRange", "!jumpto2147483648", "@2147483648", Outcome::NotAJump, ""},
                      JumpNameCase{"RangeError", "!jumpto99999999999999999999", "@4", Outcome::NotAJump, ""},
                      JumpNameCase{"ShortPrefix", "!jump4", "@4", Outcome::NotAJump, ""},
                      JumpNameCase{"NoBang", "jumpto4", "@4", Outcome::NotAJump, ""}),
    [](const auto& testCase) { return std::string(testCase.param.label); });

TEST_F(ExtensionTest, TargetIsTheFirstEnumeratedMarkerNeverARegion) {
    host.markers = {{"@5", 40.0, true}, {"!jumpto5", 10.01}, {std::nullopt, 50.0}, {"@5", 30.0}, {"@5", 20.0}};
    trackFrom(10.0);
    EXPECT_EQ(playingTick(10.03), Lines{"[CWS] !jumpto5 hit at 10.010 -> target 30.000"});
    // The jump ends the tick: the outer scan never reaches indices 2 to 4.
    EXPECT_EQ(host.calls, (Lines{"GetPlayState()", "EnumProjects()", "GetPlayPosition()", "CountProjectMarkers()",
                                 "EnumProjectMarkers3(0)", "EnumProjectMarkers3(1)", "CountProjectMarkers()",
                                 "EnumProjectMarkers3(0)", "EnumProjectMarkers3(1)", "EnumProjectMarkers3(2)",
                                 "EnumProjectMarkers3(3)", seekTo("30.000000")}));
}

TEST_F(ExtensionTest, RegionOnlyTargetIsMissingAndTheScanGoesOn) {
    host.markers = {{"!jumpto7", 10.01}, {"@7", 30.0, true}, {"!stop", 10.02}};
    trackFrom(10.0);
    EXPECT_EQ(playingTick(10.03), (Lines{"[CWS] !jumpto7 found, but target @7 missing",
                                         "[CWS] !stop hit at 10.020 (window 10.000 -> 10.030)"}));
    EXPECT_EQ(host.actions(), Lines{kStopCommand});
}

TEST_F(ExtensionTest, SelfJumpIsIgnoredAndTheScanGoesOn) {
    host.markers = {{"!jumpto3", 10.010}, {"@3", 10.0114}, {"@3", 50.0},  // only the first target counts
                    {"!jumpto4", 10.020}, {"@4", 10.0186},                 // 1.5 ms before: self-jump too
                    {"!jumpto5", 10.025}, {"@5", 10.0276}};                // 2.6 ms apart: a real jump
    trackFrom(10.0);
    EXPECT_EQ(playingTick(10.03), (Lines{"[CWS] !jumpto3 ignored due to self-jump (marker=10.010 target=10.011)",
                                         "[CWS] !jumpto4 ignored due to self-jump (marker=10.020 target=10.019)",
                                         "[CWS] !jumpto5 hit at 10.025 -> target 10.028"}));
    EXPECT_EQ(host.actions(), Lines{seekTo("10.027600")});
}

TEST_F(ExtensionTest, EnumerationOrderDecidesBetweenJumpAndStop) {
    host.markers = {{"!jumpto1", 10.02}, {"!stop", 10.01}, {"@1", 30.0}};
    trackFrom(10.0);
    EXPECT_EQ(playingTick(10.03), Lines{"[CWS] !jumpto1 hit at 10.020 -> target 30.000"});
    EXPECT_EQ(host.actions(), Lines{seekTo("30.000000")});
}

TEST_F(ExtensionTest, EnumerationOrderDecidesBetweenStopAndJump) {
    host.markers = {{"!stop", 10.02}, {"!jumpto1", 10.01}, {"@1", 30.0}};
    trackFrom(10.0);
    EXPECT_EQ(playingTick(10.03), Lines{"[CWS] !stop hit at 10.020 (window 10.000 -> 10.030)"});
    EXPECT_EQ(host.actions(), Lines{kStopCommand});
}

TEST_F(ExtensionTest, HeartbeatEveryHundredthTickWhileTracking) {
    host.markers = {{"!stop", 20.01}};
    loadExtension();
    EXPECT_EQ(stoppedTick(), Lines{"[CWS] timer active"});
    for (int i = 2; i <= 98; ++i) {
        ASSERT_TRUE(stoppedTick().empty()) << i;
    }
    EXPECT_EQ(playingTick(5.0), Lines{"[CWS] start tracking at 5.000"});  // tick 99
    EXPECT_EQ(playingTick(8.0), (Lines{"[CWS] heartbeat pos=8.000 last=5.000 step=3.000",
                                       "[CWS] large step ignored: last=5.000 pos=8.000 step=3.000"}));
    EXPECT_EQ(stoppedTick(), Lines{"[CWS] playback stopped/reset"});  // tick 101
    for (int i = 102; i <= 198; ++i) {
        ASSERT_TRUE(stoppedTick().empty()) << i;
    }
    EXPECT_EQ(playingTick(20.0), Lines{"[CWS] start tracking at 20.000"});  // tick 199
    EXPECT_EQ(playingTick(20.03), (Lines{"[CWS] heartbeat pos=20.030 last=20.000 step=0.030",
                                         "[CWS] !stop hit at 20.010 (window 20.000 -> 20.030)"}));
    for (int i = 201; i <= 300; ++i) {
        ASSERT_TRUE(stoppedTick().empty()) << i;  // tick 300 is not tracking: no heartbeat
    }
}

// "!jumpto1" just before its own target: after the seek the next windows reach back over
// the jump marker, which must not fire again while playback is still at the target.
TEST_F(ExtensionTest, JumpMarkerBeforeItsTargetFiresOnce) {
    host.markers = {{"!jumpto1", 9.970}, {"@1", 10.000}, {"!stop", 10.19}};
    loadExtension();
    Lines lines;
    Lines actions;
    for (const double pos : {9.9, 9.95, 10.02, 10.03, 10.05, 10.08, 10.11, 10.14}) {
        for (const std::string& line : playingTick(pos)) {
            lines.push_back(line);
        }
        for (const std::string& action : host.actions()) {
            actions.push_back(action);
        }
    }
    EXPECT_EQ(lines, (Lines{"[CWS] timer active", "[CWS] start tracking at 9.900",
                            "[CWS] !jumpto1 hit at 9.970 -> target 10.000",
                            "[CWS] !stop hit at 10.190 (window 10.110 -> 10.140)"}));
    EXPECT_EQ(actions, (Lines{seekTo("10.000000"), kStopCommand}));
}

TEST_F(ExtensionTest, StopExactlyAtTheJumpTargetStillActs) {
    host.markers = {{"!jumpto1", 9.970}, {"@1", 10.000}, {"!stop", 10.000}};
    trackFrom(9.9);
    EXPECT_EQ(playingTick(9.95), Lines{"[CWS] !jumpto1 hit at 9.970 -> target 10.000"});
    EXPECT_EQ(playingTick(10.02), Lines{"[CWS] !stop hit at 10.000 (window 10.000 -> 10.020)"});
    EXPECT_EQ(host.actions(), Lines{kStopCommand});
}

TEST_F(ExtensionTest, JumpHoldEndsWhenPlaybackIsMovedAway) {
    host.markers = {{"!jumpto1", 9.970}, {"@1", 10.000}, {"!stop", 7.55}};
    trackFrom(9.9);
    EXPECT_EQ(playingTick(9.95), Lines{"[CWS] !jumpto1 hit at 9.970 -> target 10.000"});
    EXPECT_EQ(playingTick(7.5), Lines{"[CWS] large step ignored: last=10.000 pos=7.500 step=-2.500"});
    EXPECT_EQ(playingTick(7.53), Lines{"[CWS] !stop hit at 7.550 (window 7.500 -> 7.530)"});
}

TEST_F(ExtensionTest, JumpHoldEndsWhenTrackingResets) {
    host.markers = {{"!jumpto1", 9.970}, {"@1", 10.000}};
    trackFrom(9.9);
    EXPECT_EQ(playingTick(9.95), Lines{"[CWS] !jumpto1 hit at 9.970 -> target 10.000"});
    EXPECT_EQ(stoppedTick(), Lines{"[CWS] playback stopped/reset"});
    EXPECT_EQ(playingTick(9.92), Lines{"[CWS] start tracking at 9.920"});
    EXPECT_EQ(playingTick(9.95), Lines{"[CWS] !jumpto1 hit at 9.970 -> target 10.000"});
}

}  // namespace
}  // namespace corvel::extension_test
