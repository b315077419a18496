#include "core/midi_writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::TempoMIDIExporter {
namespace {

using Kind = TempoMIDIExporterError::Kind;

BeatloomMeterEvent meter(std::int64_t numerator, std::int64_t denominator, double seconds = 0) {
    return BeatloomMeterEvent{Uuid::random(), seconds, numerator, denominator};
}

TimedMetaEvent tempoAt(double seconds, double bpm) { return {seconds, kTempoPriority, TempoPayload{bpm}}; }
TimedMetaEvent meterAt(double seconds, std::int64_t n, std::int64_t d) {
    return {seconds, kMeterPriority, meter(n, d, seconds)};
}
TimedMetaEvent markerAt(double seconds, std::string text) {
    return {seconds, kBarStartMarkerPriority, MarkerPayload{std::move(text)}};
}

// One meta event of a written track, at its absolute tick.
struct ReadEvent {
    std::uint64_t tick = 0;
    std::uint8_t type = 0;
    Bytes data;
};

// A strict reader for what the writer produces: checks the header and the chunk length and
// returns every meta event of the track.
std::vector<ReadEvent> readWholeTrack(const Bytes& file) {
    const Bytes header{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x03, 0xC0, 'M', 'T', 'r', 'k'};
    EXPECT_GE(file.size(), header.size() + 4);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), file.begin()));
    const std::size_t length = (std::size_t{file[18]} << 24) | (std::size_t{file[19]} << 16) |
                               (std::size_t{file[20]} << 8) | std::size_t{file[21]};
    EXPECT_EQ(length, file.size() - 22);
    std::size_t at = 22;
    auto vlq = [&] {
        std::uint64_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t byte = file.at(at++);
            value = (value << 7) | (byte & 0x7F);
            if ((byte & 0x80) == 0) return value;
        }
        ADD_FAILURE() << "variable-length quantity longer than four bytes";
        return value;
    };
    std::vector<ReadEvent> events;
    std::uint64_t tick = 0;
    while (at < file.size()) {
        tick += vlq();
        EXPECT_EQ(file.at(at++), 0xFF);
        ReadEvent event{tick, file.at(at++), {}};
        const std::uint64_t size = vlq();
        event.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at),
                          file.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
        events.push_back(event);
    }
    EXPECT_GE(events.size(), 4u);
    return events;
}

// The meta events after the three head events.
std::vector<ReadEvent> readTrack(const Bytes& file) {
    std::vector<ReadEvent> events = readWholeTrack(file);
    if (events.size() >= 3) events.erase(events.begin(), events.begin() + 3);
    return events;
}

// The seconds a reader finds at each marker and at the end, from the whole ticks and the
// whole microseconds of the file.
std::vector<double> readBackSeconds(const Bytes& file) {
    std::vector<double> seconds;
    double at = 0;
    double microseconds = 500000;
    std::uint64_t tick = 0;
    for (const ReadEvent& event : readWholeTrack(file)) {
        at += static_cast<double>(event.tick - tick) * microseconds / 960e6;
        tick = event.tick;
        if (event.type == 0x51) microseconds = (event.data[0] << 16) | (event.data[1] << 8) | event.data[2];
        if (event.type == 0x06 || event.type == 0x2F) seconds.push_back(at);
    }
    return seconds;
}

Bytes hexBytes(std::string_view hex) {
    Bytes bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 3) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(at, 2)), nullptr, 16)));
    }
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    for (std::uint8_t byte : b) a.push_back(byte);
    return a;
}

std::string text(const Bytes& data) { return std::string(data.begin(), data.end()); }

TEST(MidiWriterBytes, VariableLengthQuantitiesUpToFourBytes) {
    struct Case {
        std::uint64_t value;
        Bytes bytes;
    };
    const Case cases[] = {
        {0, {0x00}},
        {127, {0x7F}},
        {128, {0x81, 0x00}},
        {960, {0x87, 0x40}},
        {16383, {0xFF, 0x7F}},
        {16384, {0x81, 0x80, 0x00}},
        {19200, {0x81, 0x96, 0x00}},
        {0x0FFFFFFF, {0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const auto& c : cases) {
        Bytes bytes{0xAA};
        variableLengthQuantity(bytes, c.value);
        Bytes expected{0xAA};
        expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(bytes, expected) << c.value;
    }
    for (std::uint64_t tooLarge : {std::uint64_t{0x10000000}, std::numeric_limits<std::uint64_t>::max()}) {
        Bytes bytes{0xAA};
        try {
            variableLengthQuantity(bytes, tooLarge);
            ADD_FAILURE() << "no error for " << tooLarge;
        } catch (const TempoMIDIExporterError& error) {
            EXPECT_EQ(error.kind(), Kind::invalidTimeline);
        }
        EXPECT_EQ(bytes, Bytes{0xAA});
    }
}

TEST(MidiWriterBytes, TimeSignatures) {
    struct Case {
        std::int64_t numerator, denominator;
        Bytes bytes;
    };
    const Case cases[] = {
        {6, 8, {0xFF, 0x58, 0x04, 0x06, 0x03, 0x24, 0x08}},  {7, 8, {0xFF, 0x58, 0x04, 0x07, 0x03, 0x18, 0x08}},
        {3, 4, {0xFF, 0x58, 0x04, 0x03, 0x02, 0x18, 0x08}},  {12, 8, {0xFF, 0x58, 0x04, 0x0C, 0x03, 0x24, 0x08}},
        {3, 8, {0xFF, 0x58, 0x04, 0x03, 0x03, 0x18, 0x08}},  {1, 1, {0xFF, 0x58, 0x04, 0x01, 0x00, 0x18, 0x08}},
        {32, 16, {0xFF, 0x58, 0x04, 0x20, 0x04, 0x18, 0x08}},
    };
    for (const auto& c : cases) {
        Bytes bytes;
        timeSignatureEvent(bytes, meter(c.numerator, c.denominator));
        EXPECT_EQ(bytes, c.bytes) << c.numerator << "/" << c.denominator;
    }
    const std::pair<std::int64_t, std::int64_t> invalid[] = {{4, 3}, {33, 4}, {0, 4}, {4, 32}, {-4, 4}, {4, 0}};
    for (const auto& [n, d] : invalid) {
        Bytes bytes{0xAA};
        try {
            timeSignatureEvent(bytes, meter(n, d));
            ADD_FAILURE() << "no error for " << n << "/" << d;
        } catch (const TempoMIDIExporterError& error) {
            EXPECT_EQ(error.kind(), Kind::invalidMeter);
            EXPECT_EQ(error.numerator(), n);
            EXPECT_EQ(error.denominator(), d);
        }
        EXPECT_EQ(bytes, Bytes{0xAA});
    }
    try {
        Bytes bytes;
        timeSignatureEvent(bytes, meter(4, 3));
    } catch (const TempoMIDIExporterError& error) {
        EXPECT_EQ(error.error().message, "Cannot export invalid time signature 4/3.");
        EXPECT_EQ(error.error().domain, kTempoMIDIExporterErrorDomain);
    }
}

TEST(MidiWriterBytes, TempoEventsAndTheirLimits) {
    Bytes bytes;
    tempoMetaEvent(bytes, 120);
    tempoMetaEvent(bytes, 3.6);
    tempoMetaEvent(bytes, 6000);
    EXPECT_EQ(bytes, (Bytes{0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,    // 500000 us
                            0xFF, 0x51, 0x03, 0xFE, 0x50, 0x2B,    // 16666667 us
                            0xFF, 0x51, 0x03, 0x00, 0x27, 0x10})); // 10000 us
    for (double bpm : {3.5, 0.0, -120.0, 6000.5, 1e6, std::nan(""), std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::denorm_min()}) {
        Bytes untouched{0xAA};
        try {
            tempoMetaEvent(untouched, bpm);
            ADD_FAILURE() << "no error for " << bpm;
        } catch (const TempoMIDIExporterError& error) {
            EXPECT_EQ(error.kind(), Kind::invalidTempo);
            EXPECT_TRUE(error.bpm() == bpm || (std::isnan(bpm) && std::isnan(error.bpm())));
        }
        EXPECT_EQ(untouched, Bytes{0xAA});
    }
    try {
        validateTempo(3.5);
        ADD_FAILURE();
    } catch (const TempoMIDIExporterError& error) {
        EXPECT_EQ(error.error().message, "Cannot export invalid tempo 3.50 BPM.");
    }
}

TEST(MidiWriterBytes, IntegersTicksAndDenominators) {
    Bytes bytes;
    appendUInt32BigEndian(bytes, 0x01020304);
    appendUInt16BigEndian(bytes, 960);
    EXPECT_EQ(bytes, (Bytes{0x01, 0x02, 0x03, 0x04, 0x03, 0xC0}));

    EXPECT_EQ(ticks(1, 120), 1920u);
    EXPECT_EQ(ticks(0.5, 60), 480u);
    EXPECT_EQ(ticks(1.0 / 3.0, 100), 533u);  // 533.33
    EXPECT_EQ(ticks(0.00078125, 120), 2u);   // 1.5 rounds away from zero
    EXPECT_EQ(ticks(0, 120), 0u);
    EXPECT_EQ(ticks(-1, 120), 0u);
    EXPECT_EQ(ticks(1, 0), 0u);
    EXPECT_EQ(ticks(1, std::nan("")), 0u);
    EXPECT_EQ(ticks(std::numeric_limits<double>::infinity(), 120),
              static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));

    const std::pair<std::int64_t, std::optional<std::uint8_t>> powers[] = {
        {1, 0}, {2, 1}, {4, 2}, {8, 3}, {16, 4}, {64, 6}, {0, std::nullopt}, {-4, std::nullopt}, {3, std::nullopt},
        {12, std::nullopt}};
    for (const auto& [denominator, power] : powers) {
        EXPECT_EQ(denominatorPower(denominator), power) << denominator;
    }
}

TEST(MidiWriterFile, ConstantMapIsSeventyThreeBytes) {
    const MetaEventPlan plan{120, meter(4, 4), {meterAt(0, 4, 4), tempoAt(0, 120)}};
    const std::string name = "Orvanta Beatloom Tempo Map";
    const Bytes expected = hexBytes("4D 54 68 64 00 00 00 06 00 00 00 01 03 C0 4D 54 72 6B 00 00 00 33 00 FF 03 1A") +
                           Bytes(name.begin(), name.end()) +
                           hexBytes("00 FF 58 04 04 02 18 08 00 FF 51 03 07 A1 20 81 96 00 FF 2F 00");
    const Bytes file = fileBytes(plan, 10);
    EXPECT_EQ(file.size(), 73u);
    EXPECT_EQ(file, expected);
}

TEST(MidiWriterFile, EventsAtTheStartAndAtTheEnd) {
    const std::string longText(200, 'x');
    const MetaEventPlan plan{120,
                             meter(4, 4),
                             {
                                 {0, kPickupMarkerPriority, MarkerPayload{"Orvanta Pickup: 1 bar before Bar 1"}},
                                 meterAt(0, 4, 4),
                                 meterAt(0, 3, 4),  // restated at a bar anchor at 0 s
                                 tempoAt(0, 120),
                                 markerAt(1, longText),
                                 markerAt(4 + 0.5e-6, "in"),
                                 markerAt(4 + 2e-6, "out"),
                                 markerAt(-2e-6, "before"),
                             }};
    const auto events = readTrack(fileBytes(plan, 4));
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].tick, 0u);
    EXPECT_EQ(text(events[0].data), "Orvanta Pickup: 1 bar before Bar 1");
    EXPECT_EQ(events[1].tick, 0u);
    EXPECT_EQ(events[1].type, 0x58);
    EXPECT_EQ(events[1].data[0], 3);
    EXPECT_EQ(events[2].tick, 1920u);
    EXPECT_EQ(text(events[2].data), longText);
    EXPECT_EQ(events[3].tick, 7680u);
    EXPECT_EQ(text(events[3].data), "in");
    EXPECT_EQ(events[4].type, 0x2F);
    EXPECT_EQ(events[4].tick, 7680u);

    // The two-byte length of the long marker.
    const Bytes file = fileBytes(plan, 4);
    const Bytes lengthPrefix{0xFF, 0x06, 0x81, 0x48};
    EXPECT_NE(std::search(file.begin(), file.end(), lengthPrefix.begin(), lengthPrefix.end()), file.end());
}

TEST(MidiWriterFile, DeltaTimesFollowTheTempoInForce) {
    const MetaEventPlan plan{120,
                             meter(4, 4),
                             {tempoAt(0, 120), markerAt(0.5, "a"), markerAt(1.0, "b"), tempoAt(1, 60),
                              markerAt(2, "c"), markerAt(1.5, "late")}};
    const auto events = readTrack(fileBytes(plan, 3));
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].tick, 960u);
    EXPECT_EQ(events[1].tick, 1920u);
    EXPECT_EQ(events[2].tick, 1920u);  // the tempo change
    EXPECT_EQ(events[3].tick, 2880u);  // 1 s at 60 BPM
    EXPECT_EQ(events[4].tick, 2880u);  // an event out of order never moves time backwards
    EXPECT_EQ(events[5].type, 0x2F);
    EXPECT_EQ(events[5].tick, 3840u);
}

TEST(MidiWriterFile, RoundingNeverAddsUp) {
    // At 100 BPM every millisecond is 1.6 ticks: rounding each delta alone would put the
    // hundredth marker 40 ticks late.
    MetaEventPlan plan{100, meter(4, 4), {tempoAt(0, 100)}};
    for (int i = 1; i <= 100; ++i) plan.events.push_back(markerAt(0.001 * i, "m"));
    const auto events = readTrack(fileBytes(plan, 0.1));
    ASSERT_EQ(events.size(), 101u);
    for (int i = 1; i <= 100; ++i) {
        EXPECT_EQ(events[static_cast<std::size_t>(i - 1)].tick, static_cast<std::uint64_t>(std::lround(1.6 * i))) << i;
    }
    EXPECT_EQ(events.back().tick, 160u);
}

// Whole ticks and whole microseconds read back within a small part of a tick of the song's
// time: over four minutes of a tempo whose microseconds are no whole number, after a minute of
// tempo changes every 0.25 s, and right after a fourfold tempo step a third of a tick after a
// whole tick.
TEST(MidiWriterFile, ReadBackSecondsStayOnTheSongsTime) {
    std::vector<double> late;
    for (double t = 60.1; t < 240; t += 7.3) late.push_back(t);
    std::vector<TimedMetaEvent> changes;
    for (int i = 1; i < 240; ++i) changes.push_back(tempoAt(0.25 * i, 97.3 + 0.37 * i));
    const struct {
        const char* name;
        double firstBPM;
        std::vector<TimedMetaEvent> tempos;
        double lastBPM;
        std::vector<double> markers;
        double duration;
    } cases[] = {
        {"one tempo", 299.7, {}, 299.7, late, 240},
        {"many changes", 97.3, changes, 97.3 + 0.37 * 239, late, 240},
        {"a big step", 60, {tempoAt(1.02, 240)}, 240, {1.03, 1.1, 1.5, 2.7}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MetaEventPlan plan{c.firstBPM, meter(4, 4), c.tempos};
        std::vector<double> times = c.markers;
        for (double t : times) plan.events.push_back(markerAt(t, "m"));
        times.push_back(c.duration);
        const std::vector<double> read = readBackSeconds(fileBytes(plan, c.duration));
        ASSERT_EQ(read.size(), times.size());
        const double secondsPerTick = 60 / (c.lastBPM * 960);
        for (std::size_t i = 0; i < times.size(); ++i) {
            EXPECT_LE(std::abs(read[i] - times[i]), 0.75 * secondsPerTick) << times[i];
        }
    }
}

TEST(MidiWriterFile, RefusesWhatItCannotWrite) {
    struct Case {
        const char* name;
        MetaEventPlan plan;
        double duration;
        Kind kind;
    };
    const Case cases[] = {
        {"delta beyond four bytes", {300, meter(4, 4), {markerAt(60000, "far")}}, 60000, Kind::invalidTimeline},
        {"end beyond four bytes", {300, meter(4, 4), {}}, 60000, Kind::invalidTimeline},
        {"negative duration", {120, meter(4, 4), {}}, -1, Kind::invalidTimeline},
        {"infinite duration", {120, meter(4, 4), {}}, std::numeric_limits<double>::infinity(), Kind::invalidTimeline},
        {"invalid head meter", {120, meter(5, 3), {}}, 10, Kind::invalidMeter},
        {"invalid meter event", {120, meter(4, 4), {meterAt(2, 0, 4)}}, 10, Kind::invalidMeter},
        {"invalid head tempo", {2, meter(4, 4), {}}, 10, Kind::invalidTempo},
        {"invalid tempo event", {120, meter(4, 4), {tempoAt(2, 1e7)}}, 10, Kind::invalidTempo},
    };
    for (const auto& c : cases) {
        try {
            fileBytes(c.plan, c.duration);
            ADD_FAILURE() << c.name;
        } catch (const TempoMIDIExporterError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.name;
        }
    }
    // Just inside the limit: 0x0FFFFFFF ticks at 300 BPM is 55924.05 s.
    const auto events = readTrack(fileBytes({300, meter(4, 4), {}}, 55924.0));
    EXPECT_EQ(events.back().tick, 268435200u);
}

}  // namespace
}  // namespace corvel::TempoMIDIExporter
