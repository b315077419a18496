// The one line that tells the user, while anchors are placed, whether the Grid Fit can be
// applied, at what tempo and how well the anchors agree.

#include <cmath>
#include <string>

#include "common/format.hpp"
#include "session/beatloom_view_model.hpp"

namespace corvel::session {

namespace {

// Applying needs this many anchors that are not outliers.
constexpr std::int64_t kReliableAnchorsNeeded = 4;

}  // namespace

std::string_view BeatloomViewModel::gridFitQualityWord(double rmsMilliseconds) {
    if (rmsMilliseconds < 3) return "Excellent";
    if (rmsMilliseconds < 8) return "Very good";
    if (rmsMilliseconds < 15) return "Good";
    if (rmsMilliseconds < 30) return "Check anchors";
    return "Weak fit";
}

std::string BeatloomViewModel::gridFitStatusText() const {
    const auto& fit = gridFitResult.value();
    if (!fit) {
        return gridFitAnchors.value().empty() ? "Grid Fit ready for anchors."
                                              : "Grid fit: set at least 4 beat lines on transients.";
    }
    std::string suffix;
    if (fit->outlierCount >= 1) {
        suffix = " · " + formatInteger(fit->outlierCount) + (fit->outlierCount == 1 ? " outlier" : " outliers");
    }
    const std::string bpm = formatFixed(std::round(fit->bpm * 10) / 10, 1);
    if (fit->inlierCount >= kReliableAnchorsNeeded) {
        const double rmsMilliseconds = fit->rmsErrorSeconds * 1000;
        return "Grid fit ready: " + bpm + " BPM · " + std::string(gridFitQualityWord(rmsMilliseconds)) + " · ±" +
               formatFixed(rmsMilliseconds, 1) + " ms RMS" + suffix;
    }
    return "Grid fit needs 4 reliable anchors · " + bpm + " BPM preview" + suffix;
}

}  // namespace corvel::session
