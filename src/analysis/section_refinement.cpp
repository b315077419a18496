#include "analysis/section_refinement.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "analysis/local_mean.hpp"
#include "analysis/music_analyzer.hpp"
#include "analysis/tempo_refiner.hpp"
#include "common/numeric.hpp"
#include "core/tempo_points.hpp"
#include "core/timeline_segments.hpp"

namespace corvel::analysis {

namespace {

using Observation = ORVLocalTempoObservation;
using Section = ORVDetectedTempoSection;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Boundaries between tempi closer than this are left where detection put them.
constexpr double kSmallestTempoStep = 0.5;
// Observations within this relative distance of a section's tempo belong to its family.
constexpr double kFamilyTolerance = 0.035;
// A boundary never comes closer than this to the far ends of its two sections.
constexpr double kBoundaryInset = 0.25;

double at(std::span<const double> envelope, std::int64_t frame) { return envelope[static_cast<std::size_t>(frame)]; }

bool isFinitePositive(double value) { return std::isfinite(value) && value > 0; }

// E[k] is at least both of its neighbours (1 <= k <= n - 2).
bool isLocalPeak(std::span<const double> envelope, std::int64_t k) {
    const double value = at(envelope, k);
    return value >= at(envelope, k - 1) && value >= at(envelope, k + 1);
}

// The first strongest frame of lo ... hi that is a local peak of at least `floor`.
std::optional<std::int64_t> strongestPeak(std::span<const double> envelope, std::int64_t lo, std::int64_t hi,
                                          double floor) {
    std::optional<std::int64_t> best;
    for (std::int64_t k = lo; k <= hi; ++k) {
        if (at(envelope, k) >= floor && isLocalPeak(envelope, k) && (!best || at(envelope, k) > at(envelope, *best))) {
            best = k;
        }
    }
    return best;
}

// The local peak of at least `floor` in lo ... hi nearest to frame c; on equal distance the
// stronger, then the earlier one.
std::optional<std::int64_t> nearestPeak(std::span<const double> envelope, std::int64_t lo, std::int64_t hi,
                                        std::int64_t c, double floor) {
    std::optional<std::int64_t> best;
    for (std::int64_t k = lo; k <= hi; ++k) {
        if (!(at(envelope, k) >= floor) || !isLocalPeak(envelope, k)) continue;
        if (!best) {
            best = k;
            continue;
        }
        const std::int64_t distance = std::abs(k - c);
        const std::int64_t bestDistance = std::abs(*best - c);
        if (distance < bestDistance || (distance == bestDistance && at(envelope, k) > at(envelope, *best))) best = k;
    }
    return best;
}

// Ramps: neighbouring sections of a ramp step by less than this share of the tempo; a line
// must follow the observations at least this much better than the steps do, miss them by no
// more than this share on average, change the tempo by at least this share over its length,
// rise or fall by this many times the uncertainty of its slope, and rest on this many
// observations over this many seconds.
constexpr double kRampStepLimit = 0.3;
constexpr double kRampPreference = 0.8;
constexpr double kRampResidualLimit = 0.02;
constexpr double kRampLeastChange = 0.04;
constexpr double kRampSignificance = 5.0;
constexpr std::size_t kRampLeastObservations = 4;
constexpr double kRampLeastSeconds = 6.0;
// Windows that leave a section's tempo over this long may start a ramp of their own; at its
// end, windows that keep moving away from it over this long (four windows) already do.
constexpr double kDriftLeastSeconds = 4.5;
constexpr double kTailDriftLeastSeconds = 4.0;
// A ramp flows into the next section when the line reaches its tempo within this share.
constexpr double kRampJoinTolerance = 0.025;
// A ramp that has to stop ends on a constant stretch this long at most, short enough for the
// line to stay within this share of the music there, and never shorter than a solid section.
constexpr double kRampTailTolerance = 0.015;
constexpr double kRampTailShortest = 3.0;
// Tempi more than this ratio apart are read an octave nearer before they are compared.
constexpr double kOctaveFoldRatio = 1.5;
// A section an octave away from its predecessor continues it when folded this close to it.
constexpr double kOctaveNeighbourTolerance = 0.2;
// Shorter sections, or sections of fewer observations, are too short to stand as a tempo of
// their own.
constexpr double kShortestStandingSection = 3.0;
constexpr std::int64_t kFewestStandingObservations = 3;
// A long section's tempo is looked for this far from the one its windows read (BPM, or this
// share of it when more), and a fit a little beyond that (the refiner's last step) is taken.
constexpr double kSectionRefineReach = 0.7;
constexpr double kSectionRefineShare = 0.01;
constexpr double kSectionRefineSlack = 0.02;
// Windows weaker than this tell nothing about the tempo (as in section detection).
constexpr double kUsableObservationConfidence = 0.24;

// The tempo doubled or halved until it lies within a ratio of 1.5 of the reference.
double sameOctave(double bpm, double reference) {
    if (!isFinitePositive(bpm) || !isFinitePositive(reference)) return bpm;
    while (bpm > kOctaveFoldRatio * reference) bpm /= 2;
    while (bpm * kOctaveFoldRatio < reference) bpm *= 2;
    return bpm;
}

struct TempoLine {
    double intercept = 0;
    double slope = 0;
    double slopeError = 0;  // standard error of the slope
    double at(double t) const { return intercept + slope * t; }
};

// Least-squares line of tempo over time; none for fewer than three distinct times.
std::optional<TempoLine> fitTempoLine(std::span<const Observation> observations) {
    if (observations.size() < 3) return std::nullopt;
    double meanT = 0;
    double meanB = 0;
    for (const auto& o : observations) {
        meanT += o.centerSeconds;
        meanB += o.bpm;
    }
    const auto count = static_cast<double>(observations.size());
    meanT /= count;
    meanB /= count;
    double stt = 0;
    double stb = 0;
    for (const auto& o : observations) {
        stt += (o.centerSeconds - meanT) * (o.centerSeconds - meanT);
        stb += (o.centerSeconds - meanT) * (o.bpm - meanB);
    }
    if (!(stt > 1e-9)) return std::nullopt;
    TempoLine line{0, stb / stt, 0};
    line.intercept = meanB - line.slope * meanT;
    double squares = 0;
    for (const auto& o : observations) squares += (o.bpm - line.at(o.centerSeconds)) * (o.bpm - line.at(o.centerSeconds));
    line.slopeError = std::sqrt(squares / (count - 2) / stt);
    return line;
}

// The observations of sections first ... last, and whether a line through them explains them
// clearly better than the sections' constant tempi do.
std::optional<TempoLine> rampLine(std::span<const Section> sections, std::size_t first, std::size_t last,
                                  std::span<const Observation> observations) {
    const double start = sections[first].startSeconds;
    const double end = sections[last].endSeconds;
    std::vector<Observation> inside;
    std::size_t section = first;
    for (const auto& o : observations) {
        if (!(o.centerSeconds >= start && o.centerSeconds <= end)) continue;
        while (section < last && o.centerSeconds >= sections[section + 1].startSeconds) ++section;
        inside.push_back(o);
        inside.back().bpm = sameOctave(o.bpm, sameOctave(sections[section].bpm, sections[first].bpm));
    }
    if (inside.size() < kRampLeastObservations ||
        !(inside.back().centerSeconds - inside.front().centerSeconds >= kRampLeastSeconds)) {
        return std::nullopt;
    }
    const auto line = fitTempoLine(inside);
    if (!line) return std::nullopt;
    double lineError = 0;
    double stepError = 0;
    section = first;
    for (const auto& o : inside) {
        while (section < last && o.centerSeconds >= sections[section + 1].startSeconds) ++section;
        lineError += std::abs(o.bpm - line->at(o.centerSeconds)) / o.bpm;
        stepError += std::abs(o.bpm - sameOctave(sections[section].bpm, sections[first].bpm)) / o.bpm;
    }
    const double startBPM = line->at(start);
    const double endBPM = line->at(end);
    const auto count = static_cast<double>(inside.size());
    if (!(startBPM > 0 && endBPM > 0) ||
        !(ORVAnalyzerTempoRelations::relativeTempoDifference(startBPM, endBPM) >= kRampLeastChange) ||
        !(std::abs(line->slope) >= kRampSignificance * line->slopeError) ||
        !(lineError <= kRampResidualLimit * count) || !(lineError < kRampPreference * stepError)) {
        return std::nullopt;
    }
    return line;
}

// A section whose last (or first) windows all leave its tempo on one side, over a stretch long
// enough for a ramp, gives that stretch a section of its own: detection keeps a steady tempo
// running until a steep ramp has long left it, since a ramp never holds a new tempo long
// enough to start a section. The new section takes the median tempo of its windows.
std::vector<Section> splitDriftingEnds(std::span<const Section> sections, std::span<const Observation> observations) {
    std::vector<Section> result;
    for (const auto& section : sections) {
        std::vector<Observation> inside;
        for (const auto& o : observations) {
            if (o.centerSeconds >= section.startSeconds && o.centerSeconds < section.endSeconds) {
                inside.push_back(o);
                inside.back().bpm = sameOctave(o.bpm, section.bpm);
            }
        }
        const auto matches = [&section](const Observation& o) {
            return ORVAnalyzerSectionDetection::sectionTemposMatch(o.bpm, section.bpm);
        };
        const auto firstMatch = std::find_if(inside.begin(), inside.end(), matches);
        const auto lastMatch = std::find_if(inside.rbegin(), inside.rend(), matches);
        if (firstMatch == inside.end()) {
            result.push_back(section);
            continue;
        }
        const auto drifting = [&section](std::span<const Observation> part, double least) {
            if (part.size() < kRampLeastObservations ||
                !(part.back().centerSeconds - part.front().centerSeconds >= least)) {
                return false;
            }
            const bool above = part.front().bpm > section.bpm;
            return std::all_of(part.begin(), part.end(),
                               [&](const Observation& o) { return (o.bpm > section.bpm) == above; });
        };
        const std::span<const Observation> all(inside);
        const auto headCount = static_cast<std::size_t>(firstMatch - inside.begin());
        const auto tailCount = static_cast<std::size_t>(lastMatch - inside.rbegin());
        Section core = section;
        std::optional<Section> head;
        std::optional<Section> tail;
        if (headCount < inside.size() && drifting(all.first(headCount), kDriftLeastSeconds)) {
            const auto part = all.first(headCount);
            head = ORVAnalyzerSectionDetection::makeSection(part, section.startSeconds,
                                                            (part.back().centerSeconds + inside[headCount].centerSeconds) / 2);
            core.startSeconds = head->endSeconds;
        }
        // A tail that keeps moving away, a ramp leaving the section, shows sooner.
        const auto leaving = [&section](std::span<const Observation> part) {
            return !part.empty() && !ORVAnalyzerSectionDetection::sectionTemposMatch(part.front().bpm, part.back().bpm) &&
                   std::abs(part.back().bpm - section.bpm) > std::abs(part.front().bpm - section.bpm);
        };
        const auto tailPart = all.last(tailCount);
        if (tailCount + headCount < inside.size() &&
            (drifting(tailPart, kDriftLeastSeconds) || (drifting(tailPart, kTailDriftLeastSeconds) && leaving(tailPart)))) {
            const auto& part = tailPart;
            const double split = (inside[inside.size() - tailCount - 1].centerSeconds + part.front().centerSeconds) / 2;
            tail = ORVAnalyzerSectionDetection::makeSection(part, split, section.endSeconds);
            tail->linearToNext = section.linearToNext;
            core.endSeconds = split;
            core.linearToNext = false;
        }
        if (head) result.push_back(*head);
        result.push_back(core);
        if (tail) result.push_back(*tail);
    }
    return result;
}

// Both steps go the same way and neither is large, a window or section heard at the other
// octave read at this one.
bool continuesRamp(const Section& a, const Section& b, double direction) {
    const double bpm = sameOctave(b.bpm, a.bpm);
    const double step = bpm - a.bpm;
    return step * direction > 0 && ORVAnalyzerTempoRelations::relativeTempoDifference(a.bpm, bpm) <= kRampStepLimit;
}

// Where a window lands in whole frames (round half away from zero).
std::int64_t frameOf(double seconds, double frameSeconds) { return roundedInt64(seconds / frameSeconds); }

// Following the beats through a ramp: an onset is looked for within this share of the
// expected beat length of where the beat is expected, the nearer ones preferred (a spread of
// this share), and counts when it reaches this strength. The expected beat length leans this
// much on the last interval tapped, the rest on the map.
constexpr double kFollowReach = 0.2;
constexpr double kFollowSpread = 0.1;
constexpr double kFollowLeastOnset = 0.2;
constexpr double kFollowRecentWeight = 0.7;
// Fitting a ramp to the followed beats: start and end move in steps of this many seconds, at
// most this far from where detection put them (the end up to its limit), the ramp lasts at
// least this long, its start tempo stays within this ratio of the detected one, a beat off the
// fitted map by more than this share of a beat counts only that much (a beat the following
// slipped on), and the beats are followed this far past the latest end.
constexpr double kRampFitStep = 0.1;
constexpr double kRampFitReach = 4.0;
constexpr double kRampShortest = 1.0;
constexpr double kRampStartRatio = 1.3;
constexpr double kRampFitErrorCap = 0.2;
constexpr double kRampFollowPast = 4.0;
// A step's first beat is looked for among the onsets this many beats either side of the
// detected change, each judged on this many beats of the old tempo before it and of the new one
// after it, of which this many must meet an onset on each side, within this reach; an onset
// counts less the further it is off the beat, with this spread (a listener's timing).
constexpr int kStepReachBeats = 2;
constexpr int kStepJudgedBeats = 6;
constexpr int kStepLeastMet = 4;
constexpr double kStepReachSeconds = 0.06;
constexpr double kStepTimingSeconds = 0.02;
// The tempo that fits a side must meet it better than the other by this much (a full onset).
constexpr double kStepClearMargin = 1.0;
// Tempi closer than this ratio keep their beats near each other for several beats, so the
// windows place a step between them less sharply: its first beat is looked for this many
// beats either side of the detected change instead.
constexpr double kCloseStepRatio = 1.25;
constexpr int kCloseStepReachBeats = 4;
// The steady tempo before the ramp moves by at most this share to keep its beats on the music.
constexpr double kBeforeBendLimit = 0.01;
// A fit is taken when it leaves at most this share of the given map's misses, and only where
// the given map misses by more than this share of a beat (root mean square).
constexpr double kRampFitGain = 0.7;
constexpr double kRampFitSettled = 0.03;

struct FollowedBeat {
    double seconds = 0;
    double weight = 0;  // the onset's strength; 0 where none was met
};

// The strongest local peak near `expected`, favouring the near ones, with its time refined
// between frames.
std::optional<FollowedBeat> onsetNear(std::span<const double> envelope, double fs, double expected, double period) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    const std::int64_t c = frameOf(expected, fs);
    const std::int64_t r = std::max<std::int64_t>(frameOf(kFollowReach * period, fs), 1);
    const double spread = kFollowSpread * period;
    std::optional<std::int64_t> best;
    double bestValue = 0;
    for (std::int64_t k = std::max<std::int64_t>(c - r, 1); k <= std::min(c + r, n - 2); ++k) {
        if (!(at(envelope, k) >= kFollowLeastOnset) || !isLocalPeak(envelope, k)) continue;
        const double d = (static_cast<double>(k) * fs - expected) / spread;
        const double value = at(envelope, k) * std::exp(-0.5 * d * d);
        if (value > bestValue) {
            bestValue = value;
            best = k;
        }
    }
    if (!best) return std::nullopt;
    const double before = at(envelope, *best - 1);
    const double here = at(envelope, *best);
    const double after = at(envelope, *best + 1);
    const double curvature = before - 2 * here + after;
    const double shift = curvature < 0 ? std::clamp(0.5 * (before - after) / curvature, -0.5, 0.5) : 0.0;
    return FollowedBeat{(static_cast<double>(*best) + shift) * fs, here};
}

// A ramp's tempo at a time.
double rampTempoAt(const ORVRampPlacement& r, double t) {
    if (t < r.startSeconds) return r.beforeBPM;
    if (t >= r.endSeconds) return r.endBPM;
    const double share = (t - r.startSeconds) / std::fmax(r.endSeconds - r.startSeconds, 1e-9);
    return r.startBPM + (r.endBPM - r.startBPM) * share;
}

// The beats a listener taps from the anchor to `until`: each expected one beat length after
// the last, from the last interval tapped and the map's tempo there, and moved onto the onset
// met near it.
std::vector<FollowedBeat> followBeats(std::span<const double> envelope, double fs, const ORVRampPlacement& map,
                                      double until) {
    std::vector<FollowedBeat> beats;
    const double anchorPeriod = 60.0 / rampTempoAt(map, map.anchorBeat);
    const auto first = onsetNear(envelope, fs, map.anchorBeat, anchorPeriod);
    beats.push_back(first ? *first : FollowedBeat{map.anchorBeat, 0});
    std::optional<double> recent;
    while (beats.back().seconds < until && beats.size() < 4096) {
        const double t = beats.back().seconds;
        const double mapPeriod = 60.0 / rampTempoAt(map, t);
        double period = mapPeriod;
        if (recent) {
            period = std::clamp(kFollowRecentWeight * *recent + (1 - kFollowRecentWeight) * mapPeriod, 0.8 * mapPeriod,
                                1.25 * mapPeriod);
        }
        const auto met = onsetNear(envelope, fs, t + period, period);
        if (met && beats.back().weight > 0) {
            recent = met->seconds - t;
        } else if (!met) {
            recent.reset();
        }
        beats.push_back(met ? *met : FollowedBeat{t + period, 0});
    }
    return beats;
}

// A ramp map's tempi: the one before the ramp, the ramp's start and its end (which then holds).
enum RampTempo : std::size_t { kTempoBefore, kTempoStart, kTempoEnd, kRampTempi };
using RampTempi = std::array<double, kRampTempi>;

RampTempi tempiOf(const ORVRampPlacement& map) { return {map.beforeBPM, map.startBPM, map.endBPM}; }

// The map's beats counted from zero up to t, per BPM of each of its tempi.
RampTempi beatsFromZero(double t, double t0, double t1) {
    const double length = t1 - t0;
    const double x = std::clamp(t, t0, t1) - t0;
    return {std::fmin(t, t0) / 60.0, (x - x * x / (2 * length)) / 60.0,
            (x * x / (2 * length) + std::fmax(t - t1, 0.0)) / 60.0};
}

// Which of a map's tempi a fit chooses; the others stay as the map gives them.
struct FreeTempi {
    bool before = false;
    bool start = false;
    bool end = false;
};

// How badly a map misses the followed beats, each error capped, with the free tempi (at most
// two) that meet them best in the least-squares sense.
struct RampMiss {
    double cost = kInfinity;
    ORVRampPlacement fitted;
};

RampMiss rampMiss(std::span<const FollowedBeat> beats, const ORVRampPlacement& map, FreeTempi free) {
    const std::array<bool, kRampTempi> isFree{free.before, free.start, free.end};
    RampMiss miss{kInfinity, map};
    std::array<std::size_t, 2> chosen{};
    std::size_t chosenCount = 0;
    for (std::size_t i = 0; i < kRampTempi; ++i) {
        if (!isFree[i]) continue;
        if (chosenCount == chosen.size()) return miss;
        chosen[chosenCount++] = i;
    }
    RampTempi tempi = tempiOf(map);
    const RampTempi zero = beatsFromZero(map.anchorBeat, map.startSeconds, map.endSeconds);
    std::vector<RampTempi> counts;
    counts.reserve(beats.size());
    double saa = 0, sab = 0, sbb = 0, sar = 0, sbr = 0;
    for (std::size_t k = 0; k < beats.size(); ++k) {
        RampTempi c = beatsFromZero(beats[k].seconds, map.startSeconds, map.endSeconds);
        // What the free tempi have to count.
        double rest = static_cast<double>(k);
        for (std::size_t i = 0; i < kRampTempi; ++i) {
            c[i] -= zero[i];
            if (!isFree[i]) rest -= tempi[i] * c[i];
        }
        counts.push_back(c);
        const double w = beats[k].weight;
        const double a = chosenCount > 0 ? c[chosen[0]] : 0.0;
        const double b = chosenCount > 1 ? c[chosen[1]] : 0.0;
        saa += w * a * a;
        sab += w * a * b;
        sbb += w * b * b;
        sar += w * a * rest;
        sbr += w * b * rest;
    }
    if (chosenCount == 2) {
        const double determinant = saa * sbb - sab * sab;
        if (!(determinant > 1e-9 * saa * sbb)) return miss;
        tempi[chosen[0]] = (sar * sbb - sbr * sab) / determinant;
        tempi[chosen[1]] = (sbr * saa - sar * sab) / determinant;
    } else if (chosenCount == 1) {
        if (!(saa > 1e-12)) return miss;
        tempi[chosen[0]] = sar / saa;
    }
    miss.cost = 0;
    for (std::size_t k = 0; k < beats.size(); ++k) {
        double error = -static_cast<double>(k);
        for (std::size_t i = 0; i < kRampTempi; ++i) error += tempi[i] * counts[k][i];
        miss.cost += beats[k].weight * std::fmin(error * error, kRampFitErrorCap * kRampFitErrorCap);
    }
    miss.fitted.beforeBPM = tempi[kTempoBefore];
    miss.fitted.startBPM = tempi[kTempoStart];
    miss.fitted.endBPM = tempi[kTempoEnd];
    return miss;
}

}  // namespace

std::vector<double> ORVAnalyzerSectionRefinement::accentEnvelope(std::span<const double> envelope,
                                                                 double frameSeconds) {
    const std::size_t n = envelope.size();
    if (n == 0) return {};
    // Never wider than the envelope, so the index arithmetic below can't overflow.
    const std::int64_t radius = std::clamp<std::int64_t>(roundedInt64(0.08 / std::fmax(frameSeconds, 1e-6), 1), 1,
                                                         static_cast<std::int64_t>(n));
    // The means become the result in place.
    auto out = localMeans(envelope, radius);
    for (std::size_t i = 0; i < n; ++i) out[i] = 0.35 * envelope[i] + std::fmax(envelope[i] - 0.35 * out[i], 0.0);
    ORVAudioMusicAnalyzer::normalizeByPercentile95(out);
    return out;
}

double ORVAnalyzerSectionRefinement::sortedPercentile(std::span<const double> ascending, double q) {
    if (ascending.empty()) return kInfinity;
    const auto last = static_cast<std::int64_t>(ascending.size()) - 1;
    const std::int64_t index = std::clamp<std::int64_t>(roundedInt64(static_cast<double>(last) * q), 0, last);
    return ascending[static_cast<std::size_t>(index)];
}

std::optional<ORVBeatPhaseFit> ORVAnalyzerSectionRefinement::fitBeatPhase(std::span<const double> envelope,
                                                                          double frameSeconds, double bpm,
                                                                          double spanStart, double spanEnd) {
    const double fs = frameSeconds;
    if (!isFinitePositive(bpm) || !isFinitePositive(fs) || !(spanStart < spanEnd) || envelope.empty()) {
        return std::nullopt;
    }
    const auto n = static_cast<std::int64_t>(envelope.size());
    const std::int64_t a = std::clamp<std::int64_t>(saturatingInt64(std::floor(spanStart / fs)), 0, n - 1);
    const std::int64_t b = std::max(a + 1, std::min(n, saturatingInt64(std::ceil(spanEnd / fs))));
    if (b - a < 8) return std::nullopt;
    const double period = 60.0 / (fs * bpm);
    if (!std::isfinite(period) || period < 2) return std::nullopt;
    std::int64_t trials = std::min(b - a, saturatingInt64(std::ceil(period)));
    if (trials < 3) trials = 2;
    const std::int64_t w = std::clamp<std::int64_t>(roundedInt64(0.085 * period), 1, 7);

    std::int64_t bestOffset = 0;
    double bestValue = -kInfinity;
    for (std::int64_t o = 0; o < trials; ++o) {
        double sum = 0;
        std::int64_t count = 0;
        std::int64_t hits = 0;
        const auto first = static_cast<double>(a + o);
        for (std::int64_t j = 0;; ++j) {
            const double pos = first + static_cast<double>(j) * period;
            if (!(pos < static_cast<double>(b))) break;
            const std::int64_t c = roundedInt64(pos);
            double strongest = 0;
            for (std::int64_t k = std::max(c - w, a); k <= std::min(c + w, b - 1); ++k) {
                strongest = std::fmax(strongest, at(envelope, k));
            }
            sum += strongest;
            ++count;
            if (strongest >= 0.22) ++hits;
        }
        if (count == 0) continue;
        const double value =
            0.78 * sum / static_cast<double>(count) + 0.22 * static_cast<double>(hits) / static_cast<double>(count);
        if (value > bestValue) {
            bestValue = value;
            bestOffset = o;
        }
    }
    return ORVBeatPhaseFit{bpm, static_cast<double>(a + bestOffset) * fs};
}

ORVBeatGridEvaluation ORVAnalyzerSectionRefinement::evaluateBeatGrid(std::span<const double> envelope,
                                                                     const ORVBeatPhaseFit& fit, double frameSeconds,
                                                                     double spanStart, double spanEnd,
                                                                     double toleranceBeats) {
    const double fs = frameSeconds;
    if (!(fit.bpm > 0) || !(fs > 0) || !(spanStart < spanEnd) || envelope.empty()) return {};
    const double period = 60.0 / fit.bpm;
    const double tolerance = std::fmax(std::fmin(period * toleranceBeats, 0.075), 1.25 * fs);
    const std::int64_t w = std::max<std::int64_t>(frameOf(tolerance, fs), 1);
    const double firstBeat = std::ceil((spanStart - fit.phaseSeconds) / period);
    const double lastBeat = std::floor((spanEnd - fit.phaseSeconds) / period);
    if (!std::isfinite(firstBeat) || !std::isfinite(lastBeat) || !(firstBeat <= lastBeat)) return {};

    const auto n = static_cast<std::int64_t>(envelope.size());
    std::vector<double> errors;
    double strengthSum = 0;
    std::int64_t hits = 0;
    for (std::int64_t j = saturatingInt64(firstBeat); j <= saturatingInt64(lastBeat); ++j) {
        const double beatTime = fit.phaseSeconds + static_cast<double>(j) * period;
        const std::int64_t c = frameOf(beatTime, fs);
        double strongest = 0;
        std::int64_t frame = c;
        for (std::int64_t k = std::max<std::int64_t>(c - w, 0); k <= std::min(c + w, n - 1); ++k) {
            if (at(envelope, k) > strongest) {
                strongest = at(envelope, k);
                frame = k;
            }
        }
        strengthSum += strongest;
        errors.push_back(std::abs(static_cast<double>(frame) * fs - beatTime));
        if (strongest >= 0.2) ++hits;
    }

    ORVBeatGridEvaluation evaluation;
    evaluation.beatCount = static_cast<std::int64_t>(errors.size());
    evaluation.hitCount = hits;
    const auto count = static_cast<double>(errors.size());
    evaluation.hitRatio = static_cast<double>(hits) / count;
    const double meanStrength = strengthSum / count;
    std::sort(errors.begin(), errors.end());
    evaluation.medianErrorSeconds = sortedPercentile(errors, 0.5);
    evaluation.percentile95ErrorSeconds = sortedPercentile(errors, 0.95);
    const double timing = clampOr(1 - evaluation.medianErrorSeconds / std::fmax(tolerance, 0.02), 0.0, 1.0, 0.0);
    evaluation.score = clampOr(0.27 * evaluation.hitRatio + 0.58 * meanStrength + 0.15 * timing, 0.0, 1.0, 0.0);
    return evaluation;
}

std::optional<ORVLocalTempoObservation> ORVAnalyzerSectionRefinement::lastFamilyObservation(
    const std::optional<ORVLocalTempoObservation>& anchor, std::span<const ORVLocalTempoObservation> previousFamily,
    double boundary) {
    const double limit = anchor ? anchor->centerSeconds : boundary;
    std::optional<Observation> last;
    for (const auto& o : previousFamily) {
        if (o.centerSeconds <= limit) last = o;
    }
    return last;
}

namespace {

using SR = ORVAnalyzerSectionRefinement;

// The two tempi's beat grids, each phased on a reference span just outside the search window
// and well inside its own section.
struct ReferenceGrids {
    ORVBeatPhaseFit previous;
    ORVBeatPhaseFit next;
};

std::optional<ReferenceGrids> referenceGrids(std::span<const double> envelope, const ORVTempoTrackingTuning& tuning,
                                             double lo, double hi, double previousStart, double nextEnd,
                                             double previousBPM, double nextBPM, double fs) {
    const double beatP = 60.0 / previousBPM;
    const double beatN = 60.0 / nextBPM;
    const double referenceBeats = std::max(tuning.referenceBeatsShort, tuning.referenceBeatsLong);
    const double previousSpanEnd =
        std::fmax(previousStart + tuning.referenceBeatsShort * beatP, lo - tuning.referenceGapSeconds);
    const double previousSpanLength =
        std::fmin(referenceBeats * 60.0 / std::fmax(previousBPM, 1.0), tuning.referenceMaxSeconds);
    const double previousSpanStart = std::fmax(previousSpanEnd - previousSpanLength, previousStart);
    const double nextSpanStart = std::fmin(hi + tuning.referenceGapSeconds, nextEnd - tuning.referenceBeatsShort * beatN);
    const double nextSpanLength = std::fmin(referenceBeats * 60.0 / std::fmax(nextBPM, 1.0), tuning.referenceMaxSeconds);
    const double nextSpanEnd = std::fmin(nextSpanStart + nextSpanLength, nextEnd);
    const auto previousFit = SR::fitBeatPhase(envelope, fs, previousBPM, previousSpanStart, previousSpanEnd);
    const auto nextFit = SR::fitBeatPhase(envelope, fs, nextBPM, nextSpanStart, nextSpanEnd);
    if (!previousFit || !nextFit) return std::nullopt;
    return ReferenceGrids{*previousFit, *nextFit};
}

// The scanned time where the previous grid gives way to the next: each candidate time is
// scored by how well each grid fits its own side, how badly it fits the other one, how
// tightly the own-side beats sit, and a little by an onset there. The boundary when no frame
// of first ... last has three beats of each tempo on its side.
double bestChangeTime(std::span<const double> envelope, const ORVTempoTrackingTuning& tuning,
                      const ReferenceGrids& grids, double boundary, std::int64_t first, std::int64_t last,
                      double previousStart, double nextEnd, double beatP, double beatN, double fs) {
    const double previousLook = std::fmin(std::max(tuning.referenceBeatsShort, 8.0) * beatP, tuning.referenceMaxSeconds);
    const double nextLook = std::fmin(std::max(tuning.referenceBeatsShort, 8.0) * beatN, tuning.referenceMaxSeconds);
    const auto n = static_cast<std::int64_t>(envelope.size());
    const std::int64_t step = std::max<std::int64_t>(frameOf(tuning.boundaryScanStepSeconds, fs), 1);
    double best = boundary;
    double bestValue = -kInfinity;
    for (std::int64_t k = first; k <= last; k += step) {
        const double time = static_cast<double>(k) * fs;
        const double left = std::fmax(time - previousLook, previousStart);
        const double right = std::fmin(time + nextLook, nextEnd);
        if (!(time - left >= 3 * beatP && right - time >= 3 * beatN)) continue;
        const auto a = SR::evaluateBeatGrid(envelope, grids.previous, fs, left, time, 0.1);
        const auto b = SR::evaluateBeatGrid(envelope, grids.next, fs, time, right, 0.1);
        const auto c = SR::evaluateBeatGrid(envelope, grids.next, fs, left, time, 0.1);
        const auto d = SR::evaluateBeatGrid(envelope, grids.previous, fs, time, right, 0.1);
        const auto looseness = [](const ORVBeatGridEvaluation& e) {
            return std::isfinite(e.medianErrorSeconds) ? std::fmin(e.medianErrorSeconds / 0.05, 1.0) : 1.0;
        };
        double peak = 0;
        for (std::int64_t j = std::max<std::int64_t>(k - 2, 0); j <= std::min(k + 2, n - 1); ++j) {
            peak = std::fmax(peak, at(envelope, j));
        }
        const double onset = 0.025 * std::fmin(std::fmax(peak, 0.0), 1.0);
        const double value = 0.58 * (a.score + b.score) - 0.3 * (c.score + d.score) + 0.1 * (a.hitRatio + b.hitRatio) -
                             0.08 * (looseness(a) + looseness(b)) + onset;
        if (value > bestValue) {
            bestValue = value;
            best = time;
        }
    }
    return best;
}

// The new grid's first beat at or after the change, when it follows within about a beat and
// has an onset close by: that onset.
std::optional<double> snappedOntoNewBeat(std::span<const double> envelope, const ORVTempoTrackingTuning& tuning,
                                         const ORVBeatPhaseFit& next, double best, double beatN, double fs) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    const double period = 60.0 / next.bpm;
    const double beat = next.grid().firstFrom(best - 1e-9 * period);
    if (!(best - fs <= beat && beat - best <= 1.05 * beatN)) return std::nullopt;
    const double radius = std::fmin(std::fmax(0.16 * period, 1.5 * fs), tuning.onsetSnapMaxSeconds);
    const std::int64_t c = frameOf(beat, fs);
    const std::int64_t r = std::max<std::int64_t>(frameOf(radius, fs), 1);
    if (const auto peak = strongestPeak(envelope, std::max<std::int64_t>(c - r, 1), std::min(c + r, n - 2), 0.24)) {
        return static_cast<double>(*peak) * fs;
    }
    return std::nullopt;
}

// A clear onset close to the change, the nearest of the strong ones.
std::optional<double> snappedOntoOnset(std::span<const double> envelope, const ORVTempoTrackingTuning& tuning,
                                       double best, double beatP, double beatN, double fs) {
    const auto n = static_cast<std::int64_t>(envelope.size());
    const double width =
        std::fmin(std::fmax(std::fmin(beatP, beatN) * tuning.onsetSnapFraction, fs), tuning.onsetSnapMaxSeconds);
    const std::int64_t c = frameOf(best, fs);
    const std::int64_t r = std::max<std::int64_t>(frameOf(width, fs), 1);
    const std::int64_t from = std::max<std::int64_t>(c - r, 1);
    const std::int64_t to = std::min(c + r, n - 2);
    double strongest = 0;
    for (std::int64_t k = from; k <= to; ++k) strongest = std::fmax(strongest, at(envelope, k));
    if (strongest >= 0.18) {
        if (const auto peak = nearestPeak(envelope, from, to, c, std::fmax(0.62 * strongest, 0.18))) {
            return static_cast<double>(*peak) * fs;
        }
    }
    return std::nullopt;
}

}  // namespace

double ORVAnalyzerSectionRefinement::refineBoundary(std::span<const double> envelope,
                                                    const ORVTempoTrackingTuning& tuning, double boundary, double lo,
                                                    double hi, double previousStart, double nextEnd,
                                                    double previousBPM, double nextBPM, double frameSeconds,
                                                    double durationSeconds) {
    const double fs = frameSeconds;
    const double beatP = 60.0 / previousBPM;
    const double beatN = 60.0 / nextBPM;
    lo = std::fmax(lo, 0.0);
    hi = std::fmin(hi, durationSeconds);
    if (!(hi > lo)) return boundary;

    const auto grids = referenceGrids(envelope, tuning, lo, hi, previousStart, nextEnd, previousBPM, nextBPM, fs);
    if (!grids) return boundary;
    const auto n = static_cast<std::int64_t>(envelope.size());
    const std::int64_t first = std::max<std::int64_t>(frameOf(lo, fs), 1);
    const std::int64_t last = std::min(n - 2, frameOf(hi, fs));
    if (first >= last) return boundary;

    const double best =
        bestChangeTime(envelope, tuning, *grids, boundary, first, last, previousStart, nextEnd, beatP, beatN, fs);
    if (const auto onBeat = snappedOntoNewBeat(envelope, tuning, grids->next, best, beatN, fs)) return *onBeat;
    if (const auto onOnset = snappedOntoOnset(envelope, tuning, best, beatP, beatN, fs)) return *onOnset;
    return best;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerSectionRefinement::refineSections(
    std::span<const ORVDetectedTempoSection> sections, std::span<const ORVLocalTempoObservation> observations,
    std::span<const double> envelope, std::optional<std::span<const double>> accent,
    const ORVTempoTrackingTuning& tuning, double frameSeconds, double durationSeconds) {
    std::vector<Section> refined(sections.begin(), sections.end());
    if (refined.size() < 2 || envelope.size() < 64 || !isFinitePositive(frameSeconds)) return refined;
    const std::span<const double> scored = accent && accent->size() == envelope.size() ? *accent : envelope;

    std::vector<Observation> ordered(observations.begin(), observations.end());
    std::stable_sort(ordered.begin(), ordered.end(), [](const Observation& a, const Observation& b) {
        if (std::isnan(a.centerSeconds)) return false;
        if (std::isnan(b.centerSeconds)) return true;
        return a.centerSeconds < b.centerSeconds;
    });
    const auto family = [&ordered](double bpm) {
        std::vector<Observation> members;
        for (const auto& o : ordered) {
            if (o.bpm > 0 && ORVAnalyzerTempoRelations::relativeTempoDifference(o.bpm, bpm) <= kFamilyTolerance) {
                members.push_back(o);
            }
        }
        return members;
    };

    for (std::size_t i = 1; i < refined.size(); ++i) {
        Section& previous = refined[i - 1];
        Section& next = refined[i];
        if (!(previous.bpm > 0 && next.bpm > 0 && std::abs(previous.bpm - next.bpm) > kSmallestTempoStep)) continue;
        const double boundary = next.startSeconds;
        const auto previousFamily = family(previous.bpm);
        const auto nextFamily = family(next.bpm);

        std::optional<Observation> anchor;
        for (const auto& o : nextFamily) {
            if (o.centerSeconds >= boundary - tuning.shortWindowSeconds) {
                anchor = o;
                break;
            }
        }
        const auto before = lastFamilyObservation(anchor, previousFamily, boundary);

        // Search around the boundary, widened to reach the last window that still heard the
        // old tempo and the first that heard the new one.
        const double h = std::fmax(0.5 * tuning.shortWindowSeconds, 0.5);
        const double pad = tuning.boundaryPaddingSeconds;
        double lo = boundary - h - pad;
        double hi = boundary + h + pad;
        if (anchor) {
            lo = std::fmin(lo, anchor->centerSeconds - h - pad);
            hi = std::fmax(hi, anchor->centerSeconds + 0.35 * h + pad);
        }
        if (before) {
            lo = std::fmin(lo, before->centerSeconds - h - pad);
            hi = std::fmax(hi, before->centerSeconds + h + pad);
        }
        lo = std::fmax(lo, 0.0);
        hi = std::fmin(hi, durationSeconds);
        if (hi - lo > tuning.maxBoundaryWindowSeconds) {
            lo = std::fmax(boundary - tuning.maxBoundaryWindowSeconds / 2, 0.0);
            hi = std::fmin(boundary + tuning.maxBoundaryWindowSeconds / 2, durationSeconds);
        }
        if (lo > hi) hi = lo;

        double moved = refineBoundary(scored, tuning, boundary, lo, hi, previous.startSeconds, next.endSeconds,
                                      previous.bpm, next.bpm, frameSeconds, durationSeconds);
        moved = std::fmin(std::fmax(moved, previous.startSeconds + kBoundaryInset), next.endSeconds - kBoundaryInset);
        previous.endSeconds = moved;
        next.startSeconds = moved;
    }
    return refined;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerSectionRefinement::refineSectionTempos(
    std::span<const ORVDetectedTempoSection> sections, std::span<const double> envelope, double frameSeconds,
    double marginBeats) {
    std::vector<Section> refined(sections.begin(), sections.end());
    const double fs = frameSeconds;
    if (refined.empty() || envelope.empty() || !(fs > 0)) return refined;
    const auto n = static_cast<std::int64_t>(envelope.size());
    for (Section& section : refined) {
        if (!(section.bpm > 0)) continue;
        // Keep clear of the boundaries, where the neighbouring tempo may still be heard.
        const double margin = std::clamp(60.0 / section.bpm * marginBeats, 0.5, 2.5);
        const double start = std::fmax(section.startSeconds + margin, 0.0);
        const double end = std::fmin(section.endSeconds - margin, static_cast<double>(n) * fs);
        if (!(end - start >= 15.0)) continue;
        const std::int64_t a = std::max<std::int64_t>(saturatingInt64(std::floor(start / fs)), 0);
        const std::int64_t b = std::min(saturatingInt64(std::ceil(end / fs)), n);
        if (b - a < 256) continue;
        // Windows that reach into a ramp at the section's edge pull its tempo by up to about a
        // percent; the beats themselves still say where it is.
        const double reach = std::fmax(kSectionRefineReach, kSectionRefineShare * section.bpm);
        const auto fit = SetwrightMusicTempoRefiner::refine(
            envelope.subspan(static_cast<std::size_t>(a), static_cast<std::size_t>(b - a)), fs, section.bpm, reach, 0.01);
        if (!fit || !(fit->confidence >= 0.62) ||
            !(std::abs(fit->bpm - section.bpm) <= reach + kSectionRefineSlack)) {
            continue;
        }
        section.bpm = ORVAnalyzerTempoRelations::roundedTempo(fit->bpm);
        section.confidence = std::fmax(std::fmin(fit->confidence, 1.0), section.confidence);
    }
    return refined;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerSectionRefinement::continuousSections(
    std::span<const ORVDetectedTempoSection> sections) {
    std::vector<Section> result(sections.begin(), sections.end());
    for (std::size_t i = 1; i < result.size(); ++i) {
        const double folded = sameOctave(result[i].bpm, result[i - 1].bpm);
        if (ORVAnalyzerTempoRelations::relativeTempoDifference(folded, result[i - 1].bpm) <= kOctaveNeighbourTolerance) {
            result[i].bpm = ORVAnalyzerTempoRelations::roundedTempo(folded);
        }
    }
    for (std::size_t i = 0; result.size() > 1 && i < result.size();) {
        if (result[i].endSeconds - result[i].startSeconds >= kShortestStandingSection &&
            result[i].observationCount >= kFewestStandingObservations) {
            ++i;
            continue;
        }
        // Into the neighbour nearer in tempo; the earlier one on a tie.
        const bool intoPrevious =
            i + 1 == result.size() ||
            (i > 0 && ORVAnalyzerTempoRelations::relativeTempoDifference(result[i - 1].bpm, result[i].bpm) <=
                          ORVAnalyzerTempoRelations::relativeTempoDifference(result[i + 1].bpm, result[i].bpm));
        if (intoPrevious) {
            result[i - 1].endSeconds = result[i].endSeconds;
            result[i - 1].observationCount += result[i].observationCount;
        } else {
            result[i + 1].startSeconds = result[i].startSeconds;
            result[i + 1].observationCount += result[i].observationCount;
        }
        result.erase(result.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return ORVAnalyzerSectionDetection::mergeAdjacentSections(result);
}

void ORVAnalyzerSectionRefinement::takeEvidenceOf(ORVDetectedTempoSection& merged,
                                                  std::span<const ORVDetectedTempoSection> run) {
    double confidence = 0;
    std::int64_t observations = 0;
    for (const auto& s : run) {
        confidence += s.confidence;
        observations += s.observationCount;
    }
    merged.confidence = run.empty() ? 0.0 : confidence / static_cast<double>(run.size());
    merged.observationCount = observations;
}

std::vector<ORVDetectedTempoSection> ORVAnalyzerSectionRefinement::rampSections(
    std::span<const ORVDetectedTempoSection> sections, std::span<const ORVLocalTempoObservation> observations) {
    std::vector<Section> result;
    if (sections.empty()) return {};
    std::vector<Observation> usable;
    for (const auto& o : observations) {
        if (std::isfinite(o.centerSeconds) && isFinitePositive(o.bpm) &&
            o.confidence >= kUsableObservationConfidence) {
            usable.push_back(o);
        }
    }
    std::stable_sort(usable.begin(), usable.end(),
                     [](const Observation& a, const Observation& b) { return a.centerSeconds < b.centerSeconds; });
    const auto smoothed = ORVAnalyzerSectionDetection::smoothObservations(usable);
    const std::vector<Section> split = splitDriftingEnds(sections, smoothed);
    sections = split;

    for (std::size_t i = 0; i < sections.size();) {
        // The longest run from section i on that a line explains better than its steps.
        std::size_t last = i;
        std::optional<TempoLine> line;
        const double direction =
            i + 1 < sections.size() ? sameOctave(sections[i + 1].bpm, sections[i].bpm) - sections[i].bpm : 0.0;
        for (std::size_t j = i; j < sections.size() && (j == i || continuesRamp(sections[j - 1], sections[j], direction));
             ++j) {
            if (const auto fitted = rampLine(sections, i, j, smoothed)) {
                last = j;
                line = fitted;
            }
        }
        if (!line) {
            result.push_back(sections[i]);
            ++i;
            continue;
        }

        Section ramp = sections[i];
        ramp.endSeconds = sections[last].endSeconds;
        ramp.linearToNext = true;
        takeEvidenceOf(ramp, sections.subspan(i, last - i + 1));
        ramp.bpm = ORVAnalyzerTempoRelations::roundedTempo(line->at(ramp.startSeconds));
        const double end = ramp.endSeconds;
        const bool joins = last + 1 < sections.size() &&
                           ORVAnalyzerTempoRelations::relativeTempoDifference(line->at(end), sections[last + 1].bpm) <=
                               kRampJoinTolerance;
        if (joins) {
            result.push_back(ramp);
        } else {
            // Stop on a short constant stretch at the tempo the line reaches in its middle.
            const double tail = std::clamp(kRampTailTolerance * line->at(end) / std::abs(line->slope), kRampTailShortest,
                                           std::fmax((end - ramp.startSeconds) / 2, kRampTailShortest));
            Section stop = ramp;
            ramp.endSeconds = std::fmax(end - tail, ramp.startSeconds);
            stop.startSeconds = ramp.endSeconds;
            stop.linearToNext = false;
            stop.bpm = ORVAnalyzerTempoRelations::roundedTempo(line->at((stop.startSeconds + end) / 2));
            result.push_back(ramp);
            result.push_back(stop);
        }
        i = last + 1;
    }
    return result;
}

std::optional<ORVRampPlacement> ORVAnalyzerSectionRefinement::fitRampToOnsets(std::span<const double> envelope,
                                                                             double frameSeconds,
                                                                             const ORVRampPlacement& ramp,
                                                                             double earliestStart, double latestStart,
                                                                             double latestEnd) {
    const double fs = frameSeconds;
    if (!isFinitePositive(fs) || envelope.size() < 8 || !isFinitePositive(ramp.beforeBPM) ||
        !isFinitePositive(ramp.startBPM) || !isFinitePositive(ramp.endBPM) ||
        !(ramp.endSeconds - ramp.startSeconds >= kRampShortest) || !std::isfinite(ramp.anchorBeat)) {
        return std::nullopt;
    }
    const double lastFrame = static_cast<double>(envelope.size() - 1) * fs;
    latestEnd = std::fmin(latestEnd, lastFrame);
    const auto beats = followBeats(envelope, fs, ramp, std::fmin(latestEnd + kRampFollowPast, lastFrame));
    const auto given = rampMiss(beats, ramp, {});
    double weights = 0;
    for (const auto& beat : beats) weights += beat.weight;
    if (!std::isfinite(given.cost) || !(given.cost > weights * kRampFitSettled * kRampFitSettled)) return std::nullopt;

    ORVRampPlacement best = ramp;
    double bestCost = kRampFitGain * given.cost;
    bool found = false;
    const double firstStart = std::fmax(earliestStart, ramp.startSeconds - kRampFitReach);
    // The tempo before may move when the map counts some of its beats before the ramp.
    const bool fitBefore = ramp.anchorBeat < firstStart;
    const double lastStart = std::fmin(latestStart, ramp.startSeconds + kRampFitReach);
    const auto startSteps = static_cast<std::int64_t>(std::floor((lastStart - firstStart) / kRampFitStep + 1e-9));
    for (std::int64_t i = 0; i <= startSteps; ++i) {
        ORVRampPlacement trial = ramp;
        trial.startSeconds = firstStart + static_cast<double>(i) * kRampFitStep;
        const double firstEnd = std::fmax(trial.startSeconds + kRampShortest, ramp.endSeconds - kRampFitReach);
        const auto endSteps = static_cast<std::int64_t>(std::floor((latestEnd - firstEnd) / kRampFitStep + 1e-9));
        for (std::int64_t j = 0; j <= endSteps; ++j) {
            trial.endSeconds = firstEnd + static_cast<double>(j) * kRampFitStep;
            const auto miss = rampMiss(beats, trial, {.before = fitBefore, .start = true});
            const auto& fitted = miss.fitted;
            const bool plausible = fitted.startBPM * kRampStartRatio >= ramp.startBPM &&
                                   fitted.startBPM <= kRampStartRatio * ramp.startBPM &&
                                   std::abs(fitted.beforeBPM - ramp.beforeBPM) <= kBeforeBendLimit * ramp.beforeBPM;
            if (plausible && miss.cost < bestCost) {
                bestCost = miss.cost;
                best = fitted;
                found = true;
            }
        }
    }
    if (!found) return std::nullopt;
    return best;
}

namespace {

// A slowing end lasts at least this long and slows by at least this share (as a ramp the tempo
// windows show).
constexpr double kSlowingEndShortest = kRampLeastSeconds;
constexpr double kSlowingEndLeastChange = kRampLeastChange;
// It ends at most this long after its latest start, and the beats are followed and met this far
// past its latest end.
constexpr double kSlowingEndLongest = 30.0;
constexpr double kSlowingEndFollowPast = kRampFollowPast;
// Its start and end are looked for in steps of this many seconds first, then of kRampFitStep.
constexpr double kSlowingCoarseStep = 0.5;

}  // namespace

std::optional<ORVRampPlacement> ORVAnalyzerSectionRefinement::fitSlowingEnd(std::span<const double> envelope,
                                                                           double frameSeconds,
                                                                           std::span<const ORVDetectedTempoSection> map,
                                                                           double anchorBeat, double earliestStart,
                                                                           double latestStart, double latestEnd) {
    const double fs = frameSeconds;
    if (!isFinitePositive(fs) || envelope.size() < 8 || map.size() < 2 || !std::isfinite(anchorBeat) ||
        !(earliestStart <= latestStart) || !std::all_of(map.begin(), map.end(), [](const Section& s) {
            return isFinitePositive(s.bpm) && std::isfinite(s.startSeconds);
        })) {
        return std::nullopt;
    }
    latestEnd = std::fmin(latestEnd, latestStart + kSlowingEndLongest);
    const double lastFrame =
        std::fmin(static_cast<double>(envelope.size() - 1) * fs, latestEnd + kSlowingEndFollowPast);
    latestEnd = std::fmin(latestEnd, lastFrame);
    // The steady tempo is the one the map holds at the earliest start.
    std::size_t steady = 0;
    while (steady + 1 < map.size() && map[steady + 1].startSeconds <= earliestStart) ++steady;
    const double steadyBPM = map[steady].bpm;
    double slowest = steadyBPM;
    for (std::size_t i = steady + 1; i < map.size(); ++i) slowest = std::fmin(slowest, map[i].bpm);
    if (!(slowest < steadyBPM)) return std::nullopt;

    // How well a map's own beats from the anchor meet the onsets, a listener's timing apart.
    const auto meets = [&](const auto& tempoAt) {
        double sum = 0;
        for (double t = anchorBeat; t <= lastFrame;) {
            const double period = 60.0 / tempoAt(t);
            if (const auto onset = onsetNear(envelope, fs, t, std::fmin(period, kStepReachSeconds / kFollowReach))) {
                const double d = (onset->seconds - t) / kStepTimingSeconds;
                sum += onset->weight * std::exp(-0.5 * d * d);
            }
            t += 60.0 / tempoAt(t + 0.5 * period);
        }
        return sum;
    };
    struct Reading {
        std::optional<ORVRampPlacement> placement;
        std::vector<FollowedBeat> beats;
        double cost = kInfinity;
        double meets = 0;
    };
    // The beats followed along a guess, a straight slowing from the steady section's end to the
    // end of the music, then along the slowing fitted to those beats, and that fit.
    const auto readAlong = [&](double guessedEnd) {
        Reading reading;
        ORVRampPlacement guess{anchorBeat, steadyBPM, std::fmax(map[steady].endSeconds, earliestStart), latestEnd,
                               steadyBPM, guessedEnd};
        if (!(guess.endSeconds - guess.startSeconds >= kRampShortest)) return reading;
        for (int pass = 0; pass < 2; ++pass) {
            reading.beats = followBeats(envelope, fs, reading.placement ? *reading.placement : guess, lastFrame);
            reading.placement.reset();
            reading.cost = kInfinity;
            // Start and end on a coarse grid first, then finely around the best pair.
            const auto search = [&](double firstStart, double lastStart, double lastEnd, double step,
                                    std::optional<double> around) {
                const auto startSteps = static_cast<std::int64_t>(std::floor((lastStart - firstStart) / step + 1e-9));
                for (std::int64_t i = 0; i <= startSteps; ++i) {
                    const double t0 = firstStart + static_cast<double>(i) * step;
                    const double firstEnd = around ? std::fmax(t0 + kSlowingEndShortest, *around - kSlowingCoarseStep)
                                                   : t0 + kSlowingEndShortest;
                    const double endLimit = around ? std::fmin(lastEnd, *around + kSlowingCoarseStep) : lastEnd;
                    const auto endSteps = static_cast<std::int64_t>(std::floor((endLimit - firstEnd) / step + 1e-9));
                    for (std::int64_t j = 0; j <= endSteps; ++j) {
                        const double t1 = firstEnd + static_cast<double>(j) * step;
                        // The steady tempo holds up to the slowing and starts it; its end is fitted.
                        const auto fit = rampMiss(
                            reading.beats, ORVRampPlacement{anchorBeat, steadyBPM, t0, t1, steadyBPM, steadyBPM},
                            {.end = true});
                        if (!(fit.cost < reading.cost) || !(fit.fitted.endBPM > 0) ||
                            !(fit.fitted.endBPM <= (1 - kSlowingEndLeastChange) * steadyBPM)) {
                            continue;
                        }
                        reading.cost = fit.cost;
                        reading.placement = fit.fitted;
                    }
                }
            };
            search(earliestStart, latestStart, latestEnd, kSlowingCoarseStep, std::nullopt);
            if (reading.placement) {
                const ORVRampPlacement coarse = *reading.placement;
                search(std::fmax(earliestStart, coarse.startSeconds - kSlowingCoarseStep),
                       std::fmin(latestStart, coarse.startSeconds + kSlowingCoarseStep), latestEnd, kRampFitStep,
                       coarse.endSeconds);
            }
            if (!reading.placement) return reading;
        }
        const auto& r = *reading.placement;
        reading.meets = meets([&r](double t) { return rampTempoAt(r, t); });
        return reading;
    };
    // The slowest tempo the map reaches and a few others are guessed (a follower led too far
    // off the beat takes the notes between); the fit whose own beats meet the onsets best wins.
    Reading chosen;
    for (const double guessedEnd : {slowest, 0.9 * steadyBPM, 0.8 * steadyBPM, 0.7 * steadyBPM, 0.6 * steadyBPM}) {
        if (!(guessedEnd <= slowest)) continue;
        Reading reading = readAlong(guessedEnd);
        if (reading.placement && (!chosen.placement || reading.meets > chosen.meets)) chosen = std::move(reading);
    }
    if (!chosen.placement) return std::nullopt;
    const auto& beats = chosen.beats;
    const auto& best = chosen.placement;
    const double bestCost = chosen.cost;
    // The map as it stands, on the same beats, counted on its quarter axis (the first section
    // reaches back to the start, the axis runs on to the last beat followed).
    std::vector<BeatloomTempoPoint> points;
    for (std::size_t i = 0; i < map.size(); ++i) {
        points.push_back(BeatloomTempoPoint{.timeSeconds = i > 0 ? map[i].startSeconds : 0.0,
                                            .bpm = map[i].bpm,
                                            .linearToNext = map[i].linearToNext});
    }
    const auto earlier = [](const FollowedBeat& a, const FollowedBeat& b) { return a.seconds < b.seconds; };
    const auto last = std::max_element(beats.begin(), beats.end(), earlier);
    const auto axis = BeatloomTimeline::segments(points, std::fmax(last->seconds, anchorBeat));
    const double zero = BeatloomTimeline::quarterPosition(axis, anchorBeat);
    double given = 0;
    for (std::size_t k = 0; k < beats.size(); ++k) {
        const double error =
            BeatloomTimeline::quarterPosition(axis, beats[k].seconds) - zero - static_cast<double>(k);
        given += beats[k].weight * std::fmin(error * error, kRampFitErrorCap * kRampFitErrorCap);
    }
    const double givenMeets = meets([&points, steadyBPM](double t) { return bpmAt(points, t, steadyBPM); });
    // The ramp's own beats must also meet the music better than the map's: a follower led
    // through a step by a slowing guess misses a few beats there that the step map meets.
    if (!(bestCost < kRampFitGain * given) || !(chosen.meets > givenMeets + kStepClearMargin)) {
        return std::nullopt;
    }
    return best;
}

std::optional<double> ORVAnalyzerSectionRefinement::firstBeatOfStep(std::span<const double> envelope,
                                                                    double frameSeconds, double oldBPM, double newBPM,
                                                                    double change, double previousStart,
                                                                    double nextEnd) {
    const double fs = frameSeconds;
    if (!isFinitePositive(fs) || envelope.size() < 8 || !isFinitePositive(oldBPM) || !isFinitePositive(newBPM) ||
        !std::isfinite(change)) {
        return std::nullopt;
    }
    const double oldPeriod = 60.0 / oldBPM;
    const double newPeriod = 60.0 / newBPM;
    const auto n = static_cast<std::int64_t>(envelope.size());
    // How well onsets meet beats at t + i x period, i = from ... to (i != 0), and how many do;
    // nothing when one of those beats lies outside the two sections.
    const auto meet = [&](double t, double period, int from, int to) {
        double sum = 0;
        int met = 0;
        for (int i = from; i <= to; ++i) {
            const double beat = t + i * period;
            // Every beat judged lies within the two sections.
            if (!(beat >= previousStart && beat <= nextEnd)) return std::pair{0.0, 0};
            const auto onset = onsetNear(envelope, fs, beat, std::fmin(period, kStepReachSeconds / kFollowReach));
            if (!onset) continue;
            const double d = (onset->seconds - beat) / kStepTimingSeconds;
            sum += onset->weight * std::exp(-0.5 * d * d);
            ++met;
        }
        return std::pair{sum, met};
    };
    const double longer = std::fmax(oldPeriod, newPeriod);
    const int reachBeats =
        longer < kCloseStepRatio * std::fmin(oldPeriod, newPeriod) ? kCloseStepReachBeats : kStepReachBeats;
    const std::int64_t reach = frameOf(reachBeats * longer, fs);
    const std::int64_t c = frameOf(change, fs);
    std::optional<double> best;
    double bestValue = 0;
    for (std::int64_t k = std::max<std::int64_t>(c - reach, 1); k <= std::min(c + reach, n - 2); ++k) {
        if (!(at(envelope, k) >= kFollowLeastOnset) || !isLocalPeak(envelope, k)) continue;
        const auto onset = onsetNear(envelope, fs, static_cast<double>(k) * fs, fs);
        if (!onset) continue;
        const auto before = meet(onset->seconds, oldPeriod, -kStepJudgedBeats, -1);
        const auto after = meet(onset->seconds, newPeriod, 1, kStepJudgedBeats);
        if (before.second < kStepLeastMet || after.second < kStepLeastMet) continue;
        // A step shows: the new tempo's beats meet the music after the onset clearly better
        // than the old tempo's continued, and the old ones before it better than the new ones.
        if (!(after.first > meet(onset->seconds, oldPeriod, 1, kStepJudgedBeats).first + kStepClearMargin) ||
            !(before.first > meet(onset->seconds, newPeriod, -kStepJudgedBeats, -1).first + kStepClearMargin)) {
            continue;
        }
        const double value = before.first + after.first + onset->weight;
        if (value > bestValue) {
            bestValue = value;
            best = onset->seconds;
        }
    }
    return best;
}

}  // namespace corvel::analysis
