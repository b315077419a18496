#include "core/grid_fitter.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "common/numeric.hpp"
#include "common/ordering.hpp"

namespace corvel::BeatloomGridFitter {
namespace {

constexpr double kSamePositionQuarters = 1e-9;
constexpr double kDegenerateSpread = 1e-12;
constexpr int kIterations = 6;
constexpr double kMADToSigma = 1.4826;
constexpr double kHuberScale = 1.75;
constexpr double kHuberFloorSeconds = 0.004;
constexpr double kMinimumRobustScaleSeconds = 0.0015;
constexpr double kOutlierScale = 3.75;
constexpr double kOutlierFloorSeconds = 0.012;
constexpr double kQuestionableScale = 2.25;
constexpr double kQuestionableFloorSeconds = 0.006;

double priorWeight(const BeatloomGridFitAnchor& anchor) {
    double weight = anchor.source == BeatloomGridFitAnchorSource::manual ? 1.0 : 0.55;
    if (anchor.isDownbeat) weight *= 1.25;
    if (anchor.isLocked) weight *= 1.35;
    return weight;
}

bool samePosition(double a, double b) { return std::fabs(a - b) < kSamePositionQuarters; }

std::vector<double> residuals(const std::vector<BeatloomGridFitAnchor>& prepared, const Line& line) {
    std::vector<double> result;
    result.reserve(prepared.size());
    for (const auto& anchor : prepared) {
        result.push_back(anchor.timeSeconds - (line.interceptSeconds + line.secondsPerQuarter * anchor.quarterPosition));
    }
    return result;
}

// Median of the residuals and median absolute deviation from it.
std::pair<double, double> centreAndMAD(const std::vector<double>& values) {
    const double centre = median(values);
    std::vector<double> deviations;
    deviations.reserve(values.size());
    for (double value : values) deviations.push_back(std::fabs(value - centre));
    return {centre, median(std::move(deviations))};
}

bool isUsableSlope(double slope) { return std::isfinite(slope) && slope > 0; }

}  // namespace

std::vector<BeatloomGridFitAnchor> preparedAnchors(const std::vector<BeatloomGridFitAnchor>& anchors) {
    std::vector<BeatloomGridFitAnchor> usable;
    usable.reserve(anchors.size());
    for (const auto& anchor : anchors) {
        if (std::isfinite(anchor.quarterPosition) && std::isfinite(anchor.timeSeconds) && anchor.timeSeconds >= 0) {
            usable.push_back(anchor);
        }
    }
    stableInsertionSort(usable, [](const BeatloomGridFitAnchor& a, const BeatloomGridFitAnchor& b) {
        if (samePosition(a.quarterPosition, b.quarterPosition)) return a.timeSeconds < b.timeSeconds;
        return a.quarterPosition < b.quarterPosition;
    });

    std::vector<BeatloomGridFitAnchor> result;
    result.reserve(usable.size());
    for (auto& anchor : usable) {
        const auto existing = std::find_if(result.begin(), result.end(), [&](const BeatloomGridFitAnchor& kept) {
            return samePosition(kept.quarterPosition, anchor.quarterPosition);
        });
        if (existing == result.end()) {
            result.push_back(std::move(anchor));
        } else if (existing->isLocked && !anchor.isLocked) {
            continue;
        } else {
            *existing = std::move(anchor);
        }
    }
    return result;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    // NaN last keeps the order a strict weak one whatever the input holds.
    std::sort(values.begin(), values.end(), [](double a, double b) {
        if (std::isnan(a)) return false;
        return std::isnan(b) || a < b;
    });
    const std::size_t middle = values.size() / 2;
    if (values.size() % 2 == 1) return values[middle];
    return (values[middle - 1] + values[middle]) / 2;
}

std::optional<double> theilSenSlope(const std::vector<BeatloomGridFitAnchor>& prepared) {
    std::vector<double> slopes;
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        for (std::size_t j = i + 1; j < prepared.size(); ++j) {
            const double dq = prepared[j].quarterPosition - prepared[i].quarterPosition;
            if (!(std::fabs(dq) > kSamePositionQuarters)) continue;
            const double slope = (prepared[j].timeSeconds - prepared[i].timeSeconds) / dq;
            if (isUsableSlope(slope)) slopes.push_back(slope);
        }
    }
    if (slopes.empty()) return std::nullopt;
    return median(std::move(slopes));
}

std::optional<double> fallbackSlope(const std::vector<BeatloomGridFitAnchor>& prepared) {
    const auto line = leastSquaresLine(
        prepared, [](const BeatloomGridFitAnchor& a) { return a.quarterPosition; },
        [](const BeatloomGridFitAnchor& a) { return a.timeSeconds; }, kDegenerateSpread);
    if (!line) return std::nullopt;
    return line->slope;
}

std::optional<Line> weightedLineFit(const std::vector<BeatloomGridFitAnchor>& prepared,
                                    const std::vector<double>& weights) {
    if (prepared.empty() || weights.empty() || prepared.size() != weights.size()) return std::nullopt;
    double total = 0;
    double sumQ = 0;
    double sumT = 0;
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        total += weights[i];
        sumQ += weights[i] * prepared[i].quarterPosition;
        sumT += weights[i] * prepared[i].timeSeconds;
    }
    if (!(total > kDegenerateSpread)) return std::nullopt;
    const double meanQ = sumQ / total;
    const double meanT = sumT / total;
    double sqq = 0;
    double sqt = 0;
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        const double dq = prepared[i].quarterPosition - meanQ;
        sqq += weights[i] * dq * dq;
        sqt += weights[i] * dq * (prepared[i].timeSeconds - meanT);
    }
    if (!(sqq > kDegenerateSpread)) return std::nullopt;
    const double slope = sqt / sqq;
    return Line{meanT - meanQ * slope, slope};
}

std::optional<Fit> fit(const std::vector<BeatloomGridFitAnchor>& anchors) {
    const auto prepared = preparedAnchors(anchors);
    if (prepared.size() < 2) return std::nullopt;

    std::optional<double> initialSlope = theilSenSlope(prepared);
    if (!initialSlope) initialSlope = fallbackSlope(prepared);
    if (!initialSlope || !isUsableSlope(*initialSlope)) return std::nullopt;

    std::vector<double> offsets;
    offsets.reserve(prepared.size());
    for (const auto& anchor : prepared) offsets.push_back(anchor.timeSeconds - *initialSlope * anchor.quarterPosition);
    Line line{median(std::move(offsets)), *initialSlope};

    std::vector<double> weights(prepared.size(), 0.0);
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        const auto current = residuals(prepared, line);
        const auto [centre, mad] = centreAndMAD(current);
        const double huber = std::max(kHuberScale * kMADToSigma * mad, kHuberFloorSeconds);
        for (std::size_t i = 0; i < prepared.size(); ++i) {
            const double deviation = std::fabs(current[i] - centre);
            const double factor = deviation <= huber ? 1.0 : huber / std::max(deviation, kDegenerateSpread);
            weights[i] = priorWeight(prepared[i]) * factor;
        }
        const auto next = weightedLineFit(prepared, weights);
        if (!next) return std::nullopt;
        line = *next;
    }

    if (!isUsableSlope(line.secondsPerQuarter) || !std::isfinite(line.interceptSeconds)) return std::nullopt;
    const double bpm = 60.0 / line.secondsPerQuarter;
    if (!std::isfinite(bpm) || bpm < kMinimumBPM || bpm > kMaximumBPM) return std::nullopt;

    const auto finalResiduals = residuals(prepared, line);
    const auto [centre, mad] = centreAndMAD(finalResiduals);
    const double robustScale = std::max(kMADToSigma * mad, kMinimumRobustScaleSeconds);
    const double outlierLimit = std::max(kOutlierScale * robustScale, kOutlierFloorSeconds);
    const double questionableLimit = std::max(kQuestionableScale * robustScale, kQuestionableFloorSeconds);

    Fit result;
    result.bpm = bpm;
    result.secondsPerQuarter = line.secondsPerQuarter;
    result.interceptSeconds = line.interceptSeconds;
    result.robustScaleSeconds = robustScale;
    result.anchorCount = static_cast<std::int64_t>(prepared.size());
    result.evaluations.reserve(prepared.size());

    double sumSquaresKept = 0;
    double sumSquaresAll = 0;
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        const double residual = finalResiduals[i];
        const double deviation = std::fabs(residual - centre);
        AnchorStatus status = AnchorStatus::good;
        if (deviation >= outlierLimit) {
            status = AnchorStatus::outlier;
        } else if (deviation >= questionableLimit) {
            status = AnchorStatus::questionable;
        }
        result.evaluations.push_back(AnchorEvaluation{prepared[i].id, residual, weights[i], status});
        sumSquaresAll += residual * residual;
        if (status == AnchorStatus::outlier) {
            ++result.outlierCount;
        } else {
            sumSquaresKept += residual * residual;
        }
        result.maxErrorSeconds = std::max(result.maxErrorSeconds, std::fabs(residual));
    }
    const std::int64_t keptCount = result.anchorCount - result.outlierCount;
    result.inlierCount = keptCount;
    result.rmsErrorSeconds = keptCount > 0 ? std::sqrt(sumSquaresKept / static_cast<double>(keptCount))
                                           : std::sqrt(sumSquaresAll / static_cast<double>(result.anchorCount));
    return result;
}

}  // namespace corvel::BeatloomGridFitter
