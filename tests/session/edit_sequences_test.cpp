// Random sequences of the editor's operations, from fixed seeds: whatever the user does, the
// edited map stays one that the export accepts, and undoing every step brings back the map the
// session started with.

#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

using testing::kSongSeconds;
namespace records = corvel::testing;

class EditSequences : public testing::SessionTest {
protected:
    // One random operation; `log` says what was done, for the failure message.
    using Step = std::function<void(std::ostream& log)>;

    double anyTime() { return std::uniform_real_distribution<double>(-1.0, kSongSeconds + 1.0)(random); }
    // Mostly times inside the song, now and then one that is no number or out of all reach.
    double anyHostileTime() {
        switch (pick(12)) {
            case 0: return std::numeric_limits<double>::quiet_NaN();
            case 1: return std::numeric_limits<double>::infinity();
            case 2: return -1e300;
            default: return anyTime();
        }
    }
    double anyBPM() { return std::uniform_real_distribution<double>(20.0, 320.0)(random); }
    std::size_t pick(std::size_t count) { return std::uniform_int_distribution<std::size_t>(0, count - 1)(random); }
    bool coin() { return pick(2) == 0; }

    template <typename Item>
    Uuid anyID(const std::vector<Item>& items) {
        if (items.empty() || pick(8) == 0) return Uuid::random();
        return items[pick(items.size())].id;
    }

    void seekAnywhere(std::ostream& log) {
        const double t = anyTime();
        model.seek(t);
        log << "seek " << t << "; ";
    }

    std::vector<Step> steps() {
        return {
            [this](std::ostream& log) {
                seekAnywhere(log);
                model.addTempoPointAtLocator();
                log << "add tempo marker";
            },
            [this](std::ostream& log) {
                const double t = anyHostileTime();
                model.moveTempoPoint(anyID(model.editableTempoPoints.value()), t);
                log << "move tempo marker to " << t;
            },
            [this](std::ostream& log) {
                model.deleteTempoPoint(anyID(model.editableTempoPoints.value()));
                log << "delete tempo marker";
            },
            [this](std::ostream& log) {
                const bool ramp = coin();
                model.setTempoTransition(anyID(model.editableTempoPoints.value()), ramp);
                log << "ramp " << ramp;
            },
            [this](std::ostream& log) {
                const std::string text = std::to_string(anyBPM());
                model.setTempoPointBPM(anyID(model.editableTempoPoints.value()), text);
                log << "marker BPM " << text;
            },
            [this](std::ostream& log) {
                seekAnywhere(log);
                const double factor = coin() ? 2.0 : 0.5;
                model.scaleSectionTempo(factor);
                log << "scale " << factor;
            },
            [this](std::ostream& log) {
                seekAnywhere(log);
                const std::string text = std::to_string(anyBPM());
                model.setManualTempo(text);
                log << "manual tempo " << text;
            },
            [this](std::ostream& log) {
                seekAnywhere(log);
                const std::int64_t numerator = std::int64_t(pick(34));
                const std::int64_t denominator = std::int64_t(1) << pick(6);
                model.setTimeSignatureAtLocator(numerator, denominator);
                log << "meter " << numerator << "/" << denominator;
            },
            [this](std::ostream& log) {
                model.deleteTimeSignature(anyID(model.meterEvents.value()));
                log << "delete meter";
            },
            [this](std::ostream& log) {
                seekAnywhere(log);
                switch (pick(5)) {
                    case 0: model.setSongBarOneAtLocator(); log << "Bar 1 at locator"; break;
                    case 1: model.extendPickupOneBar(); log << "one more pickup bar"; break;
                    case 2: model.extendPickupToAudioStart(); log << "pickup to audio start"; break;
                    case 3: model.removePickupBars(); log << "remove pickup bars"; break;
                    default: model.lockDownbeatAtLocator(); log << "lock downbeat"; break;
                }
            },
            [this](std::ostream& log) {
                model.removeManualBarStart(anyID(model.barAnchors.value()));
                log << "remove bar start";
            },
            [this](std::ostream& log) {
                seekAnywhere(log);
                switch (pick(6)) {
                    case 0: model.startFreeTimeAtLocator(); log << "start Free Time"; break;
                    case 1: model.startRubatoAtLocator(); log << "start Rubato"; break;
                    case 2: model.addRhythmicAnchorAtLocator(); log << "add anchor"; break;
                    case 3: model.convertRegion(BeatloomTimelineMode::free); log << "to Free Time"; break;
                    case 4: model.convertRegion(BeatloomTimelineMode::rubato); log << "to Rubato"; break;
                    default: model.deleteRegionAtLocator(); log << "delete region"; break;
                }
            },
            [this](std::ostream& log) {
                seekAnywhere(log);
                const std::int64_t bar = std::int64_t(pick(40));
                const double bpm = coin() ? anyBPM() : std::numeric_limits<double>::quiet_NaN();
                model.rejoinGridAtLocator(bar, bpm, std::nullopt, std::nullopt);
                log << "rejoin at bar " << bar << " with " << bpm << " BPM";
            },
            [this](std::ostream& log) {
                // A re-analysed selection with a tempo or two inside it.
                const double start = std::uniform_real_distribution<double>(0.0, kSongSeconds - 4.0)(random);
                const double end = std::uniform_real_distribution<double>(start + 4.0, kSongSeconds + 1.0)(random);
                BeatloomRangeAnalysisResult range;
                range.targetRange = {start, end};
                range.tempoPoints = {records::tempoPoint(start, anyBPM())};
                if (coin()) range.tempoPoints.push_back(records::tempoPoint((start + end) / 2, anyBPM(), coin()));
                model.applyReanalyzedSelection(range, kSongSeconds);
                log << "re-analysed " << start << "-" << end;
            },
            [this](std::ostream& log) {
                switch (pick(3)) {
                    case 0: model.useDetectedTempo(); log << "detected tempo"; break;
                    case 1: model.resetToDetected(); log << "reset to detected"; break;
                    default: {
                        const double bpm = anyBPM();
                        model.chooseTempoCandidate(bpm);
                        log << "candidate " << bpm;
                    }
                }
            },
            [this](std::ostream& log) {
                model.undo();
                log << "undo";
            },
            [this](std::ostream& log) {
                model.redo();
                log << "redo";
            },
            [this](std::ostream& log) { drag(log); },
        };
    }

    // A drag of a marker, a time signature, a bar start or Bar 1, with a few live updates and
    // now and then an undo or redo pressed in the middle.
    void drag(std::ostream& log) {
        const std::size_t kind = pick(4);
        const Uuid tempoID = anyID(model.editableTempoPoints.value());
        const Uuid meterID = anyID(model.meterEvents.value());
        const Uuid anchorID = anyID(model.barAnchors.value());
        if (kind == 3) {
            model.beginSongBarOneDrag();
        } else {
            model.beginTransaction(coin() ? std::optional<std::string>("Drag") : std::nullopt);
        }
        log << "drag " << kind << ":";
        const std::size_t updates = 1 + pick(4);
        for (std::size_t i = 0; i < updates; ++i) {
            const double t = anyHostileTime();
            const bool snap = coin();
            const auto resolution = static_cast<BeatloomGridResolution>(pick(4));
            log << " " << t;
            switch (kind) {
                case 0: model.updateTempoPointDrag(tempoID, snap, resolution, t); break;
                case 1: model.updateMeterEventDrag(meterID, snap, resolution, t); break;
                case 2: model.updateBarAnchorDrag(anchorID, snap, resolution, t); break;
                default: model.updateSongBarOneDrag(false, t); break;
            }
            if (pick(6) == 0) {
                model.undo();
                log << " undo";
            }
            if (pick(6) == 0) {
                model.redo();
                log << " redo";
            }
        }
        model.endTransaction("Dragged.");
    }

    std::mt19937 random;
};

TEST_F(EditSequences, NeverLeaveAMapTheExportRefusesAndUndoAllTheWayBack) {
    constexpr int kSequences = 400;
    constexpr int kStepsPerSequence = 40;  // fewer than the history keeps
    for (std::uint32_t seed = 1; seed <= kSequences; ++seed) {
        random.seed(seed);
        model.resetSession();
        loadResult({records::tempoPoint(0, 120), records::tempoPoint(6, 96, true), records::tempoPoint(12, 132)},
                   {0.25});
        model.barOneSeconds.set(0.25);
        const auto start = model.captureEditorState();
        const auto operations = steps();

        std::ostringstream log;
        for (int step = 0; step < kStepsPerSequence; ++step) {
            log << "\n  " << step << ": ";
            operations[pick(operations.size())](log);
            const auto issues = model.tempoMapIssues();
            ASSERT_TRUE(issues.empty()) << "seed " << seed << ": " << issues.front() << " after" << log.str();
            ASSERT_FALSE(model.transactionStart()) << "seed " << seed << log.str();
        }
        while (!model.editHistory().undoEntries().empty()) model.undo();
        EXPECT_EQ(model.captureEditorState(), start) << "seed " << seed << log.str();
    }
}

}  // namespace
}  // namespace corvel::session
