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

constexpr double kMicrosecondsPerMinute = 60000000.0;
constexpr double kMaxMicrosecondsPerQuarter = 16777215;
// A written tempo may differ this much from the exact one to pull the read-back time of the
// following ticks onto the editor's time.
constexpr double kMaxTempoCorrection = 0.01;
// A stretch of one tempo is restated whenever the whole-microsecond tempo would let the
// read-back time drift further than this many ticks before the next tempo change.
constexpr double kMaxDriftTicks = 0.2;

void appendTempoMicroseconds(Bytes& bytes, std::uint32_t microseconds) {
    bytes.insert(bytes.end(), {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(microseconds >> 16),
                               static_cast<std::uint8_t>(microseconds >> 8), static_cast<std::uint8_t>(microseconds)});
}

// One event of the track at its tick. Tempo events carry their exact tempo and get their
// written microseconds later; other events carry their bytes.
struct TrackItem {
    std::uint64_t tick = 0;
    bool tempo = false;
    double bpm = 0;             // tempo events: the exact tempo from here on
    double seconds = 0;         // tempo events: the song time where it stands
    double exactTicks = 0;      // tempo events: the exact position of that time
    bool blend = false;         // the one tick in which the tempo changes between two ticks
    std::uint32_t microseconds = 0;
    Bytes bytes;                // other events
};

// A tempo change that falls between two ticks moves every later time by the part of a tick
// before or after it played at the wrong tempo. Where that would exceed kMaxBlendTicks, the
// change takes the next whole tick and the tick before it gets a tempo of its own that covers
// it exactly. Never behind a later tempo event already placed.
constexpr double kMaxBlendTicks = 0.1;

void addBlend(std::vector<TrackItem>& items, TrackItem& change, double tempoBefore) {
    const double below = std::floor(change.exactTicks);
    const double fraction = change.exactTicks - below;
    const double ratio = std::max(change.bpm / tempoBefore, tempoBefore / change.bpm);
    const double nearest = std::min(fraction, 1 - fraction);
    if (!(nearest * (ratio - 1) > kMaxBlendTicks) || below < 0) return;
    const auto before = static_cast<std::uint64_t>(below);
    auto at = items.end();
    while (at != items.begin() && std::prev(at)->tick > before) {
        --at;
        if (at->tempo) return;
    }
    if (at != items.begin() && std::prev(at)->tempo && std::prev(at)->tick == before) return;
    TrackItem blend = change;
    blend.tick = before;
    blend.blend = true;
    items.insert(at, blend);
    change.tick = before + 1;
}

// The written microseconds of every tempo, head included. A reader counts seconds from the
// whole ticks with whole microseconds; each tempo is chosen so that the seconds read back at the
// tick of the next tempo change (or the end) match the song time of that tick, within a small
// correction of the exact tempo, and a long stretch whose rounding would drift is restated.
// Returns the restated tempos, to be merged into the track.
std::vector<TrackItem> chooseTempos(TrackItem& head, std::vector<TrackItem>& items, std::uint64_t endTick) {
    std::vector<TrackItem*> tempos{&head};
    for (TrackItem& item : items) {
        if (item.tempo) tempos.push_back(&item);
    }
    std::vector<TrackItem> restated;
    double readBack = 0;  // seconds a reader finds at the current tempo's tick
    for (std::size_t i = 0; i < tempos.size(); ++i) {
        TrackItem& tempo = *tempos[i];
        const double exact = kMicrosecondsPerMinute / tempo.bpm;
        auto songTime = [&](double tick) {
            return tempo.seconds + (tick - tempo.exactTicks) * exact / (kTicksPerQuarter * 1e6);
        };
        auto written = [&](std::uint64_t from, std::uint64_t to) {
            const double ideal = (songTime(static_cast<double>(to)) - readBack) * kTicksPerQuarter * 1e6 /
                                 static_cast<double>(to - from);
            const double corrected =
                tempo.blend ? ideal
                            : std::clamp(ideal, exact * (1 - kMaxTempoCorrection), exact * (1 + kMaxTempoCorrection));
            return static_cast<std::uint32_t>(std::clamp(std::round(corrected), 1.0, kMaxMicrosecondsPerQuarter));
        };
        const std::uint64_t from = tempo.tick;
        const std::uint64_t to = i + 1 < tempos.size() ? tempos[i + 1]->tick : endTick;
        tempo.microseconds = static_cast<std::uint32_t>(std::clamp(std::round(exact), 1.0, kMaxMicrosecondsPerQuarter));
        if (to <= from) continue;

        // In one piece of q quarters, whole microseconds leave the reader up to q / 2 microseconds
        // off at its end; pieces short enough keep that within the allowed drift.
        const double span = static_cast<double>(to - from);
        const double quarters = span / kTicksPerQuarter;
        const double allowedDrift = kMaxDriftTicks * exact / kTicksPerQuarter;  // microseconds
        const double drift = std::abs(static_cast<double>(written(from, to)) - exact) * quarters;
        const double pieces = drift <= allowedDrift ? 1.0 : std::ceil(std::min(0.5 * quarters / allowedDrift, span));
        std::uint64_t pieceStart = from;
        for (double k = 1; k <= pieces; ++k) {
            const std::uint64_t pieceEnd = from + static_cast<std::uint64_t>(std::round(span * k / pieces));
            if (pieceEnd <= pieceStart) continue;
            const std::uint32_t microseconds = written(pieceStart, pieceEnd);
            if (pieceStart == from) {
                tempo.microseconds = microseconds;
            } else {
                TrackItem again;
                again.tick = pieceStart;
                again.tempo = true;
                again.microseconds = microseconds;
                restated.push_back(again);
            }
            readBack += static_cast<double>(pieceEnd - pieceStart) * microseconds / (kTicksPerQuarter * 1e6);
            pieceStart = pieceEnd;
        }
    }
    return restated;
}

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
    appendTempoMicroseconds(bytes, static_cast<std::uint32_t>(roundedInt64(kMicrosecondsPerMinute / bpm)));
}

// Byte by byte: a range insert into a vector whose size the optimiser knows draws a false
// out-of-bounds warning from GCC at -O3.
void appendUInt32BigEndian(Bytes& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendUInt16BigEndian(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
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
    validateTempo(plan.firstBPM);

    // Every event's tick is rounded from its exact position on a running total, so the
    // delta-times add up to the rounded position of every event.
    TrackItem head;
    head.tempo = true;
    head.bpm = plan.firstBPM;
    std::vector<TrackItem> items;
    double tempoInForce = plan.firstBPM;
    double last = 0;
    double exactTicks = 0;
    auto advanceTo = [&](double seconds) {
        const double target = std::max(seconds, last);
        if (target - last > 0) exactTicks += tempoInForce * (target - last) * kTicksPerSecondPerBPM;
        last = target;
        return roundedTicks(exactTicks);
    };
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
        TrackItem item;
        item.tick = advanceTo(t);
        if (!items.empty()) item.tick = std::max(item.tick, items.back().tick);  // after a blend
        if (const auto* tempo = std::get_if<TempoPayload>(&event.payload)) {
            validateTempo(tempo->bpm);
            item.tempo = true;
            item.bpm = tempo->bpm;
            item.seconds = last;
            item.exactTicks = exactTicks;
            addBlend(items, item, tempoInForce);
            tempoInForce = tempo->bpm;
        } else if (const auto* meter = std::get_if<BeatloomMeterEvent>(&event.payload)) {
            timeSignatureEvent(item.bytes, *meter);
        } else if (const auto* marker = std::get_if<MarkerPayload>(&event.payload)) {
            appendText(item.bytes, 0x06, marker->text);
        }
        items.push_back(std::move(item));
    }
    const std::uint64_t endTick =
        std::max(advanceTo(std::max(durationSeconds, last)), items.empty() ? 0 : items.back().tick);
    if (endTick > kMaxVariableLengthQuantity) {
        throw TempoMIDIExporterError::invalidTimeline();
    }

    std::vector<TrackItem> restated = chooseTempos(head, items, endTick);
    track.push_back(0);
    appendTempoMicroseconds(track, head.microseconds);
    std::uint64_t writtenTick = 0;
    auto write = [&](const TrackItem& item) {
        variableLengthQuantity(track, item.tick - writtenTick);
        writtenTick = item.tick;
        if (item.tempo) {
            appendTempoMicroseconds(track, item.microseconds);
        } else {
            track.insert(track.end(), item.bytes.begin(), item.bytes.end());
        }
    };
    std::size_t next = 0;
    for (const TrackItem& item : items) {
        while (next < restated.size() && restated[next].tick <= item.tick) write(restated[next++]);
        write(item);
    }
    while (next < restated.size()) write(restated[next++]);
    variableLengthQuantity(track, endTick - writtenTick);
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
