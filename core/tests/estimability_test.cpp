// Judging features one by one: a feature built to have each kind of problem gets that
// verdict, naming the batch it concerns, and is exactly what makes the whole run fail (or,
// when constant, what it passes through); a feature's verdict is its own, the same when it
// is judged with any other features in the run's mode and whatever the order of samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/estimability.hpp"
#include "quarnel/run_mode.hpp"
#include "quarnel/stages.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::DenseProblem;
using testing::ids_of_sizes;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Three batches of four samples with ids 3, 7 and 12 (levels 0, 1, 2) and four features;
// each case gives feature 1 its problem.
DenseProblem base(std::uint64_t seed) {
  DenseProblem p(ids_of_sizes({3, 7, 12}, {4, 4, 4}), 4);
  testing::fill_batch_effects(p, seed);
  return p;
}

// One covariate marking sample `marked` alone, which the design then fits exactly.
void mark_sample(DenseProblem& p, std::size_t marked) {
  p.n_covariates = 1;
  p.covariates.emplace(p.n_samples, 0.0);
  (*p.covariates)[marked] = 1.0;
}

struct VerdictCase {
  std::string label;
  DenseProblem (*build)();
  FeatureVerdict verdict;
  const char* run_error;  // nullptr: the run succeeds, passing a constant feature 1 through
};

std::vector<VerdictCase> verdict_cases() {
  return {
      {"constant_in_one_batch",
       [] {
         DenseProblem p = base(1);
         for (std::size_t s = 4; s < 8; ++s) p.at(s, 1) = 2.5;
         return p;
       },
       {FeatureIssue::constant, std::nullopt}, nullptr},
      {"one_value_in_a_batch_of_a_mean_only_run",
       [] {
         DenseProblem p = base(11);
         for (std::size_t s = 9; s < 12; ++s) p.at(s, 1) = kNaN;
         p.options.mean_only = true;
         return p;
       },
       {FeatureIssue::none, std::nullopt}, nullptr},
      {"no_value_in_a_batch",
       [] {
         DenseProblem p = base(2);
         for (std::size_t s = 4; s < 8; ++s) p.at(s, 1) = kNaN;
         return p;
       },
       {FeatureIssue::no_values, 7}, "singular design matrix"},
      {"no_value_in_two_batches",
       [] {
         DenseProblem p = base(12);
         for (const std::size_t s : {0, 1, 2, 3, 8, 9, 10, 11}) p.at(s, 1) = kNaN;
         return p;
       },
       {FeatureIssue::no_values, 3}, "singular design matrix"},
      {"one_value_in_a_batch",
       [] {
         DenseProblem p = base(3);
         for (std::size_t s = 9; s < 12; ++s) p.at(s, 1) = kNaN;
         return p;
       },
       {FeatureIssue::few_values, 12},
       "unsupported option: scale adjustment requires at least two observed values per batch and feature"},
      {"one_value_in_the_reference_batch",
       [] {
         DenseProblem p = base(4);
         for (std::size_t s = 1; s < 4; ++s) p.at(s, 1) = kNaN;
         p.options.ref_batch = 3;
         return p;
       },
       {FeatureIssue::few_values, 3},
       "numerical failure: pooled variance requires at least two observed residuals"},
      {"as_many_values_as_design_columns",
       [] {
         // Two values in batch 3, one in batch 7: three observed values, three columns.
         DenseProblem p(ids_of_sizes({3, 7}, {3, 3}), 4);
         testing::fill_batch_effects(p, 5);
         testing::add_random_covariates(p, 1, 50);
         for (const std::size_t s : {2, 4, 5}) p.at(s, 1) = kNaN;
         return p;
       },
       {FeatureIssue::no_residual, std::nullopt},
       "numerical failure: pooled variance is not positive finite"},
      {"observed_design_singular",
       [] {
         // The third covariate is the sum of the first two on every sample but the last,
         // where feature 1 is missing.
         DenseProblem p = base(6);
         testing::add_random_covariates(p, 3, 60);
         for (std::size_t s = 0; s < 11; ++s) {
           double* row = p.covariates->data() + s * 3;
           row[2] = row[0] + row[1];
         }
         p.at(11, 1) = kNaN;
         return p;
       },
       {FeatureIssue::singular, std::nullopt}, "singular design matrix"},
      {"equal_values_beside_a_fitted_sample",
       [] {
         // Batch 12: sample 8 missing, sample 9 fitted by its own covariate, 10 and 11
         // equal: zero residuals in the batch.
         DenseProblem p = base(7);
         mark_sample(p, 9);
         p.at(8, 1) = kNaN;
         p.at(10, 1) = p.at(11, 1) = 6.25;
         return p;
       },
       {FeatureIssue::equal_values, 12}, "numerical failure: delta_hat is not positive finite"},
      {"equal_reference_values_beside_a_fitted_sample",
       [] {
         DenseProblem p = base(8);
         mark_sample(p, 9);
         p.at(8, 1) = kNaN;
         p.at(10, 1) = p.at(11, 1) = 1.75;
         p.options.ref_batch = 12;
         return p;
       },
       {FeatureIssue::equal_values, 12}, "numerical failure: pooled variance is not positive finite"},
      {"batch_fitted_by_the_design",
       [] {
         // Batch 7 keeps samples 4 and 5, the first fitted by its own covariate, the
         // other then by the batch's own column.
         DenseProblem p = base(9);
         mark_sample(p, 4);
         p.at(6, 1) = p.at(7, 1) = kNaN;
         return p;
       },
       {FeatureIssue::level_fitted, 7}, "numerical failure: delta_hat is not positive finite"},
      {"values_too_large_to_square",
       [] {
         DenseProblem p = base(10);
         for (std::size_t s = 0; s < 12; ++s) p.at(s, 1) *= 1e200;
         return p;
       },
       {FeatureIssue::too_large, std::nullopt}, "numerical failure: pooled variance is not positive finite"},
  };
}

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.label; }

class FeatureVerdicts : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(FeatureVerdicts, NameTheProblemAndDecideTheRunsOutcome) {
  const VerdictCase& c = GetParam();
  const DenseProblem p = c.build();
  ASSERT_OK_AND_ASSIGN(const FeatureAssessment assessment, assess_features(p.request(), p.options));
  ASSERT_EQ(assessment.verdicts.size(), 4u);
  for (std::size_t j = 0; j < 4; ++j) {
    SCOPED_TRACE(j);
    const FeatureVerdict expected = j == 1 ? c.verdict : FeatureVerdict{};
    EXPECT_EQ(assessment.verdicts[j].issue, expected.issue);
    EXPECT_EQ(assessment.verdicts[j].batch, expected.batch);
  }
  const Result<CombatDenseOutput> run = combat_dense(p.request(), p.options);
  if (c.run_error != nullptr) {
    EXPECT_ERROR_TEXT(run, c.run_error);
  } else {
    ASSERT_OK(run);
    std::size_t unchanged = 0;
    for (std::size_t s = 0; s < p.n_samples; ++s) unchanged += run->adjusted[s * 4 + 1] == p.at(s, 1);
    EXPECT_EQ(unchanged, c.verdict.issue == FeatureIssue::constant ? p.n_samples : 0);
  }
  const std::vector<std::size_t> others{0, 2, 3};
  const DenseProblem without = p.columns(others);
  EXPECT_OK(combat_dense(without.request(), without.options));
}

INSTANTIATE_TEST_SUITE_P(EveryIssue, FeatureVerdicts, ::testing::ValuesIn(verdict_cases()),
                         testing::LabelName());

// A random problem of three batches whose features are given problems at random.
DenseProblem random_problem(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::vector<std::size_t> sizes{2 + rng() % 4, 2 + rng() % 4, 2 + rng() % 4};
  DenseProblem p(ids_of_sizes({4, 9, 13}, sizes), 8);
  testing::fill_batch_effects(p, seed + 100);
  if (seed % 3 == 1) testing::add_random_covariates(p, 1, seed + 200);
  if (seed % 6 == 1) mark_sample(p, 0);
  const std::uint64_t ids[] = {4, 9, 13};
  for (std::size_t j = 0; j < p.n_features; ++j) {
    const std::uint64_t id = ids[rng() % 3];
    const std::size_t kind = rng() % 7;
    bool first = true;
    for (std::size_t s = 0; s < p.n_samples; ++s) {
      if (p.batch[s] != id) continue;
      if (kind == 0) p.at(s, j) = 1.5;                // constant within the batch
      if (kind == 1) p.at(s, j) = kNaN;               // no value in the batch
      if (kind == 2 && !first) p.at(s, j) = kNaN;     // one value left in the batch
      if (kind == 3 && rng() % 3 == 0) p.at(s, j) = kNaN;  // some values missing
      if (kind == 4) p.at(s, j) *= 1e200;                  // too large to square
      first = false;
    }
  }
  if (seed % 4 == 2) p.options.ref_batch = ids[seed % 3];
  p.options.mean_only = seed % 5 == 4;
  return p;
}

// The mode the whole run of `p` decides, from its features' verdicts: the features the
// zero-variance test keeps, and whether any of them holds a NaN.
RunMode mode_of_run(const DenseProblem& p, const FeatureAssessment& whole) {
  std::size_t n_kept = 0;
  bool missing = false;
  for (std::size_t j = 0; j < p.n_features; ++j) {
    if (whole.verdicts[j].issue == FeatureIssue::constant) continue;
    ++n_kept;
    for (std::size_t s = 0; s < p.n_samples; ++s) missing = missing || std::isnan(p.at(s, j));
  }
  return decide_run_mode(p.options.mean_only, testing::make_levels(p.batch), n_kept, missing);
}

// The verdicts of a chunk's first read in the run's mode.
Result<FeatureAssessment> chunk_verdicts(const DenseProblem& p, const RunMode& mode) {
  Result<JudgedChunk> judged = judge_chunk(p.request(), p.options, mode.missing, !mode.effective_mean_only);
  if (!judged) return fail(std::move(judged.error()));
  return judged->assessment;
}

void expect_same_verdicts(const FeatureAssessment& whole, const FeatureAssessment& part,
                          std::span<const std::size_t> features) {
  ASSERT_EQ(part.verdicts.size(), features.size());
  for (std::size_t k = 0; k < features.size(); ++k) {
    EXPECT_EQ(part.verdicts[k].issue, whole.verdicts[features[k]].issue) << "feature " << features[k];
    EXPECT_EQ(part.verdicts[k].batch, whole.verdicts[features[k]].batch) << "feature " << features[k];
  }
}

// Every feature's verdict is the same when it is judged alone, or with a random half of the
// others, in the whole run's mode, and when the samples come in another order.
TEST(FeatureVerdictsOfRandomProblems, AreEachFeaturesOwnAndIgnoreSampleOrder) {
  std::set<FeatureIssue> seen;
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    SCOPED_TRACE(seed);
    const DenseProblem p = random_problem(seed);
    ASSERT_OK_AND_ASSIGN(const FeatureAssessment whole, assess_features(p.request(), p.options));
    for (const FeatureVerdict& v : whole.verdicts) seen.insert(v.issue);
    const RunMode mode = mode_of_run(p, whole);
    EXPECT_EQ(whole.effective_mean_only, mode.effective_mean_only);

    std::mt19937_64 rng(seed);
    std::vector<std::size_t> half, rest;
    for (std::size_t j = 0; j < p.n_features; ++j) {
      (rng() % 2 ? half : rest).push_back(j);
      const std::vector<std::size_t> alone{j};
      const DenseProblem one = p.columns(alone);
      ASSERT_OK_AND_ASSIGN(const FeatureAssessment own,
                           chunk_verdicts(one, mode));
      expect_same_verdicts(whole, own, alone);
    }
    for (const std::vector<std::size_t>* part : {&half, &rest}) {
      if (part->empty()) continue;
      const DenseProblem some = p.columns(*part);
      ASSERT_OK_AND_ASSIGN(const FeatureAssessment judged,
                           chunk_verdicts(some, mode));
      expect_same_verdicts(whole, judged, *part);
    }

    std::vector<std::size_t> order = testing::index_range(p.n_samples);
    std::shuffle(order.begin(), order.end(), rng);
    const DenseProblem shuffled = p.rows(order);
    ASSERT_OK_AND_ASSIGN(const FeatureAssessment reordered, assess_features(shuffled.request(), shuffled.options));
    expect_same_verdicts(whole, reordered, testing::index_range(p.n_features));
  }
  // The problems reach the verdicts of the judgement's every stage.
  for (const FeatureIssue issue : {FeatureIssue::none, FeatureIssue::constant, FeatureIssue::no_values,
                                   FeatureIssue::few_values, FeatureIssue::level_fitted, FeatureIssue::too_large}) {
    EXPECT_TRUE(seen.contains(issue)) << static_cast<int>(issue);
  }
}

}  // namespace
}  // namespace quarnel
