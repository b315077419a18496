#include "audio/preview/portaudio_output.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include <portaudio.h>

#include "common/error.hpp"

namespace corvel::audio {
namespace {

Error portAudioError(PaError code) {
    std::string message = Pa_GetErrorText(code);
    if (code == paUnanticipatedHostError) {
        const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
        if (host != nullptr && host->errorText != nullptr && host->errorText[0] != '\0') message = host->errorText;
    }
    return Error{kPortAudioErrorDomain, code, message};
}

void check(PaError code) {
    if (code != paNoError) throw ErrorException(portAudioError(code));
}

// A failure of the output device, told the user with the device's name and what to try.
void checkDevice(PaError code, const PaDeviceInfo* device) {
    if (code == paNoError) return;
    Error error = portAudioError(code);
    std::optional<std::string> name;
    if (device != nullptr && device->name != nullptr && device->name[0] != '\0') name = device->name;
    error.message = outputDeviceMessage(error.message, name);
    throw ErrorException(std::move(error));
}

// The library, initialised once for as long as something holds it.
class Library {
public:
    Library() { check(Pa_Initialize()); }
    ~Library() { Pa_Terminate(); }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
};

class PortAudioOutput final : public PreviewOutput {
public:
    PortAudioOutput(std::shared_ptr<Library> library, double sampleRate) : library_(std::move(library)) {
        const PaDeviceIndex device = Pa_GetDefaultOutputDevice();
        const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
        if (info == nullptr || info->maxOutputChannels < 1) checkDevice(paDeviceUnavailable, info);
        PaStreamParameters parameters{};
        parameters.device = device;
        device_ = device;
        parameters.channelCount = std::min(info->maxOutputChannels, 2);
        parameters.sampleFormat = paFloat32;
        parameters.suggestedLatency = info->defaultHighOutputLatency;
        // A device that refuses the material's rate plays at one it takes; the engine converts.
        double rate = sampleRate;
        for (const double candidate : previewOutputRates(sampleRate, info->defaultSampleRate)) {
            if (Pa_IsFormatSupported(nullptr, &parameters, candidate) == paFormatIsSupported) {
                rate = candidate;
                break;
            }
        }
        checkDevice(Pa_OpenStream(&stream_, nullptr, &parameters, rate, paFramesPerBufferUnspecified, paNoFlag,
                                  &PortAudioOutput::callback, this),
                    info);
        format_ = PreviewOutputFormat{rate, static_cast<std::uint32_t>(parameters.channelCount)};
    }

    ~PortAudioOutput() override {
        // Closing aborts a running stream and returns once its callback is done.
        if (stream_ != nullptr) Pa_CloseStream(stream_);
    }

    PreviewOutputFormat format() const override { return format_; }
    bool rendersOnCallerThread() const override { return false; }

    void start(PreviewRenderSource& source) override {
        source_.store(&source, std::memory_order_release);
        if (Pa_IsStreamStopped(stream_) == 1) checkDevice(Pa_StartStream(stream_), Pa_GetDeviceInfo(device_));
    }
    void pause() override { halt(); }
    void stop() override { halt(); }

private:
    void halt() {
        if (Pa_IsStreamStopped(stream_) == 0) Pa_StopStream(stream_);
    }

    static int callback(const void*, void* output, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* user) {
        auto* self = static_cast<PortAudioOutput*>(user);
        auto* out = static_cast<float*>(output);
        PreviewRenderSource* source = self->source_.load(std::memory_order_acquire);
        const std::uint32_t channels = self->format_.channelCount;
        if (source == nullptr) {
            std::fill_n(out, std::size_t(frameCount) * channels, 0.0f);
            return paContinue;
        }
        while (frameCount > 0) {
            const auto frames = static_cast<std::uint32_t>(std::min<unsigned long>(frameCount, 1u << 16));
            source->render(out, frames);
            out += std::size_t(frames) * channels;
            frameCount -= frames;
        }
        return paContinue;
    }

    std::shared_ptr<Library> library_;
    PaStream* stream_ = nullptr;
    PaDeviceIndex device_ = paNoDevice;
    PreviewOutputFormat format_;
    std::atomic<PreviewRenderSource*> source_{nullptr};
};

}  // namespace

std::string outputDeviceMessage(std::string_view libraryMessage, const std::optional<std::string>& deviceName) {
    std::string message(libraryMessage);
    if (!deviceName) {
        return message +
               ": no sound output was found. Connect headphones or speakers, or start the system's sound server, "
               "then press Play again.";
    }
    return message + ": sound output \u201c" + *deviceName +
           "\u201d. Close other programs that are using it, or choose another output in the system's sound "
           "settings, then press Play again.";
}

PreviewOutputFactory portAudioOutputFactory() {
    return [library = std::shared_ptr<Library>()](double sampleRate) mutable -> std::unique_ptr<PreviewOutput> {
        if (!library) library = std::make_shared<Library>();
        return std::make_unique<PortAudioOutput>(library, sampleRate);
    };
}

}  // namespace corvel::audio
