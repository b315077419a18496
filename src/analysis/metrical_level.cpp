#include "analysis/metrical_level.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>

#include "analysis/band_view.hpp"
#include "analysis/level_spans.hpp"
#include "analysis/music_analyzer.hpp"
#include "common/numeric.hpp"

namespace corvel::analysis {

namespace {

using A = ORVAudioMusicAnalyzer;

// How quickly the listeners' preference fades (octaves).
constexpr double kPreferenceWidthOctaves = 0.8;
// How much a clearly accented half-tempo outweighs the tempo preference (log units per unit
// of lean), and how much a backbeat holds the level against it.
constexpr double kLeanWeight = 3.0;
constexpr double kBackbeatWeight = 3.0;
// The lean a level must show before its half counts as the stronger pulse: below it, halving
// the tempo costs.
constexpr double kAccentLean = 0.2;
// How much drums that alternate more clearly at the half tempo (kick against the upper bands;
// the upper bands alone) move the beat there, and how much a swung subdivision holds it.
constexpr double kCrossWeight = 2.0;
constexpr double kUpperWeight = 1.0;
constexpr double kSwingWeight = 3.0;
constexpr double kSwingBackbeatShare = 8.0;
// How much of the upper bands' stress on one half the low band cancels when it stresses the
// same half: a chord struck on the one over its root, or a crash over the kick, is the bar's
// downbeat heard in every band; a backbeat's snare stands out over kicks anywhere.
constexpr double kAgreeingLowShare = 2.0;
// How much more a swung subdivision holds a level whose beats all sound alike (a ride on every
// beat, a walking bass): a pair swung between a beat and a silent one is no subdivision.
constexpr double kEvenSwingWeight = 2.0;
// How much swung eighths that sound between beats which all sound, evenly on the cymbals (a
// ride on every beat), hold a level, once the pairs between the beats are clearly swung: from
// none at the first swing measure to all of it at the second.
constexpr double kSwungBeatsWeight = 6.0;
constexpr std::array<double, 2> kClearSwing{0.2, 0.4};
// Where a swung pair's late note falls between two beats (share of the beat), a little
// early to a little late.
constexpr std::array<double, 4> kLateShares{0.6, 0.64, 0.68, 0.72};
// The ratios between a beat and a cross-rhythm of its own grid, and how closely a neighbour's
// tempo must meet one to be read as such.
constexpr std::array<double, 4> kCrossRhythmRatios{2.0 / 3, 3.0 / 4, 4.0 / 3, 3.0 / 2};
constexpr double kCrossRhythmTolerance = 0.015;
// How much chords on every other pulse move the beat to the half, and how quickly a swung
// subdivision takes that away.
constexpr double kChordWeight = 3.0;
constexpr double kChordSwingShare = 2.5;
// How far above the preferred tempo a pulse grouped in threes must run to be taken for the
// eighths of a compound meter in full (octaves).
constexpr double kCompoundOctaves = 0.5;
// The accent on every other beat is read in windows of about this many beats, each with its
// own phase: a grid a fraction of a percent off the beat drifts through a whole beat over a
// piece and the accent averages away, while within a window it still falls on the beats.
constexpr double kLeanWindowBeats = 48;
// A section counts as a detour from a neighbour at least as long as itself.
constexpr double kDetourShare = 1.0;
// The tracker may settle a few percent off a neighbour's tempo for a part that plays the same
// beat (syncopations pulling it): a step up to this share counts as such a drift when the
// neighbour's grid meets the part's onsets at least as well as its own.
constexpr double kDriftShare = 0.04;

// The split bands read for beats, with how much each speaks for the beat rather than for
// its subdivisions: drums, bass and chords carry the beat, cymbals and hats fill in between.
constexpr std::array<double, ORVAudioFeatureSet::kSplitBandCount> kBandWeights{1.0, 1.0, 1.0, 0.5, 0.25};
constexpr std::size_t kLowBand = 0;
// How much a band's beats taking turns (even against odd) counts in the beat-phase vote,
// against how strong its onsets are on the beats.
constexpr double kTurnWeight = 0.4;
// The lowest band of a snare's crack (600-2500 Hz): from there up, beats that take turns are a
// backbeat; below it, kick and bass syncopate freely.
constexpr std::size_t kSnareBand = 2;
// The lowest band of the cymbals (a ride, hats).
constexpr std::size_t kCymbalBand = 3;

// How far either side of a beat its onset is looked for: 5 % of the beat, 1 to 3 frames.
std::int64_t onsetReachFrames(double periodFrames) {
    return std::clamp<std::int64_t>(roundedInt64(0.05 * periodFrames), 1, 3);
}

// Whether a quick grid fits the onsets about as well as the grid two-thirds as fast that it
// would replace, each fit weighed by the square root of how many points its grid holds:
// between the mean (which favours the slower grid on the strongest accents) and the sum
// (which favours any fine grid). The slow fit is only read where the quick grid fits at all.
template <typename SlowFit>
bool quickGridHolds(double quickFit, SlowFit&& slowFit) {
    return quickFit > 0 && quickFit * std::sqrt(3.0) >= slowFit() * std::sqrt(2.0);
}

// Whether one tempo runs a cross-rhythm of one groove (three against two or four) to another:
// ratio is theirs.
bool isCrossRhythm(double ratio) {
    return std::any_of(kCrossRhythmRatios.begin(), kCrossRhythmRatios.end(),
                       [ratio](double r) { return std::abs(ratio / r - 1) <= kCrossRhythmTolerance; });
}

// Whether section i holds a steady tempo: usable, neither a ramp nor the end of one.
bool isSteady(std::span<const ORVDetectedTempoSection> sections, std::size_t i) {
    return A::isUsableTempo(sections[i].bpm) && !sections[i].linearToNext && (i == 0 || !sections[i - 1].linearToNext);
}

// How much a swung subdivision holds a level against its half: more the more evenly the level's
// beats sound, the fast beats of up-tempo swing (all four played, the ride's stress on 1 and 3)
// against a click or a kick whose every other beat is silent.
double swingHold(double swing, double lean) {
    return (kSwingWeight + kEvenSwingWeight * (1.0 - std::clamp(lean, 0.0, 1.0))) * swing;
}

// The swung eighths of a grid whose beats all sound. `sounded`: how strongly the onsets late
// between the beats (about two thirds of the way) sound beyond those halfway, against the
// beats' own onsets; 0 when nothing sounds between the beats, whatever the ratio of two
// near-silences. `even`: how evenly the cymbals sound on every beat (a ride on each beat rather
// than on every other one). `share`: how many of the beats sound at all (at least a quarter of
// an average beat above the bands' floors): a grid across a pulse it does not fit catches its
// onsets between its beats as often as on them.
struct SwungBeats {
    double sounded = 0;  // 0...1
    double even = 0;     // 0...1
    double share = 0;    // 0...1
};
SwungBeats swungBeats(const ORVAudioFeatureSet& features, const ORVBeatGrid& grid, std::int64_t begin, std::int64_t end) {
    const double periodFrames = grid.period;
    const double phaseFrames = grid.beat;
    constexpr std::size_t kBands = ORVAudioFeatureSet::kSplitBandCount;
    constexpr double kSoundingShare = 0.25;
    std::vector<BandView> bands;
    std::array<double, kBands> floors{};
    for (std::size_t k = 0; k < kBands; ++k) {
        bands.emplace_back(features, k);
        if (!bands.back().usable()) return {};
        floors[k] = bands.back().mean(begin, end);
    }
    const std::int64_t h = onsetReachFrames(periodFrames);
    const std::int64_t between = std::max<std::int64_t>(h - 1, 0);
    std::array<double, kBands> onBeat{}, halfway{};
    std::array<std::array<double, kBands>, kLateShares.size()> late{};
    std::array<std::array<double, kBands>, 2> sides{};
    std::array<std::int64_t, 2> sideCounts{};
    std::vector<double> strengths;  // each beat's, above the floors
    for (std::int64_t b = 0;; ++b) {
        const double t = phaseFrames + static_cast<double>(b) * periodFrames;
        if (!(t + periodFrames < static_cast<double>(end))) break;
        if (t < static_cast<double>(begin)) continue;
        const std::int64_t c = roundedInt64(t);
        const auto side = static_cast<std::size_t>(b % 2);
        double strength = 0;
        for (std::size_t k = 0; k < kBands; ++k) {
            const double v = bands[k].peakNear(c, h, begin, end);
            strength += kBandWeights[k] * std::max(v - floors[k], 0.0);
            onBeat[k] += v;
            sides[side][k] += v;
            halfway[k] += bands[k].peakNear(roundedInt64(t + 0.5 * periodFrames), between, begin, end);
            for (std::size_t r = 0; r < kLateShares.size(); ++r) {
                late[r][k] += bands[k].peakNear(roundedInt64(t + kLateShares[r] * periodFrames), between, begin, end);
            }
        }
        strengths.push_back(strength);
        ++sideCounts[side];
    }
    if (sideCounts[0] == 0 || sideCounts[1] == 0) return {};
    const auto pairs = static_cast<double>(strengths.size());
    SwungBeats result;
    double beatSum = 0;
    for (std::size_t k = 0; k < kBands; ++k) beatSum += kBandWeights[k] * std::max(onBeat[k] - pairs * floors[k], 0.0);
    double best = 0;
    for (const auto& lateAt : late) {
        double lateSum = 0;
        for (std::size_t k = 0; k < kBands; ++k) lateSum += kBandWeights[k] * (lateAt[k] - halfway[k]);
        best = std::max(best, lateSum);
    }
    if (beatSum > 1e-12) result.sounded = std::clamp(best / beatSum, 0.0, 1.0);
    double evenSum = 0, weights = 0;
    for (std::size_t k = kCymbalBand; k < kBands; ++k) {
        const double e = sides[0][k] / static_cast<double>(sideCounts[0]);
        const double o = sides[1][k] / static_cast<double>(sideCounts[1]);
        const double w = std::max(0.5 * (e + o) - floors[k], 0.0);
        if (std::max(e, o) > 1e-12) evenSum += w * std::min(e, o) / std::max(e, o);
        weights += w;
    }
    if (weights > 1e-12) result.even = evenSum / weights;
    double mean = 0;
    for (const double v : strengths) mean += v;
    mean /= pairs;
    const auto sounding = std::count_if(strengths.begin(), strengths.end(),
                                        [mean](double v) { return v > 0 && v >= kSoundingShare * mean; });
    result.share = static_cast<double>(sounding) / pairs;
    return result;
}

// How much more widely the even beats of a grid sound than the odd ones (-1...1): each beat's
// breadth sums, over the bands, how far its onset stands above the band's own average (scale
// free, so a quiet band counts as much as a loud one). A chord or a struck bass note lights
// many bands at once; a passing note of an arpeggio or a melody, one.
double breadthLean(const ORVAudioFeatureSet& features, const ORVBeatGrid& grid, std::int64_t begin, std::int64_t end) {
    const double periodFrames = grid.period;
    const double phaseFrames = grid.beat;
    constexpr std::size_t kBands = ORVAudioFeatureSet::kSplitBandCount;
    std::vector<BandView> bands;
    std::array<double, kBands> floors{};
    for (std::size_t k = 0; k < kBands; ++k) {
        bands.emplace_back(features, k);
        if (!bands.back().usable()) return 0;
        floors[k] = std::max(bands.back().mean(begin, end), 1e-9);
    }
    const std::int64_t h = onsetReachFrames(periodFrames);
    std::array<double, 2> sums{};
    std::array<std::int64_t, 2> counts{};
    for (std::int64_t b = 0;; ++b) {
        const double t = phaseFrames + static_cast<double>(b) * periodFrames;
        if (!(t < static_cast<double>(end))) break;
        if (t < static_cast<double>(begin)) continue;
        const std::int64_t c = roundedInt64(t);
        double breadth = 0;
        for (std::size_t k = 0; k < kBands; ++k) {
            breadth += std::log1p(std::max(bands[k].peakNear(c, h, begin, end) / floors[k] - 1.0, 0.0));
        }
        sums[static_cast<std::size_t>(b % 2)] += breadth;
        ++counts[static_cast<std::size_t>(b % 2)];
    }
    if (counts[0] == 0 || counts[1] == 0) return 0;
    const double even = sums[0] / static_cast<double>(counts[0]);
    const double odd = sums[1] / static_cast<double>(counts[1]);
    return even + odd > 1e-9 ? (even - odd) / (even + odd) : 0.0;
}

// Chords struck on every other pulse of a quick grid, with passing notes between: the louder
// half also sounds wider, which makes the half the beat (at slower grids, chords held for two
// beats are the harmony's rhythm, not the beat's). The width only confirms an accent the
// loudness shows already, and a swung subdivision belongs to the beat it swings under.
double chordAccentGain(double lean, double breadth, double swing) {
    const double confirmed = std::min(breadth, std::max(lean - kAccentLean, 0.0));
    return kChordWeight * confirmed * std::max(1.0 - kChordSwingShare * swing, 0.0);
}

// How much an accent every third pulse makes the pulse the subdivision of a compound beat
// (0...1): eighths grouped in threes run quicker than a beat is readily tapped; pulses at the
// tempo listeners tap, grouped in threes, are the beats of a bar in three (a waltz), which a
// listener counts but does not tap.
double compoundShare(double pulseBpm) {
    return std::clamp(std::log2(pulseBpm / kPreferredLevelTempo) / kCompoundOctaves, 0.0, 1.0);
}

// Free playing (rubato): the tempo breathes within and between the tracked sections, so a grid
// of any one section's tempo drifts off the beats within a few of them and every accent
// measure reads noise. The beats are then followed onset by onset and the features read on
// a time scale on which the followed beats fall evenly.
// Sections count as free when at least this many, each within this ratio of its neighbour,
// move the tempo up and down again (a section ramping into the next counts by its tempo at
// the start, the next gives its end; one section may stand apart, as a phrase end held long
// does); the followed beats' tempo, smoothed over a few beats, moves when it strays from its
// mean by the first share on average (then the level is read on them), and breathes when it
// strays from its running median by the second (then the map follows them).
constexpr std::size_t kFreeSections = 3;
constexpr double kFreeNeighbourRatio = 1.25;
constexpr double kStrayShare = 0.03;
constexpr double kBreathingShare = 0.02;
// Sections that do not wander up and down (two of them, or a slow drift), each still within
// the neighbour ratio, may hold free playing too; then the beats followed through the
// consensus must stray from their running median by this share on average before either the
// level or the map is read on them.
constexpr double kClearBreathingShare = 0.03;
// Following the beats: how much a beat length off the map's costs (per squared log ratio,
// against onsets of strength up to 1), and the ratio to the map's it never leaves.
constexpr double kFollowPenalty = 4.0;
constexpr double kFollowLimit = 1.3;
// The evened beats are read in stretches of this many, each with its own phase: a held note
// or a breath at a phrase end may well shift the count by a beat.
constexpr double kStretchBeats = 12;
// How much the accent every fourth evened pulse (a bar over beats of two pulses) moves the
// beat of free playing to the half of a quick pulse.
constexpr double kBarWeight = kLeanWeight;
// A breathing map holds one tempo over this many followed beats.
constexpr std::size_t kBreathBeats = 2;

// Whether neighbouring tempi of free playing may lie this far apart.
bool withinFreeNeighbourRatio(double ratio) {
    return ratio <= kFreeNeighbourRatio && ratio >= 1.0 / kFreeNeighbourRatio;
}

bool wandersFreely(std::span<const ORVDetectedTempoSection> sections) {
    std::vector<double> tempi;
    for (const auto& s : sections) {
        if (A::isUsableTempo(s.bpm)) tempi.push_back(s.bpm);
    }
    // One section may stand apart (a held phrase end, a sudden swell): the others must wander.
    const auto wanders = [](std::span<const double> t) {
        if (t.size() < kFreeSections) return false;
        bool up = false, down = false;
        for (std::size_t i = 1; i < t.size(); ++i) {
            const double ratio = t[i] / t[i - 1];
            if (!withinFreeNeighbourRatio(ratio)) return false;
            up = up || ratio > 1.0;
            down = down || ratio < 1.0;
        }
        return up && down;
    };
    if (wanders(tempi)) return true;
    for (std::size_t k = 0; k < tempi.size(); ++k) {
        std::vector<double> others = tempi;
        others.erase(others.begin() + static_cast<std::ptrdiff_t>(k));
        if (wanders(others)) return true;
    }
    return false;
}

// Whether the sections may hold free playing: they wander freely, or at least two of them
// keep within the neighbour ratio, so that only the followed beats can tell.
enum class Freedom { none, wanders, perhaps };
Freedom sectionFreedom(std::span<const ORVDetectedTempoSection> sections) {
    if (wandersFreely(sections)) return Freedom::wanders;
    if (sections.size() < 2) return Freedom::none;
    for (std::size_t i = 1; i < sections.size(); ++i) {
        if (!withinFreeNeighbourRatio(sections[i].bpm / sections[i - 1].bpm)) return Freedom::none;
    }
    return Freedom::perhaps;
}

// The beats of the map followed through an onset envelope, in frames: the chain of onsets
// that best meets the envelope while each beat length stays near the map's (a penalty growing
// with the square of the log ratio), found by dynamic programming over the frames.
std::vector<double> followedBeats(const ORVAudioFeatureSet& features, std::span<const LevelSpan> spans,
                                  std::span<const double> env) {
    const auto n = static_cast<std::int64_t>(env.size());
    const double fs = features.frameSeconds;
    const std::int64_t begin = spans.front().begin;
    const std::int64_t end = std::min<std::int64_t>(spans.back().end, n);
    std::vector<double> periods(static_cast<std::size_t>(std::max<std::int64_t>(end - begin, 0)));
    std::size_t at = 0;
    for (std::int64_t f = begin; f < end; ++f) {
        while (at + 1 < spans.size() && spans[at + 1].begin <= f) ++at;
        periods[static_cast<std::size_t>(f - begin)] = 60.0 / (fs * spans[at].bpm);
    }
    std::vector<double> beats;
    if (end - begin < 8 || !(periods.front() >= 4.0)) return beats;
    std::vector<double> score(periods.size(), 0.0);
    std::vector<std::int64_t> from(periods.size(), -1);
    // The penalty of a beat length depends only on the length and the map's period, which holds
    // through a span: one table per period.
    std::vector<double> penalty;
    double penaltyPeriod = 0;
    for (std::int64_t f = begin; f < end; ++f) {
        const auto i = static_cast<std::size_t>(f - begin);
        const double p = periods[i];
        const std::int64_t longest = roundedInt64(kFollowLimit * p);
        if (p != penaltyPeriod) {
            penaltyPeriod = p;
            // No beat is longer than the frames followed.
            penalty.resize(static_cast<std::size_t>(std::clamp<std::int64_t>(longest, 0, end - begin)) + 1);
            for (std::size_t d = 0; d < penalty.size(); ++d) {
                const double r = std::log(static_cast<double>(d) / p);
                penalty[d] = kFollowPenalty * r * r;
            }
        }
        const std::int64_t lo = std::max<std::int64_t>(f - longest, begin);
        const std::int64_t hi = f - roundedInt64(p / kFollowLimit);
        double best = 0;
        for (std::int64_t g = lo; g <= hi; ++g) {
            const double value = score[static_cast<std::size_t>(g - begin)] - penalty[static_cast<std::size_t>(f - g)];
            if (value > best) {
                best = value;
                from[i] = g;
            }
        }
        score[i] = env[static_cast<std::size_t>(f)] + best;
    }
    // The chain ends on the best-scoring frame within the last beat.
    const std::int64_t tailFrom = std::max<std::int64_t>(end - roundedInt64(periods.back()), begin);
    std::int64_t f = tailFrom;
    for (std::int64_t g = tailFrom; g < end; ++g) {
        if (score[static_cast<std::size_t>(g - begin)] > score[static_cast<std::size_t>(f - begin)]) f = g;
    }
    for (; f >= begin; f = from[static_cast<std::size_t>(f - begin)]) {
        beats.push_back(static_cast<double>(f));
        if (from[static_cast<std::size_t>(f - begin)] < 0) break;
    }
    std::reverse(beats.begin(), beats.end());
    return beats;
}

// How widely each frame sounds: over the bands, how far its onset stands above the band's own
// average (as in breadthLean), scaled so that the widest onsets reach 1. A chord or a struck
// bass note lights many bands at once, a passing note one. The consensus when the bands are
// missing.
std::vector<double> chordEnvelope(const ORVAudioFeatureSet& features) {
    constexpr std::size_t kBands = ORVAudioFeatureSet::kSplitBandCount;
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    std::vector<double> breadth(static_cast<std::size_t>(n), 0.0);
    for (std::size_t k = 0; k < kBands; ++k) {
        const BandView band(features, k);
        if (!band.usable()) return features.consensusEnvelope;
        const double floor = std::max(band.mean(0, n), 1e-9);
        for (std::int64_t i = 0; i < n; ++i) {
            breadth[static_cast<std::size_t>(i)] += std::log1p(std::max(band[i] / floor - 1.0, 0.0));
        }
    }
    std::vector<double> sorted = breadth;
    const auto at = sorted.begin() + static_cast<std::ptrdiff_t>(0.99 * static_cast<double>(sorted.size() - 1));
    std::nth_element(sorted.begin(), at, sorted.end());
    const double top = *at;
    if (!(top > 1e-12)) return features.consensusEnvelope;
    for (double& v : breadth) v = std::min(v / top, 1.0);
    return breadth;
}

// The followed beats' lengths, each averaged over the kSmooth beats up to it.
constexpr std::size_t kSmooth = 4;
std::vector<double> smoothedBeatLengths(std::span<const double> beats) {
    std::vector<double> lengths;
    for (std::size_t i = kSmooth; i < beats.size(); ++i) {
        lengths.push_back((beats[i] - beats[i - kSmooth]) / static_cast<double>(kSmooth));
    }
    return lengths;
}

// How far the followed beats' tempo, smoothed over four beats, strays from its mean (share):
// a tempo that moves, whether it breathes or steps.
double tempoStray(std::span<const double> beats) {
    if (beats.size() < 3 * kSmooth) return 0;
    const std::vector<double> lengths = smoothedBeatLengths(beats);
    double mean = 0;
    for (double l : lengths) mean += l;
    mean /= static_cast<double>(lengths.size());
    double stray = 0;
    for (double l : lengths) stray += std::abs(l - mean);
    return mean > 0 ? stray / static_cast<double>(lengths.size()) / mean : 0;
}

// How far the followed beats' tempo, smoothed over four beats, strays from its running median
// over about four times as many (share): a tempo that swells and ebbs strays, one held between
// steps does not.
double breathing(std::span<const double> beats) {
    constexpr std::size_t kMedianReach = 8;
    if (beats.size() < 3 * kSmooth + 2 * kMedianReach) return 0;
    const std::vector<double> lengths = smoothedBeatLengths(beats);
    double stray = 0, total = 0;
    std::size_t count = 0;
    for (std::size_t i = kMedianReach; i + kMedianReach < lengths.size(); ++i) {
        std::vector<double> around(lengths.begin() + static_cast<std::ptrdiff_t>(i - kMedianReach),
                                   lengths.begin() + static_cast<std::ptrdiff_t>(i + kMedianReach + 1));
        std::nth_element(around.begin(), around.begin() + static_cast<std::ptrdiff_t>(kMedianReach), around.end());
        stray += std::abs(lengths[i] - around[kMedianReach]);
        total += around[kMedianReach];
        ++count;
    }
    return count > 0 && total > 0 ? stray / total : 0;
}

// Whether the sections hold free playing as far as they can tell: they wander freely, or they
// may and the beats followed through the consensus clearly breathe.
bool mayPlayFreely(const ORVAudioFeatureSet& features, Freedom freedom, std::span<const LevelSpan> spans) {
    if (freedom == Freedom::none) return false;
    return freedom == Freedom::wanders ||
           !(breathing(followedBeats(features, spans, features.consensusEnvelope)) < kClearBreathingShare);
}

// The mean spacing of followed beats, in frames.
double meanSpacing(std::span<const double> beats) {
    return (beats.back() - beats.front()) / static_cast<double>(beats.size() - 1);
}

// The features on the time scale on which the beats fall evenly (`spacing` frames apart): each
// output frame takes the largest value of the frames it covers, so that no onset is lost
// between frames.

ORVAudioFeatureSet evenedFeatures(const ORVAudioFeatureSet& features, std::span<const double> beats, double spacing) {
    ORVAudioFeatureSet out;
    out.frameSeconds = features.frameSeconds;
    const auto frames = static_cast<std::size_t>(std::floor(spacing * static_cast<double>(beats.size() - 1)));
    const auto source = [&](double j) {
        const double q = std::min(j / spacing, static_cast<double>(beats.size() - 1));
        const auto i = std::min(static_cast<std::size_t>(q), beats.size() - 2);
        return beats[i] + (q - static_cast<double>(i)) * (beats[i + 1] - beats[i]);
    };
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    std::vector<std::pair<std::int64_t, std::int64_t>> covers(frames);
    for (std::size_t j = 0; j < frames; ++j) {
        const std::int64_t a = std::clamp<std::int64_t>(roundedInt64(source(static_cast<double>(j))), 0, n - 1);
        const std::int64_t b = std::clamp<std::int64_t>(roundedInt64(source(static_cast<double>(j + 1))), a + 1, n);
        covers[j] = {a, b};
    }
    const auto warp = [&](const auto& in, auto& result) {
        result.assign(in.empty() ? 0 : frames, {});
        if (in.empty()) return;
        for (std::size_t j = 0; j < frames; ++j) {
            auto best = in[static_cast<std::size_t>(covers[j].first)];
            for (std::int64_t f = covers[j].first + 1; f < covers[j].second; ++f) {
                best = std::max(best, in[static_cast<std::size_t>(f)]);
            }
            result[j] = best;
        }
    };
    warp(features.consensusEnvelope, out.consensusEnvelope);
    for (std::size_t k = 0; k < features.featureEnvelopes.size(); ++k) {
        if (features.featureEnvelopes[k].size() == features.consensusEnvelope.size()) {
            warp(features.featureEnvelopes[k], out.featureEnvelopes[k]);
        }
    }
    for (std::size_t k = 0; k < features.bandOnsetStrengths.size(); ++k) {
        if (features.bandOnsetStrengths[k].size() == features.consensusEnvelope.size()) {
            warp(features.bandOnsetStrengths[k], out.bandOnsetStrengths[k]);
        }
    }
    out.durationSeconds = static_cast<double>(frames) * out.frameSeconds;
    return out;
}

// The level factor of the beats over the spans; `freePlaying` when they are beats followed
// through free playing and evened.
double levelFactorOfSpans(const ORVAudioFeatureSet& features, std::span<const LevelSpan> spans, double bpm,
                          bool freePlaying);

// The accent rules' reading of the level: its factor and, for free playing, the evened features
// and the stretches of them it was read on (at the evened tempo).
struct RuleReading {
    double factor = 1;
    std::optional<ORVAudioFeatureSet> evened;
    std::vector<ORVDetectedTempoSection> stretches;
    double evenBpm = 0;
};

// The rules' reading of a map that may hold free playing over beats that breathe, read on the
// followed beats; none when the map holds its tempo or the beats do.
std::optional<RuleReading> freePlayingLevel(const ORVAudioFeatureSet& features,
                                            std::span<const ORVDetectedTempoSection> sections,
                                            std::span<const LevelSpan> spans) {
    if (!mayPlayFreely(features, sectionFreedom(sections), spans)) return std::nullopt;
    // Followed on the chords: passing notes and a sounding floor between the onsets (pedal,
    // a hall) lure a chain through the consensus off the beats where the playing holds back.
    const std::vector<double> beats = followedBeats(features, spans, chordEnvelope(features));
    if (tempoStray(beats) < kStrayShare) return std::nullopt;
    const double spacing = meanSpacing(beats);
    const double evenBpm = 60.0 / (features.frameSeconds * spacing);
    if (!A::isUsableTempo(evenBpm)) return RuleReading{};
    const ORVAudioFeatureSet evened = evenedFeatures(features, beats, spacing);
    const double stretchSeconds = kStretchBeats * spacing * features.frameSeconds;
    std::vector<ORVDetectedTempoSection> stretches;
    for (double t = 0; t < evened.durationSeconds; t += stretchSeconds) {
        ORVDetectedTempoSection s;
        s.startSeconds = t;
        // A short remainder joins the last stretch.
        s.endSeconds = t + 1.5 * stretchSeconds < evened.durationSeconds ? t + stretchSeconds : evened.durationSeconds;
        s.bpm = evenBpm;
        stretches.push_back(s);
        if (s.endSeconds >= evened.durationSeconds) break;
    }
    const std::vector<LevelSpan> evenSpans = levelSpans(evened, stretches, evenBpm, RampReading::whenNothingSteady);
    const double factor = evenSpans.empty() ? 1.0 : levelFactorOfSpans(evened, evenSpans, evenBpm, true);
    return RuleReading{factor, evened, std::move(stretches), evenBpm};
}

RuleReading ruleReading(const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections,
                        double bpm) {
    const double fs = features.frameSeconds;
    if (!A::isUsableTempo(bpm) || !(fs > 0) || !std::isfinite(fs)) return {};
    const std::vector<LevelSpan> spans = levelSpans(features, sections, bpm, RampReading::whenNothingSteady);
    if (spans.empty()) return {};
    if (auto free = freePlayingLevel(features, sections, spans)) return std::move(*free);
    return {levelFactorOfSpans(features, spans, bpm, false), std::nullopt, {}, 0};
}

// The preference for the dotted beat of a compound meter: a beat of three quick pulses is felt
// between its own rate and theirs (their geometric mean, the square root of three times its
// own), so that a slow dotted beat over quick eighths is still readily tapped.
double compoundBeatPreference(double bpm) {
    return ORVAnalyzerMetricalLevel::tempoPreference(bpm * std::sqrt(3.0));
}

}  // namespace

ORVGridAccents ORVAnalyzerMetricalLevel::gridAccents(const ORVAudioFeatureSet& features, double periodFrames,
                                                     std::int64_t begin, std::int64_t end) {
    const ORVBeatGrid grid = beatGrid(features, periodFrames, begin, end);
    const ORVGridLean g = gridLean(features, grid, begin, end);
    const auto n = static_cast<double>(g.beats);
    const SwungBeats swung = swungBeats(features, grid, begin, end);
    return {std::abs(g.lean) * n,
            g.backbeat * n,
            g.tripleAccent * n,
            g.crossLean * n,
            g.swing * n,
            g.upperAccent * n,
            std::abs(breadthLean(features, grid, begin, end)) * n,
            swung.sounded * swung.even * swung.share * n,
            n};
}

double ORVAnalyzerMetricalLevel::tempoPreference(double bpm) {
    if (!A::isUsableTempo(bpm)) return -std::numeric_limits<double>::infinity();
    const double octaves = std::log2(bpm / kPreferredLevelTempo);
    return -(octaves * octaves) / (2 * kPreferenceWidthOctaves * kPreferenceWidthOctaves);
}

ORVGridLean ORVAnalyzerMetricalLevel::gridLean(const ORVAudioFeatureSet& features, const ORVBeatGrid& grid,
                                               std::int64_t begin, std::int64_t end) {
    ORVGridLean result;
    const double periodFrames = grid.period;
    const double phaseFrames = grid.beat;
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    begin = std::clamp<std::int64_t>(begin, 0, n);
    end = std::clamp<std::int64_t>(end, begin, n);
    if (!(periodFrames >= 2.0) || !std::isfinite(periodFrames) || !std::isfinite(phaseFrames) || end <= begin) {
        return result;
    }
    const std::int64_t h = onsetReachFrames(periodFrames);

    constexpr std::size_t kBands = ORVAudioFeatureSet::kSplitBandCount;
    std::array<double, kBands> even{}, odd{}, lean{}, salience{};
    std::array<std::array<double, kBands>, 3> thirds{};
    std::array<std::int64_t, 3> thirdCounts{};
    std::vector<BandView> bands;
    for (std::size_t k = 0; k < kBands; ++k) bands.emplace_back(features, k);
    if (!std::all_of(bands.begin(), bands.end(), [](const BandView& b) { return b.usable(); })) return result;
    std::array<double, kBands> means{};
    for (std::size_t k = 0; k < kBands; ++k) means[k] = bands[k].mean(begin, end);
    std::int64_t evenCount = 0, oddCount = 0;
    for (std::int64_t b = 0;; ++b) {
        const double t = phaseFrames + static_cast<double>(b) * periodFrames;
        if (!(t < static_cast<double>(end))) break;
        if (t < static_cast<double>(begin)) continue;
        const std::int64_t c = roundedInt64(t);
        auto& side = b % 2 == 0 ? even : odd;
        auto& third = thirds[static_cast<std::size_t>(b % 3)];
        for (std::size_t k = 0; k < kBands; ++k) {
            const double v = bands[k].peakNear(c, h, begin, end);
            side[k] += v;
            third[k] += v;
        }
        ++(b % 2 == 0 ? evenCount : oddCount);
        ++thirdCounts[static_cast<std::size_t>(b % 3)];
    }
    result.beats = evenCount + oddCount;
    if (evenCount == 0 || oddCount == 0) return result;

    double weighted = 0, weights = 0;
    for (std::size_t k = 0; k < kBands; ++k) {
        const double e = even[k] / static_cast<double>(evenCount);
        const double o = odd[k] / static_cast<double>(oddCount);
        // A band follows the grid when its beats stand above its own average; a band of
        // steady noise or a held tone does not, whatever its level.
        salience[k] = std::max(0.5 * (e + o) - means[k], 0.0) * kBandWeights[k];
        lean[k] = e + o > 1e-9 ? (e - o) / (e + o) : 0.0;
        weighted += salience[k] * lean[k];
        weights += salience[k];
    }
    if (!(weights > 1e-9)) return result;
    result.lean = weighted / weights;

    // One beat of every three against the other two, for the rotation that stands out most.
    if (thirdCounts[0] > 0 && thirdCounts[1] > 0 && thirdCounts[2] > 0) {
        for (std::size_t r = 0; r < 3; ++r) {
            double accent = 0;
            for (std::size_t k = 0; k < kBands; ++k) {
                const double one = thirds[r][k] / static_cast<double>(thirdCounts[r]);
                const double others = 0.5 * (thirds[(r + 1) % 3][k] / static_cast<double>(thirdCounts[(r + 1) % 3]) +
                                             thirds[(r + 2) % 3][k] / static_cast<double>(thirdCounts[(r + 2) % 3]));
                if (one + others > 1e-9) accent += salience[k] * (one - others) / (one + others);
            }
            result.tripleAccent = std::max(result.tripleAccent, accent / weights);
        }
    }

    // The low band's lean against the upper bands' (above 600 Hz), when they stress opposite
    // halves.
    const double upperSalience = salience[2] + salience[3] + salience[4];
    if (salience[kLowBand] > 1e-9 && upperSalience > 1e-9) {
        const double upperLean = (salience[2] * lean[2] + salience[3] * lean[3] + salience[4] * lean[4]) / upperSalience;
        if (upperLean * lean[kLowBand] < 0) result.crossLean = std::sqrt(-upperLean * lean[kLowBand]);
        const double agreeing = std::max(std::copysign(1.0, upperLean) * lean[kLowBand], 0.0);
        result.upperAccent = std::clamp(std::abs(upperLean) - kAgreeingLowShare * agreeing, 0.0, 1.0);
    }

    // Where the onsets between two beats fall: halfway, or late as in a swung pair.
    {
        double halfway = 0, late = 0, floor = 0;
        std::int64_t pairs = 0;
        std::array<double, kLateShares.size()> lateAt{};
        for (std::int64_t b = 0;; ++b) {
            const double t = phaseFrames + static_cast<double>(b) * periodFrames;
            if (!(t + periodFrames < static_cast<double>(end))) break;
            if (t < static_cast<double>(begin)) continue;
            const auto at = [&](double share) {
                const std::int64_t c = roundedInt64(t + share * periodFrames);
                double v = 0;
                for (std::size_t k = 0; k < kBands; ++k) {
                    v += kBandWeights[k] * bands[k].peakNear(c, std::max<std::int64_t>(h - 1, 0), begin, end);
                }
                return v;
            };
            halfway += at(0.5);
            for (std::size_t r = 0; r < kLateShares.size(); ++r) lateAt[r] += at(kLateShares[r]);
            ++pairs;
        }
        for (std::size_t k = 0; k < kBands; ++k) floor += kBandWeights[k] * means[k];
        if (pairs > 0) {
            late = *std::max_element(lateAt.begin(), lateAt.end()) / static_cast<double>(pairs);
            halfway /= static_cast<double>(pairs);
            const double swing = (late - halfway) / (late + halfway + floor + 1e-12);
            result.swing = std::clamp(swing, 0.0, 1.0);
        }
    }

    // The low band's lean against the snare's body (180-2500 Hz): a kick on one half and a
    // snare on the other. Hats alone against the kick are subdivisions, not a backbeat.
    const double midSalience = salience[1] + salience[2];
    if (salience[kLowBand] > 1e-9 && midSalience > 1e-9) {
        const double midLean = (salience[1] * lean[1] + salience[2] * lean[2]) / midSalience;
        result.backbeat = std::max(-lean[kLowBand] * midLean, 0.0);
    }
    return result;
}

ORVBeatGrid ORVAnalyzerMetricalLevel::beatGrid(const ORVAudioFeatureSet& features, double periodFrames,
                                               std::int64_t begin, std::int64_t end) {
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    begin = std::clamp<std::int64_t>(begin, 0, n);
    end = std::clamp<std::int64_t>(end, begin, n);
    if (!(periodFrames >= 2.0) || !std::isfinite(periodFrames) || end <= begin) return {0, periodFrames};
    std::vector<double> beatEnvelope(static_cast<std::size_t>(end - begin), 0.0);
    double strongest = 0;
    for (std::size_t k = 0; k < ORVAudioFeatureSet::kSplitBandCount; ++k) {
        const BandView band(features, k);
        if (!band.usable()) continue;
        for (std::int64_t i = begin; i < end; ++i) {
            auto& value = beatEnvelope[static_cast<std::size_t>(i - begin)];
            value += kBandWeights[k] * band[i];
            strongest = std::max(strongest, value);
        }
    }
    // Bands with nothing to say here: the consensus of all envelopes decides.
    if (!(strongest > 1e-12)) {
        const auto& consensus = features.consensusEnvelope;
        beatEnvelope.assign(consensus.begin() + begin, consensus.begin() + end);
    }
    const ORVBeatGrid grid{static_cast<double>(begin) + A::bestBeatPhase(beatEnvelope, periodFrames), periodFrames};
    if (!(strongest > 1e-12)) return grid;

    // The beats or the points halfway between them: every band votes by how much stronger its
    // onsets are on one than on the other (scale-free, so that a quiet band counts as much as
    // a loud one), the cymbal bands less. Syncopated kicks don't move a grid its snare and
    // hats hold, nor do off-beat hats move one its kicks hold.
    // From the snare's band up, each band votes a second time, less, for the grid whose beats
    // take turns (even against odd): the snare of a backbeat falls on every other beat, while
    // what is played on every off-beat alike (open hats, chord chops, an octave bass) fills in
    // between the beats.
    const std::int64_t h = onsetReachFrames(periodFrames);
    struct GridMeans {
        double all = 0;
        double turns = 0;  // the difference between the even and the odd beats' means
    };
    const auto meansAt = [&](const BandView& band, double from) {
        std::array<double, 2> sums{};
        std::array<std::int64_t, 2> counts{};
        std::size_t side = 0;
        for (double t = from; t < static_cast<double>(end); t += periodFrames, side ^= 1) {
            sums[side] += band.peakNear(roundedInt64(t), h, begin, end);
            ++counts[side];
        }
        GridMeans m;
        const std::int64_t count = counts[0] + counts[1];
        if (count > 0) m.all = (sums[0] + sums[1]) / static_cast<double>(count);
        if (counts[0] > 0 && counts[1] > 0) {
            m.turns = std::abs(sums[0] / static_cast<double>(counts[0]) - sums[1] / static_cast<double>(counts[1]));
        }
        return m;
    };
    const ORVBeatGrid between = grid.halfBeatOn();
    double vote = 0;
    for (std::size_t k = 0; k < ORVAudioFeatureSet::kSplitBandCount; ++k) {
        const BandView band(features, k);
        if (!band.usable()) continue;
        const double floor = std::max(band.mean(begin, end), 1e-9);
        const GridMeans on = meansAt(band, grid.beat);
        const GridMeans off = meansAt(band, between.beat);
        vote += kBandWeights[k] * std::log((on.all + floor) / (off.all + floor));
        if (k >= kSnareBand) vote += kBandWeights[k] * kTurnWeight * std::log((on.turns + floor) / (off.turns + floor));
    }
    if (vote >= 0) return grid;
    // The grid half a beat on, from its first whole frame in the span.
    return {std::round(between.firstFrom(static_cast<double>(begin))), periodFrames};
}

std::vector<double> ORVAnalyzerMetricalLevel::beatStrengths(const ORVAudioFeatureSet& features,
                                                             std::span<const double> beats) {
    std::vector<double> strengths;
    const double fs = features.frameSeconds;
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    if (!(fs > 0) || !std::isfinite(fs) || n == 0) return strengths;
    std::vector<BandView> bands;
    for (std::size_t k = 0; k < ORVAudioFeatureSet::kSplitBandCount; ++k) bands.emplace_back(features, k);
    double floor = 0;
    for (std::size_t k = 0; k < bands.size(); ++k) {
        if (bands[k].usable()) floor += kBandWeights[k] * bands[k].mean(0, n);
    }
    strengths.reserve(beats.size());
    for (std::size_t j = 0; j < beats.size(); ++j) {
        const double gap = beats.size() < 2 ? 0.0 : (j + 1 < beats.size() ? beats[j + 1] - beats[j] : beats[j] - beats[j - 1]);
        const std::int64_t h = onsetReachFrames(gap / fs);
        const std::int64_t c = std::clamp<std::int64_t>(roundedInt64(beats[j] / fs), 0, n - 1);
        double sum = 0;
        for (std::size_t k = 0; k < bands.size(); ++k) {
            if (bands[k].usable()) sum += kBandWeights[k] * bands[k].peakNear(c, h, 0, n);
        }
        strengths.push_back(sum - floor);
    }
    return strengths;
}

double ORVAnalyzerMetricalLevel::gridFit(const ORVAudioFeatureSet& features, double periodFrames, std::int64_t begin,
                                         std::int64_t end) {
    const auto n = static_cast<std::int64_t>(features.consensusEnvelope.size());
    begin = std::clamp<std::int64_t>(begin, 0, n);
    end = std::clamp<std::int64_t>(end, begin, n);
    if (!(periodFrames >= 2.0) || !std::isfinite(periodFrames) || end <= begin) return 0;
    std::vector<BandView> bands;
    for (std::size_t k = 0; k < ORVAudioFeatureSet::kSplitBandCount; ++k) bands.emplace_back(features, k);
    double floor = 0;
    for (std::size_t k = 0; k < bands.size(); ++k) {
        if (bands[k].usable()) floor += kBandWeights[k] * bands[k].mean(begin, end);
    }
    const double phase = beatGrid(features, periodFrames, begin, end).beat;
    const std::int64_t h = onsetReachFrames(periodFrames);
    double sum = 0;
    std::int64_t count = 0;
    for (double t = phase; t < static_cast<double>(end); t += periodFrames) {
        if (t < static_cast<double>(begin)) continue;
        const std::int64_t c = roundedInt64(t);
        for (std::size_t k = 0; k < bands.size(); ++k) {
            if (bands[k].usable()) sum += kBandWeights[k] * bands[k].peakNear(c, h, begin, end);
        }
        ++count;
    }
    if (count == 0) return 0;
    return std::max(sum / static_cast<double>(count) - floor, 0.0);
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerMetricalLevel::sectionsOfHeardChanges(
    const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections) {
    std::vector<ORVDetectedTempoSection> result(sections.begin(), sections.end());
    const double fs = features.frameSeconds;
    if (result.size() < 2 || !(fs > 0) || !std::isfinite(fs)) return result;
    const auto steady = [&](std::size_t i) { return isSteady(result, i); };
    // Shortest first: a short detour of the tracker goes back to the music around it.
    std::vector<std::size_t> order(result.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return result[a].endSeconds - result[a].startSeconds < result[b].endSeconds - result[b].startSeconds;
    });
    for (const std::size_t i : order) {
        if (!steady(i)) continue;
        const std::int64_t begin = features.frameAt(result[i].startSeconds);
        const std::int64_t end = features.frameAt(result[i].endSeconds);
        if (end <= begin) continue;
        const double own = gridFit(features, 60.0 / (fs * result[i].bpm), begin, end);
        double best = own;
        std::optional<double> taken;
        for (const std::size_t j : {i - 1, i + 1}) {
            // A detour is short against the music it leaves.
            const double length = result[i].endSeconds - result[i].startSeconds;
            if (j >= result.size() || !steady(j) || result[j].endSeconds - result[j].startSeconds < kDetourShare * length) {
                continue;
            }
            // A cross-rhythm of one groove (three against two or four) runs at a simple ratio
            // to its beat; a drift of the tracker lies a few percent from it.
            const double ratio = result[j].bpm / result[i].bpm;
            if (!isCrossRhythm(ratio) && !(ratio != 1 && std::abs(ratio - 1) <= kDriftShare)) continue;
            const double fit = gridFit(features, 60.0 / (fs * result[j].bpm), begin, end);
            if (fit >= best && fit > 0) {
                best = fit;
                taken = result[j].bpm;
            }
        }
        if (taken) result[i].bpm = *taken;
    }
    return result;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerMetricalLevel::sectionsOffCrossRhythms(
    const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections) {
    std::vector<ORVDetectedTempoSection> result(sections.begin(), sections.end());
    const double fs = features.frameSeconds;
    if (result.size() < 2 || !(fs > 0) || !std::isfinite(fs)) return result;
    const auto steady = [&](std::size_t i) { return isSteady(sections, i); };
    // Two tempi a cross-rhythm apart, give or take octaves: 3:2 or 4:3.
    const auto crossRhythm = [](double a, double b) {
        const double octaves = std::log2(a / b);
        return isCrossRhythm(std::exp2(octaves - std::floor(octaves)));
    };
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (!steady(i)) continue;
        bool besideCross = false;
        for (const std::size_t j : {i - 1, i + 1}) {
            besideCross |= j < sections.size() && steady(j) && crossRhythm(sections[j].bpm, sections[i].bpm);
        }
        if (!besideCross) continue;
        const std::int64_t begin = features.frameAt(sections[i].startSeconds);
        const std::int64_t end = features.frameAt(sections[i].endSeconds);
        if (end <= begin) continue;
        const double quick = sections[i].bpm * 3 / 2;
        if (quickGridHolds(gridFit(features, 60.0 / (fs * quick), begin, end),
                           [&] { return gridFit(features, 60.0 / (fs * sections[i].bpm), begin, end); })) {
            result[i].bpm = A::roundedTempo(quick);
        }
    }
    return result;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerMetricalLevel::sectionsAtOneLevel(
    std::span<const ORVDetectedTempoSection> sections) {
    std::vector<ORVDetectedTempoSection> result(sections.begin(), sections.end());
    std::optional<std::size_t> longest;
    for (std::size_t i = 0; i < result.size(); ++i) {
        const auto& s = result[i];
        if (A::isUsableTempo(s.bpm) &&
            (!longest || s.endSeconds - s.startSeconds > result[*longest].endSeconds - result[*longest].startSeconds)) {
            longest = i;
        }
    }
    if (!longest) return result;
    // A ramp and the sections it flows through form a group that moves as one. Outwards from
    // the longest section's group, each group moves by octaves to lie within half an octave of
    // its neighbour: real tempo changes move by small steps and stay where they are.
    std::vector<std::pair<std::size_t, std::size_t>> groups;
    for (std::size_t i = 0; i < result.size();) {
        std::size_t end = i + 1;
        while (end < result.size() && result[end - 1].linearToNext) ++end;
        groups.emplace_back(i, end);
        i = end;
    }
    const auto move = [&result](const std::pair<std::size_t, std::size_t>& group, double reference, double own) {
        if (!A::isUsableTempo(own) || !A::isUsableTempo(reference)) return;
        const double octaves = std::round(std::log2(reference / own));
        if (octaves == 0 || std::abs(octaves) > 3) return;
        for (std::size_t k = group.first; k < group.second; ++k) {
            if (A::isUsableTempo(result[k].bpm)) result[k].bpm = A::roundedTempo(result[k].bpm * std::exp2(octaves));
        }
    };
    std::size_t home = 0;
    while (groups[home].second <= *longest) ++home;
    for (std::size_t g = home + 1; g < groups.size(); ++g) {
        move(groups[g], result[groups[g - 1].second - 1].bpm, result[groups[g].first].bpm);
    }
    for (std::size_t g = home; g-- > 0;) {
        move(groups[g], result[groups[g + 1].first].bpm, result[groups[g].second - 1].bpm);
    }
    return result;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerMetricalLevel::breathingSections(
    const ORVAudioFeatureSet& features, std::span<const ORVDetectedTempoSection> sections) {
    const double fs = features.frameSeconds;
    const Freedom freedom = sectionFreedom(sections);
    if (freedom == Freedom::none || !(fs > 0) || !std::isfinite(fs)) return {};
    const std::vector<LevelSpan> spans = levelSpans(features, sections, sections.front().bpm, RampReading::whenNothingSteady);
    if (spans.empty() || !mayPlayFreely(features, freedom, spans)) return {};
    const std::vector<double> beats = followedBeats(features, spans, chordEnvelope(features));
    if (breathing(beats) < kBreathingShare) return {};
    // Each section reaches its last followed beat at its rounded tempo from where the one
    // before it ended, so that the rounding never adds up along the map.
    std::vector<ORVDetectedTempoSection> result;
    double start = beats.front() * fs;
    for (std::size_t i = 0; i + kBreathBeats < beats.size(); i += kBreathBeats) {
        const double target = beats[i + kBreathBeats] * fs;
        const double bpm = A::roundedTempo(60.0 * static_cast<double>(kBreathBeats) / (target - start));
        if (!A::isUsableTempo(bpm)) return {};
        ORVDetectedTempoSection s;
        s.startSeconds = start;
        s.endSeconds = start + 60.0 * static_cast<double>(kBreathBeats) / bpm;
        s.bpm = bpm;
        const auto* own = &sections.front();
        for (const auto& o : sections) {
            if (o.startSeconds <= start) own = &o;
        }
        s.confidence = own->confidence;
        s.observationCount = own->observationCount;
        result.push_back(s);
        start = s.endSeconds;
    }
    if (result.empty()) return {};
    result.back().endSeconds = std::max(result.back().endSeconds, sections.back().endSeconds);
    return result;
}

ORVLevelChoice ORVAnalyzerMetricalLevel::metricalLevel(const ORVAudioFeatureSet& features,
                                                     std::span<const ORVAnalyzerPeriodicity::InternalCandidate> candidates,
                                                     std::span<const ORVDetectedTempoSection> sections, double bpm) {
    return A::chooseLevel(metricalLevelEvidence(features, candidates, sections, bpm));
}

std::vector<ORVLevelEvidence> ORVAnalyzerMetricalLevel::metricalLevelEvidence(
    const ORVAudioFeatureSet& features, std::span<const ORVAnalyzerPeriodicity::InternalCandidate> candidates,
    std::span<const ORVDetectedTempoSection> sections, double bpm) {
    const RuleReading rule = ruleReading(features, sections, bpm);
    // Free playing is measured on the evened beats, where no consensus candidate was sought.
    if (rule.evened) return A::levelEvidence(*rule.evened, {}, rule.stretches, rule.evenBpm, rule.factor);
    return A::levelEvidence(features, candidates, sections, bpm, rule.factor);
}

double ORVAnalyzerMetricalLevel::accentRuleFactor(const ORVAudioFeatureSet& features,
                                                  std::span<const ORVDetectedTempoSection> sections, double bpm) {
    return ruleReading(features, sections, bpm).factor;
}

namespace {

double levelFactorOfSpans(const ORVAudioFeatureSet& features, std::span<const LevelSpan> spans, double bpm,
                          bool freePlaying) {
    using L = ORVAnalyzerMetricalLevel;
    const double fs = features.frameSeconds;
    std::vector<LevelSpan> windows;
    for (const LevelSpan& span : spans) {
        for (const auto& [b, e] : levelWindows(span, kLeanWindowBeats, 60.0 / (fs * span.bpm))) {
            windows.push_back({b, e, span.bpm});
        }
    }

    // The accent evidence of a level over the whole map, each beat counting once.
    struct Evidence : ORVGridAccents {
        double windowLean = 0;
    };
    std::vector<std::pair<double, Evidence>> measured;
    const auto evidenceAt = [&](double factor) {
        for (const auto& [f, e] : measured) {
            if (f == factor) return e;
        }
        ORVGridAccents sums;
        for (const LevelSpan& span : spans) {
            const double period = 60.0 / (fs * span.bpm * factor);
            if (!(period >= 2.0) || !std::isfinite(period)) continue;
            sums += L::gridAccents(features, period, span.begin, span.end);
        }
        // The accent on every other beat, also window by window.
        double windowLean = 0;
        std::int64_t windowBeats = 0;
        for (const LevelSpan& window : windows) {
            const double period = 60.0 / (fs * window.bpm * factor);
            if (!(period >= 2.0) || !std::isfinite(period)) continue;
            const ORVGridLean g =
                L::gridLean(features, L::beatGrid(features, period, window.begin, window.end), window.begin, window.end);
            windowLean += std::abs(g.lean) * static_cast<double>(g.beats);
            windowBeats += g.beats;
        }
        Evidence e;
        static_cast<ORVGridAccents&>(e) = sums.perBeat();
        if (windowBeats > 0) e.windowLean = windowLean / static_cast<double>(windowBeats);
        measured.emplace_back(factor, e);
        return e;
    };
    // The evidence a level gives for its half and its third: how clearly every other (every
    // third) beat stands out, less, for the half, how much a backbeat ties the beat to it;
    // drums that alternate more clearly at the half than here (a kick and a snare taking
    // turns; a snare whose stress on every other beat stops one octave further down, which
    // makes that level its backbeat's) move the beat there; a swung subdivision holds it here, unless the half shows a
    // backbeat of its own (the swung sixteenths under a slow backbeat), the more so when the
    // swung eighths sound between beats whose cymbals all sound alike (up-tempo swing: a ride
    // on every beat, its skip note late before 3 and 1).
    // A quick pulse (the eighths' range) heard in threes rather than in twos, clearly: the
    // eighths of a compound meter, whose dotted beat a listener taps even when it is slow.
    const auto groupedInThrees = [](const Evidence& e, double tempo) {
        return tempo >= kSlowestEighthsBPM && tempo <= kFastestEighthsBPM && e.triple > kAccentLean &&
               e.triple > e.lean;
    };
    const auto gains = [&](double factor) {
        const Evidence here = evidenceAt(factor);
        if (here.beats == 0) return std::pair{-kLeanWeight * kAccentLean, -kLeanWeight * kAccentLean};
        const Evidence half = evidenceAt(factor / 2);
        // A drifting grid only hides an accent: the clearer of the two readings stands.
        const double accent = std::max(here.lean, here.windowLean);
        double gain = kLeanWeight * (accent - kAccentLean) - kBackbeatWeight * here.backbeat;
        if (bpm * factor > kPreferredLevelTempo) gain += chordAccentGain(here.lean, here.breadth, here.swing);
        if (half.beats > 0) {
            const Evidence quarter = evidenceAt(factor / 4);
            const double hereUpper = std::max(here.upper - half.upper, 0.0);
            const double halfUpper = quarter.beats > 0 ? std::max(half.upper - quarter.upper, 0.0) : half.upper;
            gain += kCrossWeight * (half.cross - here.cross) + kUpperWeight * (halfUpper - hereUpper);
            // Played freely, a quick pulse whose alternate pulses stand out and whose bars (every
            // fourth pulse) stand out once more is counted as the eighths of a slow beat: the
            // player shapes the phrase by the beat and the bar, and the bar's accent speaks for
            // the half as much as the beat's does.
            if (freePlaying && bpm * factor > kPreferredLevelTempo && accent > kAccentLean) gain += kBarWeight * half.lean;
            const double halfBackbeat = std::max(half.upper - half.lean, 0.0) + half.cross;
            const double clearSwing =
                std::clamp((here.swing - kClearSwing[0]) / (kClearSwing[1] - kClearSwing[0]), 0.0, 1.0);
            gain -= (swingHold(here.swing, here.lean) + kSwungBeatsWeight * clearSwing * here.swung) *
                    std::clamp(1.0 - kSwingBackbeatShare * halfBackbeat, 0.0, 1.0);
        }
        const double triple = kLeanWeight * (here.triple - kAccentLean);
        return std::pair{gain, triple > 0 ? triple * compoundShare(bpm * factor) : triple};
    };

    // From the fastest octave of the tempo within range down: each level's score is the
    // listeners' preference plus the accent evidence gathered on the way down to it; a level
    // may be divided by three once (the dotted beat of a compound meter).
    double bestFactor = 1;
    double bestScore = -std::numeric_limits<double>::infinity();
    int fastest = 0;
    while (fastest < 4 && bpm * std::ldexp(1.0, fastest + 1) <= kFastestLevelTempo) ++fastest;
    while (fastest > -4 && bpm * std::ldexp(1.0, fastest) > kFastestLevelTempo) --fastest;
    // evidence[0]: the octave levels 2^a; evidence[1]: the same divided by three.
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    std::array<double, 2> evidence{0.0, kNone};
    std::array<double, 9> octaveEvidence{};
    octaveEvidence.fill(kNone);
    // Whether the level divided by three just formed groups a quick pulse in threes.
    bool groupedPulse = false;
    for (int a = fastest; a >= -4; --a) {
        const double octave = std::ldexp(1.0, a);
        if (bpm * octave < kSlowestLevelTempo) break;
        octaveEvidence[static_cast<std::size_t>(a + 4)] = evidence[0];
        std::array<double, 2> next{kNone, kNone};
        for (const int third : {0, 1}) {
            if (!std::isfinite(evidence[third])) continue;
            const double factor = third == 0 ? octave : octave / 3;
            const double tempo = bpm * factor;
            if (tempo < kSlowestLevelTempo) continue;
            const double preference =
                third == 1 && groupedPulse ? compoundBeatPreference(tempo) : L::tempoPreference(tempo);
            const double score = preference + evidence[third];
            if (tempo <= kFastestLevelTempo && score > bestScore) {
                bestScore = score;
                bestFactor = factor;
            }
            const auto [half, triple] = gains(factor);
            next[third] = std::max(next[third], evidence[third] + half);
            if (third == 0 && evidence[0] + triple > evidence[1]) {
                evidence[1] = evidence[0] + triple;
                groupedPulse = groupedInThrees(evidenceAt(factor), tempo);
            }
        }
        evidence = next;
        groupedPulse = false;
    }

    // The tempo may be a cross-rhythm of the beat (two or four of its pulses against three
    // beats): then three of its pulses make a quick grid, the beat's subdivision, that the
    // tempo's own octaves never meet. Each level of that grid starts from the evidence of the
    // level it would group in threes, less what grouping it in threes takes (its accent every
    // third pulse), and gathers the accents of its octaves on the way down as the others do.
    // A beat's grid meets the onsets on every beat; a grid a cross-rhythm away from the beat
    // meets them on every second or third of its points and falls between them on the others.
    // So a level of the quick grid stands only where its grid fits the onsets about as well
    // as the grid two-thirds as fast that it would replace.
    const auto fitAt = [&](double factor) { return spansGridFit(features, spans, factor, QuickSpans::countAsUnfit); };
    const auto outFits = [&](double factor) { return quickGridHolds(fitAt(factor), [&] { return fitAt(factor * 2 / 3); }); };
    double crossEvidence = kNone;
    for (int a = 4; a >= -4; --a) {
        const double factor = 3 * std::ldexp(1.0, a);
        const double tempo = bpm * factor;
        if (tempo > 2 * kFastestLevelTempo) continue;
        if (tempo < kSlowestLevelTempo) break;
        const auto [half, triple] = gains(factor);
        const double grouped = octaveEvidence[static_cast<std::size_t>(a + 4)];
        if (std::isfinite(grouped)) crossEvidence = std::max(crossEvidence, grouped - triple);
        if (!std::isfinite(crossEvidence)) continue;
        const double score = L::tempoPreference(tempo) + crossEvidence;
        if (tempo <= kFastestLevelTempo && score > bestScore && outFits(factor)) {
            bestScore = score;
            bestFactor = factor;
        }
        crossEvidence += half;
    }
    return bestFactor;
}

}  // namespace

}  // namespace corvel::analysis
