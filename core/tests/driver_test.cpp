// The run over tiles against itself cut every other way: however its features are cut
// into tiles, and whether the tiles run on the pool or not, a run gives the same bits,
// the same report and the same error.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quarnel/judged.hpp"
#include "quarnel/model.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::bit_identical;
using testing::choose_as_callers_do;
using testing::DenseProblem;
using testing::ScopedEnv;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A random problem of every kind a run meets: covariates or none, missing values in some
// features (the run's missing-data mode then changes), constant features, features missing
// from a whole batch (partial ones), and every option.
DenseProblem random_problem(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::size_t n_features = 5 + rng() % 60;
  std::vector<std::uint64_t> ids;
  for (std::uint64_t batch = 0; batch < 3; ++batch) ids.insert(ids.end(), 3 + rng() % 6, batch);
  DenseProblem p(ids, n_features);
  testing::fill_batch_effects(p, seed + 1);
  if (rng() % 2) testing::add_random_covariates(p, 1 + rng() % 2, seed + 2);
  for (std::size_t j = 0; j < n_features; ++j) {
    switch (rng() % 12) {
      case 0:  // one missing value
        p.at(rng() % p.n_samples, j) = kNaN;
        break;
      case 1:  // constant within the first batch
        for (std::size_t s = 0; s < p.n_samples; ++s) {
          if (p.batch[s] == 0) p.at(s, j) = 2.5;
        }
        break;
      case 2:  // missing from the last batch
        for (std::size_t s = 0; s < p.n_samples; ++s) {
          if (p.batch[s] == 2) p.at(s, j) = kNaN;
        }
        break;
      default:
        break;
    }
  }
  p.options.par_prior = rng() % 3 != 0;
  p.options.mean_only = rng() % 5 == 0;
  p.options.exact = rng() % 2 == 0;
  if (rng() % 4 == 0) p.options.ref_batch = rng() % 3;
  return p;
}

std::string outcome_of(const Result<PartialCombatOutput>& run) {
  if (!run) return "error: " + render(run.error());
  std::string out = "effective_mean_only " + std::to_string(run->output.report.effective_mean_only) + "; passed";
  for (const std::uint64_t j : run->output.report.zero_variance_features) out += " " + std::to_string(j);
  for (const PartialOutcome& partial : run->partial) out += "; partial " + std::to_string(static_cast<int>(partial.issue));
  return out;
}

TEST(TiledRun, EveryTileWidthAndModeGivesTheBitsOfOneTile) {
  std::size_t corrected = 0;
  for (std::uint64_t seed = 0; seed < 60; ++seed) {
    SCOPED_TRACE(seed);
    const DenseProblem p = random_problem(seed);
    const CombatDenseRequest request = p.request();
    const std::size_t n_features = p.n_features;
    const Result<PartialCombatOutput> whole = [&] {
      const ScopedEnv serial("QUARNEL_PARALLEL", "0");
      return combat_dense_judged(request, p.options, choose_as_callers_do, n_features);
    }();
    corrected += whole.has_value();
    std::mt19937_64 rng(seed + 100);
    for (const std::size_t width : {std::size_t{1}, 1 + rng() % n_features, std::size_t{0}}) {
      for (const char* mode : {"0", "1"}) {
        SCOPED_TRACE(::testing::Message() << "width " << width << ", QUARNEL_PARALLEL=" << mode);
        const ScopedEnv parallel("QUARNEL_PARALLEL", mode);
        const Result<PartialCombatOutput> tiled = combat_dense_judged(request, p.options, choose_as_callers_do, width);
        EXPECT_EQ(outcome_of(tiled), outcome_of(whole));
        if (tiled && whole) {
          EXPECT_TRUE(bit_identical(tiled->output.adjusted, whole->output.adjusted));
        }
      }
    }
  }
  // Most problems are corrected, so the bits, not only the errors, are compared.
  EXPECT_GE(corrected, 40u);
}

// The model a tiled fit keeps, and the correction it gives, are those of one tile.
TEST(TiledRun, ModelsOfEveryWidthCorrectAlike) {
  for (std::uint64_t seed = 200; seed < 215; ++seed) {
    SCOPED_TRACE(seed);
    const DenseProblem p = random_problem(seed);
    const Result<ModelFit> whole = fit_model_judged(p.request(), p.options, choose_as_callers_do, p.n_features);
    const Result<ModelFit> narrow = fit_model_judged(p.request(), p.options, choose_as_callers_do, 3);
    ASSERT_EQ(whole.has_value(), narrow.has_value());
    if (!whole) continue;
    EXPECT_EQ(whole->model.features, narrow->model.features);
    for (const auto& [a, b] : {std::pair{&whole->model.gamma_star, &narrow->model.gamma_star},
                               std::pair{&whole->model.delta_star, &narrow->model.delta_star},
                               std::pair{&whole->model.gamma_hat, &narrow->model.gamma_hat}}) {
      EXPECT_TRUE(bit_identical(std::span(a->data(), static_cast<std::size_t>(a->size())),
                                std::span(b->data(), static_cast<std::size_t>(b->size()))));
    }
    EXPECT_TRUE(bit_identical(whole->model.pooled_variance, narrow->model.pooled_variance));
  }
}

}  // namespace
}  // namespace quarnel
