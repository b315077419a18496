#include "analysis/local_tempo_tracking.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "analysis/beat_grid.hpp"
#include "analysis/music_analyzer.hpp"
#include "common/numeric.hpp"
#include "common/ordering.hpp"

namespace corvel::analysis {

namespace {

using A = ORVAudioMusicAnalyzer;
using Candidate = ORVAnalyzerPeriodicity::InternalCandidate;
using Bucket = ORVAnalyzerLocalTracking::Bucket;

// Below about 2 s at ordinary hops the periodicity search has too few beats to read.
constexpr std::int64_t kShortestWindowFrames = 192;
constexpr std::int64_t kShortestHopFrames = 48;
// A window needs this many frames of clear onset activity to be analysed at all.
constexpr double kActivityLevel = 0.22;
constexpr std::int64_t kActiveFramesNeeded = 6;
constexpr double kBucketTolerance = 0.018;
// Beats kept clear of each section's ends when its tempo is re-measured.
constexpr double kTempoMarginBeats = 4.0;
// The grouping of a fast pulse is read on windows this long, this far apart; a pulse in this
// range is the eighths of a beat, grouped in twos or threes (a faster one, sixteenths, gathers
// in threes only in passing figures); accents after three pulses outweigh those after two by
// this much where the pulse is grouped in threes (and fall short of them where in twos), over
// this many windows in a row.
constexpr double kGroupingWindowSeconds = 6.0;
constexpr double kGroupingHopSeconds = 1.5;
constexpr double kClearGrouping = 0.1;
constexpr std::size_t kGroupingWindowsNeeded = 3;
// How long a run of such windows lasts.
constexpr double kGroupingRunSeconds =
    kGroupingWindowSeconds + static_cast<double>(kGroupingWindowsNeeded - 1) * kGroupingHopSeconds;
// Two sections relate as two and three pulses when their tempi are this close to 3:2.
constexpr double kGroupingRatioSlack = 0.03;
// Where the tracker put a change of grouping, the accents' turn is looked for this far either
// side, read on windows this far apart.
constexpr double kTurnReachSeconds = 6.0;
constexpr double kTurnStepSeconds = 0.25;
// A part holds a pulse when its accents recur after one pulse by this much more than after
// three quarters of one (both as correlations).
constexpr double kHeldPulse = 0.025;
// A section's own tempo must meet its onsets this many times as clearly as a neighbour's tempo
// does over the same span for the change between them to stand.
constexpr double kClearLead = 1.25;
// A first section shorter than this many of its beats (a few bars) cannot open the song at a
// tempo of its own.
constexpr double kShortestOpeningBeats = 16.0;
// A section that meets its own beats less than this share as clearly as its neighbour meets
// its own (a pad or a lone instrument before the beat, a breakdown) shows no tempo of its own.
constexpr double kWeakShare = 0.35;
// A beat meets the onsets this close to it.
constexpr double kBeatReachSeconds = 0.035;
// Two tempi this close to a whole multiple of one another are one pulse at two levels.
constexpr double kMultipleSlack = 0.02;

// The autocorrelation (mean removed) of frames begin ... end - 1 of the envelope at the lag.
double correlationAt(std::span<const double> envelope, std::int64_t begin, std::int64_t end, std::int64_t lag) {
    double mean = 0;
    for (std::int64_t k = begin; k < end; ++k) mean += envelope[static_cast<std::size_t>(k)];
    mean /= static_cast<double>(std::max<std::int64_t>(end - begin, 1));
    double ab = 0, aa = 0, bb = 0;
    for (std::int64_t k = begin; k + lag < end; ++k) {
        const double a = envelope[static_cast<std::size_t>(k)] - mean;
        const double b = envelope[static_cast<std::size_t>(k + lag)] - mean;
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    return ab / std::max(std::sqrt(aa * bb), 1e-12);
}

// Frames begin ... end - 1 of every feature envelope, then of the consensus envelope, which
// the consensus reads last for its accents.
std::vector<std::vector<double>> windowEnvelopes(const ORVAudioFeatureSet& features, std::int64_t begin,
                                                 std::int64_t end) {
    const auto slice = [begin, end](const std::vector<double>& envelope) {
        const auto size = static_cast<std::int64_t>(envelope.size());
        const std::int64_t from = std::min(begin, size);
        const std::int64_t to = std::clamp(end, from, size);
        return std::vector<double>(envelope.begin() + from, envelope.begin() + to);
    };
    std::vector<std::vector<double>> envelopes;
    envelopes.reserve(features.featureEnvelopes.size() + 1);
    for (const auto& envelope : features.featureEnvelopes) envelopes.push_back(slice(envelope));
    envelopes.push_back(slice(features.consensusEnvelope));
    return envelopes;
}

void keepFirst(std::vector<Candidate>& list, std::int64_t count) {
    const auto keep = static_cast<std::size_t>(std::max<std::int64_t>(count, 0));
    if (list.size() > keep) list.resize(keep);
}

ORVFrameSpan centredWindow(std::int64_t centre, std::int64_t length, std::int64_t n) {
    const std::int64_t begin = std::clamp<std::int64_t>(centre - length / 2, 0, n);
    return {begin, std::min(begin + length, n)};
}

std::vector<Candidate> spanCandidates(const ORVAudioFeatureSet& features, const std::optional<ORVFrameSpan>& span) {
    if (!span) return {};
    return A::consensusCandidates(windowEnvelopes(features, span->begin, span->end), false, features.frameSeconds);
}

// The evidence of every window that passes the activity gate, in time order. The windows are
// independent of each other and run on the pool; each fills only its own slot.
std::vector<ORVTempoFamilyWindow> analysisWindows(const ORVAudioFeatureSet& features,
                                                  const ORVTempoTrackingTuning& tuning, const ORVWorkerPool& pool,
                                                  ORVProgressSpan progress) {
    const double dt = features.frameSeconds;
    std::vector<ORVTempoFamilyWindow> windows;
    // Without a usable frame length the window lengths would be meaningless (or overflow).
    if (!(std::isfinite(dt) && dt > 0)) return windows;
    const auto& consensus = features.consensusEnvelope;
    std::vector<ORVLocalTrackingWindowSpans> active;
    for (const ORVLocalTrackingWindowSpans& span :
         A::windowSpans(static_cast<std::int64_t>(consensus.size()), A::trackingWindows(dt, tuning))) {
        const auto [s, end] = span.shortSpan;
        const auto activeFrames = std::count_if(consensus.begin() + s, consensus.begin() + end,
                                                [](double v) { return v >= kActivityLevel; });
        if (activeFrames >= kActiveFramesNeeded) active.push_back(span);
    }

    const std::int64_t k = tuning.candidatesPerWindow;
    std::vector<ORVTempoFamilyWindow> evidencePerWindow(active.size());
    std::atomic<std::size_t> done{0};
    pool.forEachIndex(active.size(), [&](std::size_t index) {
        const ORVLocalTrackingWindowSpans& span = active[index];
        std::vector<Candidate> shortList = spanCandidates(features, span.shortSpan);
        std::vector<Candidate> mediumList = spanCandidates(features, span.mediumSpan);
        std::vector<Candidate> longList = spanCandidates(features, span.longSpan);
        keepFirst(shortList, k);
        keepFirst(mediumList, std::max<std::int64_t>(k, 2) - 1);
        keepFirst(longList, std::max<std::int64_t>(k, 3) - 2);

        const auto [s, end] = span.shortSpan;
        evidencePerWindow[index] = {dt * static_cast<double>(s + end) / 2.0,
                                    A::mergeWindowEvidence(shortList, mediumList, longList,
                                                           tuning.mergeWeightPrimary, tuning.mergeWeightSecondary)};
        progress.report(static_cast<double>(done.fetch_add(1) + 1) / static_cast<double>(active.size()));
    });
    for (ORVTempoFamilyWindow& window : evidencePerWindow) {
        if (!window.evidence.empty()) windows.push_back(std::move(window));
    }
    return windows;
}

ORVLocalTempoObservation observationOf(const ORVTempoFamilyState& state) {
    ORVLocalTempoObservation observation;
    observation.centerSeconds = state.centerSeconds;
    observation.bpm = A::roundedTempo(state.canonicalBPM);
    observation.confidence = clampOr(0.76 * state.confidence + 0.24 * state.agreement, 0.0, 1.0, 0.0);
    observation.observedBPM = A::roundedTempo(state.observedBPM);
    observation.metricalFactor = state.metricalFactor;
    observation.metricalAmbiguous = state.ambiguous;
    return observation;
}

double meanAgreement(std::span<const ORVTempoFamilyState> states) {
    if (states.empty()) return 0;
    double sum = 0;
    for (const auto& state : states) sum += state.agreement;
    return sum / static_cast<double>(states.size());
}

// By how much the accents below 2500 Hz over frames begin ... end - 1 recur more clearly after
// three pulses of this many frames than after two.
double groupingLead(const ORVAudioFeatureSet& features, std::int64_t begin, std::int64_t end, double pulse) {
    double lead = 0;
    for (std::size_t band = 1; band <= 3; ++band) {
        const std::span<const double> envelope = features.featureEnvelopes[band];
        if (static_cast<std::int64_t>(envelope.size()) < end) continue;
        lead += (correlationAt(envelope, begin, end, roundedInt64(3 * pulse)) -
                 correlationAt(envelope, begin, end, roundedInt64(2 * pulse))) / 3.0;
    }
    return lead;
}

// By how much the accents below 2500 Hz over frames begin ... end - 1 recur after one pulse of
// this many frames, and more than after three quarters of one: the pulse is heard there, and
// not only a beat that spans a number of them (a tempo 4/3 of another has its beat at three of
// the other's eighths, but its own eighths fall at 3/4 of them; sparse clicks recur after
// neither).
double pulseLead(const ORVAudioFeatureSet& features, std::int64_t begin, std::int64_t end, double pulse) {
    double atPulse = 0, short3of4 = 0;
    for (std::size_t band = 1; band <= 3; ++band) {
        const std::span<const double> envelope = features.featureEnvelopes[band];
        if (static_cast<std::int64_t>(envelope.size()) < end) continue;
        atPulse += correlationAt(envelope, begin, end, roundedInt64(pulse)) / 3.0;
        short3of4 += correlationAt(envelope, begin, end, roundedInt64(0.75 * pulse)) / 3.0;
    }
    return atPulse - std::max(short3of4, 0.0);
}

// The octave of this tempo that lies among the eighths (150 to 270 BPM), if one does.
std::optional<double> eighthsOctave(double bpm) {
    if (!A::isUsableTempo(bpm)) return std::nullopt;
    for (int octave = -2; octave <= 2; ++octave) {
        const double x = bpm * std::exp2(octave);
        if (x >= kSlowestEighthsBPM && x <= kFastestEighthsBPM) return x;
    }
    return std::nullopt;
}

}  // namespace

ORVLocalTrackingWindows ORVAnalyzerLocalTracking::trackingWindows(double frameSeconds,
                                                                  const ORVTempoTrackingTuning& tuning) {
    const auto frames = [frameSeconds](double seconds) { return roundedInt64(seconds / frameSeconds); };
    ORVLocalTrackingWindows w;
    w.shortLength = std::max(frames(tuning.shortWindowSeconds), kShortestWindowFrames);
    w.mediumLength = std::max(frames(tuning.mediumWindowSeconds), w.shortLength);
    w.longLength = std::max(frames(tuning.longWindowSeconds), w.mediumLength);
    w.hop = std::max(frames(tuning.windowStepSeconds), kShortestHopFrames);
    w.minimumShortLength = std::max(kShortestWindowFrames, w.shortLength / 2);
    return w;
}

std::vector<ORVLocalTrackingWindowSpans> ORVAnalyzerLocalTracking::windowSpans(std::int64_t n,
                                                                             const ORVLocalTrackingWindows& lengths) {
    std::vector<ORVLocalTrackingWindowSpans> spans;
    if (n < lengths.minimumShortLength || lengths.hop <= 0) return spans;
    for (std::int64_t s = 0; s < n; s += lengths.hop) {
        const std::int64_t end = std::min(s + lengths.shortLength, n);
        if (end - s >= lengths.minimumShortLength) {
            ORVLocalTrackingWindowSpans span{{s, end}, std::nullopt, std::nullopt};
            const std::int64_t centre = (s + end) / 2;
            const ORVFrameSpan medium = centredWindow(centre, lengths.mediumLength, n);
            if (medium.end - medium.begin >= lengths.shortLength) span.mediumSpan = medium;
            const ORVFrameSpan wide = centredWindow(centre, lengths.longLength, n);
            if (wide.end - wide.begin >= lengths.mediumLength) span.longSpan = wide;
            spans.push_back(span);
        }
        if (s + lengths.shortLength >= n) break;
    }
    return spans;
}

ORVLocalTempoTracking ORVAnalyzerLocalTracking::trackLocalTempo(const ORVAudioFeatureSet& features,
                                                                std::optional<double> referenceBPM,
                                                                const ORVWorkerPool& pool, ORVProgressSpan progress) {
    const ORVTempoTrackingTuning tuning = ORVTempoTrackingTuning::shared();
    const std::vector<ORVTempoFamilyWindow> windows = analysisWindows(features, tuning, pool, progress);
    const std::vector<ORVTempoFamilyState> states = A::trackTempoFamilies(windows, referenceBPM, tuning).states;
    ORVLocalTempoTracking tracking;
    if (states.empty()) return tracking;

    tracking.observations.reserve(states.size());
    for (const auto& state : states) tracking.observations.push_back(observationOf(state));

    const double dt = features.frameSeconds;
    const auto& envelope = features.consensusEnvelope;
    const auto detected = A::detectSections(tracking.observations, features.firstMeaningfulAudioSeconds.value_or(0),
                                            features.durationSeconds);
    const std::vector<double> accent = A::accentEnvelope(envelope, dt);
    const auto refined = A::refineSections(detected, tracking.observations, envelope,
                                           std::span<const double>(accent), tuning, dt, features.durationSeconds);
    // Sections joined into one are measured again as a whole: the part of the joined tempo that
    // leaned towards a ramp at its end now rests on the steady beats before it.
    const auto joined = A::continuousSections(A::refineSectionTempos(refined, envelope, dt, kTempoMarginBeats));
    tracking.sections =
        A::rampSections(A::refineSectionTempos(joined, envelope, dt, kTempoMarginBeats), tracking.observations);

    tracking.stability = trackingStability(states);
    tracking.agreement = meanAgreement(states);
    // Whether the path can be trusted is read on the sections it was cut into; a change it made
    // that the onsets don't bear out is then taken back.
    const auto followed = groupingSections(features, tracking.sections, tracking.observations);
    tracking.isReliable = isReliableTracking(states, followed, tracking.stability);
    tracking.sections = supportedSections(features, followed);
    return tracking;
}

std::vector<ORVTempoFamilyEvidence> ORVAnalyzerLocalTracking::mergeWindowEvidence(std::span<const Candidate> shortList,
                                                                                  std::span<const Candidate> mediumList,
                                                                                  std::span<const Candidate> longList,
                                                                                  double mediumWeight,
                                                                                  double longWeight) {
    std::vector<Bucket> buckets;
    for (const Candidate& c : shortList) accumulateBucket(c, buckets, 1.0);
    for (const Candidate& c : mediumList) accumulateBucket(c, buckets, mediumWeight);
    for (const Candidate& c : longList) accumulateBucket(c, buckets, longWeight);
    stableMergeSort(buckets, [](const Bucket& a, const Bucket& b) { return descendingNaNLast(a.score, b.score); });

    const std::int64_t mergedLimit = ORVTempoTrackingTuning::shared().mergedCandidateLimit;
    const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(mergedLimit, 0));
    std::vector<ORVTempoFamilyEvidence> evidence;
    for (const Bucket& b : buckets) {
        if (evidence.size() >= limit) break;
        evidence.push_back({b.bpm, clampOr(b.score, 0.0, 1.0, 0.0), clampOr(b.agreement, 0.0, 1.0, 0.0),
                            clampOr(b.pulseCompleteness, 0.0, 1.0, 0.0), clampOr(b.accentRecurrence, 0.0, 1.0, 0.0)});
    }
    return evidence;
}

void ORVAnalyzerLocalTracking::accumulateBucket(const Candidate& c, std::vector<Bucket>& buckets, double w) {
    const auto match = std::find_if(buckets.begin(), buckets.end(), [&c](const Bucket& b) {
        return A::relativeTempoDifference(b.bpm, c.bpm) <= kBucketTolerance;
    });
    if (match == buckets.end()) {
        buckets.push_back({c.bpm, clampOr(c.score * w, 0.0, 1.0, 0.0), clampOr(c.agreement * w, 0.0, 1.0, 0.0),
                           clampOr(c.pulseCompleteness * w, 0.0, 1.0, 0.0), clampOr(c.accentRecurrence, 0.0, 1.0, 0.0),
                           w});
        return;
    }
    Bucket& b = *match;
    const double total = std::max(b.weight + w, 1e-9);
    b.bpm = (c.bpm * w + b.bpm * b.weight) / total;
    b.score = std::max(b.score, clampOr(c.score * w, 0.0, 1.0, 0.0));
    b.agreement = maxIgnoringNaN(b.agreement, c.agreement * w);
    b.pulseCompleteness = maxIgnoringNaN(b.pulseCompleteness, c.pulseCompleteness * w);
    b.accentRecurrence = (b.accentRecurrence * b.weight + c.accentRecurrence * w) / total;
    b.weight += w;
}

namespace {

// How much the accents recur more clearly after three pulses than after two over the part in
// threes and over the part in twos of two sections at two and three of one pulse; nothing
// when they are not such a pair or one is too short to read.
std::optional<std::pair<double, double>> groupingLeads(const ORVAudioFeatureSet& features,
                                                       const ORVDetectedTempoSection& a,
                                                       const ORVDetectedTempoSection& b) {
    const double dt = features.frameSeconds;
    const bool aFaster = a.bpm > b.bpm;
    const ORVDetectedTempoSection& twos = aFaster ? a : b;
    const ORVDetectedTempoSection& threes = aFaster ? b : a;
    if (!(dt > 0) || !std::isfinite(dt) || a.linearToNext || b.linearToNext ||
        !(twos.bpm >= kSlowestEighthsBPM && twos.bpm <= kFastestEighthsBPM) ||
        !(std::abs(twos.bpm / threes.bpm - 1.5) <= kGroupingRatioSlack)) {
        return std::nullopt;
    }
    const auto lead = [&](const ORVDetectedTempoSection& s) -> std::optional<double> {
        const auto [from, to] = features.framesBetween(s.startSeconds, s.endSeconds);
        if (to - from < roundedInt64(kGroupingWindowSeconds / dt)) return std::nullopt;
        return groupingLead(features, from, to, 60.0 / (twos.bpm * dt));
    };
    const auto inThrees = lead(threes);
    const auto inTwos = lead(twos);
    if (!inThrees || !inTwos) return std::nullopt;
    return std::make_pair(*inThrees, *inTwos);
}

// Whether the tracker read most of its windows within the section at this pulse by octaves:
// it followed the pulse through the section, even where the accents below 2500 Hz hardly
// sound it (brushes, a soft comping part).
bool followedPulse(std::span<const ORVLocalTempoObservation> observations, const ORVDetectedTempoSection& section,
                   double pulseBPM) {
    std::size_t inside = 0, onPulse = 0;
    for (const ORVLocalTempoObservation& o : observations) {
        if (o.centerSeconds < section.startSeconds || o.centerSeconds >= section.endSeconds) continue;
        ++inside;
        const auto octave = eighthsOctave(o.bpm);
        if (octave && A::relativeTempoDifference(*octave, pulseBPM) <= kBucketTolerance) ++onPulse;
    }
    return 2 * onPulse > inside;
}

}  // namespace

std::optional<std::vector<ORVDetectedTempoSection>> ORVAnalyzerLocalTracking::sectionsOfOnePulse(
    const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections,
    std::span<const ORVLocalTempoObservation> observations) {
    std::vector<ORVDetectedTempoSection> moved(sections.begin(), sections.end());
    // The pulse of each section moved so far (0: not moved).
    std::vector<double> pulse(moved.size(), 0.0);
    bool found = false;
    for (std::size_t i = 1; i < sections.size(); ++i) {
        const ORVDetectedTempoSection& a = sections[i - 1];
        const ORVDetectedTempoSection& b = sections[i];
        if (a.linearToNext || b.linearToNext || !A::isUsableTempo(a.bpm) || !A::isUsableTempo(b.bpm)) continue;
        // The octaves that put the faster in the eighths' range and the slower at 2/3 of it:
        // one pair at most, the range being narrower than an octave.
        std::optional<std::pair<double, double>> pair;
        for (int octaveA = -2; octaveA <= 2 && !pair; ++octaveA) {
            for (int octaveB = -2; octaveB <= 2 && !pair; ++octaveB) {
                const double x = a.bpm * std::exp2(octaveA);
                const double y = b.bpm * std::exp2(octaveB);
                const double faster = std::max(x, y);
                if (faster >= kSlowestEighthsBPM && faster <= kFastestEighthsBPM &&
                    std::abs(faster / std::min(x, y) - 1.5) <= kGroupingRatioSlack) {
                    pair = std::make_pair(A::roundedTempo(x), A::roundedTempo(y));
                }
            }
        }
        if (!pair) continue;
        ORVDetectedTempoSection first = a, second = b;
        first.bpm = pair->first;
        second.bpm = pair->second;
        // The part in threes must show its grouping clearly and the part in twos lean the other
        // way; and the part in threes must hold the pulse itself, not only a beat spanning
        // three of them.
        const auto leads = groupingLeads(features, first, second);
        if (!leads || !(leads->first > kClearGrouping && leads->second < 0)) continue;
        const double dt = features.frameSeconds;
        const double eighths = std::max(first.bpm, second.bpm);
        const ORVDetectedTempoSection& threes = first.bpm < second.bpm ? first : second;
        const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
        const auto [from, to] = features.framesBetween(threes.startSeconds, threes.endSeconds);
        const double held = pulseLead(features, from, to, 60.0 / (eighths * dt));
        // Where the accents hardly sound the pulse in the part in threes, the tracker having
        // followed it there stands in, when each grouping holds as long as a run of windows
        // read clearly one way.
        const auto holdsARun = [](const ORVDetectedTempoSection& s) {
            return s.endSeconds - s.startSeconds >= kGroupingRunSeconds;
        };
        if (!(held > kHeldPulse) &&
            !(holdsARun(first) && holdsARun(second) && followedPulse(observations, threes, eighths))) {
            continue;
        }
        if ((pulse[i - 1] > 0 && moved[i - 1].bpm != first.bpm) || (pulse[i] > 0 && moved[i].bpm != second.bpm)) {
            return std::nullopt;
        }
        moved[i - 1].bpm = first.bpm;
        moved[i].bpm = second.bpm;
        pulse[i - 1] = pulse[i] = eighths;
        found = true;
        // The tracker's long windows see the change before (or after) it comes: it lies where
        // the accents of the windows just before and just after it differ most, near where it
        // was put.
        const double sign = first.bpm > second.bpm ? 1.0 : -1.0;
        const std::int64_t length = roundedInt64(kGroupingWindowSeconds / dt);
        const std::int64_t step = std::max<std::int64_t>(roundedInt64(kTurnStepSeconds / dt), 1);
        const std::int64_t boundary = roundedInt64(b.startSeconds / dt);
        const std::int64_t reach = roundedInt64(kTurnReachSeconds / dt);
        const std::int64_t lo = std::max(roundedInt64(a.startSeconds / dt) + length, boundary - reach);
        const std::int64_t hi = std::min({roundedInt64(b.endSeconds / dt) - length, boundary + reach, n - length});
        std::optional<double> turn;
        double widest = 0;
        for (std::int64_t t = lo; t <= hi; t += step) {
            const double pulseFrames = 60.0 / (eighths * dt);
            const double contrast = sign * (groupingLead(features, t, t + length, pulseFrames) -
                                            groupingLead(features, t - length, t, pulseFrames));
            if (contrast > widest) {
                widest = contrast;
                turn = dt * static_cast<double>(t);
            }
        }
        if (turn) {
            moved[i - 1].endSeconds = *turn;
            moved[i].startSeconds = *turn;
        }
    }
    if (!found) return std::nullopt;
    // The other sections follow their moved neighbours' pulse by octaves, outwards.
    const auto follow = [&moved, &pulse](std::size_t i, std::size_t from) {
        if (pulse[i] > 0 || !(pulse[from] > 0) || !A::isUsableTempo(moved[i].bpm)) return;
        const double octaves = std::round(std::log2(pulse[from] / moved[i].bpm));
        if (std::abs(octaves) <= 3) moved[i].bpm = A::roundedTempo(moved[i].bpm * std::exp2(octaves));
        pulse[i] = moved[i].bpm;
    };
    for (std::size_t i = 1; i < moved.size(); ++i) follow(i, i - 1);
    for (std::size_t i = moved.size() - 1; i-- > 0;) follow(i, i + 1);
    return moved;
}

namespace {

// The parts of sections begin ... end - 1 (steady, read on one pulse of this tempo) where the
// pulse is grouped in twos and in threes; nothing when it is grouped one way only.
std::optional<std::vector<ORVDetectedTempoSection>> regroupedParts(
    const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections, double pulseBPM,
    std::span<const ORVLocalTempoObservation> observations) {
    const double dt = features.frameSeconds;
    const std::int64_t length = roundedInt64(kGroupingWindowSeconds / dt);
    const std::int64_t hop = std::max<std::int64_t>(roundedInt64(kGroupingHopSeconds / dt), 1);
    const double pulse = 60.0 / (pulseBPM * dt);
    const auto [from, to] = features.framesBetween(sections.front().startSeconds, sections.back().endSeconds);
    if (!std::isfinite(pulse) || to - from < length) return std::nullopt;
    // Per window: by how much the accents after three pulses outweigh those after two.
    std::vector<double> centres, leads;
    for (std::int64_t begin = from; begin + length <= to; begin += hop) {
        centres.push_back(dt * static_cast<double>(begin + length / 2));
        leads.push_back(groupingLead(features, begin, begin + length, pulse));
    }
    // Runs of windows clearly grouped one way: +1 in threes, -1 in twos.
    const auto groupingOf = [&](std::size_t i) {
        return leads[i] > kClearGrouping ? 1 : leads[i] < -kClearGrouping ? -1 : 0;
    };
    struct Run {
        int grouping;
        std::size_t first, last;
    };
    std::vector<Run> runs;
    for (std::size_t i = 0; i < leads.size(); ++i) {
        const int g = groupingOf(i);
        if (g == 0) continue;
        if (!runs.empty() && runs.back().grouping == g) {
            runs.back().last = i;
        } else {
            runs.push_back({g, i, i});
        }
    }
    std::erase_if(runs, [](const Run& r) { return r.last - r.first + 1 < kGroupingWindowsNeeded; });
    // Neighbouring runs of one grouping join.
    std::vector<Run> joined;
    for (const Run& r : runs) {
        if (!joined.empty() && joined.back().grouping == r.grouping) {
            joined.back().last = r.last;
        } else {
            joined.push_back(r);
        }
    }
    const bool twos = std::any_of(joined.begin(), joined.end(), [](const Run& r) { return r.grouping < 0; });
    const bool threes = std::any_of(joined.begin(), joined.end(), [](const Run& r) { return r.grouping > 0; });
    if (!twos || !threes) return std::nullopt;
    // A window across the change holds both groupings in the share of its length on either
    // side: the change lies where the lead passes half-way between the two runs' own,
    // read between the windows.
    const auto meanLead = [&leads](const Run& r) {
        double sum = 0;
        for (std::size_t i = r.first; i <= r.last; ++i) sum += leads[i];
        return sum / static_cast<double>(r.last - r.first + 1);
    };
    std::vector<ORVDetectedTempoSection> parts;
    double start = sections.front().startSeconds;
    for (std::size_t r = 0; r < joined.size(); ++r) {
        double end = sections.back().endSeconds;
        if (r + 1 < joined.size()) {
            const double halfWay = (meanLead(joined[r]) + meanLead(joined[r + 1])) / 2;
            const bool rising = joined[r + 1].grouping > 0;
            std::size_t i = joined[r].last;
            while (i + 1 < joined[r + 1].first && (leads[i + 1] > halfWay) != rising) ++i;
            const double a = leads[i] - halfWay, b = leads[i + 1] - halfWay;
            const double share = std::abs(b - a) > 1e-12 ? std::clamp(a / (a - b), 0.0, 1.0) : 0.5;
            end = centres[i] + share * (centres[i + 1] - centres[i]);
        }
        // The part keeps the record of the section it mostly lies in.
        const double middle = (start + end) / 2;
        const auto home = std::find_if(sections.begin(), sections.end(),
                                       [middle](const auto& s) { return middle < s.endSeconds; });
        ORVDetectedTempoSection part = home != sections.end() ? *home : sections.back();
        part.startSeconds = start;
        part.endSeconds = end;
        part.bpm = joined[r].grouping > 0 ? A::roundedTempo(pulseBPM * 2.0 / 3.0) : pulseBPM;
        part.observationCount = std::count_if(observations.begin(), observations.end(), [&](const auto& o) {
            return o.centerSeconds >= start && o.centerSeconds < end;
        });
        parts.push_back(part);
        start = end;
    }
    return parts;
}

}  // namespace

std::vector<ORVDetectedTempoSection> ORVAnalyzerLocalTracking::groupingSections(
    const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections,
    std::span<const ORVLocalTempoObservation> observations) {
    const double dt = features.frameSeconds;
    if (!(dt > 0) || !std::isfinite(dt)) return {sections.begin(), sections.end()};
    std::vector<ORVDetectedTempoSection> result;
    std::size_t i = 0;
    while (i < sections.size()) {
        std::optional<std::vector<ORVDetectedTempoSection>> parts;
        std::size_t next = i + 1;
        // The pulse is read at the section's tempo by octaves, or at three times it where the
        // tracker followed a beat spanning three pulses; neighbours whose tempo falls on that
        // same pulse by octaves are read with it as one.
        // A ramp runs into the section's own tempo, so a section a ramp runs into is read only
        // where that tempo is the pulse itself.
        const bool rampRunsInto = i > 0 && sections[i - 1].linearToNext;
        for (const double multiple : {1.0, 3.0}) {
            if (parts || sections[i].linearToNext) break;
            const auto pulse = eighthsOctave(sections[i].bpm * multiple);
            if (!pulse || (rampRunsInto && *pulse != sections[i].bpm)) continue;
            next = i + 1;
            while (next < sections.size() && !sections[next].linearToNext) {
                const auto other = eighthsOctave(sections[next].bpm * multiple);
                if (!other || A::relativeTempoDifference(*other, *pulse) > kBucketTolerance) break;
                ++next;
            }
            parts = regroupedParts(features, sections.subspan(i, next - i), A::roundedTempo(*pulse), observations);
        }
        if (parts) {
            result.insert(result.end(), parts->begin(), parts->end());
            i = next;
        } else {
            result.push_back(sections[i]);
            ++i;
        }
    }
    return result;
}

namespace {

// A steady section: neither a ramp nor the section one runs into.
bool isHeld(std::span<const ORVDetectedTempoSection> sections, std::size_t i) {
    return !sections[i].linearToNext && !(i > 0 && sections[i - 1].linearToNext);
}

// Whether one tempo is a whole multiple of the other (twice, three times, four times ...): one
// pulse counted at two levels, which the level and grouping stages read as such.
bool onePulseAtTwoLevels(double a, double b) {
    const double ratio = std::max(a, b) / std::min(a, b);
    const double multiple = std::round(ratio);
    return multiple >= 2 && std::abs(ratio / multiple - 1) <= kMultipleSlack;
}

// The onsets below 2500 Hz (kick, bass, snare, chords: not the hats filling the subdivisions)
// frame by frame, each the largest of its band within reach of the frame, summed over the bands.
std::vector<double> lowBandPeaks(const ORVAudioFeatureSet& features) {
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    const std::int64_t reach = std::max<std::int64_t>(roundedInt64(kBeatReachSeconds / features.frameSeconds), 1);
    std::vector<double> peaks(static_cast<std::size_t>(n), 0.0);
    for (std::size_t band = 1; band <= 3; ++band) {
        const std::span<const double> envelope = features.featureEnvelopes[band];
        if (static_cast<std::int64_t>(envelope.size()) < n) continue;
        for (std::int64_t t = 0; t < n; ++t) {
            double peak = 0;
            for (std::int64_t k = std::max<std::int64_t>(t - reach, 0); k <= std::min(t + reach, n - 1); ++k) {
                peak = std::max(peak, envelope[static_cast<std::size_t>(k)]);
            }
            peaks[static_cast<std::size_t>(t)] += peak;
        }
    }
    return peaks;
}

// The mean of the peaks on the beats of the grid (in frames) over frames begin ... end - 1, and
// how many beats fall there.
std::pair<double, std::int64_t> beatMean(std::span<const double> peaks, const ORVBeatGrid& grid, std::int64_t begin,
                                         std::int64_t end) {
    double sum = 0;
    std::int64_t beats = 0;
    for (double t = grid.firstFrom(static_cast<double>(begin)); t < static_cast<double>(end); t += grid.period) {
        sum += peaks[static_cast<std::size_t>(std::clamp<std::int64_t>(roundedInt64(t), begin, end - 1))];
        ++beats;
    }
    return {beats > 0 ? sum / static_cast<double>(beats) : 0.0, beats};
}

// How much more strongly the beats of the grid (in frames) meet the peaks over frames
// begin ... end - 1 than the frames there do on average; 0 without a beat there.
double gridLift(std::span<const double> peaks, const ORVBeatGrid& grid, std::int64_t begin, std::int64_t end) {
    begin = std::max<std::int64_t>(begin, 0);
    end = std::min(end, static_cast<std::int64_t>(peaks.size()));
    if (end <= begin) return 0;
    const auto [onBeats, beats] = beatMean(peaks, grid, begin, end);
    if (beats == 0) return 0;
    double all = 0;
    for (std::int64_t t = begin; t < end; ++t) all += peaks[static_cast<std::size_t>(t)];
    return onBeats - all / static_cast<double>(end - begin);
}

// The grid of the tempo laid where its beats meet the peaks over startSeconds ... endSeconds best.
ORVBeatGrid fittedGrid(std::span<const double> peaks, double frameSeconds, double bpm, double startSeconds,
                       double endSeconds) {
    const double period = 60.0 / (bpm * frameSeconds);
    const std::int64_t begin = std::max<std::int64_t>(roundedInt64(startSeconds / frameSeconds), 0);
    const std::int64_t end = std::min(roundedInt64(endSeconds / frameSeconds), static_cast<std::int64_t>(peaks.size()));
    ORVBeatGrid best{static_cast<double>(begin), period};
    double bestMean = -std::numeric_limits<double>::infinity();
    for (double offset = 0; offset < period && end > begin; offset += 1.0) {
        const ORVBeatGrid grid{static_cast<double>(begin) + offset, period};
        const auto [mean, beats] = beatMean(peaks, grid, begin, end);
        if (beats > 0 && mean > bestMean) {
            bestMean = mean;
            best = grid;
        }
    }
    return best;
}

// How strongly the grid meets the peaks over startSeconds ... endSeconds.
double liftOver(std::span<const double> peaks, double frameSeconds, const ORVBeatGrid& grid, double startSeconds,
                double endSeconds) {
    return gridLift(peaks, grid, roundedInt64(startSeconds / frameSeconds), roundedInt64(endSeconds / frameSeconds));
}

// Section i given to its neighbour j: one section over both spans at j's tempo.
void joinNeighbour(std::vector<ORVDetectedTempoSection>& sections, std::size_t i, std::size_t j) {
    ORVDetectedTempoSection& into = sections[j];
    const ORVDetectedTempoSection& from = sections[i];
    const auto total = static_cast<double>(std::max<std::int64_t>(into.observationCount + from.observationCount, 1));
    into.confidence = (into.confidence * static_cast<double>(into.observationCount) +
                       from.confidence * static_cast<double>(from.observationCount)) / total;
    into.observationCount += from.observationCount;
    into.startSeconds = std::min(into.startSeconds, from.startSeconds);
    into.endSeconds = std::max(into.endSeconds, from.endSeconds);
    sections.erase(sections.begin() + static_cast<std::ptrdiff_t>(i));
}

}  // namespace

std::vector<ORVDetectedTempoSection> ORVAnalyzerLocalTracking::supportedSections(
    const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections) {
    std::vector<ORVDetectedTempoSection> result(sections.begin(), sections.end());
    const double dt = features.frameSeconds;
    if (!(dt > 0) || !std::isfinite(dt) || result.size() < 2) return result;
    const std::vector<double> peaks = lowBandPeaks(features);
    bool joined = false;
    // The neighbour a section may join: steady, at a tempo of its own, not a level of its pulse.
    const auto joinable = [&result](std::size_t i, std::size_t j) {
        return j < result.size() && isHeld(result, j) && A::isUsableTempo(result[j].bpm) &&
               !A::sectionTemposMatch(result[i].bpm, result[j].bpm) &&
               !onePulseAtTwoLevels(result[i].bpm, result[j].bpm);
    };
    while (result.size() > 1) {
        std::vector<ORVBeatGrid> grids;
        std::vector<double> lifts;
        for (const ORVDetectedTempoSection& s : result) {
            const bool usable = A::isUsableTempo(s.bpm);
            grids.push_back(usable ? fittedGrid(peaks, dt, s.bpm, s.startSeconds, s.endSeconds) : ORVBeatGrid{});
            lifts.push_back(usable ? liftOver(peaks, dt, grids.back(), s.startSeconds, s.endSeconds) : 0.0);
        }
        // The section with the weakest claim to a tempo of its own: its own beats against its
        // neighbour's carried on over its span; none at all where it hardly meets its own beats
        // beside a neighbour that meets its own clearly.
        std::optional<std::pair<std::size_t, std::size_t>> weakest;
        double weakestLead = kClearLead;
        for (std::size_t i = 0; i < result.size(); ++i) {
            if (!isHeld(result, i) || !A::isUsableTempo(result[i].bpm)) continue;
            for (const std::size_t j : {i - 1, i + 1}) {
                if (!joinable(i, j)) continue;  // i - 1 wraps round past the end at 0
                const bool weak = lifts[i] < kWeakShare * lifts[j];
                const double carried = liftOver(peaks, dt, grids[j], result[i].startSeconds, result[i].endSeconds);
                // Own beats that meet the onsets where the carried ones miss them stand.
                const double lead = weak          ? 0.0
                                    : carried > 0 ? lifts[i] / carried
                                    : lifts[i] > 0 ? std::numeric_limits<double>::infinity()
                                                   : 0.0;
                if (lead < weakestLead) {
                    weakestLead = lead;
                    weakest = std::make_pair(i, j);
                }
            }
        }
        // A short first section at a tempo the rest of the song doesn't hold joins the next.
        const auto heldLater = [&result](double bpm) {
            return std::any_of(result.begin() + 1, result.end(),
                               [bpm](const auto& s) { return A::sectionTemposMatch(s.bpm, bpm); });
        };
        const ORVDetectedTempoSection& first = result.front();
        const double firstBeats = (first.endSeconds - first.startSeconds) * first.bpm / 60.0;
        if (!weakest && isHeld(result, 0) && joinable(0, 1) && firstBeats < kShortestOpeningBeats &&
            !heldLater(first.bpm)) {
            weakest = std::make_pair(std::size_t{0}, std::size_t{1});
        }
        if (!weakest) break;
        joined = true;
        joinNeighbour(result, weakest->first, weakest->second);
    }
    return joined ? A::mergeAdjacentSections(result) : result;
}

double ORVAnalyzerLocalTracking::trackingStability(std::span<const ORVTempoFamilyState> states) {
    if (states.empty()) return 0;
    if (states.size() == 1) return 0.5;
    double sum = 0;
    for (std::size_t i = 1; i < states.size(); ++i) {
        const double a = states[i - 1].canonicalBPM;
        const double b = states[i].canonicalBPM;
        const double difference = A::relativeTempoDifference(a, b);
        if (difference <= 0.025) {
            sum += 1.0;
        } else if (difference <= 0.15) {
            sum += 0.72;
        } else {
            const ORVTempoRelation relation = A::tempoRelation(a, b);
            sum += relation == ORVTempoRelation::octave || relation == ORVTempoRelation::threeToTwo ? 0.2 : 0.36;
        }
    }
    return sum / static_cast<double>(states.size() - 1);
}

bool ORVAnalyzerLocalTracking::isReliableTracking(std::span<const ORVTempoFamilyState> states,
                                                  std::span<const ORVDetectedTempoSection> sections, double stability) {
    if (states.empty()) return false;
    const auto ambiguousCount =
        std::count_if(states.begin(), states.end(), [](const ORVTempoFamilyState& s) { return s.ambiguous; });
    const double ambiguousShare = static_cast<double>(ambiguousCount) / static_cast<double>(states.size());
    const double agreement = meanAgreement(states);
    const auto solid = [](const ORVDetectedTempoSection& s) {
        return s.observationCount >= 3 && s.confidence >= 0.4 && s.endSeconds - s.startSeconds >= 3.0;
    };
    const auto solidCount = std::count_if(sections.begin(), sections.end(), solid);
    if (solidCount >= 2) {
        return ambiguousShare <= 0.45 && solidCount == static_cast<std::ptrdiff_t>(sections.size()) &&
               stability >= 0.6 && agreement >= 0.35;
    }
    if (solidCount == 1) {
        return ambiguousShare <= 0.55 && stability >= 0.64 && agreement >= 0.32 && sections.size() == 1 &&
               sections.front().observationCount > 3;
    }
    return false;
}

}  // namespace corvel::analysis
