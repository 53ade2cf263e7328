#include "quarnel/design.hpp"

#include "quarnel/parallel.hpp"

#include "lanes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace quarnel {
namespace {

using Index = Eigen::Index;

std::optional<Matrix> invert_1x1(const Matrix& a) {
  const double det = a(0, 0);
  if (det == 0.0) return std::nullopt;
  Matrix inv(1, 1);
  inv(0, 0) = 1.0 / det;
  return inv;
}

std::optional<Matrix> invert_2x2(const Matrix& a) {
  const double det = a(0, 0) * a(1, 1) - a(1, 0) * a(0, 1);
  if (det == 0.0) return std::nullopt;
  const double inv_det = 1.0 / det;
  Matrix inv(2, 2);
  inv(0, 0) = a(1, 1) * inv_det;
  inv(1, 0) = -a(1, 0) * inv_det;
  inv(0, 1) = -a(0, 1) * inv_det;
  inv(1, 1) = a(0, 0) * inv_det;
  return inv;
}

// Cofactor expansion: the determinant along the first column, the inverse as the
// transposed cofactor matrix over the determinant.
std::optional<Matrix> invert_3x3(const Matrix& a) {
  auto cofactor = [&a](Index r, Index c) {
    const Index r0 = (r + 1) % 3, r1 = (r + 2) % 3;
    const Index c0 = (c + 1) % 3, c1 = (c + 2) % 3;
    return a(r0, c0) * a(r1, c1) - a(r0, c1) * a(r1, c0);
  };
  Matrix cof(3, 3);
  for (Index r = 0; r < 3; ++r) {
    for (Index c = 0; c < 3; ++c) cof(r, c) = cofactor(r, c);
  }
  const double det = a(0, 0) * cof(0, 0) + a(1, 0) * cof(1, 0) + a(2, 0) * cof(2, 0);
  if (det == 0.0) return std::nullopt;
  const double inv_det = 1.0 / det;
  Matrix inv(3, 3);
  for (Index r = 0; r < 3; ++r) {
    for (Index c = 0; c < 3; ++c) inv(r, c) = cof(c, r) * inv_det;
  }
  return inv;
}

// The explicit 4 x 4 formula: the 2 x 2 minors of the first two rows (s) and of the last
// two rows (c) give the determinant by Laplace expansion and every cofactor.
std::optional<Matrix> invert_4x4(const Matrix& a) {
  const double s0 = a(0, 0) * a(1, 1) - a(1, 0) * a(0, 1);
  const double s1 = a(0, 0) * a(1, 2) - a(1, 0) * a(0, 2);
  const double s2 = a(0, 0) * a(1, 3) - a(1, 0) * a(0, 3);
  const double s3 = a(0, 1) * a(1, 2) - a(1, 1) * a(0, 2);
  const double s4 = a(0, 1) * a(1, 3) - a(1, 1) * a(0, 3);
  const double s5 = a(0, 2) * a(1, 3) - a(1, 2) * a(0, 3);

  const double c5 = a(2, 2) * a(3, 3) - a(3, 2) * a(2, 3);
  const double c4 = a(2, 1) * a(3, 3) - a(3, 1) * a(2, 3);
  const double c3 = a(2, 1) * a(3, 2) - a(3, 1) * a(2, 2);
  const double c2 = a(2, 0) * a(3, 3) - a(3, 0) * a(2, 3);
  const double c1 = a(2, 0) * a(3, 2) - a(3, 0) * a(2, 2);
  const double c0 = a(2, 0) * a(3, 1) - a(3, 0) * a(2, 1);

  const double det = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
  if (det == 0.0) return std::nullopt;
  const double inv_det = 1.0 / det;

  Matrix inv(4, 4);
  inv(0, 0) = (a(1, 1) * c5 - a(1, 2) * c4 + a(1, 3) * c3) * inv_det;
  inv(0, 1) = (-a(0, 1) * c5 + a(0, 2) * c4 - a(0, 3) * c3) * inv_det;
  inv(0, 2) = (a(3, 1) * s5 - a(3, 2) * s4 + a(3, 3) * s3) * inv_det;
  inv(0, 3) = (-a(2, 1) * s5 + a(2, 2) * s4 - a(2, 3) * s3) * inv_det;

  inv(1, 0) = (-a(1, 0) * c5 + a(1, 2) * c2 - a(1, 3) * c1) * inv_det;
  inv(1, 1) = (a(0, 0) * c5 - a(0, 2) * c2 + a(0, 3) * c1) * inv_det;
  inv(1, 2) = (-a(3, 0) * s5 + a(3, 2) * s2 - a(3, 3) * s1) * inv_det;
  inv(1, 3) = (a(2, 0) * s5 - a(2, 2) * s2 + a(2, 3) * s1) * inv_det;

  inv(2, 0) = (a(1, 0) * c4 - a(1, 1) * c2 + a(1, 3) * c0) * inv_det;
  inv(2, 1) = (-a(0, 0) * c4 + a(0, 1) * c2 - a(0, 3) * c0) * inv_det;
  inv(2, 2) = (a(3, 0) * s4 - a(3, 1) * s2 + a(3, 3) * s0) * inv_det;
  inv(2, 3) = (-a(2, 0) * s4 + a(2, 1) * s2 - a(2, 3) * s0) * inv_det;

  inv(3, 0) = (-a(1, 0) * c3 + a(1, 1) * c1 - a(1, 2) * c0) * inv_det;
  inv(3, 1) = (a(0, 0) * c3 - a(0, 1) * c1 + a(0, 2) * c0) * inv_det;
  inv(3, 2) = (-a(3, 0) * s3 + a(3, 1) * s1 - a(3, 2) * s0) * inv_det;
  inv(3, 3) = (a(2, 0) * s3 - a(2, 1) * s1 + a(2, 2) * s0) * inv_det;
  return inv;
}

// LU factorisation with partial pivoting (largest magnitude in the column, first one on a
// tie), then one forward and one back substitution per column of the identity.
std::optional<Matrix> invert_by_lu(const Matrix& a) {
  const Index n = a.rows();
  Matrix lu = a;
  std::vector<Index> row_of(static_cast<std::size_t>(n));
  for (Index r = 0; r < n; ++r) row_of[static_cast<std::size_t>(r)] = r;

  for (Index k = 0; k < n; ++k) {
    Index pivot_row = k;
    for (Index r = k + 1; r < n; ++r) {
      if (std::abs(lu(r, k)) > std::abs(lu(pivot_row, k))) pivot_row = r;
    }
    if (lu(pivot_row, k) == 0.0) return std::nullopt;
    if (pivot_row != k) {
      lu.row(k).swap(lu.row(pivot_row));
      std::swap(row_of[static_cast<std::size_t>(k)], row_of[static_cast<std::size_t>(pivot_row)]);
    }
    const double pivot = lu(k, k);
    for (Index r = k + 1; r < n; ++r) {
      const double factor = lu(r, k) / pivot;
      lu(r, k) = factor;
      for (Index c = k + 1; c < n; ++c) lu(r, c) -= factor * lu(k, c);
    }
  }

  Matrix inv(n, n);
  Vector column(n);
  for (Index e = 0; e < n; ++e) {
    // Solve L U x = P e_e: the permuted unit vector, then forward and back substitution.
    for (Index r = 0; r < n; ++r) column(r) = row_of[static_cast<std::size_t>(r)] == e ? 1.0 : 0.0;
    for (Index r = 0; r < n; ++r) {
      for (Index c = 0; c < r; ++c) column(r) -= lu(r, c) * column(c);
    }
    for (Index r = n - 1; r >= 0; --r) {
      for (Index c = r + 1; c < n; ++c) column(r) -= lu(r, c) * column(c);
      column(r) /= lu(r, r);
    }
    inv.col(e) = column;
  }
  return inv;
}

// Whether the covariate columns of the design are exactly degenerate over the observed
// samples of `feature`: two of them equal there, or one of them constant within every
// level there. Both make the per-feature normal equations singular in exact arithmetic.
bool covariates_degenerate_on_observed(const Matrix& response, Index feature,
                                       const Matrix& design, const BatchLevels& levels) {
  const Index n = design.rows();
  const Index first_covariate = static_cast<Index>(levels.level_count());
  const double* y = response.col(feature).data();
  auto observed = [y](Index i) { return !std::isnan(y[i]); };

  for (Index a = first_covariate; a < design.cols(); ++a) {
    for (Index b = a + 1; b < design.cols(); ++b) {
      bool equal = true;
      for (Index i = 0; i < n && equal; ++i) {
        equal = !observed(i) || design(i, a) == design(i, b);
      }
      if (equal) return true;
    }
  }
  std::vector<std::optional<double>> seen(levels.level_count());
  for (Index c = first_covariate; c < design.cols(); ++c) {
    std::ranges::fill(seen, std::nullopt);
    bool constant = true;
    for (Index i = 0; i < n && constant; ++i) {
      if (!observed(i)) continue;
      std::optional<double>& slot = seen[levels.level_of_sample(static_cast<std::size_t>(i))];
      if (!slot) {
        slot = design(i, c);
      } else {
        constant = design(i, c) == *slot;
      }
    }
    if (constant) return true;
  }
  return false;
}

}  // namespace

Matrix build_batch_design(std::size_t n, const BatchLevels& levels,
                          std::optional<std::size_t> reference_level) {
  Matrix design = Matrix::Zero(static_cast<Index>(n), static_cast<Index>(levels.level_count()));
  for (std::size_t i = 0; i < n; ++i) {
    design(static_cast<Index>(i), static_cast<Index>(levels.level_of_sample(i))) = 1.0;
    if (reference_level) design(static_cast<Index>(i), static_cast<Index>(*reference_level)) = 1.0;
  }
  return design;
}

std::optional<Matrix> invert_exact(const Matrix& a) {
  require(a.rows() == a.cols() && a.rows() >= 1, "only non-empty square matrices are inverted");
  switch (a.rows()) {
    case 1:
      return invert_1x1(a);
    case 2:
      return invert_2x2(a);
    case 3:
      return invert_3x3(a);
    case 4:
      return invert_4x4(a);
    default:
      return invert_by_lu(a);
  }
}

namespace {

// Features whose coefficients one parallel item forms, and how many of them share each read
// of the projector.
constexpr std::size_t kProjectedBlock = 64;
constexpr std::size_t kSharedRead = 4;  // as many as project_shared names
// Samples per run of the projection: 1024 packed rows are 64 KiB.
constexpr Index kSampleRun = 1024;

// Up to eight rows of the projector from `first_row`, packed sample by sample: entry
// (r, s) at [s * 8 + r - first_row], rows past the last one 0.
std::vector<double> packed_rows(const Matrix& projector, Index first_row) {
  const Index rows = std::min<Index>(lanes::kLanes, projector.rows() - first_row);
  std::vector<double> packed(static_cast<std::size_t>(projector.cols()) * lanes::kLanes, 0.0);
  for (Index s = 0; s < projector.cols(); ++s) {
    for (Index r = 0; r < rows; ++r) {
      packed[static_cast<std::size_t>(s) * lanes::kLanes + static_cast<std::size_t>(r)] =
          projector(first_row + r, s);
    }
  }
  return packed;
}

// The packed rows applied to kSharedRead feature columns over samples [begin, end): lane r
// of sums[k] goes on adding row r's entries times column k's values, in ascending sample
// order.
QUARNEL_AVX2_CLONES
void project_shared(const std::vector<double>& packed,
                    const std::array<const double*, kSharedRead>& columns, Index begin, Index end,
                    std::array<lanes::Lanes, kSharedRead>& sums) {
  // Local copies, which the compiler keeps in registers: through the references it would
  // have to assume that a store to a sum may change a column pointer.
  const double* const first = columns[0];
  const double* const second = columns[1];
  const double* const third = columns[2];
  const double* const fourth = columns[3];
  lanes::Lanes a = sums[0], b = sums[1], c = sums[2], d = sums[3];
  for (Index s = begin; s < end; ++s) {
    lanes::Lanes weights;
    std::memcpy(&weights, packed.data() + static_cast<std::size_t>(s) * lanes::kLanes, sizeof weights);
    a += weights * lanes::splat(first[s]);
    b += weights * lanes::splat(second[s]);
    c += weights * lanes::splat(third[s]);
    d += weights * lanes::splat(fourth[s]);
  }
  sums = {a, b, c, d};
}

}  // namespace

Result<Matrix> fit_complete_coefficients(const Matrix& response, const Matrix& design,
                                         bool parallel) {
  const Matrix design_t = design.transpose();
  const Matrix gram = design_t * design;
  std::optional<Matrix> gram_inv = invert_exact(gram);
  if (!gram_inv) return fail(SingularDesign{});
  const Matrix projector = *gram_inv * design_t;
  const Index p = projector.rows();
  const Index n = projector.cols();
  const auto n_features = static_cast<std::size_t>(response.cols());
  Matrix coefficients(p, response.cols());
  // Every coefficient is summed in sample order, one feature at a time, as the library's
  // product sums it for a matrix of ordinary width; but the library blocks and reorders its
  // sums by the width, and a feature's coefficients must not depend on how many features
  // are fitted with it. Eight rows go side by side in the lanes, and several features share
  // each read of the projector.
  for (Index first_row = 0; first_row < p; first_row += lanes::kLanes) {
    const std::vector<double> packed = packed_rows(projector, first_row);
    const Index rows = std::min<Index>(lanes::kLanes, p - first_row);
    const std::size_t n_blocks = (n_features + kProjectedBlock - 1) / kProjectedBlock;
    parallel_for(parallel && n_blocks >= 2, n_blocks, [&](std::size_t block) {
      const std::size_t begin = block * kProjectedBlock;
      const std::size_t end = std::min(n_features, begin + kProjectedBlock);
      const std::size_t n_groups = (end - begin + kSharedRead - 1) / kSharedRead;
      // Columns past the block's end repeat its last one; their sums are dropped.
      std::array<std::array<const double*, kSharedRead>, kProjectedBlock / kSharedRead> columns;
      for (std::size_t g = 0; g < n_groups; ++g) {
        for (std::size_t k = 0; k < kSharedRead; ++k) {
          const std::size_t j = std::min(begin + g * kSharedRead + k, end - 1);
          columns[g][k] = response.col(static_cast<Index>(j)).data();
        }
      }
      std::array<std::array<lanes::Lanes, kSharedRead>, kProjectedBlock / kSharedRead> sums;
      for (auto& group : sums) group.fill(lanes::splat(0.0));
      // The samples in runs whose packed rows stay in cache while every group of the block
      // reads them; each sum still runs over the samples in ascending order.
      for (Index first_sample = 0; first_sample < n; first_sample += kSampleRun) {
        const Index last_sample = std::min(n, first_sample + kSampleRun);
        for (std::size_t g = 0; g < n_groups; ++g) {
          project_shared(packed, columns[g], first_sample, last_sample, sums[g]);
        }
      }
      for (std::size_t g = 0; g < n_groups; ++g) {
        for (std::size_t k = 0; k < kSharedRead && begin + g * kSharedRead + k < end; ++k) {
          for (Index r = 0; r < rows; ++r) {
            coefficients(first_row + r, static_cast<Index>(begin + g * kSharedRead + k)) =
                sums[g][k][static_cast<std::size_t>(r)];
          }
        }
      }
    });
  }
  return coefficients;
}

namespace {

// Features handed to one parallel item of the per-feature fit.
constexpr Index kFeatureBlock = 64;

// Rows of the design that take part in one feature's fit, marked 1.
using RowMask = std::vector<unsigned char>;

// Whether the pooled variance's residuals are left free by a design of batch columns only.
// Its hat matrix averages each level's observed samples, so a sample's leverage is one
// over its level's observed count: only a sample alone in its level is fitted exactly.
bool batch_design_leaves_no_free_residual(const RowMask& observed, const RowMask& contributes,
                                          const BatchLevels& levels) {
  std::vector<std::size_t> counts(levels.level_count(), 0);
  for (std::size_t i = 0; i < observed.size(); ++i) counts[levels.level_of_sample(i)] += observed[i];
  bool any = false;
  for (std::size_t i = 0; i < observed.size(); ++i) {
    if (!observed[i] || !contributes[i]) continue;
    any = true;
    if (counts[levels.level_of_sample(i)] > 1) return false;
  }
  return any;
}

bool every_level_observed(const RowMask& observed, const BatchLevels& levels) {
  std::vector<unsigned char> seen(levels.level_count(), 0);
  for (std::size_t i = 0; i < observed.size(); ++i) seen[levels.level_of_sample(i)] |= observed[i];
  return std::ranges::all_of(seen, [](unsigned char s) { return s != 0; });
}

// The samples whose residuals enter the pooled variance: all of them, or the reference
// level's.
RowMask contributing_rows(const BatchLevels& levels, std::optional<std::size_t> reference_level) {
  RowMask rows(levels.sample_count(), 1);
  if (!reference_level) return rows;
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = levels.level_of_sample(i) == *reference_level;
  return rows;
}

// The design's rows where `mask` is set, and the matching entries of `contributes`.
std::pair<Matrix, RowMask> masked_rows(const Matrix& design, const RowMask& mask,
                                       const RowMask& contributes) {
  const auto m = static_cast<Index>(std::ranges::count(mask, 1));
  Matrix rows(m, design.cols());
  RowMask kept_contributes(static_cast<std::size_t>(m));
  Index r = 0;
  for (Index i = 0; i < design.rows(); ++i) {
    if (!mask[static_cast<std::size_t>(i)]) continue;
    rows.row(r) = design.row(i);
    kept_contributes[static_cast<std::size_t>(r++)] = contributes[static_cast<std::size_t>(i)];
  }
  return {std::move(rows), std::move(kept_contributes)};
}

// What the whole design, all samples observed, leaves of a fit: computed once and shared
// by every feature without a missing value.
struct WholeDesign {
  bool full_rank = true;
  bool no_free_residual = false;
  std::vector<unsigned char> level_fitted;  // per level, see levels_fitted_exactly
};

WholeDesign whole_design(const Matrix& design, const BatchLevels& levels,
                         const RowMask& contributes) {
  const RowMask all(static_cast<std::size_t>(design.rows()), 1);
  if (design.cols() == static_cast<Index>(levels.level_count())) {
    // Batch columns alone fit a level's rows exactly only when it has one row.
    return {true, batch_design_leaves_no_free_residual(all, contributes, levels),
            std::vector<unsigned char>(levels.level_count(), 0)};
  }
  const RowSupport support = row_support(design);
  return {support.rank == design.cols(), leaves_no_free_residual(support, contributes),
          levels_fitted_exactly(support, levels.sample_levels(), levels.level_count())};
}

// The levels of the rows where `mask` is set, in row order.
std::vector<std::size_t> masked_levels(const RowMask& mask, const BatchLevels& levels) {
  std::vector<std::size_t> row_levels;
  for (std::size_t i = 0; i < mask.size(); ++i) {
    if (mask[i]) row_levels.push_back(levels.level_of_sample(i));
  }
  return row_levels;
}

// Feature j's coefficients over its observed samples, written to column j of
// `coefficients`, and whether its fit leaves no free residual; `design_rows` holds the
// design's rows as contiguous columns.
Status fit_one_feature(const Matrix& response, Index j, const Matrix& design,
                       const Matrix& design_rows, const BatchLevels& levels,
                       const RowMask& contributes, const WholeDesign& whole,
                       Matrix& coefficients, unsigned char& no_free_residual,
                       std::span<unsigned char> level_fitted) {
  const Index n = design.rows();
  const Index p = design.cols();
  const bool has_covariates = p > static_cast<Index>(levels.level_count());
  Matrix gram = Matrix::Zero(p, p);
  Vector moment = Vector::Zero(p);
  const double* y = response.col(j).data();
  Index observed = 0;
  for (Index i = 0; i < n; ++i) {
    const double value = y[i];
    if (std::isnan(value)) continue;
    if (std::isinf(value)) return fail(NumericalFailure{"design response contains an infinite value"});
    ++observed;
    const double* x = design_rows.col(i).data();
    for (Index r = 0; r < p; ++r) {
      moment(r) += value * x[r];
      // Symmetric: accumulate one triangle, mirror it below.
      for (Index c = r; c < p; ++c) gram(r, c) += x[r] * x[c];
    }
  }
  for (Index r = 0; r < p; ++r) {
    for (Index c = 0; c < r; ++c) gram(r, c) = gram(c, r);
  }
  if (observed < p) return fail(SingularDesign{});
  // A feature with no missing value sees the whole design, judged once for all of them.
  if (observed == n) {
    if (!whole.full_rank) return fail(SingularDesign{});
    no_free_residual = whole.no_free_residual;
    std::ranges::copy(whole.level_fitted, level_fitted.begin());
  } else {
    RowMask mask(static_cast<std::size_t>(n));
    for (Index i = 0; i < n; ++i) mask[static_cast<std::size_t>(i)] = !std::isnan(y[i]);
    if (!has_covariates) {
      // A level without an observed sample leaves the batch columns rank-deficient; with
      // a reference column the Gram matrix is then singular only up to rounding, so the
      // count decides rather than the inverse.
      if (!every_level_observed(mask, levels)) return fail(SingularDesign{});
      no_free_residual = batch_design_leaves_no_free_residual(mask, contributes, levels);
    } else {
      if (covariates_degenerate_on_observed(response, j, design, levels)) return fail(SingularDesign{});
      const auto [rows, row_contributes] = masked_rows(design, mask, contributes);
      const RowSupport support = row_support(rows);
      if (support.rank < p) return fail(SingularDesign{});
      no_free_residual = leaves_no_free_residual(support, row_contributes);
      const std::vector<unsigned char> fitted =
          levels_fitted_exactly(support, masked_levels(mask, levels), levels.level_count());
      std::ranges::copy(fitted, level_fitted.begin());
    }
  }
  std::optional<Matrix> gram_inv = invert_exact(gram);
  if (!gram_inv) return fail(SingularDesign{});
  const Vector beta = *gram_inv * moment;
  for (Index r = 0; r < p; ++r) {
    if (!std::isfinite(beta(r))) {
      return fail(NumericalFailure{"design fit produced a non-finite coefficient"});
    }
  }
  coefficients.col(j) = beta;
  return {};
}

}  // namespace

RowSupport row_support(const Matrix& rows) {
  const Index m = rows.rows();
  const Index p = rows.cols();
  Matrix scaled = rows;
  for (Index c = 0; c < p; ++c) {
    const double norm = scaled.col(c).norm();
    if (norm > 0.0) scaled.col(c) /= norm;
  }
  RowSupport support{0, Eigen::ColPivHouseholderQR<Matrix>(m, p)};
  support.qr.setThreshold(static_cast<double>(std::max(m, p)) * std::numeric_limits<double>::epsilon());
  support.qr.compute(scaled);
  support.rank = support.qr.rank();
  return support;
}

namespace {

// Every row's leverage: the squared row norms of an orthonormal basis of the column space,
// the first `rank` columns of Q. Each row's residual variance is (1 - leverage) times the
// noise variance.
Vector leverages(const RowSupport& support) {
  const Index m = support.qr.rows();
  const Matrix basis = support.qr.householderQ() * Matrix::Identity(m, support.rank);
  return basis.rowwise().squaredNorm();
}

// Residual degrees of freedom at or below this are rounding: an exact fit leaves their sum
// within about 1e-13 of zero.
constexpr double kFreeTolerance = 1e-8;

}  // namespace

bool leaves_no_free_residual(const RowSupport& support, std::span<const unsigned char> contributes) {
  const auto count = static_cast<Index>(std::ranges::count_if(contributes, [](unsigned char c) { return c != 0; }));
  // The leverages of all rows add up to the rank, so more contributing rows than that keep
  // at least one degree of freedom between them (less rounding), without forming any.
  if (count == 0 || count > support.rank) return false;
  // The sum of (1 - leverage) over the contributing rows is the degrees of freedom their
  // residuals carry.
  const Vector leverage = leverages(support);
  double free = 0.0;
  for (std::size_t i = 0; i < contributes.size(); ++i) {
    if (contributes[i]) free += 1.0 - leverage(static_cast<Index>(i));
  }
  return free <= kFreeTolerance;
}

std::vector<unsigned char> rows_fitted_exactly(const Matrix& rows) {
  const Vector leverage = leverages(row_support(rows));
  std::vector<unsigned char> fitted(static_cast<std::size_t>(rows.rows()));
  for (std::size_t i = 0; i < fitted.size(); ++i) fitted[i] = 1.0 - leverage(static_cast<Index>(i)) <= kFreeTolerance;
  return fitted;
}

std::vector<unsigned char> levels_fitted_exactly(const RowSupport& support,
                                                 std::span<const std::size_t> row_levels,
                                                 std::size_t n_levels) {
  std::vector<unsigned char> fitted(n_levels, 0);
  std::vector<std::size_t> counts(n_levels, 0);
  for (const std::size_t level : row_levels) ++counts[level];
  // As above, a level of more rows than the rank keeps a free degree of freedom.
  const auto may_be_fitted = [&](std::size_t level) {
    return counts[level] >= 2 && counts[level] <= static_cast<std::size_t>(support.rank);
  };
  bool any = false;
  for (std::size_t level = 0; level < n_levels; ++level) any |= may_be_fitted(level);
  if (!any) return fitted;
  // Summed in row order, so that the verdict does not depend on which level comes first.
  const Vector leverage = leverages(support);
  std::vector<double> free(n_levels, 0.0);
  for (std::size_t i = 0; i < row_levels.size(); ++i) free[row_levels[i]] += 1.0 - leverage(static_cast<Index>(i));
  for (std::size_t level = 0; level < n_levels; ++level) {
    fitted[level] = may_be_fitted(level) && free[level] <= kFreeTolerance;
  }
  return fitted;
}

Matrix build_design(std::size_t n, const BatchLevels& levels,
                    const std::optional<CovariateMatrix>& covariates,
                    std::optional<std::size_t> reference_level) {
  const Index n_levels = static_cast<Index>(levels.level_count());
  const std::vector<std::size_t> kept =
      covariates ? non_intercept_columns(n, *covariates) : std::vector<std::size_t>{};
  Matrix design(static_cast<Index>(n), n_levels + static_cast<Index>(kept.size()));
  design.leftCols(n_levels) = build_batch_design(n, levels, reference_level);
  for (std::size_t m = 0; m < kept.size(); ++m) {
    for (std::size_t i = 0; i < n; ++i) {
      design(static_cast<Index>(i), n_levels + static_cast<Index>(m)) = covariates->at(i, kept[m]);
    }
  }
  return design;
}

FeatureFits fit_each_feature(const Matrix& response, const Matrix& design,
                             const BatchLevels& levels,
                             std::optional<std::size_t> reference_level, bool parallel) {
  FeatureFits fits;
  const Index n_features = response.cols();
  fits.coefficients.resize(design.cols(), n_features);
  fits.status.resize(static_cast<std::size_t>(n_features));
  fits.no_free_residual.assign(static_cast<std::size_t>(n_features), 0);
  const std::size_t n_levels = levels.level_count();
  fits.level_fitted.assign(static_cast<std::size_t>(n_features) * n_levels, 0);
  // The design's rows as contiguous vectors: each observed sample adds one outer product.
  const Matrix design_rows = design.transpose();
  const RowMask contributes = contributing_rows(levels, reference_level);
  const WholeDesign whole = whole_design(design, levels, contributes);
  const auto n_blocks = static_cast<std::size_t>((n_features + kFeatureBlock - 1) / kFeatureBlock);
  parallel_for(parallel && n_features >= 2, n_blocks, [&](std::size_t block) {
    const Index first = static_cast<Index>(block) * kFeatureBlock;
    const Index last = std::min(n_features, first + kFeatureBlock);
    for (Index j = first; j < last; ++j) {
      const auto f = static_cast<std::size_t>(j);
      fits.status[f] = fit_one_feature(response, j, design, design_rows, levels, contributes,
                                       whole, fits.coefficients, fits.no_free_residual[f],
                                       std::span(fits.level_fitted).subspan(f * n_levels, n_levels));
    }
  });
  return fits;
}

Result<Matrix> fit_coefficients_by_feature(const Matrix& response, const Matrix& design,
                                           const BatchLevels& levels, bool parallel) {
  FeatureFits fits = fit_each_feature(response, design, levels, std::nullopt, parallel);
  if (Status failed = first_error(fits.status); !failed) return fail(std::move(failed.error()));
  return std::move(fits.coefficients);
}

double level_location(const DesignFit& fit, std::optional<std::size_t> reference_level,
                      Index feature, std::size_t level) {
  const auto b = fit.coefficients.col(feature);
  const auto c = static_cast<Index>(level);
  if (!reference_level || static_cast<Index>(*reference_level) == c) return 0.0 + b(c);
  const auto r = static_cast<Index>(*reference_level);
  return (0.0 + b(std::min(c, r))) + b(std::max(c, r));
}

void fitted_column(const DesignFit& fit, const BatchLevels& levels,
                   std::optional<std::size_t> reference_level, Index feature,
                   std::span<double> fitted) {
  const Matrix& design = fit.design;
  const Index n = design.rows();
  const auto n_levels = static_cast<Index>(levels.level_count());
  require(fitted.size() == static_cast<std::size_t>(n), "one fitted value per sample");
  const auto b = fit.coefficients.col(feature);
  // With finite coefficients a zero design entry adds +0.0 or -0.0 to a sum that started
  // at +0.0, which changes nothing; so each sample's batch columns (its own level's and
  // the reference column), the only non-zero ones, are added up once per level, in column
  // order. Otherwise every term counts: 0 * inf is NaN.
  Index first_term = 0;
  if (b.allFinite()) {
    std::vector<double> level_sums(static_cast<std::size_t>(n_levels));
    for (std::size_t c = 0; c < level_sums.size(); ++c) {
      level_sums[c] = level_location(fit, reference_level, feature, c);
    }
    const std::span<const std::size_t> sample_levels = levels.sample_levels();
    for (std::size_t i = 0; i < fitted.size(); ++i) fitted[i] = level_sums[sample_levels[i]];
    first_term = n_levels;
  } else {
    std::ranges::fill(fitted, 0.0);
  }
  for (Index k = first_term; k < design.cols(); ++k) {
    const double* x = design.col(k).data();
    for (Index i = 0; i < n; ++i) fitted[static_cast<std::size_t>(i)] += x[i] * b(k);
  }
}

bool has_missing(const Matrix& response, bool parallel) {
  // Whole columns per item, each item stopping at its own first NaN.
  const Index n_columns = response.cols();
  const auto n_blocks = static_cast<std::size_t>((n_columns + kFeatureBlock - 1) / kFeatureBlock);
  std::vector<unsigned char> block_missing(n_blocks, 0);
  parallel_for(parallel && n_columns >= 2, n_blocks, [&](std::size_t block) {
    const Index first = static_cast<Index>(block) * kFeatureBlock;
    const Index last = std::min(n_columns, first + kFeatureBlock);
    const double* data = response.col(first).data();
    const Index size = (last - first) * response.rows();
    for (Index k = 0; k < size; ++k) {
      if (std::isnan(data[k])) {
        block_missing[block] = 1;
        return;
      }
    }
  });
  return std::ranges::find(block_missing, 1) != block_missing.end();
}

std::vector<std::size_t> non_intercept_columns(std::size_t n, const CovariateMatrix& covariates) {
  std::vector<std::size_t> kept;
  for (std::size_t c = 0; c < covariates.n_covariates; ++c) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!(covariates.at(i, c) == 1.0)) {
        kept.push_back(c);
        break;
      }
    }
  }
  return kept;
}

Result<DesignFits> fit_design_each(const Matrix& response, const BatchLevels& levels,
                                   const std::optional<CovariateMatrix>& covariates,
                                   std::optional<std::size_t> reference_level, bool missing,
                                   bool parallel) {
  const std::size_t n = static_cast<std::size_t>(response.rows());
  DesignFits fits;
  fits.fit.design = build_design(n, levels, covariates, reference_level);
  const Matrix& design = fits.fit.design;
  if (missing) {
    FeatureFits each = fit_each_feature(response, design, levels, reference_level, parallel);
    fits.fit.coefficients = std::move(each.coefficients);
    fits.fit.no_free_residual = std::move(each.no_free_residual);
    fits.fit.level_fitted = std::move(each.level_fitted);
    fits.status = std::move(each.status);
    return fits;
  }
  Result<Matrix> coefficients = fit_complete_coefficients(response, design, parallel);
  if (!coefficients) return fail(std::move(coefficients.error()));
  fits.fit.coefficients = std::move(*coefficients);
  const WholeDesign whole = whole_design(design, levels, contributing_rows(levels, reference_level));
  const auto n_features = static_cast<std::size_t>(response.cols());
  fits.fit.no_free_residual.assign(n_features, whole.no_free_residual);
  fits.fit.level_fitted.reserve(n_features * levels.level_count());
  for (std::size_t f = 0; f < n_features; ++f) {
    fits.fit.level_fitted.insert(fits.fit.level_fitted.end(), whole.level_fitted.begin(),
                                 whole.level_fitted.end());
  }
  fits.status.resize(static_cast<std::size_t>(response.cols()));
  return fits;
}

Result<DesignFit> fit_design(const Matrix& response, const BatchLevels& levels,
                             const std::optional<CovariateMatrix>& covariates,
                             std::optional<std::size_t> reference_level, bool missing,
                             bool parallel) {
  Result<DesignFits> fits =
      fit_design_each(response, levels, covariates, reference_level, missing, parallel);
  if (!fits) return fail(std::move(fits.error()));
  if (Status failed = first_error(fits->status); !failed) return fail(std::move(failed.error()));
  return std::move(fits->fit);
}

}  // namespace quarnel
