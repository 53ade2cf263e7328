// The side-by-side arithmetic the per-feature kernels share: eight adjacent features summed
// at once, one per lane, each lane exactly as a one-feature loop would sum it. Private to
// the core's sources.
#pragma once

#include <algorithm>
#include <cstddef>

#include "quarnel/layout.hpp"

namespace quarnel::lanes {

using Index = Eigen::Index;

// The side-by-side kernels built on these sum kLanes features at once, one feature per lane. Each
// lane adds its own terms in ascending sample order, exactly as a one-feature loop would,
// so the lanes only hide the latency of the dependent adds. A value that is not observed
// (NaN) adds +0.0 instead of being skipped: every sum starts at +0.0 and no sum starting
// there can reach -0.0, so adding +0.0 leaves its bits as they are. The kernels are built
// for AVX2 as well as the baseline; each lane does the same IEEE subtract, multiply and
// add as the scalar code (never a fused multiply-add), so every machine gets the same bits.
//
// Only x86 has the AVX2 clones; elsewhere the kernels are built once, for the baseline.
#if defined(__x86_64__) || defined(__i386__)
#define QUARNEL_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUARNEL_AVX2_CLONES
#endif
constexpr std::size_t kLanes = 8;
// Four lanes in one AVX2 register; kLanes as two of them. An 8-wide GCC vector would be
// simpler to write, but its comparisons lower to scalar code on AVX2.
using Quad = double __attribute__((vector_size(4 * sizeof(double))));
using QuadMask = long long __attribute__((vector_size(4 * sizeof(double))));

struct Lanes {
  Quad low;
  Quad high;

  double& operator[](std::size_t k) { return k < 4 ? low[k] : high[k - 4]; }
  double operator[](std::size_t k) const { return k < 4 ? low[k] : high[k - 4]; }
};

inline Lanes operator-(const Lanes& a, const Lanes& b) { return {a.low - b.low, a.high - b.high}; }
inline Lanes operator*(const Lanes& a, const Lanes& b) { return {a.low * b.low, a.high * b.high}; }
inline Lanes& operator+=(Lanes& a, const Lanes& b) {
  a.low += b.low;
  a.high += b.high;
  return a;
}

// Per lane: `value` where x is observed, +0.0 where it is NaN, by a bitwise and with the
// comparison mask.
inline void keep_observed(const Lanes& x, Lanes& value) {
  value.low = reinterpret_cast<Quad>(reinterpret_cast<QuadMask>(value.low) & (x.low == x.low));
  value.high =
      reinterpret_cast<Quad>(reinterpret_cast<QuadMask>(value.high) & (x.high == x.high));
}

inline Lanes splat(double value) { return {Quad{} + value, Quad{} + value}; }

// Samples [begin, end), all of one level.
struct LevelRun {
  std::size_t level = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The column pointers of features [first, first + kLanes), where lanes past `end` repeat
// the last real feature: they do the same work as it and their sums are thrown away.
inline void lane_columns(const Matrix& standardized, std::size_t first, std::size_t end,
                  const double* (&columns)[kLanes]) {
  for (std::size_t k = 0; k < kLanes; ++k) {
    const std::size_t j = std::min(first + k, end - 1);
    columns[k] = standardized.col(static_cast<Index>(j)).data();
  }
}

// Lanes are passed by reference: by value their ABI would differ between the clones.
inline void load_lanes(const double* const (&columns)[kLanes], std::size_t s, Lanes& x) {
  for (std::size_t k = 0; k < kLanes; ++k) x[k] = columns[k][s];
}

// Features per parallel item of the solver and of delta_hat: enough that an item's fixed
// costs vanish, few enough that a pass still splits into many items.
constexpr std::size_t kBlockFeatures = 8 * kLanes;

inline std::size_t block_count(std::size_t n_features) {
  return (n_features + kBlockFeatures - 1) / kBlockFeatures;
}

}  // namespace quarnel::lanes
