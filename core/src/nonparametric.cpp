#include "quarnel/nonparametric.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "quarnel/parallel.hpp"
#include "quarnel/standardize.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quarnel {
namespace {

using Index = Eigen::Index;
constexpr double kTwoPi = 6.283185307179586;

// The observed values of one feature among a level's members, in ascending sample order,
// written over `values`.
void gather_observed(const Matrix& standardized, std::size_t feature,
                     const std::vector<std::size_t>& members, std::vector<double>& values) {
  const double* column = standardized.col(static_cast<Index>(feature)).data();
  values.clear();
  for (const std::size_t s : members) {
    if (!std::isnan(column[s])) values.push_back(column[s]);
  }
}

// Buffers a job reuses from the previous job on the same thread, so that the hot loop
// allocates nothing once a thread has run its first job.
struct JobScratch {
  std::vector<double> observed;
  SummaryScratch sweep;  // its log_likelihoods serve the exact estimate too
};

JobScratch& job_scratch() {
  thread_local JobScratch scratch;
  return scratch;
}

// Two doubles: one register on every x86-64 (SSE2) and aarch64 (NEON) CPU.
typedef double Lanes2 __attribute__((vector_size(16)));

// A LikelihoodSweep (see the header) for one vector type.
//
// AVX-512 and every aarch64 CPU have fused multiply-add; the core is built with
// -ffp-contract=off, so each product is still rounded before it is added.
//
// Each block of kUnroll vectors of neighbouring m keeps its sums in registers while every
// observed value passes once; every lane does the same IEEE subtract, multiply, add and
// divide as scalar code would, so all vector widths give the same bits. The width is set
// per instruction set by the callers below.
template <class Lanes, std::size_t kUnroll>
[[gnu::always_inline]] inline double log_likelihoods_with(std::span<const double> observed,
                                                         const double* g, const double* d,
                                                         const double* logs, std::size_t width,
                                                         std::size_t excluded, double* out) {
  constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(double);
  constexpr std::size_t kBlock = kLanes * kUnroll;
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const double half_count = static_cast<double>(observed.size()) * -0.5;
  const double* x = observed.data();
  const std::size_t n = observed.size();
  const Lanes negative_infinity = Lanes{} - kInfinity;

  auto block = [&](const double* gb, const double* db, const double* lb, double* ob) {
    Lanes sums[kUnroll];
    Lanes locations[kUnroll];
    for (std::size_t u = 0; u < kUnroll; ++u) {
      sums[u] = Lanes{};
      std::memcpy(&locations[u], gb + u * kLanes, sizeof(Lanes));
    }
    for (std::size_t k = 0; k < n; ++k) {
      const double value = x[k];
      for (std::size_t u = 0; u < kUnroll; ++u) {
        const Lanes distance = value - locations[u];
        sums[u] = sums[u] + distance * distance;
      }
    }
    for (std::size_t u = 0; u < kUnroll; ++u) {
      Lanes scale;
      Lanes log_term;
      std::memcpy(&scale, db + u * kLanes, sizeof(Lanes));
      std::memcpy(&log_term, lb + u * kLanes, sizeof(Lanes));
      Lanes value = log_term * half_count - sums[u] / (scale + scale);
      // x - x is 0 exactly when x is finite.
      value = (value - value) == 0.0 ? value : negative_infinity;
      std::memcpy(ob + u * kLanes, &value, sizeof(Lanes));
    }
  };

  std::size_t m = 0;
  for (; m + kBlock <= width; m += kBlock) block(g + m, d + m, logs + m, out + m);
  if (m < width) {
    // The last partial block runs on copies padded with harmless estimates (0, 1, 0),
    // whose results are dropped.
    double gb[kBlock] = {};
    double db[kBlock];
    double lb[kBlock] = {};
    double ob[kBlock];
    std::fill(db, db + kBlock, 1.0);
    const std::size_t rest = width - m;
    std::copy(g + m, g + width, gb);
    std::copy(d + m, d + width, db);
    std::copy(logs + m, logs + width, lb);
    block(gb, db, lb, ob);
    std::copy(ob, ob + rest, out + m);
  }
  if (excluded < width) out[excluded] = -kInfinity;

  // The largest of values that are never NaN is the same whatever order they are
  // compared in (up to the sign of a zero, which the caller's shift x - largest does not
  // see), so the lanes may keep their own maxima.
  Lanes largest = negative_infinity;
  m = 0;
  for (; m + kLanes <= width; m += kLanes) {
    Lanes value;
    std::memcpy(&value, out + m, sizeof(Lanes));
    largest = value > largest ? value : largest;
  }
  double result = -kInfinity;
  for (std::size_t lane = 0; lane < kLanes; ++lane) result = std::max(result, largest[lane]);
  for (; m < width; ++m) result = std::max(result, out[m]);
  return result;
}

double sweep_baseline(std::span<const double> observed, const double* g, const double* d,
                      const double* logs, std::size_t width, std::size_t excluded, double* out) {
  return log_likelihoods_with<Lanes2, 8>(observed, g, d, logs, width, excluded, out);
}

// The wider versions exist only where the compiler can target the x86 vector extensions
// and the CPU can be asked at run time whether it has them; everywhere else the baseline
// version is the only one.
#if defined(__x86_64__) || defined(__i386__)
typedef double Lanes4 __attribute__((vector_size(32)));
typedef double Lanes8 __attribute__((vector_size(64)));

__attribute__((target("avx512f"))) double sweep_avx512(std::span<const double> observed,
                                                      const double* g, const double* d,
                                                      const double* logs, std::size_t width,
                                                      std::size_t excluded, double* out) {
  return log_likelihoods_with<Lanes8, 4>(observed, g, d, logs, width, excluded, out);
}

__attribute__((target("avx2"))) double sweep_avx2(std::span<const double> observed,
                                                  const double* g, const double* d,
                                                  const double* logs, std::size_t width,
                                                  std::size_t excluded, double* out) {
  return log_likelihoods_with<Lanes4, 8>(observed, g, d, logs, width, excluded, out);
}

// Appends the wider versions this CPU runs, widest first.
void add_wider_sweeps(std::vector<LikelihoodSweep>& sweeps) {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) sweeps.push_back({"avx512f", sweep_avx512});
  if (__builtin_cpu_supports("avx2")) sweeps.push_back({"avx2", sweep_avx2});
}
#else
void add_wider_sweeps(std::vector<LikelihoodSweep>&) {}
#endif

// The widest sweep this CPU runs, chosen at the first job.
LikelihoodSweep::Run* fastest_sweep() {
  static LikelihoodSweep::Run* const run = supported_likelihood_sweeps().front().run;
  return run;
}

}  // namespace

std::vector<LikelihoodSweep> supported_likelihood_sweeps() {
  std::vector<LikelihoodSweep> sweeps;
  add_wider_sweeps(sweeps);
  sweeps.push_back({"baseline", sweep_baseline});
  return sweeps;
}

PosteriorInputs prepare_posterior_inputs(const BatchLevels& levels, const Matrix& gamma_hat,
                                         const Matrix& delta_hat) {
  PosteriorInputs inputs;
  inputs.members = levels.members_of_all_levels();
  const std::size_t n_levels = levels.level_count();
  for (std::size_t i = 0; i < n_levels; ++i) {
    std::vector<double> g = row_values(gamma_hat, i);
    std::vector<double> d = row_values(delta_hat, i);
    std::vector<double> logs(d.size());
    std::vector<double> half_precisions(d.size());
    std::vector<std::size_t> unusable;
    for (std::size_t m = 0; m < d.size(); ++m) {
      logs[m] = std::log(d[m] * kTwoPi);
      half_precisions[m] = 1.0 / (d[m] + d[m]);
      if (!std::isfinite(g[m]) || !is_positive_finite(d[m])) unusable.push_back(m);
    }
    inputs.gamma_rows.push_back(std::move(g));
    inputs.delta_rows.push_back(std::move(d));
    inputs.log_terms.push_back(std::move(logs));
    inputs.half_precisions.push_back(std::move(half_precisions));
    inputs.unusable.push_back(std::move(unusable));
  }
  return inputs;
}

namespace {

// exp(x) is exactly 0 for every x below this (ln 2^-1075 is about -745.13).
constexpr double kExpUnderflow = -745.2;

// The fast estimate leaves out weights below e^kNegligibleShift of the largest (see the
// header); the vectorised exponential is only asked for shifts in [kNegligibleShift, 0].
constexpr double kNegligibleShift = -50.0;
constexpr std::size_t kSumSlots = 16;

// e^s for every lane s in [kNegligibleShift, 0], to within a few units in the last place:
// s = k ln 2 + r with |r| <= ln 2 / 2, e^r by its Taylor polynomial of degree 12 (whose
// remainder is below 2e-16), and 2^k put straight into the exponent bits. ln 2 is split in
// two so that k ln2_high is exact. Plain IEEE operations only, so every width agrees.
// Vectors go in and out by reference: by value, their calling convention would differ
// between the targets that instantiate this.
template <class Lanes, class Bits>
[[gnu::always_inline]] inline void exp_of_shift(const Lanes& s, Lanes& result) {
  constexpr double kLog2e = 1.4426950408889634;
  constexpr double kLn2High = 6.93147180369123816490e-01;
  constexpr double kLn2Low = 1.90821492927058770002e-10;
  // Adding 1.5 * 2^52 rounds to an integer, which then sits in the low mantissa bits.
  constexpr double kRounder = 6755399441055744.0;
  constexpr double kInverseFactorials[] = {
      1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0, 1.0 / 40320.0,
      1.0 / 5040.0,      1.0 / 720.0,      1.0 / 120.0,     1.0 / 24.0,     1.0 / 6.0,
      0.5,               1.0,              1.0};
  const Lanes rounded = s * kLog2e + kRounder;
  const Lanes k = rounded - kRounder;
  const Lanes r = (s - k * kLn2High) - k * kLn2Low;
  Lanes p = Lanes{} + kInverseFactorials[0];
  for (std::size_t i = 1; i < std::size(kInverseFactorials); ++i) p = p * r + kInverseFactorials[i];
  const Lanes rounder = Lanes{} + kRounder;
  const Bits power = ((Bits)rounded - (Bits)rounder + 1023) << 52;
  result = p * (Lanes)power;
}

// Contiguous rows of the weights that count: each one's shift from the largest
// log-likelihood, and its feature's location and scale estimates.
struct SummaryRows {
  double* shifts;
  double* locations;
  double* scales;
  std::size_t count;
};

// Appends the features of one block of kSumSlots whose log-likelihood `block` is at least
// `threshold` to the rows, in ascending order. Every slot is written and the count moves
// on only for a feature that counts, which keeps the loop free of branches.
struct ScalarCompaction {
  static void append(const double* block, const double* g, const double* d, double threshold,
                     double largest, SummaryRows& rows) {
    std::size_t picked[kSumSlots];
    std::size_t count = 0;
    for (std::size_t k = 0; k < kSumSlots; ++k) {
      picked[count] = k;
      count += block[k] >= threshold ? 1 : 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
      rows.shifts[rows.count + i] = block[picked[i]] - largest;
      rows.locations[rows.count + i] = g[picked[i]];
      rows.scales[rows.count + i] = d[picked[i]];
    }
    rows.count += count;
  }
};

// A SummarySweep (see the header) for one vector type, kSumSlots / lanes vectors at a time.
// The first pass writes each feature's log-likelihood, from the observed values' summary:
//   sum_k (x_k - g)^2 = centred + count (mean - g)^2,
// which is accurate because the values are centred first (the uncentred form
// sum x^2 - 2 g sum x + count g^2 cancels badly far from g). Most weights are negligible
// (on simulated data, about nine in ten below e^-50), so the features whose weights are not
// are listed next, in ascending order, and only they are weighed: their shifts, locations
// and scales gathered into contiguous rows, then the exponentials and sums in vectors.
template <class Lanes, class Bits, class Compaction>
[[gnu::always_inline]] inline WeightedSums summary_sweep_with(
    const ObservedSummary& summary, const double* g, const double* d, const double* logs,
    const double* half_precisions, std::size_t width, std::size_t excluded,
    SummaryScratch& scratch) {
  constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(double);
  constexpr std::size_t kUnroll = kSumSlots / kLanes;
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const Lanes negative_infinity = Lanes{} - kInfinity;
  const double half_count = summary.count * -0.5;
  auto load = [](Lanes& v, const double* p) { std::memcpy(&v, p, sizeof(Lanes)); };
  auto store = [](double* p, const Lanes& v) { std::memcpy(p, &v, sizeof(Lanes)); };

  // Rows padded to whole blocks: the padding's log-likelihoods are -inf and its weights 0.
  const std::size_t padded = (width + kSumSlots - 1) / kSumSlots * kSumSlots;
  std::vector<double>& out = scratch.log_likelihoods;
  out.resize(padded);
  // The largest of values that are never NaN does not depend on the order of comparison;
  // several running maxima keep the comparisons from waiting on one another.
  Lanes largest_lanes[kUnroll];
  for (Lanes& lanes : largest_lanes) lanes = negative_infinity;
  auto take_largest = [&](std::size_t u, const Lanes& value) {
    largest_lanes[u] = value > largest_lanes[u] ? value : largest_lanes[u];
  };
  auto take_block_largest = [&](const double* op) {
    for (std::size_t u = 0; u < kUnroll; ++u) {
      Lanes value;
      load(value, op + u * kLanes);
      take_largest(u, value);
    }
  };
  // Log-likelihoods of kSumSlots neighbouring features; a value that is not finite becomes
  // -inf (x - x is 0 exactly when x is finite). They join the running maxima as they are
  // made, unless `deferred`: the block of the excluded feature and the padded last block
  // are set right first, and then taken.
  auto likelihoods = [&](const double* gp, const double* lp, const double* hp, double* op,
                         bool deferred) {
    for (std::size_t u = 0; u < kUnroll; ++u) {
      Lanes location, log_term, half_precision;
      load(location, gp + u * kLanes);
      load(log_term, lp + u * kLanes);
      load(half_precision, hp + u * kLanes);
      const Lanes deviation = summary.mean - location;
      const Lanes squares = summary.centred + summary.count * (deviation * deviation);
      Lanes value = log_term * half_count - squares * half_precision;
      value = (value - value) == 0.0 ? value : negative_infinity;
      store(op + u * kLanes, value);
      if (!deferred) take_largest(u, value);
    }
  };
  const std::size_t whole = width - width % kSumSlots;
  for (std::size_t m = 0; m < whole; m += kSumSlots) {
    const bool holds_excluded = excluded >= m && excluded < m + kSumSlots;
    likelihoods(g + m, logs + m, half_precisions + m, out.data() + m, holds_excluded);
    if (holds_excluded) {
      out[excluded] = -kInfinity;
      take_block_largest(out.data() + m);
    }
  }
  // The last partial block runs on copies padded with zero estimates, whose results are
  // replaced by -inf.
  double gb[kSumSlots] = {};
  double db[kSumSlots] = {};
  if (whole < width) {
    double lb[kSumSlots] = {};
    double hb[kSumSlots] = {};
    std::copy(g + whole, g + width, gb);
    std::copy(d + whole, d + width, db);
    std::copy(logs + whole, logs + width, lb);
    std::copy(half_precisions + whole, half_precisions + width, hb);
    double* tail = out.data() + whole;
    likelihoods(gb, lb, hb, tail, true);
    std::fill(tail + (width - whole), tail + kSumSlots, -kInfinity);
    if (excluded >= whole && excluded < width) out[excluded] = -kInfinity;
    take_block_largest(tail);
  }

  WeightedSums sums;
  sums.largest = -kInfinity;
  for (const Lanes& lanes : largest_lanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) sums.largest = std::max(sums.largest, lanes[lane]);
  }
  if (sums.largest == -kInfinity) return sums;

  // The rows of the weights that count (log-likelihood within kNegligibleShift of the
  // largest), in ascending feature order, padded to whole blocks with weights of 0; a
  // block's compaction may write a whole block past the rows' current end.
  const double threshold = sums.largest + kNegligibleShift;
  scratch.shifts.resize(padded + kSumSlots);
  scratch.locations.resize(padded + kSumSlots);
  scratch.scales.resize(padded + kSumSlots);
  SummaryRows rows{scratch.shifts.data(), scratch.locations.data(), scratch.scales.data(), 0};
  for (std::size_t m = 0; m < whole; m += kSumSlots) {
    Compaction::append(out.data() + m, g + m, d + m, threshold, sums.largest, rows);
  }
  if (whole < width) {
    Compaction::append(out.data() + whole, gb, db, threshold, sums.largest, rows);
  }
  const std::size_t n_padded = (rows.count + kSumSlots - 1) / kSumSlots * kSumSlots;
  std::fill(rows.shifts + rows.count, rows.shifts + n_padded, -kInfinity);
  std::fill(rows.locations + rows.count, rows.locations + n_padded, 0.0);
  std::fill(rows.scales + rows.count, rows.scales + n_padded, 0.0);

  // Weight k goes to running sum k % kSumSlots, lane k % kLanes of vector (k / kLanes) %
  // kUnroll, at every width.
  Lanes totals[kUnroll] = {};
  Lanes locations[kUnroll] = {};
  Lanes scales[kUnroll] = {};
  const Lanes floor = Lanes{} + kNegligibleShift;
  for (std::size_t k = 0; k < n_padded; k += kSumSlots) {
    for (std::size_t u = 0; u < kUnroll; ++u) {
      Lanes shift, weight, location, scale;
      load(shift, rows.shifts + k + u * kLanes);
      exp_of_shift<Lanes, Bits>(shift >= kNegligibleShift ? shift : floor, weight);
      weight = shift >= kNegligibleShift ? weight : Lanes{};
      load(location, rows.locations + k + u * kLanes);
      load(scale, rows.scales + k + u * kLanes);
      totals[u] = totals[u] + weight;
      locations[u] = locations[u] + location * weight;
      scales[u] = scales[u] + scale * weight;
    }
  }
  for (std::size_t slot = 0; slot < kSumSlots; ++slot) {
    sums.total += totals[slot / kLanes][slot % kLanes];
    sums.location += locations[slot / kLanes][slot % kLanes];
    sums.scale += scales[slot / kLanes][slot % kLanes];
  }
  return sums;
}

typedef long long Bits2 __attribute__((vector_size(16)));

WeightedSums summary_sweep_baseline(const ObservedSummary& summary, const double* g,
                                    const double* d, const double* logs,
                                    const double* half_precisions, std::size_t width,
                                    std::size_t excluded, SummaryScratch& scratch) {
  return summary_sweep_with<Lanes2, Bits2, ScalarCompaction>(summary, g, d, logs, half_precisions, width, excluded,
                                           scratch);
}

#if defined(__x86_64__) || defined(__i386__)
typedef long long Bits4 __attribute__((vector_size(32)));
typedef long long Bits8 __attribute__((vector_size(64)));

// ScalarCompaction's rows by AVX-512's compress, eight features at a time: the same
// features in the same order, and the same subtraction for each shift.
struct Avx512Compaction {
  __attribute__((target("avx512f"))) static void append(const double* block, const double* g,
                                                       const double* d, double threshold,
                                                       double largest, SummaryRows& rows) {
    const __m512d floor = _mm512_set1_pd(threshold);
    const __m512d top = _mm512_set1_pd(largest);
    for (std::size_t k = 0; k < kSumSlots; k += 8) {
      const __m512d values = _mm512_loadu_pd(block + k);
      const __mmask8 keep = _mm512_cmp_pd_mask(values, floor, _CMP_GE_OQ);
      _mm512_storeu_pd(rows.shifts + rows.count,
                       _mm512_maskz_compress_pd(keep, _mm512_sub_pd(values, top)));
      _mm512_storeu_pd(rows.locations + rows.count,
                       _mm512_maskz_compress_pd(keep, _mm512_loadu_pd(g + k)));
      _mm512_storeu_pd(rows.scales + rows.count,
                       _mm512_maskz_compress_pd(keep, _mm512_loadu_pd(d + k)));
      rows.count += static_cast<std::size_t>(__builtin_popcount(keep));
    }
  }
};

__attribute__((target("avx512f"))) WeightedSums summary_sweep_avx512(
    const ObservedSummary& summary, const double* g, const double* d, const double* logs,
    const double* half_precisions, std::size_t width, std::size_t excluded, SummaryScratch& scratch) {
  return summary_sweep_with<Lanes8, Bits8, Avx512Compaction>(summary, g, d, logs, half_precisions, width, excluded,
                                           scratch);
}

__attribute__((target("avx2"))) WeightedSums summary_sweep_avx2(
    const ObservedSummary& summary, const double* g, const double* d, const double* logs,
    const double* half_precisions, std::size_t width, std::size_t excluded, SummaryScratch& scratch) {
  return summary_sweep_with<Lanes4, Bits4, ScalarCompaction>(summary, g, d, logs, half_precisions, width, excluded,
                                           scratch);
}

void add_wider_summary_sweeps(std::vector<SummarySweep>& sweeps) {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) sweeps.push_back({"avx512f", summary_sweep_avx512});
  if (__builtin_cpu_supports("avx2")) sweeps.push_back({"avx2", summary_sweep_avx2});
}
#else
void add_wider_summary_sweeps(std::vector<SummarySweep>&) {}
#endif

// The exact estimate's sums: log-likelihoods by a sweep over the observed values, then
// each weight by the C library's exp, added in feature order.
WeightedSums exact_weighted_sums(std::span<const double> observed, const std::vector<double>& g,
                                 const std::vector<double>& d, const std::vector<double>& logs,
                                 std::size_t excluded, std::vector<double>& log_likelihood) {
  const std::size_t width = g.size();
  log_likelihood.resize(width);
  // One that cannot be represented leaves that feature out rather than failing (it comes
  // back as -inf, as does the excluded one).
  WeightedSums sums;
  sums.largest =
      fastest_sweep()(observed, g.data(), d.data(), logs.data(), width, excluded, log_likelihood.data());
  // Shifting by the largest log-likelihood makes its weight exactly 1: no weight
  // overflows and at least one is not zero when any is finite.
  for (std::size_t m = 0; m < width; ++m) {
    const double shift = log_likelihood[m] - sums.largest;
    // exp gives exactly 0 below this (and -inf for the features left out), and a zero
    // weight adds nothing to the sums: skipping it saves the exponential, not a bit.
    if (!(shift >= kExpUnderflow)) continue;
    const double weight = std::exp(shift);
    sums.total += weight;
    sums.location += g[m] * weight;
    sums.scale += d[m] * weight;
  }
  return sums;
}

SummarySweep::Run* fastest_summary_sweep() {
  static SummarySweep::Run* const run = supported_summary_sweeps().front().run;
  return run;
}

}  // namespace

std::vector<SummarySweep> supported_summary_sweeps() {
  std::vector<SummarySweep> sweeps;
  add_wider_summary_sweeps(sweeps);
  sweeps.push_back({"baseline", summary_sweep_baseline});
  return sweeps;
}

ObservedSummary summarize_observed(std::span<const double> observed) {
  ObservedSummary summary;
  summary.count = static_cast<double>(observed.size());
  double sum = 0.0;
  for (const double x : observed) sum += x;
  summary.mean = observed.empty() ? 0.0 : sum / summary.count;
  for (const double x : observed) summary.centred += (x - summary.mean) * (x - summary.mean);
  return summary;
}

Result<std::pair<double, double>> nonparametric_posterior(std::span<const double> observed,
                                                          const PosteriorInputs& inputs,
                                                          std::size_t level,
                                                          std::size_t excluded, bool exact) {
  const std::vector<double>& g = inputs.gamma_rows[level];
  const std::vector<double>& d = inputs.delta_rows[level];
  const std::vector<double>& logs = inputs.log_terms[level];
  const std::size_t width = g.size();
  // Any feature with an unusable raw estimate fails the posterior, whatever the others
  // hold; the excluded feature's own estimates never enter it.
  for (const std::size_t m : inputs.unusable[level]) {
    if (m != excluded) {
      return fail(NumericalFailure{"non-parametric prior value is not positive finite"});
    }
  }
  SummaryScratch& scratch = job_scratch().sweep;
  const WeightedSums sums =
      exact ? exact_weighted_sums(observed, g, d, logs, excluded, scratch.log_likelihoods)
            : fastest_summary_sweep()(summarize_observed(observed), g.data(), d.data(), logs.data(),
                                      inputs.half_precisions[level].data(), width, excluded,
                                      scratch);
  if (sums.largest == -std::numeric_limits<double>::infinity()) {
    return fail(NumericalFailure{"non-parametric likelihood has no finite support"});
  }
  const double total = sums.total;
  const double location = sums.location;
  const double scale = sums.scale;
  if (!is_positive_finite(total)) {
    return fail(NumericalFailure{"non-parametric likelihood weights are degenerate"});
  }
  const double gamma_star = location / total;
  const double delta_star = scale / total;
  if (!std::isfinite(gamma_star) || !is_positive_finite(delta_star)) {
    return fail(NumericalFailure{"non-parametric posterior produced a non-finite value"});
  }
  return std::pair{gamma_star, delta_star};
}

Result<FeaturePosterior> posterior_job(std::size_t job, std::size_t n_features, const Matrix& data,
                                       const PosteriorInputs& inputs, bool exact,
                                       std::size_t first_feature) {
  const std::size_t level = job / n_features;
  const std::size_t feature = job % n_features;
  std::vector<double>& observed = job_scratch().observed;
  gather_observed(data, feature, inputs.members[level], observed);
  Result<std::pair<double, double>> posterior =
      nonparametric_posterior(observed, inputs, level, first_feature + feature, exact);
  if (!posterior) return fail(std::move(posterior.error()));
  return FeaturePosterior{level, feature, posterior->first, posterior->second};
}

}  // namespace quarnel
