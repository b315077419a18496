#include "audio/preview/preview_output.hpp"

#include <algorithm>

namespace corvel::audio {

class OfflinePreviewDevice::Output final : public PreviewOutput {
public:
    Output(std::shared_ptr<OfflinePreviewDevice> device, double sampleRate)
        : device_(std::move(device)), format_{sampleRate, device_->channels_} {}
    ~Output() override { stop(); }

    PreviewOutputFormat format() const override { return format_; }
    bool rendersOnCallerThread() const override { return true; }
    void start(PreviewRenderSource& source) override {
        // A device plays one stream at a time; a new one takes it over.
        device_->running_ = &source;
        device_->runningOutput_ = this;
    }
    void pause() override { stop(); }
    void stop() override {
        if (device_->runningOutput_ != this) return;
        device_->running_ = nullptr;
        device_->runningOutput_ = nullptr;
    }

private:
    std::shared_ptr<OfflinePreviewDevice> device_;
    PreviewOutputFormat format_;
};

std::vector<double> previewOutputRates(double wanted, double deviceDefaultRate) {
    std::vector<double> rates;
    for (const double rate : {wanted, deviceDefaultRate, 48000.0, 44100.0}) {
        if (rate > 0 && std::find(rates.begin(), rates.end(), rate) == rates.end()) rates.push_back(rate);
    }
    return rates;
}

std::shared_ptr<OfflinePreviewDevice> OfflinePreviewDevice::make(std::uint32_t channelCount, std::uint32_t blockFrames,
                                                                 std::optional<double> onlyRate) {
    return std::shared_ptr<OfflinePreviewDevice>(new OfflinePreviewDevice(channelCount, blockFrames, onlyRate));
}

OfflinePreviewDevice::OfflinePreviewDevice(std::uint32_t channelCount, std::uint32_t blockFrames,
                                           std::optional<double> onlyRate)
    : channels_(std::max<std::uint32_t>(channelCount, 1)),
      blockFrames_(std::max<std::uint32_t>(blockFrames, 1)),
      onlyRate_(onlyRate) {}

PreviewOutputFactory OfflinePreviewDevice::outputFactory() {
    return [device = shared_from_this()](double sampleRate) -> std::unique_ptr<PreviewOutput> {
        return std::make_unique<Output>(device, device->onlyRate_.value_or(sampleRate));
    };
}

std::vector<float> OfflinePreviewDevice::render(std::int64_t frames) {
    std::vector<float> samples(static_cast<std::size_t>(std::max<std::int64_t>(frames, 0)) * channels_, 0.0f);
    std::int64_t done = 0;
    while (done < frames && running_ != nullptr) {
        const auto block = static_cast<std::uint32_t>(std::min<std::int64_t>(frames - done, blockFrames_));
        running_->prepareFrames(block);
        running_->render(samples.data() + static_cast<std::size_t>(done) * channels_, block);
        done += block;
    }
    return samples;
}

}  // namespace corvel::audio
