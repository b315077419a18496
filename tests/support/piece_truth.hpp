#pragma once

// The truth an annotator writes down for a piece of music (the beat a musician taps, its tempo
// over time, the bars and their meter) and the scores of an analysis against it: what the
// accuracy benchmark reports and the music guard test holds to floors.

#include <vector>

#include "core/tempo_map_records.hpp"

namespace corvel::bench {

// A change of meter at a bar line.
struct MeterTruth {
    double timeSeconds = 0;
    int numerator = 4;
    int denominator = 4;
};

struct PieceTruth {
    std::vector<double> beats;      // the tapped beats, seconds
    std::vector<double> downbeats;  // the first beat of every bar (pickup bar excluded)
    std::vector<MeterTruth> meters;
    // The local tempo of the counted beat at step times: tempo[i] holds from stepTimes[i] on.
    std::vector<double> stepTimes;
    std::vector<double> stepBpm;
    // The tempo map as written: section starts, ramps marked.
    struct Point {
        double timeSeconds = 0;
        double bpm = 0;
        bool rampsToNext = false;
    };
    std::vector<Point> map;
    double musicStart = 0;  // first beat
    double musicEnd = 0;    // one beat after the last counted beat
    double durationSeconds = 0;  // the whole file
    bool steady = true;     // one tempo throughout (meter changes allowed)
    bool rubato = false;

    // The counted tempo at a time inside the music (clamped to its ends).
    double localBpm(double seconds) const;
};

// A tempo is right within 4 %; a beat is found within 70 ms.
inline constexpr double kTempoTolerance = 0.04;
inline constexpr double kBeatWindowSeconds = 0.07;

bool withinTempo(double detected, double truth, double tolerance = kTempoTolerance);
// Right at the counted tempo or at 2, 3, 1/2 or 1/3 of it.
bool withinAnyLevel(double detected, double truth);

// The detected map's local tempo at a time: the last point at or before it, ramping to the
// next when it says so; the main tempo when there are no points.
double detectedLocalBpm(const BeatloomResult& result, double seconds);

// The share of the music, from its first counted beat to one beat after its last, sampled every
// 20 ms, where the detected local tempo is within the tolerance of the counted one.
double localTempoAccuracy(const PieceTruth& truth, const BeatloomResult& result);

// Beat F-measure: a counted beat is found when a detected beat lies within the window; each
// detected beat serves one counted beat (the counted beats lie further apart than two windows,
// so the windows never overlap and the matching is the count of windows holding a beat).
double beatFMeasure(const std::vector<double>& truth, const std::vector<double>& detected);

}  // namespace corvel::bench
