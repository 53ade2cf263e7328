// Zero-variance features: which features are constant within some batch of two or more
// samples, the compact copy of the others, and the merge of corrected columns back into
// the full matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/zero_variance.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::bit_identical;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kTop = std::uint64_t{1} << 63;

using Ids = std::vector<std::uint64_t>;
using Column = std::vector<double>;
using Indices = std::vector<std::size_t>;

constexpr ParallelPlan kSerial{false};
constexpr ParallelPlan kParallel{true};

// Row-major n_samples x columns.size() matrix from its columns.
std::vector<double> from_columns(const std::vector<Column>& columns) {
  const std::size_t n_features = columns.size();
  const std::size_t n_samples = columns.empty() ? 0 : columns[0].size();
  std::vector<double> values(n_samples * n_features);
  for (std::size_t j = 0; j < n_features; ++j) {
    for (std::size_t i = 0; i < n_samples; ++i) values[i * n_features + j] = columns[j].at(i);
  }
  return values;
}

BatchLevels levels_of(const Ids& ids) {
  Result<BatchLevels> levels = BatchLevels::from_ids(ids, ids.size());
  if (!levels) throw std::invalid_argument(render(levels.error()));
  return std::move(*levels);
}

Indices complement(const std::vector<std::uint64_t>& excluded, std::size_t n_features) {
  Indices kept;
  for (std::size_t j = 0; j < n_features; ++j) {
    if (std::ranges::find(excluded, j) == excluded.end()) kept.push_back(j);
  }
  return kept;
}

// The test written the long way: each level of two or more samples in ascending level
// order, its members in sample order, each value against the level's first.
std::vector<std::uint64_t> zero_variance_by_definition(const std::vector<double>& values,
                                                       std::size_t n_features,
                                                       const BatchLevels& levels) {
  std::vector<std::uint64_t> excluded;
  const auto members = levels.members_of_all_levels();
  for (std::size_t j = 0; j < n_features; ++j) {
    for (const Indices& samples : members) {
      if (samples.size() < 2) continue;
      const double first = values[samples[0] * n_features + j];
      bool constant = true;
      for (const std::size_t i : samples) {
        constant = constant && values[i * n_features + j] == first;
      }
      if (constant) {
        excluded.push_back(j);
        break;
      }
    }
  }
  return excluded;
}

// Runs the three operations under one plan and checks what holds for every input: the
// lists partition the features, the projection holds the kept columns, and the merge puts
// `adjusted` into the kept columns and the input bits everywhere else.
struct Outcome {
  FeatureSelection selection;
  Matrix projected;
};

Outcome run(const std::vector<double>& values, std::size_t n_samples, std::size_t n_features,
            const BatchLevels& levels, ParallelPlan plan) {
  Outcome out;
  out.selection = select_nonzero_variance_features(values, n_samples, n_features, levels, plan);
  const Indices& kept = out.selection.kept;
  out.projected = project_features(values, n_samples, n_features, kept, plan);

  const auto& excluded = out.selection.zero_variance_features;
  EXPECT_TRUE(std::ranges::is_sorted(kept));
  EXPECT_TRUE(std::ranges::is_sorted(excluded));
  EXPECT_EQ(kept, complement(excluded, n_features));

  std::size_t projection_errors = 0;
  EXPECT_EQ(out.projected.rows(), static_cast<Eigen::Index>(n_samples));
  EXPECT_EQ(out.projected.cols(), static_cast<Eigen::Index>(kept.size()));
  if (static_cast<std::size_t>(out.projected.size()) != n_samples * kept.size()) return out;
  for (std::size_t i = 0; i < n_samples; ++i) {
    for (std::size_t m = 0; m < kept.size(); ++m) {
      const double input = values[i * n_features + kept[m]];
      projection_errors += std::bit_cast<std::uint64_t>(out.projected(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(m))) !=
                           std::bit_cast<std::uint64_t>(input);
    }
  }
  EXPECT_EQ(projection_errors, 0u) << "projected values that are not the kept input bits";
  return out;
}

// ---------------------------------------------------------------------------------------

struct SelectionCase {
  std::string label;
  Ids ids;
  std::vector<Column> features;
  std::vector<std::uint64_t> zero_variance;
};

std::vector<SelectionCase> selection_cases() {
  const double next_after_one = std::nextafter(1.0, 2.0);
  return {
      {"constant_overall", {0, 0, 1, 1}, {{3, 3, 3, 3}, {1, 2, 3, 4}}, {0}},
      {"constant_in_one_batch_only",
       {0, 1, 0, 1, 0, 1},
       {{5, 1, 5, 2, 5, 3}, {5, 1, 6, 2, 5, 3}},
       {0}},
      {"constant_in_the_last_level_only", {2, 7, 2, 7, 2}, {{1, 4, 2, 4, 3}}, {0}},
      {"varies_only_at_the_last_member", {0, 0, 0, 0, 1, 1}, {{5, 5, 5, 6, 1, 2}}, {}},
      {"every_batch_a_single_sample", {0, 1, 2}, {{4, 4, 4}, {kNaN, kNaN, kNaN}}, {}},
      {"constant_pair_beside_a_singleton", {0, 1, 1}, {{9, 4, 4}, {9, 4, 5}}, {0}},
      {"nan_pair_does_not_exclude", {0, 0, 1, 1}, {{kNaN, kNaN, 1, 2}}, {}},
      {"nan_after_a_value", {0, 0, 1, 1}, {{1, kNaN, 1, 2}}, {}},
      {"nan_before_a_value", {0, 0, 1, 1}, {{kNaN, 1, 1, 2}}, {}},
      {"nan_pair_beside_a_constant_level", {0, 0, 1, 1}, {{kNaN, kNaN, 2, 2}}, {0}},
      {"signed_zeros_exclude", {0, 0, 1, 1}, {{0.0, -0.0, 1, 2}, {-0.0, 0.0, 1, 2}}, {0, 1}},
      {"last_bit_difference_keeps", {0, 0, 1, 1}, {{1.0, next_after_one, 5, 6}}, {}},
      {"nan_in_a_singleton_batch_keeps", {0, 1, 1}, {{kNaN, 2, 3}}, {}},
      {"nan_in_a_singleton_batch_excludes", {0, 1, 1}, {{kNaN, 2, 2}}, {0}},
      {"levels_by_id_not_by_position",
       {kTop, 5, kTop, 5, 9},
       {{1, 2, 1, 3, 7}, {1, 2, 4, 2, 7}, {1, 2, 4, 3, 7}},
       {0, 1}},
      {"all_features_zero_variance",
       {0, 0, 1, 1},
       {{1, 1, 2, 3}, {0, 0, 0, 0}, {kNaN, 4, 5, 5}},
       {0, 1, 2}},
      {"mixed",
       {0, 1, 0, 1, 1, 2},
       {{1, 2, 3, 4, 5, 6},
        {1, 2, 1, 4, 5, 6},
        {1, 2, 3, 2, 2, 6},
        {kNaN, 2, kNaN, 3, 4, 6},
        {1, kNaN, 2, kNaN, kNaN, 6},
        {-0.0, 1, 0.0, 2, 3, 4}},
       {1, 2, 5}},
  };
}

class SelectionTest : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(SelectionTest, SelectsProjectsAndReinsertsUnderEitherPlan) {
  const SelectionCase& c = GetParam();
  const std::vector<double> values = from_columns(c.features);
  const BatchLevels levels = levels_of(c.ids);
  const std::size_t n_samples = c.ids.size();
  const std::size_t n_features = c.features.size();

  Outcome serial;
  Outcome parallel;
  {
    SCOPED_TRACE("serial");
    serial = run(values, n_samples, n_features, levels, kSerial);
  }
  {
    SCOPED_TRACE("parallel");
    parallel = run(values, n_samples, n_features, levels, kParallel);
  }
  EXPECT_EQ(serial.selection.zero_variance_features, c.zero_variance);
  EXPECT_EQ(parallel.selection.zero_variance_features, c.zero_variance);
  EXPECT_EQ(parallel.selection.kept, serial.selection.kept);
  EXPECT_TRUE(bit_identical(std::span<const double>(parallel.projected.data(), static_cast<std::size_t>(parallel.projected.size())),
                            std::span<const double>(serial.projected.data(), static_cast<std::size_t>(serial.projected.size()))));
}

INSTANTIATE_TEST_SUITE_P(ZeroVariance, SelectionTest, ::testing::ValuesIn(selection_cases()),
                         testing::LabelName{});

// Many samples and more features than the selection tests in one block (256 adjacent
// features), with zero-variance features planted on both sides of the block boundaries
// and others left to chance: a two-sample batch drawn from a handful of values is
// constant in about one feature in five.
TEST(ZeroVariance, WideInputAgreesWithTheDefinitionUnderEitherPlan) {
  for (const auto& [n_samples, n_features] :
       std::vector<std::pair<std::size_t, std::size_t>>{{3000, 700}, {40, 1025}, {9, 256}}) {
    SCOPED_TRACE(::testing::Message() << n_samples << " x " << n_features);
    std::mt19937_64 rng(n_samples * 131 + n_features);
    Ids ids(n_samples);
    ids[0] = 1000;  // the two-sample batch
    ids[1] = kTop;  // a singleton batch
    ids[n_samples - 1] = 1000;
    for (std::size_t i = 2; i + 1 < n_samples; ++i) ids[i] = (rng() % 2 == 0) ? 3 : 8;
    const BatchLevels levels = levels_of(ids);

    std::vector<double> values(n_samples * n_features);
    for (double& v : values) {
      const std::uint64_t draw = rng() % 100;
      v = draw == 0 ? kNaN : static_cast<double>(draw % 5) * 0.5 * ((rng() % 2) ? 1.0 : -1.0);
    }
    // Planted: constant in the big batches, or across the two-sample batch.
    for (const std::size_t j : {0ul, 255ul, 256ul, 257ul, 511ul, 512ul, n_features - 1}) {
      if (j >= n_features) continue;
      if (j % 2 == 0) {
        for (std::size_t i = 0; i < n_samples; ++i) {
          if (ids[i] == 8) values[i * n_features + j] = 2.5;
        }
      } else {
        values[0 * n_features + j] = 0.0;
        values[(n_samples - 1) * n_features + j] = -0.0;
      }
    }
    const std::vector<std::uint64_t> expected =
        zero_variance_by_definition(values, n_features, levels);
    ASSERT_FALSE(expected.empty());
    ASSERT_LT(expected.size(), n_features);

    Outcome serial;
    Outcome parallel;
    {
      SCOPED_TRACE("serial");
      serial = run(values, n_samples, n_features, levels, kSerial);
    }
    {
      SCOPED_TRACE("parallel");
      parallel = run(values, n_samples, n_features, levels, kParallel);
    }
    EXPECT_EQ(serial.selection.zero_variance_features, expected);
    EXPECT_EQ(parallel.selection.zero_variance_features, expected);
    // The same test on a column-major copy of every feature, as a tile is judged.
    const std::vector<unsigned char> constant = constant_columns(
        project_features(values, n_samples, n_features, complement({}, n_features), kSerial), levels);
    std::vector<std::uint64_t> by_columns;
    for (std::size_t j = 0; j < n_features; ++j) {
      if (constant[j]) by_columns.push_back(j);
    }
    EXPECT_EQ(by_columns, expected);
    EXPECT_EQ(parallel.selection.kept, serial.selection.kept);
    EXPECT_TRUE(bit_identical(std::span<const double>(parallel.projected.data(), static_cast<std::size_t>(parallel.projected.size())),
                            std::span<const double>(serial.projected.data(), static_cast<std::size_t>(serial.projected.size()))));
    }
}

TEST(ZeroVariance, NothingKeptProjectsNothing) {
  const std::vector<double> values = from_columns({{1, 1, 2}, {kNaN, -0.0, 0.5}});
  for (const ParallelPlan plan : {kSerial, kParallel}) {
    SCOPED_TRACE(plan.parallel ? "parallel" : "serial");
    EXPECT_EQ(project_features(values, 3, 2, {}, plan).size(), 0);
  }
}

}  // namespace
}  // namespace quarnel
