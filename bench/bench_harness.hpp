#pragma once
// A small timing harness for the benchmark programs: each case is timed over several runs
// and reported as the median, and as a ratio against a baseline timed in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

inline double now_seconds() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// Seconds per call of fn, median over `runs` runs of `iterations` calls each.
inline double time_per_call(const std::function<void()>& fn, int iterations, int runs = 7) {
  fn();  // warm-up
  std::vector<double> samples;
  for (int r = 0; r < runs; ++r) {
    const double t0 = now_seconds();
    for (int i = 0; i < iterations; ++i) fn();
    samples.push_back((now_seconds() - t0) / iterations);
  }
  return median(samples);
}

// candidate / baseline per call, each run timing both back to back so that a machine that
// slows down or speeds up in between moves both alike; the median over the runs.
inline double median_ratio(const std::function<void()>& candidate, const std::function<void()>& baseline,
                           int iterations, int runs = 9) {
  std::vector<double> ratios;
  for (int r = 0; r < runs; ++r) {
    const double b = time_per_call(baseline, iterations, 1);
    const double c = time_per_call(candidate, iterations, 1);
    ratios.push_back(b > 0 ? c / b : 0.0);
  }
  return median(ratios);
}

// Keeps the optimiser from discarding a result.
template <class T>
inline void keep(const T& value) {
  asm volatile("" : : "g"(&value) : "memory");
}

inline void report_ratio(const std::string& name, double candidate, double baseline) {
  std::printf("%-40s %12.3f us  baseline %12.3f us  ratio %.3f\n", name.c_str(), candidate * 1e6, baseline * 1e6,
              baseline > 0 ? candidate / baseline : 0.0);
}

}  // namespace bench
