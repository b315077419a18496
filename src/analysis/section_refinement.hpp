#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "analysis/beat_grid.hpp"
#include "analysis/section_detection.hpp"
#include "analysis/tracking_tuning.hpp"

namespace corvel::analysis {

// A beat grid laid on an envelope: its tempo and the time of one of its beats.
struct ORVBeatPhaseFit {
    double bpm = 0;
    double phaseSeconds = 0;
    ORVBeatGrid grid() const { return {phaseSeconds, 60.0 / bpm}; }
};

// How well a beat grid meets the onsets of a span. The default is the empty evaluation.
struct ORVBeatGridEvaluation {
    double score = 0;  // 0...1
    double hitRatio = 0;
    double medianErrorSeconds = std::numeric_limits<double>::infinity();
    double percentile95ErrorSeconds = std::numeric_limits<double>::infinity();
    std::int64_t beatCount = 0;
    std::int64_t hitCount = 0;
};

// A ramp of a tempo map: a steady tempo before it, a straight line in time from startBPM at
// startSeconds to endBPM at endSeconds, and endBPM from there on. The map counts its beats
// from anchorBeat on.
struct ORVRampPlacement {
    double anchorBeat = 0;
    double beforeBPM = 0;
    double startSeconds = 0;
    double endSeconds = 0;
    double startBPM = 0;
    double endBPM = 0;
};

// Sharpens detected sections against the onset envelope (inherited by ORVAudioMusicAnalyzer):
// boundaries move to where one beat grid stops fitting and the next one starts, and long
// sections get their tempo re-measured. Frame k of an envelope stands at k x frameSeconds.
// Pure functions, safe on any thread.
struct ORVAnalyzerSectionRefinement {
    // An onset envelope that favours sharp local peaks over a raised floor (about +-80 ms of
    // context), scaled to its 95th percentile and capped at 1.
    static std::vector<double> accentEnvelope(std::span<const double> envelope, double frameSeconds);

    // Moves every boundary between two sections more than 0.5 BPM apart onto the music,
    // left to right, keeping it at least 0.25 s inside both sections. The accent envelope is
    // scored instead of the envelope when it is given with the same length. Tempi,
    // confidences and counts stay as they are.
    static std::vector<ORVDetectedTempoSection> refineSections(
        std::span<const ORVDetectedTempoSection> sections, std::span<const ORVLocalTempoObservation> observations,
        std::span<const double> envelope, std::optional<std::span<const double>> accent,
        const ORVTempoTrackingTuning& tuning, double frameSeconds, double durationSeconds);

    // The time in lo...hi where the previous tempo's grid gives way to the next one's, snapped
    // onto a beat of the next grid or a nearby onset; the boundary itself when the search
    // can't decide.
    static double refineBoundary(std::span<const double> envelope, const ORVTempoTrackingTuning& tuning,
                                 double boundary, double lo, double hi, double previousStart, double nextEnd,
                                 double previousBPM, double nextBPM, double frameSeconds, double durationSeconds);

    // The last previous-tempo observation at or before the anchor (a next-tempo observation),
    // or at or before the boundary without one. previousFamily is in time order.
    static std::optional<ORVLocalTempoObservation> lastFamilyObservation(
        const std::optional<ORVLocalTempoObservation>& anchor,
        std::span<const ORVLocalTempoObservation> previousFamily, double boundary);

    // The beat phase of the tempo over spanStart...spanEnd: the earliest whole-frame offset
    // whose beats meet the strongest envelope; none for a span under 8 frames or a beat
    // under 2 frames.
    static std::optional<ORVBeatPhaseFit> fitBeatPhase(std::span<const double> envelope, double frameSeconds,
                                                       double bpm, double spanStart, double spanEnd);

    // Hits, strength and timing errors of the grid's beats in spanStart...spanEnd, each looked
    // for within toleranceBeats of a beat (at most 75 ms, at least 1.25 frames).
    static ORVBeatGridEvaluation evaluateBeatGrid(std::span<const double> envelope, const ORVBeatPhaseFit& fit,
                                                  double frameSeconds, double spanStart, double spanEnd,
                                                  double toleranceBeats);

    // The element at round((n - 1) x q), clamped, of an ascending list; +infinity when empty.
    static double sortedPercentile(std::span<const double> ascending, double q);

    // Sections as one continuous tempo line: a section heard an octave away from the one before
    // it (within a fifth of its tempo once folded) is read at that one's octave, a section too
    // short to stand (under 3 s or 3 observations) joins the neighbour nearer its tempo, and
    // neighbours that then match are merged.
    static std::vector<ORVDetectedTempoSection> continuousSections(std::span<const ORVDetectedTempoSection> sections);

    // Gives a section that stands for a run of sections (a ramp made of them) the run's
    // evidence: its mean confidence and all its observations.
    static void takeEvidenceOf(ORVDetectedTempoSection& merged, std::span<const ORVDetectedTempoSection> run);

    // Turns a section, or a run of sections that step the same way, whose observations a
    // straight line follows clearly better than the sections' constant tempi do, into a ramp:
    // one section that runs linearly into the next one's tempo, or, where the ramp ends the
    // song or meets a step, onto a short constant section at the tempo the line reaches there.
    // Windows heard an octave away are read at the section's octave.
    static std::vector<ORVDetectedTempoSection> rampSections(std::span<const ORVDetectedTempoSection> sections,
                                                             std::span<const ORVLocalTempoObservation> observations);

    // The ramp whose beats meet the onsets of the envelope best: the beats are followed from
    // the anchor through the ramp and some way past it, the way a listener taps along, and the
    // ramp's start (earliestStart...latestStart), end (up to latestEnd) and start tempo are
    // fitted to them, and the tempo before it by up to 1 % when the anchor lies before the
    // earliest start tried; its other values stay. None when the given placement meets the
    // followed beats already, or no other meets them clearly better.
    static std::optional<ORVRampPlacement> fitRampToOnsets(std::span<const double> envelope, double frameSeconds,
                                                           const ORVRampPlacement& ramp, double earliestStart,
                                                           double latestStart, double latestEnd);

    // A song that slows over its end, fitted as a ramp to its beats: map holds the sections from
    // a steady tempo on, its beats counted from anchorBeat (a beat of that map). The beats are
    // followed from the anchor to 4 s past the latest end, the way a listener taps along, and
    // the ramp's start (earliestStart...latestStart), its end (at least 6 s later, up to
    // latestEnd and at most 30 s after the latest start) and the tempo it slows to and holds
    // after are fitted to them. It starts from the steady tempo, the map's at the earliest
    // start (also its beforeBPM), and slows by at least 4 %. None unless it meets the followed
    // beats clearly better than the map does and its own beats meet the onsets better than the
    // map's own beats do.
    static std::optional<ORVRampPlacement> fitSlowingEnd(std::span<const double> envelope, double frameSeconds,
                                                         std::span<const ORVDetectedTempoSection> map,
                                                         double anchorBeat, double earliestStart, double latestStart,
                                                         double latestEnd);

    // The first beat of the new tempo at a step from oldBPM to newBPM detected near `change`:
    // the onset within 2 beats of it (4 between tempi within 1.25 of each other) that the old
    // tempo's beats lead into and the new tempo's beats follow from best, each clearly better
    // than the other tempo there, judged on the beats within previousStart...nextEnd. None when
    // no onset there shows the step so.
    static std::optional<double> firstBeatOfStep(std::span<const double> envelope, double frameSeconds, double oldBPM,
                                                 double newBPM, double change, double previousStart, double nextEnd);

    // Re-measures the tempo of each section that is at least 15 s long without marginBeats
    // beats (0.5 to 2.5 s) at either end, and adopts a confident result within 0.72 BPM or 1 %
    // of its tempo, whichever is more.
    // Boundaries stay where they are.
    static std::vector<ORVDetectedTempoSection> refineSectionTempos(std::span<const ORVDetectedTempoSection> sections,
                                                                    std::span<const double> envelope,
                                                                    double frameSeconds, double marginBeats);
};

}  // namespace corvel::analysis
