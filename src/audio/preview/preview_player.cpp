#include "audio/preview/preview_player.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <numbers>
#include <stdexcept>

#include "audio/reading/audio_file_reader.hpp"
#include "audio/preview/portaudio_output.hpp"
#include "common/error.hpp"
#include "common/numeric.hpp"
#include "core/flexible_grid.hpp"
#include "core/phase_anchors.hpp"
#include "core/timeline_segments.hpp"

namespace corvel::audio {
namespace {

using BeatloomTimeline::ClickEvent;

constexpr double kStartDelaySeconds = 0.08;
// The stop timer fires this long after the span has played out.
constexpr double kStopSlackSeconds = 0.15;
constexpr double kShortestStopDelaySeconds = 0.05;
constexpr double kPositionIntervalSeconds = 1.0 / 30.0;
constexpr double kShortestSpanSeconds = 0.001;

constexpr double kMinClickVolume = 0.25;
constexpr double kMaxClickVolume = 2.0;
constexpr double kDefaultClickVolume = 1.5;

constexpr double kNormalClickHz = 1650;
constexpr double kNormalClickGain = 0.38;
constexpr double kAccentClickHz = 2350;
constexpr double kAccentClickGain = 0.55;
constexpr double kClickSeconds = 0.03;
constexpr std::int64_t kMinClickFrames = 64;
constexpr double kClickDecay = 95;

constexpr double kSameTime = 0.000001;        // a click this close before the start still plays
constexpr double kSpanTolerance = 0.00001;     // a click this close to an anchor span's edge belongs to it
constexpr double kDurationSlack = 0.0005;      // clicks may overhang the click start and the end by this
constexpr double kQuarterGuard = 1e-9;         // guards beat counts before rounding up or down

Error timingError() { return Error{kPreviewErrorDomain, kPreviewTimingErrorCode, kPreviewTimingErrorMessage}; }

}  // namespace

BeatloomPreviewPlayer::BeatloomPreviewPlayer(platform::MainLoop& mainLoop)
    : BeatloomPreviewPlayer(mainLoop, portAudioOutputFactory(),
                            [](const std::filesystem::path& file) -> std::unique_ptr<AudioSource> {
                                return AudioFileReader::open(file);
                            }) {}

BeatloomPreviewPlayer::BeatloomPreviewPlayer(platform::MainLoop& mainLoop, PreviewOutputFactory outputFactory,
                                             FileOpener openFile)
    : mainLoop_(mainLoop), outputFactory_(std::move(outputFactory)), openFile_(std::move(openFile)) {}

BeatloomPreviewPlayer::~BeatloomPreviewPlayer() = default;

void BeatloomPreviewPlayer::play(const std::filesystem::path& file, const PreviewClickMap& map,
                                 const BeatloomTimeRange& span) {
    stop();

    std::unique_ptr<AudioSource> source = takeOpenedFile(file);
    if (!source) {
        source = openFile_(file);
        if (!opened_ || opened_->path != file) {
            opened_ = std::make_shared<OpenedFile>();
            opened_->path = file;
        }
    }
    const double sampleRate = source->sampleRate();
    if (!(sampleRate > 0)) throw ErrorException(timingError());

    // A NaN end leaves the file's length, a NaN start counts as 0.
    const double end = minIgnoringNaN(static_cast<double>(source->length()) / sampleRate, span.endSeconds);
    double start = maxIgnoringNaN(span.startSeconds, 0.0);
    if (!(start < end)) start = end;
    const double spanSeconds = end - start;
    if (!(spanSeconds > kShortestSpanSeconds)) return keepOpened(opened_, std::move(source));

    const std::int64_t firstFrame = roundedInt64(sampleRate * start);
    const std::int64_t frames = roundedInt64(sampleRate * spanSeconds);
    const auto frameCount = static_cast<std::uint32_t>(
        frames < 1 ? 1 : (frames > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                                              : frames));

    auto engine = std::make_unique<PreviewEngine>(outputFactory_(sampleRate));
    engine->scheduleSegment(std::move(source), firstFrame, frameCount);

    const PreviewOutputFormat outFormat = engine->outputFormat();
    if (outFormat.sampleRate > 0) {
        auto normal = makeClickBuffer(outFormat, kNormalClickHz, kNormalClickGain);
        auto accent = makeClickBuffer(outFormat, kAccentClickHz, kAccentClickGain);
        if (normal && accent) {
            std::vector<PreviewEngine::ClickPlacement> placements;
            if (end > 0) {
                for (const ClickEvent& click : clickEvents(map, end)) {
                    if (!(click.timeSeconds >= start - kSameTime)) continue;
                    const double offset = std::max(click.timeSeconds - start, 0.0);
                    placements.push_back({roundedInt64(offset * outFormat.sampleRate), click.accent});
                }
            }
            engine->scheduleClicks(std::move(*normal), std::move(*accent), std::move(placements));
        }
    }
    engine->setClickVolume(static_cast<float>(clickEnabled_.value() ? clickVolume_.value() : 0.0));

    engine->start();
    engine->playAfter(roundedInt64(kStartDelaySeconds * outFormat.sampleRate));

    engine_ = std::move(engine);
    playingFile_ = opened_;
    sourceOffsetSeconds_ = start;
    playbackEndSeconds_ = end;
    currentPlaybackSeconds_.set(start);
    transportState_.set(BeatloomPreviewTransportState::playing);

    startPositionTimer();
    startStopTimer(spanSeconds + kStopSlackSeconds);
}

void BeatloomPreviewPlayer::prepare(const std::filesystem::path& file, platform::BackgroundRunner& runner) {
    if (opened_ && opened_->path == file) return;
    auto opened = std::make_shared<OpenedFile>();
    opened->path = file;
    opened_ = opened;
    runner.run([opened, open = openFile_] {
        try {
            std::unique_ptr<AudioSource> source = open(opened->path);
            const std::lock_guard lock(opened->mutex);
            opened->source = std::move(source);
        } catch (...) {
            // play() opens the file itself and reports what fails then.
        }
    });
}

std::unique_ptr<AudioSource> BeatloomPreviewPlayer::takeOpenedFile(const std::filesystem::path& file) {
    if (!opened_ || opened_->path != file) return nullptr;
    const std::lock_guard lock(opened_->mutex);
    return std::move(opened_->source);
}

void BeatloomPreviewPlayer::keepOpened(const std::shared_ptr<OpenedFile>& file, std::unique_ptr<AudioSource> source) {
    // A file that another one replaced meanwhile is closed.
    if (!source || !file || file != opened_) return;
    const std::lock_guard lock(file->mutex);
    if (!file->source) file->source = std::move(source);
}

void BeatloomPreviewPlayer::pause() {
    if (transportState_.value() != BeatloomPreviewTransportState::playing || !engine_) return;
    currentPlaybackSeconds_.set(updatePlaybackPosition());
    cancelTimers();
    engine_->pause();
    transportState_.set(BeatloomPreviewTransportState::paused);
}

void BeatloomPreviewPlayer::resume() {
    if (transportState_.value() != BeatloomPreviewTransportState::paused || !engine_) return;
    engine_->start();
    transportState_.set(BeatloomPreviewTransportState::playing);
    startPositionTimer();
    startStopTimer(std::max(playbackEndSeconds_ - currentPlaybackSeconds_.value() + kStopSlackSeconds,
                            kShortestStopDelaySeconds));
}

void BeatloomPreviewPlayer::stop() {
    cancelTimers();
    if (engine_) {
        engine_->stop();
        keepOpened(playingFile_, engine_->releaseFile());
        engine_.reset();
        playingFile_.reset();
    }
    transportState_.set(BeatloomPreviewTransportState::stopped);
}

void BeatloomPreviewPlayer::reset() {
    stop();
    opened_.reset();
    currentPlaybackSeconds_.set(0.0);
    clickEnabled_.set(true);
    clickVolume_.set(kDefaultClickVolume);
}

void BeatloomPreviewPlayer::setClickVolume(double volume) {
    if (std::isnan(volume)) return;
    clickVolume_.set(std::min(std::max(volume, kMinClickVolume), kMaxClickVolume));
    if (engine_) engine_->setClickVolume(static_cast<float>(clickEnabled_.value() ? clickVolume_.value() : 0.0));
}

void BeatloomPreviewPlayer::setClickEnabled(bool enabled) {
    clickEnabled_.set(enabled);
    if (engine_) engine_->setClickVolume(static_cast<float>(enabled ? clickVolume_.value() : 0.0));
}

double BeatloomPreviewPlayer::updatePlaybackPosition() const {
    if (transportState_.value() != BeatloomPreviewTransportState::paused && engine_) {
        const double rate = engine_->outputFormat().sampleRate;
        const std::optional<std::int64_t> sampleTime = engine_->sourceSampleTime();
        if (sampleTime && rate > 0) {
            return std::max(sourceOffsetSeconds_ + static_cast<double>(*sampleTime) / rate, 0.0);
        }
    }
    return currentPlaybackSeconds_.value();
}

void BeatloomPreviewPlayer::startPositionTimer() {
    mainLoop_.cancelTimer(positionTimer_);
    positionTimer_ = mainLoop_.startRepeatingTimer(
        platform::durationFromSeconds(kPositionIntervalSeconds),
        [this, alive = std::weak_ptr<int>(alive_), &loop = mainLoop_] {
            if (alive.expired()) return false;
            loop.post([this, alive] {
                if (alive.expired() || transportState_.value() != BeatloomPreviewTransportState::playing) return;
                currentPlaybackSeconds_.set(updatePlaybackPosition());
            });
            return true;
        });
}

void BeatloomPreviewPlayer::startStopTimer(double seconds) {
    mainLoop_.cancelTimer(stopTimer_);
    stopTimer_ = mainLoop_.startOneShotTimer(
        platform::durationFromSeconds(std::max(seconds, kShortestStopDelaySeconds)),
        [this, alive = std::weak_ptr<int>(alive_), &loop = mainLoop_] {
            loop.post([this, alive] {
                if (!alive.expired()) stop();
            });
        });
}

void BeatloomPreviewPlayer::cancelTimers() {
    mainLoop_.cancelTimer(positionTimer_);
    mainLoop_.cancelTimer(stopTimer_);
    positionTimer_ = 0;
    stopTimer_ = 0;
}

std::vector<ClickEvent> BeatloomPreviewPlayer::clickEvents(const PreviewClickMap& map, double durationSeconds) {
    namespace Timeline = BeatloomTimeline;
    const double end = durationSeconds;
    if (!(end > 0)) return {};
    std::optional<double> barOneSeconds = map.barOneSeconds;
    if (barOneSeconds && std::isnan(*barOneSeconds)) barOneSeconds.reset();
    const std::vector<Timeline::Segment> segs = Timeline::segments(map.tempoPoints, end);
    if (segs.empty()) return {};
    const std::vector<Timeline::PhaseAnchor> anchors =
        Timeline::phaseAnchors(map.meterEvents, map.barAnchors, map.phaseLocks, barOneSeconds, segs, end);
    if (anchors.empty()) return {};

    double clickStart = barOneSeconds.value_or(0.0);
    if (map.pickupBarCount >= 1) {
        const Timeline::MeterRule rule =
            Timeline::meterRule(Timeline::meterInForce(map.meterEvents, end, clickStart));
        const double pickupQuarters = rule.barLengthQuarters() * static_cast<double>(map.pickupBarCount);
        // A pickup longer than any real song would be nothing but clicks: it is left out.
        if (pickupQuarters / rule.beatLengthQuarters <= static_cast<double>(Timeline::kMaxGridLines)) {
            const std::optional<double> t =
                Timeline::seconds(segs, Timeline::quarterPosition(segs, clickStart) - pickupQuarters);
            if (t && *t < clickStart) clickStart = *t;
        }
    }

    std::vector<ClickEvent> clicks;
    std::size_t budget = Timeline::kMaxGridLines;
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        const Timeline::PhaseAnchor& anchor = anchors[i];
        const bool isLast = i + 1 == anchors.size();
        const double s = std::max(i == 0 ? clickStart : anchor.timeSeconds, clickStart);
        const double e = isLast ? end : anchors[i + 1].timeSeconds;
        if (e < clickStart - kSpanTolerance || s > e + kSpanTolerance) continue;

        const Timeline::MeterRule rule = Timeline::meterRule(anchor.meter);
        const double beatQ = rule.beatLengthQuarters;
        const double aq = anchor.quarter;
        const double kLo = std::ceil((Timeline::quarterPosition(segs, s) - aq) / beatQ - kQuarterGuard);
        const double kHi = std::floor((Timeline::quarterPosition(segs, e) - aq) / beatQ + kQuarterGuard);
        // A span with more beats than any real song is left out whole.
        if (!std::isfinite(kLo) || !std::isfinite(kHi) || kHi < kLo) continue;
        if (kHi - kLo + 1 > static_cast<double>(budget)) continue;
        budget -= static_cast<std::size_t>(kHi - kLo + 1);

        for (std::int64_t k = saturatingInt64(kLo); k <= saturatingInt64(kHi); ++k) {
            const std::optional<double> time = Timeline::seconds(segs, aq + beatQ * static_cast<double>(k));
            if (!time) continue;
            const double t = *time;
            if (!(t <= end + kDurationSlack && t >= s - kSpanTolerance && t <= e + kSpanTolerance &&
                  t >= clickStart - kDurationSlack)) {
                continue;
            }
            if (!isLast && !(t < e - kSpanTolerance)) continue;
            const bool accent = Timeline::countedOn({}, k, rule.beatsPerBar).beat == 1;
            clicks.push_back(ClickEvent{t, accent});
        }
    }
    return BeatloomFlexibleTimeline::clickEvents(Timeline::mergedClickEvents(std::move(clicks)), map.regions,
                                                 map.rhythmicAnchors, map.meterEvents, map.freeTimeClickMode, end);
}

std::optional<AudioBuffer> BeatloomPreviewPlayer::makeClickBuffer(const PreviewOutputFormat& format, double frequency,
                                                                  double gain) {
    if (!(format.sampleRate > 0) || format.channelCount == 0) return std::nullopt;
    const std::int64_t frames = std::max(saturatingInt64(format.sampleRate * kClickSeconds), kMinClickFrames);
    if (frames > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    std::optional<AudioBuffer> buffer;
    try {
        buffer.emplace(format.channelCount, static_cast<std::uint32_t>(frames));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }
    buffer->setFrameLength(static_cast<std::uint32_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / format.sampleRate;
        const auto sample =
            static_cast<float>(std::sin(2.0 * std::numbers::pi * frequency * t) * std::exp(-kClickDecay * t) * gain);
        for (std::uint32_t c = 0; c < format.channelCount; ++c) buffer->channel(c)[i] = sample;
    }
    return buffer;
}

}  // namespace corvel::audio
