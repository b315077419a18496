#include "audio/preview_engine.hpp"

#include <algorithm>
#include <bit>
#include <chrono>

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
// interleaved frames. fill() is the producer (the feeder), mixInto() the consumer (render).
class PreviewEngine::FileStream {
public:
    FileStream(std::unique_ptr<AudioSource> file, std::int64_t firstFrame, std::uint32_t frameCount)
        : file_(std::move(file)),
          channels_(file_->channelCount()),
          capacity_(std::min<std::uint64_t>(std::bit_ceil(std::max<std::uint64_t>(frameCount, 1)), kRingFrames)),
          remaining_(frameCount) {
        file_->setFramePosition(firstFrame);
        if (channels_ == 0) return;
        block_ = file_->makeBuffer(static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity_, kReadBlockFrames)));
        if (block_) ring_.assign(capacity_ * channels_, 0.0f);
    }

    // Reads the file into the ring until the ring is full or the segment has ended. A file
    // that fails to decode ends the segment there.
    void fill() {
        if (finished_.load(std::memory_order_relaxed)) return;
        for (;;) {
            if (remaining_ == 0 || !block_) return finish();
            const std::uint64_t w = writeIndex_.load(std::memory_order_relaxed);
            const std::uint64_t free = capacity_ - (w - readIndex_.load(std::memory_order_acquire));
            const std::uint64_t want = std::min<std::uint64_t>({free, remaining_, block_->frameCapacity()});
            if (want == 0) return;
            try {
                file_->read(*block_, static_cast<std::uint32_t>(want));
            } catch (const ErrorException&) {
                return finish();
            }
            const std::uint32_t got = block_->frameLength();
            if (got == 0) return finish();
            for (std::uint32_t i = 0; i < got; ++i) {
                float* frame = ring_.data() + ((w + i) & (capacity_ - 1)) * channels_;
                for (std::uint32_t c = 0; c < channels_; ++c) frame[c] = block_->channel(c)[i];
            }
            writeIndex_.store(w + got, std::memory_order_release);
            remaining_ -= got;
        }
    }

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
    void finish() { finished_.store(true, std::memory_order_release); }

    std::unique_ptr<AudioSource> file_;
    std::uint32_t channels_;
    std::uint64_t capacity_;  // a power of two
    std::uint64_t remaining_;
    std::optional<AudioBuffer> block_;
    std::vector<float> ring_;
    std::atomic<std::uint64_t> writeIndex_{0};
    std::atomic<std::uint64_t> readIndex_{0};
    std::atomic<bool> finished_{false};
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
    file_ = std::make_unique<FileStream>(std::move(file), firstFrame, frameCount);
}

void PreviewEngine::scheduleClicks(AudioBuffer normal, AudioBuffer accent, std::vector<ClickPlacement> placements) {
    if (started_ || normal.channelCount() == 0 || accent.channelCount() == 0) return;
    clicks_ = std::make_unique<Clicks>(Clicks{std::move(normal), std::move(accent), std::move(placements)});
}

void PreviewEngine::start() {
    if (!started_) {
        if (file_) file_->fill();
        renderFile_.store(file_.get(), std::memory_order_release);
        renderClicks_.store(clicks_.get(), std::memory_order_release);
    }
    output_->start(*this);
    if (started_) return;
    started_ = true;
    if (file_ && !output_->rendersOnCallerThread()) {
        feeder_ = std::jthread([stream = file_.get()](std::stop_token stop) {
            while (!stop.stop_requested()) {
                stream->fill();
                std::this_thread::sleep_for(kFeederPause);
            }
        });
    }
}

void PreviewEngine::pause() { output_->pause(); }

void PreviewEngine::stop() {
    output_->stop();
    feeder_ = {};
}

void PreviewEngine::playAfter(std::int64_t delayFrames) {
    const std::int64_t now = renderedFrames_.load(std::memory_order_acquire);
    startFrame_.store(now + std::max<std::int64_t>(delayFrames, 0), std::memory_order_release);
}

std::optional<std::int64_t> PreviewEngine::sourceSampleTime() const {
    const std::int64_t start = startFrame_.load(std::memory_order_acquire);
    const std::int64_t rendered = renderedFrames_.load(std::memory_order_acquire);
    if (start == kNotPlaying || rendered == 0) return std::nullopt;
    return rendered - start;
}

void PreviewEngine::prepareFrames(std::uint32_t) {
    if (file_) file_->fill();
}

void PreviewEngine::render(float* interleaved, std::uint32_t frames) noexcept {
    std::fill_n(interleaved, std::size_t(frames) * format_.channelCount, 0.0f);
    const std::int64_t clock = renderedFrames_.load(std::memory_order_relaxed);
    const std::int64_t start = startFrame_.load(std::memory_order_acquire);
    if (start != kNotPlaying) {
        mixFile(interleaved, frames, clock - start);
        mixClicks(interleaved, frames, clock - start);
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
