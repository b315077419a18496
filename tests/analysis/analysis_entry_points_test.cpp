#include "analysis/analysis_entry_points.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/music_analyzer.hpp"
#include "audio/test_signals.hpp"
#include "core/tempo_points.hpp"
#include "support/manual_background_runner.hpp"
#include "support/manual_main_loop.hpp"

namespace corvel::analysis {
namespace {

using A = ORVAudioMusicAnalyzer;
using Section = ORVDetectedTempoSection;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

ORVMusicTempoMeasurement measurement(std::vector<Section> sections, bool reliable) {
    ORVMusicTempoMeasurement m;
    m.bpm = 118.35;
    m.confidence = 0.77;
    m.durationSeconds = 93.5;
    m.sections = std::move(sections);
    m.tempoMapReliable = reliable;
    m.beatPositionsSeconds = {0.25, 0.76};
    m.firstMeaningfulAudioSeconds = 0.2;
    m.ambiguous = true;
    m.reason = "Ergebnis bitte pruefen.";
    for (int i = 0; i < 10; ++i) m.candidates.push_back({Uuid::random(), 100.0 + i, 0.9 - 0.05 * i, 0.1, 0.2, 0.3});
    return m;
}

Section section(double start, double bpm, double confidence) { return Section{start, start + 10, bpm, confidence, 4}; }

void expectPoint(const BeatloomTempoPoint& point, double time, double bpm, double confidence) {
    EXPECT_EQ(point.timeSeconds, time);
    EXPECT_EQ(point.bpm, bpm);
    EXPECT_EQ(point.confidence, confidence);
    EXPECT_FALSE(point.linearToNext);
}

TEST(AnalysisResults, ReliableSectionsBecomeTheTempoMapElseOnePointWithTheMeasuredTempo) {
    const std::vector<Section> three{section(0.4, 100, 0.6), section(20.5, 124, 0.8), section(41, 98.5, 0.7)};
    const auto map = makeBeatloomResult(measurement(three, true), "/songs/Live Set/03 Encore.wav");
    EXPECT_TRUE(map.isVariableTempo);
    EXPECT_TRUE(map.tempoMapReliable);
    ASSERT_EQ(map.tempoPoints.size(), 3u);
    expectPoint(map.tempoPoints[0], 0, 100, 0.6);  // the first section's point sits at the song start
    expectPoint(map.tempoPoints[1], 20.5, 124, 0.8);
    expectPoint(map.tempoPoints[2], 41, 98.5, 0.7);

    // Not reliable, or a single section: the measurement's tempo at 0 s.
    for (const auto& [sections, reliable] : {std::pair{three, false}, std::pair{std::vector{section(3, 60, 0.9)}, true}}) {
        const auto single = makeBeatloomResult(measurement(sections, reliable), "/a.wav");
        EXPECT_FALSE(single.isVariableTempo);
        EXPECT_EQ(single.tempoMapReliable, reliable);
        ASSERT_EQ(single.tempoPoints.size(), 1u);
        expectPoint(single.tempoPoints[0], 0, 118.35, 0.77);
    }

    // A later section with a negative or NaN start falls back to 0 s, where normalisation
    // keeps one point.
    for (const double badStart : {-3.0, kNaN}) {
        const std::vector<Section> odd{section(0, 100, 0.6), section(20, 124, 0.8), section(badStart, 90, 0.7)};
        const auto result = makeBeatloomResult(measurement(odd, true), "/a.wav");
        ASSERT_EQ(result.tempoPoints.size(), 2u);
        EXPECT_EQ(result.tempoPoints[0].timeSeconds, 0.0);
        EXPECT_TRUE(result.tempoPoints[0].bpm == 100 || result.tempoPoints[0].bpm == 90);
        EXPECT_EQ(result.tempoPoints[1].timeSeconds, 20.0);
    }
}

TEST(AnalysisResults, TempiOutsideTheEditorsRangeAreFoldedByOctaves) {
    // The editor refuses tempi outside 30...300 BPM; the map holds the nearest octave in range.
    const std::vector<Section> sections{section(0, 320, 0.6), section(10, 25, 0.8), section(20, 300, 0.7),
                                        section(30, 29.9, 0.7), section(40, 600.2, 0.7)};
    const auto map = makeBeatloomResult(measurement(sections, true), "/a.wav");
    ASSERT_EQ(map.tempoPoints.size(), 5u);
    const double expected[] = {160, 50, 300, 59.8, 150.05};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_DOUBLE_EQ(map.tempoPoints[i].bpm, expected[i]) << i;
    EXPECT_TRUE(tempoMapIssues(map.tempoPoints, 93.5).empty());

    auto fast = measurement({}, false);
    fast.bpm = 340.5;
    EXPECT_EQ(makeBeatloomResult(fast, "/a.wav").tempoPoints[0].bpm, 170.25);
    EXPECT_EQ(makeBeatloomResult(fast, "/a.wav").bpm, 340.5);  // the measured tempo itself is reported as is
}

TEST(AnalysisResults, RampingSectionsBecomeRampingPoints) {
    std::vector<Section> ramp{section(0.1, 96, 0.8), section(50, 144, 0.8)};
    ramp[0].linearToNext = true;
    ramp[1].linearToNext = true;  // the last point never ramps
    const auto map = makeBeatloomResult(measurement(ramp, true), "/a.wav");
    ASSERT_EQ(map.tempoPoints.size(), 2u);
    EXPECT_TRUE(map.tempoPoints[0].linearToNext);
    EXPECT_FALSE(map.tempoPoints[1].linearToNext);
    EXPECT_DOUBLE_EQ(bpmAt(map.tempoPoints, 25, 0), 120);

    // A ramp that starts beats after the song does is held steady until then.
    ramp[0].startSeconds = 8;
    const auto late = makeBeatloomResult(measurement(ramp, true), "/a.wav");
    ASSERT_EQ(late.tempoPoints.size(), 3u);
    EXPECT_FALSE(late.tempoPoints[0].linearToNext);
    EXPECT_EQ(late.tempoPoints[1].timeSeconds, 8.0);
    EXPECT_TRUE(late.tempoPoints[1].linearToNext);
    EXPECT_DOUBLE_EQ(bpmAt(late.tempoPoints, 4, 0), 96);
    EXPECT_DOUBLE_EQ(bpmAt(late.tempoPoints, 29, 0), 120);
}

TEST(AnalysisResults, WholeFileResultCopiesTheMeasurementAndTheFirstEightCandidates) {
    const auto m = measurement({}, false);
    const auto result = makeBeatloomResult(m, "/songs/Live Set/03 Encore.wav");
    EXPECT_EQ(result.fileName, "03 Encore.wav");
    EXPECT_EQ(result.bpm, 118.35);
    EXPECT_EQ(result.confidence, 0.77);
    EXPECT_EQ(result.durationSeconds, 93.5);
    EXPECT_EQ(result.beatPositionsSeconds, m.beatPositionsSeconds);
    EXPECT_EQ(result.firstMeaningfulAudioSeconds, 0.2);
    EXPECT_TRUE(result.ambiguous);
    EXPECT_EQ(result.reason, m.reason);
    ASSERT_EQ(result.candidates.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(result.candidates[i].bpm, m.candidates[i].bpm);
        EXPECT_EQ(result.candidates[i].score, m.candidates[i].score);
        EXPECT_NE(result.candidates[i].id, m.candidates[i].id);
    }
}

TEST(AnalysisResults, RangeResultMovesThePointsToSongTimeWithoutNormalising) {
    const BeatloomTimeRange target{40, 52};
    const BeatloomTimeRange context{28, 64};
    const std::vector<Section> two{section(0, 100, 0.6), section(9.5, 124, 0.8)};
    const auto result = makeBeatloomRangeAnalysisResult(measurement(two, true), target, context);
    EXPECT_EQ(result.targetRange, target);
    EXPECT_EQ(result.contextRange, context);
    ASSERT_EQ(result.tempoPoints.size(), 2u);
    expectPoint(result.tempoPoints[0], 28, 100, 0.6);
    expectPoint(result.tempoPoints[1], 37.5, 124, 0.8);
    EXPECT_EQ(result.confidence, 0.77);
    EXPECT_TRUE(result.ambiguous);
    EXPECT_EQ(result.reason, "Ergebnis bitte pruefen.");

    const auto single = makeBeatloomRangeAnalysisResult(measurement(two, false), target, context);
    ASSERT_EQ(single.tempoPoints.size(), 1u);
    expectPoint(single.tempoPoints[0], 28, 118.35, 0.77);
}

TEST(AnalysisResults, SelectionIsClampedAndGetsAContextOfHalfItsLengthWithin12To24Seconds) {
    struct Case {
        double start, end, duration;
        BeatloomTimeRange target, context;
    };
    const Case cases[] = {
        {10, 14, 200, {10, 14}, {0, 26}},
        {50, 110, 120, {50, 110}, {26, 120}},
        {100, 140, 300, {100, 140}, {80, 160}},   // margin 20
        {-5, 4, 100, {0, 4}, {0, 16}},            // exactly 4 s is enough
        {kNaN, 30, 100, {0, 30}, {0, 45}},
        {90, 150, 100, {90, 100}, {78, 100}},     // cut at the song's end
    };
    for (const auto& c : cases) {
        const auto spans = A::rangeAnalysisSpans(c.start, c.end, c.duration);
        EXPECT_EQ(spans.target, c.target) << c.start << " " << c.end;
        EXPECT_EQ(spans.context, c.context) << c.start << " " << c.end;
    }
    const double tooShort[][3] = {{20, 10, 100}, {-5, 3.5, 100}, {10, kNaN, 100}, {0, 30, kNaN}, {98, 110, 100}};
    for (const auto& c : tooShort) {
        try {
            A::rangeAnalysisSpans(c[0], c[1], c[2]);
            ADD_FAILURE() << c[0] << " " << c[1] << " " << c[2];
        } catch (const ErrorException& e) {
            EXPECT_EQ(e.error(), (Error{"ORVBeatloom", 2301, "Select at least 4 seconds for re-analysis."}));
        }
    }
}

// --- the asynchronous entries ---

// One song as WAV, FLAC, MP3, M4A and Ogg: every decoder puts its first sample in the same
// place, while lossy coding smears each attack a little ahead, across the edge of an analysis
// frame. Bar 1 and every beat stay within a millisecond of the WAV's, on the song's beats.
TEST(AnalysisFiles, OneSongHasOneGridInEveryFormat) {
    audio::testkit::TempFolder folder("grid-formats");
    constexpr double kSeconds = 20;
    constexpr double kFirstBeat = 0.35;  // 1.7 ms into a frame of 11.6 ms
    const auto wav = folder / "song.wav";
    audio::testkit::writeWav(wav, audio::testkit::groove(44100, 2, kSeconds, audio::testkit::steadyBeats(120, kSeconds, kFirstBeat)));
    const BeatloomResult reference = A::analyzedFile(wav);
    ASSERT_FALSE(reference.beatPositionsSeconds.empty());
    EXPECT_NEAR(reference.beatPositionsSeconds.front(), kFirstBeat, 0.002);

    for (const auto& [name, options] : std::vector<std::pair<std::string, std::string>>{
             {"song.flac", "-c:a flac"},
             {"song.mp3", "-c:a libmp3lame -b:a 192k"},
             {"song.m4a", "-c:a aac -b:a 160k"},
             {"song.ogg", "-c:a libvorbis -q:a 4"}}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(audio::testkit::runFFmpeg("-i " + audio::testkit::quoted(wav) + " " + options + " " +
                                       audio::testkit::quoted(folder / name)));
        const BeatloomResult result = A::analyzedFile(folder / name);
        EXPECT_EQ(result.bpm, reference.bpm);
        const auto& beats = result.beatPositionsSeconds;
        const auto& expected = reference.beatPositionsSeconds;
        ASSERT_FALSE(beats.empty());
        EXPECT_NEAR(beats.front(), expected.front(), 0.001) << "Bar 1";
        EXPECT_LE(std::max(beats.size(), expected.size()) - std::min(beats.size(), expected.size()), 1u);
        for (std::size_t i = 0; i < std::min(beats.size(), expected.size()); ++i) {
            ASSERT_NEAR(beats[i], expected[i], 0.001) << "beat " << i;
        }
    }
}

// Runs every job at once on a thread of its own, as the application's pool may.
class ThreadPerJobRunner final : public platform::BackgroundRunner {
public:
    ~ThreadPerJobRunner() override { joinAll(); }
    void run(Job job) override { threads_.emplace_back(std::move(job)); }
    void joinAll() {
        for (auto& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    std::vector<std::thread> threads_;
};

class AnalysisEntries : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new audio::testkit::TempFolder("analysis-entries");
        // 100 BPM for 30 s, then 132 BPM, over a quiet noise bed.
        audio::testkit::Signal song = audio::testkit::concatenated(audio::testkit::clicks(44100, 2, 30, 100, 0.8, 0.3),
                                                     audio::testkit::clicks(44100, 2, 30, 132, 0.8, 0.3));
        const audio::testkit::Signal bed = audio::testkit::noise(44100, 2, song.frames(), 0.05);
        for (std::size_t i = 0; i < song.interleaved.size(); ++i) song.interleaved[i] += bed.interleaved[i];
        audio::testkit::writeWav(songFile(), song);
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    static std::filesystem::path songFile() { return *folder_ / "change.wav"; }

    static audio::testkit::TempFolder* folder_;
    testing::ManualBackgroundRunner runner_;
    testing::ManualMainLoop loop_;
};
audio::testkit::TempFolder* AnalysisEntries::folder_ = nullptr;

TEST_F(AnalysisEntries, FileIsAnalysedOffTheMainLoopAndAnsweredOnIt) {
    std::optional<A::FileOutcome> outcome;
    A::analyzeFile(runner_, loop_, songFile(), [&](A::FileOutcome o) { outcome = std::move(o); });
    EXPECT_EQ(loop_.runPostedTasks(), 0u);
    ASSERT_EQ(runner_.runPendingJobs(), 1u);
    EXPECT_FALSE(outcome.has_value());  // the answer waits for the main loop
    loop_.runPostedTasks();
    ASSERT_TRUE(outcome.has_value());
    const auto* result = std::get_if<BeatloomResult>(&*outcome);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->fileName, "change.wav");
    EXPECT_NEAR(result->durationSeconds, 60, 1e-9);
    EXPECT_TRUE(result->isVariableTempo);
    ASSERT_GE(result->tempoPoints.size(), 2u);
    EXPECT_EQ(result->tempoPoints[0].timeSeconds, 0.0);
    EXPECT_NEAR(result->tempoPoints[0].bpm, 100, 1.0);
    EXPECT_NEAR(result->tempoPoints[1].timeSeconds, 30, 2.5);
    EXPECT_NEAR(result->tempoPoints.back().bpm, 132, 3.0);
}

TEST_F(AnalysisEntries, ErrorsReachTheCompletionUnchanged) {
    const auto missing = *folder_ / "missing.wav";
    Error direct;
    try {
        A::analyze(missing);
    } catch (const ErrorException& e) {
        direct = e.error();
    }
    ASSERT_FALSE(direct.domain.empty());

    const auto shortFile = *folder_ / "short.wav";
    audio::testkit::writeWav(shortFile, audio::testkit::clicks(44100, 1, 2, 120));
    std::vector<A::FileOutcome> outcomes;
    for (const auto& file : {missing, shortFile}) {
        A::analyzeFile(runner_, loop_, file, [&](A::FileOutcome o) { outcomes.push_back(std::move(o)); });
    }
    runner_.runPendingJobs();
    loop_.runPostedTasks();
    ASSERT_EQ(outcomes.size(), 2u);
    ASSERT_TRUE(std::holds_alternative<Error>(outcomes[0]));
    EXPECT_EQ(std::get<Error>(outcomes[0]), direct);
    ASSERT_TRUE(std::holds_alternative<Error>(outcomes[1]));
    EXPECT_EQ(std::get<Error>(outcomes[1]),
              (Error{"ORVBeatloom", 2001, "The audio is too short for a musical tempo analysis."}));
}

TEST_F(AnalysisEntries, SelectionIsAnalysedInItsContextAndItsPointsStartThere) {
    std::optional<A::RangeOutcome> outcome;
    A::analyzeRange(runner_, loop_, songFile(), 34, 58, 60, [&](A::RangeOutcome o) { outcome = std::move(o); });
    runner_.runPendingJobs();
    loop_.runPostedTasks();
    ASSERT_TRUE(outcome.has_value());
    const auto* result = std::get_if<BeatloomRangeAnalysisResult>(&*outcome);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->targetRange, (BeatloomTimeRange{34, 58}));
    EXPECT_EQ(result->contextRange, (BeatloomTimeRange{22, 60}));
    ASSERT_FALSE(result->tempoPoints.empty());
    EXPECT_EQ(result->tempoPoints[0].timeSeconds, 22.0);
    EXPECT_NEAR(result->tempoPoints.back().bpm, 132, 3.0);
}

TEST_F(AnalysisEntries, ShortSelectionStartsNoJobAndIsAnsweredOnTheMainLoop) {
    std::optional<A::RangeOutcome> outcome;
    A::analyzeRange(runner_, loop_, songFile(), 10, 13.5, 60, [&](A::RangeOutcome o) { outcome = std::move(o); });
    EXPECT_EQ(runner_.pendingJobCount(), 0u);
    EXPECT_FALSE(outcome.has_value());
    loop_.runPostedTasks();
    ASSERT_TRUE(outcome.has_value());
    ASSERT_TRUE(std::holds_alternative<Error>(*outcome));
    EXPECT_EQ(std::get<Error>(*outcome).code, 2301);
}

TEST_F(AnalysisEntries, OverlappingAnalysesGiveTheSameResults) {
    ThreadPerJobRunner threads;
    std::vector<A::FileOutcome> outcomes;
    for (int i = 0; i < 3; ++i) {
        A::analyzeFile(threads, loop_, songFile(), [&](A::FileOutcome o) { outcomes.push_back(std::move(o)); });
    }
    threads.joinAll();
    loop_.runPostedTasks();
    ASSERT_EQ(outcomes.size(), 3u);
    const auto& first = std::get<BeatloomResult>(outcomes[0]);
    for (const auto& outcome : outcomes) {
        const auto& result = std::get<BeatloomResult>(outcome);
        EXPECT_EQ(result.bpm, first.bpm);
        EXPECT_EQ(result.confidence, first.confidence);
        EXPECT_EQ(result.reason, first.reason);
        EXPECT_EQ(result.beatPositionsSeconds, first.beatPositionsSeconds);
        ASSERT_EQ(result.tempoPoints.size(), first.tempoPoints.size());
        for (std::size_t i = 0; i < result.tempoPoints.size(); ++i) {
            EXPECT_EQ(result.tempoPoints[i].timeSeconds, first.tempoPoints[i].timeSeconds);
            EXPECT_EQ(result.tempoPoints[i].bpm, first.tempoPoints[i].bpm);
        }
    }
}

}  // namespace
}  // namespace corvel::analysis
