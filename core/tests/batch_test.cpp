// Batch levels: per-sample batch ids turned into dense level indices in ascending
// (unsigned) id order, and the read access the later stages rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quarnel/batch.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTop = std::uint64_t{1} << 63;  // first id with the top bit set

using Ids = std::vector<std::uint64_t>;
using Sizes = std::vector<std::size_t>;

struct LevelsCase {
  std::string label;
  Ids ids;
  Ids batch_ids;
  Sizes sample_levels;
  Sizes level_sizes;
};

class BatchLevelsTest : public ::testing::TestWithParam<LevelsCase> {};

TEST_P(BatchLevelsTest, BuildsAscendingLevels) {
  const LevelsCase& c = GetParam();
  ASSERT_OK_AND_ASSIGN(const BatchLevels levels, BatchLevels::from_ids(c.ids, c.ids.size()));
  EXPECT_EQ(Ids(levels.batch_ids().begin(), levels.batch_ids().end()), c.batch_ids);
  EXPECT_EQ(Sizes(levels.sample_levels().begin(), levels.sample_levels().end()),
            c.sample_levels);
  EXPECT_EQ(Sizes(levels.level_sizes().begin(), levels.level_sizes().end()), c.level_sizes);

  // The scalar accessors agree with the lists.
  ASSERT_EQ(levels.level_count(), c.batch_ids.size());
  ASSERT_EQ(levels.sample_count(), c.ids.size());
  for (std::size_t l = 0; l < levels.level_count(); ++l) {
    EXPECT_EQ(levels.batch_id(l), c.batch_ids[l]);
    EXPECT_EQ(levels.level_size(l), c.level_sizes[l]);
  }
  for (std::size_t i = 0; i < c.ids.size(); ++i) {
    EXPECT_EQ(levels.level_of_sample(i), c.sample_levels[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    FromIds, BatchLevelsTest,
    ::testing::Values(
        LevelsCase{"repeated_ids", {5, 2, 5, 9}, {2, 5, 9}, {1, 0, 1, 2}, {1, 2, 1}},
        LevelsCase{"not_contiguous_nor_from_zero", {100, 7}, {7, 100}, {1, 0}, {1, 1}},
        LevelsCase{"zero_is_an_ordinary_id", {0, 3, 0, 3, 0}, {0, 3}, {0, 1, 0, 1, 0}, {3, 2}},
        LevelsCase{"top_bit_ids_sort_last",
                   {kTop, 5, kMax, kTop - 1, kTop + 1},
                   {5, kTop - 1, kTop, kTop + 1, kMax},
                   {2, 0, 4, 1, 3},
                   {1, 1, 1, 1, 1}},
        LevelsCase{"extreme_ids", {kMax, 0, kMax}, {0, kMax}, {1, 0, 1}, {1, 2}},
        LevelsCase{"singleton_levels_are_valid", {4, 4, 4, 1}, {1, 4}, {1, 1, 1, 0}, {1, 3}}),
    testing::LabelName{});

struct FailureCase {
  std::string label;
  Ids ids;
  std::uint64_t n_samples;
  std::string text;
};

class BatchLevelsFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(BatchLevelsFailureTest, FailsWithItsMessage) {
  const FailureCase& c = GetParam();
  EXPECT_ERROR_TEXT(BatchLevels::from_ids(c.ids, c.n_samples), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    FromIds, BatchLevelsFailureTest,
    ::testing::Values(
        FailureCase{"all_ids_equal", {3, 3, 3}, 3, "at least two batches are required"},
        FailureCase{"one_sample", {kMax}, 1, "at least two batches are required"},
        FailureCase{"no_ids_no_samples", {}, 0, "at least two batches are required"},
        FailureCase{"fewer_ids_than_samples", {1, 2, 1}, 4,
                    "batch length mismatch: n_samples=4, batch_len=3"},
        FailureCase{"more_ids_than_samples", {1, 2, 1}, 2,
                    "batch length mismatch: n_samples=2, batch_len=3"},
        FailureCase{"no_ids_for_samples", {}, 3,
                    "batch length mismatch: n_samples=3, batch_len=0"},
        // The length is checked before the ids are looked at.
        FailureCase{"length_before_too_few", {7, 7}, 5,
                    "batch length mismatch: n_samples=5, batch_len=2"},
        FailureCase{"huge_sample_count", {1, 2}, kMax,
                    "batch length mismatch: n_samples=18446744073709551615, batch_len=2"}),
    testing::LabelName{});

TEST(BatchLevels, FindsTheLevelOfPresentIdsAndReportsAbsentOnes) {
  const Ids ids = {kTop, 40, 10, 40, kMax, 10};
  ASSERT_OK_AND_ASSIGN(const BatchLevels levels, BatchLevels::from_ids(ids, ids.size()));
  const std::vector<std::pair<std::uint64_t, std::optional<std::size_t>>> lookups = {
      {10, 0},           {40, 1},           {kTop, 2},      {kMax, 3},
      {0, std::nullopt}, {9, std::nullopt}, {11, std::nullopt}, {39, std::nullopt},
      {41, std::nullopt}, {kTop - 1, std::nullopt}, {kTop + 1, std::nullopt},
      {kMax - 1, std::nullopt},
  };
  for (const auto& [id, level] : lookups) {
    SCOPED_TRACE(id);
    EXPECT_EQ(levels.level_of_batch_id(id), level);
  }
}

TEST(BatchLevels, MembersListEachLevelsSamplesAscending) {
  const Ids ids = {9, 2, 9, 5, 2, 9, 5};
  ASSERT_OK_AND_ASSIGN(const BatchLevels levels, BatchLevels::from_ids(ids, ids.size()));
  const std::vector<Sizes> expected = {{1, 4}, {3, 6}, {0, 2, 5}};
  EXPECT_EQ(levels.members_of_all_levels(), expected);
  for (std::size_t l = 0; l < expected.size(); ++l) {
    SCOPED_TRACE(l);
    EXPECT_EQ(levels.members(l), expected[l]);
  }
}

// Random ids, dense and sparse, including ids with the top bit set: every invariant the
// later stages rely on holds, and members agree with the sample levels.
TEST(BatchLevels, InvariantsHoldForRandomIds) {
  std::mt19937_64 rng(20240611);
  const std::vector<Ids> pools = {
      {0, 1},
      {3, 1, 4, 15, 9, 2, 6},
      {kTop, kTop - 1, kMax, 0, 12345678901234567890u},
  };
  for (std::size_t trial = 0; trial < 60; ++trial) {
    const Ids& pool = pools[trial % pools.size()];
    const std::size_t n = 2 + trial * 3;
    Ids ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = pool[rng() % pool.size()];
    ids[0] = pool[0];  // at least two distinct ids
    ids[1] = pool[1];
    SCOPED_TRACE(::testing::Message() << "trial " << trial << ", n " << n);

    ASSERT_OK_AND_ASSIGN(const BatchLevels levels, BatchLevels::from_ids(ids, n));
    std::map<std::uint64_t, std::size_t> counts;
    for (const std::uint64_t id : ids) ++counts[id];

    ASSERT_EQ(levels.level_count(), counts.size());
    std::size_t l = 0;
    for (const auto& [id, count] : counts) {  // std::map iterates in ascending order
      EXPECT_EQ(levels.batch_id(l), id);
      EXPECT_EQ(levels.level_size(l), count);
      EXPECT_GE(levels.level_size(l), 1u);
      ++l;
    }
    const Sizes sizes(levels.level_sizes().begin(), levels.level_sizes().end());
    EXPECT_EQ(std::accumulate(sizes.begin(), sizes.end(), std::size_t{0}), n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_LT(levels.level_of_sample(i), levels.level_count());
      EXPECT_EQ(levels.batch_id(levels.level_of_sample(i)), ids[i]);
    }

    const std::vector<Sizes> members = levels.members_of_all_levels();
    ASSERT_EQ(members.size(), levels.level_count());
    std::size_t covered = 0;
    for (std::size_t level = 0; level < members.size(); ++level) {
      EXPECT_EQ(members[level], levels.members(level));
      EXPECT_EQ(members[level].size(), levels.level_size(level));
      EXPECT_TRUE(std::ranges::is_sorted(members[level]));
      for (const std::size_t i : members[level]) EXPECT_EQ(levels.level_of_sample(i), level);
      covered += members[level].size();
    }
    EXPECT_EQ(covered, n);
  }
}

}  // namespace
}  // namespace quarnel
