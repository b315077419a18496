#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Where the preview's mixed frames go: a sound card, or an offline device that renders on the
// caller's thread (tests, machines without a sound card).

namespace corvel::audio {

struct PreviewOutputFormat {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    friend bool operator==(const PreviewOutputFormat&, const PreviewOutputFormat&) = default;
};

// What an output pulls its frames from.
class PreviewRenderSource {
public:
    virtual ~PreviewRenderSource() = default;
    // Before a render of up to `frames` frames, on a thread that may block and allocate. Only
    // outputs that render on the caller's thread call it; behind a real-time output the source
    // keeps itself ready on a thread of its own.
    virtual void prepareFrames(std::uint32_t frames) = 0;
    // Fills frames x channelCount interleaved samples. Runs on the output's render thread:
    // it neither locks, allocates nor waits.
    virtual void render(float* interleaved, std::uint32_t frames) noexcept = 0;
};

// One opened output stream. Used from one thread (the main thread); its render thread only
// calls the source it was started with.
class PreviewOutput {
public:
    // Stops pulling frames before it returns.
    virtual ~PreviewOutput() = default;

    virtual PreviewOutputFormat format() const = 0;
    virtual bool rendersOnCallerThread() const = 0;
    // Starts pulling frames from the source, or continues after pause(). The source must
    // outlive the running stream. Throws ErrorException when the stream can't start.
    virtual void start(PreviewRenderSource& source) = 0;
    // Stops pulling frames; start() continues.
    virtual void pause() = 0;
    virtual void stop() = 0;
};

// Opens an output for material at the given sample rate: at that rate when the device takes
// it, else at the first rate of previewOutputRates that it takes; format() tells which.
// Throws ErrorException when none can be opened.
using PreviewOutputFactory = std::function<std::unique_ptr<PreviewOutput>(double sampleRate)>;

// The rates an output tries for material at `wanted`, in order and each once: the rate itself,
// the device's default (when above 0), 48000 and 44100.
std::vector<double> previewOutputRates(double wanted, double deviceDefaultRate);

// A sound card that plays nowhere: whoever holds it renders, on their own thread and in
// blocks as a device would, the frames of the output running on it, and silence while none
// runs. Outputs opened on it take the device's channel count and the rate they are asked for,
// or, on a device that takes one rate only, that rate (its default) whatever they ask.
class OfflinePreviewDevice : public std::enable_shared_from_this<OfflinePreviewDevice> {
public:
    static std::shared_ptr<OfflinePreviewDevice> make(std::uint32_t channelCount = 2, std::uint32_t blockFrames = 512,
                                                      std::optional<double> onlyRate = std::nullopt);

    PreviewOutputFactory outputFactory();

    // The next `frames` frames, interleaved.
    std::vector<float> render(std::int64_t frames);

    std::uint32_t channelCount() const { return channels_; }
    // Whether an output is pulling frames from it now.
    bool isRunning() const { return running_ != nullptr; }

private:
    class Output;
    OfflinePreviewDevice(std::uint32_t channelCount, std::uint32_t blockFrames, std::optional<double> onlyRate);

    std::uint32_t channels_;
    std::uint32_t blockFrames_;
    std::optional<double> onlyRate_;
    PreviewRenderSource* running_ = nullptr;
    const Output* runningOutput_ = nullptr;
};

}  // namespace corvel::audio
