#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "audio/reading/audio_source.hpp"
#include "audio/preview/preview_engine.hpp"
#include "audio/preview/preview_output.hpp"
#include "common/error.hpp"
#include "common/observable.hpp"
#include "core/grid_records.hpp"
#include "core/raw_enum.hpp"
#include "core/tempo_map_records.hpp"
#include "platform/background_runner.hpp"
#include "platform/main_loop.hpp"

namespace corvel::audio {

enum class BeatloomPreviewTransportState { stopped, playing, paused };

}  // namespace corvel::audio

namespace corvel {

template <>
struct RawEnumCases<audio::BeatloomPreviewTransportState> {
    using State = audio::BeatloomPreviewTransportState;
    static constexpr std::array<std::pair<State, std::string_view>, 3> cases{{
        {State::stopped, "stopped"},
        {State::playing, "playing"},
        {State::paused, "paused"},
    }};
};

}  // namespace corvel

namespace corvel::audio {

inline constexpr const char* kPreviewErrorDomain = "OrvantaBeatloom";
inline constexpr int kPreviewTimingErrorCode = 4101;
inline constexpr const char* kPreviewTimingErrorMessage = "Could not read audio timing for preview.";

// The edited tempo map that the preview's click follows, as the session hands it over.
struct PreviewClickMap {
    std::vector<BeatloomTempoPoint> tempoPoints;
    std::vector<BeatloomMeterEvent> meterEvents;
    std::vector<BeatloomBarAnchor> barAnchors;
    std::vector<BeatloomPhaseLock> phaseLocks;
    std::optional<double> barOneSeconds;
    std::int64_t pickupBarCount = 0;
    std::vector<BeatloomTimelineRegion> regions;
    std::vector<BeatloomRhythmicAnchor> rhythmicAnchors;
    BeatloomFreeTimeClickMode freeTimeClickMode = BeatloomFreeTimeClickMode::off;
    friend bool operator==(const PreviewClickMap&, const PreviewClickMap&) = default;
};

// Plays a span of the song's audio file together with a metronome click built from the edited
// tempo map, so the user hears whether the grid fits the music. Lives on the main thread:
// every operation runs there, and so do its two timers (the play head 30 times a second and
// a one-shot timer that ends playback). The mixing runs on the output's own thread.
class BeatloomPreviewPlayer final {
public:
    // Opens the audio file for reading, on the main thread or a runner's; throws ErrorException.
    using FileOpener = std::function<std::unique_ptr<AudioSource>(const std::filesystem::path&)>;

    // Plays through the default sound card and reads files with the audio-file reader.
    explicit BeatloomPreviewPlayer(platform::MainLoop& mainLoop);
    BeatloomPreviewPlayer(platform::MainLoop& mainLoop, PreviewOutputFactory outputFactory,
                          FileOpener openFile);
    // Releases the playback without waiting for timers: a timer that fires later finds the
    // player gone and does nothing.
    ~BeatloomPreviewPlayer();
    BeatloomPreviewPlayer(const BeatloomPreviewPlayer&) = delete;
    BeatloomPreviewPlayer& operator=(const BeatloomPreviewPlayer&) = delete;

    const Published<BeatloomPreviewTransportState>& transportState() const { return transportState_; }
    // Song time of the play head.
    const Published<double>& currentPlaybackSeconds() const { return currentPlaybackSeconds_; }
    // Click level, kept in 0.25...2.0.
    const Published<double>& clickVolume() const { return clickVolume_; }
    const Published<bool>& clickEnabled() const { return clickEnabled_; }

    // Opens the file for playback on the runner, ahead of play(): opening can take long (an
    // M4A is decoded whole to count its frames). play() takes the file opened here, or kept
    // open by the playback before, without touching the disk; a file it finds neither way
    // (still opening, or failed) it opens itself. One file is kept open; reset() lets it go.
    void prepare(const std::filesystem::path& file, platform::BackgroundRunner& runner);

    // Plays the file over the span (cut to the file's length) with the click track of the map,
    // 0.08 s from now (later when the file's first frames take longer to read), at the file's
    // rate or, on a device that refuses it, converted to one it takes. Whatever played before
    // stops first. A span of 1 ms or less plays nothing and leaves the player stopped. Throws ErrorException: the file's
    // opening error and the output's error unchanged, the timing error (4101) when the file
    // has no sample rate; the player is then stopped.
    void play(const std::filesystem::path& file, const PreviewClickMap& map, const BeatloomTimeRange& span);

    // Playing only: keeps the play head where it is and holds the output.
    void pause();
    // Paused only: continues from the held position; throws the output's ErrorException and
    // stays paused when it can't start.
    void resume();
    // Ends playback and releases it; the play head and the span stay.
    void stop();
    // Stop, then play head 0, click on, volume 1.5; the opened file is let go.
    void reset();

    // Clamped to 0.25...2.0; a NaN volume changes nothing.
    void setClickVolume(double volume);
    void setClickEnabled(bool enabled);

    // The play head from the output's rendered frames while playing, else the stored one.
    // Callers store it.
    double updatePlaybackPosition() const;

    // The click track of a song span ending at durationSeconds: metered clicks on every beat
    // from Bar 1 (or its pickup bars) on, accented on the downbeats, then the Free Time and
    // Rubato rules, sorted and merged.
    static std::vector<BeatloomTimeline::ClickEvent> clickEvents(const PreviewClickMap& map, double durationSeconds);

    // One click sound: 30 ms (at least 64 frames) of a sine at `frequency` decaying with
    // exp(-95 t), scaled by gain, the same on every channel. None when the format can't hold it.
    static std::optional<AudioBuffer> makeClickBuffer(const PreviewOutputFormat& format,
                                                             double frequency, double gain);

private:
    // A file opened for playback, shared with the job that opens it.
    struct OpenedFile {
        std::filesystem::path path;
        std::mutex mutex;
        std::unique_ptr<AudioSource> source;  // none while opening, after a failure or while playing
    };

    // The opened file for `file`, taken out of the player, or none.
    std::unique_ptr<AudioSource> takeOpenedFile(const std::filesystem::path& file);
    // Gives a file that a playback is done with back to its record, for the next playback.
    void keepOpened(const std::shared_ptr<OpenedFile>& file, std::unique_ptr<AudioSource> source);
    void startPositionTimer();
    void startStopTimer(double seconds);
    void cancelTimers();

    platform::MainLoop& mainLoop_;
    PreviewOutputFactory outputFactory_;
    FileOpener openFile_;

    Published<BeatloomPreviewTransportState> transportState_{BeatloomPreviewTransportState::stopped};
    Published<double> currentPlaybackSeconds_{0.0};
    Published<double> clickVolume_{1.5};
    Published<bool> clickEnabled_{true};

    std::shared_ptr<OpenedFile> opened_;
    std::shared_ptr<OpenedFile> playingFile_;  // the record of the file the engine plays
    std::unique_ptr<PreviewEngine> engine_;
    platform::MainLoop::TimerId stopTimer_ = 0;
    platform::MainLoop::TimerId positionTimer_ = 0;
    double sourceOffsetSeconds_ = 0;
    double playbackEndSeconds_ = 0;

    // Timers hold this weakly: once the player is gone they find it expired.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace corvel::audio
