#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

namespace corvel::analysis {

// Calls visit(k, mean) for every frame k in turn with the mean of the envelope over frames
// k - radius ... k + radius (cut at both ends), from running sums. By then the frames up to
// k + radius have been read and none after them, never again those up to k: visit may
// overwrite frame k, so that an envelope becomes a function of its local means in place. The
// radius must lie in 0 ... the envelope's length.
template <typename Visit>
void visitLocalMeans(std::span<const double> envelope, std::int64_t radius, Visit&& visit) {
    // The running sums sums[j] = envelope[0] + ... + envelope[j - 1] for the j that frame k
    // reads, k - radius ... k + radius + 1, in a ring: a long envelope needs no second copy
    // of its length.
    const std::size_t ring = std::bit_ceil(static_cast<std::size_t>(2 * radius + 2));
    const std::size_t mask = ring - 1;
    std::vector<double> sums(ring, 0.0);
    std::int64_t summed = 0;
    const auto last = static_cast<std::int64_t>(envelope.size()) - 1;
    for (std::int64_t k = 0; k <= last; ++k) {
        const std::int64_t lo = std::max<std::int64_t>(k - radius, 0);
        const std::int64_t hi = std::min<std::int64_t>(k + radius, last);
        for (; summed <= hi; ++summed) {
            sums[static_cast<std::size_t>(summed + 1) & mask] =
                sums[static_cast<std::size_t>(summed) & mask] + envelope[static_cast<std::size_t>(summed)];
        }
        visit(static_cast<std::size_t>(k),
              (sums[static_cast<std::size_t>(hi + 1) & mask] - sums[static_cast<std::size_t>(lo) & mask]) /
                  static_cast<double>(hi - lo + 1));
    }
}

// The mean of the envelope over frames k - radius ... k + radius (cut at both ends) for every
// frame k. The radius must lie in 0 ... the envelope's length.
inline std::vector<double> localMeans(std::span<const double> envelope, std::int64_t radius) {
    std::vector<double> means(envelope.size());
    visitLocalMeans(envelope, radius, [&means](std::size_t k, double mean) { means[k] = mean; });
    return means;
}

}  // namespace corvel::analysis
