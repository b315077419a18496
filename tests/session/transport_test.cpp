#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "common/error.hpp"
#include "session/beatloom_view_model.hpp"
#include "session/session_fixture.hpp"

namespace corvel::session {
namespace {

using testing::kRate;
using testing::kSongSeconds;
namespace records = corvel::testing;

// The preview starts its sources this long after play.
constexpr double kStartDelay = 0.08;

class Transport : public testing::SessionTest {
protected:
    Transport() { loadResult({records::tempoPoint(0, 120)}); }

    // Lets a started preview play on (the position timer stores the play head).
    void playOn(double seconds) {
        device->render(std::int64_t((kStartDelay + seconds) * kRate));
        loop.advanceSeconds(1.0 / 30.0);
    }

    // Song time of the first audible frame of a freshly started preview over the silent song.
    std::optional<double> firstClickSeconds() {
        const auto rendered = device->render(std::int64_t(kSongSeconds * kRate));
        for (std::size_t frame = 0; frame < rendered.size(); ++frame) {
            if (rendered[frame] != 0.0f) return model.locatorSeconds.value() + double(frame) / kRate - kStartDelay;
        }
        return std::nullopt;
    }
};

TEST_F(Transport, PressingTheTransportTwiceReturnsTheLocatorToWherePlaybackBegan) {
    model.locatorSeconds.set(2.0);
    model.pageFollowEnabled.set(false);
    model.errorText.set("earlier failure");
    model.togglePlayback();
    EXPECT_TRUE(playing());
    EXPECT_TRUE(model.pageFollowEnabled.value());
    EXPECT_EQ(model.playbackStartSeconds(), 2.0);
    EXPECT_EQ(model.errorText.value(), "");

    playOn(1.5);
    EXPECT_DOUBLE_EQ(model.previewPlayer().currentPlaybackSeconds().value(), 3.5);
    model.togglePlayback();
    EXPECT_FALSE(playing());
    EXPECT_EQ(model.locatorSeconds.value(), 2.0);
    EXPECT_FALSE(model.playbackStartSeconds());
}

TEST_F(Transport, APausedPreviewCountsAsRunningAndAlsoReturnsToItsStart) {
    model.locatorSeconds.set(4.0);
    model.togglePlayback();
    playOn(1.0);
    model.previewPlayer().pause();
    model.togglePlayback();
    EXPECT_EQ(model.previewPlayer().transportState().value(), audio::BeatloomPreviewTransportState::stopped);
    EXPECT_EQ(model.locatorSeconds.value(), 4.0);
}

TEST_F(Transport, SeekingDuringPlaybackStopsItWithTheLocatorAtTheTarget) {
    model.locatorSeconds.set(1.0);
    model.togglePlayback();
    playOn(2.0);
    model.seek(7.0);
    EXPECT_FALSE(playing());
    EXPECT_EQ(model.locatorSeconds.value(), 7.0);
    EXPECT_FALSE(model.playbackStartSeconds());

    // The next start begins, and a stop returns, at the sought time.
    model.togglePlayback();
    playOn(0.5);
    model.togglePlayback();
    EXPECT_EQ(model.locatorSeconds.value(), 7.0);
}

TEST_F(Transport, SeekHoldsTheLocatorInsideTheSong) {
    const struct {
        double seconds;
        double locator;
    } cases[] = {
        {-5.0, 0.0},
        {kSongSeconds + 3.0, kSongSeconds},
        {-std::numeric_limits<double>::infinity(), 0.0},
        {4.25, 4.25},
        {std::numeric_limits<double>::quiet_NaN(), 4.25},  // no number: the locator stays
    };
    for (const auto& c : cases) {
        model.seek(c.seconds);
        EXPECT_EQ(model.locatorSeconds.value(), c.locator) << c.seconds;
    }
    model.result.set(std::nullopt);
    model.seek(5.0);
    EXPECT_EQ(model.locatorSeconds.value(), 0.0);
}

TEST_F(Transport, PlaybackNeedsAFileAndAResult) {
    model.selectedURL.set(std::nullopt);
    model.pageFollowEnabled.set(false);
    model.togglePlayback();
    EXPECT_FALSE(playing());
    EXPECT_FALSE(model.playbackStartSeconds());
    // The button itself turns page following back on.
    EXPECT_TRUE(model.pageFollowEnabled.value());

    model.selectedURL.set(std::filesystem::path("song.wav"));
    model.result.set(std::nullopt);
    model.startPreviewPlayback();
    EXPECT_FALSE(playing());
    EXPECT_FALSE(model.playbackStartSeconds());
}

TEST_F(Transport, TheClickFollowsTheEffectiveBarOneAndItsPickupBars) {
    // Bar 1 comes from the first detected beat; one pickup bar of 2 s reaches back to 0.25 s.
    loadResult({records::tempoPoint(0, 120)}, {2.25, 2.75});
    model.locatorSeconds.set(0.1);
    model.togglePlayback();
    ASSERT_TRUE(playing());
    EXPECT_NEAR(*firstClickSeconds(), 2.25, 2.0 / kRate);

    model.togglePlayback();
    model.pickupBarCount.set(1);
    model.togglePlayback();
    EXPECT_NEAR(*firstClickSeconds(), 0.25, 2.0 / kRate);
}

TEST(TransportFailure, AFailedStartShowsTheMessageAndStillRemembersWherePlaybackBegan) {
    corvel::testing::ManualMainLoop loop;
    const auto device = audio::OfflinePreviewDevice::make(1, 64);
    const Error failure{"OrvantaBeatloom", 4101, "Could not read audio timing for preview."};
    BeatloomViewModel model(loop, device->outputFactory(),
                            [&](const std::filesystem::path&) -> std::unique_ptr<audio::AudioSource> {
                                throw ErrorException(failure);
                            });
    BeatloomResult detected;
    detected.durationSeconds = kSongSeconds;
    model.selectedURL.set(std::filesystem::path("song.wav"));
    model.result.set(detected);
    model.editableTempoPoints.set({records::tempoPoint(0, 120)});
    model.locatorSeconds.set(3.0);

    model.togglePlayback();
    EXPECT_EQ(model.errorText.value(), failure.message);
    EXPECT_EQ(model.previewPlayer().transportState().value(), audio::BeatloomPreviewTransportState::stopped);
    EXPECT_EQ(model.playbackStartSeconds(), 3.0);

    // The player is stopped, so the button tries again rather than stopping.
    model.errorText.set("");
    model.togglePlayback();
    EXPECT_EQ(model.errorText.value(), failure.message);
    model.seek(5.0);
    EXPECT_FALSE(model.playbackStartSeconds());
}

}  // namespace
}  // namespace corvel::session
