// The FFmpeg route of the audio-file reader: the first audio stream of any container,
// decoded and converted to planar 32-bit float at the stream's own rate.

#include <algorithm>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

#include "audio/audio_file_backend.hpp"
#include "common/format.hpp"

namespace corvel::audio {
namespace {

std::string ffmpegMessage(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

Error ffmpegError(int code, const std::string& context) {
    return Error{kFFmpegErrorDomain, code, context + ": " + ffmpegMessage(code)};
}

void quietenLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

// One open container with the decoder of its first audio stream.
class StreamDecoder {
public:
    static std::unique_ptr<StreamDecoder> open(const std::filesystem::path& file, Error* error) {
        quietenLibraryLog();
        auto decoder = std::unique_ptr<StreamDecoder>(new StreamDecoder(file));
        const int result = decoder->openStream();
        if (result < 0) {
            if (error != nullptr) *error = ffmpegError(result, "open " + file.string());
            return nullptr;
        }
        return decoder;
    }

    ~StreamDecoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
        avformat_close_input(&format_);
    }

    AVCodecContext* codec() const { return codec_; }
    AVStream* stream() const { return format_->streams[stream_]; }
    AVFrame* frame() const { return frame_; }

    // Decodes the next frame into frame(); false at the end of the stream.
    bool next() {
        for (;;) {
            int result = avcodec_receive_frame(codec_, frame_);
            if (result == 0) return true;
            if (result == AVERROR_EOF) return false;
            if (result != AVERROR(EAGAIN)) throw ErrorException(ffmpegError(result, "decode " + path_.string()));
            if (flushed_) return false;
            result = av_read_frame(format_, packet_);
            if (result == AVERROR_EOF) {
                avcodec_send_packet(codec_, nullptr);
                flushed_ = true;
                continue;
            }
            if (result < 0) throw ErrorException(ffmpegError(result, "read " + path_.string()));
            if (packet_->stream_index == stream_) {
                result = avcodec_send_packet(codec_, packet_);
                // A damaged packet is skipped, as players do; other failures end the read.
                if (result < 0 && result != AVERROR_INVALIDDATA) {
                    av_packet_unref(packet_);
                    throw ErrorException(ffmpegError(result, "decode " + path_.string()));
                }
            }
            av_packet_unref(packet_);
        }
    }

    // Moves the demuxer to the last seek point at or before ts (stream time base).
    bool seekBackwardTo(std::int64_t ts) {
        if (av_seek_frame(format_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0) return false;
        avcodec_flush_buffers(codec_);
        flushed_ = false;
        return true;
    }

private:
    explicit StreamDecoder(std::filesystem::path path) : path_(std::move(path)) {}

    int openStream() {
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

    std::filesystem::path path_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int stream_ = -1;
    bool flushed_ = false;
};

std::int64_t framePts(const AVFrame* frame) {
    return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

class FFmpegBackend final : public AudioFileReader::Backend {
public:
    FFmpegBackend(std::filesystem::path path, std::unique_ptr<StreamDecoder> decoder, std::int64_t length,
                  std::int64_t firstPts)
        : path_(std::move(path)),
          decoder_(std::move(decoder)),
          sampleRate_(decoder_->codec()->sample_rate),
          channels_(static_cast<std::uint32_t>(decoder_->codec()->ch_layout.nb_channels)),
          length_(length),
          firstPts_(firstPts),
          timeBase_(decoder_->stream()->time_base) {
        av_channel_layout_copy(&outputLayout_, &decoder_->codec()->ch_layout);
    }

    ~FFmpegBackend() override {
        swr_free(&resampler_);
        av_channel_layout_uninit(&outputLayout_);
    }

    double sampleRate() const override { return sampleRate_; }
    std::uint32_t channelCount() const override { return channels_; }
    std::int64_t length() const override { return length_; }
    std::int64_t framePosition() const override { return position_; }
    const char* name() const override { return kFFmpegErrorDomain; }

    void setFramePosition(std::int64_t frame) override {
        const std::int64_t target = std::clamp<std::int64_t>(frame, 0, length_);
        if (target == position_) return;
        const std::int64_t preroll = sampleRate_;  // one second of audio settles every decoder we meet
        if (target > position_ && target - position_ <= 2 * preroll) {
            skipForward(target);
            return;
        }
        if (target >= 2 * preroll && firstPts_ != AV_NOPTS_VALUE && seekByTimestamp(target, preroll)) return;
        rewind();
        skipForward(target);
    }

    void read(AudioBuffer& buffer, std::uint32_t frameCount) override {
        buffer.setFrameLength(0);
        if (buffer.channelCount() < channels_) return;
        const std::int64_t limit = std::min<std::int64_t>({frameCount, buffer.frameCapacity(), length_ - position_});
        std::uint32_t filled = 0;
        while (filled < limit) {
            if (pendingOffset_ >= pendingFrames_ && !decodeIntoPending()) break;
            const auto n = static_cast<std::uint32_t>(
                std::min<std::int64_t>(limit - filled, pendingFrames_ - pendingOffset_));
            for (std::uint32_t ch = 0; ch < channels_; ++ch) {
                const float* from = pending_.data() + std::size_t(ch) * pendingCapacity_ + pendingOffset_;
                std::copy(from, from + n, buffer.channel(ch) + filled);
            }
            pendingOffset_ += n;
            filled += n;
        }
        buffer.setFrameLength(filled);
        position_ += filled;
    }

private:
    // Decodes one frame and converts it into the pending samples; false at the end.
    bool decodeIntoPending() {
        pendingFrames_ = pendingOffset_ = 0;
        if (!decoder_->next()) return false;
        convertCurrentFrame();
        return true;
    }

    void convertCurrentFrame() {
        AVFrame* frame = decoder_->frame();
        ensureResampler(frame);
        const int capacity = std::max(swr_get_out_samples(resampler_, frame->nb_samples), frame->nb_samples);
        if (capacity > pendingCapacity_) {
            pendingCapacity_ = capacity;
            pending_.assign(std::size_t(channels_) * std::size_t(capacity), 0.0f);
            planes_.resize(channels_);
            for (std::uint32_t ch = 0; ch < channels_; ++ch) {
                planes_[ch] = reinterpret_cast<std::uint8_t*>(pending_.data() + std::size_t(ch) * capacity);
            }
        }
        const int converted = swr_convert(resampler_, planes_.data(), pendingCapacity_,
                                          const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
        if (converted < 0) throw ErrorException(ffmpegError(converted, "convert samples of " + path_.string()));
        pendingFrames_ = converted;
        pendingOffset_ = 0;
    }

    void ensureResampler(const AVFrame* frame) {
        if (resampler_ != nullptr && frame->format == inputFormat_ &&
            av_channel_layout_compare(&frame->ch_layout, &inputLayout_) == 0) {
            return;
        }
        swr_free(&resampler_);
        av_channel_layout_uninit(&inputLayout_);
        av_channel_layout_copy(&inputLayout_, &frame->ch_layout);
        inputFormat_ = frame->format;
        int result = swr_alloc_set_opts2(&resampler_, &outputLayout_, AV_SAMPLE_FMT_FLTP, sampleRate_, &inputLayout_,
                                         static_cast<AVSampleFormat>(inputFormat_), sampleRate_, 0, nullptr);
        if (result >= 0) result = swr_init(resampler_);
        if (result < 0) {
            swr_free(&resampler_);
            throw ErrorException(ffmpegError(result, "convert samples of " + path_.string()));
        }
    }

    void skipForward(std::int64_t target) {
        while (position_ < target) {
            if (pendingOffset_ >= pendingFrames_ && !decodeIntoPending()) {
                position_ = target;  // the stream ended early; reads deliver nothing more
                return;
            }
            const std::int64_t n = std::min<std::int64_t>(target - position_, pendingFrames_ - pendingOffset_);
            pendingOffset_ += static_cast<int>(n);
            position_ += n;
        }
    }

    void rewind() {
        Error error;
        auto fresh = StreamDecoder::open(path_, &error);
        if (!fresh) throw ErrorException(error);
        decoder_ = std::move(fresh);
        pendingFrames_ = pendingOffset_ = 0;
        position_ = 0;
    }

    // Seeks the demuxer about one preroll before the target and decodes up to it, so that
    // the samples equal those of a sequential decode. False when the stream's timestamps
    // don't allow that; the caller then decodes from the start.
    bool seekByTimestamp(std::int64_t target, std::int64_t preroll) {
        const std::int64_t ts = firstPts_ + av_rescale_q(target - preroll, AVRational{1, sampleRate_}, timeBase_);
        pendingFrames_ = pendingOffset_ = 0;
        if (!decoder_->seekBackwardTo(ts)) return false;
        bool first = true;
        while (decoder_->next()) {
            const AVFrame* frame = decoder_->frame();
            const std::int64_t pts = framePts(frame);
            if (pts == AV_NOPTS_VALUE) return false;
            const std::int64_t start = av_rescale_q(pts - firstPts_, timeBase_, AVRational{1, sampleRate_});
            if (first && start > target - preroll / 2) return false;
            first = false;
            if (start + frame->nb_samples <= target) continue;
            if (start > target) return false;
            convertCurrentFrame();
            pendingOffset_ = static_cast<int>(std::min<std::int64_t>(target - start, pendingFrames_));
            position_ = target;
            return true;
        }
        return false;
    }

    std::filesystem::path path_;
    std::unique_ptr<StreamDecoder> decoder_;
    int sampleRate_;
    std::uint32_t channels_;
    std::int64_t length_;
    std::int64_t firstPts_;
    AVRational timeBase_;
    std::int64_t position_ = 0;

    SwrContext* resampler_ = nullptr;
    AVChannelLayout inputLayout_{};
    AVChannelLayout outputLayout_{};
    int inputFormat_ = -1;

    std::vector<float> pending_;
    std::vector<std::uint8_t*> planes_;
    int pendingCapacity_ = 0;
    int pendingFrames_ = 0;
    int pendingOffset_ = 0;
};

}  // namespace

std::unique_ptr<AudioFileReader::Backend> openFFmpegBackend(const std::filesystem::path& file, Error* error) {
    // One counting pass gives the exact length: container durations are estimates for
    // many formats, and encoder delay and padding are only known once decoded.
    auto counter = StreamDecoder::open(file, error);
    if (!counter) return nullptr;
    std::int64_t length = 0;
    std::int64_t firstPts = AV_NOPTS_VALUE;
    try {
        bool first = true;
        while (counter->next()) {
            if (first) firstPts = framePts(counter->frame());
            first = false;
            length += counter->frame()->nb_samples;
        }
    } catch (const ErrorException& failure) {
        if (error != nullptr) *error = failure.error();
        return nullptr;
    }
    counter.reset();
    auto decoder = StreamDecoder::open(file, error);
    if (!decoder) return nullptr;
    return std::make_unique<FFmpegBackend>(file, std::move(decoder), length, firstPts);
}

}  // namespace corvel::audio
