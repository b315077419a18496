// The FFmpeg route of the audio-file reader: the first audio stream of any container,
// decoded and converted to planar 32-bit float in the channel layout and at the rate of
// its first frame, whatever later frames carry.

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
}

#include "audio/reading/audio_file_backend.hpp"
#include "audio/reading/ffmpeg_decoding.hpp"

namespace corvel::audio {
namespace {

using ffmpeg::isUsable;
using ffmpeg::StreamDecoder;

// The frame's timestamp, length and a digest of its samples as decoded: what tells the first
// frame of a stream decoded again from a fresh decoder's from another.
struct FrameSignature {
    std::int64_t pts = AV_NOPTS_VALUE;
    int samples = 0;
    std::uint64_t digest = 0;
    friend bool operator==(const FrameSignature&, const FrameSignature&) = default;

    static FrameSignature of(const AVFrame* frame) {
        const auto format = static_cast<AVSampleFormat>(frame->format);
        const int bytes = std::max(av_get_bytes_per_sample(format), 0);
        const int channels = frame->ch_layout.nb_channels;
        const bool planar = av_sample_fmt_is_planar(format) != 0;
        const std::size_t planeBytes = std::size_t(frame->nb_samples) * std::size_t(bytes) * (planar ? 1 : channels);
        // FNV-1a over 8-byte words (then the bytes left over): a frame's samples take an
        // eighth of the steps they would byte by byte.
        std::uint64_t digest = 0xcbf29ce484222325ull;
        const auto mix = [&digest](std::uint64_t value) { digest = (digest ^ value) * 0x100000001b3ull; };
        for (int plane = 0; plane < (planar ? channels : 1); ++plane) {
            const std::uint8_t* data = frame->extended_data[plane];
            if (data == nullptr) continue;
            std::size_t i = 0;
            for (; i + sizeof(std::uint64_t) <= planeBytes; i += sizeof(std::uint64_t)) {
                std::uint64_t word = 0;
                std::memcpy(&word, data + i, sizeof word);
                mix(word);
            }
            for (; i < planeBytes; ++i) mix(data[i]);
        }
        return FrameSignature{ffmpeg::framePts(frame), frame->nb_samples, digest};
    }
};

// Where the counting pass found the frames and packets of the stream. A seek lands where the
// demuxer says, at the timestamp it says; both are taken only when the counting pass met that
// packet there with that timestamp, and the frames decoded from it, with these timestamps
// and lengths. Demuxers that guess a timestamp (from a bit rate, or from a table of contents
// whose header lies) and decoders that trim a frame only when it is read in order thus never
// misplace audio: the reader then decodes from the start.
struct StreamMap {
    struct Frame {
        std::int64_t pts = 0;
        std::int64_t start = 0;  // frames at the reader's rate before it
    };
    std::vector<Frame> frames;                // in decoding order, timestamps rising
    std::vector<ffmpeg::PacketMark> packets;  // by position in the file
    std::int64_t length = 0;
    std::optional<FrameSignature> first;      // the first usable frame
    std::optional<ffmpeg::PacketMark> firstPacket;

    void addFrame(std::int64_t pts, std::int64_t samples) {
        if (seekable_) {
            seekable_ = pts != AV_NOPTS_VALUE && (frames.empty() || pts > frames.back().pts);
            frames.push_back({pts, length});
        }
        length += samples;
    }

    // Drops what a stream without rising timestamps can't use; sorts the packets.
    void finish() {
        if (!seekable_) std::vector<Frame>().swap(frames);
        std::stable_sort(packets.begin(), packets.end(),
                         [](const ffmpeg::PacketMark& a, const ffmpeg::PacketMark& b) { return a.position < b.position; });
    }

    // The counted frame to seek to so that decoding starts at or before this frame.
    const Frame* frameAtOrBefore(std::int64_t position) const {
        const auto after = std::upper_bound(frames.begin(), frames.end(), position,
                                            [](std::int64_t p, const Frame& f) { return p < f.start; });
        return after == frames.begin() ? nullptr : &*(after - 1);
    }

    // Where the counted frame with this timestamp and this many samples starts; none when
    // the counting pass decoded no such frame.
    std::optional<std::int64_t> startOf(std::int64_t pts, int samples) const {
        const auto at = std::lower_bound(frames.begin(), frames.end(), pts,
                                         [](const Frame& f, std::int64_t t) { return f.pts < t; });
        if (at == frames.end() || at->pts != pts) return std::nullopt;
        const std::int64_t end = at + 1 == frames.end() ? length : (at + 1)->start;
        if (end - at->start != samples) return std::nullopt;
        return at->start;
    }

    bool counted(const std::optional<ffmpeg::PacketMark>& mark) const {
        if (!mark || mark->position < 0 || mark->timestamp == AV_NOPTS_VALUE) return false;
        const auto at = std::lower_bound(packets.begin(), packets.end(), mark->position,
                                         [](const ffmpeg::PacketMark& m, std::int64_t p) { return m.position < p; });
        return at != packets.end() && *at == *mark;
    }

private:
    bool seekable_ = true;
};

class FFmpegBackend final : public AudioFileReader::Backend {
public:
    // The first frame's layout and rate give the reader's format; length is counted in it.
    // The decoder may be anywhere in the stream: rewind() before reading.
    FFmpegBackend(std::shared_ptr<const RegularFile> file, std::unique_ptr<StreamDecoder> decoder,
                  const AVChannelLayout& layout, int sampleRate, StreamMap map)
        : file_(std::move(file)),
          decoder_(std::move(decoder)),
          sampleRate_(sampleRate),
          channels_(static_cast<std::uint32_t>(layout.nb_channels)),
          length_(map.length),
          map_(std::move(map)),
          converter_(AV_SAMPLE_FMT_FLTP, file_->path()) {
        if (av_channel_layout_copy(&outputLayout_, &layout) < 0) av_channel_layout_default(&outputLayout_, layout.nb_channels);
    }

    ~FFmpegBackend() override { av_channel_layout_uninit(&outputLayout_); }

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
        if (target >= 2 * preroll && seekByTimestamp(target, preroll)) return;
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
                const float* from = converter_.data() + std::size_t(ch) * converter_.stride() + pendingOffset_;
                std::copy(from, from + n, buffer.channel(ch) + filled);
            }
            pendingOffset_ += n;
            filled += n;
        }
        buffer.setFrameLength(filled);
        position_ += filled;
    }

    // Decodes anew from the start: by seeking there, where the decoder then gives the first
    // frame exactly as it did when counted (flushed, or else made anew), else by opening the
    // file opened first again (never by its name) as the container found then. Throws
    // ErrorException when that fails.
    void rewind() {
        converter_.reset();
        pendingFrames_ = pendingOffset_ = 0;
        position_ = 0;
        if (seekToTheStart(StreamDecoder::DecoderAfterSeek::flushed) ||
            seekToTheStart(StreamDecoder::DecoderAfterSeek::fresh)) {
            return;
        }
        Error error;
        auto fresh = decoder_->reopen(&error);
        if (!fresh) throw ErrorException(error);
        decoder_ = std::move(fresh);
        converter_.reset();
        pendingFrames_ = pendingOffset_ = 0;
    }

private:
    // Decodes and converts one frame into the pending samples; false at the end.
    bool decodeIntoPending() {
        pendingFrames_ = pendingOffset_ = 0;
        do {
            if (!decoder_->next()) return false;
        } while (!isUsable(decoder_->frame()));
        pendingFrames_ = convert(decoder_->frame());
        return true;
    }

    int convert(const AVFrame* frame) {
        const int frames = converter_.convert(frame, outputLayout_, sampleRate_);
        if (converter_.channels() != static_cast<int>(channels_)) {
            throw ErrorException(ffmpeg::makeError(AVERROR_BUG, "convert samples of " + file_->path().string()));
        }
        return frames;
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

    bool seekToTheStart(StreamDecoder::DecoderAfterSeek decoder) {
        const auto& start = map_.firstPacket;
        if (!map_.first || !start || !decoder_->seekBackwardTo(*start, decoder)) {
            return false;
        }
        while (decoder_->next()) {
            const AVFrame* frame = decoder_->frame();
            if (!isUsable(frame)) continue;
            if (decoder_->firstPacketSinceSeek() != start || FrameSignature::of(frame) != *map_.first) return false;
            pendingFrames_ = convert(frame);
            return true;
        }
        return false;
    }

    // Seeks the demuxer about one preroll before the target and decodes up to it, so that
    // the samples equal those of a sequential decode. False when the stream map doesn't
    // vouch for where that lands; the caller then decodes from the start.
    bool seekByTimestamp(std::int64_t target, std::int64_t preroll) {
        const StreamMap::Frame* from = map_.frameAtOrBefore(target - preroll);
        if (from == nullptr) return false;
        pendingFrames_ = pendingOffset_ = 0;
        if (!decoder_->seekBackwardTo(from->pts)) return false;
        converter_.reset();
        bool first = true;
        while (decoder_->next()) {
            const AVFrame* frame = decoder_->frame();
            if (!isUsable(frame)) continue;
            // Frames at another rate don't count on this grid: decode from the start instead.
            if (frame->sample_rate != sampleRate_) return false;
            if (first && !map_.counted(decoder_->firstPacketSinceSeek())) return false;
            const auto start = map_.startOf(ffmpeg::framePts(frame), frame->nb_samples);
            if (!start || (first && *start > target - preroll / 2)) return false;
            first = false;
            if (*start + frame->nb_samples <= target) continue;
            if (*start > target) return false;
            pendingFrames_ = convert(frame);
            pendingOffset_ = static_cast<int>(std::min<std::int64_t>(target - *start, pendingFrames_));
            position_ = target;
            return true;
        }
        return false;
    }

    std::shared_ptr<const RegularFile> file_;
    std::unique_ptr<StreamDecoder> decoder_;
    int sampleRate_;
    std::uint32_t channels_;
    std::int64_t length_;
    StreamMap map_;
    std::int64_t position_ = 0;

    AVChannelLayout outputLayout_{};
    ffmpeg::FloatConverter converter_;
    int pendingFrames_ = 0;
    int pendingOffset_ = 0;
};

}  // namespace

std::unique_ptr<AudioFileReader::Backend> openFFmpegBackend(std::shared_ptr<const RegularFile> file, Error* error) {
    // One counting pass gives the exact length: container durations are estimates for
    // many formats, and encoder delay and padding are only known once decoded. Frames at
    // another rate than the first count as many frames as they become once converted.
    auto counter = StreamDecoder::open(file, error);
    if (!counter) return nullptr;
    StreamMap map;
    counter->markPackets(&map.packets);
    int sampleRate = 0;
    AVChannelLayout layout{};
    try {
        while (counter->next()) {
            const AVFrame* frame = counter->frame();
            if (!isUsable(frame)) continue;
            if (sampleRate == 0) {
                map.first = FrameSignature::of(frame);
                sampleRate = frame->sample_rate;
                if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0) {
                    av_channel_layout_default(&layout, frame->ch_layout.nb_channels);
                }
            }
            map.addFrame(ffmpeg::framePts(frame), frame->sample_rate == sampleRate
                                                      ? frame->nb_samples
                                                      : av_rescale(frame->nb_samples, sampleRate, frame->sample_rate));
        }
    } catch (const ErrorException& failure) {
        av_channel_layout_uninit(&layout);
        if (error != nullptr) *error = failure.error();
        return nullptr;
    }
    counter->markPackets(nullptr);
    map.firstPacket = counter->firstPacketSinceSeek();
    map.finish();
    if (sampleRate == 0) {  // no frame decoded: the declared format, and nothing to read
        sampleRate = counter->codec()->sample_rate;
        av_channel_layout_copy(&layout, &counter->codec()->ch_layout);
        if (sampleRate <= 0 || layout.nb_channels <= 0) {  // nor any format: no audio at all
            av_channel_layout_uninit(&layout);
            if (error != nullptr) *error = ffmpeg::makeError(AVERROR_INVALIDDATA, "open " + file->path().string());
            return nullptr;
        }
    }
    auto backend = std::make_unique<FFmpegBackend>(std::move(file), std::move(counter), layout, sampleRate,
                                                   std::move(map));
    av_channel_layout_uninit(&layout);
    try {
        backend->rewind();
    } catch (const ErrorException& failure) {
        if (error != nullptr) *error = failure.error();
        return nullptr;
    }
    return backend;
}

}  // namespace corvel::audio
