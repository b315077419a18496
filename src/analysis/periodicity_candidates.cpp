#include "analysis/periodicity_candidates.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "analysis/music_analyzer.hpp"
#include "analysis/vector_units.hpp"
#include "common/numeric.hpp"
#include "common/ordering.hpp"

namespace corvel::analysis {

namespace {

using A = ORVAudioMusicAnalyzer;
using Candidate = ORVAnalyzerPeriodicity::InternalCandidate;
using Member = ORVAnalyzerPeriodicity::ClusterMember;

// Beat periods of 320 to 40 BPM.
constexpr double kShortestBeatSeconds = 0.1875;
constexpr double kLongestBeatSeconds = 1.5;
// Fewer overlapping frames than this give no autocorrelation worth reading.
constexpr std::int64_t kMinimumOverlapFrames = 17;
constexpr double kMinimumAutocorrelation = 0.015;
constexpr std::size_t kStrongestLagCount = 36;
constexpr std::size_t kEnvelopeCandidateLimit = 7;
constexpr double kDistinctTempo = 0.012;

constexpr std::size_t kMinimumEnvelopeFrames = 96;
// A pulse whose tempo moves still repeats over this much of the envelope, give or take this
// much per onset.
constexpr double kPulseWindowSeconds = 8.0;
constexpr double kPulseDriftSeconds = 0.025;
constexpr std::size_t kCandidatesPerFeature = 5;
constexpr double kClusterTolerance = 0.022;
constexpr double kRelatedTolerance = 0.025;
constexpr double kRelatedScoreSlack = 0.14;
constexpr std::size_t kConsensusCandidateLimit = 10;
constexpr double kOrderTolerance = 1e-6;
// What the envelope searches running at once may hold beside their envelopes: each holds
// about this many copies of its envelope (the centred values, then the phase maxima in their
// place).
constexpr std::size_t kSearchScratchBudgetBytes = std::size_t{24} << 20;
constexpr std::size_t kSearchScratchCopies = 1;

double clamp01(double value) { return clampOr(value, 0.0, 1.0, 0.0); }

// Two (and, where the processor has the wider vectors, four) doubles side by side: each lane
// is plain IEEE double arithmetic, so a sum carried in a lane is bit for bit the scalar sum.
using DoublePair = double __attribute__((vector_size(16)));

// The sums of c[i] x c[i + lag] and c[i + lag]^2 over i = 0 ... shared - 1, in that order, of
// the lags first, first + 1, ... side by side, four vectors of them: eight lags in pairs,
// sixteen in vectors of four.
template <typename Vector>
[[gnu::always_inline]] inline void sumSharedLags(const double* c, std::int64_t first, std::int64_t shared, double* ab,
                                                 double* bb) {
    constexpr std::int64_t kLanes = sizeof(Vector) / sizeof(double);
    Vector ab0{}, ab1{}, ab2{}, ab3{}, bb0{}, bb1{}, bb2{}, bb3{};
    for (std::int64_t i = 0; i < shared; ++i) {
        Vector a;
        for (std::int64_t lane = 0; lane < kLanes; ++lane) a[lane] = c[i];
        const double* b = c + i + first;
        Vector b0, b1, b2, b3;
        std::memcpy(&b0, b, sizeof b0);
        std::memcpy(&b1, b + kLanes, sizeof b1);
        std::memcpy(&b2, b + 2 * kLanes, sizeof b2);
        std::memcpy(&b3, b + 3 * kLanes, sizeof b3);
        ab0 += a * b0;
        ab1 += a * b1;
        ab2 += a * b2;
        ab3 += a * b3;
        bb0 += b0 * b0;
        bb1 += b1 * b1;
        bb2 += b2 * b2;
        bb3 += b3 * b3;
    }
    const Vector sums[] = {ab0, ab1, ab2, ab3, bb0, bb1, bb2, bb3};
    for (std::int64_t k = 0; k < 4 * kLanes; ++k) {
        ab[k] = sums[k / kLanes][k % kLanes];
        bb[k] = sums[4 + k / kLanes][k % kLanes];
    }
}

#ifdef CORVEL_AUDIO_AVX2_PATHS
using DoubleQuad = double __attribute__((vector_size(32)));
constexpr std::int64_t kWideLagGroup = 16;

__attribute__((target("avx2"))) void sumSharedLagsWide(const double* c, std::int64_t first, std::int64_t shared,
                                                       double* ab, double* bb) {
    sumSharedLags<DoubleQuad>(c, first, shared, ab, bb);
}
#endif

// Normalised autocorrelation of the envelope (mean removed) at lags minLag ... maxLag; the
// table has maxLag + 2 entries so that the neighbours of every examined lag can be read.
// Every lag's three sums run over its frames in ascending order, as written plainly; to make
// that cheap, the sums of eight neighbouring lags are carried side by side through one pass
// over the frames (sixteen, in wider vectors, where the processor has them), and the sum of
// the leading squares, the same for every lag up to its own
// overlap, is read off one running total. The centred values are made in `scratch`, whose
// room the caller may use again.
std::vector<double> autocorrelationTable(std::span<const double> envelope, std::int64_t minLag, std::int64_t maxLag,
                                         std::vector<double>& scratch) {
    constexpr std::int64_t kGroup = 8;
    const auto n = static_cast<std::int64_t>(envelope.size());
    std::vector<double> acf(static_cast<std::size_t>(maxLag + 2), 0.0);
    double sum = 0;
    for (const double v : envelope) sum += v;
    const double mean = sum / static_cast<double>(n);
    std::vector<double>& centred = scratch;
    centred.resize(envelope.size());
    for (std::size_t i = 0; i < envelope.size(); ++i) centred[i] = envelope[i] - mean;
    const double* c = centred.data();
    // Fewer overlapping frames than the minimum give no value: the lags end at lastLag.
    const std::int64_t lastLag = std::min(maxLag, n - kMinimumOverlapFrames);
    if (lastLag < minLag) return acf;

    // leadingSquares[k - shortestOverlap] = c[0]^2 + ... + c[k - 1]^2, added in that order, for
    // the overlaps k of the lags.
    const std::int64_t shortestOverlap = n - lastLag;
    const std::int64_t longestOverlap = n - minLag;
    std::vector<double> leadingSquares(static_cast<std::size_t>(longestOverlap - shortestOverlap + 1));
    double running = 0;
    for (std::int64_t i = 0; i <= longestOverlap; ++i) {
        if (i >= shortestOverlap) leadingSquares[static_cast<std::size_t>(i - shortestOverlap)] = running;
        if (i < n) running += c[i] * c[i];
    }
    // Lags first ... first + lags - 1 have summed their products over frames 0 ... shared - 1:
    // each adds its own remaining frames, in order, and takes its value.
    const auto finishLags = [&](std::int64_t first, std::int64_t lags, std::int64_t shared, double* ab, double* bb) {
        for (std::int64_t k = 0; k < lags; ++k) {
            const std::int64_t lag = first + k;
            const std::int64_t overlap = n - lag;
            for (std::int64_t i = shared; i < overlap; ++i) {
                const double a = c[i];
                const double b = c[i + lag];
                ab[k] += a * b;
                bb[k] += b * b;
            }
            const double aa = leadingSquares[static_cast<std::size_t>(overlap - shortestOverlap)];
            acf[static_cast<std::size_t>(lag)] = ab[k] / std::max(std::sqrt(aa * bb[k]), 1e-12);
        }
    };
    std::int64_t first = minLag;
#ifdef CORVEL_AUDIO_AVX2_PATHS
    if (processorHasAvx2()) {
        for (; first + kWideLagGroup - 1 <= lastLag; first += kWideLagGroup) {
            double ab[kWideLagGroup];
            double bb[kWideLagGroup];
            const std::int64_t shared = n - (first + kWideLagGroup - 1);
            sumSharedLagsWide(c, first, shared, ab, bb);
            finishLags(first, kWideLagGroup, shared, ab, bb);
        }
    }
#endif
    for (; first <= lastLag; first += kGroup) {
        const std::int64_t lags = std::min(kGroup, lastLag - first + 1);
        double ab[kGroup] = {};
        double bb[kGroup] = {};
        // Frames that every lag of the group overlaps.
        const std::int64_t shared = lags == kGroup ? n - (first + kGroup - 1) : 0;
        if (lags == kGroup) sumSharedLags<DoublePair>(c, first, shared, ab, bb);
        finishLags(first, lags, shared, ab, bb);
    }
    return acf;
}

// The local maxima of the table that reach the floor, together with the strongest lags
// overall; ascending, each lag once.
std::vector<std::int64_t> lagsToExamine(const std::vector<double>& acf, std::int64_t minLag, std::int64_t maxLag) {
    const auto at = [&acf](std::int64_t lag) { return acf[static_cast<std::size_t>(lag)]; };
    std::vector<bool> chosen(acf.size(), false);
    for (std::int64_t lag = minLag + 1; lag < maxLag; ++lag) {
        if (at(lag) >= kMinimumAutocorrelation && at(lag - 1) <= at(lag) && at(lag + 1) <= at(lag)) {
            chosen[static_cast<std::size_t>(lag)] = true;
        }
    }
    std::vector<std::int64_t> byStrength(static_cast<std::size_t>(maxLag - minLag + 1));
    std::iota(byStrength.begin(), byStrength.end(), minLag);
    std::stable_sort(byStrength.begin(), byStrength.end(),
                     [&at](std::int64_t a, std::int64_t b) { return at(a) > at(b); });
    for (std::size_t i = 0; i < std::min(kStrongestLagCount, byStrength.size()); ++i) {
        chosen[static_cast<std::size_t>(byStrength[i])] = true;
    }
    std::vector<std::int64_t> lags;
    for (std::int64_t lag = minLag; lag <= maxLag; ++lag) {
        if (chosen[static_cast<std::size_t>(lag)]) lags.push_back(lag);
    }
    return lags;
}

// Keeps the candidates in their order while each is distinct from those kept, up to limit.
std::vector<Candidate> distinctTempi(const std::vector<Candidate>& ranked, std::size_t limit) {
    std::vector<Candidate> kept;
    for (const Candidate& candidate : ranked) {
        if (kept.size() >= limit) break;
        if (A::isDistinctTempo(kept, candidate)) kept.push_back(candidate);
    }
    return kept;
}

double clusterCentre(const std::vector<Member>& members) {
    std::vector<ORVWeightedValue> pairs;
    pairs.reserve(members.size());
    for (const Member& member : members) {
        pairs.push_back({member.candidate.bpm, std::fmax(member.candidate.score, 0.05)});
    }
    return A::weightedMedian(pairs);
}

// Gathers the first candidates of every feature into clusters of one tempo, at most one
// member per feature; clusters keep their order of creation.
std::vector<std::vector<Member>> clusterCandidates(const std::vector<std::vector<Candidate>>& perFeature) {
    std::vector<std::vector<Member>> clusters;
    for (std::size_t feature = 0; feature < perFeature.size(); ++feature) {
        const auto& candidates = perFeature[feature];
        const std::size_t count = std::min(kCandidatesPerFeature, candidates.size());
        for (std::size_t c = 0; c < count; ++c) {
            const Candidate& candidate = candidates[c];
            std::optional<std::size_t> nearest;
            double nearestDifference = 0;
            for (std::size_t k = 0; k < clusters.size(); ++k) {
                const double difference = A::relativeTempoDifference(clusterCentre(clusters[k]), candidate.bpm);
                if (difference <= kClusterTolerance && (!nearest || difference < nearestDifference)) {
                    nearest = k;
                    nearestDifference = difference;
                }
            }
            const Member member{static_cast<std::int64_t>(feature), candidate};
            if (!nearest) {
                clusters.push_back({member});
                continue;
            }
            auto& cluster = clusters[*nearest];
            const bool featurePresent = std::any_of(cluster.begin(), cluster.end(), [&](const Member& m) {
                return m.feature == member.feature;
            });
            if (!featurePresent) cluster.push_back(member);
        }
    }
    return clusters;
}

Candidate consensusOf(const std::vector<Member>& cluster, std::size_t featureCount, double frameSeconds) {
    const double centre = clusterCentre(cluster);

    // One voice per feature: its best member.
    std::vector<std::int64_t> features;
    for (const Member& member : cluster) {
        if (std::find(features.begin(), features.end(), member.feature) == features.end()) {
            features.push_back(member.feature);
        }
    }
    double score = 0, autocorrelation = 0, gridFit = 0, pulse = 0;
    for (const std::int64_t feature : features) {
        std::vector<Member> group;
        for (const Member& member : cluster) {
            if (member.feature == feature) group.push_back(member);
        }
        const Candidate best = A::bestMember(group)->candidate;
        score += best.score;
        autocorrelation += best.autocorrelation;
        gridFit += best.gridFit;
        pulse += best.pulseCompleteness;
    }
    const auto voices = static_cast<double>(features.size());

    const std::size_t m = cluster.size();
    const double agreement = static_cast<double>(m) / static_cast<double>(featureCount);
    const double base = clamp01(0.62 * (score / voices) + 0.38 * agreement);
    double finalScore = m >= 3 ? std::min(base + 0.06, 1.0) : base;
    // A tempo that only one of many features hears is most likely that feature's artefact.
    if (m == 1 && featureCount >= 4) finalScore = base * 0.76;

    Candidate candidate;
    candidate.bpm = centre;
    candidate.periodFrames = 60.0 / (std::fmax(centre, 1.0) * frameSeconds);
    candidate.autocorrelation = autocorrelation / voices;
    candidate.gridFit = gridFit / voices;
    candidate.pulseCompleteness = pulse / voices;
    candidate.score = finalScore;
    candidate.agreement = agreement;
    return candidate;
}

std::vector<std::size_t> indicesByScore(const std::vector<Candidate>& candidates) {
    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return candidates[a].score > candidates[b].score; });
    return order;
}

bool tempoInSearchRange(double bpm) { return std::isfinite(bpm) && bpm >= 40 && bpm <= 320; }

// Score first; scores within 1e-6 fall to agreement (again 1e-6), then to the faster tempo.
bool ranksBefore(const Candidate& a, const Candidate& b) {
    if (std::abs(a.score - b.score) > kOrderTolerance) return a.score > b.score;
    if (std::abs(a.agreement - b.agreement) > kOrderTolerance) return a.agreement > b.agreement;
    return a.bpm > b.bpm;
}

}  // namespace

std::vector<ORVAnalyzerPeriodicity::InternalCandidate> ORVAnalyzerPeriodicity::envelopeCandidates(
    std::span<const double> envelope, double frameSeconds) {
    if (!(frameSeconds > 0) || !std::isfinite(frameSeconds)) return {};
    const auto n = static_cast<std::int64_t>(envelope.size());
    const std::int64_t minLag = std::max<std::int64_t>(saturatingInt64(kShortestBeatSeconds / frameSeconds), 2);
    const std::int64_t maxLag = std::min(n / 3, saturatingInt64(kLongestBeatSeconds / frameSeconds));
    if (minLag >= maxLag - 2) return {};

    // One buffer of the envelope's length holds the centred values, then the phase maxima.
    std::vector<double> scratch;
    scratch.reserve(envelope.size() + 1);
    const std::vector<double> acf = autocorrelationTable(envelope, minLag, maxLag, scratch);
    const auto peaks = A::onsetPeakFrames(envelope);
    if (peaks.size() < 4) return {};

    const auto table = [&acf](std::int64_t i) {
        return i >= 0 && i < static_cast<std::int64_t>(acf.size()) ? std::fmax(acf[static_cast<std::size_t>(i)], 0.0)
                                                                    : 0.0;
    };

    A::beatPhaseMaxima(envelope, scratch);
    const std::vector<double>& phaseMaxima = scratch;
    std::vector<Candidate> candidates;
    for (const std::int64_t lag : lagsToExamine(acf, minLag, maxLag)) {
        const double here = acf[static_cast<std::size_t>(lag)];
        if (!(here >= kMinimumAutocorrelation)) continue;
        const double before = acf[static_cast<std::size_t>(lag - 1)];
        const double after = acf[static_cast<std::size_t>(lag + 1)];
        // The peak of the parabola through the lag and its neighbours.
        double period = static_cast<double>(lag);
        const double curvature = before - 2.0 * here + after;
        if (std::abs(curvature) > 1e-9) {
            period += clampOr(0.5 * (before - after) / curvature, -0.5, 0.5, 0.0);
        }
        const double bpm = 60.0 / (std::fmax(period, 1.0) * frameSeconds);
        if (!(bpm >= 39.5 && bpm <= 320.5)) continue;

        const double phase = A::bestBeatPhaseOfMaxima(phaseMaxima, period);
        const auto [gridFit, pulse] = A::gridScores(peaks, envelope, period, phase);
        const double harmonic = 0.6 * table(roundedInt64(period)) +
                                0.4 * std::fmax(table(roundedInt64(period / 2.0)), table(roundedInt64(2.0 * period)));

        Candidate candidate;
        candidate.bpm = bpm;
        candidate.periodFrames = period;
        candidate.autocorrelation = here;
        candidate.gridFit = gridFit;
        candidate.pulseCompleteness = pulse;
        candidate.score = clamp01(0.38 * here + 0.42 * gridFit + 0.2 * clamp01(harmonic));
        candidates.push_back(candidate);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    return distinctTempi(candidates, kEnvelopeCandidateLimit);
}

std::vector<ORVAnalyzerPeriodicity::InternalCandidate> ORVAnalyzerPeriodicity::consensusCandidates(
    std::span<const std::vector<double>> envelopes, bool resolveMetricalRelations, double frameSeconds,
    const ORVWorkerPool& pool) {
    std::vector<std::span<const double>> views(envelopes.begin(), envelopes.end());
    return consensusCandidates(std::span<const std::span<const double>>(views), resolveMetricalRelations,
                               frameSeconds, pool);
}

std::vector<ORVAnalyzerPeriodicity::InternalCandidate> ORVAnalyzerPeriodicity::consensusCandidates(
    std::span<const std::span<const double>> envelopes, bool resolveMetricalRelations, double frameSeconds,
    const ORVWorkerPool& pool) {
    std::vector<std::span<const double>> usable;
    for (const auto& envelope : envelopes) {
        double largest = 0;
        for (const double v : envelope) largest = std::fmax(largest, v);
        if (envelope.size() >= kMinimumEnvelopeFrames && largest > 1e-6) usable.push_back(envelope);
    }
    if (usable.empty()) return {};

    // Each search holds a few copies of its envelope while it runs: long envelopes are searched
    // no more at once than keeps those within the budget.
    const std::size_t longest =
        std::max_element(usable.begin(), usable.end(), [](const auto& a, const auto& b) { return a.size() < b.size(); })
            ->size();
    const std::size_t affordable =
        std::max<std::size_t>(kSearchScratchBudgetBytes / (kSearchScratchCopies * sizeof(double) * longest), 1);
    const ORVWorkerPool searchPool(std::min(pool.threadCount(), affordable));
    std::vector<std::vector<Candidate>> perEnvelope(usable.size());
    searchPool.forEachIndex(usable.size(),
                            [&](std::size_t i) { perEnvelope[i] = envelopeCandidates(usable[i], frameSeconds); });
    std::vector<std::vector<Candidate>> perFeature;
    for (auto& candidates : perEnvelope) {
        if (!candidates.empty()) perFeature.push_back(std::move(candidates));
    }
    if (perFeature.empty()) return {};

    std::vector<Candidate> candidates;
    for (const auto& cluster : clusterCandidates(perFeature)) {
        candidates.push_back(consensusOf(cluster, perFeature.size(), frameSeconds));
    }

    // Accents are measured only where they can still change the ranking.
    const std::int64_t perWindow = ORVTempoTrackingTuning::shared().candidatesPerWindow;
    const auto accentCount = static_cast<std::size_t>(std::max<std::int64_t>(perWindow + 4, 12));
    const auto order = indicesByScore(candidates);
    const std::span<const double> accentEnvelope = usable.back();
    const std::vector<double> accentMaxima = A::beatPhaseMaxima(accentEnvelope);
    for (std::size_t r = 0; r < std::min(accentCount, order.size()); ++r) {
        Candidate& candidate = candidates[order[r]];
        candidate.accentRecurrence = A::measureAccentRecurrence(accentEnvelope, accentMaxima, candidate.periodFrames);
    }

    if (resolveMetricalRelations) ORVAnalyzerPeriodicity::resolveMetricalRelations(candidates);
    return rankedDistinctTempi(std::move(candidates));
}

// Moves score from a tempo to its double or its faster three-to-two relative when the
// relative's accents recur more clearly. Both passes decide on the candidates as they come
// in; their changes add up on the working scores.
void ORVAnalyzerPeriodicity::resolveMetricalRelations(std::vector<InternalCandidate>& candidates) {
    const std::size_t count = candidates.size();
    std::vector<double> scores(count);
    for (std::size_t i = 0; i < count; ++i) scores[i] = candidates[i].score;

    const auto apply = [&scores](const std::vector<bool>& demoted, const std::vector<bool>& promoted, double loss) {
        for (std::size_t i = 0; i < scores.size(); ++i) {
            if (demoted[i]) scores[i] = std::fmax(scores[i] - loss, 0.0);
        }
        for (std::size_t i = 0; i < scores.size(); ++i) {
            if (promoted[i]) scores[i] = clamp01(scores[i] + 0.05);
        }
    };

    std::vector<bool> demoted(count, false), promoted(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        const InternalCandidate& slower = candidates[i];
        const double target = 2.0 * slower.bpm;
        if (!tempoInSearchRange(target)) continue;
        const auto j = A::findRelatedCandidate(0, count, i, candidates, slower, target);
        if (!j) continue;
        const InternalCandidate& faster = candidates[*j];
        const double margin = faster.agreement >= 0.66 ? 0.02 : 0.035;
        if (faster.accentRecurrence >= slower.accentRecurrence + margin) {
            demoted[i] = true;
            promoted[*j] = true;
        }
    }
    apply(demoted, promoted, 0.2);

    std::fill(demoted.begin(), demoted.end(), false);
    std::fill(promoted.begin(), promoted.end(), false);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < count; ++j) {
            const InternalCandidate& slower = candidates[i];
            const InternalCandidate& faster = candidates[j];
            if (i == j || !(slower.bpm < faster.bpm) || !tempoInSearchRange(faster.bpm)) continue;
            if (!A::isThreeToTwo(slower.bpm, faster.bpm)) continue;
            if (faster.score >= slower.score - kRelatedScoreSlack &&
                faster.accentRecurrence >= slower.accentRecurrence + 0.04) {
                demoted[i] = true;
                promoted[j] = true;
            }
        }
    }
    apply(demoted, promoted, 0.14);
    for (std::size_t i = 0; i < count; ++i) candidates[i].score = scores[i];
}

std::vector<ORVAnalyzerPeriodicity::InternalCandidate> ORVAnalyzerPeriodicity::rankedDistinctTempi(
    std::vector<InternalCandidate> candidates) {
    stableInsertionSort(candidates, ranksBefore);
    return distinctTempi(candidates, kConsensusCandidateLimit);
}

double ORVAnalyzerPeriodicity::pulseSignificance(std::span<const InternalCandidate> candidates, std::size_t frames) {
    double clearest = 0;
    for (const InternalCandidate& candidate : candidates) clearest = std::fmax(clearest, candidate.autocorrelation);
    return clearest * std::sqrt(static_cast<double>(frames));
}

double ORVAnalyzerPeriodicity::windowedPulseSignificance(std::span<const double> envelope, double frameSeconds) {
    if (!(frameSeconds > 0) || !std::isfinite(frameSeconds)) return 0;
    const auto n = static_cast<std::int64_t>(envelope.size());
    const std::int64_t length = std::min(saturatingInt64(kPulseWindowSeconds / frameSeconds), n);
    const std::int64_t minLag = std::max<std::int64_t>(saturatingInt64(kShortestBeatSeconds / frameSeconds), 2);
    const std::int64_t maxLag = std::min(length / 3, saturatingInt64(kLongestBeatSeconds / frameSeconds));
    const std::int64_t reach = std::max<std::int64_t>(saturatingInt64(kPulseDriftSeconds / frameSeconds), 1);
    if (minLag >= maxLag - 2 || 2 * reach >= minLag) return 0;
    // Each frame holds the sum of its neighbourhood: onsets that drift a little off a strict
    // period, as they do when the tempo moves within the window, still meet at one lag.
    std::vector<double> widened(envelope.size(), 0.0);
    for (std::int64_t k = 0; k < n; ++k) {
        for (std::int64_t j = std::max<std::int64_t>(k - reach, 0); j <= std::min(k + reach, n - 1); ++j) {
            widened[static_cast<std::size_t>(k)] += envelope[static_cast<std::size_t>(j)];
        }
    }
    std::vector<double> clarity;
    std::vector<double> scratch;
    for (std::int64_t begin = 0; begin + length <= n; begin += std::max<std::int64_t>(length / 2, 1)) {
        const auto window =
            std::span<const double>(widened).subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(length));
        if (std::all_of(window.begin(), window.end(), [&](double v) { return v == window.front(); })) continue;
        const std::vector<double> acf = autocorrelationTable(window, 1, maxLag, scratch);
        const auto at = [&acf](std::int64_t lag) { return acf[static_cast<std::size_t>(lag)]; };
        // By chance a lag's autocorrelation spreads the more, the more the envelope resembles
        // itself over the width of an onset (Bartlett's formula).
        double spread = 1;
        for (std::int64_t lag = 1; lag <= 2 * reach; ++lag) spread += 2 * at(lag) * at(lag);
        double clearest = 0;
        for (std::int64_t lag = minLag + 1; lag < maxLag; ++lag) {
            if (at(lag) >= at(lag - 1) && at(lag) >= at(lag + 1)) {
                clearest = std::fmax(clearest, at(lag) * std::sqrt(static_cast<double>(length - lag) / spread));
            }
        }
        clarity.push_back(clearest);
    }
    if (clarity.empty()) return 0;
    const auto quartile = clarity.begin() + static_cast<std::ptrdiff_t>(clarity.size() * 3 / 4);
    std::nth_element(clarity.begin(), quartile, clarity.end());
    return *quartile;
}

std::optional<std::size_t> ORVAnalyzerPeriodicity::findRelatedCandidate(std::size_t begin, std::size_t end,
                                                                        std::size_t skip,
                                                                        std::span<const InternalCandidate> candidates,
                                                                        const InternalCandidate& reference,
                                                                        double targetBpm) {
    end = std::min(end, candidates.size());
    for (std::size_t i = begin; i < end; ++i) {
        if (i == skip) continue;
        const InternalCandidate& candidate = candidates[i];
        if (A::relativeTempoDifference(candidate.bpm, targetBpm) <= kRelatedTolerance &&
            candidate.score >= reference.score - kRelatedScoreSlack) {
            return i;
        }
    }
    return std::nullopt;
}

bool ORVAnalyzerPeriodicity::isDistinctTempo(std::span<const InternalCandidate> kept,
                                             const InternalCandidate& candidate) {
    return std::none_of(kept.begin(), kept.end(), [&](const InternalCandidate& k) {
        return A::relativeTempoDifference(k.bpm, candidate.bpm) <= kDistinctTempo;
    });
}

std::optional<ORVAnalyzerPeriodicity::ClusterMember> ORVAnalyzerPeriodicity::bestMember(
    std::span<const ClusterMember> members) {
    if (members.empty()) return std::nullopt;
    const ClusterMember* best = &members.front();
    for (const ClusterMember& member : members) {
        if (member.candidate.score > best->candidate.score) best = &member;
    }
    return *best;
}

}  // namespace corvel::analysis
