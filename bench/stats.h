// Figures from samples, shared by the Linux benchmark and the Windows one under Wine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace companion_bench {

// Nearest-rank percentile; NaN for no samples.
inline double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::max<size_t>(rank, 1) - 1];
}

inline double mibPerSecond(size_t bytes, double seconds) { return static_cast<double>(bytes) / (1 << 20) / seconds; }

}  // namespace companion_bench
