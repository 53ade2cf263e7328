// The front door: every rejection of a request with its exact message, the order in
// which the checks run, the requests that must get through, and the within-batch
// constancy test of covariate columns.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTop = std::uint64_t{1} << 63;

using Ids = std::vector<std::uint64_t>;
using Column = std::vector<double>;

// One request with the buffers it views, plus its options.
struct Problem {
  std::vector<double> values;
  Ids batch;
  std::uint64_t n_samples = 0;
  std::uint64_t n_features = 0;
  std::optional<std::vector<double>> covariates;
  std::uint64_t n_covariates = 0;
  CombatOptions options;

  CombatDenseRequest request() const {
    CombatDenseRequest request{values, batch, n_samples, n_features, std::nullopt};
    if (covariates) request.covariates = CovariateMatrix{*covariates, n_covariates};
    return request;
  }

  // Sets one data value, (sample, feature) in row-major order.
  Problem& value(std::size_t sample, std::size_t feature, double v) {
    values.at(sample * n_features + feature) = v;
    return *this;
  }

  // Covariates given column by column; stored row-major as the request expects.
  Problem& with_columns(const std::vector<Column>& columns) {
    n_covariates = columns.size();
    std::vector<double> buffer(n_samples * n_covariates);
    for (std::size_t c = 0; c < columns.size(); ++c) {
      for (std::size_t i = 0; i < n_samples; ++i) buffer[i * n_covariates + c] = columns[c].at(i);
    }
    covariates = std::move(buffer);
    return *this;
  }

  // Covariates as a raw row-major buffer, whatever its length.
  Problem& with_raw_covariates(std::vector<double> buffer, std::uint64_t k) {
    covariates = std::move(buffer);
    n_covariates = k;
    return *this;
  }

  Problem& with_ref(std::uint64_t id) {
    options.ref_batch = id;
    return *this;
  }
};

// A consistent request of batch.size() samples whose data values are all distinct and
// finite, so that nothing about the data itself is suspicious.
Problem dense(Ids batch, std::uint64_t n_features) {
  Problem p;
  p.n_samples = batch.size();
  p.n_features = n_features;
  p.batch = std::move(batch);
  p.values.resize(p.n_samples * n_features);
  for (std::size_t k = 0; k < p.values.size(); ++k) {
    p.values[k] = 1.0 + 0.5 * static_cast<double>(k) + 0.01 * static_cast<double>(k * k % 7);
  }
  return p;
}

// A request with the given dimensions and buffers, consistent or not.
Problem raw(std::uint64_t n_samples, std::uint64_t n_features, std::vector<double> values,
            Ids batch) {
  Problem p;
  p.n_samples = n_samples;
  p.n_features = n_features;
  p.values = std::move(values);
  p.batch = std::move(batch);
  return p;
}

bool is_front_door_error(const CombatError& error) {
  return std::visit(
      [](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        return std::is_same_v<E, ShapeMismatch> || std::is_same_v<E, ShapeProductOverflow> ||
               std::is_same_v<E, EmptyInput> || std::is_same_v<E, BatchLengthMismatch> ||
               std::is_same_v<E, CovariateShapeMismatch> || std::is_same_v<E, TooFewBatches> ||
               std::is_same_v<E, MissingReferenceBatch> ||
               std::is_same_v<E, NonFiniteDenseValue> ||
               std::is_same_v<E, NonFiniteDesignValue> || std::is_same_v<E, InvalidDesign>;
      },
      error);
}

// Succeeds when the front door lets the request through to the pipeline: the run either
// returns an output or fails with an error of a later stage. A fault raised inside the
// pipeline also means that every check of the front door passed; the pipeline's own
// tests are the place to catch it.
::testing::AssertionResult passes_validation(const Problem& problem) {
  try {
    const Result<CombatDenseOutput> result = combat_dense(problem.request(), problem.options);
    if (result || !is_front_door_error(result.error())) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "rejected by the front door: \"" << render(result.error()) << "\"";
  } catch (const InternalFault&) {
    return ::testing::AssertionSuccess();
  }
}

void expect_passes_validation(const Problem& problem) {
  EXPECT_TRUE(passes_validation(problem));
}

// ---------------------------------------------------------------------------------------
// Rejections, one case per check and per ordering between checks.

struct RejectCase {
  std::string label;
  Problem problem;
  std::size_t variant;  // index of the expected CombatError alternative
  std::string text;
};

std::vector<RejectCase> reject_cases() {
  const Ids two = {0, 1};
  std::vector<RejectCase> cases;
  auto add = [&cases](std::string label, Problem p, std::size_t variant, std::string text) {
    cases.push_back({std::move(label), std::move(p), variant, std::move(text)});
  };

  // Dimensions and the length of values.
  add("both_dimensions_zero", raw(0, 0, {}, {}), 2, "empty input for n_samples");
  add("zero_samples_before_anything_else", raw(0, 3, {kInf}, {5}), 2,
      "empty input for n_samples");
  add("zero_features", raw(3, 0, {}, {0, 1, 0}), 2, "empty input for n_features");
  add("zero_features_before_batch_length", raw(3, 0, {1.0}, {}), 2,
      "empty input for n_features");
  add("values_product_overflow", raw(std::uint64_t{1} << 32, std::uint64_t{1} << 32, {}, {}),
      1, "shape product overflow in values");
  add("values_product_overflow_by_one_bit", raw(kTop, 2, {1.0, 2.0}, two), 1,
      "shape product overflow in values");
  add("values_too_short", raw(3, 4, std::vector<double>(11, 1.0), {0, 1, 2}), 0,
      "shape mismatch in values: expected 12, got 11");
  add("values_too_long", raw(3, 4, std::vector<double>(13, 1.0), {0, 1, 2}), 0,
      "shape mismatch in values: expected 12, got 13");
  add("product_of_top_bit_fits", raw(std::uint64_t{1} << 32, std::uint64_t{1} << 31, {}, {}),
      0, "shape mismatch in values: expected 9223372036854775808, got 0");
  add("product_equal_to_the_maximum_fits", raw(3, kMax / 3, {}, {}), 0,
      "shape mismatch in values: expected 18446744073709551615, got 0");
  add("length_before_infinity", raw(2, 2, {kInf, 1.0, 2.0}, two), 0,
      "shape mismatch in values: expected 4, got 3");

  // Infinite data values, found in storage order.
  add("infinities_in_storage_order",
      dense({0, 1, 0}, 8).value(2, 5, kInf).value(0, 7, -kInf), 7,
      "non-finite dense value at sample 0, feature 7");
  add("infinity_in_last_element", dense({0, 1, 0}, 8).value(2, 7, -kInf), 7,
      "non-finite dense value at sample 2, feature 7");
  add("infinity_behind_a_nan", dense({0, 1, 0}, 2).value(0, 0, kNaN).value(1, 1, kInf), 7,
      "non-finite dense value at sample 1, feature 1");
  {
    Problem p = dense({0, 1, 0}, 2).value(1, 0, kInf);
    p.batch = {0, 1};
    add("infinity_before_batch_length", p, 7, "non-finite dense value at sample 1, feature 0");
  }
  add("infinity_before_too_few_batches", dense({4, 4, 4}, 2).value(2, 1, kInf), 7,
      "non-finite dense value at sample 2, feature 1");

  // Batch ids and the reference batch.
  {
    Problem p = dense({0, 1, 0, 1}, 2);
    p.batch.pop_back();
    add("batch_length_mismatch", p, 3, "batch length mismatch: n_samples=4, batch_len=3");
    p.with_ref(99);
    add("batch_length_before_missing_reference", p, 3,
        "batch length mismatch: n_samples=4, batch_len=3");
  }
  add("too_few_batches", dense({6, 6, 6}, 2), 5, "at least two batches are required");
  add("too_few_batches_before_missing_reference", dense({6, 6, 6}, 2).with_ref(7), 5,
      "at least two batches are required");
  add("missing_reference_batch", dense({1, 2, 1}, 2).with_ref(3), 6,
      "missing reference batch: 3");
  add("missing_reference_batch_between_ids", dense({1, 9, 1}, 2).with_ref(5), 6,
      "missing reference batch: 5");
  add("missing_reference_batch_max", dense({1, kTop, 1}, 2).with_ref(kMax), 6,
      "missing reference batch: 18446744073709551615");
  add("missing_reference_before_covariate_overflow",
      dense(two, 1).with_ref(2).with_raw_covariates({}, kTop), 6, "missing reference batch: 2");
  add("missing_reference_before_covariate_shape",
      dense({0, 1, 0}, 1).with_ref(2).with_raw_covariates({1.0, 2.0}, 1), 6,
      "missing reference batch: 2");
  add("missing_reference_before_non_finite_covariate",
      dense({0, 1, 0}, 1).with_ref(2).with_columns({{1.0, kNaN, 2.0}}), 6,
      "missing reference batch: 2");
  add("missing_reference_before_invalid_design",
      dense({0, 1, 0}, 1).with_ref(2).with_columns({{2.0, 2.0, 2.0}}), 6,
      "missing reference batch: 2");

  // Shape and content of the covariates.
  add("covariate_product_overflow", dense(two, 1).with_raw_covariates({1.0, 2.0}, kTop), 1,
      "shape product overflow in covariates");
  add("covariate_product_overflow_with_nan", dense(two, 1).with_raw_covariates({kNaN}, kMax),
      1, "shape product overflow in covariates");
  add("covariate_shape_mismatch",
      dense({0, 1, 0}, 1).with_raw_covariates({1, 2, 3, 4, 5}, 2), 4,
      "covariate shape mismatch: n_samples=3, n_covariates=2, len=5");
  add("covariate_values_without_columns", dense({0, 1, 0}, 1).with_raw_covariates({1, 2}, 0),
      4, "covariate shape mismatch: n_samples=3, n_covariates=0, len=2");
  add("covariate_shape_before_non_finite",
      dense({0, 1, 0}, 1).with_raw_covariates({kNaN, kInf, 3, 4, 5, 6, 7}, 2), 4,
      "covariate shape mismatch: n_samples=3, n_covariates=2, len=7");
  add("covariate_nan_is_rejected", dense({0, 1, 0}, 1).with_columns({{1.5, kNaN, 2.5}}), 8,
      "non-finite design value in covariates at sample 1, column 0");
  add("covariate_non_finite_in_storage_order",
      dense({0, 1, 0, 1}, 1).with_columns({{1, 2, kInf, 4}, {5, kNaN, 7, 8}}), 8,
      "non-finite design value in covariates at sample 1, column 1");
  add("covariate_negative_infinity",
      dense({0, 1, 0, 1}, 1).with_columns({{1, 2, 3, 4}, {5, 6, 7, -kInf}}), 8,
      "non-finite design value in covariates at sample 3, column 1");
  add("non_finite_before_too_many_columns",
      dense({0, 1, 0}, 1).with_columns({{1, 2, 3}, {4, 5, 6}, {7, 8, kNaN}}), 8,
      "non-finite design value in covariates at sample 2, column 2");

  // The design the covariates would make.
  add("constant_column_is_collinear", dense({0, 1, 0}, 1).with_columns({{2.0, 2.0, 2.0}}), 10,
      "invalid design: covariate column 0 is collinear with batch indicators");
  add("too_many_design_columns", dense({0, 0, 1}, 1).with_columns({{1, 2, 3}, {4, 6, 5}}), 10,
      "invalid design: too many design columns: batches=2 covariates=2 samples=3");
  add("too_many_counts_only_candidates",
      dense({0, 0, 1}, 1).with_columns({{1, 1, 1}, {1, 2, 3}, {1, 1, 1}, {4, 6, 5}}), 10,
      "invalid design: too many design columns: batches=2 covariates=2 samples=3");
  add("too_many_with_singleton_levels", dense({3, 1, 2, 0}, 1).with_columns({{1, 2, 3, 5}}),
      10, "invalid design: too many design columns: batches=4 covariates=1 samples=4");
  add("too_many_before_duplicates", dense({0, 0, 1}, 1).with_columns({{1, 2, 3}, {1, 2, 3}}),
      10, "invalid design: too many design columns: batches=2 covariates=2 samples=3");
  add("duplicates_before_collinearity",
      dense({0, 1, 0, 1, 0, 1}, 1)
          .with_columns({{1, 2, 3, 4, 5, 6}, {7, 8, 7, 8, 7, 8}, {1, 2, 3, 4, 5, 6}}),
      10, "invalid design: duplicate covariate columns 0 and 2");
  add("duplicates_that_are_collinear_too",
      dense({0, 1, 0, 1, 0, 1}, 1).with_columns({{7, 8, 7, 8, 7, 8}, {7, 8, 7, 8, 7, 8}}), 10,
      "invalid design: duplicate covariate columns 0 and 1");
  add("first_duplicate_pair_in_list_order",
      dense({0, 1, 0, 1, 0, 1}, 1)
          .with_columns({{1, 2, 3, 4, 5, 6},
                         {6, 5, 4, 3, 2, 1},
                         {6, 5, 4, 3, 2, 1},
                         {1, 2, 3, 4, 5, 6}}),
      10, "invalid design: duplicate covariate columns 0 and 3");
  add("duplicates_named_by_column_index",
      dense({0, 1, 0, 1, 0, 1}, 1)
          .with_columns({{1, 1, 1, 1, 1, 1}, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}}),
      10, "invalid design: duplicate covariate columns 1 and 2");
  add("duplicates_differing_in_the_sign_of_zero",
      dense({0, 1, 0, 1}, 1).with_columns({{0.0, 1, 2, 3}, {-0.0, 1, 2, 3}}), 10,
      "invalid design: duplicate covariate columns 0 and 1");
  add("signed_zeros_are_constant_within_batches",
      dense({0, 0, 1, 1, 0}, 1).with_columns({{0.0, -0.0, 5, 5, 0.0}}), 10,
      "invalid design: covariate column 0 is collinear with batch indicators");
  add("first_collinear_column_ascending",
      dense({0, 1, 0, 1, 0}, 1)
          .with_columns({{1, 2, 3, 4, 5}, {3, 4, 3, 4, 3}, {9, 9, 9, 9, 9}}),
      10, "invalid design: covariate column 1 is collinear with batch indicators");
  add("almost_intercept_column_is_a_candidate",
      dense({0, 0, 1, 1}, 1).with_columns({{1.0, 1.0, 2.0, 2.0}}), 10,
      "invalid design: covariate column 0 is collinear with batch indicators");
  add("collinear_behind_an_intercept_keeps_its_index",
      dense({0, 0, 1, 1}, 1).with_columns({{1, 1, 1, 1}, {1, 2, 3, 4}, {8, 8, 9, 9}}), 10,
      "invalid design: covariate column 2 is collinear with batch indicators");
  add("collinear_with_a_singleton_level",
      dense({0, 1, 1}, 1).with_columns({{4, 3, 3}}), 10,
      "invalid design: covariate column 0 is collinear with batch indicators");
  return cases;
}

class FrontDoorRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(FrontDoorRejectTest, RejectsWithTheFirstFailingCheck) {
  const RejectCase& c = GetParam();
  const Result<CombatDenseOutput> result = combat_dense(c.problem.request(), c.problem.options);
  ASSERT_FALSE(result.has_value()) << "expected \"" << c.text << "\"";
  EXPECT_EQ(render(result.error()), c.text);
  EXPECT_EQ(result.error().index(), c.variant);
}

INSTANTIATE_TEST_SUITE_P(CombatDense, FrontDoorRejectTest, ::testing::ValuesIn(reject_cases()),
                         testing::LabelName{});

// A matrix of several hundred thousand values, with infinities dropped at random places
// (some within one row, some at the very start or end): the front door names the first
// in row-major order, serial and parallel, wherever the scan splits its work.
TEST(CombatDense, NamesTheFirstInfinityOfALargeMatrix) {
  std::mt19937_64 rng(20261210);
  constexpr std::uint64_t kSamples = 24;
  constexpr std::uint64_t kFeatures = 30011;  // not a multiple of any block size
  Ids batch(kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) batch[i] = i % 3;
  Problem clean = dense(batch, kFeatures);
  const std::size_t size = clean.values.size();
  for (int trial = 0; trial < 40; ++trial) {
    Problem p = clean;
    std::size_t first = size;
    const int count = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < count; ++k) {
      std::size_t at = rng() % size;
      if (trial == 0) at = 0;
      if (trial == 1) at = size - 1;
      p.values[at] = rng() % 2 ? kInf : -kInf;
      first = std::min(first, at);
      // A NaN after it, and NaNs anywhere, never hide an infinity.
      p.values[(at + 1 + rng() % 100000) % size] = kNaN;
    }
    if (std::isnan(p.values[first])) p.values[first] = kInf;
    const std::string expected = "non-finite dense value at sample " +
                                 std::to_string(first / kFeatures) + ", feature " +
                                 std::to_string(first % kFeatures);
    for (const char* mode : {"0", "1"}) {
      const testing::ScopedEnv parallel("QUARNEL_PARALLEL", mode);
      const Result<CombatDenseOutput> result = combat_dense(p.request(), p.options);
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(render(result.error()), expected) << "trial " << trial << ", parallel " << mode;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Requests every check lets through.

struct PassCase {
  std::string label;
  Problem problem;
};

std::vector<PassCase> pass_cases() {
  std::vector<PassCase> cases;
  auto add = [&cases](std::string label, Problem p) {
    cases.push_back({std::move(label), std::move(p)});
  };
  add("plain", dense({0, 1, 0, 1}, 3));
  add("nan_values_are_missing_values", dense({0, 1, 0, 1}, 3).value(0, 0, kNaN).value(3, 2, kNaN));
  {
    Problem p = dense({0, 1, 0, 1}, 3);
    for (double& v : p.values) v = kNaN;
    add("every_value_nan", p);
  }
  add("extreme_finite_values",
      dense({0, 1, 0, 1}, 2)
          .value(0, 0, std::numeric_limits<double>::max())
          .value(1, 1, -std::numeric_limits<double>::max())
          .value(2, 0, std::numeric_limits<double>::denorm_min())
          .value(3, 1, -0.0));
  add("singleton_batches", dense({5, 9, 7}, 2));
  add("reference_batch_present", dense({3, 8, 3, 8}, 2).with_ref(8));
  add("reference_batch_top_bit", dense({kTop, 0, kMax, 0}, 2).with_ref(kMax));
  add("reference_batch_zero", dense({kTop, 0, kMax, 0}, 2).with_ref(0));
  add("no_covariate_columns", dense({0, 1, 0}, 2).with_raw_covariates({}, 0));
  add("design_columns_equal_samples", dense({0, 0, 1}, 1).with_columns({{0.5, 1.5, 7.0}}));
  add("intercept_columns_not_counted",
      dense({0, 0, 1}, 1).with_columns({{1, 1, 1}, {0.5, 1.5, 7.0}, {1, 1, 1}}));
  add("only_intercept_columns", dense({0, 0, 1}, 1).with_columns({{1, 1, 1}, {1, 1, 1}}));
  add("varies_in_one_batch_only",
      dense({0, 0, 1, 1}, 1).with_columns({{3.0, 3.0, 4.0, 5.0}}));
  add("varies_beside_a_singleton_level", dense({0, 1, 1}, 1).with_columns({{9.0, 1.0, 2.0}}));
  add("signed_zero_varies_against_a_value",
      dense({0, 0, 1, 1}, 1).with_columns({{-0.0, 0.5, 0.0, 2.0}}));
  add("columns_differing_in_one_sample",
      dense({0, 1, 0, 1, 0}, 1)
          .with_columns({{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5.000000000000001}, {1, 2, 3, 4, -5}}));
  add("extreme_finite_covariates",
      dense({0, 1, 0, 1}, 1)
          .with_columns({{std::numeric_limits<double>::max(), 0.0,
                          -std::numeric_limits<double>::max(), 1.0},
                         {std::numeric_limits<double>::denorm_min(), 2.0, 3.0, 4.0}}));
  return cases;
}

class FrontDoorPassTest : public ::testing::TestWithParam<PassCase> {};

TEST_P(FrontDoorPassTest, PassesEveryCheck) { expect_passes_validation(GetParam().problem); }

INSTANTIATE_TEST_SUITE_P(CombatDense, FrontDoorPassTest, ::testing::ValuesIn(pass_cases()),
                         testing::LabelName{});

// ---------------------------------------------------------------------------------------

// The caller's buffers are read in place and never written, whether the request is
// rejected or handed on.
TEST(CombatDense, LeavesTheRequestBuffersUntouched) {
  std::vector<Problem> problems = {
      dense({0, 1, 0, 1, 2}, 4).value(1, 1, kNaN).value(4, 3, -0.0).with_columns(
          {{1, 1, 1, 1, 1}, {0.5, -0.0, 2.5, 3.5, 4.5}, {kNaN, 1, 2, 3, 4}}),
      dense({0, 1, 0, 1, 2}, 4).value(1, 1, kNaN).value(4, 3, -0.0).with_columns(
          {{1, 1, 1, 1, 1}, {0.5, -0.0, 2.5, 3.5, 4.5}, {0.25, 1, 2, 3, 4}}),
      dense({0, 1, 0, 1, 2}, 4).value(2, 2, kNaN).with_columns({{3, 4, 3.5, 4, 5}}).with_ref(1),
  };
  for (std::size_t k = 0; k < problems.size(); ++k) {
    SCOPED_TRACE(k);
    const Problem original = problems[k];
    try {
      static_cast<void>(combat_dense(problems[k].request(), problems[k].options));
    } catch (const InternalFault&) {
      // A fault of a later stage; the buffers must be intact all the same.
    }
    EXPECT_TRUE(testing::bit_identical(problems[k].values, original.values));
    EXPECT_TRUE(testing::bit_identical(*problems[k].covariates, *original.covariates));
    EXPECT_EQ(problems[k].batch, original.batch);
  }
}

// ---------------------------------------------------------------------------------------
// column_is_constant_within_batches.

struct ConstancyCase {
  std::string label;
  Ids ids;
  std::vector<Column> columns;  // all covariate columns, row count = ids.size()
  std::size_t column;           // the one tested
  bool constant;
};

class ConstantWithinBatchesTest : public ::testing::TestWithParam<ConstancyCase> {};

TEST_P(ConstantWithinBatchesTest, DecidesPerLevel) {
  const ConstancyCase& c = GetParam();
  const Problem p = dense(c.ids, 1).with_columns(c.columns);
  ASSERT_OK_AND_ASSIGN(const BatchLevels levels, BatchLevels::from_ids(c.ids, c.ids.size()));
  const CovariateMatrix covariates{*p.covariates, p.n_covariates};
  EXPECT_EQ(column_is_constant_within_batches(c.ids.size(), levels, covariates, c.column),
            c.constant);
}

INSTANTIATE_TEST_SUITE_P(
    Covariates, ConstantWithinBatchesTest,
    ::testing::Values(
        ConstancyCase{"constant_overall", {0, 1, 0, 1}, {{2, 2, 2, 2}}, 0, true},
        ConstancyCase{"one_value_per_level_interleaved", {0, 1, 0, 1}, {{3, 4, 3, 4}}, 0, true},
        ConstancyCase{"varies_in_the_last_level", {0, 1, 0, 1}, {{3, 4, 3, 5}}, 0, false},
        ConstancyCase{"varies_in_the_first_level", {0, 1, 0, 1}, {{3, 4, 6, 4}}, 0, false},
        ConstancyCase{"differs_in_the_last_bit",
                      {0, 0, 1, 1},
                      {{1.0, std::nextafter(1.0, 2.0), 5.0, 5.0}},
                      0,
                      false},
        ConstancyCase{"signed_zeros_are_equal", {0, 0, 1, 1}, {{0.0, -0.0, -0.0, 0.0}}, 0, true},
        ConstancyCase{"every_level_a_singleton", {2, 0, 1}, {{7, 8, 9}}, 0, true},
        ConstancyCase{"nan_in_a_level_of_two", {0, 0, 1, 1}, {{kNaN, kNaN, 5, 5}}, 0, false},
        ConstancyCase{"nan_after_a_value", {0, 0, 1, 1}, {{1, kNaN, 5, 5}}, 0, false},
        ConstancyCase{"nan_in_a_singleton_level", {0, 1, 1}, {{kNaN, 5, 5}}, 0, true},
        ConstancyCase{"reads_its_own_column_constant",
                      {0, 1, 0, 1},
                      {{1, 2, 3, 4}, {6, 7, 6, 7}, {5, 6, 7, 8}},
                      1,
                      true},
        ConstancyCase{"reads_its_own_column_varying",
                      {0, 1, 0, 1},
                      {{1, 2, 1, 2}, {6, 7, 8, 9}, {5, 6, 5, 6}},
                      1,
                      false},
        ConstancyCase{"levels_by_id_not_by_position",
                      {10, 3, 3, 10, 7},
                      {{1, 2, 2, 1, 9}},
                      0,
                      true}),
    testing::LabelName{});

}  // namespace
}  // namespace quarnel
