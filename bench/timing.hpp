// Timing on a shared, noisy machine: thread CPU time (the wall clock where the work is on other
// threads or in another process), the variants of a case interleaved round by round with the
// order rotating, so that noise falls on all of them alike, and medians.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <vector>

namespace wrenfold::bench {

inline double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

inline double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs every variant once per round, the first of each round rotating; returns each variant's
// seconds per round by clock.
inline std::vector<std::vector<double>> interleave(int rounds,
                                                   std::span<const std::function<void()>> variants,
                                                   double (*clock)() = thread_seconds) {
  std::vector<std::vector<double>> seconds(variants.size());
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < variants.size(); ++k) {
      const std::size_t v = (k + static_cast<std::size_t>(round)) % variants.size();
      const double start = clock();
      variants[v]();
      seconds[v].push_back(clock() - start);
    }
  }
  return seconds;
}

// The median of the per-round ratios a / b: each round's pair ran close together.
inline double ratio_of(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (std::size_t r = 0; r < std::min(a.size(), b.size()); ++r) ratios.push_back(a[r] / b[r]);
  return median(ratios);
}

}  // namespace wrenfold::bench
