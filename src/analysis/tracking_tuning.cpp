#include "analysis/tracking_tuning.hpp"

#include <algorithm>
#include <cmath>

namespace corvel::analysis {

namespace {

constexpr double kSamePulseTolerance = 0.035;
constexpr double kRatioTolerance = 0.04;

// max / min of two usable tempi.
double tempoRatio(double a, double b) { return std::max(a, b) / std::min(a, b); }

}  // namespace

const ORVTempoTrackingTuning& ORVTempoTrackingTuning::shared() {
    static const ORVTempoTrackingTuning instance{};
    return instance;
}

std::string_view rawValue(ORVTempoRelation relation) {
    switch (relation) {
        case ORVTempoRelation::same: return "same";
        case ORVTempoRelation::octave: return "octave";
        case ORVTempoRelation::threeToTwo: return "threeToTwo";
        case ORVTempoRelation::unrelated: return "unrelated";
    }
    return "unrelated";
}

double ORVAnalyzerTempoRelations::relativeTempoDifference(double a, double b) {
    return std::abs(a - b) / std::max({std::abs(a), std::abs(b), 1e-9});
}

bool ORVAnalyzerTempoRelations::isUsableTempo(double bpm) { return std::isfinite(bpm) && bpm > 0; }

double ORVAnalyzerTempoRelations::roundedTempo(double bpm) { return std::round(bpm * 20.0) / 20.0; }

ORVTempoRelation ORVAnalyzerTempoRelations::tempoRelation(double a, double b) {
    if (!isUsableTempo(a) || !isUsableTempo(b)) return ORVTempoRelation::unrelated;
    if (relativeTempoDifference(a, b) <= kSamePulseTolerance) return ORVTempoRelation::same;
    const double ratio = tempoRatio(a, b);
    if (std::abs(ratio - 2.0) <= kRatioTolerance) return ORVTempoRelation::octave;
    if (std::abs(ratio - 1.5) <= kRatioTolerance) return ORVTempoRelation::threeToTwo;
    return ORVTempoRelation::unrelated;
}

bool ORVAnalyzerTempoRelations::isMetricalAlias(double a, double b) {
    const ORVTempoRelation relation = tempoRelation(a, b);
    return relation == ORVTempoRelation::octave || relation == ORVTempoRelation::threeToTwo;
}

bool ORVAnalyzerTempoRelations::isThreeToTwo(double a, double b) {
    return isUsableTempo(a) && isUsableTempo(b) && std::abs(tempoRatio(a, b) - 1.5) <= kRatioTolerance;
}

}  // namespace corvel::analysis
