#include "core/tempo_points.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "common/numeric.hpp"
#include "common/ordering.hpp"

namespace corvel {

namespace {

using namespace tempo_limits;

// Index of the last point whose time is at most t + orderTie; the first point when none is.
// The list must not be empty.
std::size_t governingIndex(const TempoPoints& points, double t) {
    std::size_t index = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (points[i].timeSeconds <= t + orderTie) index = i;
    }
    return index;
}

// Linear ramp from the governing point towards its successor, when it ramps over a real span.
double interpolatedBPM(const TempoPoints& points, std::size_t governing, double t) {
    const BeatloomTempoPoint& from = points[governing];
    if (from.linearToNext && governing + 1 < points.size()) {
        const BeatloomTempoPoint& to = points[governing + 1];
        const double span = to.timeSeconds - from.timeSeconds;
        if (span > orderTie) {
            const double fraction = clampOr((t - from.timeSeconds) / span, 0, 1, 1);
            return from.bpm + fraction * (to.bpm - from.bpm);
        }
    }
    return from.bpm;
}

// Walks sorted points, letting a point closer than the merge distance to the last survivor
// replace it whole.
TempoPoints mergedCloseNeighbours(const TempoPoints& sorted) {
    TempoPoints result;
    result.reserve(sorted.size());
    for (const BeatloomTempoPoint& point : sorted) {
        if (!result.empty() && std::abs(result.back().timeSeconds - point.timeSeconds) < mergeDistance) {
            result.back() = point;
        } else {
            result.push_back(point);
        }
    }
    return result;
}

const BeatloomTempoPoint* findPoint(const TempoPoints& points, const Uuid& id) {
    for (const BeatloomTempoPoint& point : points) {
        if (point.id == id) return &point;
    }
    return nullptr;
}

std::optional<std::size_t> indexOf(const TempoPoints& points, const Uuid& id) {
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (points[i].id == id) return i;
    }
    return std::nullopt;
}

BeatloomTempoPoint freshPoint(double time, double bpm, bool ramp) {
    BeatloomTempoPoint point;
    point.id = Uuid::random();
    point.timeSeconds = time;
    point.bpm = bpm;
    point.confidence = 1.0;
    point.linearToNext = ramp;
    return point;
}

// Whether normalizedTempoPoints would hand the list back as it is: already in time order, no
// two points close enough to fall together, starting at 0 and not ramping off the end. Maps
// that came out of an edit are, and reading them then needs no sorted copy.
bool isNormalized(const TempoPoints& points) {
    static_assert(mergeDistance > orderTie, "points a merge distance apart must already be in order");
    if (points.empty() || points.front().timeSeconds != 0 || points.back().linearToNext) return false;
    for (std::size_t i = 1; i < points.size(); ++i) {
        // Written so that a NaN gap fails too.
        if (!(points[i].timeSeconds - points[i - 1].timeSeconds >= mergeDistance)) return false;
    }
    return true;
}

double nanAsZeroMaxWithZero(double value) { return std::isnan(value) ? 0.0 : std::max(value, 0.0); }

}  // namespace

bool isSupportedBPM(double bpm) { return std::isfinite(bpm) && bpm >= minimumBPM && bpm <= maximumBPM; }

bool tempoPointComesBefore(const BeatloomTempoPoint& a, const BeatloomTempoPoint& b) {
    if (std::abs(a.timeSeconds - b.timeSeconds) > orderTie) return a.timeSeconds < b.timeSeconds;
    return a.id < b.id;
}

TempoPoints normalizedTempoPoints(TempoPoints points) {
    if (points.empty()) return points;
    // A NaN time ties with every time in the order and would stop other points from moving
    // past it, so those points wait at the end.
    TempoPoints ordered;
    TempoPoints unordered;
    ordered.reserve(points.size());
    for (BeatloomTempoPoint& point : points) {
        (std::isnan(point.timeSeconds) ? unordered : ordered).push_back(std::move(point));
    }
    stableInsertionSort(ordered, tempoPointComesBefore);
    ordered.insert(ordered.end(), unordered.begin(), unordered.end());
    ordered.front().timeSeconds = 0;
    TempoPoints result = mergedCloseNeighbours(ordered);
    result.front().timeSeconds = 0;
    result.back().linearToNext = false;
    return result;
}

double bpmAt(const TempoPoints& points, double timeSeconds, double fallbackBPM) {
    if (points.empty()) return fallbackBPM;
    const double t = timeSeconds >= 0 ? timeSeconds : 0.0;
    if (isNormalized(points)) return interpolatedBPM(points, governingIndex(points, t), t);
    const TempoPoints map = normalizedTempoPoints(points);
    return interpolatedBPM(map, governingIndex(map, t), t);
}

std::optional<Uuid> governingTempoPointID(const TempoPoints& points, double timeSeconds) {
    const TempoPoints map = normalizedTempoPoints(points);
    if (map.empty()) return std::nullopt;
    return map[governingIndex(map, timeSeconds)].id;
}

std::vector<std::string> tempoMapIssues(const TempoPoints& points, double audioDurationSeconds) {
    const TempoPoints map = normalizedTempoPoints(points);
    if (map.empty()) return {std::string(kTempoIssueEmptyMap)};
    bool bpmOutOfRange = false;
    bool outsideAudio = false;
    bool tooClose = false;
    for (const BeatloomTempoPoint& point : map) {
        if (!isSupportedBPM(point.bpm)) bpmOutOfRange = true;
        const double t = point.timeSeconds;
        if (!std::isfinite(t) || t < -orderTie || t > audioDurationSeconds + orderTie) outsideAudio = true;
    }
    for (std::size_t i = 1; i < map.size(); ++i) {
        if (map[i].timeSeconds - map[i - 1].timeSeconds < tooCloseThreshold) {
            tooClose = true;
            break;
        }
    }
    // Listed in ascending character order.
    std::vector<std::string> issues;
    if (bpmOutOfRange) issues.emplace_back(kTempoIssueBPMOutOfRange);
    if (outsideAudio) issues.emplace_back(kTempoIssueOutsideAudio);
    if (tooClose) issues.emplace_back(kTempoIssueTooClose);
    return issues;
}

std::optional<TempoPoints> settingTempoPointBPM(const TempoPoints& points, const Uuid& id, double bpm) {
    if (!isSupportedBPM(bpm)) return std::nullopt;
    const std::optional<std::size_t> index = indexOf(points, id);
    if (!index) return std::nullopt;
    TempoPoints edited = points;
    edited[*index].bpm = bpm;
    edited[*index].confidence = 1.0;
    return normalizedTempoPoints(std::move(edited));
}

std::optional<TempoPoints> scalingTempoAt(const TempoPoints& points, double timeSeconds, double factor) {
    if (!std::isfinite(factor) || factor <= 0) return std::nullopt;
    const std::optional<Uuid> id = governingTempoPointID(points, timeSeconds);
    if (!id) return std::nullopt;
    const BeatloomTempoPoint* point = findPoint(points, *id);
    if (point == nullptr) return std::nullopt;
    const double scaled = point->bpm * factor;
    if (!isSupportedBPM(scaled)) return std::nullopt;
    return settingTempoPointBPM(points, *id, scaled);
}

std::optional<TempoPoints> movingTempoPoint(const TempoPoints& points, const Uuid& id, double timeSeconds,
                                            double audioDurationSeconds) {
    TempoPoints map = normalizedTempoPoints(points);
    if (map.size() < 2) return std::nullopt;
    const std::optional<std::size_t> index = indexOf(map, id);
    if (!index || *index == 0) return std::nullopt;  // the song-start point never moves
    const std::size_t i = *index;
    const double lower = map[i - 1].timeSeconds + editMargin;
    double upper = lower;
    if (i + 1 < map.size()) {
        upper = map[i + 1].timeSeconds - editMargin;
    } else if (audioDurationSeconds - editMargin >= lower) {
        upper = audioDurationSeconds - editMargin;
    }
    const double requested = std::isnan(timeSeconds) ? lower : std::max(lower, timeSeconds);
    const double newTime = std::min(std::max(lower, upper), requested);
    if (!std::isfinite(newTime)) return std::nullopt;
    map[i].timeSeconds = newTime;
    map[i].confidence = 1.0;
    return normalizedTempoPoints(std::move(map));
}

std::optional<TempoPoints> deletingTempoPoint(const TempoPoints& points, const Uuid& id) {
    TempoPoints map = normalizedTempoPoints(points);
    if (map.size() < 2) return std::nullopt;
    const std::optional<std::size_t> index = indexOf(map, id);
    if (!index || *index == 0) return std::nullopt;
    map.erase(map.begin() + static_cast<std::ptrdiff_t>(*index));
    return normalizedTempoPoints(std::move(map));
}

std::optional<TempoPoints> settingTempoPointRamp(const TempoPoints& points, const Uuid& id, bool on) {
    TempoPoints map = normalizedTempoPoints(points);
    const std::optional<std::size_t> index = indexOf(map, id);
    if (!index) return std::nullopt;
    map[*index].linearToNext = on && *index + 1 < map.size();
    map[*index].confidence = 1.0;
    return normalizedTempoPoints(std::move(map));
}

std::optional<TempoPoints> insertingTempoPoint(const TempoPoints& points, double timeSeconds,
                                               double audioDurationSeconds) {
    TempoPoints map = normalizedTempoPoints(points);
    if (map.empty() || !(audioDurationSeconds > minimumRange)) return std::nullopt;
    double t = std::isnan(timeSeconds) ? editMargin : std::max(timeSeconds, editMargin);
    t = std::min(t, audioDurationSeconds - editMargin);
    if (!std::isfinite(t)) return std::nullopt;  // only reachable with an endless audio
    for (const BeatloomTempoPoint& point : map) {
        if (std::abs(point.timeSeconds - t) < editMargin) return map;
    }
    const std::size_t governing = governingIndex(map, t);
    const bool ramp = map[governing].linearToNext && governing + 1 < map.size();
    map.push_back(freshPoint(t, bpmAt(map, t, map.front().bpm), ramp));
    return normalizedTempoPoints(std::move(map));
}

TempoPoints sanitizedAnalyzerTempoPoints(TempoPoints points) {
    // Filtering before sorting keeps non-finite times from disturbing the order.
    std::erase_if(points, [](const BeatloomTempoPoint& point) {
        return !std::isfinite(point.timeSeconds) || !isSupportedBPM(point.bpm);
    });
    stableInsertionSort(points, tempoPointComesBefore);
    TempoPoints result = mergedCloseNeighbours(points);
    if (!result.empty()) result.back().linearToNext = false;
    return result;
}

double bpmAtSorted(const TempoPoints& points, double timeSeconds, double fallbackBPM) {
    if (points.empty()) return fallbackBPM;
    TempoPoints sorted = points;
    stableInsertionSort(sorted, [](const BeatloomTempoPoint& a, const BeatloomTempoPoint& b) {
        return a.timeSeconds < b.timeSeconds;
    });
    return interpolatedBPM(sorted, governingIndex(sorted, timeSeconds), timeSeconds);
}

// The merged map is, in time order:
//   every old point before s, untouched;
//   when the last of them ramps, a hold point on its ramp at max(s, its time + 0.02) that keeps
//   the ramp's course up to there;
//   the start point with the re-analysed tempo, at s or 0.02 s after the point before it;
//   the re-analysed points more than 0.02 s inside the start point and the end point, the last
//   of them without a ramp since its ramp target was left out;
//   when the audio goes on after e, the end point at e, or 0.02 s before the first old point
//   after e, with the old tempo there and, inside an old ramp, ramping on along it;
//   every old point after e, untouched.
// So the tempo outside [s, e] is the old one, and every new point keeps the edit margin from its
// neighbours; a selection too short to hold the re-analysed tempo between them is refused.
std::optional<TempoPoints> mergingReanalyzedRange(const TempoPoints& points, const TempoPoints& reanalyzed,
                                                  double rangeStartSeconds, double rangeEndSeconds,
                                                  double audioDurationSeconds) {
    const TempoPoints old = normalizedTempoPoints(points);
    const TempoPoints fresh = sanitizedAnalyzerTempoPoints(reanalyzed);
    if (old.empty() || fresh.empty()) return std::nullopt;

    const double d = nanAsZeroMaxWithZero(audioDurationSeconds);
    const double s = std::min(nanAsZeroMaxWithZero(rangeStartSeconds), d);
    const double e = std::min(maxIgnoringNaN(s, rangeEndSeconds), d);
    if (!(e - s >= minimumRange)) return std::nullopt;

    const double fallback = old.front().bpm;

    // The old curve before the selection, whole.
    TempoPoints result;
    result.reserve(old.size() + fresh.size() + 4);
    for (const BeatloomTempoPoint& point : old) {
        if (point.timeSeconds < s - orderTie) result.push_back(point);
    }
    // The re-analysed tempo starts at the selection, but no closer than 0.02 s to the last old
    // point. When that point ramps, a point on its ramp holds the ramp's course up to there, and
    // the re-analysed tempo follows 0.02 s later, inside the selection.
    double freshStart = s;
    if (!result.empty()) {
        freshStart = std::max(s, result.back().timeSeconds + editMargin);
        if (result.back().linearToNext) {
            result.push_back(freshPoint(freshStart, bpmAt(old, freshStart, fallback), false));
            freshStart += editMargin;
        }
    }
    result.push_back(freshPoint(freshStart, bpmAtSorted(fresh, freshStart, fallback), false));

    // After the selection the old points stay, and when the audio goes on past the selection a
    // point resumes the old tempo at its end, or 0.02 s before the first old point after it.
    // It takes the old tempo there and, inside an old ramp, ramps on along it.
    const auto after = std::find_if(old.begin(), old.end(), [&](const BeatloomTempoPoint& p) { return p.timeSeconds > e; });
    std::optional<BeatloomTempoPoint> resume;
    if (e < d - orderTie) {
        const double t = after == old.end() ? e : std::min(e, after->timeSeconds - editMargin);
        resume = freshPoint(t, bpmAt(old, t, fallback), after != old.end() && old[governingIndex(old, t)].linearToNext);
    }
    const double freshEnd = resume ? resume->timeSeconds : e;
    const double nextKept = resume ? resume->timeSeconds : after == old.end() ? freshEnd + editMargin : after->timeSeconds;
    // No room for the re-analysed tempo between the seams.
    if (nextKept - freshStart < tooCloseThreshold) return std::nullopt;

    const std::size_t firstFresh = result.size();
    for (const BeatloomTempoPoint& point : fresh) {
        if (point.timeSeconds > freshStart + editMargin && point.timeSeconds < freshEnd - editMargin) {
            BeatloomTempoPoint kept = point;
            kept.confidence = std::isnan(kept.confidence) ? mergedConfidenceFloor
                                                          : std::max(kept.confidence, mergedConfidenceFloor);
            // The analyser may report changes closer together than the map allows; as in the
            // normal form, the later one of such a run survives.
            if (result.size() > firstFresh && point.timeSeconds - result.back().timeSeconds < editMargin) {
                result.back() = kept;
            } else {
                result.push_back(kept);
            }
        }
    }
    // The kept points are one run of the re-analysed list, so only the last one can have lost
    // its ramp target; it must not ramp into the old tempo at the range end.
    if (result.size() > firstFresh) result.back().linearToNext = false;

    if (resume) result.push_back(*resume);
    result.insert(result.end(), after, old.end());
    return normalizedTempoPoints(std::move(result));
}

}  // namespace corvel
