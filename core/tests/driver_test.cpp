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
#include "quarnel/stages.hpp"
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

// The rounds over chunks, run as a client runs them: each chunk judged in the mode its own
// values suggest and again only where the run's differs, the solvers traced until every
// level's stopping pass is known. Each chunk's traces then end at its levels' stopping
// passes, so the part of the model the last traces give is the one fit_chunk gives, and
// the parts together are the model of the run fitted in memory.
TEST(ChunkRounds, GiveTheWholeRunsModelFromTheirLastTraces) {
  std::size_t traced = 0;
  for (std::uint64_t seed = 300; seed < 340; ++seed) {
    SCOPED_TRACE(seed);
    const DenseProblem p = random_problem(seed);
    const Result<ModelFit> whole = fit_model_judged(p.request(), p.options, choose_as_callers_do, p.n_features);
    std::mt19937_64 rng(seed);
    std::vector<DenseProblem> chunks;
    std::vector<std::size_t> starts;
    for (std::size_t first = 0; first < p.n_features;) {
      const std::size_t width = std::min(p.n_features - first, 1 + rng() % 9);
      starts.push_back(first);
      std::vector<std::size_t> features = testing::index_range(width);
      for (std::size_t& j : features) j += first;
      chunks.push_back(p.columns(features));
      first += width;
    }
    // Round 1, and the verdicts of all features.
    std::vector<JudgedChunk> judged;
    FeatureAssessment all;
    bool failed = false;
    for (const DenseProblem& chunk : chunks) {
      Result<JudgedChunk> one = judge_chunk(chunk.request(), chunk.options, std::nullopt, std::nullopt);
      if (!one) {
        failed = true;
        break;
      }
      all.verdicts.insert(all.verdicts.end(), one->assessment.verdicts.begin(), one->assessment.verdicts.end());
      judged.push_back(std::move(*one));
    }
    if (failed) {
      EXPECT_FALSE(whole.has_value());
      continue;
    }
    const FeatureChoice choice = choose_as_callers_do(all);
    ASSERT_OK_AND_ASSIGN(const BatchLevels levels, BatchLevels::from_ids(p.batch, p.n_samples));
    std::vector<std::vector<std::size_t>> complete(chunks.size()), partial(chunks.size());
    std::size_t n_kept = 0;
    bool any_nan = false;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
      for (const std::size_t j : choice.complete) {
        if (j >= starts[c] && j < starts[c] + chunks[c].n_features) complete[c].push_back(j - starts[c]);
      }
      for (const std::size_t j : choice.partial) {
        if (j >= starts[c] && j < starts[c] + chunks[c].n_features) partial[c].push_back(j - starts[c]);
      }
      for (std::size_t m = 0; m < judged[c].kept.size(); ++m) {
        if (!std::ranges::binary_search(complete[c], judged[c].kept[m])) continue;
        ++n_kept;
        any_nan |= judged[c].holds_nan[m] != 0;
      }
    }
    const RunMode mode = decide_run_mode(p.options.mean_only, levels, n_kept, any_nan);
    ParametricEstimates raw{Matrix(), Matrix(), Matrix(levels.level_count(), 0), Matrix(levels.level_count(), 0)};
    ScaleMeasurements scales{Matrix(levels.level_count(), 0), {}};
    scales.counts.resize(static_cast<Eigen::Index>(levels.level_count()), 0);
    std::vector<std::size_t> offsets;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
      if (judged[c].missing != mode.missing) {
        ASSERT_OK_AND_ASSIGN(judged[c], judge_chunk(chunks[c].request(), chunks[c].options, mode.missing, true));
      }
      offsets.push_back(static_cast<std::size_t>(raw.gamma_hat.cols()));
      for (std::size_t m = 0; m < judged[c].kept.size(); ++m) {
        if (!std::ranges::binary_search(complete[c], judged[c].kept[m])) continue;
        const auto at = raw.gamma_hat.cols(), k = static_cast<Eigen::Index>(m);
        raw.gamma_hat.conservativeResize(Eigen::NoChange, at + 1);
        raw.delta_hat.conservativeResize(Eigen::NoChange, at + 1);
        scales.delta_hat.conservativeResize(Eigen::NoChange, at + 1);
        scales.counts.conservativeResize(Eigen::NoChange, at + 1);
        raw.gamma_hat.col(at) = judged[c].gamma_hat.col(k);
        raw.delta_hat.col(at) = mode.effective_mean_only ? Vector::Ones(raw.delta_hat.rows()) : Vector(judged[c].scales.delta_hat.col(k));
        scales.delta_hat.col(at) = judged[c].scales.delta_hat.col(k);
        scales.counts.col(at) = judged[c].scales.counts.col(k);
      }
    }
    // Rounds 2 and 3.
    std::vector<TracedChunk> rounds;
    std::vector<std::vector<LevelTrace>> traces;
    Result<RunSettlement> settled = settle_run(levels, p.options, mode, raw, scales, traces);
    while (settled && !settled->settled) {
      rounds.clear();
      traces.clear();
      for (std::size_t c = 0; c < chunks.size(); ++c) {
        ASSERT_OK_AND_ASSIGN(TracedChunk one, trace_chunk(chunks[c].request(), chunks[c].options, complete[c], partial[c],
                                                          mode, raw, offsets[c], settled->explore_from));
        traces.push_back(one.traces);
        rounds.push_back(std::move(one));
      }
      settled = settle_run(levels, p.options, mode, raw, scales, traces);
    }
    ASSERT_EQ(settled.has_value(), whole.has_value()) << (settled ? "" : render(settled.error()));
    if (!whole) continue;
    std::vector<double> gamma_star, delta_star, pooled_variance;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
      ASSERT_OK_AND_ASSIGN(const ModelFit part, fit_chunk(chunks[c].request(), chunks[c].options, complete[c], partial[c],
                                                          mode, raw, offsets[c], settled->passes));
      if (!rounds.empty()) {
        ++traced;
        for (std::size_t level = 0; level < rounds[c].traces.size(); ++level) {
          EXPECT_EQ(rounds[c].traces[level].changes.size(), settled->passes[level]) << "chunk " << c;
        }
        ASSERT_TRUE(rounds[c].fit.has_value());
        EXPECT_TRUE(bit_identical(std::span(part.model.gamma_star.data(), static_cast<std::size_t>(part.model.gamma_star.size())),
                                  std::span(rounds[c].fit->model.gamma_star.data(), static_cast<std::size_t>(rounds[c].fit->model.gamma_star.size()))));
        EXPECT_TRUE(bit_identical(std::span(part.model.delta_star.data(), static_cast<std::size_t>(part.model.delta_star.size())),
                                  std::span(rounds[c].fit->model.delta_star.data(), static_cast<std::size_t>(rounds[c].fit->model.delta_star.size()))));
      }
      // The chunk's columns of the model, in feature order: those of the whole run's.
      for (Eigen::Index m = 0; m < part.model.gamma_star.cols(); ++m) {
        for (Eigen::Index l = 0; l < part.model.gamma_star.rows(); ++l) {
          gamma_star.push_back(part.model.gamma_star(l, m));
          delta_star.push_back(part.model.delta_star(l, m));
        }
      }
      pooled_variance.insert(pooled_variance.end(), part.model.pooled_variance.begin(), part.model.pooled_variance.end());
    }
    std::vector<double> want_gamma, want_delta;
    for (Eigen::Index m = 0; m < whole->model.gamma_star.cols(); ++m) {
      for (Eigen::Index l = 0; l < whole->model.gamma_star.rows(); ++l) {
        want_gamma.push_back(whole->model.gamma_star(l, m));
        want_delta.push_back(whole->model.delta_star(l, m));
      }
    }
    EXPECT_TRUE(bit_identical(gamma_star, want_gamma));
    EXPECT_TRUE(bit_identical(delta_star, want_delta));
    EXPECT_TRUE(bit_identical(pooled_variance, whole->model.pooled_variance));
  }
  // Most problems trace their solvers, so the traced parts, not only fit_chunk's, are compared.
  EXPECT_GE(traced, 60u);
}

}  // namespace
}  // namespace quarnel
