// Features missing from whole batches: corrected where they are observed as the method
// written out plainly corrects one feature against the complete features' priors, with the
// batches they were corrected in listed; the features that cannot be corrected so (seen in
// one batch, not in the reference, too few complete features for priors) come back as they
// came in with their reason; and the priors the complete features leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/model.hpp"
#include "quarnel/partial.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::bit_identical;
using testing::DenseProblem;
using Index = Eigen::Index;
using Ids = std::vector<std::uint64_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Feature j of `p` corrected where it is observed, by the parametric method done plainly:
// its own fit over the batches it is observed in (the grand mean weighting each batch's
// mean by the batch's size, the variance that of the observed residuals), each batch's
// values shrunk towards the prior of the complete features' raw effects in that batch.
std::vector<double> corrected_where_observed(const DenseProblem& p, const std::vector<std::size_t>& complete,
                                             std::size_t j) {
  const testing::PlainStandardization prior = testing::plain_standardize(p.columns(complete));
  std::vector<std::vector<std::size_t>> observed(prior.ids.size());
  std::vector<double> size(prior.ids.size(), 0.0);
  for (std::size_t s = 0; s < p.n_samples; ++s) {
    const std::size_t b = static_cast<std::size_t>(std::ranges::find(prior.ids, p.batch[s]) - prior.ids.begin());
    size[b] += 1.0;
    if (!std::isnan(p.at(s, j))) observed[b].push_back(s);
  }
  std::vector<double> mean(prior.ids.size());
  double weighted = 0.0, total = 0.0;
  for (std::size_t b = 0; b < observed.size(); ++b) {
    if (observed[b].empty()) continue;
    std::vector<double> y;
    for (const std::size_t s : observed[b]) y.push_back(p.at(s, j));
    mean[b] = testing::plain_mean(y);
    weighted += size[b] * mean[b];
    total += size[b];
  }
  const double grand = weighted / total;
  std::vector<double> residuals;
  for (std::size_t b = 0; b < observed.size(); ++b) {
    for (const std::size_t s : observed[b]) residuals.push_back(p.at(s, j) - mean[b]);
  }
  const double scale = std::sqrt(testing::plain_variance(residuals));
  std::vector<double> out;
  for (std::size_t s = 0; s < p.n_samples; ++s) out.push_back(p.at(s, j));
  for (std::size_t b = 0; b < observed.size(); ++b) {
    if (observed[b].empty()) continue;
    Matrix z(static_cast<Index>(observed[b].size()), 1);
    for (std::size_t r = 0; r < observed[b].size(); ++r) z(static_cast<Index>(r), 0) = (p.at(observed[b][r], j) - grand) / scale;
    const std::vector<double> g_row = row_values(prior.gamma_hat, b), d_row = row_values(prior.delta_hat, b);
    const testing::PlainPosteriors post = testing::plain_posteriors(z, g_row, d_row);
    for (std::size_t r = 0; r < observed[b].size(); ++r) {
      out[observed[b][r]] = (z(static_cast<Index>(r), 0) - post.gamma[0]) / std::sqrt(post.delta[0]) * scale + grand;
    }
  }
  return out;
}

std::vector<double> column(std::span<const double> buffer, std::size_t width, std::size_t j) {
  std::vector<double> out;
  for (std::size_t k = j; k < buffer.size(); k += width) out.push_back(buffer[k]);
  return out;
}

TEST(PartialFeatures, AreCorrectedWhereObservedAsThePlainMethodWould) {
  for (std::uint64_t seed = 0; seed < 4; ++seed) {
    SCOPED_TRACE(seed);
    DenseProblem p(testing::ids_of_sizes({2, 5, 7, 11}, {6, 7, 5, 8}), 40);
    testing::fill_batch_effects(p, seed);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> shift(0.0, 1.5);
    for (const std::uint64_t id : {2, 5, 7, 11}) {
      for (std::size_t j = 0; j < 40; ++j) {
        const double by = shift(rng);
        for (std::size_t s = 0; s < p.n_samples; ++s) p.at(s, j) += p.batch[s] == id ? by : 0.0;
      }
    }
    bool kept_one = false;
    for (std::size_t s = 0; s < p.n_samples; ++s) {
      const std::uint64_t id = p.batch[s];
      if (id == 5) p.at(s, 0) = p.at(s, 1) = kNaN;           // 0, 1: missing from batch 5
      if (id == 11 && kept_one) p.at(s, 1) = kNaN;           // 1: one value left in batch 11
      kept_one = kept_one || id == 11;
      if (id == 2 || id == 7) p.at(s, 2) = kNaN;             // 2: seen in batches 5 and 11
      if (id != 7) p.at(s, 3) = kNaN;                        // 3: seen in batch 7 alone
    }
    std::vector<std::size_t> complete;
    for (std::size_t j = 4; j < 40; ++j) complete.push_back(j);
    const std::vector<std::size_t> partial{0, 1, 2, 3};
    ASSERT_OK_AND_ASSIGN(const PartialCombatOutput out, combat_dense_partial(p.request(), p.options, complete, partial));

    ASSERT_EQ(out.partial.size(), 4u);
    const Ids corrected_in[] = {{2, 7, 11}, {2, 7, 11}, {5, 11}, {}};
    for (std::size_t k = 0; k < 4; ++k) {
      EXPECT_EQ(out.partial[k].issue, k == 3 ? FeatureIssue::one_batch : FeatureIssue::none) << k;
      EXPECT_EQ(out.partial[k].batches, corrected_in[k]) << k;
    }
    for (std::size_t j = 0; j < 3; ++j) {
      const std::vector<double> expected = corrected_where_observed(p, complete, j);
      const std::vector<double> actual = column(out.output.adjusted, 40, j);
      for (std::size_t s = 0; s < p.n_samples; ++s) {
        if (std::isnan(expected[s])) {
          EXPECT_TRUE(std::isnan(actual[s]));
        } else {
          EXPECT_NEAR(actual[s], expected[s], 1e-9 * std::abs(expected[s])) << "feature " << j << ", sample " << s;
        }
      }
    }
    EXPECT_TRUE(bit_identical(column(out.output.adjusted, 40, 3), column(p.values, 40, 3)));
    // The complete features are corrected as a run of them alone.
    const DenseProblem alone = p.columns(complete);
    ASSERT_OK_AND_ASSIGN(const CombatDenseOutput run, combat_dense(alone.request(), alone.options));
    for (std::size_t k = 0; k < complete.size(); ++k) {
      EXPECT_TRUE(bit_identical(column(out.output.adjusted, 40, complete[k]), column(run.adjusted, complete.size(), k)));
    }
  }
}

// Features that cannot be fitted where observed get their reason and come back unchanged;
// a sound partial feature beside them is corrected.
TEST(PartialFeatures, ThatCannotBeFittedGetTheirReasonAndComeBackUnchanged) {
  for (const bool par_prior : {true, false}) {
    for (const bool one_complete : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "par_prior " << par_prior << " one complete " << one_complete);
      DenseProblem p(testing::ids_of_sizes({3, 8, 10}, {5, 4, 6}), 7);
      testing::fill_batch_effects(p, 70);
      p.options.par_prior = par_prior;
      p.options.ref_batch = 8;
      for (std::size_t s = 0; s < p.n_samples; ++s) {
        if (p.batch[s] == 8) p.at(s, 0) = kNaN;   // 0: not in the reference batch
        if (p.batch[s] != 10) p.at(s, 1) = kNaN;  // 1: in one batch
        if (p.batch[s] == 3) p.at(s, 2) = kNaN;   // 2: sound, missing from batch 3
      }
      const std::vector<std::size_t> complete = one_complete ? std::vector<std::size_t>{3}
                                                             : std::vector<std::size_t>{3, 4, 5, 6};
      const std::vector<std::size_t> partial{0, 1, 2};
      ASSERT_OK_AND_ASSIGN(const PartialCombatOutput out, combat_dense_partial(p.request(), p.options, complete, partial));
      ASSERT_EQ(out.partial.size(), 3u);
      EXPECT_EQ(out.partial[0].issue, FeatureIssue::no_reference);
      EXPECT_EQ(out.partial[0].batch, std::optional<std::uint64_t>{8});
      EXPECT_EQ(out.partial[1].issue, FeatureIssue::one_batch);
      EXPECT_EQ(out.partial[1].batch, std::nullopt);
      EXPECT_EQ(out.partial[2].issue, one_complete ? FeatureIssue::no_prior : FeatureIssue::none);
      EXPECT_EQ(out.partial[2].batches, (one_complete ? Ids{} : Ids{8, 10}));
      for (std::size_t j = 0; j < 3; ++j) {
        const bool unchanged = bit_identical(column(out.output.adjusted, 7, j), column(p.values, 7, j));
        EXPECT_EQ(unchanged, j < 2 || one_complete) << "feature " << j;
      }
      // The reference batch's values of the corrected one come back as they came in.
      for (std::size_t s = 0; s < p.n_samples; ++s) {
        if (p.batch[s] != 8) continue;
        EXPECT_EQ(out.output.adjusted[s * 7 + 2], p.at(s, 2));
      }
    }
  }
}

// The priors of the complete features' raw effects: each non-reference level's by the
// method of moments, none for the reference, and none at all from fewer than two features.
TEST(CompletePriors, AreTheMomentsOfEachLevelsRawEffects) {
  const BatchLevels levels = testing::make_levels({4, 1, 9, 4, 1, 9});
  std::mt19937_64 rng(80);
  std::uniform_real_distribution<double> draw(0.2, 2.0);
  for (Index g = 0; g <= 5; ++g) {
    ParametricEstimates raw;
    raw.gamma_hat = Matrix::NullaryExpr(3, g, [&] { return draw(rng) - 1.0; });
    raw.delta_hat = Matrix::NullaryExpr(3, g, [&] { return draw(rng); });
    for (const bool par_prior : {true, false}) {
      for (const bool mean_only : {false, true}) {
        SCOPED_TRACE(::testing::Message() << g << " features, par_prior " << par_prior << " mean_only " << mean_only);
        const CompletePriors priors = complete_priors(raw, levels, 1, par_prior, mean_only, true);
        EXPECT_EQ(priors.reference_level, std::optional<std::size_t>{1});
        EXPECT_EQ(priors.n_complete, g < 2 ? 0u : static_cast<std::size_t>(g));
        EXPECT_EQ(priors.nonparametric.has_value(), !par_prior && g >= 2);
        if (!par_prior || g < 2) {
          EXPECT_TRUE(priors.parametric.empty());
          continue;
        }
        ASSERT_EQ(priors.parametric.size(), 3u);
        EXPECT_FALSE(priors.parametric[1].has_value());
        for (const std::size_t level : {0u, 2u}) {
          ASSERT_TRUE(priors.parametric[level].has_value()) << level;
          const LevelPrior& prior = *priors.parametric[level];
          const std::vector<double> gr = row_values(raw.gamma_hat, level), dr = row_values(raw.delta_hat, level);
          const double m = testing::plain_mean(dr), s2 = testing::plain_variance(dr);
          EXPECT_NEAR(prior.gamma_bar, testing::plain_mean(gr), 1e-14);
          EXPECT_NEAR(prior.tau2, testing::plain_variance(gr), 1e-14);
          EXPECT_NEAR(prior.a_prior, mean_only ? 0.0 : (m * m + 2 * s2) / s2, 1e-9 * prior.a_prior);
          EXPECT_NEAR(prior.b_prior, mean_only ? 0.0 : (m * m * m + m * s2) / s2, 1e-9 * prior.b_prior);
        }
      }
    }
  }
}

}  // namespace
}  // namespace quarnel
