#include "audio/preview/rate_converter.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "audio/reading/audio_file_reader.hpp"
#include "common/error.hpp"
#include "common/format.hpp"

namespace corvel::audio {
namespace {

Error conversionError(int code, int inputRate, int outputRate) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return Error{kFFmpegErrorDomain, code,
                 "convert " + formatInteger(inputRate) + " Hz to " + formatInteger(outputRate) + " Hz: " + text};
}

}  // namespace

RateConverter::RateConverter(std::uint32_t channelCount, int inputRate, int outputRate) : channels_(channelCount) {
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, static_cast<int>(channelCount));
    int result = swr_alloc_set_opts2(&context_, &layout, AV_SAMPLE_FMT_FLT, outputRate, &layout, AV_SAMPLE_FMT_FLTP,
                                     inputRate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    if (result >= 0) result = swr_init(context_);
    if (result < 0) {
        swr_free(&context_);
        throw ErrorException(conversionError(result, inputRate, outputRate));
    }
}

RateConverter::~RateConverter() { swr_free(&context_); }

std::uint32_t RateConverter::maxOutputFrames(std::uint32_t inputFrames) const {
    const int frames = swr_get_out_samples(context_, static_cast<int>(std::min<std::uint32_t>(
                                                         inputFrames, std::numeric_limits<int>::max() / 2)));
    return frames < 0 ? 0 : static_cast<std::uint32_t>(frames);
}

std::uint32_t RateConverter::convert(const AudioBuffer& block, std::uint32_t inputFrames, float* out,
                                     std::uint32_t outputCapacity) {
    std::vector<const std::uint8_t*> planes(channels_);
    for (std::uint32_t c = 0; c < channels_; ++c) planes[c] = reinterpret_cast<const std::uint8_t*>(block.channel(c));
    return run(planes.data(), static_cast<int>(std::min(inputFrames, block.frameLength())), out, outputCapacity);
}

std::uint32_t RateConverter::flush(float* out, std::uint32_t outputCapacity) {
    return run(nullptr, 0, out, outputCapacity);
}

std::uint32_t RateConverter::run(const std::uint8_t** input, int inputFrames, float* out,
                                 std::uint32_t outputCapacity) {
    auto* target = reinterpret_cast<std::uint8_t*>(out);
    const int capacity = static_cast<int>(std::min<std::uint32_t>(outputCapacity, std::numeric_limits<int>::max()));
    const int result = swr_convert(context_, &target, capacity, input, inputFrames);
    if (result < 0) {
        std::int64_t inRate = 0, outRate = 0;
        av_opt_get_int(context_, "in_sample_rate", 0, &inRate);
        av_opt_get_int(context_, "out_sample_rate", 0, &outRate);
        throw ErrorException(conversionError(result, static_cast<int>(inRate), static_cast<int>(outRate)));
    }
    return static_cast<std::uint32_t>(result);
}

}  // namespace corvel::audio
