#include "core/midi_writer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string_view>

#include "common/numeric.hpp"
#include "core/meter_map.hpp"
#include "core/time_tolerances.hpp"

namespace corvel::TempoMIDIExporter {
namespace {

constexpr double kTicksPerSecondPerBPM = kTicksPerQuarter / 60.0;

void appendText(Bytes& bytes, std::uint8_t type, std::string_view text) {
    Bytes event{0xFF, type};
    variableLengthQuantity(event, text.size());
    event.insert(event.end(), text.begin(), text.end());
    bytes.insert(bytes.end(), event.begin(), event.end());
}

std::uint64_t roundedTicks(double exactTicks) {
    const std::int64_t rounded = roundedInt64(exactTicks);
    return rounded > 0 ? static_cast<std::uint64_t>(rounded) : 0;
}

// The track after the head: each event's tick position comes from its exact position on a
// running total, so the delta-times add up to the rounded position of every event.
class TrackWriter {
public:
    TrackWriter(Bytes& track, double tempo) : track_(track), tempoInForce_(tempo) {}

    void advanceTo(double seconds) {
        const double target = std::max(seconds, last_);
        const double span = target - last_;
        if (span > 0 && tempoInForce_ > 0) {
            exactTicks_ += tempoInForce_ * span * kTicksPerSecondPerBPM;
        }
        const std::uint64_t position = roundedTicks(exactTicks_);
        variableLengthQuantity(track_, position - writtenTicks_);
        writtenTicks_ = position;
        last_ = target;
    }

    void write(const MetaPayload& payload) {
        if (const auto* tempo = std::get_if<TempoPayload>(&payload)) {
            tempoMetaEvent(track_, tempo->bpm);
            tempoInForce_ = tempo->bpm;
        } else if (const auto* meter = std::get_if<BeatloomMeterEvent>(&payload)) {
            timeSignatureEvent(track_, *meter);
        } else if (const auto* marker = std::get_if<MarkerPayload>(&payload)) {
            appendText(track_, 0x06, marker->text);
        }
    }

    double last() const { return last_; }

private:
    Bytes& track_;
    double tempoInForce_;
    double last_ = 0;
    double exactTicks_ = 0;
    std::uint64_t writtenTicks_ = 0;
};

}  // namespace

void variableLengthQuantity(Bytes& bytes, std::uint64_t value) {
    if (value > kMaxVariableLengthQuantity) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
    std::uint8_t groups[4];
    int count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    for (int i = count - 1; i >= 0; --i) {
        bytes.push_back(i > 0 ? static_cast<std::uint8_t>(groups[i] | 0x80) : groups[i]);
    }
}

std::optional<std::uint8_t> denominatorPower(std::int64_t denominator) {
    if (denominator < 1 || !std::has_single_bit(static_cast<std::uint64_t>(denominator))) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(std::countr_zero(static_cast<std::uint64_t>(denominator)));
}

void timeSignatureEvent(Bytes& bytes, const BeatloomMeterEvent& meter) {
    const std::int64_t numerator = meter.numerator;
    const std::int64_t denominator = meter.denominator;
    const auto power = denominatorPower(denominator);
    if (!isValidTimeSignature(numerator, denominator) || !power) {
        throw TempoMIDIExporterError::invalidMeter(numerator, denominator);
    }
    const bool compound = denominator == 8 && numerator >= 6 && numerator % 3 == 0;
    const auto nn = static_cast<std::uint8_t>(std::clamp<std::int64_t>(numerator, 0, 255));
    bytes.insert(bytes.end(), {0xFF, 0x58, 0x04, nn, *power, static_cast<std::uint8_t>(compound ? 36 : 24), 0x08});
}

void tempoMetaEvent(Bytes& bytes, double bpm) {
    validateTempo(bpm);
    const auto microseconds = static_cast<std::uint32_t>(roundedInt64(60000000.0 / bpm));
    bytes.insert(bytes.end(), {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(microseconds >> 16),
                               static_cast<std::uint8_t>(microseconds >> 8), static_cast<std::uint8_t>(microseconds)});
}

void appendUInt32BigEndian(Bytes& bytes, std::uint32_t value) {
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                               static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

void appendUInt16BigEndian(Bytes& bytes, std::uint16_t value) {
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

std::uint64_t ticks(double seconds, double bpm) {
    if (!(seconds > 0) || !(bpm > 0)) {
        return 0;
    }
    return roundedTicks(seconds * bpm * kTicksPerSecondPerBPM);
}

Bytes fileBytes(const MetaEventPlan& plan, double durationSeconds) {
    if (!std::isfinite(durationSeconds) || durationSeconds < 0) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
    Bytes track;
    track.push_back(0);
    appendText(track, 0x03, kTrackName);
    track.push_back(0);
    timeSignatureEvent(track, plan.headMeter);
    track.push_back(0);
    tempoMetaEvent(track, plan.firstBPM);

    TrackWriter writer(track, plan.firstBPM);
    bool tempoSkipped = false;
    bool meterSkipped = false;
    for (const TimedMetaEvent& event : plan.events) {
        const double t = event.seconds;
        if (!(t >= -kSameTimeSeconds) || t > durationSeconds + kSameTimeSeconds) {
            continue;
        }
        if (t <= kSameTimeSeconds) {
            // The head already states the tempo and meter in force at the start.
            if (std::holds_alternative<TempoPayload>(event.payload) && !tempoSkipped) {
                tempoSkipped = true;
                continue;
            }
            if (std::holds_alternative<BeatloomMeterEvent>(event.payload) && !meterSkipped) {
                meterSkipped = true;
                continue;
            }
        }
        writer.advanceTo(t);
        writer.write(event.payload);
    }
    writer.advanceTo(std::max(durationSeconds, writer.last()));
    track.insert(track.end(), {0xFF, 0x2F, 0x00});

    if (track.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw TempoMIDIExporterError::invalidTimeline();
    }
    Bytes file{'M', 'T', 'h', 'd'};
    appendUInt32BigEndian(file, 6);
    appendUInt16BigEndian(file, 0);
    appendUInt16BigEndian(file, 1);
    appendUInt16BigEndian(file, kTicksPerQuarter);
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    appendUInt32BigEndian(file, static_cast<std::uint32_t>(track.size()));
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

Bytes midiData(const std::vector<BeatloomTempoPoint>& tempoPoints, const std::vector<BeatloomMeterEvent>& meterEvents,
               const std::vector<BeatloomBarAnchor>& barAnchors, std::optional<double> barOneSeconds,
               std::int64_t pickupBarCount, const std::vector<BeatloomTimelineRegion>& timelineRegions,
               const std::vector<BeatloomRhythmicAnchor>& rhythmicAnchors, double durationSeconds) {
    const MetaEventPlan plan = metaEvents(tempoPoints, meterEvents, barAnchors, barOneSeconds, pickupBarCount,
                                          timelineRegions, rhythmicAnchors, durationSeconds);
    return fileBytes(plan, durationSeconds);
}

}  // namespace corvel::TempoMIDIExporter
