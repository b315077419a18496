#include "audio/preview/preview_engine.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "audio/preview/rate_converter.hpp"
#include "common/error.hpp"

namespace corvel::audio {
namespace {

// The ring holds at most this many frames (about 1.4 s at 48 kHz), far more than the feeder
// thread's pause between two fills.
constexpr std::uint64_t kRingFrames = 1u << 16;
constexpr std::uint32_t kReadBlockFrames = 4096;
constexpr auto kFeederPause = std::chrono::milliseconds(5);

// The render thread may touch only atomics that never fall back to a lock.
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<const void*>::is_always_lock_free);

}  // namespace

// One segment of a file, streamed through a single-producer single-consumer ring of
// interleaved frames at the output's rate. fill() is the producer (the feeder), mixInto() the
// consumer (render). The first fill seeks to the segment, so the constructor never touches
// the file.
class PreviewEngine::FileStream {
public:
    FileStream(std::unique_ptr<AudioSource> file, std::int64_t firstFrame, std::uint32_t frameCount,
               double outputRate)
        : file_(std::move(file)),
          channels_(file_->channelCount()),
          firstFrame_(firstFrame),
          remaining_(frameCount),
          outputRate_(outputRate > 0 && outputRate != file_->sampleRate() && file_->sampleRate() > 0 ? outputRate : 0) {
        const double ratio = outputRate_ > 0 ? outputRate_ / file_->sampleRate() : 1.0;
        const double expected = std::ceil(static_cast<double>(frameCount) * ratio) + (outputRate_ > 0 ? 256 : 0);
        capacity_ = expected >= static_cast<double>(kRingFrames)
                        ? kRingFrames
                        : std::bit_ceil(std::max<std::uint64_t>(static_cast<std::uint64_t>(expected), 1));
        if (channels_ > 0) ring_.assign(capacity_ * channels_, 0.0f);
    }

    // Reads the file into the ring until the ring is full, the segment has ended or a stop is
    // asked for. A file that fails to seek or decode ends the segment there.
    void fill(const std::stop_token& stop = {}) {
        if (finished_.load(std::memory_order_relaxed)) return;
        if (!begun_) {
            begun_ = true;
            if (!begin()) return finish();
        }
        try {
            fillRing(stop);
        } catch (const ErrorException&) {
            finish();
        }
        primed_.store(true, std::memory_order_release);
    }

    // Whether the first fill has run (or the stream has ended): from then on the ring holds
    // what the file could give.
    bool primed() const { return primed_.load(std::memory_order_acquire); }

    // The file, taken back once neither the feeder nor the render thread uses the stream.
    std::unique_ptr<AudioSource> release() { return std::move(file_); }

    // Adds the next `frames` frames of the segment to the output. Frames the feeder has not
    // delivered in time are silence, and skipped when they arrive, so the file keeps its
    // place against the clicks.
    void mixInto(float* out, std::uint32_t outChannels, std::uint32_t frames) noexcept {
        const bool finished = finished_.load(std::memory_order_acquire);
        std::uint64_t r = readIndex_.load(std::memory_order_relaxed);
        std::uint64_t available = writeIndex_.load(std::memory_order_acquire) - r;
        const std::uint64_t skipped = std::min(skip_, available);
        r += skipped;
        available -= skipped;
        skip_ -= skipped;
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, available));
        for (std::uint32_t i = 0; i < n; ++i) {
            const float* frame = ring_.data() + ((r + i) & (capacity_ - 1)) * channels_;
            float* target = out + std::size_t(i) * outChannels;
            for (std::uint32_t c = 0; c < outChannels; ++c) {
                const std::uint32_t source = channels_ == 1 ? 0 : c;
                if (source < channels_) target[c] += frame[source];
            }
        }
        readIndex_.store(r + n, std::memory_order_release);
        if (n < frames && !finished) skip_ += frames - n;
    }

private:
    bool begin() {
        if (channels_ == 0) return false;
        try {
            file_->setFramePosition(firstFrame_);
            if (outputRate_ > 0) {
                converter_.emplace(channels_, static_cast<int>(std::lround(file_->sampleRate())),
                                   static_cast<int>(std::lround(outputRate_)));
                const double ratio = outputRate_ / file_->sampleRate();
                converted_.resize(std::size_t(std::ceil(kReadBlockFrames * ratio) + 1024) * channels_);
            }
        } catch (const ErrorException&) {
            return false;
        }
        block_ = file_->makeBuffer(static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity_, kReadBlockFrames)));
        return block_.has_value();
    }

    void fillRing(const std::stop_token& stop) {
        for (;;) {
            if (stop.stop_requested()) return;
            const std::uint64_t free = capacity_ - (writeIndex_.load(std::memory_order_relaxed) -
                                                    readIndex_.load(std::memory_order_acquire));
            if (remaining_ == 0) return drain(free);
            auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>({free, remaining_, block_->frameCapacity()}));
            if (converter_) {
                const std::uint64_t room = std::min<std::uint64_t>(free, converted_.size() / channels_);
                while (want > 0 && converter_->maxOutputFrames(want) > room) want /= 2;
            }
            if (want == 0) return;
            file_->read(*block_, want);
            const std::uint32_t got = block_->frameLength();
            if (got == 0) {
                remaining_ = 0;  // the file ended early
                continue;
            }
            remaining_ -= got;
            if (converter_) {
                push(converted_.data(),
                     converter_->convert(*block_, got, converted_.data(),
                                         static_cast<std::uint32_t>(converted_.size() / channels_)));
                continue;
            }
            const std::uint64_t w = writeIndex_.load(std::memory_order_relaxed);
            for (std::uint32_t i = 0; i < got; ++i) {
                float* frame = ring_.data() + ((w + i) & (capacity_ - 1)) * channels_;
                for (std::uint32_t c = 0; c < channels_; ++c) frame[c] = block_->channel(c)[i];
            }
            writeIndex_.store(w + got, std::memory_order_release);
        }
    }

    // The segment is read: the converter's held-back frames go out, then the stream ends.
    void drain(std::uint64_t free) {
        if (converter_) {
            const std::uint32_t tail = converter_->maxOutputFrames(0);
            if (tail > free) return;  // once the render thread has made room
            push(converted_.data(),
                 converter_->flush(converted_.data(), static_cast<std::uint32_t>(converted_.size() / channels_)));
        }
        finish();
    }

    // Appends interleaved frames (as many as fit) to the ring.
    void push(const float* interleaved, std::uint32_t frames) {
        const std::uint64_t w = writeIndex_.load(std::memory_order_relaxed);
        for (std::uint32_t i = 0; i < frames; ++i) {
            std::copy_n(interleaved + std::size_t(i) * channels_, channels_,
                        ring_.data() + ((w + i) & (capacity_ - 1)) * channels_);
        }
        writeIndex_.store(w + frames, std::memory_order_release);
    }

    void finish() {
        finished_.store(true, std::memory_order_release);
        primed_.store(true, std::memory_order_release);
    }

    std::unique_ptr<AudioSource> file_;
    std::uint32_t channels_;
    std::int64_t firstFrame_;
    std::uint64_t capacity_ = 1;  // a power of two
    std::uint64_t remaining_;     // file frames still to read
    double outputRate_;           // 0: the file plays at its own rate
    bool begun_ = false;
    std::optional<AudioBuffer> block_;
    std::optional<RateConverter> converter_;
    std::vector<float> converted_;
    std::vector<float> ring_;
    std::atomic<std::uint64_t> writeIndex_{0};
    std::atomic<std::uint64_t> readIndex_{0};
    std::atomic<bool> finished_{false};
    std::atomic<bool> primed_{false};
    std::uint64_t skip_ = 0;  // the consumer's own
};

PreviewEngine::PreviewEngine(std::unique_ptr<PreviewOutput> output)
    : output_(std::move(output)), format_(output_->format()) {}

PreviewEngine::~PreviewEngine() {
    // The output goes first: its render thread must be done with this engine.
    output_.reset();
    feeder_ = {};
}

void PreviewEngine::scheduleSegment(std::unique_ptr<AudioSource> file, std::int64_t firstFrame,
                                    std::uint32_t frameCount) {
    if (started_ || !file) return;
    file_ = std::make_unique<FileStream>(std::move(file), firstFrame, frameCount, format_.sampleRate);
}

void PreviewEngine::scheduleClicks(AudioBuffer normal, AudioBuffer accent, std::vector<ClickPlacement> placements) {
    if (started_ || normal.channelCount() == 0 || accent.channelCount() == 0) return;
    clicks_ = std::make_unique<Clicks>(Clicks{std::move(normal), std::move(accent), std::move(placements)});
}

void PreviewEngine::start() {
    if (!started_) {
        started_ = true;
        renderFile_.store(file_.get(), std::memory_order_release);
        renderClicks_.store(clicks_.get(), std::memory_order_release);
        // Behind a real-time output the feeder seeks and fills from the start on; the sources
        // wait for its first fill (see render). An offline output fills before each render.
        if (file_ && !output_->rendersOnCallerThread()) {
            feeder_ = std::jthread([stream = file_.get()](std::stop_token stop) {
                std::mutex mutex;
                std::condition_variable_any wake;
                std::unique_lock lock(mutex);
                while (!stop.stop_requested()) {
                    stream->fill(stop);
                    wake.wait_for(lock, stop, kFeederPause, [] { return false; });
                }
            });
        }
    }
    output_->start(*this);
}

void PreviewEngine::pause() { output_->pause(); }

void PreviewEngine::stop() {
    output_->stop();
    feeder_ = {};
}

std::unique_ptr<AudioSource> PreviewEngine::releaseFile() {
    feeder_ = {};
    return file_ ? file_->release() : nullptr;
}

void PreviewEngine::playAfter(std::int64_t delayFrames) {
    const std::int64_t now = renderedFrames_.load(std::memory_order_acquire);
    startFrame_.store(now + std::max<std::int64_t>(delayFrames, 0), std::memory_order_release);
}

std::optional<std::int64_t> PreviewEngine::sourceSampleTime() const {
    const std::int64_t start = startFrame_.load(std::memory_order_acquire);
    const std::int64_t rendered = renderedFrames_.load(std::memory_order_acquire);
    if (start == kNotPlaying || rendered == 0) return std::nullopt;
    return rendered - start - heldFrames_.load(std::memory_order_acquire);
}

void PreviewEngine::prepareFrames(std::uint32_t) {
    if (file_) file_->fill();
}

void PreviewEngine::render(float* interleaved, std::uint32_t frames) noexcept {
    std::fill_n(interleaved, std::size_t(frames) * format_.channelCount, 0.0f);
    const std::int64_t clock = renderedFrames_.load(std::memory_order_relaxed);
    const std::int64_t start = startFrame_.load(std::memory_order_acquire);
    if (start != kNotPlaying) {
        const std::int64_t held = heldFrames_.load(std::memory_order_relaxed);
        const std::int64_t sourceTime = clock - start - held;
        const FileStream* file = renderFile_.load(std::memory_order_acquire);
        if (sourceTime <= 0 && sourceTime + frames > 0 && file != nullptr && !file->primed()) {
            // The file's first frames are not there yet: both sources wait at their start, so
            // the file begins whole and the clicks stay with it.
            heldFrames_.store(held + sourceTime + frames, std::memory_order_release);
        } else {
            mixFile(interleaved, frames, sourceTime);
            mixClicks(interleaved, frames, sourceTime);
        }
    }
    renderedFrames_.store(clock + frames, std::memory_order_release);
}

void PreviewEngine::mixFile(float* out, std::uint32_t frames, std::int64_t sourceTime) noexcept {
    FileStream* file = renderFile_.load(std::memory_order_acquire);
    if (file == nullptr || sourceTime + frames <= 0) return;
    const auto offset = static_cast<std::uint32_t>(sourceTime < 0 ? -sourceTime : 0);
    file->mixInto(out + std::size_t(offset) * format_.channelCount, format_.channelCount, frames - offset);
}

void PreviewEngine::mixClicks(float* out, std::uint32_t frames, std::int64_t sourceTime) noexcept {
    const Clicks* clicks = renderClicks_.load(std::memory_order_acquire);
    if (clicks == nullptr) return;
    const float volume = clickVolume_.load(std::memory_order_relaxed);
    const std::int64_t blockEnd = sourceTime + frames;
    const std::uint32_t outChannels = format_.channelCount;
    for (std::size_t i = nextClick_; i < clicks->placements.size(); ++i) {
        const ClickPlacement& click = clicks->placements[i];
        if (click.sampleTime >= blockEnd) break;
        const AudioBuffer& buffer = click.accent ? clicks->accent : clicks->normal;
        const std::int64_t clickEnd = click.sampleTime + buffer.frameLength();
        if (clickEnd <= sourceTime) {
            // Played out; clicks before it that are still sounding keep the index where it is.
            if (i == nextClick_) ++nextClick_;
            continue;
        }
        const std::int64_t from = std::max(click.sampleTime, sourceTime);
        const std::int64_t to = std::min(clickEnd, blockEnd);
        for (std::int64_t t = from; t < to; ++t) {
            float* target = out + std::size_t(t - sourceTime) * outChannels;
            const auto index = std::size_t(t - click.sampleTime);
            for (std::uint32_t c = 0; c < outChannels; ++c) {
                const std::uint32_t channel = std::min(c, buffer.channelCount() - 1);
                target[c] += buffer.channel(channel)[index] * volume;
            }
        }
    }
}

}  // namespace corvel::audio
