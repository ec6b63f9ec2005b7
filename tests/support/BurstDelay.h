#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace qortest {

// The lag at which out best matches the burst in[at, at + length), searched up to maxLag.
inline long BurstDelay(const std::vector<float>& in, const std::vector<float>& out, size_t at,
                       size_t length, long maxLag) {
  long best = -1;
  double bestValue = 0.0;
  for (long lag = 0; lag <= maxLag; ++lag) {
    double sum = 0.0;
    for (size_t n = at; n < at + length && n + lag < out.size(); ++n) sum += in[n] * out[n + lag];
    if (std::fabs(sum) > bestValue) {
      bestValue = std::fabs(sum);
      best = lag;
    }
  }
  return best;
}

}  // namespace qortest
