#include "audio/preview/preview_player.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <thread>

#include <gtest/gtest.h>

#include "audio/preview/portaudio_output.hpp"
#include "audio/test_signals.hpp"
#include "common/error.hpp"
#include "support/core_records.hpp"
#include "support/manual_background_runner.hpp"
#include "support/manual_main_loop.hpp"

namespace corvel::audio {
namespace {

using namespace testkit;
using corvel::testing::ManualMainLoop;
using BeatloomTimeline::ClickEvent;
using State = BeatloomPreviewTransportState;
namespace records = corvel::testing;

constexpr double kRate = 48000;
constexpr std::int64_t kDelayFrames = 3840;  // 0.08 s at 48 kHz
constexpr double kDefaultVolume = 1.5;

// A 4/4 map at 120 BPM with Bar 1 at 0 s.
struct Map : PreviewClickMap {
    Map() {
        tempoPoints = {records::tempoPoint(0, 120)};
        meterEvents = {records::meter(0, 4, 4)};
        barOneSeconds = 0.0;
    }
};

std::vector<ClickEvent> clicksOf(const Map& map, double duration) {
    return BeatloomPreviewPlayer::clickEvents(map, duration);
}

std::vector<double> timesOf(const std::vector<ClickEvent>& clicks) {
    std::vector<double> times;
    for (const auto& click : clicks) times.push_back(click.timeSeconds);
    return times;
}

std::vector<double> accentTimesOf(const std::vector<ClickEvent>& clicks) {
    std::vector<double> times;
    for (const auto& click : clicks) {
        if (click.accent) times.push_back(click.timeSeconds);
    }
    return times;
}

std::vector<double> every(double first, double step, double last) {
    std::vector<double> times;
    for (double t = first; t <= last + 1e-9; t += step) times.push_back(t);
    return times;
}

void expectTimes(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-9) << "click " << i;
}

TEST(BeatloomPreviewTransportState, RawValuesRoundTripAndOthersGiveNothing) {
    for (const State state : allCases<State>()) EXPECT_EQ(fromRawValue<State>(rawValue(state)), state);
    EXPECT_EQ(rawValue(State::paused), "paused");
    EXPECT_FALSE(fromRawValue<State>("Playing"));
    EXPECT_FALSE(fromRawValue<State>(""));
}

// ---- The click track ----

TEST(PreviewClickTrack, FourFourClicksEveryBeatWithTheDownbeatsAccented) {
    const auto clicks = clicksOf(Map{}, 4.2);
    expectTimes(timesOf(clicks), every(0.0, 0.5, 4.0));
    expectTimes(accentTimesOf(clicks), {0.0, 2.0, 4.0});
}

TEST(PreviewClickTrack, SixEightClicksOnDottedQuartersTwoPerBar) {
    Map map;
    map.meterEvents = {records::meter(0, 6, 8)};
    const auto clicks = clicksOf(map, 3.1);
    expectTimes(timesOf(clicks), every(0.0, 0.75, 3.0));
    expectTimes(accentTimesOf(clicks), {0.0, 1.5, 3.0});
}

TEST(PreviewClickTrack, PickupBarsMoveTheFirstClickBeforeBarOne) {
    Map map;
    map.barOneSeconds = 2.0;
    expectTimes(timesOf(clicksOf(map, 3.0)), every(2.0, 0.5, 3.0));
    map.pickupBarCount = 1;
    const auto clicks = clicksOf(map, 3.0);
    expectTimes(timesOf(clicks), every(0.0, 0.5, 3.0));
    expectTimes(accentTimesOf(clicks), {0.0, 2.0});
}

TEST(PreviewClickTrack, FreeTimeAndRubatoRulesApplyAfterTheMeteredClicks) {
    Map map;
    const auto free = records::region(1.0, 2.0, BeatloomTimelineMode::free);
    map.regions = {free};
    map.rhythmicAnchors = {records::rhythmicAnchor(free, 1.2, std::nullopt, std::nullopt,
                                                   BeatloomRhythmicAnchorKind::downbeat)};
    // Mode off: the region is silent; its end belongs to the metered grid again.
    expectTimes(timesOf(clicksOf(map, 3.0)), {0.0, 0.5, 2.0, 2.5, 3.0});
    map.freeTimeClickMode = BeatloomFreeTimeClickMode::anchorOnly;
    const auto clicks = clicksOf(map, 3.0);
    expectTimes(timesOf(clicks), {0.0, 0.5, 1.2, 2.0, 2.5, 3.0});
    expectTimes(accentTimesOf(clicks), {0.0, 1.2, 2.0});
}

TEST(PreviewClickTrack, NoMeteredGridMeansNoClicksAtAll) {
    Map map;
    map.tempoPoints.clear();
    const auto free = records::region(0.0, 1.0, BeatloomTimelineMode::free);
    map.regions = {free};
    map.rhythmicAnchors = {records::rhythmicAnchor(free, 0.5, std::nullopt)};
    map.freeTimeClickMode = BeatloomFreeTimeClickMode::anchorOnly;
    EXPECT_TRUE(clicksOf(map, 3.0).empty());
    EXPECT_TRUE(clicksOf(Map{}, 0.0).empty());
}

TEST(PreviewClickTrack, AbsurdPickupCountCostsNothingAndStartsAtBarOne) {
    Map map;
    map.barOneSeconds = 1.0;
    map.pickupBarCount = std::int64_t(1) << 50;
    const auto start = std::chrono::steady_clock::now();
    const auto clicks = clicksOf(map, 2.0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    expectTimes(timesOf(clicks), every(1.0, 0.5, 2.0));
}

// ---- The click sound ----

TEST(PreviewClickBuffer, LastsThirtyMillisecondsButAtLeastSixtyFourFrames) {
    struct Case {
        double rate;
        std::uint32_t frames;
    };
    for (const Case c : {Case{48000, 1440}, Case{44100, 1323}, Case{1000, 64}}) {
        const auto buffer = BeatloomPreviewPlayer::makeClickBuffer({c.rate, 2}, 1650, 0.38);
        ASSERT_TRUE(buffer) << c.rate;
        EXPECT_EQ(buffer->frameLength(), c.frames) << c.rate;
    }
    EXPECT_FALSE(BeatloomPreviewPlayer::makeClickBuffer({0, 2}, 1650, 0.38));
    EXPECT_FALSE(BeatloomPreviewPlayer::makeClickBuffer({48000, 0}, 1650, 0.38));
}

TEST(PreviewClickBuffer, IsADecayingSineOnEveryChannel) {
    const auto buffer = BeatloomPreviewPlayer::makeClickBuffer({48000, 2}, 2350, 0.55);
    ASSERT_TRUE(buffer);
    for (const std::uint32_t i : {0u, 1u, 7u, 100u, 1439u}) {
        const double t = i / 48000.0;
        const double expected = std::sin(2 * std::numbers::pi * 2350 * t) * std::exp(-95 * t) * 0.55;
        EXPECT_NEAR(buffer->channel(0)[i], expected, 1e-7) << i;
        EXPECT_EQ(buffer->channel(1)[i], buffer->channel(0)[i]) << i;
    }
}

// ---- Playback through the offline device ----

// An output around another that can refuse to start or report no sample rate.
class AlteredOutput final : public PreviewOutput {
public:
    AlteredOutput(std::unique_ptr<PreviewOutput> inner, std::optional<Error> startError,
                  std::optional<double> reportedRate)
        : inner_(std::move(inner)), startError_(std::move(startError)), reportedRate_(reportedRate) {}
    PreviewOutputFormat format() const override {
        auto format = inner_->format();
        if (reportedRate_) format.sampleRate = *reportedRate_;
        return format;
    }
    bool rendersOnCallerThread() const override { return inner_->rendersOnCallerThread(); }
    void start(PreviewRenderSource& source) override {
        if (startError_) throw ErrorException(*startError_);
        inner_->start(source);
    }
    void pause() override { inner_->pause(); }
    void stop() override { inner_->stop(); }

private:
    std::unique_ptr<PreviewOutput> inner_;
    std::optional<Error> startError_;
    std::optional<double> reportedRate_;
};

class PreviewPlayer : public ::testing::Test {
protected:
    PreviewPlayer() { player = makePlayer(); }

    std::unique_ptr<BeatloomPreviewPlayer> makePlayer() {
        auto factory = [this](double rate) -> std::unique_ptr<PreviewOutput> {
            ++outputsOpened;
            if (openError) throw ErrorException(*openError);
            auto output = device->outputFactory()(rate);
            if (!startError && !reportedOutputRate) return output;
            return std::make_unique<AlteredOutput>(std::move(output), startError, reportedOutputRate);
        };
        auto opener = [this](const std::filesystem::path&) -> std::unique_ptr<AudioSource> {
            ++filesOpened;
            auto source = std::make_unique<MemorySource>(file);
            source->reportedSampleRate = reportedFileRate;
            if (alterFile) alterFile(*source);
            return source;
        };
        return std::make_unique<BeatloomPreviewPlayer>(loop, factory, opener);
    }

    void play(double start, double end, const Map& map = Map{}) {
        player->play(song, map, BeatloomTimeRange{start, end});
    }

    State state() const { return player->transportState().value(); }
    double position() const { return player->currentPlaybackSeconds().value(); }

    // The sample of one frame and channel of a rendered block.
    float at(const std::vector<float>& rendered, std::int64_t frame, std::uint32_t channel = 0) const {
        return rendered[std::size_t(frame) * device->channelCount() + channel];
    }

    // What the click source alone adds to a block that starts `firstFrame` output frames after
    // the sources' start: each click's buffer times the volume, from its sample time on.
    std::vector<float> expectedClicks(const std::vector<std::pair<double, bool>>& clicks, double start,
                                      std::int64_t firstFrame, std::int64_t frames, float volume) const {
        const auto normal = BeatloomPreviewPlayer::makeClickBuffer({kRate, 2}, 1650, 0.38);
        const auto accent = BeatloomPreviewPlayer::makeClickBuffer({kRate, 2}, 2350, 0.55);
        std::vector<float> expected(std::size_t(frames) * 2, 0.0f);
        for (const auto& [time, isAccent] : clicks) {
            const auto& buffer = isAccent ? *accent : *normal;
            const std::int64_t at = std::llround((time - start) * kRate) - firstFrame;
            for (std::int64_t i = 0; i < buffer.frameLength(); ++i) {
                if (at + i < 0 || at + i >= frames) continue;
                for (std::size_t c = 0; c < 2; ++c) expected[std::size_t(at + i) * 2 + c] += buffer.channel(0)[i] * volume;
            }
        }
        return expected;
    }

    ManualMainLoop loop;
    std::shared_ptr<OfflinePreviewDevice> device = OfflinePreviewDevice::make(2, 256);
    Signal file = silence(kRate, 1, std::int64_t(kRate * 4));  // 4 s
    std::optional<double> reportedFileRate;
    std::function<void(MemorySource&)> alterFile;
    std::optional<double> reportedOutputRate;
    std::optional<Error> openError;
    std::optional<Error> startError;
    int outputsOpened = 0;
    std::atomic<int> filesOpened = 0;
    // The player keeps a file open from one playback to the next: a test that changes what
    // the file holds names another file.
    std::filesystem::path song = "song.wav";
    std::unique_ptr<BeatloomPreviewPlayer> player;
};

// Each frame carries its own index, so a misplaced frame shows.
Signal numberedFrames(std::uint32_t channels, std::int64_t frames) {
    Signal signal{kRate, channels, {}};
    for (std::int64_t i = 0; i < frames; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            signal.interleaved.push_back(static_cast<float>(i) / 1e6f * (c == 0 ? 1.0f : -1.0f));
        }
    }
    return signal;
}

TEST_F(PreviewPlayer, ClicksLandOnTheirSamplesFromTheStartWithTheirAccentAndLevel) {
    play(1.0, 4.0);
    ASSERT_EQ(state(), State::playing);
    const std::int64_t frames = kDelayFrames + std::int64_t(3.1 * kRate);
    const auto rendered = device->render(frames);
    // Nothing before the 0.08 s start delay; the first click is the unaccented one at 1.0 s.
    std::vector<std::pair<double, bool>> clicks;
    for (double t = 1.0; t <= 4.0 + 1e-9; t += 0.5) clicks.emplace_back(t, std::fmod(t, 2.0) == 0.0);
    const auto expected = expectedClicks(clicks, 1.0, -kDelayFrames, frames, kDefaultVolume);
    EXPECT_EQ(rendered, expected);
    EXPECT_EQ(at(rendered, kDelayFrames - 1), 0.0f);
    EXPECT_NE(at(rendered, kDelayFrames + 1), 0.0f);
}

TEST_F(PreviewPlayer, FileAudioStartsAtTheSegmentsFirstFrameOnEveryChannel) {
    for (const std::uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        file = numberedFrames(channels, std::int64_t(kRate * 4));
        song = channels == 1 ? "mono.wav" : "stereo.wav";
        player->setClickEnabled(false);
        // Two and a half seconds: longer than the stream's ring.
        play(1.25, 3.75);
        const std::int64_t firstFrame = 60000, segment = 120000;
        const auto rendered = device->render(kDelayFrames + segment + 1000);
        EXPECT_EQ(at(rendered, kDelayFrames - 1), 0.0f);
        std::int64_t misplaced = 0;
        for (std::int64_t n = 0; n < segment; ++n) {
            const float left = at(rendered, kDelayFrames + n, 0);
            const float right = at(rendered, kDelayFrames + n, 1);
            misplaced += left != file.at(firstFrame + n, 0) || right != file.at(firstFrame + n, channels - 1);
        }
        EXPECT_EQ(misplaced, 0);
        EXPECT_EQ(at(rendered, kDelayFrames + segment), 0.0f);  // the segment has ended
        player->stop();
    }
}

TEST_F(PreviewPlayer, AFileIsOpenedOnceAheadAndKeptOpenForEveryPlay) {
    file = numberedFrames(1, std::int64_t(kRate * 4));
    player->setClickEnabled(false);
    corvel::testing::ManualBackgroundRunner runner;
    player->prepare(song, runner);
    EXPECT_EQ(filesOpened, 0);  // on the runner, not here
    runner.runPendingJobs();
    EXPECT_EQ(filesOpened, 1);
    player->prepare(song, runner);  // open already
    EXPECT_EQ(runner.pendingJobCount(), 0u);

    // Each playback seeks the kept file to its own start.
    for (const double start : {1.0, 2.5, 0.5}) {
        SCOPED_TRACE(start);
        play(start, 4.0);
        const auto rendered = device->render(kDelayFrames + 1000);
        const std::int64_t firstFrame = std::llround(start * kRate);
        for (const std::int64_t n : {0, 1, 999}) EXPECT_EQ(at(rendered, kDelayFrames + n), file.at(firstFrame + n, 0));
        player->stop();
    }
    play(4.0, 4.5);  // nothing to play: the file stays open all the same
    play(1.0, 4.0);
    EXPECT_EQ(filesOpened, 1);

    // Let go by reset: the next play opens the file itself, and keeps it.
    player->reset();
    play(1.0, 4.0);
    play(2.0, 4.0);
    EXPECT_EQ(filesOpened, 2);

    // A play that comes before the opening has run opens the file itself.
    player->reset();
    song = "other.wav";
    player->prepare(song, runner);
    play(1.0, 4.0);
    EXPECT_EQ(filesOpened, 3);
    runner.runPendingJobs();
    EXPECT_EQ(state(), State::playing);
}

TEST_F(PreviewPlayer, FileThatCannotStreamLeavesTheClicksOnTheirSamples) {
    struct Case {
        const char* label;
        std::function<void(MemorySource&)> alter;
    };
    const std::vector<Case> cases{
        {"no buffer", [](MemorySource& s) { s.failBuffer = true; }},
        {"no channels", [](MemorySource& s) { s.reportedChannels = 0; }},
        {"reads nothing", [](MemorySource& s) { s.deliversNothing = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        alterFile = c.alter;
        song = std::string(c.label) + ".wav";
        play(1.0, 4.0);
        const std::int64_t frames = kDelayFrames + 30000;
        EXPECT_EQ(device->render(frames),
                  expectedClicks({{1.0, false}, {1.5, false}}, 1.0, -kDelayFrames, frames, kDefaultVolume));
    }
}

// The rates an output tries, in order: the material's, the device's default, 48 and 44.1 kHz.
TEST(PreviewOutputRates, MaterialRateFirstThenTheDevicesThenTheCommonOnesEachOnce) {
    struct Case {
        double wanted, deviceDefault;
        std::vector<double> rates;
    };
    for (const Case& c : {Case{8000, 96000, {8000, 96000, 48000, 44100}}, Case{192000, 44100, {192000, 44100, 48000}},
                          Case{48000, 48000, {48000, 44100}}, Case{22050, 0, {22050, 48000, 44100}},
                          Case{0, -1, {48000, 44100}}}) {
        EXPECT_EQ(previewOutputRates(c.wanted, c.deviceDefault), c.rates) << c.wanted << " " << c.deviceDefault;
    }
}

TEST_F(PreviewPlayer, DeviceThatTakesOneRateOnlyPlaysTheFileConvertedAndTheClicksOnTheirSamples) {
    // The sources start 0.08 s after play at 48 kHz; the span 1.0 ... 2.9 s holds clicks at
    // 1.0, 1.5, 2.0 (accented) and 2.5 s.
    const std::int64_t segment = std::int64_t(1.9 * kRate);
    const std::int64_t edge = 400;  // where the converter's filter meets the segment's ends
    for (const double fileRate : {8000.0, 22050.0, 192000.0}) {
        SCOPED_TRACE(fileRate);
        device = OfflinePreviewDevice::make(2, 256, kRate);
        file = sine(fileRate, 1, std::int64_t(fileRate * 4), 440, 0.25);
        song = "sine" + std::to_string(int(fileRate)) + ".wav";
        player = makePlayer();
        play(1.0, 2.9);
        const auto rendered = device->render(kDelayFrames + segment + 2000);
        const auto clicks = expectedClicks({{1.0, false}, {1.5, false}, {2.0, true}, {2.5, false}}, 1.0,
                                           -kDelayFrames, kDelayFrames + segment + 2000, kDefaultVolume);
        // What is left after the clicks is the file at 48 kHz, from the span's start.
        double worst = 0;
        for (std::int64_t n = edge; n < segment - edge; ++n) {
            const double music = 0.25 * std::sin(2 * std::numbers::pi * 440 * (1.0 + double(n) / kRate));
            for (std::uint32_t c = 0; c < 2; ++c) {
                const std::size_t i = std::size_t(kDelayFrames + n) * 2 + c;
                worst = std::max(worst, std::abs(double(rendered[i]) - double(clicks[i]) - music));
            }
        }
        EXPECT_LT(worst, 1e-4);
        EXPECT_EQ(at(rendered, kDelayFrames - 1), 0.0f);
        // The file ends with the span (the last click has sounded out by then).
        for (const std::int64_t n : {segment + 40, segment + 1999}) EXPECT_EQ(at(rendered, kDelayFrames + n), 0.0f);
        EXPECT_DOUBLE_EQ(player->updatePlaybackPosition(), 1.0 + double(segment + 2000) / kRate);
    }
}

TEST_F(PreviewPlayer, StreamThatFallsBehindLeavesAGapButNeverShiftsTheFile) {
    // A first block larger than the stream's ring (65536 frames) runs dry 624 frames before
    // its end; the blocks after it are small enough for the stream to catch up.
    device = OfflinePreviewDevice::make(2, 100000);
    file = numberedFrames(1, std::int64_t(kRate * 6));
    player = makePlayer();
    player->setClickEnabled(false);
    play(0.5, 5.5);
    std::vector<float> rendered = device->render(70000);
    for (int i = 0; i < 5; ++i) {
        const auto more = device->render(40000);
        rendered.insert(rendered.end(), more.begin(), more.end());
    }
    std::int64_t gap = 0, shifted = 0;
    for (std::int64_t n = kDelayFrames; n < kDelayFrames + 240000; ++n) {  // the 5-s segment
        const float sample = at(rendered, n);
        if (sample == 0.0f) ++gap;
        else shifted += sample != file.at(24000 + n - kDelayFrames, 0);
    }
    EXPECT_EQ(gap, 624);
    EXPECT_EQ(shifted, 0);
}

TEST_F(PreviewPlayer, SpanIsCutToTheFileAndTheStopTimerEndsItJustAfter) {
    struct Case {
        double start, end;
        std::optional<double> playedFrom;  // none: nothing plays
        double span;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Case c : {Case{1.0, 99.0, 1.0, 3.0}, Case{-2.0, 1.0, 0.0, 1.0}, Case{nan, 0.5, 0.0, 0.5},
                         Case{1.0, nan, 1.0, 3.0}, Case{5.0, 4.0, std::nullopt, 0}, Case{4.0, 4.5, std::nullopt, 0},
                         Case{1.0, 1.001, std::nullopt, 0}}) {
        SCOPED_TRACE(::testing::Message() << c.start << "..." << c.end);
        player = makePlayer();
        ASSERT_NO_THROW(play(c.start, c.end));
        if (!c.playedFrom) {
            EXPECT_EQ(state(), State::stopped);
            EXPECT_EQ(loop.runningTimerCount(), 0u);
            continue;
        }
        EXPECT_EQ(state(), State::playing);
        EXPECT_DOUBLE_EQ(position(), *c.playedFrom);
        loop.advanceSeconds(c.span + 0.15 - 0.005);
        EXPECT_EQ(state(), State::playing);
        loop.advanceSeconds(0.01);
        EXPECT_EQ(state(), State::stopped);
        EXPECT_EQ(loop.runningTimerCount(), 0u);
    }
}

TEST_F(PreviewPlayer, PlayHeadFollowsTheRenderedFramesAndThePositionTimerStoresIt) {
    play(1.0, 4.0);
    // Before the sources start the play head stands before the start.
    device->render(kDelayFrames / 2);
    EXPECT_DOUBLE_EQ(player->updatePlaybackPosition(), 1.0 - 0.04);
    device->render(kDelayFrames / 2 + 24000);
    EXPECT_DOUBLE_EQ(player->updatePlaybackPosition(), 1.5);
    EXPECT_DOUBLE_EQ(position(), 1.0);  // not stored by asking
    std::vector<double> published;
    const Subscription subscription =
        player->currentPlaybackSeconds().subscribe([&](double seconds) { published.push_back(seconds); });
    loop.advanceSeconds(1.0 / 30.0);
    EXPECT_EQ(published, std::vector<double>{1.5});
}

TEST_F(PreviewPlayer, PauseHoldsThePlayHeadAndResumeContinuesWithTheRestOfTheSpan) {
    play(1.0, 4.0);
    device->render(kDelayFrames + 24000);
    player->pause();
    EXPECT_EQ(state(), State::paused);
    EXPECT_DOUBLE_EQ(position(), 1.5);
    EXPECT_EQ(loop.runningTimerCount(), 0u);
    EXPECT_FALSE(device->isRunning());
    loop.advanceSeconds(10);
    EXPECT_EQ(state(), State::paused);

    player->pause();  // paused already: nothing
    EXPECT_EQ(state(), State::paused);
    player->resume();
    EXPECT_EQ(state(), State::playing);
    device->render(24000);
    EXPECT_DOUBLE_EQ(player->updatePlaybackPosition(), 2.0);
    // 2.5 s were left at the pause: the stop timer fires 0.15 s after them.
    loop.advanceSeconds(2.65 - 0.005);
    EXPECT_EQ(state(), State::playing);
    loop.advanceSeconds(0.01);
    EXPECT_EQ(state(), State::stopped);
    EXPECT_DOUBLE_EQ(position(), 2.0);  // stop keeps the play head

    player->resume();  // stopped: nothing
    player->pause();
    EXPECT_EQ(state(), State::stopped);
}

TEST_F(PreviewPlayer, StopReleasesTheOutputAndResetRestoresTheDefaults) {
    play(1.0, 4.0);
    device->render(kDelayFrames + 4800);
    player->setClickVolume(0.5);
    player->setClickEnabled(false);
    loop.advanceSeconds(1.0 / 30.0);
    player->stop();
    EXPECT_EQ(state(), State::stopped);
    EXPECT_FALSE(device->isRunning());
    EXPECT_EQ(loop.runningTimerCount(), 0u);
    EXPECT_DOUBLE_EQ(position(), 1.1);
    EXPECT_DOUBLE_EQ(player->updatePlaybackPosition(), 1.1);

    player->reset();
    EXPECT_EQ(position(), 0.0);
    EXPECT_TRUE(player->clickEnabled().value());
    EXPECT_EQ(player->clickVolume().value(), 1.5);
}

TEST_F(PreviewPlayer, PlayingAgainReplacesTheRunningPlayback) {
    play(1.0, 4.0);
    device->render(kDelayFrames + 48000);
    play(3.0, 4.0);
    EXPECT_EQ(outputsOpened, 2);
    EXPECT_DOUBLE_EQ(position(), 3.0);
    const auto rendered = device->render(kDelayFrames + 100);
    // The new playback starts after its own delay, on the unaccented click at 3.0 s.
    const auto expected = expectedClicks({{3.0, false}}, 3.0, -kDelayFrames, kDelayFrames + 100, kDefaultVolume);
    EXPECT_EQ(rendered, expected);
    loop.advanceSeconds(1.15 + 0.01);
    EXPECT_EQ(state(), State::stopped);
}

TEST_F(PreviewPlayer, ClickVolumeIsClampedAndSwitchingTheClickOffSilencesItDuringPlayback) {
    struct Case {
        double in, stored;
    };
    for (const Case c : {Case{3, 2.0}, Case{0.1, 0.25}, Case{1, 1}, Case{std::numeric_limits<double>::quiet_NaN(), 1},
                         Case{-std::numeric_limits<double>::infinity(), 0.25}}) {
        player->setClickVolume(c.in);
        EXPECT_EQ(player->clickVolume().value(), c.stored) << c.in;
    }

    player->setClickVolume(0.5);
    play(1.0, 4.0);
    player->setClickEnabled(false);
    const std::int64_t half = 24000;
    auto rendered = device->render(kDelayFrames + half);
    EXPECT_EQ(rendered, std::vector<float>(rendered.size(), 0.0f));  // scheduled, but at level 0
    player->setClickEnabled(true);
    rendered = device->render(half);
    EXPECT_EQ(rendered, expectedClicks({{1.5, false}}, 1.0, half, half, 0.5f));
}

TEST_F(PreviewPlayer, OutputWithoutASampleRatePlaysTheFileWithoutClicks) {
    file = numberedFrames(1, std::int64_t(kRate * 4));
    reportedOutputRate = 0.0;
    play(0.0, 1.0);
    EXPECT_EQ(state(), State::playing);
    const auto rendered = device->render(1000);
    // No rate, no start delay either; the play head stays where it was stored.
    for (std::int64_t n : {0, 1, 500, 999}) EXPECT_EQ(at(rendered, n), file.at(n, 0)) << n;
    EXPECT_EQ(player->updatePlaybackPosition(), 0.0);
}

TEST_F(PreviewPlayer, FailuresAreThrownAndLeaveThePlayerStopped) {
    const Error deviceError{kPortAudioErrorDomain, -9985, "Device unavailable"};
    struct Case {
        const char* label;
        std::function<void()> arrange;
        Error expected;
    };
    const Error timing{"OrvantaBeatloom", 4101, "Could not read audio timing for preview."};
    const std::vector<Case> cases{
        {"no sample rate", [this] { reportedFileRate = 0.0; }, timing},
        {"NaN sample rate", [this] { reportedFileRate = std::nan(""); }, timing},
        {"no device", [&] { openError = deviceError; }, deviceError},
        {"start fails", [&] { startError = deviceError; }, deviceError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        reportedFileRate.reset();
        openError.reset();
        startError.reset();
        song = "song.wav";
        play(1.0, 4.0);  // a playback that the failing play tears down first
        c.arrange();
        song = std::string(c.label) + ".wav";
        try {
            play(1.0, 4.0);
            ADD_FAILURE() << "no error";
        } catch (const ErrorException& e) {
            EXPECT_EQ(e.error(), c.expected);
        }
        EXPECT_EQ(state(), State::stopped);
        EXPECT_EQ(loop.runningTimerCount(), 0u);
        EXPECT_FALSE(device->isRunning());
    }
}

TEST_F(PreviewPlayer, FileThatCannotBeOpenedThrowsTheReadersError) {
    BeatloomPreviewPlayer realFiles(loop);
    TempFolder folder("preview");
    try {
        realFiles.play(folder / "missing.wav", Map{}, BeatloomTimeRange{0, 4});
        ADD_FAILURE() << "no error";
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.error().domain, kPosixErrorDomain);
    }
    EXPECT_EQ(realFiles.transportState().value(), State::stopped);
}

TEST_F(PreviewPlayer, TimersThatFireAfterThePlayerIsGoneDoNothing) {
    play(1.0, 4.0);
    device->render(kDelayFrames);
    player.reset();
    EXPECT_FALSE(device->isRunning());
    EXPECT_EQ(loop.runningTimerCount(), 2u);  // released, not stopped
    loop.advanceSeconds(4);
    EXPECT_EQ(loop.runningTimerCount(), 0u);
}

TEST_F(PreviewPlayer, TransportStateIsPublished) {
    std::vector<State> states;
    const Subscription subscription = player->transportState().subscribe([&](State s) { states.push_back(s); });
    play(1.0, 4.0);
    player->pause();
    player->resume();
    player->stop();
    EXPECT_EQ(states, (std::vector<State>{State::playing, State::paused, State::playing, State::stopped}));
}

// A device that pulls frames on a thread of its own, faster than real time, as a sound card's
// callback would: the file then streams through the engine's feeder thread.
class ThreadedOutput final : public PreviewOutput {
public:
    explicit ThreadedOutput(std::int64_t frames) : rendered_(std::size_t(frames) * 2, 0.0f) {}
    ~ThreadedOutput() override { stop(); }
    PreviewOutputFormat format() const override { return {kRate, 2}; }
    bool rendersOnCallerThread() const override { return false; }
    void start(PreviewRenderSource& source) override {
        thread_ = std::jthread([this, &source](std::stop_token stop) {
            const std::size_t total = rendered_.size() / 2;
            while (!stop.stop_requested() && done_ < total) {
                const auto block = static_cast<std::uint32_t>(std::min<std::size_t>(256, total - done_));
                source.render(rendered_.data() + done_ * 2, block);
                done_ += block;
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            finished_ = true;
        });
    }
    void pause() override { thread_ = {}; }
    void stop() override { thread_ = {}; }

    bool finished() const { return finished_; }
    const std::vector<float>& rendered() const { return rendered_; }

private:
    std::vector<float> rendered_;
    std::size_t done_ = 0;
    std::atomic<bool> finished_{false};
    std::jthread thread_;
};

// Threaded outputs of `frames` frames each; `latest` names the one opened last.
PreviewOutputFactory threadedOutputs(std::int64_t frames, ThreadedOutput*& latest) {
    return [frames, &latest](double) {
        auto made = std::make_unique<ThreadedOutput>(frames);
        latest = made.get();
        return made;
    };
}

// Whether the output has rendered all its frames within 30 s.
bool finishes(const ThreadedOutput& output) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!output.finished() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return output.finished();
}

TEST(PreviewPlayerRealTime, FileStreamsThroughTheFeederAndNeverSlipsAgainstTheClock) {
    ManualMainLoop loop;
    const Signal file = numberedFrames(1, std::int64_t(kRate * 8));
    const std::int64_t frames = kDelayFrames + std::int64_t(kRate * 6);
    ThreadedOutput* output = nullptr;
    BeatloomPreviewPlayer player(loop, threadedOutputs(frames, output),
                                 [&](const std::filesystem::path&) { return std::make_unique<MemorySource>(file); });
    player.setClickEnabled(false);
    player.play("song.wav", Map{}, BeatloomTimeRange{1.0, 8.0});
    ASSERT_NE(output, nullptr);
    ASSERT_TRUE(finishes(*output));
    // The render thread runs from the output's start on; the sources begin 0.08 s after the
    // frames it had rendered when play returned, so find where the file begins (its first
    // frame is not silent).
    const auto& rendered = output->rendered();
    std::int64_t first = -1;
    for (std::int64_t n = 0; n < frames && first < 0; ++n) {
        if (rendered[std::size_t(n) * 2] != 0.0f) first = n;
    }
    ASSERT_GE(first, kDelayFrames);
    const std::int64_t prefilled = 60000;  // held in the ring before the output starts
    std::int64_t slipped = 0, silent = 0;
    for (std::int64_t n = 0; first + n < frames; ++n) {
        const float sample = rendered[std::size_t(first + n) * 2];
        const float expected = file.at(48000 + n, 0);
        if (sample == 0.0f && n >= prefilled) ++silent;  // a late feeder leaves a gap, never a shift
        else slipped += sample != expected || rendered[std::size_t(first + n) * 2 + 1] != expected;
    }
    EXPECT_EQ(slipped, 0);
    EXPECT_LT(silent, frames / 2);
    player.stop();
}

// A file that seeks slowly, as a long compressed file does, and notes whether it was ever
// sought or read on the thread that made it.
class SlowSeekingSource final : public AudioSource {
public:
    explicit SlowSeekingSource(Signal signal) : inner_(std::move(signal)) {}
    double sampleRate() const override { return inner_.sampleRate(); }
    std::uint32_t channelCount() const override { return inner_.channelCount(); }
    std::int64_t length() const override { return inner_.length(); }
    std::int64_t framePosition() const override { return inner_.framePosition(); }
    void setFramePosition(std::int64_t frame) override {
        note();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        inner_.setFramePosition(frame);
    }
    void read(AudioBuffer& buffer, std::uint32_t frameCount) override {
        note();
        inner_.read(buffer, frameCount);
    }

    std::shared_ptr<std::atomic<int>> callsOnMakersThread = std::make_shared<std::atomic<int>>(0);

private:
    void note() {
        if (std::this_thread::get_id() == maker_) ++*callsOnMakersThread;
    }
    MemorySource inner_;
    std::thread::id maker_ = std::this_thread::get_id();
};

TEST(PreviewPlayerRealTime, PlayLeavesSeekingAndDecodingToTheFeeder) {
    ManualMainLoop loop;
    const Signal file = numberedFrames(2, std::int64_t(kRate * 8));
    const std::int64_t frames = kDelayFrames + std::int64_t(kRate * 4);
    ThreadedOutput* output = nullptr;
    std::shared_ptr<std::atomic<int>> callsHere;
    BeatloomPreviewPlayer player(loop, threadedOutputs(frames, output), [&](const std::filesystem::path&) {
        auto source = std::make_unique<SlowSeekingSource>(file);
        callsHere = source->callsOnMakersThread;
        return source;
    });
    for (const double start : {1.0, 3.0}) {
        player.play("song.wav", Map{}, BeatloomTimeRange{start, 8.0});
        ASSERT_NE(output, nullptr);
        ASSERT_TRUE(finishes(*output));
        const std::vector<float> rendered = output->rendered();
        player.stop();
        // The file starts whole: the sources (rendered far faster than the seek) waited for the
        // feeder's first fill.
        const std::int64_t firstFrame = std::llround(start * kRate);
        std::int64_t first = -1;
        for (std::int64_t n = 0; n < frames && first < 0; ++n) {
            if (rendered[std::size_t(n) * 2] != 0.0f) first = n;
        }
        ASSERT_GE(first, kDelayFrames);
        EXPECT_EQ(rendered[std::size_t(first) * 2], file.at(firstFrame, 0));
    }
    // The file was made here (the test stands for the runner), and only the feeder used it.
    ASSERT_TRUE(callsHere);
    EXPECT_EQ(*callsHere, 0);
}

// Opens the real device only where there is none, to see the failure reported in shape.
TEST(PortAudioOutput, FailedOpenReportsTheLibrarysError) {
    const PreviewOutputFactory factory = portAudioOutputFactory();
    std::unique_ptr<PreviewOutput> output;
    try {
        output = factory(48000);
    } catch (const ErrorException& e) {
        EXPECT_EQ(e.error().domain, kPortAudioErrorDomain);
        EXPECT_LT(e.error().code, 0);
        // The library's text leads; the user learns what to try.
        EXPECT_NE(e.error().message.find("press Play again"), std::string::npos) << e.error().message;
        return;
    }
    GTEST_SKIP() << "this machine has an output device";
}

TEST(PortAudioOutput, AFailedOutputIsNamedWithWhatToTry) {
    EXPECT_EQ(outputDeviceMessage("Device unavailable", std::nullopt),
              "Device unavailable: no sound output was found. Connect headphones or speakers, or start the system's "
              "sound server, then press Play again.");
    EXPECT_EQ(outputDeviceMessage("Device unavailable", std::string("HDA Intel PCH: ALC257 Analog (hw:0,0)")),
              "Device unavailable: sound output \u201cHDA Intel PCH: ALC257 Analog (hw:0,0)\u201d. Close other programs "
              "that are using it, or choose another output in the system's sound settings, then press Play again.");
}

}  // namespace
}  // namespace corvel::audio
