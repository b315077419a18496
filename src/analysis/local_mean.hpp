#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace corvel::analysis {

// The mean of the envelope over frames k - radius ... k + radius (cut at both ends) for every
// frame k, from running sums. The radius must lie in 0 ... the envelope's length.
inline std::vector<double> localMeans(std::span<const double> envelope, std::int64_t radius) {
    const std::size_t n = envelope.size();
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t j = 0; j < n; ++j) prefix[j + 1] = prefix[j] + envelope[j];
    std::vector<double> means(n);
    const auto last = static_cast<std::int64_t>(n) - 1;
    for (std::int64_t k = 0; k <= last; ++k) {
        const std::int64_t lo = std::max<std::int64_t>(k - radius, 0);
        const std::int64_t hi = std::min<std::int64_t>(k + radius, last);
        means[static_cast<std::size_t>(k)] =
            (prefix[static_cast<std::size_t>(hi + 1)] - prefix[static_cast<std::size_t>(lo)]) /
            static_cast<double>(hi - lo + 1);
    }
    return means;
}

}  // namespace corvel::analysis
