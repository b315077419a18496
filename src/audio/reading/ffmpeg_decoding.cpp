#include "audio/reading/ffmpeg_decoding.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "audio/reading/audio_file_reader.hpp"

namespace corvel::audio::ffmpeg {
namespace {

void quietenLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

constexpr int kIoBufferBytes = 1 << 16;

// What a probe found (a container, or that none fits) and the bytes it read to find it, for
// the next open of the same bytes (the waveform's second route after the reader, a reader per
// thread of an analysis): a probe tries every demuxer FFmpeg has, once or twice over, and
// finds the same for the same name, size and bytes. Only the last probe is kept, and only
// when it read no more than a megabyte.
class ProbeMemo {
public:
    static constexpr std::size_t kMostBytes = std::size_t(1) << 20;

    struct Probe {
        std::string url;
        std::int64_t size = -1;
        std::vector<std::uint8_t> bytes;           // from the start of the file on
        const AVInputFormat* container = nullptr;  // none: no container fits the bytes
    };

    // What the last probe found, when it read this file's bytes under this name.
    std::optional<const AVInputFormat*> find(const std::string& url, const RegularFile& file) {
        std::lock_guard lock(mutex_);
        if (!last_ || last_->url != url || last_->size != file.size()) return std::nullopt;
        bytes_.resize(last_->bytes.size());
        if (file.readAt(bytes_.data(), bytes_.size(), 0) != static_cast<std::int64_t>(bytes_.size()) ||
            bytes_ != last_->bytes) {
            return std::nullopt;
        }
        return last_->container;
    }

    void remember(Probe probe) {
        std::lock_guard lock(mutex_);
        last_ = std::move(probe);
    }

private:
    std::mutex mutex_;
    std::optional<Probe> last_;
    std::vector<std::uint8_t> bytes_;
};

ProbeMemo& probeMemo() {
    static ProbeMemo memo;
    return memo;
}

// A layout the resampler can mix: an unspecified channel order becomes the usual layout
// of as many channels.
int usableLayout(AVChannelLayout* into, const AVChannelLayout& from) {
    if (from.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(into, from.nb_channels);
        return 0;
    }
    return av_channel_layout_copy(into, &from);
}

}  // namespace

Error makeError(int code, const std::string& context) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return Error{kFFmpegErrorDomain, code, context + ": " + text};
}

std::unique_ptr<StreamDecoder> StreamDecoder::open(std::shared_ptr<const RegularFile> file, Error* error) {
    quietenLibraryLog();
    return openAs(std::move(file), nullptr, error);
}

std::unique_ptr<StreamDecoder> StreamDecoder::reopen(Error* error) const {
    return openAs(file_, format_->iformat, error);
}

std::unique_ptr<StreamDecoder> StreamDecoder::openAs(std::shared_ptr<const RegularFile> file,
                                                     const AVInputFormat* container, Error* error) {
    auto decoder = std::unique_ptr<StreamDecoder>(new StreamDecoder(std::move(file)));
    const int result = decoder->openStream(container);
    if (result < 0) {
        if (error != nullptr) *error = makeError(result, "open " + decoder->path_.string());
        return nullptr;
    }
    return decoder;
}

StreamDecoder::~StreamDecoder() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
}

int StreamDecoder::readPacket(void* opaque, std::uint8_t* into, int size) {
    auto* self = static_cast<StreamDecoder*>(opaque);
    if (size <= 0) return 0;
    const std::int64_t got = self->file_->readAt(into, static_cast<std::size_t>(size), self->offset_);
    if (got < 0) return AVERROR(errno);
    if (got == 0) return AVERROR_EOF;
    if (auto* probed = self->probed_; probed != nullptr) {
        // Only a probe that read the file from its start on, and not too far, is kept.
        if (self->offset_ == static_cast<std::int64_t>(probed->size()) &&
            probed->size() + static_cast<std::size_t>(got) <= ProbeMemo::kMostBytes) {
            probed->insert(probed->end(), into, into + got);
        } else {
            self->probed_ = nullptr;
        }
    }
    self->offset_ += got;
    return static_cast<int>(got);
}

std::int64_t StreamDecoder::seekTo(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<StreamDecoder*>(opaque);
    if ((whence & AVSEEK_SIZE) != 0) {
        const std::int64_t size = self->file_->size();
        return size < 0 ? AVERROR(errno) : size;
    }
    std::int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: break;
    case SEEK_CUR: base = self->offset_; break;
    case SEEK_END: base = self->file_->size(); break;
    default: return AVERROR(EINVAL);
    }
    if (base < 0 || offset < -base) return AVERROR(EINVAL);
    self->offset_ = base + offset;
    return self->offset_;
}

bool StreamDecoder::next() {
    if (codec_ == nullptr) return false;
    for (;;) {
        int result = avcodec_receive_frame(codec_, frame_);
        if (result == 0) return true;
        if (result == AVERROR_EOF) return false;
        // A damaged packet is skipped, as players do, whether the decoder finds it taking the
        // packet or decoding it; a decoder that keeps failing without new input ends the audio.
        if (result == AVERROR_INVALIDDATA) {
            if (++failuresSinceLastPacket_ >= kMostFailuresPerPacket) return false;
            continue;
        }
        if (result != AVERROR(EAGAIN)) throw ErrorException(makeError(result, "decode " + path_.string()));
        if (flushed_) return false;
        failuresSinceLastPacket_ = 0;
        result = av_read_frame(format_, packet_);
        if (result == AVERROR_EOF) {
            avcodec_send_packet(codec_, nullptr);
            flushed_ = true;
            continue;
        }
        if (result < 0) throw ErrorException(makeError(result, "read " + path_.string()));
        if (packet_->stream_index == stream_) {
            const PacketMark mark{packet_->pos, packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts};
            if (marks_ != nullptr) marks_->push_back(mark);
            if (!firstSinceSeek_) firstSinceSeek_ = mark;
            result = avcodec_send_packet(codec_, packet_);
            if (result < 0 && result != AVERROR_INVALIDDATA) {
                av_packet_unref(packet_);
                throw ErrorException(makeError(result, "decode " + path_.string()));
            }
        }
        av_packet_unref(packet_);
    }
}

bool StreamDecoder::seekBackwardTo(std::int64_t ts, DecoderAfterSeek decoder) {
    if (av_seek_frame(format_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0) return false;
    return restartDecoder(decoder);
}

bool StreamDecoder::seekBackwardTo(const PacketMark& packet, DecoderAfterSeek decoder) {
    if (packet.timestamp != AV_NOPTS_VALUE) return seekBackwardTo(packet.timestamp, decoder);
    // A demuxer that keeps a generic index seeks by moving to a packet's position and reading
    // on from there; one that also gives no timestamps can only be moved that way.
    if (packet.position < 0 || (format_->iformat->flags & AVFMT_GENERIC_INDEX) == 0 ||
        av_seek_frame(format_, stream_, packet.position, AVSEEK_FLAG_BYTE) < 0) {
        return false;
    }
    return restartDecoder(decoder);
}

bool StreamDecoder::restartDecoder(DecoderAfterSeek decoder) {
    if (decoder == DecoderAfterSeek::fresh) {
        if (openCodec() < 0) {
            avcodec_free_context(&codec_);  // decodes nothing more
            return false;
        }
    } else {
        avcodec_flush_buffers(codec_);
    }
    flushed_ = false;
    failuresSinceLastPacket_ = 0;
    firstSinceSeek_.reset();
    return true;
}

int StreamDecoder::openStream(const AVInputFormat* container) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (buffer == nullptr) return AVERROR(ENOMEM);
    io_ = avio_alloc_context(buffer, kIoBufferBytes, 0, this, &StreamDecoder::readPacket, nullptr, &StreamDecoder::seekTo);
    if (io_ == nullptr) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    format_ = avformat_alloc_context();
    if (format_ == nullptr) return AVERROR(ENOMEM);
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;  // closing the container, even unopened, leaves our I/O to us
    // The name only hints the container to the probe (none runs when the container is
    // given); the bytes come from the opened file.
    int result = container != nullptr ? 0 : findContainer(&container);
    if (result < 0) return result;
    result = avformat_open_input(&format_, path_.c_str(), container, nullptr);
    if (result < 0) return result;
    // Where the header names the first audio stream's codec, its decoder reads the rest from
    // the stream itself. The streams are probed first (by decoding some of them: a decoder
    // more, made and dropped) only where the header names none, or where the decoder can't
    // start without what the probe finds.
    stream_ = firstAudioStream();
    bool probed = false;
    const auto probe = [&] {
        probed = true;
        const int found = avformat_find_stream_info(format_, nullptr);
        stream_ = firstAudioStream();
        return found;
    };
    if (!namesItsCodec(stream_) && (result = probe()) < 0) return result;
    if (stream_ < 0) return AVERROR_STREAM_NOT_FOUND;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (static_cast<int>(i) != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
    }
    result = openCodec();
    if (result < 0 && !probed) {
        if ((result = probe()) < 0) return result;
        if (stream_ < 0) return AVERROR_STREAM_NOT_FOUND;
        result = openCodec();
    }
    if (result < 0) return result;
    if (probed && (codec_->sample_rate <= 0 || codec_->ch_layout.nb_channels <= 0)) return AVERROR_INVALIDDATA;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (packet_ == nullptr || frame_ == nullptr) return AVERROR(ENOMEM);
    return 0;
}

int StreamDecoder::findContainer(const AVInputFormat** container) {
    const std::string url = path_.string();
    if (const auto known = probeMemo().find(url, *file_)) {
        *container = *known;
        return *container != nullptr ? 0 : AVERROR_INVALIDDATA;
    }
    // The probe avformat_open_input runs on a file read through our own I/O. It looks at the
    // first 2 KB, then at twice as much each time until a container is sure of itself (or
    // 1 MB), and where the file ends first, once more past its end to take the likeliest
    // container: told where a shorter file ends, it takes that last look there, with the same
    // bytes and the same outcome, and skips the look past the end.
    constexpr std::int64_t kFirstProbeBytes = 2048;
    constexpr std::int64_t kMostProbeBytes = std::int64_t(1) << 20;
    const std::int64_t size = file_->size();
    const auto probeLimit = static_cast<unsigned>(size < 0 || size >= kMostProbeBytes ? 0
                                                  : std::max(size, kFirstProbeBytes));
    ProbeMemo::Probe probe{url, size, {}, nullptr};
    probed_ = &probe.bytes;
    const int score = av_probe_input_buffer2(io_, container, path_.c_str(), format_, 0, probeLimit);
    const bool whole = probed_ != nullptr;
    probed_ = nullptr;
    // Kept: a container found, or none fitting (a failure to read or to allocate is not).
    if (whole && size >= 0 && (score >= 0 || score == AVERROR_INVALIDDATA)) {
        probe.container = score >= 0 ? *container : nullptr;
        probeMemo().remember(std::move(probe));
    }
    return score < 0 ? score : 0;
}

int StreamDecoder::openCodec() {
    avcodec_free_context(&codec_);
    const AVCodec* decoderCodec = avcodec_find_decoder(format_->streams[stream_]->codecpar->codec_id);
    if (decoderCodec == nullptr) return AVERROR_DECODER_NOT_FOUND;
    codec_ = avcodec_alloc_context3(decoderCodec);
    if (codec_ == nullptr) return AVERROR(ENOMEM);
    int result = avcodec_parameters_to_context(codec_, format_->streams[stream_]->codecpar);
    if (result < 0) return result;
    codec_->pkt_timebase = format_->streams[stream_]->time_base;
    return avcodec_open2(codec_, decoderCodec, nullptr);
}

int StreamDecoder::firstAudioStream() const {
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
        if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return static_cast<int>(i);
    }
    return -1;
}

bool StreamDecoder::namesItsCodec(int stream) const {
    return stream >= 0 && (format_->ctx_flags & AVFMTCTX_NOHEADER) == 0 &&
           format_->streams[stream]->codecpar->codec_id != AV_CODEC_ID_NONE;
}

std::int64_t framePts(const AVFrame* frame) {
    return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

bool isUsable(const AVFrame* frame) {
    return frame->sample_rate > 0 && frame->nb_samples > 0 && frame->ch_layout.nb_channels > 0 &&
           frame->ch_layout.nb_channels <= kMaxChannels;
}

FloatConverter::~FloatConverter() {
    swr_free(&resampler_);
    av_channel_layout_uninit(&inputLayout_);
    av_channel_layout_uninit(&outputLayout_);
}

void FloatConverter::fail(int code) const {
    throw ErrorException(makeError(code, "convert samples of " + path_.string()));
}

void FloatConverter::reset() {
    // Only a resampler that changes the rate, or one left with input it had no room to
    // convert, holds samples back; it is made ready again by the next conversion.
    if (resampler_ != nullptr && (inputRate_ != outputRate_ || swr_get_delay(resampler_, inputRate_) > 0)) {
        swr_close(resampler_);
    }
}

void FloatConverter::prepare(const AVFrame* frame, const AVChannelLayout& outputLayout, int outputRate) {
    const int inputChannels = frame->ch_layout.nb_channels;
    if (frame->sample_rate <= 0 || outputRate <= 0 || inputChannels <= 0 || inputChannels > kMaxChannels ||
        outputLayout.nb_channels <= 0 || outputLayout.nb_channels > kMaxChannels ||
        av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format)) <= 0) {
        fail(AVERROR_INVALIDDATA);
    }
    AVChannelLayout input{};
    AVChannelLayout output{};
    int result = usableLayout(&input, frame->ch_layout);
    if (result >= 0) result = usableLayout(&output, outputLayout);
    if (result >= 0 && resampler_ != nullptr && frame->format == inputFormat_ && frame->sample_rate == inputRate_ &&
        outputRate == outputRate_ && av_channel_layout_compare(&input, &inputLayout_) == 0 &&
        av_channel_layout_compare(&output, &outputLayout_) == 0) {
        av_channel_layout_uninit(&input);
        av_channel_layout_uninit(&output);
        if (swr_is_initialized(resampler_) == 0) {
            result = swr_init(resampler_);
            if (result < 0) {
                swr_free(&resampler_);
                fail(result);
            }
        }
        return;
    }
    swr_free(&resampler_);
    av_channel_layout_uninit(&inputLayout_);
    av_channel_layout_uninit(&outputLayout_);
    inputLayout_ = input;  // takes over what the copies own
    outputLayout_ = output;
    inputFormat_ = frame->format;
    inputRate_ = frame->sample_rate;
    outputRate_ = outputRate;
    outputChannels_ = outputLayout_.nb_channels;
    if (result >= 0) {
        result = swr_alloc_set_opts2(&resampler_, &outputLayout_, output_, outputRate_, &inputLayout_,
                                     static_cast<AVSampleFormat>(inputFormat_), inputRate_, 0, nullptr);
    }
    if (result >= 0) result = swr_init(resampler_);
    if (result < 0) {
        swr_free(&resampler_);
        fail(result);
    }
}

void FloatConverter::reserve(int frames) {
    if (frames <= capacity_ && outputChannels_ == bufferChannels_) return;
    capacity_ = std::max(frames, capacity_);
    bufferChannels_ = outputChannels_;
    samples_.assign(std::size_t(bufferChannels_) * std::size_t(capacity_), 0.0f);
    const bool planar = av_sample_fmt_is_planar(output_) != 0;
    planes_.assign(planar ? std::size_t(bufferChannels_) : 1, nullptr);
    for (std::size_t ch = 0; ch < planes_.size(); ++ch) {
        planes_[ch] = reinterpret_cast<std::uint8_t*>(samples_.data() + ch * std::size_t(capacity_));
    }
}

std::optional<int> FloatConverter::copyAsIs(const AVFrame* frame, const AVChannelLayout& outputLayout,
                                            int outputRate) {
    const int channels = outputLayout.nb_channels;
    if (frame->format != output_ || (output_ != AV_SAMPLE_FMT_FLT && output_ != AV_SAMPLE_FMT_FLTP) ||
        frame->sample_rate != outputRate || outputRate <= 0 || channels <= 0 || channels > kMaxChannels ||
        av_channel_layout_compare(&frame->ch_layout, &outputLayout) != 0) {
        return std::nullopt;
    }
    // A resampler made before starts afresh when a later frame needs one, as it would had it
    // converted this frame.
    swr_free(&resampler_);
    outputChannels_ = channels;
    if (frame->nb_samples <= 0) return 0;
    reserve(frame->nb_samples);
    const auto frames = std::size_t(frame->nb_samples);
    if (av_sample_fmt_is_planar(output_) != 0) {
        for (std::size_t ch = 0; ch < std::size_t(channels); ++ch) {
            std::copy_n(reinterpret_cast<const float*>(frame->extended_data[ch]), frames,
                        samples_.data() + ch * std::size_t(capacity_));
        }
    } else {
        std::copy_n(reinterpret_cast<const float*>(frame->extended_data[0]), frames * std::size_t(channels),
                    samples_.data());
    }
    return frame->nb_samples;
}

int FloatConverter::convert(const AVFrame* frame, const AVChannelLayout& outputLayout, int outputRate) {
    if (const auto copied = copyAsIs(frame, outputLayout, outputRate)) return *copied;
    prepare(frame, outputLayout, outputRate);
    if (frame->nb_samples <= 0) return 0;
    // Sized from this frame and this output shape: a frame with more channels or samples
    // than the last one never writes past the buffer.
    const int expected = swr_get_out_samples(resampler_, frame->nb_samples);
    if (expected < 0) fail(expected);
    reserve(std::max(expected, frame->nb_samples));
    const int converted = swr_convert(resampler_, planes_.data(), capacity_,
                                      const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
    if (converted < 0) fail(converted);
    if (converted > capacity_ || bufferChannels_ != outputChannels_) fail(AVERROR_BUG);
    return converted;
}

}  // namespace corvel::audio::ffmpeg
