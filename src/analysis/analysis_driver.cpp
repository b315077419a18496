#include "analysis/analysis_driver.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "analysis/band_view.hpp"
#include "analysis/beat_grid.hpp"
#include "analysis/level_weights.hpp"
#include "analysis/music_analyzer.hpp"
#include "common/error.hpp"
#include "common/format.hpp"
#include "common/numeric.hpp"
#include "core/timeline_segments.hpp"

namespace corvel::analysis {

namespace {

using A = ORVAudioMusicAnalyzer;
using Refinement = SetwrightMusicTempoRefiner::Refinement;
using InternalCandidate = ORVAnalyzerPeriodicity::InternalCandidate;

constexpr std::size_t kShortestConsensusFrames = 192;
constexpr std::size_t kReportedCandidateLimit = 8;
constexpr double kMedianWeightFloor = 0.15;
constexpr double kCollapseConfidence = 0.8;
// How much more steadily (refinement confidence) the tracked tempo's grid must fit the onsets
// than a consensus tempo three to two from it before it is refined instead.
constexpr double kClearlySteadierFit = 0.1;
// Below this the song's clearest repetition is one that noise or a random patter of onsets
// shows as well: there is no pulse to measure.
constexpr double kLeastPulseSignificance = 5.5;
constexpr double kOnsetLevel = 0.25;
constexpr double kMetricalFactorSlack = 0.05;
// From this confidence on, a clear consensus says so in its reason.
constexpr double kClearConsensusConfidence = 0.68;
constexpr std::size_t kBeatLimit = 200000;
constexpr double kLowestEditableBPM = 30;
constexpr double kHighestEditableBPM = 300;
// The attacks on a grid's beats are looked for from this many frames before its whole-frame
// phase to this many after it: the onset of a frame's envelope lies within that frame, or one
// later where lossy coding smears energy ahead of the attack.
struct OnsetSearchFrames {
    double before;
    double after;
};
constexpr OnsetSearchFrames kOnsetSearchFrames{1.0, 2.0};
// Audio below this share of the loudest fine frame, or below this level, is silence.
constexpr float kSilenceShare = 0.0015f;
constexpr float kSilenceFloor = 0.00002f;
// The music's first sound lies halfway between the beats found when it is off by at least half
// a beat less this share of one.
constexpr double kOpeningOffBeatShare = 0.15;
// The music opens with a hit when it sounds at least this share as loud as its loudest frame
// and this many times as loud as the median frame of this many seconds after it.
constexpr float kOpeningHitShare = 0.1f;
constexpr float kOpeningOverUsual = 1.25f;
constexpr double kOpeningHeardSeconds = 2.0;
// The low band (kick, bass) decides whether the beats lie halfway between those found: they
// move there where it sounds on the beats halfway at least this many times as strongly as on
// the beats found (over its mean, so that a low band of noise never moves them), or this share
// as strongly when the music opens there too (music opens on a beat, but a pickup on the "and"
// before Bar 1 opens halfway between the beats of a groove whose kick and bass fall on them).
// Syncopated kicks sound halfway between the beats of a funk groove up to about 1.7 times as
// strongly as on them; a kick on the beats under a snare or chords on every off-beat, which
// outweigh it in the bands above, several times.
constexpr double kLowBandLeadHalfway = 2.5;
constexpr double kOpeningLowBandShare = 0.25;
// Swung eighths fall late in the beat, about two thirds of the way to the next one. A grid
// that locked onto them instead of the beats hears the mix's strongest onset between its beats
// (from this share of a beat after them to this one) early (from this share of a beat to this
// one), at least this share as strong as on its beats, and nothing as much as this share of it
// later between the beats (from this share of a beat after it on): its beats then fall where
// that early onset does.
constexpr double kBetweenBeatsFrom = 0.15;
constexpr double kBetweenBeatsTo = 0.9;
constexpr double kSwungEighthEarliest = 0.2;
constexpr double kSwungEighthLatest = 0.45;
constexpr double kSwungEighthShare = 0.5;
constexpr double kAfterSwungEighthShare = 0.5;
// A hit opening the music within this share of a beat of the grid's first beat (or of the one
// before it, in front of the span's start) is that beat.
constexpr double kOpeningOnBeatShare = 0.15;
// A new tempo's beats are read on this much of its section, or this much when it ramps.
constexpr double kPhaseSpanSeconds = 12.0;
constexpr double kRampPhaseSpanSeconds = 4.0;
// The old tempo's own beats just before a change are read on this much of it.
constexpr double kNearPhaseSpanSeconds = 4.0;
// Tempi closer than this give no step worth placing.
constexpr double kSmallestPlacedStep = 0.5;
// A ramp's start tempo bends by at most this share to keep the beats in phase.
constexpr double kRampBendLimit = 0.03;
// A steady tempo bends by at most this share to keep the beats in phase across a step, and
// only when a step alone would miss the new beats by more than this.
constexpr double kStepBendLimit = 0.01;
constexpr double kTolerableMissSeconds = 0.035;
// The first beat of a new tempo lies within this share of a beat of its phase over the section.
constexpr double kStepPhaseShare = 0.12;
// A larger miss than this share of the shorter beat is no drift but a change between beats,
// which a step can only come close to.
constexpr double kLargestDriftShare = 0.25;
// A change stays this far inside both of its sections.
constexpr double kChangeInset = 0.25;
// A steady stretch shorter than this between a ramp and a further change may be where
// detection stopped the ramp.
constexpr double kLongestRampStopSeconds = 6.0;
// Onsets are looked for this close to a beat; one grid explains the music clearly better than
// another at a beat when its onset there is stronger by this much; a change moves by at most
// this many beats from where it was detected.
constexpr double kOnsetReachSeconds = 0.035;
constexpr double kClearlyStronger = 0.1;
constexpr int kLongestBeatWalk = 4;
// Bars count four beats until the user sets a meter; the bar a song starts with is found
// from its low band's accents over this many bars from its first beat on. Of the beats a bar
// may start on, the earliest is Bar 1 unless its accent stays under this share of the most
// accented one's on average and under it in at least this share of the bars (kick and bass
// on one and three accent both alike; a low band of noise accents none clearly).
constexpr std::size_t kBeatsPerBar = 4;
constexpr std::size_t kBarsHeardForBarOne = 12;
constexpr double kDownbeatAccentShare = 0.75;
constexpr double kClearlyAccentedBars = 0.8;
// A beat the low band accents at least this many times as strongly as both beats beside it
// is one or three of its bar, not a pickup before it, however much more the other of them is
// accented (a bass that leans on three).
constexpr double kStrongBeatOverNeighbours = 1.25;
// The low band follows the beats when its most accented place sounds at least this much
// stronger than it does halfway between the beats.
constexpr double kBeatAccentOverBetween = 2.0;
// When a map's tempo changes are heard (fitted on the tuning half of the written corpus, whose
// steady pieces are read as maps by a tracker following the wrong level, against the
// synthesised steps, ramps and ritardandi): a changed section must explain its onsets this
// many times as strongly as one steady tempo does there, over at least this many beats of it;
// a map of breathing beats must gain this much (log of the strength ratio) per tempo point
// per beat.
struct MapEvidenceTuning {
    double heardChangeRatio = 1.5;
    std::size_t heardChangeBeats = 8;
    // A section slower than this share of the steady tempo is also weighed against the steady
    // tempo's every other beat.
    double slowerLevelShare = 0.8;
    // ... and its beats must sound at least this share as strongly as the steady beats do over
    // the whole span.
    double audibleShare = 0.5;
    // A ramp's own beats are read this many at a time.
    double rampWindowBeats = 8;
    double breathingPointCost = 1.7;
    // The steady tempo is refined within this share of the reported one.
    double steadyRefinementShare = 0.02;
};
constexpr MapEvidenceTuning kMapEvidence;
// A hit opening the music on a beat opens Bar 1 when it sounds at least this share as loud as
// the median beat of the bars heard for Bar 1.
constexpr float kFullOpeningShare = 0.7f;
// The split band below 180 Hz (kick, bass).
constexpr std::size_t kLowBand = 0;
// What the stages cost on one core, relative to decoding, for the progress report. The
// whole-span consensus spreads over its nine envelopes and the windows over every thread, at
// about 60 % efficiency per added thread; decoding and the refinement at the end run on one.
constexpr double kDecodingCost = 1.0;
constexpr double kWholeSpanConsensusCost = 0.13;
constexpr double kWindowsCost = 3.8;
constexpr double kRefinementCost = 0.3;

struct StageCosts {
    double wholeSpanConsensus = 0;
    double windows = 0;
    double afterDecoding() const { return wholeSpanConsensus + windows + kRefinementCost; }
};

StageCosts stageCosts(std::size_t threads) {
    const auto speedUp = [](std::size_t t) { return 1.0 + 0.6 * (static_cast<double>(t) - 1.0); };
    return {kWholeSpanConsensusCost / speedUp(std::min<std::size_t>(threads, 9)), kWindowsCost / speedUp(threads)};
}

bool isSamePulse(double a, double b) { return A::tempoRelation(a, b) == ORVTempoRelation::same; }
bool isSamePulseOrRelative(double a, double b) { return A::tempoRelation(a, b) != ORVTempoRelation::unrelated; }

// Whether the song repeats at a beat period more clearly than noise or a random patter of
// onsets does: over its whole length, or else within stretches of a few seconds (a pulse whose
// tempo moves). The stretches are read on the bands' onset strengths before normalisation, in
// which a clear onset still stands out of a noise bed.
bool hasPulse(const ORVAudioFeatureSet& features, std::span<const InternalCandidate> candidates) {
    if (A::pulseSignificance(candidates, features.consensusEnvelope.size()) >= kLeastPulseSignificance) return true;
    std::vector<double> onsets(features.consensusEnvelope.size(), 0.0);
    bool strengths = false;
    for (const auto& band : features.bandOnsetStrengths) {
        for (std::size_t k = 0; k < std::min(onsets.size(), band.size()); ++k) onsets[k] += band[k];
        strengths = strengths || !band.empty();
    }
    if (!strengths) onsets = features.consensusEnvelope;
    return A::windowedPulseSignificance(onsets, features.frameSeconds) >= kLeastPulseSignificance;
}

// The reported tempo first (the candidate of its pulse, or one made from the best when none
// is), then its double and half as the consensus ranked them, then the rest; at most 8.
void putReportedLevelFirst(std::vector<ORVMusicTempoCandidate>& candidates, double bpm,
                           const ORVMusicTempoCandidate& best) {
    const auto samePulse = [bpm](const ORVMusicTempoCandidate& c) {
        return isSamePulse(c.bpm, bpm);
    };
    const auto octave = [bpm](const ORVMusicTempoCandidate& c) {
        return A::tempoRelation(c.bpm, bpm) == ORVTempoRelation::octave;
    };
    std::vector<ORVMusicTempoCandidate> ordered;
    const auto own = std::find_if(candidates.begin(), candidates.end(), samePulse);
    ORVMusicTempoCandidate first = own != candidates.end() ? *own : best;
    if (own == candidates.end()) first.id = Uuid::random();
    first.bpm = bpm;
    ordered.push_back(first);
    for (const auto& c : candidates) {
        if (!samePulse(c) && octave(c)) ordered.push_back(c);
    }
    for (const auto& c : candidates) {
        if (!samePulse(c) && !octave(c)) ordered.push_back(c);
    }
    if (ordered.size() > kReportedCandidateLimit) ordered.resize(kReportedCandidateLimit);
    candidates = std::move(ordered);
}

std::string bpmText(double bpm) { return formatFixed(bpm, 2); }
std::string percentText(double share) { return formatFixed(share * 100.0, 0); }

std::string sectionsReason(std::span<const ORVDetectedTempoSection> sections,
                           std::span<const ORVLocalTempoObservation> observations) {
    std::string tempi;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (i > 0) tempi += " \u2192 ";
        tempi += bpmText(sections[i].bpm) + " BPM";
    }
    const auto offRate = std::count_if(observations.begin(), observations.end(), [](const auto& o) {
        return std::abs(o.metricalFactor - 1.0) > kMetricalFactorSlack;
    });
    return "Canonical tempo-family tracker: " + formatInteger(std::int64_t(sections.size())) + " stable sections (" +
           tempi + "). " + formatInteger(offRate) +
           " local half-/2:3-rate observations were retained as rhythmic evidence without becoming tempo-map "
           "sections.";
}

// The low band's mean onset strength on the grid's beats between frames a and b; 0 for none.
double lowBandOnBeats(const ORVAudioFeatureSet& features, const ORVBeatGrid& grid, std::int64_t a, std::int64_t b) {
    const BandView low(features, kLowBand);
    const double fs = features.frameSeconds;
    if (!low.usable()) return 0;
    double sum = 0;
    std::int64_t beats = 0;
    for (double t = grid.firstFrom(static_cast<double>(a) * fs); t < static_cast<double>(b) * fs; t += grid.period) {
        sum += low.peakNear(saturatingInt64(std::round(t / fs)), 1, a, b);
        ++beats;
    }
    return beats > 0 ? sum / static_cast<double>(beats) : 0.0;
}

// Whether the beats lie halfway between the grid's (in seconds) over frames a ... b - 1: where
// the low band says so, leaning towards them when the music opens there.
bool beatsHalfwayBetween(const ORVAudioFeatureSet& features, const ORVBeatGrid& grid, std::int64_t a, std::int64_t b,
                         std::optional<double> opening) {
    const BandView low(features, kLowBand);
    if (!low.usable()) return false;
    const double floor = low.mean(a, b);
    const double onBeats = lowBandOnBeats(features, grid, a, b) + floor;
    const double halfway = lowBandOnBeats(features, grid.halfBeatOn(), a, b) + floor;
    const bool opensHalfway = opening && std::abs(grid.offBeat(*opening)) >= 0.5 - kOpeningOffBeatShare;
    return halfway > 0 && halfway >= (opensHalfway ? kOpeningLowBandShare : kLowBandLeadHalfway) * onBeats;
}

// The grid (in frames) moved onto the beats when it locked onto swung eighths: the mix's
// onsets (the consensus envelope) are read at every frame of the beat, averaged over the
// grid's beats in frames a ... b - 1, from its strongest frame within a twelfth of a beat of
// its beats on; the grid as it is when they fall as beats and swung eighths do.
ORVBeatGrid offSwungEighths(const ORVAudioFeatureSet& features, const ORVBeatGrid& grid, std::int64_t a,
                            std::int64_t b) {
    const auto& mix = features.consensusEnvelope;
    const auto n = static_cast<std::int64_t>(mix.size());
    const auto frames = static_cast<std::int64_t>(std::floor(grid.period));
    const std::int64_t reach = roundedInt64(grid.period / 12.0);
    // profile[d]: the mean onset d - reach frames after the grid's beats.
    std::vector<double> profile(static_cast<std::size_t>(frames + 2 * reach), 0.0);
    std::int64_t beats = 0;
    for (double t = grid.firstFrom(static_cast<double>(a + reach)); t + grid.period < static_cast<double>(b); t += grid.period) {
        const std::int64_t c = roundedInt64(t) - reach;
        for (std::size_t d = 0; d < profile.size(); ++d) {
            const std::int64_t k = c + static_cast<std::int64_t>(d);
            double peak = 0;
            for (std::int64_t i = std::max<std::int64_t>(k - 1, 0); i <= std::min(k + 1, n - 1); ++i) {
                peak = std::fmax(peak, mix[static_cast<std::size_t>(i)]);
            }
            profile[d] += peak;
        }
        ++beats;
    }
    if (beats < 2) return grid;
    const auto beatAt = std::max_element(profile.begin(), profile.begin() + 2 * reach + 1) - profile.begin();
    const double onBeat = profile[static_cast<std::size_t>(beatAt)];
    // The strongest onset between the beats, and where it lies.
    const auto strongest = [&](double fromShare, double toShare) {
        const std::int64_t lo = std::max<std::int64_t>(beatAt + roundedInt64(fromShare * grid.period), 0);
        const std::int64_t hi = std::min<std::int64_t>(beatAt + roundedInt64(toShare * grid.period), std::ssize(profile) - 1);
        std::pair<std::int64_t, double> best{lo, 0.0};
        for (std::int64_t d = lo; d <= hi; ++d) {
            if (profile[static_cast<std::size_t>(d)] > best.second) best = {d, profile[static_cast<std::size_t>(d)]};
        }
        return best;
    };
    const auto [early, earlyOnset] = strongest(kSwungEighthEarliest, kSwungEighthLatest);
    const double between = strongest(kBetweenBeatsFrom, kBetweenBeatsTo).second;
    const double offset = static_cast<double>(early - beatAt) / grid.period;
    const double later = strongest(offset + kBetweenBeatsFrom, kBetweenBeatsTo).second;
    if (!(onBeat > 0) || earlyOnset < kSwungEighthShare * onBeat || earlyOnset < between ||
        later >= kAfterSwungEighthShare * earlyOnset) {
        return grid;
    }
    return {grid.nearest(static_cast<double>(a)) + static_cast<double>(early - reach), grid.period};
}

// The beats of the constant tempo over from ... to seconds, at the best beat phase of the band
// envelopes there, moved off swung eighths onto the beats they follow; none for a span of fewer
// than two beats. The bands above the low one may outvote kick and bass for the points halfway
// between the beats (off-beat chords, snare or hats): the beats move there where the low band
// clearly sounds there instead (beatsHalfwayBetween). With `opening`, the time the music opens
// with: music starts on a beat, so when it falls halfway between the beats found, the beats
// move half a beat onto it unless the low band keeps to the beats found (the opening was a
// pickup).
std::optional<ORVBeatGrid> beatGrid(const ORVAudioFeatureSet& features, double bpm, double from, double to,
                                       std::optional<double> opening = std::nullopt) {
    const double fs = features.frameSeconds;
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    const double period = 60.0 / (fs * bpm);
    if (!(fs > 0) || !std::isfinite(period) || !(period >= 2.0)) return std::nullopt;
    const std::int64_t a = std::clamp<std::int64_t>(saturatingInt64(std::floor(from / fs)), 0, n);
    const std::int64_t b = std::clamp<std::int64_t>(saturatingInt64(std::ceil(to / fs)), a, n);
    if (!(static_cast<double>(b - a) >= 2 * period)) return std::nullopt;
    const ORVBeatGrid frames = offSwungEighths(features, A::beatGrid(features, period, a, b), a, b);
    ORVBeatGrid grid{frames.beat * fs, 60.0 / bpm};
    if (beatsHalfwayBetween(features, grid, a, b, opening)) grid = grid.halfBeatOn();
    grid.beat = A::onsetAlignedPhase(features.fineEnergy, features.fineFrameSeconds, grid.beat, grid.period, from, to,
                                     kOnsetSearchFrames.before * fs, kOnsetSearchFrames.after * fs);
    return grid;
}

// The strongest consensus value within about 35 ms of t.
double onsetStrength(const ORVAudioFeatureSet& features, double t) {
    const double fs = features.frameSeconds;
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    const std::int64_t reach = std::max<std::int64_t>(roundedInt64(kOnsetReachSeconds / fs), 1);
    const std::int64_t c = saturatingInt64(std::round(t / fs));
    double strongest = 0;
    for (std::int64_t k = std::max<std::int64_t>(c - reach, 0); k <= std::min(c + reach, n - 1); ++k) {
        strongest = std::fmax(strongest, features.consensusEnvelope[static_cast<std::size_t>(k)]);
    }
    return strongest;
}

// Where the new tempo's beats begin: from its beat nearest to the detected change, forward
// while the old tempo's beats continued explain the music clearly better there, back while the
// new ones do, a few beats at most each way.
double firstNewBeat(const ORVAudioFeatureSet& features, const ORVBeatGrid& old, double change,
                    const ORVBeatGrid& beats) {
    const auto better = [&features](double a, double b) {
        return onsetStrength(features, a) > onsetStrength(features, b) + kClearlyStronger;
    };
    double beat = beats.nearest(change);
    for (int step = 0; step < kLongestBeatWalk && better(old.nearest(beat), beat); ++step) beat += beats.period;
    for (int step = 0; step < kLongestBeatWalk && beat - beats.period >= 0; ++step) {
        const double earlier = beat - beats.period;
        if (!better(earlier, old.nearest(earlier))) break;
        beat = earlier;
    }
    return beat;
}

// Where the audio first sounds at all: its first fine frame above a floor far below the
// loudest one; 0 without the fine energy.
double firstSoundSeconds(const ORVAudioFeatureSet& features) {
    const auto& fine = features.fineEnergy;
    if (fine.empty()) return 0;
    const float floor = std::max(features.loudestFineEnergy * kSilenceShare, kSilenceFloor);
    const auto sound = std::find_if(fine.begin(), fine.end(), [floor](float rms) { return rms >= floor; });
    return sound == fine.end() ? 0 : static_cast<double>(sound - fine.begin()) * features.fineFrameSeconds;
}

// The loudest fine frame within an onset's reach after t; 0 outside the fine energy.
float fineHitAt(const ORVAudioFeatureSet& features, double t) {
    const auto& fine = features.fineEnergy;
    const double f = features.fineFrameSeconds;
    if (fine.empty() || !(f > 0) || !(t >= 0)) return 0;
    const auto size = static_cast<double>(fine.size());
    const auto first = static_cast<std::ptrdiff_t>(std::fmin(std::floor(t / f), size));
    const auto last = static_cast<std::ptrdiff_t>(std::fmin(std::floor((t + kOnsetReachSeconds) / f) + 1, size));
    if (first >= last) return 0;
    return *std::max_element(fine.begin() + first, fine.begin() + last);
}

// The time the music opens with a hit: its first sound, when a fine frame within an onset's
// reach of it sounds at least a share as loud as the loudest one, and clearly louder than the
// music usually sounds just after it (a fade-in, or a bed under later hits, opens with none).
std::optional<double> openingHit(const ORVAudioFeatureSet& features) {
    const auto& fine = features.fineEnergy;
    const double f = features.fineFrameSeconds;
    const auto opening = features.firstMeaningfulAudioSeconds;
    if (!opening || fine.empty() || !(f > 0)) return std::nullopt;
    const auto frame = [&](double seconds) {
        return static_cast<std::ptrdiff_t>(std::clamp(std::floor(seconds / f), 0.0, static_cast<double>(fine.size())));
    };
    const float hit = fineHitAt(features, *opening);
    const std::ptrdiff_t reach = frame(*opening + kOnsetReachSeconds) + 1;
    std::vector<float> after(fine.begin() + std::min(reach, frame(*opening + kOpeningHeardSeconds)),
                             fine.begin() + frame(*opening + kOpeningHeardSeconds));
    if (after.empty() || hit < kOpeningHitShare * features.loudestFineEnergy) return std::nullopt;
    const auto middle = after.begin() + static_cast<std::ptrdiff_t>(after.size() / 2);
    std::nth_element(after.begin(), middle, after.end());
    if (hit < kOpeningOverUsual * *middle) return std::nullopt;
    return opening;
}

// Whether the music opens on Bar 1: with a hit on its first beat that sounds as full as its
// beats usually do. A pickup is a lighter figure (a lone drum, a melody note) before the band
// comes in; kick and bass may accent any beat of a bar (a bass that anticipates the bar).
bool opensOnBarOne(const ORVAudioFeatureSet& features, std::span<const double> beats) {
    const auto opening = openingHit(features);
    if (!opening || beats.size() < 2 || std::abs(beats.front() - *opening) > kOnsetReachSeconds) return false;
    std::vector<float> hits;
    for (const double beat : beats.subspan(1)) hits.push_back(fineHitAt(features, beat));
    const auto middle = hits.begin() + static_cast<std::ptrdiff_t>(hits.size() / 2);
    std::nth_element(hits.begin(), middle, hits.end());
    return fineHitAt(features, *opening) >= kFullOpeningShare * *middle;
}

// The first beat of the first section: its best phase, at or just before its start, and not
// in the silence before the audio first sounds (where no sustained passage marks the start of
// the music, as in a track of sparse clicks).
double firstBeatSeconds(const ORVAudioFeatureSet& features, const ORVDetectedTempoSection& first) {
    const double bpm = ORVAnalyzerDriver::editableTempo(first.bpm);
    const double start = std::fmax(std::fmax(first.startSeconds, 0.0), firstSoundSeconds(features));
    const double end = first.linearToNext ? std::fmin(first.endSeconds, start + kRampPhaseSpanSeconds) : first.endSeconds;
    const auto opening = openingHit(features);
    auto grid = beatGrid(features, bpm, start, end, opening);
    if (!grid) grid = beatGrid(features, bpm, 0, features.durationSeconds, opening);
    if (!grid) return start;
    const double beat = grid->firstFrom(start - 0.25 * grid->period);
    return beat >= 0 ? beat : beat + grid->period;
}

// Whether the music's first beat falls at the start of the span although its beat phase
// puts it up to an onset's reach before: the span sounds from its first frame on, where no
// onset rise can show (nothing precedes it), and a phase read from the later beats may lead
// them by a frame or two.
bool firstBeatSoundsAtStart(const ORVAudioFeatureSet& features, double beatBefore) {
    const double reach = std::fmax(kOnsetReachSeconds, 2 * features.frameSeconds);
    const auto firstSound = features.firstMeaningfulAudioSeconds;
    return firstSound && *firstSound <= reach && beatBefore < 0 && beatBefore >= -reach;
}

// The low band's (kick, bass) strongest onset within an onset's reach of each time; none for
// a time whose reach touches the first frame, where nothing can rise.
std::vector<std::optional<double>> lowBandAccents(const ORVAudioFeatureSet& features, std::span<const double> beats) {
    std::vector<std::optional<double>> accents(beats.size());
    const double fs = features.frameSeconds;
    const std::int64_t n = features.frameCount();
    const BandView low(features, kLowBand);
    if (!(fs > 0) || n == 0 || !low.usable()) return accents;
    const std::int64_t reach = std::max<std::int64_t>(roundedInt64(kOnsetReachSeconds / fs), 1);
    for (std::size_t j = 0; j < beats.size(); ++j) {
        const std::int64_t c = roundedInt64(beats[j] / fs);
        if (c - reach < 1 || c - reach >= n) continue;
        accents[j] = low.peakNear(c, reach, 0, n);
    }
    return accents;
}

// A short steady stretch between a ramp and the steady tempo after it, on the way from one to
// the other: where detection stopped a ramp that runs on into that tempo.
bool isRampStop(const ORVDetectedTempoSection& ramp, const ORVDetectedTempoSection& stop,
                const ORVDetectedTempoSection& after) {
    return !stop.linearToNext && !after.linearToNext && stop.endSeconds - stop.startSeconds < kLongestRampStopSeconds &&
           (stop.bpm - ramp.bpm) * (after.bpm - stop.bpm) > 0;
}

// The map's first beat at or after a time, its beats counted from firstBeat.
std::optional<double> firstMapBeatFrom(const ORVAudioFeatureSet& features,
                                       std::span<const ORVDetectedTempoSection> aligned, double firstBeat, double from) {
    const auto segments =
        BeatloomTimeline::segments(ORVAnalyzerDriver::sectionTempoPoints(aligned), features.durationSeconds);
    const double zero = BeatloomTimeline::quarterPosition(segments, firstBeat);
    const double quarter = BeatloomTimeline::quarterPosition(segments, from) - zero;
    return BeatloomTimeline::seconds(segments, zero + std::ceil(quarter - 1e-9));
}

// Fits the ramp aligned[k - 1], which runs into aligned[k], to the onsets: its start, its end,
// its start tempo and the steady tempo before it move to where the map's beats meet the music;
// false when nothing moved.
bool fitRampToOnsets(const ORVAudioFeatureSet& features, std::vector<ORVDetectedTempoSection>& aligned, std::size_t k,
                     double firstBeat) {
    ORVDetectedTempoSection& ramp = aligned[k - 1];
    ORVDetectedTempoSection& next = aligned[k];
    // A steady tempo before the ramp, long enough to be one of its own.
    const bool steadyBefore = k >= 2 && !aligned[k - 2].linearToNext &&
                              aligned[k - 2].endSeconds - aligned[k - 2].startSeconds >= kLongestRampStopSeconds;
    ORVRampPlacement placement;
    placement.beforeBPM = ORVAnalyzerDriver::editableTempo(steadyBefore ? aligned[k - 2].bpm : ramp.bpm);
    placement.startSeconds = ramp.startSeconds;
    placement.endSeconds = next.startSeconds;
    placement.startBPM = ORVAnalyzerDriver::editableTempo(ramp.bpm);
    placement.endBPM = ORVAnalyzerDriver::editableTempo(next.bpm);
    const double earliestStart =
        steadyBefore ? std::fmax(aligned[k - 2].startSeconds + kChangeInset, firstBeat) : ramp.startSeconds;
    const double latestStart = steadyBefore ? next.startSeconds : ramp.startSeconds;
    // Followed from the first beat of the map in the steady tempo before, whose tempo is fitted
    // along so that its beats lead into the ramp on the music.
    const double from = steadyBefore ? std::fmax(aligned[k - 2].startSeconds, firstBeat)
                                     : std::fmax(ramp.startSeconds, firstBeat);
    const auto anchor = firstMapBeatFrom(features, aligned, firstBeat, from);
    if (!anchor) return false;
    placement.anchorBeat = *anchor;
    const auto fitted = A::fitRampToOnsets(features.consensusEnvelope, features.frameSeconds, placement,
                                           std::fmax(earliestStart, *anchor), latestStart,
                                           next.endSeconds - kChangeInset);
    if (!fitted) return false;
    if (steadyBefore) {
        aligned[k - 2].endSeconds = fitted->startSeconds;
        aligned[k - 2].bpm = A::roundedTempo(fitted->beforeBPM);
    }
    ramp.startSeconds = fitted->startSeconds;
    ramp.endSeconds = fitted->endSeconds;
    ramp.bpm = A::roundedTempo(fitted->startBPM);
    next.startSeconds = fitted->endSeconds;
    return true;
}

// A steady section at least this long that gives way to a slower one may be where the song
// begins to slow to its end; the ramp starts at most this far either side of where it ends.
constexpr double kSteadyBeforeSlowingSeconds = 12.0;
constexpr double kSlowingStartReach = 6.0;
constexpr double kSlowingAnchorBeats = 16.0;

// A song that slows to its end over steps the tracker heard one after another: the steps
// become one ramp from the last long steady section, fitted to the beats, when that meets the
// music clearly better.
void slowToTheEnd(const ORVAudioFeatureSet& features, std::vector<ORVDetectedTempoSection>& aligned,
                  double firstBeat) {
    std::optional<std::size_t> steady;
    for (std::size_t i = 0; i + 1 < aligned.size(); ++i) {
        const auto& s = aligned[i];
        // Slower after it, or a ramp to slower from it.
        const auto& after = aligned[i + 1].linearToNext && i + 2 < aligned.size() ? aligned[i + 2] : aligned[i + 1];
        if (!s.linearToNext && s.endSeconds - s.startSeconds >= kSteadyBeforeSlowingSeconds &&
            ORVAnalyzerDriver::editableTempo(after.bpm) < ORVAnalyzerDriver::editableTempo(s.bpm)) {
            steady = i;
        }
    }
    if (!steady) return;
    const std::size_t k = *steady;
    std::vector<ORVDetectedTempoSection> map(aligned.begin() + static_cast<std::ptrdiff_t>(k), aligned.end());
    for (auto& s : map) s.bpm = ORVAnalyzerDriver::editableTempo(s.bpm);
    const double end = aligned[k].endSeconds;
    double earliest = std::fmax(end - kSlowingStartReach, aligned[k].startSeconds + kChangeInset);
    // Counted from a map beat a few bars before the slowing may start.
    const double from = std::max({aligned[k].startSeconds, firstBeat,
                                  earliest - kSlowingAnchorBeats * 60.0 / map.front().bpm});
    const auto anchor = firstMapBeatFrom(features, aligned, firstBeat, from);
    if (!anchor) return;
    earliest = std::fmax(earliest, *anchor);
    const double latest = std::fmin(end + kSlowingStartReach, aligned[k + 1].endSeconds);
    const auto fitted = A::fitSlowingEnd(features.consensusEnvelope, features.frameSeconds, map, *anchor, earliest,
                                         latest, features.durationSeconds);
    if (!fitted) return;
    // The end tempo back at the octave the sections were counted at.
    const double octave = aligned[k].bpm / map.front().bpm;
    ORVDetectedTempoSection ramp = aligned[k + 1];
    ORVDetectedTempoSection held = aligned.back();
    A::takeEvidenceOf(ramp, std::span(aligned).subspan(k + 1));
    ramp.startSeconds = fitted->startSeconds;
    ramp.endSeconds = fitted->endSeconds;
    ramp.bpm = aligned[k].bpm;
    ramp.linearToNext = true;
    held.startSeconds = fitted->endSeconds;
    held.endSeconds = std::fmax(aligned.back().endSeconds, fitted->endSeconds);
    held.bpm = A::roundedTempo(fitted->endBPM * octave);
    held.confidence = ramp.confidence;
    held.observationCount = 0;
    held.linearToNext = false;
    aligned.resize(k + 1);
    aligned[k].endSeconds = fitted->startSeconds;
    aligned.push_back(ramp);
    aligned.push_back(held);
}

}  // namespace

double ORVAnalyzerDriver::editableTempo(double bpm) {
    if (!std::isfinite(bpm) || !(bpm > 0)) return bpm;
    while (bpm < kLowestEditableBPM) bpm *= 2;
    while (bpm > kHighestEditableBPM) bpm /= 2;
    return bpm;
}

std::vector<BeatloomTempoPoint> ORVAnalyzerDriver::sectionTempoPoints(
    std::span<const ORVDetectedTempoSection> sections) {
    std::vector<BeatloomTempoPoint> points;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const auto& section = sections[i];
        BeatloomTempoPoint point;
        // A NaN or negative start fails the test and falls back to the song start.
        point.timeSeconds = i > 0 && section.startSeconds >= 0 ? section.startSeconds : 0.0;
        point.bpm = editableTempo(section.bpm);
        point.confidence = section.confidence;
        point.linearToNext = section.linearToNext && i + 1 < sections.size();
        if (i == 0 && point.linearToNext && section.startSeconds > 60.0 / point.bpm) {
            // The ramp starts where the music does, more than a beat in, after a steady lead-in.
            BeatloomTempoPoint leadIn = point;
            leadIn.linearToNext = false;
            points.push_back(leadIn);
            point.id = Uuid::random();
            point.timeSeconds = section.startSeconds;
        }
        points.push_back(point);
    }
    return points;
}

ORVMusicTempoMeasurement ORVAnalyzerDriver::analyze(const std::filesystem::path& file,
                                                    std::optional<ORVAnalysisRange> range,
                                                    const ORVAnalysisControl& control) {
    ORVAnalysisProgress progress(control.progress);
    const ORVProgressSpan whole{&progress, 0.0, 1.0};
    const ORVWorkerPool pool(control.threadCount);
    const StageCosts costs = stageCosts(pool.threadCount());
    const double decoding = kDecodingCost / (kDecodingCost + costs.afterDecoding());
    const auto features = A::decodeFeatureEnvelopes(file, range, whole.part(0.0, decoding));
    auto measurement = analyzeFeatures(features, pool, whole.part(decoding, 1.0));
    progress.report(1.0);
    return measurement;
}

ORVMusicTempoMeasurement ORVAnalyzerDriver::analyzeFeatures(const ORVAudioFeatureSet& features,
                                                            const ORVWorkerPool& pool, ORVProgressSpan progress,
                                                            ORVLevelTrace* levels) {
    if (features.consensusEnvelope.size() < kShortestConsensusFrames) {
        throwAnalysisError(kAudioTooShortCode, kAudioTooShortMessage);
    }
    std::vector<std::span<const double>> envelopes(features.featureEnvelopes.begin(), features.featureEnvelopes.end());
    envelopes.push_back(features.consensusEnvelope);
    const auto candidates = A::consensusCandidates(std::span<const std::span<const double>>(envelopes), true,
                                                   features.frameSeconds, pool);
    const StageCosts costs = stageCosts(pool.threadCount());
    const double consensusDone = costs.wholeSpanConsensus / costs.afterDecoding();
    const double windowsDone = (costs.wholeSpanConsensus + costs.windows) / costs.afterDecoding();
    progress.report(consensusDone);
    if (!candidates.empty() && !hasPulse(features, candidates)) {
        throwAnalysisError(kNoPulseStructureCode, kNoPulseStructureMessage);
    }

    ORVConsensusTop top;
    if (!candidates.empty()) {
        const auto& best = candidates.front();
        top = {best.bpm, best.score, best.agreement, best.autocorrelation, best.gridFit};
    }
    const auto tracking = A::trackLocalTempo(features, preferredConsensusTempo(candidates), pool,
                                             progress.part(consensusDone, windowsDone));
    if (candidates.empty()) {
        if (tracking.sections.empty()) throwAnalysisError(kNoPulseStructureCode, kNoPulseStructureMessage);
        top = {tracking.sections.front().bpm, tracking.sections.front().confidence, 0.35, 0, 0};
    }

    const double localBPM = localTempo(top, tracking);
    const auto [startBPM, refinement] =
        wholeSongRefinement(features.consensusEnvelope, features.frameSeconds, top.bpm, localBPM);
    return assembleMeasurement(features, candidates, top, tracking, localBPM, startBPM, refinement, levels);
}

std::optional<double> ORVAnalyzerDriver::preferredConsensusTempo(std::span<const InternalCandidate> candidates) {
    if (candidates.empty() || !(candidates[0].score >= 0.3)) return std::nullopt;
    const auto& best = candidates[0];
    if (candidates.size() == 1) return best.bpm;
    const auto& second = candidates[1];
    const bool shadows = A::isMetricalAlias(best.bpm, second.bpm) && second.score >= best.score - 0.075 &&
                         second.agreement >= std::max(best.agreement - 0.3, 0.2);
    if (shadows) return std::nullopt;
    return best.bpm;
}

std::optional<double> ORVAnalyzerDriver::observationMedianTempo(
    std::span<const ORVLocalTempoObservation> observations) {
    if (observations.empty()) return std::nullopt;
    std::vector<ORVWeightedValue> pairs;
    pairs.reserve(observations.size());
    for (const auto& o : observations) pairs.push_back({o.bpm, std::max(o.confidence, 0.05)});
    return A::weightedMedian(pairs);
}

double ORVAnalyzerDriver::localTempo(const ORVConsensusTop& top, const ORVLocalTempoTracking& tracking) {
    // The tracked sections measured the pulse over time; their level stands (the metrical
    // level is decided later, once, from the accents).
    if (tracking.isReliable && !tracking.sections.empty()) return tracking.sections.front().bpm;
    const auto median = observationMedianTempo(tracking.observations);
    if (median && isSamePulse(*median, top.bpm)) {
        const ORVWeightedValue pairs[] = {{top.bpm, std::max(top.score, kMedianWeightFloor)},
                                          {*median, std::max(tracking.stability, kMedianWeightFloor)}};
        return A::weightedMedian(pairs);
    }
    return top.bpm;
}

double ORVAnalyzerDriver::refinementTempo(double consensusBPM, double localBPM) {
    // The local tempo was measured along the song (and its sections refined on the beats); it
    // is the closer start for the narrow search, unless it reads another metrical level.
    if (A::isUsableTempo(localBPM) && !A::isMetricalAlias(consensusBPM, localBPM)) return localBPM;
    return consensusBPM;
}

ORVAnalyzerDriver::StartedRefinement ORVAnalyzerDriver::wholeSongRefinement(std::span<const double> envelope,
                                                                            double hopSeconds, double consensusBPM,
                                                                            double localBPM) {
    const auto refined = [&](double bpm) {
        return StartedRefinement{bpm, SetwrightMusicTempoRefiner::refine(envelope, hopSeconds, bpm, 0.8, 0.01)};
    };
    StartedRefinement result = refined(refinementTempo(consensusBPM, localBPM));
    if (!A::isThreeToTwo(consensusBPM, localBPM)) return result;
    StartedRefinement local = refined(localBPM);
    if (local.refinement &&
        (!result.refinement || local.refinement->confidence > result.refinement->confidence + kClearlySteadierFit)) {
        return local;
    }
    return result;
}

namespace {

// The sections as the map will hold them, the tempo before rounding, and whether the
// whole-song refinement stands and folded the sections into one constant pulse.
struct SettledSections {
    std::vector<ORVDetectedTempoSection> sections;
    double tempo = 0;
    bool refinementUsed = false;
    bool collapsed = false;
    // The factor that moved everything to the level a listener taps, and how clearly it won.
    double level = 1.0;
    ORVLevelChoice choice;
};

// Whether a section at a tempo neither the same as nor an octave from the whole song's finds
// its onsets better on its own beats than on the song's: a change a listener hears (90 to 120
// and back), not a cross-rhythm of the tracker's.
bool fitsOwnPulseBetter(const ORVAudioFeatureSet& features, const ORVDetectedTempoSection& section, double bpm) {
    const double fs = features.frameSeconds;
    if (!A::isUsableTempo(section.bpm) || !A::isUsableTempo(bpm) || !(fs > 0) || section.linearToNext) return false;
    const double octaves = std::log2(section.bpm / bpm);
    if (std::abs(octaves - std::round(octaves)) <= 0.03) return false;
    const auto [begin, end] = features.framesBetween(section.startSeconds, section.endSeconds);
    const double own = A::gridFit(features, 60.0 / (fs * section.bpm), begin, end);
    const double song = A::gridFit(features, 60.0 / (fs * bpm), begin, end);
    return own > song;
}

// The parts of a song are counted at one level: sections an octave from their neighbours
// come back to it and join them when they then hold the same tempo; a sure refinement that
// relates to every section folds them into one pulse, unless a section's onsets sit better on
// its own beats than on the refinement's.
SettledSections settledSections(const ORVAudioFeatureSet& features, const ORVLocalTempoTracking& tracking,
                                double localBPM, const std::optional<Refinement>& refinement) {
    const bool multiSection = tracking.isReliable && tracking.sections.size() > 1;
    SettledSections settled;
    settled.sections = tracking.sections;
    settled.tempo = localBPM;
    auto& sections = settled.sections;
    // Neighbouring sections at two and three of one pulse (4/4 and 6/8 over the same eighths)
    // change the beat: they move to that pulse (the tracker may read them at other octaves of
    // it) and no one tempo folds them.
    // The local tempo is the first section's: it moves by the octaves the first section moves.
    const auto followFirst = [&](double firstBpm) {
        const double moved = firstBpm / sections.front().bpm;
        if (std::isfinite(moved) && moved > 0) settled.tempo *= std::exp2(std::round(std::log2(moved)));
    };
    const auto onePulse = multiSection ? A::sectionsOfOnePulse(features, sections, tracking.observations) : std::nullopt;
    const bool regrouped = onePulse.has_value();
    if (onePulse) {
        followFirst(onePulse->front().bpm);
        sections = *onePulse;
    }
    if (multiSection && !regrouped) {
        // A part the tracker followed in a cross-rhythm is read on its own subdivision first;
        // the local tempo goes with the first section.
        const auto read = A::sectionsOffCrossRhythms(features, sections);
        if (read.front().bpm != sections.front().bpm) settled.tempo = read.front().bpm;
        sections = read;
        const auto atOneLevel = A::sectionsAtOneLevel(sections);
        const auto aligned = A::sectionsOfHeardChanges(features, atOneLevel);
        followFirst(atOneLevel.front().bpm);
        if (aligned.front().bpm != atOneLevel.front().bpm) settled.tempo = aligned.front().bpm;
        sections = A::mergeAdjacentSections(aligned);
    }
    if (multiSection) {
        const bool collapses =
            refinement && refinement->confidence >= kCollapseConfidence && !regrouped &&
            std::all_of(sections.begin(), sections.end(),
                        [&](const auto& s) { return isSamePulseOrRelative(s.bpm, refinement->bpm); }) &&
            std::none_of(sections.begin(), sections.end(),
                         [&](const auto& s) { return fitsOwnPulseBetter(features, s, refinement->bpm); });
        if (collapses) {
            ORVDetectedTempoSection whole;
            whole.startSeconds = std::max(features.firstMeaningfulAudioSeconds.value_or(0.0), 0.0);
            whole.endSeconds = features.durationSeconds;
            whole.bpm = A::roundedTempo(refinement->bpm);
            whole.confidence = refinement->confidence;
            for (const auto& s : tracking.sections) {
                whole.confidence = std::max(whole.confidence, s.confidence);
                whole.observationCount += s.observationCount;
            }
            sections = {whole};
            settled.tempo = refinement->bpm;
            settled.refinementUsed = true;
            settled.collapsed = true;
        }
    } else if (refinement) {
        if (sections.size() == 1) sections.front().bpm = A::roundedTempo(refinement->bpm);
        settled.tempo = refinement->bpm;
        settled.refinementUsed = true;
    }
    return settled;
}

// The consensus candidates as reported (at most 8), the one closest to where the refinement
// started carrying the refined tempo when the refinement stands.
std::vector<ORVMusicTempoCandidate> reportedCandidates(std::span<const InternalCandidate> candidates,
                                                       const SettledSections& settled, double refinementBPM,
                                                       const std::optional<Refinement>& refinement) {
    std::vector<ORVMusicTempoCandidate> reported;
    const std::size_t kept = std::min(candidates.size(), kReportedCandidateLimit);
    for (std::size_t i = 0; i < kept; ++i) {
        const auto& c = candidates[i];
        reported.push_back({Uuid::random(), A::roundedTempo(c.bpm), c.score, c.autocorrelation, c.gridFit,
                            c.agreement});
    }
    if (settled.refinementUsed && !reported.empty()) {
        std::size_t closest = 0;
        for (std::size_t i = 1; i < reported.size(); ++i) {
            if (std::abs(reported[i].bpm - refinementBPM) < std::abs(reported[closest].bpm - refinementBPM)) {
                closest = i;
            }
        }
        reported[closest].bpm = A::roundedTempo(refinement->bpm);
    }
    return reported;
}

// One metrical level for the whole map: the level a listener taps. The levels chosen among go
// to `trace` when it is given.
void moveToListenersLevel(const ORVAudioFeatureSet& features, std::span<const InternalCandidate> candidates,
                          bool reliable, SettledSections& settled, ORVLevelTrace* trace) {
    auto levels = A::metricalLevelEvidence(features, candidates,
                                           reliable ? std::span<const ORVDetectedTempoSection>(settled.sections)
                                                    : std::span<const ORVDetectedTempoSection>(),
                                           settled.tempo);
    settled.choice = A::chooseLevel(levels);
    if (trace) *trace = {settled.tempo, std::move(levels), settled.choice};
    settled.level = settled.choice.factor;
    if (settled.level != 1.0) {
        settled.tempo *= settled.level;
        for (auto& s : settled.sections) s.bpm = A::roundedTempo(s.bpm * settled.level);
    }
}

// The beats of a breathing map: each section starts on a beat and holds a whole number of them
// at its tempo; the last runs on to the end.
std::vector<double> beatsOfBreathingSections(std::span<const ORVDetectedTempoSection> sections, double duration) {
    std::vector<double> beats;
    for (std::size_t k = 0; k < sections.size(); ++k) {
        const auto& s = sections[k];
        const double period = 60.0 / s.bpm;
        const double end = k + 1 < sections.size() ? sections[k + 1].startSeconds - 0.5 * period : duration;
        for (double t = s.startSeconds; t <= end + 1e-9 && beats.size() < kBeatLimit; t += period) beats.push_back(t);
    }
    return beats;
}

// Consensus frames at or above the onset level per second.
double onsetDensity(const ORVAudioFeatureSet& features) {
    const auto& consensus = features.consensusEnvelope;
    const auto onsetFrames = std::count_if(consensus.begin(), consensus.end(), [](double v) { return v >= kOnsetLevel; });
    return double(onsetFrames) / std::max(features.durationSeconds, 1.0);
}

// The probability that the tempo is right, as fitted on a corpus: from how clearly the level
// won, how many features agree on the consensus tempo, how steadily the windows followed it and
// how strong it is.
double calibratedConfidence(const ORVConsensusTop& top, double stability, const ORVLevelChoice& choice) {
    const std::array<double, 5> inputs{1.0, std::min(choice.margin, kLargestCountedMargin), top.agreement, stability,
                                       top.score};
    double z = 0;
    for (std::size_t k = 0; k < inputs.size(); ++k) z += kConfidenceWeights[k] * inputs[k];
    return clampOr(1.0 / (1.0 + std::exp(-z)), 0.0, 1.0, 0.0);
}

// One section over the whole span at the settled tempo, refined on the whole song's beats.
ORVDetectedTempoSection steadySection(const ORVAudioFeatureSet& features, const SettledSections& settled) {
    ORVDetectedTempoSection whole;
    whole.startSeconds = std::max(features.firstMeaningfulAudioSeconds.value_or(0.0), 0.0);
    whole.endSeconds = features.durationSeconds;
    whole.bpm = settled.tempo;
    const auto refined = SetwrightMusicTempoRefiner::refine(features.consensusEnvelope, features.frameSeconds,
                                                            settled.tempo,
                                                            kMapEvidence.steadyRefinementShare * settled.tempo, 0.01);
    if (refined && A::isUsableTempo(refined->bpm)) whole.bpm = refined->bpm;
    whole.bpm = A::roundedTempo(whole.bpm);
    for (const auto& s : settled.sections) {
        whole.confidence = std::max(whole.confidence, s.confidence);
        whole.observationCount += s.observationCount;
    }
    return whole;
}

// What the measurement tells the user about how it was reached. A refinement is told from the
// tempo it started at, at the level the result is reported at.
std::string measurementReason(const ORVMusicTempoMeasurement& m, const SettledSections& settled, bool reliable,
                              const ORVLocalTempoTracking& tracking, const ORVConsensusTop& top,
                              double refinementBPM, const std::optional<Refinement>& refinement, double alternative,
                              double confidence) {
    if (reliable && settled.sections.size() >= 2) return sectionsReason(settled.sections, tracking.observations);
    if (!settled.collapsed && settled.refinementUsed) {
        return "Whole-song precision fit refined the constant Beatloom estimate from " +
               bpmText(A::roundedTempo(refinementBPM * settled.level)) + " to " + bpmText(m.bpm) +
               " BPM using long-term beat-grid drift (fit " + percentText(refinement->confidence) +
               " %). No integer-BPM quantization is applied.";
    }
    if (settled.collapsed) {
        return "Whole-song metrical consensus rejected subdivision aliases in the local path and resolved one "
               "constant pulse at " +
               bpmText(m.bpm) + " BPM. Long-term beat-grid drift fit " + percentText(refinement->confidence) + " %.";
    }
    if (m.ambiguous) {
        return "Multi-Feature-Tracker erkennt " + bpmText(m.bpm) +
               " BPM, aber die metrische Ebene bleibt mehrdeutig (Alternative " + bpmText(alternative) + " BPM).";
    }
    if (confidence >= kClearConsensusConfidence) {
        return "Multi-Feature-Konsens: " + percentText(top.agreement) + " % Merkmals-Uebereinstimmung, " +
               percentText(tracking.stability) +
               " % Pfadstabilitaet. Tempo wird nicht mehr aus einer einzigen Onset-Huelle abgeleitet.";
    }
    return "Tempo-Kandidat " + bpmText(m.bpm) +
           " BPM gefunden, aber der Multi-Feature-Konsens ist noch schwach (Agreement " + percentText(top.agreement) +
           " %). Ergebnis bitte pruefen.";
}

}  // namespace

ORVMusicTempoMeasurement ORVAnalyzerDriver::assembleMeasurement(const ORVAudioFeatureSet& features,
                                                                std::span<const InternalCandidate> candidates,
                                                                const ORVConsensusTop& top,
                                                                const ORVLocalTempoTracking& tracking,
                                                                double localBPM, double refinementBPM,
                                                                const std::optional<Refinement>& refinement,
                                                                ORVLevelTrace* levels) {
    const bool reliable = tracking.isReliable;
    SettledSections settled = settledSections(features, tracking, localBPM, refinement);

    ORVMusicTempoMeasurement m;
    m.candidates = reportedCandidates(candidates, settled, refinementBPM, refinement);
    moveToListenersLevel(features, candidates, reliable, settled, levels);
    m.bpm = A::roundedTempo(settled.tempo);
    if (!m.candidates.empty()) putReportedLevelFirst(m.candidates, m.bpm, m.candidates.front());
    // The level stays open when the runner-up reading scored close to the chosen one.
    m.ambiguous = settled.choice.margin < kAmbiguousLevelMargin;
    // The runner-up reading.
    const double alternative = A::roundedTempo(settled.tempo / settled.level * settled.choice.runnerUpFactor);
    m.onsetDensity = onsetDensity(features);
    const double confidence = calibratedConfidence(top, tracking.stability, settled.choice);

    // Free playing keeps the beats it was followed on; a map of held tempi is phased.
    auto breathing = reliable ? A::breathingSections(features, settled.sections)
                              : std::vector<ORVDetectedTempoSection>();
    const bool breathes = !breathing.empty();
    if (reliable) {
        settled.sections = breathes ? std::move(breathing) : phaseAlignedSections(features, settled.sections);
        if (!breathes && settled.sections.size() > 1) {
            slowToTheEnd(features, settled.sections, firstBeatSeconds(features, settled.sections.front()));
        }
    }
    auto mapSections = reliable ? std::span<const ORVDetectedTempoSection>(settled.sections)
                                : std::span<const ORVDetectedTempoSection>();
    m.beatPositionsSeconds = breathes ? beatsOfBreathingSections(settled.sections, features.durationSeconds)
                                      : predictedBeatGrid(features, settled.tempo, mapSections);
    if (mapSections.size() > 1 &&
        !tempoChangesHeard(features, mapSections, m.beatPositionsSeconds, breathes, settled.tempo)) {
        // The music holds one tempo: the map's changes followed something else (onsets at
        // another level, a cross-rhythm).
        settled.sections = {steadySection(features, settled)};
        settled.tempo = settled.sections.front().bpm;
        m.bpm = A::roundedTempo(settled.tempo);
        if (!m.candidates.empty()) putReportedLevelFirst(m.candidates, m.bpm, m.candidates.front());
        mapSections = settled.sections;
        m.beatPositionsSeconds = predictedBeatGrid(features, settled.tempo, mapSections);
    }
    // The editor counts Bar 1 from the first beat: beats of a pickup before it are left out.
    const std::size_t pickup = barOneBeat(features, m.beatPositionsSeconds);
    m.beatPositionsSeconds.erase(m.beatPositionsSeconds.begin(),
                                 m.beatPositionsSeconds.begin() + static_cast<std::ptrdiff_t>(pickup));
    const auto errors =
        A::gridErrorStatistics(features.consensusEnvelope, m.beatPositionsSeconds, features.frameSeconds);
    m.medianGridErrorSeconds = errors.median;
    m.percentile95GridErrorSeconds = errors.percentile95;
    m.endDriftSeconds = errors.endDrift;

    m.reason = measurementReason(m, settled, reliable, tracking, top, refinementBPM, refinement, alternative, confidence);
    m.confidence = confidence;
    m.tempoMapReliable = reliable && !settled.collapsed;
    m.durationSeconds = features.durationSeconds;
    m.firstMeaningfulAudioSeconds = features.firstMeaningfulAudioSeconds;
    m.autocorrelation = top.autocorrelation;
    m.gridFit = top.gridFit;
    m.featureAgreement = top.agreement;
    m.trackingStability = tracking.stability;
    m.sections = std::move(settled.sections);
    m.localObservations = tracking.observations;
    return m;
}

std::vector<double> ORVAnalyzerDriver::predictedBeatGrid(const ORVAudioFeatureSet& features, double bpm,
                                                         std::span<const ORVDetectedTempoSection> sections) {
    std::vector<double> beats;
    const double frameSeconds = features.frameSeconds;
    const double duration = features.durationSeconds;
    const double period = 60.0 / (frameSeconds * bpm);
    if (features.consensusEnvelope.empty() || !(frameSeconds > 0) || !(bpm > 0) || !(duration > 0) ||
        !std::isfinite(period) || !(period >= 2.0)) {
        return beats;
    }
    const ORVDetectedTempoSection whole{std::fmax(features.firstMeaningfulAudioSeconds.value_or(0.0), 0.0), duration,
                                        bpm, 0, 0};
    const auto grid = sections.empty() ? std::span<const ORVDetectedTempoSection>(&whole, 1) : sections;
    const auto segments = BeatloomTimeline::segments(sectionTempoPoints(grid), duration);
    if (segments.empty()) return beats;
    const double firstBeat = firstBeatSeconds(features, grid.front());
    const double first = BeatloomTimeline::quarterPosition(segments, firstBeat);
    const double lastQuarter = segments.back().endQuarter;
    const double firstPeriod = 60.0 / editableTempo(grid.front().bpm);
    if (firstBeatSoundsAtStart(features, firstBeat - firstPeriod)) beats.push_back(0.0);
    for (std::size_t k = 0; beats.size() < kBeatLimit; ++k) {
        const double quarter = first + static_cast<double>(k);
        if (quarter > lastQuarter + 1e-9) break;
        const auto t = BeatloomTimeline::seconds(segments, quarter);
        if (!t || *t > duration + 0.001) break;
        beats.push_back(*t);
    }
    // Music opens on a beat: the grid's phase is read from its whole first section, and a tempo
    // a little off puts its first beats off the music (or in front of the span's start). Within
    // an onset's reach the grid's own beat, placed finer than the opening, stands.
    const auto opening = openingHit(features);
    const auto offTheOpening = [&](double share) {
        return std::abs(share) * firstPeriod > kOnsetReachSeconds && std::abs(share) <= kOpeningOnBeatShare;
    };
    if (opening && !beats.empty()) {
        const double lead = (beats.front() - *opening) / firstPeriod;
        if (offTheOpening(lead)) {
            beats.front() = *opening;
        } else if (offTheOpening(lead - 1.0) && beats.size() < kBeatLimit) {
            beats.insert(beats.begin(), *opening);
        }
    }
    return beats;
}

namespace {

// The mean strength of the beats within from ... to, taking every `stride`-th beat of the
// list from `offset` on; none when no beat is taken.
std::optional<double> meanStrength(std::span<const double> beats, std::span<const double> strengths, double from,
                                   double to, std::size_t stride = 1, std::size_t offset = 0) {
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t j = offset; j < beats.size(); j += stride) {
        if (beats[j] < from || beats[j] >= to) continue;
        sum += strengths[j];
        ++count;
    }
    if (count == 0) return std::nullopt;
    return sum / static_cast<double>(count);
}

// The beats of a constant grid of the tempo over from ... to, where beatGrid puts them there.
std::vector<double> ownGrid(const ORVAudioFeatureSet& features, double bpm, double from, double to) {
    std::vector<double> beats;
    const auto grid = beatGrid(features, bpm, from, to);
    if (!grid) return beats;
    for (double t = grid->firstFrom(from); t < to; t += grid->period) beats.push_back(t);
    return beats;
}

// How strongly the music sounds on the section's own beats over from ... to, whatever the
// map's phase: a constant grid of its tempo at its best phase there, or, along a ramp into
// `next`, such grids of the ramp's tempo a few beats at a time.
std::optional<double> ownBeatsStrength(const ORVAudioFeatureSet& features, const ORVDetectedTempoSection& s,
                                       const ORVDetectedTempoSection* next, double from, double to) {
    const auto tempoAt = [&](double t) {
        if (!s.linearToNext || !next || !(next->startSeconds > s.startSeconds)) return s.bpm;
        const double x = std::clamp((t - s.startSeconds) / (next->startSeconds - s.startSeconds), 0.0, 1.0);
        return s.bpm + x * (next->bpm - s.bpm);
    };
    std::vector<double> beats;
    const double window = s.linearToNext ? kMapEvidence.rampWindowBeats : std::numeric_limits<double>::infinity();
    for (double a = from; a < to;) {
        if (!A::isUsableTempo(tempoAt(a))) break;
        const double b = std::fmin(to, a + window * 60.0 / tempoAt(a));
        if (!(b > a)) break;
        const auto grid = ownGrid(features, tempoAt(0.5 * (a + b)), a, b);
        beats.insert(beats.end(), grid.begin(), grid.end());
        a = b;
    }
    return meanStrength(beats, A::beatStrengths(features, beats), from, to);
}

}  // namespace

bool ORVAnalyzerDriver::tempoChangesHeard(const ORVAudioFeatureSet& features,
                                          std::span<const ORVDetectedTempoSection> sections,
                                          std::span<const double> mapBeats, bool breathes, double steadyBpm) {
    if (sections.size() < 2 || mapBeats.size() < 2 || !A::isUsableTempo(steadyBpm)) return true;
    const auto steadyBeats = predictedBeatGrid(features, steadyBpm, {});
    if (steadyBeats.size() < 2) return true;
    const auto mapStrengths = A::beatStrengths(features, mapBeats);
    const auto steadyStrengths = A::beatStrengths(features, steadyBeats);
    const double from = std::fmax(mapBeats.front(), steadyBeats.front());
    const double end = features.durationSeconds + 1.0;
    if (breathes) {
        const auto map = meanStrength(mapBeats, mapStrengths, from, end);
        const auto steady = meanStrength(steadyBeats, steadyStrengths, from, end);
        if (!map || !steady || !(*steady > 0)) return true;
        const double pointsPerBeat = static_cast<double>(sections.size() - 1) / static_cast<double>(mapBeats.size());
        return *map > 0 && std::log(*map / *steady) >= kMapEvidence.breathingPointCost * pointsPerBeat;
    }
    // A quiet stretch (an ending, a break) shows no beat clearly enough to speak for either.
    const double wholeSteady = meanStrength(steadyBeats, steadyStrengths, from, end).value_or(0.0);
    if (!(wholeSteady > 0)) return true;
    for (std::size_t k = 0; k < sections.size(); ++k) {
        const auto& s = sections[k];
        const bool ramps = s.linearToNext || (k > 0 && sections[k - 1].linearToNext);
        if (!ramps && isSamePulse(s.bpm, steadyBpm)) continue;
        const double a = std::fmax(k > 0 ? s.startSeconds : 0.0, from);
        const double b = k + 1 < sections.size() ? sections[k + 1].startSeconds : end;
        const auto heardBeats = std::count_if(mapBeats.begin(), mapBeats.end(), [&](double t) { return t >= a && t < b; });
        if (static_cast<std::size_t>(heardBeats) < kMapEvidence.heardChangeBeats) continue;
        const double heard =
            std::fmax(meanStrength(mapBeats, mapStrengths, a, b).value_or(0.0),
                      ownBeatsStrength(features, s, k + 1 < sections.size() ? &sections[k + 1] : nullptr, a, b)
                          .value_or(0.0));
        // A slower section may count the steady tempo's half, its every other beat: the level's
        // accents, in either phase.
        const double slowest = s.linearToNext && k + 1 < sections.size() ? std::fmin(s.bpm, sections[k + 1].bpm) : s.bpm;
        double steady = meanStrength(steadyBeats, steadyStrengths, a, b).value_or(0.0);
        if (slowest < kMapEvidence.slowerLevelShare * steadyBpm) {
            for (const std::size_t offset : {0, 1}) {
                steady = std::fmax(steady, meanStrength(steadyBeats, steadyStrengths, a, b, 2, offset).value_or(0.0));
            }
        }
        if (heard >= kMapEvidence.heardChangeRatio * steady && heard >= kMapEvidence.audibleShare * wholeSteady) {
            return true;
        }
    }
    return false;
}

std::size_t ORVAnalyzerDriver::barOneBeat(const ORVAudioFeatureSet& features, std::span<const double> beats) {
    const auto heard = beats.first(std::min(beats.size(), kBeatsPerBar * kBarsHeardForBarOne));
    if (opensOnBarOne(features, heard)) return 0;
    const auto accents = lowBandAccents(features, heard);
    // Halfway between the beats, where a low band that does not follow the beats (noise, a
    // bed under clicks) sounds as much as on them.
    std::vector<double> halfway;
    for (std::size_t j = 0; j + 1 < heard.size(); ++j) halfway.push_back(0.5 * (heard[j] + heard[j + 1]));
    double betweenSum = 0;
    std::size_t betweenCount = 0;
    for (const auto& accent : lowBandAccents(features, halfway)) {
        betweenSum += accent.value_or(0.0);
        betweenCount += accent.has_value();
    }
    const double between = betweenCount > 0 ? betweenSum / static_cast<double>(betweenCount) : 0.0;
    // The mean accent of each place in the bar.
    std::array<double, kBeatsPerBar> means{};
    std::array<std::size_t, kBeatsPerBar> counts{};
    for (std::size_t j = 0; j < accents.size(); ++j) {
        means[j % kBeatsPerBar] += accents[j].value_or(0.0);
        counts[j % kBeatsPerBar] += accents[j].has_value();
    }
    for (std::size_t place = 0; place < kBeatsPerBar; ++place) {
        if (counts[place] > 0) means[place] /= static_cast<double>(counts[place]);
    }
    const auto strongest = static_cast<std::size_t>(std::max_element(means.begin(), means.end()) - means.begin());
    if (!(means[strongest] > 1e-12) || means[strongest] < kBeatAccentOverBetween * between) return 0;
    // Whether the strongest place is accented clearly more than this one: by a share on
    // average, and in nearly every bar where both are heard, not by the chance of a few.
    const auto clearlyWeaker = [&](std::size_t place) {
        if (means[place] >= kDownbeatAccentShare * means[strongest]) return false;
        std::size_t compared = 0;
        std::size_t exceeded = 0;
        for (std::size_t bar = 0; (bar + 1) * kBeatsPerBar <= accents.size(); ++bar) {
            const auto& a = accents[bar * kBeatsPerBar + strongest];
            const auto& b = accents[bar * kBeatsPerBar + place];
            if (!a || !b) continue;
            ++compared;
            exceeded += *a > *b;
        }
        return compared > 0 && static_cast<double>(exceeded) >= kClearlyAccentedBars * static_cast<double>(compared);
    };
    const auto strongBeat = [&](std::size_t place) {
        return means[place] >= kStrongBeatOverNeighbours * means[(place + 1) % kBeatsPerBar] &&
               means[place] >= kStrongBeatOverNeighbours * means[(place + kBeatsPerBar - 1) % kBeatsPerBar];
    };
    for (std::size_t place = 0; place < strongest; ++place) {
        if (!clearlyWeaker(place) || strongBeat(place)) return place;
    }
    return strongest;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerDriver::phaseAlignedSections(
    const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections) {
    std::vector<ORVDetectedTempoSection> aligned(sections.begin(), sections.end());
    const double duration = features.durationSeconds;
    if (aligned.size() < 2 || !(features.frameSeconds > 0) || !(duration > 0)) return aligned;
    const double firstBeat = firstBeatSeconds(features, aligned.front());

    for (std::size_t k = 1; k < aligned.size(); ++k) {
        ORVDetectedTempoSection& previous = aligned[k - 1];
        ORVDetectedTempoSection& next = aligned[k];
        const double oldBPM = editableTempo(previous.bpm);
        const double newBPM = editableTempo(next.bpm);
        if (!(oldBPM > 0) || !(newBPM > 0)) continue;
        const double oldPeriod = 60.0 / oldBPM;
        const double newPeriod = 60.0 / newBPM;
        const double change = next.startSeconds;
        const double span = next.linearToNext ? kRampPhaseSpanSeconds : kPhaseSpanSeconds;
        const auto newBeats = beatGrid(features, newBPM, change, std::fmin(next.endSeconds, change + span));
        if (!newBeats) continue;
        const auto segments = BeatloomTimeline::segments(sectionTempoPoints(aligned), duration);
        const double zero = BeatloomTimeline::quarterPosition(segments, firstBeat);

        if (previous.linearToNext && k + 1 < aligned.size() && isRampStop(previous, next, aligned[k + 1])) {
            // Try the ramp straight into the steady tempo after its stop.
            auto trial = aligned;
            trial[k + 1].startSeconds = trial[k].startSeconds;
            trial.erase(trial.begin() + static_cast<std::ptrdiff_t>(k));
            if (fitRampToOnsets(features, trial, k, firstBeat)) {
                aligned = std::move(trial);
                continue;
            }
        }
        if (previous.linearToNext && fitRampToOnsets(features, aligned, k, firstBeat)) continue;
        if (previous.linearToNext) {
            // A ramp flows into the new tempo: bend its start tempo so that the map counts a whole
            // number of beats up to the new tempo's beat.
            const double newBeat = newBeats->nearest(change);
            const double quarters = BeatloomTimeline::quarterPosition(segments, newBeat) - zero;
            const double missing = std::round(quarters) - quarters;
            const double s = previous.startSeconds;
            const double length = change - s;
            const double from = std::fmax(firstBeat, s);
            if (!(length > 0) || !(change > from)) continue;
            // Quarters gained per BPM at the ramp's start over from ... change.
            const double weight =
                ((change - from) - ((change - s) * (change - s) - (from - s) * (from - s)) / (2 * length)) / 60.0;
            if (!(weight > 1e-9)) continue;
            const double bent = A::roundedTempo(previous.bpm + missing / weight);
            if (std::abs(bent - previous.bpm) <= kRampBendLimit * previous.bpm) previous.bpm = bent;
            continue;
        }
        if (!(std::abs(newBPM - oldBPM) > kSmallestPlacedStep)) continue;

        // Where the new beats begin, judged against the old tempo's own beats before the change.
        const auto oldBeats = beatGrid(
            features, oldBPM, std::fmax(previous.startSeconds, change - kNearPhaseSpanSeconds), change);
        if (!oldBeats) continue;
        const double walked = firstNewBeat(features, *oldBeats, change, *newBeats);
        // The map's beats at the old tempo, from a little before the change.
        const double anchor =
            std::fmax(previous.startSeconds, change - 2 * kLongestBeatWalk * std::fmax(oldPeriod, newPeriod));
        const double anchorQuarter = BeatloomTimeline::quarterPosition(segments, anchor) - zero;
        const double mapBeat = anchor + (std::ceil(anchorQuarter) - anchorQuarter) * oldPeriod;
        // A step after the map's last old beat before a new beat (less half the shorter beat) can
        // only place that new beat within the two beat lengths of it. Of the new beats near the
        // one found, take the nearest that the old beats lead into so, else the closest miss.
        const auto lastOldBefore = [&](double beat) {
            const double target = beat - 0.5 * std::fmin(oldPeriod, newPeriod);
            return mapBeat + oldPeriod * std::floor((target - mapBeat) / oldPeriod);
        };
        const auto missOf = [&](double beat) {
            const double gap = beat - lastOldBefore(beat);
            return std::fmax(std::fmin(oldPeriod, newPeriod) - gap, gap - std::fmax(oldPeriod, newPeriod));
        };
        // The onset where the old beat length gives way to the new one, when the music shows it
        // there, the map's old beats lead into it and it keeps the new tempo's own phase.
        auto stepBeat = A::firstBeatOfStep(features.consensusEnvelope, features.frameSeconds, oldBPM, newBPM, change,
                                           previous.startSeconds, next.endSeconds);
        if (stepBeat) {
            if (missOf(*stepBeat) > kTolerableMissSeconds || std::abs(newBeats->offBeat(*stepBeat)) > kStepPhaseShare) {
                stepBeat.reset();
            }
        }
        double newBeat = stepBeat.value_or(walked);
        for (int beats = 1; !stepBeat && beats <= kLongestBeatWalk; ++beats) {
            for (const double candidate : {walked - beats * newPeriod, walked + beats * newPeriod}) {
                const double miss = missOf(candidate);
                const double best = missOf(newBeat);
                if (candidate > anchor && best > kTolerableMissSeconds && miss < best) newBeat = candidate;
            }
        }
        const double lastOldBeat = lastOldBefore(newBeat);
        // Stepping x after that beat puts the next beat of the map at lastOldBeat + x +
        // (1 - x / oldPeriod) x newPeriod; make that the new beat.
        const double gap = newBeat - lastOldBeat;
        double x = (gap - newPeriod) * oldPeriod / (oldPeriod - newPeriod);
        const double miss = missOf(newBeat);
        if (miss > kTolerableMissSeconds && miss <= kLargestDriftShare * std::fmin(oldPeriod, newPeriod)) {
            // The map's old beats have drifted off the music (its tempo is a little off): bend
            // the old tempo so that one of them lands on the new beat, and step there.
            const double from = std::fmax(firstBeat, previous.startSeconds);
            const double quarters = (newBeat - lastOldBeat) / oldPeriod;
            const double missing = std::round(quarters) - quarters;
            const double bent = A::roundedTempo(previous.bpm + 60.0 * missing / std::fmax(newBeat - from, 1e-9));
            if (newBeat > from && std::abs(bent - previous.bpm) <= kStepBendLimit * previous.bpm) {
                previous.bpm = bent;
                previous.endSeconds = std::clamp(newBeat, previous.startSeconds + kChangeInset, next.endSeconds - kChangeInset);
                next.startSeconds = previous.endSeconds;
                continue;
            }
        }
        x = std::clamp(x, 0.0, oldPeriod);
        const double lower = previous.startSeconds + kChangeInset;
        const double upper = next.endSeconds - kChangeInset;
        if (!(lower <= upper) || !std::isfinite(x)) continue;
        const double placed = std::clamp(lastOldBeat + x, lower, upper);
        previous.endSeconds = placed;
        next.startSeconds = placed;
    }
    return aligned;
}

}  // namespace corvel::analysis
