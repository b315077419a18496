#pragma once

// FFmpeg decoding shared by the audio-file reader and the waveform's second route.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "audio/reading/audio_file_reader.hpp"
#include "audio/reading/regular_file.hpp"
#include "common/error.hpp"

namespace corvel::audio::ffmpeg {

Error makeError(int code, const std::string& context);

// More channels than the reader opens; the resampler takes no more.
inline constexpr int kMaxChannels = static_cast<int>(kMostChannels);

// Where a packet of the stream lies in the file, and its timestamp (pts, else dts).
struct PacketMark {
    std::int64_t position = -1;
    std::int64_t timestamp = AV_NOPTS_VALUE;
    friend bool operator==(const PacketMark&, const PacketMark&) = default;
};

// One open container with the decoder of its first audio stream, read through the opened
// file (never by its name, so several decoders of one file see the same bytes).
class StreamDecoder {
public:
    // Null (with the library's error in *error) when the file has no decodable audio stream.
    // The decoder's rate and channels may stay unknown until it decodes a frame.
    static std::unique_ptr<StreamDecoder> open(std::shared_ptr<const RegularFile> file, Error* error);
    // The same file opened again, as the container this decoder found it to be: the probe
    // that told it would tell the same of the same bytes.
    std::unique_ptr<StreamDecoder> reopen(Error* error) const;
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    AVCodecContext* codec() const { return codec_; }
    AVStream* stream() const { return format_->streams[stream_]; }
    AVFrame* frame() const { return frame_; }

    // Decodes the next frame into frame(); false at the end of the stream. Damaged packets
    // are skipped; other failures throw ErrorException (domain "FFmpeg").
    bool next();
    // Moves the demuxer to the last seek point at or before ts (stream time base), with the
    // decoder flushed or, fresh, made anew (as a decoder that never decoded anything). False
    // when the demuxer can't seek there, or a fresh decoder can't be made (the stream then
    // decodes nothing more).
    enum class DecoderAfterSeek { flushed, fresh };
    bool seekBackwardTo(std::int64_t ts, DecoderAfterSeek decoder = DecoderAfterSeek::flushed);
    // Moves the demuxer back to a packet it gave before: by its timestamp where it has one,
    // else, in a stream that a demuxer reads packet by packet from wherever it is put (a raw
    // stream such as ADTS, whose packets carry no timestamps), to its position in the file.
    // The decoder as above; false when the demuxer can't seek there.
    bool seekBackwardTo(const PacketMark& packet, DecoderAfterSeek decoder);

    // From now on every packet of the stream given to the decoder is added to *marks (null:
    // none is).
    void markPackets(std::vector<PacketMark>* marks) { marks_ = marks; }
    // The first packet of the stream given to the decoder since the last seek; none before it.
    const std::optional<PacketMark>& firstPacketSinceSeek() const { return firstSinceSeek_; }

private:
    explicit StreamDecoder(std::shared_ptr<const RegularFile> file)
        : file_(std::move(file)), path_(file_->path()) {}
    // Probes the container unless it is given.
    static std::unique_ptr<StreamDecoder> openAs(std::shared_ptr<const RegularFile> file,
                                                 const AVInputFormat* container, Error* error);
    int openStream(const AVInputFormat* container);
    // The container of the file's bytes: what the last probe found when these are the bytes
    // it read, else what a probe finds now.
    int findContainer(const AVInputFormat** container);
    int openCodec();
    // The decoder flushed or made anew after the demuxer moved; false when a fresh one can't
    // be made.
    bool restartDecoder(DecoderAfterSeek decoder);
    int firstAudioStream() const;
    // Whether the container's header names the stream's codec (and finds every stream in its
    // header, so that no other audio stream could come first).
    bool namesItsCodec(int stream) const;
    static int readPacket(void* opaque, std::uint8_t* into, int size);
    static std::int64_t seekTo(void* opaque, std::int64_t offset, int whence);

    std::shared_ptr<const RegularFile> file_;
    std::filesystem::path path_;
    std::int64_t offset_ = 0;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int stream_ = -1;
    bool flushed_ = false;
    static constexpr int kMostFailuresPerPacket = 16;
    int failuresSinceLastPacket_ = 0;
    std::vector<PacketMark>* marks_ = nullptr;
    std::vector<std::uint8_t>* probed_ = nullptr;  // while probing: the bytes read, from the start on
    std::optional<PacketMark> firstSinceSeek_;
};

// The frame's presentation time in its stream's time base, or AV_NOPTS_VALUE.
std::int64_t framePts(const AVFrame* frame);

// A frame with samples in a format the converter takes; the reader's counting pass, its reads
// and the waveform's own route all skip the rest alike.
bool isUsable(const AVFrame* frame);

// Converts decoded frames to 32-bit float, planar or interleaved, in the channel layout and
// at the rate asked for. Any frame may change format, rate or channel layout from the one
// before (a damaged header, a stream that changes its channels partway): the resampler is
// then made anew and the output buffer sized from each frame. The output lives until the
// next call.
class FloatConverter {
public:
    FloatConverter(AVSampleFormat output, std::filesystem::path path) : output_(output), path_(std::move(path)) {}
    ~FloatConverter();
    FloatConverter(const FloatConverter&) = delete;
    FloatConverter& operator=(const FloatConverter&) = delete;

    // Returns the number of frames converted, each of channels() samples; throws
    // ErrorException on failure.
    int convert(const AVFrame* frame, const AVChannelLayout& outputLayout, int outputRate);
    // Drops the samples the resampler holds back (after a seek).
    void reset();
    int channels() const { return outputChannels_; }
    // Planar: channel c starts at data() + c * stride(). Interleaved: stride() is unused.
    const float* data() const { return samples_.data(); }
    std::size_t stride() const { return std::size_t(capacity_); }

private:
    // Samples already in the output's sample format, rate and layout are only copied: what
    // the resampler would do with them, bit for bit, without making one. Returns the frames
    // copied, none when the frame is not such.
    std::optional<int> copyAsIs(const AVFrame* frame, const AVChannelLayout& outputLayout, int outputRate);
    void prepare(const AVFrame* frame, const AVChannelLayout& outputLayout, int outputRate);
    void reserve(int frames);
    [[noreturn]] void fail(int code) const;

    AVSampleFormat output_;
    std::filesystem::path path_;
    SwrContext* resampler_ = nullptr;
    AVChannelLayout inputLayout_{};
    AVChannelLayout outputLayout_{};
    int inputFormat_ = -1;
    int inputRate_ = 0;
    int outputRate_ = 0;
    int outputChannels_ = 0;
    std::vector<float> samples_;
    std::vector<std::uint8_t*> planes_;
    int capacity_ = 0;
    int bufferChannels_ = 0;
};

}  // namespace corvel::audio::ffmpeg
