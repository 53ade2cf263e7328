#include "quarnel/request.hpp"

#include "quarnel/design.hpp"
#include "quarnel/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace quarnel {
namespace {

bool product_overflows(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product);
}

}  // namespace

Status check_dense_shape(const CombatDenseRequest& request) {
  if (request.n_samples == 0) return fail(EmptyInput{names::n_samples});
  if (request.n_features == 0) return fail(EmptyInput{names::n_features});
  if (product_overflows(request.n_samples, request.n_features)) {
    return fail(ShapeProductOverflow{names::values});
  }
  const std::uint64_t expected = request.n_samples * request.n_features;
  if (request.values.size() != expected) {
    return fail(ShapeMismatch{names::values, expected, request.values.size()});
  }
  return {};
}

namespace {

// The scan reads blocks without a branch per value, so that it vectorises and runs on the
// worker pool; only the first block that holds an infinity is walked again for its first.
constexpr std::size_t kScanBlock = std::size_t{1} << 16;

// Two values at a time as GCC vectors: the compiler does not vectorise a plain loop's
// floating-point comparisons for the x86-64 baseline, which has no 64-bit integer compare.
using Pair = double __attribute__((vector_size(2 * sizeof(double))));
using PairBits = long long __attribute__((vector_size(2 * sizeof(double))));

bool holds_infinity(std::span<const double> block) {
  constexpr long long kMagnitude = 0x7fffffffffffffffLL;  // every bit but the sign
  const Pair infinity = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
  PairBits hits = {0, 0};
  std::size_t k = 0;
  for (; k + 2 <= block.size(); k += 2) {
    PairBits bits;
    std::memcpy(&bits, block.data() + k, sizeof bits);
    hits |= reinterpret_cast<Pair>(bits & kMagnitude) == infinity;
  }
  bool found = (hits[0] | hits[1]) != 0;
  for (; k < block.size(); ++k) found |= std::isinf(block[k]);
  return found;
}

}  // namespace

// NaN is a missing value and passes; only the infinities are rejected.
Status check_dense_values_not_infinite(const CombatDenseRequest& request) {
  const std::span<const double> values = request.values;
  const std::size_t n_blocks = (values.size() + kScanBlock - 1) / kScanBlock;
  const bool parallel = ParallelPlan::for_shape(request.n_samples, request.n_features, 1).parallel;
  const std::vector<unsigned char> infinite = parallel_map<unsigned char>(parallel, n_blocks, [&](std::size_t b) {
    const std::size_t begin = b * kScanBlock;
    return static_cast<unsigned char>(holds_infinity(values.subspan(begin, std::min(kScanBlock, values.size() - begin))));
  });
  const auto block = std::ranges::find(infinite, 1);
  if (block == infinite.end()) return {};
  for (std::size_t k = static_cast<std::size_t>(block - infinite.begin()) * kScanBlock;; ++k) {
    if (std::isinf(values[k])) return fail(NonFiniteDenseValue{k / request.n_features, k % request.n_features});
  }
}

Status check_covariate_shape(std::uint64_t n_samples, const CovariateMatrix& covariates) {
  const std::uint64_t k = covariates.n_covariates;
  if (product_overflows(n_samples, k)) return fail(ShapeProductOverflow{names::covariates});
  if (covariates.values.size() != n_samples * k) {
    return fail(CovariateShapeMismatch{n_samples, k, covariates.values.size()});
  }
  // Unlike data values, covariates may not be missing: NaN is rejected too.
  for (std::size_t pos = 0; pos < covariates.values.size(); ++pos) {
    if (!std::isfinite(covariates.values[pos])) {
      return fail(NonFiniteDesignValue{names::covariates, pos / k, pos % k});
    }
  }
  return {};
}

namespace {

std::string decimal(std::uint64_t value) { return std::to_string(value); }

// Columns other than intercept columns (every value exactly 1.0), ascending.
std::vector<std::size_t> candidate_covariate_columns(std::uint64_t n_samples,
                                                     const CovariateMatrix& covariates) {
  std::vector<std::size_t> candidates;
  for (std::size_t c = 0; c < covariates.n_covariates; ++c) {
    for (std::size_t i = 0; i < n_samples; ++i) {
      if (covariates.at(i, c) != 1.0) {
        candidates.push_back(c);
        break;
      }
    }
  }
  return candidates;
}

bool columns_equal(std::uint64_t n_samples, const CovariateMatrix& covariates, std::size_t a,
                   std::size_t b) {
  for (std::size_t i = 0; i < n_samples; ++i) {
    if (covariates.at(i, a) != covariates.at(i, b)) return false;
  }
  return true;
}

Status check_covariate_design(std::uint64_t n_samples, const BatchLevels& levels,
                              const CovariateMatrix& covariates) {
  const std::vector<std::size_t> candidates =
      candidate_covariate_columns(n_samples, covariates);
  const std::uint64_t n_levels = levels.level_count();
  if (n_levels + candidates.size() > n_samples) {
    return fail(InvalidDesign{"too many design columns: batches=" + decimal(n_levels) +
                              " covariates=" + decimal(candidates.size()) +
                              " samples=" + decimal(n_samples)});
  }
  // Every pair is compared before any collinearity test, so two equal columns that are
  // also constant within batches are reported as duplicates.
  for (std::size_t x = 0; x < candidates.size(); ++x) {
    for (std::size_t y = x + 1; y < candidates.size(); ++y) {
      if (columns_equal(n_samples, covariates, candidates[x], candidates[y])) {
        return fail(InvalidDesign{"duplicate covariate columns " + decimal(candidates[x]) +
                                  " and " + decimal(candidates[y]),
                                  {candidates[x], candidates[y]}});
      }
    }
  }
  for (const std::size_t c : candidates) {
    if (column_is_constant_within_batches(n_samples, levels, covariates, c)) {
      return fail(InvalidDesign{"covariate column " + decimal(c) +
                                " is collinear with batch indicators",
                                {c}});
    }
  }
  // The exact tests above miss combinations that rounding keeps a hair away from exact
  // (a covariate that is the sum of two others): their fit would be rounding noise.
  if (!candidates.empty()) {
    const Matrix design = build_design(n_samples, levels, covariates, std::nullopt);
    if (row_support(design).rank < design.cols()) return fail(SingularDesign{});
  }
  return {};
}

}  // namespace

bool column_is_constant_within_batches(std::uint64_t n_samples, const BatchLevels& levels,
                                       const CovariateMatrix& covariates, std::size_t column) {
  std::vector<std::optional<double>> seen(levels.level_count());
  for (std::size_t i = 0; i < n_samples; ++i) {
    const double value = covariates.at(i, column);
    std::optional<double>& slot = seen[levels.level_of_sample(i)];
    if (!slot) {
      slot = value;
    } else if (!(value == *slot)) {
      return false;
    }
  }
  return true;
}

Result<BatchLevels> validate_request(const CombatDenseRequest& request,
                                     const CombatOptions& options) {
  if (auto shape = check_dense_shape(request); !shape) return fail(std::move(shape.error()));
  if (auto finite = check_dense_values_not_infinite(request); !finite) {
    return fail(std::move(finite.error()));
  }
  Result<BatchLevels> levels = BatchLevels::from_ids(request.batch, request.n_samples);
  if (!levels) return fail(std::move(levels.error()));
  if (options.ref_batch && !levels->level_of_batch_id(*options.ref_batch)) {
    return fail(MissingReferenceBatch{*options.ref_batch});
  }
  if (request.covariates) {
    if (auto shape = check_covariate_shape(request.n_samples, *request.covariates); !shape) {
      return fail(std::move(shape.error()));
    }
    if (auto design = check_covariate_design(request.n_samples, *levels, *request.covariates);
        !design) {
      return fail(std::move(design.error()));
    }
  }
  return levels;
}

}  // namespace quarnel
