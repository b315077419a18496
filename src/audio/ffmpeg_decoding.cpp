#include "audio/ffmpeg_decoding.hpp"

#include <algorithm>
#include <mutex>

extern "C" {
#include <libavutil/error.h>
}

#include "audio/audio_file_reader.hpp"

namespace corvel::audio::ffmpeg {
namespace {

void quietenLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

}  // namespace

Error makeError(int code, const std::string& context) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return Error{kFFmpegErrorDomain, code, context + ": " + text};
}

std::unique_ptr<StreamDecoder> StreamDecoder::open(const std::filesystem::path& file, Error* error) {
    quietenLibraryLog();
    auto decoder = std::unique_ptr<StreamDecoder>(new StreamDecoder(file));
    const int result = decoder->openStream();
    if (result < 0) {
        if (error != nullptr) *error = makeError(result, "open " + file.string());
        return nullptr;
    }
    return decoder;
}

StreamDecoder::~StreamDecoder() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
}

bool StreamDecoder::next() {
    for (;;) {
        int result = avcodec_receive_frame(codec_, frame_);
        if (result == 0) return true;
        if (result == AVERROR_EOF) return false;
        if (result != AVERROR(EAGAIN)) throw ErrorException(makeError(result, "decode " + path_.string()));
        if (flushed_) return false;
        result = av_read_frame(format_, packet_);
        if (result == AVERROR_EOF) {
            avcodec_send_packet(codec_, nullptr);
            flushed_ = true;
            continue;
        }
        if (result < 0) throw ErrorException(makeError(result, "read " + path_.string()));
        if (packet_->stream_index == stream_) {
            result = avcodec_send_packet(codec_, packet_);
            // A damaged packet is skipped, as players do; other failures end the read.
            if (result < 0 && result != AVERROR_INVALIDDATA) {
                av_packet_unref(packet_);
                throw ErrorException(makeError(result, "decode " + path_.string()));
            }
        }
        av_packet_unref(packet_);
    }
}

bool StreamDecoder::seekBackwardTo(std::int64_t ts) {
    if (av_seek_frame(format_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0) return false;
    avcodec_flush_buffers(codec_);
    flushed_ = false;
    return true;
}

int StreamDecoder::openStream() {
    int result = avformat_open_input(&format_, path_.c_str(), nullptr, nullptr);
    if (result < 0) return result;
    result = avformat_find_stream_info(format_, nullptr);
    if (result < 0) return result;
    stream_ = -1;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            stream_ = static_cast<int>(i);
            break;
        }
    }
    if (stream_ < 0) return AVERROR_STREAM_NOT_FOUND;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVCodec* decoderCodec = avcodec_find_decoder(format_->streams[stream_]->codecpar->codec_id);
    if (decoderCodec == nullptr) return AVERROR_DECODER_NOT_FOUND;
    codec_ = avcodec_alloc_context3(decoderCodec);
    if (codec_ == nullptr) return AVERROR(ENOMEM);
    result = avcodec_parameters_to_context(codec_, format_->streams[stream_]->codecpar);
    if (result < 0) return result;
    codec_->pkt_timebase = format_->streams[stream_]->time_base;
    result = avcodec_open2(codec_, decoderCodec, nullptr);
    if (result < 0) return result;
    if (codec_->sample_rate <= 0 || codec_->ch_layout.nb_channels <= 0) return AVERROR_INVALIDDATA;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (packet_ == nullptr || frame_ == nullptr) return AVERROR(ENOMEM);
    return 0;
}

std::int64_t framePts(const AVFrame* frame) {
    return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

FloatConverter::~FloatConverter() {
    swr_free(&resampler_);
    av_channel_layout_uninit(&inputLayout_);
}

void FloatConverter::prepare(const AVFrame* frame, const AVChannelLayout& outputLayout) {
    if (resampler_ != nullptr && frame->format == inputFormat_ && frame->sample_rate == inputRate_ &&
        av_channel_layout_compare(&frame->ch_layout, &inputLayout_) == 0) {
        return;
    }
    swr_free(&resampler_);
    av_channel_layout_uninit(&inputLayout_);
    int result = av_channel_layout_copy(&inputLayout_, &frame->ch_layout);
    inputFormat_ = frame->format;
    inputRate_ = frame->sample_rate;
    outputChannels_ = outputLayout.nb_channels;
    if (result >= 0) {
        result = swr_alloc_set_opts2(&resampler_, const_cast<AVChannelLayout*>(&outputLayout), output_, inputRate_, &inputLayout_,
                                     static_cast<AVSampleFormat>(inputFormat_), inputRate_, 0, nullptr);
    }
    if (result >= 0) result = swr_init(resampler_);
    if (result < 0) {
        swr_free(&resampler_);
        throw ErrorException(makeError(result, "convert samples of " + path_.string()));
    }
}

int FloatConverter::convert(const AVFrame* frame, const AVChannelLayout& outputLayout) {
    prepare(frame, outputLayout);
    const int needed = std::max(swr_get_out_samples(resampler_, frame->nb_samples), frame->nb_samples);
    if (needed > capacity_) {
        capacity_ = needed;
        samples_.assign(std::size_t(outputChannels_) * std::size_t(capacity_), 0.0f);
        const bool planar = av_sample_fmt_is_planar(output_) != 0;
        planes_.assign(planar ? std::size_t(outputChannels_) : 1, nullptr);
        for (std::size_t ch = 0; ch < planes_.size(); ++ch) {
            planes_[ch] = reinterpret_cast<std::uint8_t*>(samples_.data() + ch * std::size_t(capacity_));
        }
    }
    const int converted = swr_convert(resampler_, planes_.data(), capacity_,
                                      const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
    if (converted < 0) throw ErrorException(makeError(converted, "convert samples of " + path_.string()));
    return converted;
}

}  // namespace corvel::audio::ffmpeg
