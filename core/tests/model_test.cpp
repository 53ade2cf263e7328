// A fitted model applied again: any rows of its data, in any order, come back as the
// one-call run corrects them, partial features included; reference rows come back as they
// came in; batches it has not seen are refused or, when asked, estimated as the run would
// have estimated them; and requests that do not match the model are refused with the first
// mismatch.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/model.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::bit_identical;
using testing::DenseProblem;
using testing::ids_of_sizes;
using Index = Eigen::Index;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct OptionsCase {
  std::string label;
  bool par_prior;
  bool mean_only;
  std::optional<std::uint64_t> ref_batch;
};
void PrintTo(const OptionsCase& c, std::ostream* os) { *os << c.label; }

const auto kOptionCases = ::testing::Values(OptionsCase{"parametric", true, false, std::nullopt},
                                            OptionsCase{"parametric_mean_only", true, true, std::nullopt},
                                            OptionsCase{"parametric_reference", true, false, 6},
                                            OptionsCase{"nonparametric", false, false, std::nullopt},
                                            OptionsCase{"nonparametric_reference", false, false, 2});

// Batches 2, 6 and 9 of 5, 6 and 7 samples, interleaved; 8 features.
DenseProblem fitted_data(const OptionsCase& c, std::uint64_t seed) {
  std::vector<std::uint64_t> ids = ids_of_sizes({2, 6, 9}, {5, 6, 7});
  std::mt19937_64 rng(seed);
  std::shuffle(ids.begin(), ids.end(), rng);
  DenseProblem p(ids, 8);
  testing::fill_batch_effects(p, seed);
  p.options.par_prior = c.par_prior;
  p.options.mean_only = c.mean_only;
  p.options.ref_batch = c.ref_batch;
  return p;
}

class ModelOfRun : public ::testing::TestWithParam<OptionsCase> {};

// Rows in a shuffled order, some left out, with covariates, a NaN and features missing from
// whole batches: each row comes back with the bits of its row in the one-call run.
TEST_P(ModelOfRun, AnyRowsInAnyOrderComeBackAsInTheOneCallRun) {
  DenseProblem p = fitted_data(GetParam(), 11);
  testing::add_random_covariates(p, 1, 12);
  p.at(4, 3) = kNaN;
  for (std::size_t s = 0; s < p.n_samples; ++s) {
    if (p.batch[s] == 9) p.at(s, 1) = kNaN;  // partial: missing from batch 9
  }
  const std::vector<std::size_t> complete{0, 2, 3, 4, 5, 6, 7}, partial{1};
  ASSERT_OK_AND_ASSIGN(const ModelFit fit, fit_model(p.request(), p.options, complete, partial));
  ASSERT_EQ(fit.partial.size(), 1u);
  ASSERT_EQ(fit.partial[0].issue, FeatureIssue::none);
  ASSERT_OK_AND_ASSIGN(const PartialCombatOutput whole, combat_dense_partial(p.request(), p.options, complete, partial));

  std::mt19937_64 rng(13);
  for (int draw = 0; draw < 4; ++draw) {
    std::vector<std::size_t> order = testing::index_range(p.n_samples);
    std::shuffle(order.begin(), order.end(), rng);
    order.resize(1 + rng() % p.n_samples);
    const DenseProblem some = p.rows(order);
    ASSERT_OK_AND_ASSIGN(const ApplyOutput applied, apply_model(fit.model, some.request(), {}));
    for (std::size_t r = 0; r < order.size(); ++r) {
      const auto expected = std::span(whole.output.adjusted).subspan(order[r] * p.n_features, p.n_features);
      EXPECT_TRUE(bit_identical(std::span(applied.adjusted).subspan(r * p.n_features, p.n_features), expected))
          << "row " << order[r];
    }
  }
}

// A batch the model has not seen that holds a copy of a fitted batch's samples is
// estimated as that batch was: its rows come back as the fitted batch's came back.
TEST_P(ModelOfRun, ANewBatchCopyingAFittedOneIsCorrectedAsItWas) {
  const DenseProblem p = fitted_data(GetParam(), 21);
  ASSERT_OK_AND_ASSIGN(const ModelFit fit, fit_model(p.request(), p.options, testing::index_range(8), {}));
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput whole, combat_dense(p.request(), p.options));
  std::vector<std::size_t> copied;
  for (std::size_t s = 0; s < p.n_samples; ++s) {
    if (p.batch[s] == 9) copied.push_back(s);
  }
  DenseProblem fresh = p.rows(copied);
  for (std::uint64_t& id : fresh.batch) id = 40;
  ASSERT_OK_AND_ASSIGN(const ApplyOutput applied, apply_model(fit.model, fresh.request(), ApplyOptions{true, {}}));
  ASSERT_EQ(applied.new_levels.batch_ids, std::vector<std::uint64_t>{40});
  for (std::size_t r = 0; r < copied.size(); ++r) {
    for (std::size_t j = 0; j < p.n_features; ++j) {
      const double expected = whole.adjusted[copied[r] * p.n_features + j];
      EXPECT_NEAR(applied.adjusted[r * p.n_features + j], expected, 1e-9 * std::abs(expected)) << r << ", " << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Options, ModelOfRun, kOptionCases, testing::LabelName());

// A new batch that is a fitted batch's samples shifted by a constant is standardised with
// the fitted means, covariate effects and variances and shrunk towards its own prior, as
// the method written out plainly does it; a batch of one sample has its location alone
// corrected.
// The fitted levels' raw effects and posteriors are those of the method written out
// plainly, over random problems with and without a covariate.
TEST(FittedLevels, RawEffectsAndPosteriorsAreThePlainMethods) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    SCOPED_TRACE(seed);
    std::vector<std::uint64_t> ids = ids_of_sizes({3, 5, 8}, {4 + seed % 3, 6, 5 + seed % 4});
    std::mt19937_64 rng(seed);
    std::shuffle(ids.begin(), ids.end(), rng);
    DenseProblem p(ids, 9 + seed);
    testing::fill_batch_effects(p, 40 + seed);
    testing::add_random_covariates(p, seed % 2, 50 + seed);
    ASSERT_OK_AND_ASSIGN(const ModelFit fit,
                         fit_model(p.request(), p.options, testing::index_range(p.n_features), {}));
    const CombatModel& model = fit.model;
    const testing::PlainStandardization plain = testing::plain_standardize(p);
    for (std::size_t level = 0; level < plain.ids.size(); ++level) {
      const auto row = static_cast<Index>(level);
      std::vector<Index> members;
      for (std::size_t s = 0; s < p.n_samples; ++s) {
        if (p.batch[s] == plain.ids[level]) members.push_back(static_cast<Index>(s));
      }
      const Matrix z = plain.z(members, Eigen::all);
      const std::vector<double> g_row(plain.gamma_hat.row(row).begin(), plain.gamma_hat.row(row).end());
      const std::vector<double> d_row(plain.delta_hat.row(row).begin(), plain.delta_hat.row(row).end());
      const testing::PlainPosteriors post = testing::plain_posteriors(z, g_row, d_row);
      for (Index j = 0; j < z.cols(); ++j) {
        const auto f = static_cast<std::size_t>(j);
        EXPECT_NEAR(model.gamma_hat(row, j), g_row[f], 1e-12);
        EXPECT_NEAR(model.delta_hat(row, j), d_row[f], 1e-12 * d_row[f]);
        EXPECT_NEAR(model.gamma_star(row, j), post.gamma[f], 1e-9);
        EXPECT_NEAR(model.delta_star(row, j), post.delta[f], 1e-9 * post.delta[f]);
      }
    }
  }
}

// A wide matrix, corrected in several runs of features, with features passed through
// between them: every corrected value is its standardised value moved by its level's
// posteriors and mapped back with the plain method's mean and variance; every passed-through
// feature comes back as it came in.
TEST(ModelApply, EveryFeatureOfAWideMatrixIsMappedBackWithItsOwnConstants) {
  DenseProblem p(ids_of_sizes({3, 5, 8}, {6, 7, 5}), 700);
  testing::fill_batch_effects(p, 71);
  testing::add_random_covariates(p, 2, 72);
  const std::vector<std::size_t> constant{0, 255, 256, 513, 699};
  for (const std::size_t j : constant) {
    for (std::size_t s = 0; s < p.n_samples; ++s) {
      if (p.batch[s] == 5) p.at(s, j) = 1.5;
    }
  }
  ASSERT_OK_AND_ASSIGN(const ModelFit fit, fit_model(p.request(), p.options, testing::index_range(700), {}));
  const CombatModel& model = fit.model;
  ASSERT_EQ(model.features.size(), 700 - constant.size());
  const testing::PlainStandardization plain = testing::plain_standardize(p);
  for (const char* mode : {"0", "1"}) {
    const testing::ScopedEnv parallel("QUARNEL_PARALLEL", mode);
    ASSERT_OK_AND_ASSIGN(const ApplyOutput applied, apply_model(model, p.request(), ApplyOptions{}));
    for (const std::size_t j : constant) {
      for (std::size_t s = 0; s < p.n_samples; ++s) ASSERT_EQ(applied.adjusted[s * 700 + j], p.at(s, j));
    }
    for (std::size_t m = 0; m < model.features.size(); ++m) {
      const std::size_t j = model.features[m];
      for (std::size_t s = 0; s < p.n_samples; ++s) {
        const auto level = static_cast<Index>(std::ranges::find(plain.ids, p.batch[s]) - plain.ids.begin());
        const double gamma = model.gamma_star(level, static_cast<Index>(m));
        const double delta = model.delta_star(level, static_cast<Index>(m));
        const double expected = (plain.standardized(p, s, j) - gamma) / std::sqrt(delta) * std::sqrt(plain.pooled[j]) +
                                plain.stand_mean(p, s, j);
        ASSERT_NEAR(applied.adjusted[s * 700 + j], expected, 1e-9 * (1.0 + std::abs(expected)))
            << "sample " << s << ", feature " << j << ", parallel " << mode;
      }
    }
  }
}

TEST(NewBatch, ShiftedCopyIsCorrectedAsThePlainMethodWould) {
  DenseProblem p(ids_of_sizes({1, 4, 5}, {6, 7, 5}), 10);
  testing::fill_batch_effects(p, 31);
  testing::add_random_covariates(p, 1, 32);
  ASSERT_OK_AND_ASSIGN(const ModelFit fit, fit_model(p.request(), p.options, testing::index_range(10), {}));
  const testing::PlainStandardization plain = testing::plain_standardize(p);
  std::vector<std::size_t> copied;
  for (std::size_t s = 0; s < p.n_samples; ++s) {
    if (p.batch[s] == 4) copied.push_back(s);
  }
  for (const std::size_t n : {7u, 2u, 1u}) {
    SCOPED_TRACE(n);
    DenseProblem fresh = p.rows(std::span(copied).first(n));
    for (std::uint64_t& id : fresh.batch) id = 0;
    for (double& x : fresh.values) x += 2.5;
    ASSERT_OK_AND_ASSIGN(const ApplyOutput applied, apply_model(fit.model, fresh.request(), ApplyOptions{true, {}}));

    Matrix z(static_cast<Index>(n), 10);
    for (Index r = 0; r < z.rows(); ++r) {
      for (Index j = 0; j < 10; ++j) z(r, j) = plain.standardized(fresh, static_cast<std::size_t>(r), static_cast<std::size_t>(j));
    }
    std::vector<double> g_row, d_row;
    for (Index j = 0; j < 10; ++j) {
      const std::vector<double> values(z.col(j).begin(), z.col(j).end());
      g_row.push_back(testing::plain_mean(values));
      d_row.push_back(n < 2 ? kNaN : testing::plain_variance(values));
    }
    const testing::PlainPosteriors post = testing::plain_posteriors(z, g_row, d_row);
    for (Index j = 0; j < 10; ++j) {
      const auto f = static_cast<std::size_t>(j);
      EXPECT_NEAR(applied.new_levels.gamma_hat(0, j), g_row[f], 1e-12);
      EXPECT_NEAR(applied.new_levels.gamma_star(0, j), post.gamma[f], 1e-9);
      EXPECT_NEAR(applied.new_levels.delta_star(0, j), post.delta[f], 1e-9);
      for (Index r = 0; r < z.rows(); ++r) {
        const double expected = (z(r, j) - post.gamma[f]) / std::sqrt(post.delta[f]) * std::sqrt(plain.pooled[f]) +
                                plain.stand_mean(fresh, static_cast<std::size_t>(r), f);
        EXPECT_NEAR(applied.adjusted[static_cast<std::size_t>(r) * 10 + f], expected, 1e-9 * std::abs(expected));
      }
    }
  }
}

// Samples of unseen batches are refused, all of their ids listed once and ascending; asked
// to estimate them, the model does so without changing how the fitted batches' rows come
// back.
TEST(NewBatch, UnseenIdsAreRefusedUnlessEstimated) {
  const DenseProblem p = fitted_data({"parametric", true, false, std::nullopt}, 41);
  ASSERT_OK_AND_ASSIGN(const ModelFit fit, fit_model(p.request(), p.options, testing::index_range(8), {}));
  const std::vector<std::size_t> rows{0, 1, 2, 3, 4, 5, 6, 7, 8};
  DenseProblem mixed = p.rows(rows);
  const std::vector<std::size_t> fitted_rows{0, 2, 4, 6};
  for (const std::size_t r : {1, 5, 7}) mixed.batch[r] = 77;
  for (const std::size_t r : {3, 8}) mixed.batch[r] = 5;
  EXPECT_ERROR_TEXT(apply_model(fit.model, mixed.request(), {}),
                    "unknown batch ids: 5, 77 (the model was fitted without them)");
  ASSERT_OK_AND_ASSIGN(const ApplyOutput estimated, apply_model(fit.model, mixed.request(), ApplyOptions{true, {}}));
  EXPECT_EQ(estimated.new_levels.batch_ids, (std::vector<std::uint64_t>{5, 77}));
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput whole, combat_dense(p.request(), p.options));
  for (const std::size_t r : fitted_rows) {
    EXPECT_TRUE(bit_identical(std::span(estimated.adjusted).subspan(r * 8, 8),
                              std::span(whole.adjusted).subspan(r * 8, 8)));
  }
  // Each new batch is estimated from its own samples alone.
  for (const std::vector<std::size_t>& batch_rows : {std::vector<std::size_t>{1, 5, 7}, std::vector<std::size_t>{3, 8}}) {
    ASSERT_OK_AND_ASSIGN(const ApplyOutput alone, apply_model(fit.model, mixed.rows(batch_rows).request(), ApplyOptions{true, {}}));
    for (std::size_t k = 0; k < batch_rows.size(); ++k) {
      EXPECT_TRUE(bit_identical(std::span(alone.adjusted).subspan(k * 8, 8),
                                std::span(estimated.adjusted).subspan(batch_rows[k] * 8, 8)));
    }
  }
}

// Rows of the reference batch come back bit for bit, whatever values they hold.
TEST(ModelReferenceBatch, RowsOfOtherValuesComeBackAsTheyCameIn) {
  for (const bool par_prior : {true, false}) {
    DenseProblem p = fitted_data({"", par_prior, false, 6}, 51);
    ASSERT_OK_AND_ASSIGN(const ModelFit fit, fit_model(p.request(), p.options, testing::index_range(8), {}));
    DenseProblem other = p;
    std::mt19937_64 rng(52);
    std::uniform_real_distribution<double> draw(-1e3, 1e3);
    for (double& x : other.values) x = draw(rng) / 3.0;
    other.at(0, 0) = std::bit_cast<double>(std::uint64_t{0x7ff8000000012345});
    ASSERT_OK_AND_ASSIGN(const ApplyOutput applied, apply_model(fit.model, other.request(), {}));
    std::size_t changed = 0;
    for (std::size_t s = 0; s < p.n_samples; ++s) {
      const auto in = std::span(other.values).subspan(s * 8, 8);
      const auto out = std::span(applied.adjusted).subspan(s * 8, 8);
      if (p.batch[s] == 6) {
        EXPECT_TRUE(bit_identical(out, in)) << "sample " << s;
      } else {
        changed += !bit_identical(out, in);
      }
    }
    EXPECT_EQ(changed, 12u);  // every row of batches 2 and 9
  }
}

// A request that does not match the model is refused with the first mismatch, in the order
// shape, feature count, values, batch length, covariates.
struct MismatchCase {
  std::string label;
  bool fitted_with_covariate;
  void (*change)(DenseProblem&);
  const char* error;
};
void PrintTo(const MismatchCase& c, std::ostream* os) { *os << c.label; }

class ModelRequest : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(ModelRequest, IsRefusedWithItsFirstMismatch) {
  const MismatchCase& c = GetParam();
  DenseProblem p = fitted_data({"", true, false, std::nullopt}, 61);
  if (c.fitted_with_covariate) testing::add_random_covariates(p, 1, 62);
  ASSERT_OK_AND_ASSIGN(const ModelFit fit, fit_model(p.request(), p.options, testing::index_range(8), {}));
  const std::vector<std::size_t> first{0, 1, 2};
  DenseProblem request = p.rows(first);
  c.change(request);
  EXPECT_ERROR_TEXT(apply_model(fit.model, request.request(), {}), c.error);
}

DenseProblem with_features(const DenseProblem& p, std::size_t n) {
  return p.columns(testing::index_range(n));
}

INSTANTIATE_TEST_SUITE_P(
    Mismatches, ModelRequest,
    ::testing::Values(
        MismatchCase{"fewer_features", false, [](DenseProblem& r) { r = with_features(r, 7); },
                     "shape mismatch in n_features: expected 8, got 7"},
        MismatchCase{"fewer_features_and_an_infinite_value", false,
                     [](DenseProblem& r) {
                       r = with_features(r, 7);
                       r.at(2, 1) = std::numeric_limits<double>::infinity();
                     },
                     "shape mismatch in n_features: expected 8, got 7"},
        MismatchCase{"infinite_value", false,
                     [](DenseProblem& r) { r.at(1, 5) = -std::numeric_limits<double>::infinity(); },
                     "non-finite dense value at sample 1, feature 5"},
        MismatchCase{"infinite_value_and_a_short_batch", false,
                     [](DenseProblem& r) {
                       r.at(2, 0) = std::numeric_limits<double>::infinity();
                       r.batch.pop_back();
                     },
                     "non-finite dense value at sample 2, feature 0"},
        MismatchCase{"short_batch", false, [](DenseProblem& r) { r.batch.pop_back(); },
                     "batch length mismatch: n_samples=3, batch_len=2"},
        MismatchCase{"covariate_not_fitted", false,
                     [](DenseProblem& r) { testing::add_random_covariates(r, 1, 63); },
                     "covariate shape mismatch: n_samples=3, n_covariates=0, len=3"},
        MismatchCase{"fitted_covariate_missing", true,
                     [](DenseProblem& r) { r.covariates.reset(); },
                     "covariate shape mismatch: n_samples=3, n_covariates=1, len=0"},
        MismatchCase{"covariate_buffer_short", true, [](DenseProblem& r) { r.covariates->pop_back(); },
                     "covariate shape mismatch: n_samples=3, n_covariates=1, len=2"},
        MismatchCase{"covariate_not_finite", true, [](DenseProblem& r) { (*r.covariates)[1] = kNaN; },
                     "non-finite design value in covariates at sample 1, column 0"}),
    testing::LabelName());

}  // namespace
}  // namespace quarnel
