#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "audio/reading/audio_source.hpp"
#include "audio/preview/preview_output.hpp"

namespace corvel::audio {

// The graph of one preview playback: a file source that streams one segment of an audio
// file and a click source that plays short buffers at sample times, mixed into one output
// and started together at one output frame.
//
// Everything is scheduled on the owning thread before start(); the render thread then only
// reads what was handed over and a few atomics (start frame, click volume, its own clock).
// The file is streamed through a fixed ring that a feeder keeps filled: a thread of the
// engine behind a real-time output, the render call itself behind an offline one. The owning
// thread never reads the file: seeking, decoding and rate conversion are the feeder's.
class PreviewEngine final : private PreviewRenderSource {
public:
    struct ClickPlacement {
        std::int64_t sampleTime = 0;  // output frames from the sources' start
        bool accent = false;
        friend bool operator==(const ClickPlacement&, const ClickPlacement&) = default;
    };

    explicit PreviewEngine(std::unique_ptr<PreviewOutput> output);
    ~PreviewEngine() override;
    PreviewEngine(const PreviewEngine&) = delete;
    PreviewEngine& operator=(const PreviewEngine&) = delete;

    PreviewOutputFormat outputFormat() const { return format_; }

    // The file source plays frames firstFrame ... firstFrame + frameCount - 1 of the file, or
    // up to its end, converted to the output's rate when the two differ; a mono file goes to
    // every output channel, other files channel by channel. Before start(). The file is not
    // touched here: the stream seeks on its first fill, and a failed seek, conversion or read
    // ends the segment there.
    void scheduleSegment(std::unique_ptr<AudioSource> file, std::int64_t firstFrame, std::uint32_t frameCount);

    // The click source plays one buffer per placement (the accent buffer for accented ones)
    // from its sample time on; clicks that overlap add up. Placements in ascending sample
    // time. Before start().
    void scheduleClicks(AudioBuffer normal, AudioBuffer accent, std::vector<ClickPlacement> placements);

    // The click source's level, at any time.
    void setClickVolume(float volume) { clickVolume_.store(volume, std::memory_order_relaxed); }

    // Starts the output, or continues after pause(). Throws the output's ErrorException.
    void start();
    void pause();
    void stop();
    // After stop(): the scheduled file, for another playback; none when there was none.
    std::unique_ptr<AudioSource> releaseFile();

    // Both sources begin `delayFrames` output frames after the frames rendered so far, or,
    // when the file stream has not had its first fill by then, as soon as it has.
    void playAfter(std::int64_t delayFrames);

    // Output frames since the sources' start as last rendered (negative before the start);
    // none before playAfter().
    std::optional<std::int64_t> sourceSampleTime() const;

private:
    class FileStream;
    struct Clicks {
        AudioBuffer normal;
        AudioBuffer accent;
        std::vector<ClickPlacement> placements;
    };
    static constexpr std::int64_t kNotPlaying = INT64_MAX;

    void prepareFrames(std::uint32_t frames) override;
    void render(float* interleaved, std::uint32_t frames) noexcept override;
    void mixFile(float* out, std::uint32_t frames, std::int64_t sourceTime) noexcept;
    void mixClicks(float* out, std::uint32_t frames, std::int64_t sourceTime) noexcept;

    std::unique_ptr<PreviewOutput> output_;
    PreviewOutputFormat format_;
    std::unique_ptr<FileStream> file_;
    std::unique_ptr<Clicks> clicks_;
    bool started_ = false;
    std::jthread feeder_;

    // Handed to the render thread when the engine starts.
    std::atomic<FileStream*> renderFile_{nullptr};
    std::atomic<const Clicks*> renderClicks_{nullptr};
    std::atomic<std::int64_t> startFrame_{kNotPlaying};
    std::atomic<float> clickVolume_{1.0f};
    std::atomic<std::int64_t> renderedFrames_{0};
    // Output frames the sources' start was put off by, waiting for the file stream.
    std::atomic<std::int64_t> heldFrames_{0};
    // The render thread's own.
    std::size_t nextClick_ = 0;
};

}  // namespace corvel::audio
