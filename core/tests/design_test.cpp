// The design of the batch-effect model and its least-squares fits: inversion that fails
// only on an exactly zero determinant or pivot, the batch indicators, the complete and the
// per-feature fits, and the failures each of them reports.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/design.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::make_levels;

using Index = Eigen::Index;
using Ids = std::vector<std::uint64_t>;
using testing::bit_identical;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// fit_design as the pipeline calls it: the route chosen by scanning the response.
Result<DesignFit> fit_scanned(const Matrix& y, const BatchLevels& levels,
                              const std::optional<CovariateMatrix>& covariates,
                              std::optional<std::size_t> reference_level,
                              bool parallel = false) {
  return fit_design(y, levels, covariates, reference_level, has_missing(y), parallel);
}

// The part of every fitted value carried by the covariates.
Matrix covariate_effects_of(const DesignFit& fit, Index n_levels) {
  const Index k = fit.design.cols() - n_levels;
  return fit.design.rightCols(k) * fit.coefficients.bottomRows(k);
}

// Every feature's fitted values, one fitted_column per feature.
Matrix fitted_of(const DesignFit& fit, const BatchLevels& levels,
                 std::optional<std::size_t> reference_level) {
  Matrix fitted(fit.design.rows(), fit.coefficients.cols());
  for (Index j = 0; j < fitted.cols(); ++j) {
    fitted_column(fit, levels, reference_level, j,
                  std::span<double>(fitted.col(j).data(), static_cast<std::size_t>(fitted.rows())));
  }
  return fitted;
}
const double kEps = std::ldexp(1.0, -52);  // 2^-52, the spacing of doubles just above 1.0

const std::string kSingular = "singular design matrix";
const std::string kInfiniteResponse = "numerical failure: design response contains an infinite value";
const std::string kNonFiniteCoefficient =
    "numerical failure: design fit produced a non-finite coefficient";

std::span<const double> data_of(const Matrix& m) {
  return {m.data(), static_cast<std::size_t>(m.size())};
}

// Element-wise |actual - expected| <= tol * max(1, largest |expected|), naming the worst
// element on failure.
::testing::AssertionResult near_matrix(const Matrix& actual, const Matrix& expected,
                                       double tol) {
  if (actual.rows() != expected.rows() || actual.cols() != expected.cols()) {
    return ::testing::AssertionFailure() << "shape " << actual.rows() << "x" << actual.cols()
                                         << ", expected " << expected.rows() << "x"
                                         << expected.cols();
  }
  const double scale = std::max(1.0, expected.cwiseAbs().maxCoeff());
  for (Index c = 0; c < actual.cols(); ++c) {
    for (Index r = 0; r < actual.rows(); ++r) {
      const double diff = std::abs(actual(r, c) - expected(r, c));
      if (!(diff <= tol * scale)) {
        return ::testing::AssertionFailure()
               << "element (" << r << ", " << c << ") is " << actual(r, c) << ", expected "
               << expected(r, c) << " (tolerance " << tol * scale << ")";
      }
    }
  }
  return ::testing::AssertionSuccess();
}

Matrix from_rows(std::initializer_list<std::initializer_list<double>> rows) {
  const Index n_rows = static_cast<Index>(rows.size());
  const Index n_cols = static_cast<Index>(rows.begin()->size());
  Matrix m(n_rows, n_cols);
  Index r = 0;
  for (const auto& row : rows) {
    Index c = 0;
    for (double v : row) m(r, c++) = v;
    ++r;
  }
  return m;
}

// n x G response with one column per feature given as a list of sample values.
Matrix from_features(std::initializer_list<std::vector<double>> features) {
  const Index n = static_cast<Index>(features.begin()->size());
  Matrix m(n, static_cast<Index>(features.size()));
  Index j = 0;
  for (const auto& feature : features) {
    for (Index i = 0; i < n; ++i) m(i, j) = feature[static_cast<std::size_t>(i)];
    ++j;
  }
  return m;
}

Matrix random_matrix(Index rows, Index cols, std::uint64_t seed, double lo = -1.0,
                     double hi = 1.0) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  Matrix m(rows, cols);
  for (Index c = 0; c < cols; ++c) {
    for (Index r = 0; r < rows; ++r) m(r, c) = dist(rng);
  }
  return m;
}

// Row-major covariates owned by the test, viewed as the library's CovariateMatrix.
struct Covariates {
  std::vector<double> values;  // row-major n x k
  std::size_t k = 0;

  static Covariates from_columns(std::initializer_list<std::vector<double>> columns) {
    Covariates cov;
    cov.k = columns.size();
    const std::size_t n = columns.begin()->size();
    cov.values.assign(n * cov.k, 0.0);
    std::size_t c = 0;
    for (const auto& column : columns) {
      for (std::size_t i = 0; i < n; ++i) cov.values[i * cov.k + c] = column[i];
      ++c;
    }
    return cov;
  }
  CovariateMatrix view() const { return CovariateMatrix{values, k}; }
  double at(std::size_t i, std::size_t c) const { return values[i * k + c]; }
};

// The model's full design written out directly from the sample levels: indicator of each
// sample's level, the reference column set for every sample, then the given covariate
// columns (the test passes only the columns it expects to be kept).
Matrix reference_design(const Ids& ids, std::optional<std::size_t> ref,
                        const std::vector<std::vector<double>>& kept_columns = {}) {
  const BatchLevels levels = make_levels(ids);
  const Index n = static_cast<Index>(ids.size());
  const Index n_levels = static_cast<Index>(levels.level_count());
  Matrix x = Matrix::Zero(n, n_levels + static_cast<Index>(kept_columns.size()));
  for (Index i = 0; i < n; ++i) {
    x(i, static_cast<Index>(levels.level_of_sample(static_cast<std::size_t>(i)))) = 1.0;
    if (ref) x(i, static_cast<Index>(*ref)) = 1.0;
  }
  for (std::size_t m = 0; m < kept_columns.size(); ++m) {
    for (Index i = 0; i < n; ++i) {
      x(i, n_levels + static_cast<Index>(m)) = kept_columns[m][static_cast<std::size_t>(i)];
    }
  }
  return x;
}

// Least squares by Eigen's QR over the observed (non-NaN) samples of each feature.
Matrix least_squares_on_observed(const Matrix& design, const Matrix& response) {
  Matrix b(design.cols(), response.cols());
  for (Index j = 0; j < response.cols(); ++j) {
    std::vector<Index> rows;
    for (Index i = 0; i < response.rows(); ++i) {
      if (!std::isnan(response(i, j))) rows.push_back(i);
    }
    Matrix x(static_cast<Index>(rows.size()), design.cols());
    Vector y(static_cast<Index>(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
      x.row(static_cast<Index>(r)) = design.row(rows[r]);
      y(static_cast<Index>(r)) = response(rows[r], j);
    }
    b.col(j) = x.colPivHouseholderQr().solve(y);
  }
  return b;
}

// The mean of feature j over the observed samples of one level, summed directly.
double level_mean(const Matrix& response, Index j, const BatchLevels& levels,
                  std::size_t level) {
  double sum = 0.0;
  int count = 0;
  for (Index i = 0; i < response.rows(); ++i) {
    if (levels.level_of_sample(static_cast<std::size_t>(i)) != level) continue;
    if (std::isnan(response(i, j))) continue;
    sum += response(i, j);
    ++count;
  }
  return sum / count;
}

// ---------------------------------------------------------------------------------------
// invert_exact: well-conditioned matrices of every size.

// Names a parameterised case by its `label` field.
struct LabelName {
  template <class T>
  std::string operator()(const ::testing::TestParamInfo<T>& case_info) const {
    return case_info.param.label;
  }
};

struct ReferenceName {
  std::string operator()(
      const ::testing::TestParamInfo<std::optional<std::size_t>>& case_info) const {
    return case_info.param ? "reference_" + std::to_string(*case_info.param) : "no_reference";
  }
};

struct InvertCase {
  std::string label;
  Matrix a;
};

std::vector<InvertCase> well_conditioned_cases() {
  std::vector<InvertCase> cases;
  for (Index n : {1, 2, 3, 4, 5, 6, 8}) {
    const std::string size = std::to_string(n);
    for (std::uint64_t seed : {11u, 12u}) {
      // Diagonally dominant: well away from singular.
      Matrix dominant = random_matrix(n, n, seed * 100 + static_cast<std::uint64_t>(n));
      dominant.diagonal().array() += static_cast<double>(n) + 1.0;
      cases.push_back({"dominant_" + size + "_seed" + std::to_string(seed), dominant});
    }
    // The same with its rows reversed: the large entries sit off the diagonal, so the LU
    // sizes have to pivot in every column.
    Matrix dominant = random_matrix(n, n, 77 + static_cast<std::uint64_t>(n));
    dominant.diagonal().array() += static_cast<double>(n) + 1.0;
    cases.push_back({"reversed_rows_" + size, dominant.colwise().reverse()});
    // A Gram matrix X^T X of a tall random design, the kind of matrix the fits invert.
    const Matrix x = random_matrix(3 * n + 2, n, 500 + static_cast<std::uint64_t>(n), -2.0, 3.0);
    cases.push_back({"gram_" + size, x.transpose() * x});
    // A general random matrix, no structure.
    cases.push_back(
        {"general_" + size, random_matrix(n, n, 900 + static_cast<std::uint64_t>(n), -4.0, 4.0)});
  }
  return cases;
}

class InvertExactTest : public ::testing::TestWithParam<InvertCase> {};

TEST_P(InvertExactTest, InvertsWellConditionedMatrix) {
  const Matrix& a = GetParam().a;
  const std::optional<Matrix> inv = invert_exact(a);
  ASSERT_TRUE(inv.has_value());
  const Matrix identity = Matrix::Identity(a.rows(), a.cols());
  const double cond_scale = a.cwiseAbs().maxCoeff() * a.inverse().cwiseAbs().maxCoeff();
  EXPECT_TRUE(near_matrix(a * *inv, identity, 1e-13 * cond_scale * static_cast<double>(a.rows())));
  EXPECT_TRUE(near_matrix(*inv * a, identity, 1e-13 * cond_scale * static_cast<double>(a.rows())));
  const Matrix eigen_inverse = a.fullPivLu().inverse();
  EXPECT_TRUE(near_matrix(*inv, eigen_inverse, 1e-13 * cond_scale * static_cast<double>(a.rows())));
}

INSTANTIATE_TEST_SUITE_P(Sizes, InvertExactTest, ::testing::ValuesIn(well_conditioned_cases()),
                         LabelName{});

// ---------------------------------------------------------------------------------------
// invert_exact: exactly singular matrices return nothing. Every case is built so that exact
// arithmetic is also what the floating-point evaluation performs (small integers and
// dyadic fractions), so its determinant or one pivot is exactly 0.0.

// L * U with L unit lower triangular (entries below the diagonal in {0, +-1/2}, so partial
// pivoting never swaps rows) and U upper triangular with U(zero_at, zero_at) = 0: the
// elimination reproduces U exactly and meets a zero pivot at step zero_at, although no row
// or column of the product is zero.
Matrix product_with_zero_pivot(Index n, Index zero_at) {
  Matrix l = Matrix::Identity(n, n);
  Matrix u = Matrix::Zero(n, n);
  for (Index r = 0; r < n; ++r) {
    for (Index c = 0; c < r; ++c) {
      l(r, c) = ((r + c) % 3 == 0) ? 0.0 : ((r + c) % 3 == 1 ? 0.5 : -0.5);
    }
    u(r, r) = (r == zero_at) ? 0.0 : static_cast<double>(2 + (r % 3));
    for (Index c = r + 1; c < n; ++c) u(r, c) = static_cast<double>((r * 3 + c * 5) % 7) - 3.0;
  }
  return l * u;
}

// Small integers with two equal rows.
Matrix integer_matrix(Index n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int> dist(-5, 5);
  Matrix m(n, n);
  for (Index c = 0; c < n; ++c) {
    for (Index r = 0; r < n; ++r) m(r, c) = dist(rng);
  }
  return m;
}

std::vector<InvertCase> singular_cases() {
  std::vector<InvertCase> cases;
  cases.push_back({"zero_1", from_rows({{0.0}})});
  cases.push_back({"negative_zero_1", from_rows({{-0.0}})});
  for (Index n : {2, 3, 4, 5, 6, 8}) {
    const std::string size = std::to_string(n);
    const Index last = n - 1;
    Matrix zero_row = integer_matrix(n, 30 + static_cast<std::uint64_t>(n));
    zero_row.row(last / 2).setZero();
    cases.push_back({"zero_row_" + size, zero_row});

    Matrix zero_column = integer_matrix(n, 40 + static_cast<std::uint64_t>(n));
    zero_column.col(last).setZero();
    cases.push_back({"zero_column_" + size, zero_column});

    Matrix equal_rows = integer_matrix(n, 50 + static_cast<std::uint64_t>(n));
    equal_rows.row(last) = equal_rows.row(0);
    cases.push_back({"equal_first_and_last_rows_" + size, equal_rows});

    // Equal columns: the pivots before them are powers of two (column 0 holds a 4 and
    // nothing larger), so the elimination stays exact.
    Matrix equal_columns = integer_matrix(n, 60 + static_cast<std::uint64_t>(n));
    equal_columns.col(0) = equal_columns.col(0).cwiseMax(-3.0).cwiseMin(3.0);
    equal_columns(last, 0) = 4.0;
    equal_columns.col(1) = equal_columns.col(0);
    cases.push_back({"equal_columns_" + size, equal_columns});
  }
  for (Index n : {3, 4, 5, 6, 8}) {
    const std::string size = std::to_string(n);
    cases.push_back({"zero_pivot_last_step_" + size, product_with_zero_pivot(n, n - 1)});
    cases.push_back({"zero_pivot_middle_step_" + size, product_with_zero_pivot(n, n / 2)});
  }
  // Integer matrices whose rank deficiency shows only as a combination of rows.
  cases.push_back({"third_row_sum_of_others_3", from_rows({{1, 2, 3}, {4, 5, 6}, {5, 7, 9}})});
  cases.push_back({"row_difference_4",
                   from_rows({{2, -1, 0, 3}, {1, 4, -2, 0}, {1, -5, 2, 3}, {0, 1, 1, 1}})});
  cases.push_back({"consecutive_integers_4", from_rows({{1, 2, 3, 4},
                                                        {5, 6, 7, 8},
                                                        {9, 10, 11, 12},
                                                        {13, 14, 15, 16}})});
  // The second column is twice the first: after pivoting on the 4 in column 0 the
  // whole second column is eliminated to exactly 0.0.
  cases.push_back({"proportional_columns_5", from_rows({{1, 2, 3, 0, 1},
                                                        {-2, -4, 1, 1, 0},
                                                        {4, 8, 0, 2, 1},
                                                        {3, 6, -1, 1, 2},
                                                        {0, 0, 2, -3, 1}})});
  return cases;
}

class InvertExactSingularTest : public ::testing::TestWithParam<InvertCase> {};

TEST_P(InvertExactSingularTest, ReturnsNothing) {
  const Matrix& a = GetParam().a;
  const std::optional<Matrix> inv = invert_exact(a);
  EXPECT_FALSE(inv.has_value()) << "inverted a singular matrix:\n" << a;
}

INSTANTIATE_TEST_SUITE_P(Exact, InvertExactSingularTest, ::testing::ValuesIn(singular_cases()),
                         LabelName{});

// ---------------------------------------------------------------------------------------
// invert_exact: no tolerance. A nearly singular matrix is inverted as it is.

// The identity with its leading 2 x 2 block replaced by [[1, 1], [1, 1 + 2^-52]], whose
// determinant is 2^-52 and whose inverse is [[2^52 + 1, -2^52], [-2^52, 2^52]]: every
// value exactly representable.
struct NearlySingularCase {
  std::string label;
  Matrix a;
  Matrix inverse;
};

std::vector<NearlySingularCase> nearly_singular_cases() {
  std::vector<NearlySingularCase> cases;
  const double big = std::ldexp(1.0, 52);
  for (Index n : {2, 3, 4, 5, 6, 8}) {
    Matrix a = Matrix::Identity(n, n);
    a(0, 1) = 1.0;
    a(1, 0) = 1.0;
    a(1, 1) = 1.0 + kEps;
    Matrix inv = Matrix::Identity(n, n);
    inv(0, 0) = big + 1.0;
    inv(0, 1) = -big;
    inv(1, 0) = -big;
    inv(1, 1) = big;
    cases.push_back({"near_pair_" + std::to_string(n), a, inv});
    // The same block moved to the last two rows and columns.
    Matrix a_end = a.reverse();
    Matrix inv_end = inv.reverse();
    cases.push_back({"near_pair_at_end_" + std::to_string(n), a_end, inv_end});
  }
  cases.push_back({"tiny_scalar", from_rows({{1e-300}}), from_rows({{1e300}})});
  cases.push_back({"tiny_diagonal_5", Matrix(Vector::Constant(5, 0x1p-500).asDiagonal()),
                   Matrix(Vector::Constant(5, 0x1p500).asDiagonal())});
  return cases;
}

class InvertExactNearlySingularTest : public ::testing::TestWithParam<NearlySingularCase> {};

TEST_P(InvertExactNearlySingularTest, InvertsWithoutTolerance) {
  const NearlySingularCase& c = GetParam();
  const std::optional<Matrix> inv = invert_exact(c.a);
  ASSERT_TRUE(inv.has_value()) << "refused a matrix whose determinant is not zero";
  EXPECT_TRUE(near_matrix(*inv, c.inverse, 1e-12));
}

INSTANTIATE_TEST_SUITE_P(
    NoTolerance, InvertExactNearlySingularTest, ::testing::ValuesIn(nearly_singular_cases()),
    LabelName{});

// ---------------------------------------------------------------------------------------
// invert_exact: a zero on the diagonal of an invertible matrix, and the choice of pivot.

std::vector<InvertCase> pivoting_cases() {
  std::vector<InvertCase> cases;
  for (Index n : {2, 3, 4, 5, 6, 8}) {
    // A cyclic permutation times 2: every diagonal entry is 0.
    Matrix cyclic = Matrix::Zero(n, n);
    for (Index r = 0; r < n; ++r) cyclic(r, (r + 1) % n) = 2.0;
    cases.push_back({"cyclic_permutation_" + std::to_string(n), cyclic});
    // A diagonally dominant matrix with its first two rows swapped and the (now small)
    // top-left entry set to 0.0: invertible, but column 0 must pivot on row 1.
    Matrix corner = random_matrix(n, n, 300 + static_cast<std::uint64_t>(n));
    corner.diagonal().array() += static_cast<double>(n);
    corner.row(0).swap(corner.row(1));
    corner(0, 0) = 0.0;
    cases.push_back({"zero_corner_" + std::to_string(n), corner});
    // [[e, 1], [1, 1]] with e = 1e-20 in the leading block: taking the tiny first entry as
    // the pivot (instead of the larger 1 below it) loses the inverse completely.
    Matrix tiny_first = Matrix::Identity(n, n);
    tiny_first(0, 0) = 1e-20;
    tiny_first(0, 1) = 1.0;
    tiny_first(1, 0) = 1.0;
    tiny_first(1, 1) = 1.0;
    cases.push_back({"tiny_leading_entry_" + std::to_string(n), tiny_first});
  }
  return cases;
}

class InvertExactPivotingTest : public ::testing::TestWithParam<InvertCase> {};

TEST_P(InvertExactPivotingTest, InvertsAccurately) {
  const Matrix& a = GetParam().a;
  const std::optional<Matrix> inv = invert_exact(a);
  ASSERT_TRUE(inv.has_value());
  EXPECT_TRUE(near_matrix(a * *inv, Matrix::Identity(a.rows(), a.cols()), 1e-12));
  EXPECT_TRUE(near_matrix(*inv, a.fullPivLu().inverse(), 1e-12));
}

INSTANTIATE_TEST_SUITE_P(ZeroDiagonal, InvertExactPivotingTest,
                         ::testing::ValuesIn(pivoting_cases()), LabelName{});

TEST(InvertExactTest, RejectsNonSquareAsProgrammingFault) {
  EXPECT_THROW(static_cast<void>(invert_exact(Matrix::Identity(2, 3))), InternalFault);
  EXPECT_THROW(static_cast<void>(invert_exact(Matrix(0, 0))), InternalFault);
}

// ---------------------------------------------------------------------------------------
// build_batch_design

struct BatchDesignCase {
  std::string label;
  Ids ids;
  std::optional<std::size_t> ref;
  Matrix expected;
};

class DesignBatchTest : public ::testing::TestWithParam<BatchDesignCase> {};

TEST_P(DesignBatchTest, BuildsIndicators) {
  const BatchDesignCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  const Matrix design = build_batch_design(c.ids.size(), levels, c.ref);
  ASSERT_EQ(design.rows(), c.expected.rows());
  ASSERT_EQ(design.cols(), c.expected.cols());
  EXPECT_TRUE(bit_identical(data_of(design), data_of(c.expected))) << design;

  // Row sums: one 1.0 per row, or two for the rows of non-reference samples.
  for (Index i = 0; i < design.rows(); ++i) {
    const std::size_t level = levels.level_of_sample(static_cast<std::size_t>(i));
    const double expected_sum = (c.ref && level != *c.ref) ? 2.0 : 1.0;
    EXPECT_EQ(design.row(i).sum(), expected_sum) << "row " << i;
  }
  if (c.ref) {
    EXPECT_TRUE((design.col(static_cast<Index>(*c.ref)).array() == 1.0).all());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Indicators, DesignBatchTest,
    ::testing::Values(
        BatchDesignCase{"two_levels", {0, 1, 0, 1}, std::nullopt,
                        from_rows({{1, 0}, {0, 1}, {1, 0}, {0, 1}})},
        // Ids are mapped to levels in ascending id order, not in order of appearance.
        BatchDesignCase{"unsorted_ids", {9, 2, 5, 2, 9}, std::nullopt,
                        from_rows({{0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, 1}})},
        BatchDesignCase{"reference_first", {9, 2, 5, 2, 9}, 0,
                        from_rows({{1, 0, 1}, {1, 0, 0}, {1, 1, 0}, {1, 0, 0}, {1, 0, 1}})},
        BatchDesignCase{"reference_middle", {9, 2, 5, 2, 9}, 1,
                        from_rows({{0, 1, 1}, {1, 1, 0}, {0, 1, 0}, {1, 1, 0}, {0, 1, 1}})},
        BatchDesignCase{"reference_last", {9, 2, 5, 2, 9}, 2,
                        from_rows({{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 0, 1}, {0, 0, 1}})},
        BatchDesignCase{"singleton_reference", {4, 4, 4, 7}, 1,
                        from_rows({{1, 1}, {1, 1}, {1, 1}, {0, 1}})}),
    LabelName{});

// ---------------------------------------------------------------------------------------
// Complete data without covariates: coefficients are level means.

struct LevelsCase {
  std::string label;
  Ids ids;
  std::optional<std::size_t> ref;
};

const std::vector<LevelsCase> kLevelsCases = {
    {"two_levels", {0, 0, 0, 1, 1}, std::nullopt},
    {"unequal_sizes", {5, 1, 5, 3, 3, 5, 1, 5, 3}, std::nullopt},
    {"singleton_level", {2, 2, 2, 8, 2}, std::nullopt},
    {"reference_first", {5, 1, 5, 3, 3, 5, 1, 5, 3}, 0},
    {"reference_middle", {5, 1, 5, 3, 3, 5, 1, 5, 3}, 1},
    {"reference_last", {5, 1, 5, 3, 3, 5, 1, 5, 3}, 2},
    {"four_levels_reference", {0, 1, 2, 3, 3, 2, 1, 0, 0, 2}, 2},
};

class DesignCompleteTest : public ::testing::TestWithParam<LevelsCase> {};

TEST_P(DesignCompleteTest, CoefficientsAreLevelMeans) {
  const LevelsCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  const Index n = static_cast<Index>(c.ids.size());
  const Index n_levels = static_cast<Index>(levels.level_count());
  const Matrix y = random_matrix(n, 4, 17, -3.0, 8.0);

  ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, std::nullopt, c.ref));
  ASSERT_EQ(fit.coefficients.rows(), n_levels);
  ASSERT_EQ(fit.coefficients.cols(), y.cols());

  Matrix expected(n_levels, y.cols());
  Matrix expected_fitted(n, y.cols());
  for (Index j = 0; j < y.cols(); ++j) {
    const double ref_mean = c.ref ? level_mean(y, j, levels, *c.ref) : 0.0;
    for (Index l = 0; l < n_levels; ++l) {
      const double mean = level_mean(y, j, levels, static_cast<std::size_t>(l));
      const bool is_ref = c.ref && static_cast<Index>(*c.ref) == l;
      expected(l, j) = (!c.ref || is_ref) ? mean : mean - ref_mean;
    }
    for (Index i = 0; i < n; ++i) {
      const std::size_t level = levels.level_of_sample(static_cast<std::size_t>(i));
      expected_fitted(i, j) = level_mean(y, j, levels, level);
    }
  }
  EXPECT_TRUE(near_matrix(fit.coefficients, expected, 1e-12));
  EXPECT_TRUE(near_matrix(fitted_of(fit, levels, c.ref), expected_fitted, 1e-12));
  // Without covariates the design is the batch design alone.
  EXPECT_TRUE(bit_identical(data_of(fit.design), data_of(reference_design(c.ids, c.ref))));

  // The per-feature routine reaches the same coefficients on complete data.
  ASSERT_OK_AND_ASSIGN(const Matrix by_feature,
                       fit_coefficients_by_feature(y, reference_design(c.ids, c.ref), levels));
  EXPECT_TRUE(near_matrix(by_feature, expected, 1e-12));
}

INSTANTIATE_TEST_SUITE_P(NoCovariates, DesignCompleteTest, ::testing::ValuesIn(kLevelsCases),
                         LabelName{});

// ---------------------------------------------------------------------------------------
// Covariates: intercept columns are left out; the rest are fitted with the indicators.

const Ids kCovIds = {0, 0, 0, 1, 1, 1, 1, 2, 2};
const std::vector<double> kAge = {0.3, 1.9, -0.7, 2.2, 0.1, 1.4, -1.1, 0.8, 2.6};
const std::vector<double> kDose = {5.0, 3.0, 4.5, 1.0, 2.5, 6.0, 3.5, 0.5, 2.0};
const std::vector<double> kOnes = std::vector<double>(9, 1.0);

class DesignCovariateTest : public ::testing::TestWithParam<std::optional<std::size_t>> {};

TEST_P(DesignCovariateTest, MatchesLeastSquaresAndSplitsOffCovariateEffects) {
  const std::optional<std::size_t> ref = GetParam();
  const BatchLevels levels = make_levels(kCovIds);
  const Matrix y = random_matrix(9, 3, 23, -2.0, 5.0);
  const Covariates cov = Covariates::from_columns({kAge, kDose});

  ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, cov.view(), ref));
  const Matrix x = reference_design(kCovIds, ref, {kAge, kDose});
  const Matrix expected = least_squares_on_observed(x, y);
  EXPECT_TRUE(near_matrix(fit.coefficients, expected, 1e-11));
  EXPECT_TRUE(near_matrix(fitted_of(fit, levels, ref), x * expected, 1e-11));

  // The covariate part: age and dose times their own coefficients, nothing of the batches.
  Matrix expected_effects(9, 3);
  for (Index j = 0; j < 3; ++j) {
    for (Index i = 0; i < 9; ++i) {
      expected_effects(i, j) = kAge[static_cast<std::size_t>(i)] * expected(3, j) +
                               kDose[static_cast<std::size_t>(i)] * expected(4, j);
    }
  }
  EXPECT_TRUE(near_matrix(covariate_effects_of(fit, 3), expected_effects, 1e-11));
}

INSTANTIATE_TEST_SUITE_P(References, DesignCovariateTest,
                         ::testing::Values(std::nullopt, std::optional<std::size_t>{0},
                                           std::optional<std::size_t>{2}),
                         ReferenceName{});

void expect_same_fit(const DesignFit& actual, const DesignFit& expected,
                     const BatchLevels& levels, std::optional<std::size_t> ref) {
  EXPECT_EQ(actual.coefficients.rows(), expected.coefficients.rows());
  EXPECT_TRUE(bit_identical(data_of(actual.coefficients), data_of(expected.coefficients)));
  EXPECT_TRUE(bit_identical(data_of(fitted_of(actual, levels, ref)), data_of(fitted_of(expected, levels, ref))));
  EXPECT_TRUE(bit_identical(data_of(actual.design), data_of(expected.design)));
}

struct InterceptCase {
  std::string label;
  bool missing;  // one NaN in the response: the per-feature route
  std::optional<std::size_t> ref;
};

class DesignInterceptTest : public ::testing::TestWithParam<InterceptCase> {};

TEST_P(DesignInterceptTest, InterceptColumnsAreLeftOut) {
  const InterceptCase& c = GetParam();
  const BatchLevels levels = make_levels(kCovIds);
  Matrix y = random_matrix(9, 3, 29, -2.0, 5.0);
  if (c.missing) y(4, 1) = kNaN;

  ASSERT_OK_AND_ASSIGN(const DesignFit plain, fit_scanned(y, levels, std::nullopt, c.ref));
  const Covariates ones_only = Covariates::from_columns({kOnes, kOnes});
  ASSERT_OK_AND_ASSIGN(const DesignFit with_ones, fit_scanned(y, levels, ones_only.view(), c.ref));
  expect_same_fit(with_ones, plain, levels, c.ref);

  const Covariates age_only = Covariates::from_columns({kAge});
  ASSERT_OK_AND_ASSIGN(const DesignFit age, fit_scanned(y, levels, age_only.view(), c.ref));
  EXPECT_EQ(age.coefficients.rows(), 4);
  for (const Covariates& padded : {Covariates::from_columns({kOnes, kAge}),
                                   Covariates::from_columns({kAge, kOnes}),
                                   Covariates::from_columns({kOnes, kAge, kOnes})}) {
    ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, padded.view(), c.ref));
    expect_same_fit(fit, age, levels, c.ref);
  }
}

TEST_P(DesignInterceptTest, ColumnDifferingFromOneInOneSampleStays) {
  const InterceptCase& c = GetParam();
  const BatchLevels levels = make_levels(kCovIds);
  Matrix y = random_matrix(9, 2, 31, -2.0, 5.0);
  if (c.missing) y(4, 1) = kNaN;

  for (const double odd : {2.0, 0.0, -1.0}) {
    std::vector<double> almost = kOnes;
    almost[5] = odd;  // sample 5 of level 1, which has three other samples
    const Covariates cov = Covariates::from_columns({almost});
    ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, cov.view(), c.ref));
    ASSERT_EQ(fit.coefficients.rows(), 4) << "the column was dropped for value " << odd;
    const Matrix x = reference_design(kCovIds, c.ref, {almost});
    EXPECT_TRUE(near_matrix(fit.coefficients, least_squares_on_observed(x, y), 1e-11))
        << "odd value " << odd;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Routes, DesignInterceptTest,
    ::testing::Values(InterceptCase{"complete", false, std::nullopt},
                      InterceptCase{"complete_reference", false, 1},
                      InterceptCase{"missing", true, std::nullopt},
                      InterceptCase{"missing_reference", true, 0}),
    LabelName{});

// ---------------------------------------------------------------------------------------
// Missing values: every feature goes through the per-feature fit over its own samples.

TEST(DesignMissingTest, FeatureWithoutNaNGetsJointFitCoefficients) {
  using OptionalLevel = std::optional<std::size_t>;
  for (const OptionalLevel ref : {OptionalLevel{}, OptionalLevel{1}}) {
    SCOPED_TRACE(ref ? "reference 1" : "no reference");
    const BatchLevels levels = make_levels(kCovIds);
    const Covariates cov = Covariates::from_columns({kAge, kDose});
    const Matrix complete = random_matrix(9, 3, 37, -1.0, 6.0);
    Matrix y = complete;
    y(6, 2) = kNaN;  // only the last feature misses a value

    ASSERT_OK_AND_ASSIGN(const DesignFit joint, fit_scanned(complete, levels, cov.view(), ref));
    ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, cov.view(), ref));
    EXPECT_TRUE(near_matrix(fit.coefficients.leftCols(2), joint.coefficients.leftCols(2), 1e-11));
    EXPECT_TRUE(near_matrix(fitted_of(fit, levels, ref).leftCols(2), fitted_of(joint, levels, ref).leftCols(2), 1e-11));

    // The feature with the NaN is fitted over its eight observed samples.
    const Matrix x = reference_design(kCovIds, ref, {kAge, kDose});
    const Matrix expected = least_squares_on_observed(x, y);
    EXPECT_TRUE(near_matrix(fit.coefficients, expected, 1e-11));
    EXPECT_FALSE(near_matrix(fit.coefficients.col(2), joint.coefficients.col(2), 1e-6))
        << "dropping a sample should move that feature's coefficients";

    // fitted = X B and covariate_effects = X0 B over all samples, the missing one included.
    Matrix x0 = x;
    x0.leftCols(3).setZero();
    EXPECT_TRUE(near_matrix(fitted_of(fit, levels, ref), x * fit.coefficients, 1e-12));
    EXPECT_TRUE(near_matrix(covariate_effects_of(fit, 3), x0 * fit.coefficients, 1e-12));
    EXPECT_TRUE(fitted_of(fit, levels, ref).allFinite());
    EXPECT_TRUE(covariate_effects_of(fit, 3).allFinite());
  }
}

TEST(DesignMissingTest, LevelMeansOverObservedSamples) {
  const Ids ids = {0, 0, 0, 1, 1, 1, 2, 2};
  const BatchLevels levels = make_levels(ids);
  const Matrix y = from_features({{1.0, 2.0, kNaN, 10.0, kNaN, 14.0, 7.0, 9.0},
                                  {3.0, 3.5, 4.5, 20.0, 22.0, 27.0, kNaN, -1.0}});
  ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, std::nullopt, std::nullopt));
  EXPECT_TRUE(near_matrix(fit.coefficients, from_rows({{1.5, 11.0 / 3.0}, {12.0, 23.0}, {8.0, -1.0}}),
                          1e-14));
  ASSERT_OK_AND_ASSIGN(const DesignFit with_ref, fit_scanned(y, levels, std::nullopt, 1));
  EXPECT_TRUE(near_matrix(with_ref.coefficients,
                          from_rows({{1.5 - 12.0, 11.0 / 3.0 - 23.0},
                                     {12.0, 23.0},
                                     {8.0 - 12.0, -1.0 - 23.0}}),
                          1e-14));
}

// ---------------------------------------------------------------------------------------
// Failures of the fits, and which route reports them.

struct FailureCase {
  std::string label;
  Ids ids;
  std::optional<std::size_t> ref;
  std::vector<std::vector<double>> covariates;  // columns; empty for none
  std::vector<std::vector<double>> features;    // response columns
  std::string expected;
};

Matrix response_of(const std::vector<std::vector<double>>& features) {
  const Index n = static_cast<Index>(features.front().size());
  Matrix m(n, static_cast<Index>(features.size()));
  for (std::size_t j = 0; j < features.size(); ++j) {
    for (Index i = 0; i < n; ++i) {
      m(i, static_cast<Index>(j)) = features[j][static_cast<std::size_t>(i)];
    }
  }
  return m;
}

Covariates covariates_of(const std::vector<std::vector<double>>& columns) {
  Covariates cov;
  cov.k = columns.size();
  const std::size_t n = columns.front().size();
  cov.values.assign(n * cov.k, 0.0);
  for (std::size_t c = 0; c < cov.k; ++c) {
    for (std::size_t i = 0; i < n; ++i) cov.values[i * cov.k + c] = columns[c][i];
  }
  return cov;
}

class DesignFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DesignFailureTest, ReportsFirstFailingFeature) {
  const FailureCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  const Matrix y = response_of(c.features);
  std::optional<CovariateMatrix> view;
  const Covariates cov = c.covariates.empty() ? Covariates{} : covariates_of(c.covariates);
  if (!c.covariates.empty()) view = cov.view();

  EXPECT_ERROR_TEXT(fit_scanned(y, levels, view, c.ref), c.expected);
  // The per-feature routine on its own, given the same design (no intercept columns in
  // these cases), fails the same way.
  const Matrix x = reference_design(c.ids, c.ref, c.covariates);
  EXPECT_ERROR_TEXT(fit_coefficients_by_feature(y, x, levels), c.expected);
}

const Ids kSix = {0, 0, 0, 1, 1, 1};
const Ids kNine = {0, 0, 0, 1, 1, 1, 2, 2, 2};

INSTANTIATE_TEST_SUITE_P(
    PerFeature, DesignFailureTest,
    ::testing::Values(
        // Both levels observed, but three observed values for four design columns.
        FailureCase{"fewer_observed_than_columns", kSix, std::nullopt,
                    {{0.1, 0.5, 0.9, 1.3, 0.2, 0.7}, {2.0, 1.1, 0.4, 0.8, 1.9, 0.3}},
                    {{1.0, kNaN, 2.0, kNaN, 3.0, kNaN}},
                    kSingular},
        FailureCase{"level_all_missing", kNine, std::nullopt, {},
                    {{1.0, 2.0, 4.0, kNaN, kNaN, kNaN, 3.0, 5.0, 6.0}},
                    kSingular},
        FailureCase{"non_reference_level_all_missing", kNine, 0, {},
                    {{1.0, 2.0, 4.0, 8.0, 9.0, 7.0, kNaN, kNaN, kNaN}},
                    kSingular},
        FailureCase{"reference_level_all_missing", kNine, 1, {},
                    {{1.0, 2.0, 4.0, kNaN, kNaN, kNaN, 3.0, 5.0, 6.0}},
                    kSingular},
        FailureCase{"level_all_missing_with_covariate", kNine, std::nullopt,
                    {{0.4, 1.2, 0.9, 2.5, 0.3, 1.7, 0.6, 1.1, 2.0}},
                    {{1.0, 2.0, 4.0, 8.0, 9.0, 7.0, kNaN, kNaN, kNaN}},
                    kSingular},
        FailureCase{"later_feature_level_all_missing", kSix, std::nullopt, {},
                    {{1.0, 2.0, 3.0, 4.0, 5.0, 7.0}, {1.0, 2.0, 3.0, kNaN, kNaN, kNaN}},
                    kSingular},
        FailureCase{"positive_infinity_with_nan_elsewhere", kSix, std::nullopt, {},
                    {{1.0, kNaN, 3.0, 4.0, 5.0, 7.0}, {1.0, 2.0, 3.0, kInf, 5.0, 7.0}},
                    kInfiniteResponse},
        FailureCase{"negative_infinity_after_nan", kSix, 1, {},
                    {{1.0, kNaN, -kInf, 4.0, 5.0, 7.0}},
                    kInfiniteResponse},
        FailureCase{"infinity_before_nan", kSix, std::nullopt, {},
                    {{-kInf, 2.0, 3.0, 4.0, 5.0, kNaN}},
                    kInfiniteResponse},
        // 1.5e308 + 1.5e308 overflows while the normal equations are accumulated.
        FailureCase{"coefficient_overflow", {0, 0, 1, 1}, std::nullopt, {},
                    {{1.5e308, 1.5e308, 1.0, 2.0}, {kNaN, 1.0, 2.0, 3.0}},
                    kNonFiniteCoefficient},
        // The first failing feature decides, whatever later features hold.
        FailureCase{"singular_before_infinity", kSix, std::nullopt, {},
                    {{1.0, 2.0, 3.0, 4.0, 6.0, 7.0},
                     {kNaN, kNaN, kNaN, 4.0, 5.0, 7.0},
                     {1.0, 2.0, kInf, 4.0, 5.0, 7.0}},
                    kSingular},
        FailureCase{"infinity_before_singular", kSix, std::nullopt, {},
                    {{1.0, 2.0, kInf, 4.0, 5.0, 7.0}, {kNaN, kNaN, kNaN, 4.0, 5.0, 7.0}},
                    kInfiniteResponse},
        FailureCase{"overflow_before_infinity", {0, 0, 1, 1}, std::nullopt, {},
                    {{1.5e308, 1.5e308, 1.0, 2.0}, {kNaN, 1.0, kInf, 3.0}},
                    kNonFiniteCoefficient},
        FailureCase{"overflow_before_singular", {0, 0, 1, 1}, std::nullopt, {},
                    {{1.5e308, 1.5e308, 1.0, 2.0}, {1.0, 2.0, kNaN, kNaN}},
                    kNonFiniteCoefficient}),
    LabelName{});

// Without any NaN the complete route runs, which looks neither at infinite responses nor
// at the coefficients it produces.
TEST(DesignCompleteRouteTest, InfiniteResponseIsPassedOn) {
  const BatchLevels levels = make_levels(kSix);
  const Matrix y = from_features({{1.0, 2.0, 3.0, 4.0, 5.0, 7.0}, {1.0, 2.0, 3.0, kInf, 5.0, 7.0}});
  ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, std::nullopt, std::nullopt));
  EXPECT_TRUE(fit.coefficients.col(0).allFinite());
  EXPECT_FALSE(std::isfinite(fit.coefficients(1, 1)));
  // With one NaN added anywhere the per-feature route rejects the same value.
  Matrix with_nan = y;
  with_nan(0, 0) = kNaN;
  EXPECT_ERROR_TEXT(fit_scanned(with_nan, levels, std::nullopt, std::nullopt), kInfiniteResponse);
}

TEST(DesignCompleteRouteTest, CoefficientOverflowIsPassedOn) {
  // Reference level 0 at -1.7e308 and level 1 at +1.7e308: level 1's coefficient, the
  // difference of the two means, is 3.4e308 and overflows on either route.
  const Ids ids = {0, 0, 1, 1};
  const BatchLevels levels = make_levels(ids);
  const Matrix y = from_features({{-1.7e308, -1.7e308, 1.7e308, 1.7e308}});
  ASSERT_OK_AND_ASSIGN(const Matrix complete,
                       fit_complete_coefficients(y, reference_design(ids, 0), false));
  EXPECT_EQ(complete(1, 0), kInf);
  ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, std::nullopt, 0));
  EXPECT_EQ(fit.coefficients(1, 0), kInf);
  // The fitted values are the product with the whole design, zeros included: 0 * inf is
  // NaN for the reference samples, whose residuals form the pooled variance, and the
  // others reach +inf.
  const Matrix fitted = fitted_of(fit, levels, 0);
  for (Index i = 0; i < 2; ++i) EXPECT_TRUE(std::isnan(fitted(i, 0))) << "sample " << i;
  for (Index i = 2; i < 4; ++i) EXPECT_EQ(fitted(i, 0), kInf) << "sample " << i;
  EXPECT_ERROR_TEXT(fit_coefficients_by_feature(y, reference_design(ids, 0), levels),
                    kNonFiniteCoefficient);
}

// A feature's coefficients are the same bits whatever features are fitted with it, serial
// or parallel, on a matrix wider and longer than the projection's blocks and sample runs.
TEST(DesignCompleteRouteTest, EachFeaturesCoefficientsIgnoreItsCompany) {
  const Index n = 2500;
  const Index g = 150;
  Ids ids;
  for (Index i = 0; i < n; ++i) ids.push_back(static_cast<std::uint64_t>(i % 4));
  std::mt19937_64 rng(91);
  std::normal_distribution<double> draw(0.0, 1.0);
  std::vector<double> dose(static_cast<std::size_t>(n)), age(static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < dose.size(); ++i) {
    dose[i] = draw(rng);
    age[i] = 40.0 + 10.0 * draw(rng);
  }
  const Matrix x = reference_design(ids, std::nullopt, {dose, age});
  const Matrix y = random_matrix(n, g, 92);
  ASSERT_OK_AND_ASSIGN(const Matrix whole, fit_complete_coefficients(y, x, false));
  ASSERT_OK_AND_ASSIGN(const Matrix pooled, fit_complete_coefficients(y, x, true));
  EXPECT_TRUE(bit_identical(data_of(whole), data_of(pooled)));
  for (Index first = 0; first < g;) {
    const Index width = std::min<Index>(g - first, first == 0 ? 1 : 1 + static_cast<Index>(rng() % 70));
    ASSERT_OK_AND_ASSIGN(const Matrix part,
                         fit_complete_coefficients(Matrix(y.middleCols(first, width)), x, false));
    EXPECT_TRUE(bit_identical(data_of(part), data_of(Matrix(whole.middleCols(first, width)))))
        << "columns from " << first;
    first += width;
  }
}

TEST(DesignCompleteRouteTest, SingularDesignFails) {
  // Two equal covariate columns make X^T X exactly singular for the joint fit as well.
  const BatchLevels levels = make_levels(kSix);
  const Matrix y = random_matrix(6, 2, 41);
  const std::vector<double> column = {1.0, 3.0, 2.0, 5.0, 4.0, 8.0};
  const Covariates cov = Covariates::from_columns({column, column});
  EXPECT_ERROR_TEXT(fit_scanned(y, levels, cov.view(), std::nullopt), kSingular);
  const Matrix x = reference_design(kSix, std::nullopt, {column, column});
  EXPECT_ERROR_TEXT(fit_complete_coefficients(y, x, false), kSingular);
}

// ---------------------------------------------------------------------------------------
// Covariates that are collinear only over a feature's observed samples. The normal
// equations are then singular in exact arithmetic even though rounding may leave their
// determinant a hair away from zero; the fit must fail instead of returning garbage.

struct ObservedDesignCase {
  std::string label;
  Ids ids;
  std::optional<std::size_t> ref;
  std::vector<std::vector<double>> covariates;
  std::vector<std::vector<double>> features;
};

// Level 0 = {0, 1, 2}, level 1 = {3, 4, 5}; the covariate varies only at sample 2.
const std::vector<double> kVariesAtTwo = {0.3, 0.3, 1.7, 2.9, 2.9, 2.9};
const std::vector<double> kSeven = {0.2, 1.4, 0.9, 2.2, 0.6, 1.8, 3.1};
// Equal to kSeven except at sample 5.
const std::vector<double> kSevenButFive = {0.2, 1.4, 0.9, 2.2, 0.6, 0.1, 3.1};
const std::vector<double> kFeature6 = {1.2, 0.7, 2.9, 3.3, 4.1, 2.6};
const std::vector<double> kFeature7 = {1.2, 0.7, 2.9, 3.3, 4.1, 2.6, 5.3};

std::vector<double> with_nan_at(std::vector<double> values, std::size_t i) {
  values[i] = kNaN;
  return values;
}

class DesignObservedCollinearTest : public ::testing::TestWithParam<ObservedDesignCase> {};

TEST_P(DesignObservedCollinearTest, FailsAsSingular) {
  const ObservedDesignCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  const Matrix y = response_of(c.features);
  const Covariates cov = covariates_of(c.covariates);
  EXPECT_ERROR_TEXT(fit_scanned(y, levels, cov.view(), c.ref), kSingular);
  const Matrix x = reference_design(c.ids, c.ref, c.covariates);
  EXPECT_ERROR_TEXT(fit_coefficients_by_feature(y, x, levels), kSingular);
}

INSTANTIATE_TEST_SUITE_P(
    Degenerate, DesignObservedCollinearTest,
    ::testing::Values(
        ObservedDesignCase{"varies_only_at_missing_sample", kSix, std::nullopt, {kVariesAtTwo},
                           {with_nan_at(kFeature6, 2)}},
        ObservedDesignCase{"varies_only_at_missing_sample_reference_0", kSix, 0, {kVariesAtTwo},
                           {with_nan_at(kFeature6, 2)}},
        ObservedDesignCase{"varies_only_at_missing_sample_reference_1", kSix, 1, {kVariesAtTwo},
                           {with_nan_at(kFeature6, 2)}},
        // The first feature is complete and fine; the second one is degenerate.
        ObservedDesignCase{"degenerate_second_feature", kSix, std::nullopt, {kVariesAtTwo},
                           {kFeature6, with_nan_at(kFeature6, 2)}},
        // Three levels; the covariate varies inside level 1 only through sample 4.
        ObservedDesignCase{"three_levels", {0, 0, 1, 1, 1, 2, 2}, std::nullopt,
                           {{0.5, 0.5, 1.25, 1.25, 4.0, 0.75, 0.75}},
                           {with_nan_at(kFeature7, 4)}},
        // A second, ordinary covariate does not hide the degenerate one.
        ObservedDesignCase{"with_second_covariate", {0, 0, 0, 1, 1, 1, 1}, std::nullopt,
                           {kSeven, {0.3, 0.3, 1.7, 2.9, 2.9, 2.9, 2.9}},
                           {with_nan_at(kFeature7, 2)}},
        // Two covariate columns that are equal on the observed samples only.
        ObservedDesignCase{"columns_equal_on_observed", {0, 0, 0, 1, 1, 1, 1}, std::nullopt,
                           {kSeven, kSevenButFive},
                           {with_nan_at(kFeature7, 5)}},
        ObservedDesignCase{"columns_equal_on_observed_reference", {0, 0, 0, 1, 1, 1, 1}, 1,
                           {kSevenButFive, kSeven},
                           {with_nan_at(kFeature7, 5)}}),
    LabelName{});

class DesignObservedRegularTest : public ::testing::TestWithParam<ObservedDesignCase> {};

TEST_P(DesignObservedRegularTest, MatchesLeastSquaresOnObservedRows) {
  const ObservedDesignCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  const Matrix y = response_of(c.features);
  const Covariates cov = covariates_of(c.covariates);
  const Matrix x = reference_design(c.ids, c.ref, c.covariates);
  const Matrix expected = least_squares_on_observed(x, y);

  ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, cov.view(), c.ref));
  EXPECT_TRUE(near_matrix(fit.coefficients, expected, 1e-10));
  ASSERT_OK_AND_ASSIGN(const Matrix by_feature, fit_coefficients_by_feature(y, x, levels));
  EXPECT_TRUE(near_matrix(by_feature, expected, 1e-10));
}

INSTANTIATE_TEST_SUITE_P(
    NotDegenerate, DesignObservedRegularTest,
    ::testing::Values(
        // The same covariates with the NaN elsewhere: the covariate still varies in level 0.
        ObservedDesignCase{"missing_where_covariate_is_constant", kSix, std::nullopt,
                           {kVariesAtTwo}, {with_nan_at(kFeature6, 0)}},
        ObservedDesignCase{"missing_in_other_level", kSix, 0, {kVariesAtTwo},
                           {with_nan_at(kFeature6, 4)}},
        ObservedDesignCase{"complete_feature_beside_missing_one", kSix, std::nullopt,
                           {kVariesAtTwo}, {kFeature6, with_nan_at(kFeature6, 1)}},
        // The two columns differ at sample 5, which is observed.
        ObservedDesignCase{"columns_differ_on_observed", {0, 0, 0, 1, 1, 1, 1}, std::nullopt,
                           {kSeven, kSevenButFive}, {with_nan_at(kFeature7, 2)}},
        ObservedDesignCase{"columns_differ_on_observed_reference", {0, 0, 0, 1, 1, 1, 1}, 0,
                           {kSeven, kSevenButFive}, {with_nan_at(kFeature7, 6)}}),
    LabelName{});

TEST(DesignObservedCollinearTest, CompleteDataWithSameCovariateIsFine) {
  // Without the NaN the covariate varies within level 0 and the design is regular.
  const BatchLevels levels = make_levels(kSix);
  const Matrix y = response_of({kFeature6});
  const Covariates cov = covariates_of({kVariesAtTwo});
  ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_scanned(y, levels, cov.view(), std::nullopt));
  const Matrix x = reference_design(kSix, std::nullopt, {kVariesAtTwo});
  EXPECT_TRUE(near_matrix(fit.coefficients, least_squares_on_observed(x, y), 1e-10));
}

// ---------------------------------------------------------------------------------------

TEST(DesignHasMissingTest, FindsAnyNaN) {
  // 5 x 3 fits one work block; 4 x 150 spans three, the last one ragged.
  for (const auto& [rows, cols] : std::vector<std::pair<Index, Index>>{{5, 3}, {4, 150}}) {
    Matrix y = random_matrix(rows, cols, 43);
    y(2, 1) = kInf;
    for (const bool parallel : {false, true}) {
      SCOPED_TRACE(::testing::Message() << rows << " x " << cols << (parallel ? " parallel" : " serial"));
      EXPECT_FALSE(has_missing(y, parallel));
      for (const Index k : {Index{0}, Index{7}, y.size() / 2, y.size() - 1}) {
        Matrix z = y;
        z.data()[k] = kNaN;
        EXPECT_TRUE(has_missing(z, parallel)) << "NaN at position " << k;
      }
    }
  }
}

// The per-feature fit over three work blocks, the last ragged: the pool gives the same
// bits as the calling thread, with and without a reference level.
TEST(DesignByFeatureTest, SerialAndParallelAreBitIdentical) {
  const BatchLevels levels = make_levels(kSix);
  Matrix y = random_matrix(6, 150, 71);
  for (Index j = 0; j < y.cols(); j += 7) y(j % 6, j) = kNaN;
  for (const std::optional<std::size_t> ref : {std::optional<std::size_t>{}, std::optional<std::size_t>{1}}) {
    const Matrix design = reference_design(kSix, ref);
    ASSERT_OK_AND_ASSIGN(const Matrix serial, fit_coefficients_by_feature(y, design, levels, false));
    ASSERT_OK_AND_ASSIGN(const Matrix parallel, fit_coefficients_by_feature(y, design, levels, true));
    EXPECT_TRUE(bit_identical(data_of(serial), data_of(parallel)));
    EXPECT_TRUE(near_matrix(serial, least_squares_on_observed(design, y), 1e-10));
  }
}

// fitted_column skips the zero entries of the design when the coefficients are finite;
// its values must still be the library product's bits, zero terms and all. Sixteen
// features keep the product on the library's blocked route.
TEST(DesignFittedColumnTest, MatchesTheLibraryProductBitForBit) {
  const BatchLevels levels = make_levels(kCovIds);
  const Matrix y = random_matrix(9, 16, 83, -3.0, 7.0);
  for (const std::optional<std::size_t> ref : {std::optional<std::size_t>{}, std::optional<std::size_t>{0}, std::optional<std::size_t>{2}}) {
    for (const bool with_covariates : {false, true}) {
      SCOPED_TRACE(::testing::Message() << (ref ? "reference" : "no reference")
                                        << (with_covariates ? ", covariates" : ""));
      const Covariates cov = Covariates::from_columns({kAge, kDose});
      ASSERT_OK_AND_ASSIGN(const DesignFit fit,
                           fit_scanned(y, levels, with_covariates ? std::optional(cov.view()) : std::nullopt, ref));
      const Matrix product = fit.design * fit.coefficients;
      EXPECT_TRUE(bit_identical(data_of(fitted_of(fit, levels, ref)), data_of(product)));
    }
  }
}

TEST(DesignNonInterceptTest, KeepsColumnsNotAllExactlyOne) {
  const std::vector<double> almost_one = {1.0, 1.0, 1.0 + kEps, 1.0};
  const std::vector<double> ones = {1.0, 1.0, 1.0, 1.0};
  const std::vector<double> twos = {2.0, 2.0, 2.0, 2.0};
  const Covariates cov = covariates_of({ones, almost_one, twos, ones, {1.0, 1.0, 1.0, 0.0}});
  EXPECT_EQ(non_intercept_columns(4, cov.view()), (std::vector<std::size_t>{1, 2, 4}));
}

}  // namespace
}  // namespace quarnel
