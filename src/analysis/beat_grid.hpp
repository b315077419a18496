#pragma once

#include <cmath>

namespace corvel::analysis {

// A steady grid of beats: one of its beats and the beat length, in seconds (or in frames, as
// long as both are). The stages that place beats at a steady tempo ask it where its beats
// fall instead of each counting beats from a phase of its own.
struct ORVBeatGrid {
    double beat = 0;    // one of its beats
    double period = 1;  // one beat's length, positive

    // Its beat nearest to t.
    double nearest(double t) const { return beat + period * std::round((t - beat) / period); }
    // Its first beat at or after t.
    double firstFrom(double t) const { return beat + period * std::ceil((t - beat) / period); }
    // How far t lies from the nearest beat, in beats: -0.5 ... 0.5.
    double offBeat(double t) const { return std::remainder(t - beat, period) / period; }
    // The grid whose beats fall halfway between these.
    ORVBeatGrid halfBeatOn() const { return {beat + 0.5 * period, period}; }
};

}  // namespace corvel::analysis
