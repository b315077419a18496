#pragma once

// What the benchmarks need from a Standard MIDI File: its tempo and time-signature events and
// when its notes start, in ticks, with the tick-to-seconds conversion of its tempo map.

#include <cstdint>
#include <filesystem>
#include <vector>

namespace corvel::bench {

struct MidiTempoChange {
    std::int64_t tick = 0;
    double microsPerQuarter = 500000;
};

struct MidiMeterChange {
    std::int64_t tick = 0;
    int numerator = 4;
    int denominator = 4;
};

struct MidiSummary {
    int ticksPerQuarter = 480;
    // In tick order, events of all tracks merged; at equal ticks the later one in the file wins.
    // A file without tempo events plays at 120, one without a time signature in 4/4: so do these.
    std::vector<MidiTempoChange> tempos;
    std::vector<MidiMeterChange> meters;
    std::vector<std::int64_t> noteOnTicks;  // sorted, every channel
    std::int64_t endTick = 0;               // the last event of any track

    // The time of a tick (fractional ticks allowed) through the tempo map.
    double secondsAt(double tick) const;
    // The tempo in quarter notes per minute at a tick.
    double quarterBpmAt(double tick) const;
};

// Reads the file; throws std::runtime_error when it is not a MIDI file of metrical time.
MidiSummary readMidiSummary(const std::filesystem::path& file);

}  // namespace corvel::bench
