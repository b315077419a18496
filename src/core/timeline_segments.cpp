#include "core/timeline_segments.hpp"

#include <cmath>

#include "common/numeric.hpp"
#include "core/meter_map.hpp"
#include "core/tempo_points.hpp"

namespace corvel {

std::int64_t floorDivide(std::int64_t dividend, std::int64_t divisor) {
    const std::int64_t b = divisor < 1 ? 1 : divisor;
    // Truncating division, stepped down when it rounded a negative quotient up. With b >= 1
    // nothing can overflow.
    std::int64_t quotient = dividend / b;
    if (dividend % b != 0 && dividend < 0) --quotient;
    return quotient;
}

}  // namespace corvel

namespace corvel::BeatloomTimeline {
namespace {

constexpr double kSpanEpsilon = 1e-12;
constexpr double kRootSlack = 1e-9;
constexpr double kMeterTolerance = 1e-6;

// A BPM the axis can run at: at least 1, and 1 for NaN or infinity.
double usableBPM(double bpm) {
    if (!std::isfinite(bpm)) return 1.0;
    return bpm < 1.0 ? 1.0 : bpm;
}

// A time raised to 0 (NaN too) and lowered to the duration.
double clampedTime(double time, double duration) {
    if (!(time >= 0)) return 0.0;
    return time > duration ? duration : time;
}

}  // namespace

std::vector<Segment> segments(const std::vector<BeatloomTempoPoint>& tempoPoints, double duration) {
    const auto points = normalizedTempoPoints(tempoPoints);
    if (points.empty() || !(duration >= 0)) return {};

    std::vector<Segment> result;
    result.reserve(points.size());
    double quarter = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const auto& point = points[i];
        const bool hasNext = i + 1 < points.size();
        double start = clampedTime(point.timeSeconds, duration);
        // A point whose time cannot be ordered (NaN sorts last) must not reach back and count
        // the same stretch of audio twice: it starts where the previous segment ended.
        if (!result.empty() && start < result.back().endTime) start = result.back().endTime;
        double end = duration;
        if (hasNext) {
            const double next = points[i + 1].timeSeconds;
            end = clampedTime(next > start ? next : start, duration);
        }
        const double b0 = usableBPM(point.bpm);
        double b1 = b0;
        bool linear = false;
        double dq = 0;
        if (hasNext && point.linearToNext && start + kSpanEpsilon < end) {
            b1 = usableBPM(points[i + 1].bpm);
            linear = true;
            dq = (end - start) * (0.5 * b0 + 0.5 * b1) / 60.0;
        } else if (end - start > 0) {
            dq = (end - start) * b0 / 60.0;
        }
        result.push_back(Segment{start, end, b0, b1, linear, quarter, quarter + dq});
        quarter += dq;
    }
    return result;
}

double quarterPosition(const std::vector<Segment>& segments, double seconds) {
    if (segments.empty()) return 0;
    const Segment& first = segments.front();
    if (seconds <= first.startTime) {
        return first.startQuarter + (seconds - first.startTime) * usableBPM(first.startBPM) / 60.0;
    }
    for (const Segment& segment : segments) {
        if (!(segment.endTime + kSpanEpsilon >= seconds)) continue;
        double dt = seconds - segment.startTime;
        if (dt < 0) return segment.startQuarter;
        const double length = segment.endTime - segment.startTime;
        if (dt > length) dt = length;
        if (dt <= 0) return segment.startQuarter;
        if (segment.linear && segment.startTime < segment.endTime) {
            const double slope = (segment.endBPM - segment.startBPM) / length;
            return segment.startQuarter + (segment.startBPM * dt + 0.5 * slope * dt * dt) / 60.0;
        }
        return segment.startQuarter + segment.startBPM * dt / 60.0;
    }
    // Past the end of the audio (or NaN): positions do not grow any further.
    return segments.back().endQuarter;
}

std::optional<double> seconds(const std::vector<Segment>& segments, double quarterPosition) {
    if (segments.empty()) return std::nullopt;
    const double q = quarterPosition;
    const Segment& first = segments.front();
    const Segment& last = segments.back();

    const auto finite = [](double time) -> std::optional<double> {
        if (!std::isfinite(time)) return std::nullopt;
        return time;
    };

    if (q <= first.startQuarter + kSpanEpsilon) {
        return finite(first.startTime + (q - first.startQuarter) * 60.0 / usableBPM(first.startBPM));
    }
    if (q >= last.endQuarter - kSpanEpsilon) return finite(last.endTime);

    for (const Segment& segment : segments) {
        if (!(segment.endQuarter + kSpanEpsilon >= q)) continue;
        const double dq = q - segment.startQuarter;
        if (dq <= 0) return segment.startTime;
        if (segment.linear) {
            const double length = segment.endTime - segment.startTime;
            if (length <= kSpanEpsilon) return segment.startTime;
            const double slope = (segment.endBPM - segment.startBPM) / length;
            if (slope != 0 && std::isfinite(slope)) {
                // (slope / 2) dt^2 + startBPM dt - 60 dq = 0. The root that continues the
                // segment is written as 2c / (b + sqrt(b^2 + 4ac)): unlike (sqrt(...) - b) / 2a
                // it does not cancel when the slope is small, and it turns into the
                // constant-tempo answer as the slope goes to 0.
                const double b = segment.startBPM;
                const double c = 60.0 * dq;
                const double discriminant = b * b + 2.0 * slope * c;
                const double root = std::sqrt(discriminant > 0 ? discriminant : 0.0);
                const double candidates[] = {2.0 * c / (b + root), (-b - root) / slope};
                for (const double dt : candidates) {
                    if (std::isfinite(dt) && dt >= -kRootSlack && dt <= length + kRootSlack) {
                        const double time = segment.startTime + dt;
                        if (time < segment.startTime) return segment.startTime;
                        return time > segment.endTime ? segment.endTime : time;
                    }
                }
                return std::nullopt;
            }
        }
        const double time = segment.startTime + dq * 60.0 / usableBPM(segment.startBPM);
        return time > segment.endTime ? segment.endTime : time;
    }
    return std::nullopt;
}

MeterRule meterRule(std::int64_t numerator, std::int64_t denominator) {
    const std::int64_t beats = numerator < 1 ? 1 : numerator;
    if (denominator == 8) {
        if (numerator >= 6 && numerator % 3 == 0) return MeterRule{1.5, numerator / 3};
        return MeterRule{0.5, beats};
    }
    if (denominator < 1) return MeterRule{4.0, beats};
    return MeterRule{4.0 / static_cast<double>(denominator), beats};
}

MeterRule meterRule(const BeatloomMeterEvent& meter) { return meterRule(meter.numerator, meter.denominator); }

BeatloomMusicalPosition countedOn(const BeatloomMusicalPosition& from, std::int64_t beatsAway,
                                  std::int64_t beatsPerBar) {
    const std::int64_t perBar = beatsPerBar < 1 ? 1 : beatsPerBar;
    const std::int64_t index = saturatingAdd(saturatingAdd(from.beat, -1), beatsAway);
    const std::int64_t remainder = index % perBar;
    const std::int64_t beatInBar = remainder < 0 ? remainder + perBar : remainder;
    return {saturatingAdd(from.bar, floorDivide(index, perBar)), beatInBar + 1, 0.0};
}

BeatloomMusicalPosition countedPosition(const BeatloomMusicalPosition& from, double beats, std::int64_t beatsPerBar,
                                        double guard) {
    const double whole = std::floor(beats + guard);
    auto position = countedOn(from, saturatingInt64(whole), beatsPerBar);
    position.fractionOfBeat = clampOr(beats - whole, 0.0, kLargestBeatFraction, 0.0);
    return position;
}

BeatloomMeterEvent meterInForceAmongNormalized(const std::vector<BeatloomMeterEvent>& normalizedMeterEvents,
                                               double seconds) {
    if (normalizedMeterEvents.empty()) return BeatloomMeterEvent{};
    const double t = seconds >= 0 ? seconds : 0.0;
    const BeatloomMeterEvent* current = &normalizedMeterEvents.front();
    for (const auto& event : normalizedMeterEvents) {
        if (event.timeSeconds <= t + kMeterTolerance) current = &event;
    }
    return *current;
}

BeatloomMeterEvent meterInForce(const std::vector<BeatloomMeterEvent>& meterEvents, double duration,
                                double seconds) {
    return meterInForceAmongNormalized(normalizedMeterEvents(meterEvents, duration), seconds);
}

}  // namespace corvel::BeatloomTimeline
