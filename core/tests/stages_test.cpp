// Chunk invariance: every per-feature record of a chunk's first read equals, bit for bit,
// the same feature's in the read of all of them, once both are judged in the same mode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "quarnel/stages.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(StagesTest, ChunkJudgementsAreTheWholeRunsBitForBit) {
  for (unsigned seed = 0; seed < 24; ++seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    const std::size_t n = 30 + seed % 7, g = 17, n_levels = 3;
    std::vector<std::uint64_t> batch(n);
    for (std::size_t i = 0; i < n; ++i) batch[i] = (i * n_levels) / n + 1;
    std::vector<double> values(n * g), mod(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
      mod[i * 2] = 1.0;
      mod[i * 2 + 1] = normal(rng);
      for (std::size_t j = 0; j < g; ++j) {
        values[i * g + j] = normal(rng) * (1.0 + static_cast<double>(batch[i])) + static_cast<double>(j);
        if (seed % 2 == 1 && rng() % 25 == 0) values[i * g + j] = std::nan("");
      }
    }
    CombatOptions options;
    if (seed % 3 == 0) options.ref_batch = 2;
    const bool covariates = seed % 4 < 2;
    auto request_of = [&](std::size_t first, std::size_t width, std::vector<double>& chunk) {
      chunk.resize(n * width);
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < width; ++k) chunk[i * width + k] = values[i * g + first + k];
      }
      CombatDenseRequest request{chunk, batch, n, width, std::nullopt};
      if (covariates) request.covariates = CovariateMatrix{mod, 2};
      return request;
    };
    bool missing = false;
    for (const double v : values) missing |= std::isnan(v);
    std::vector<double> whole_values;
    ASSERT_OK_AND_ASSIGN(const JudgedChunk whole, judge_chunk(request_of(0, g, whole_values), options, std::nullopt, std::nullopt));
    ASSERT_EQ(whole.kept.size(), g);
    EXPECT_EQ(whole.missing, missing);
    for (std::size_t first = 0; first < g;) {
      const std::size_t width = std::min<std::size_t>(g - first, 1 + rng() % 6);
      std::vector<double> chunk_values;
      const CombatDenseRequest request = request_of(first, width, chunk_values);
      // A chunk judged in the mode its own values suggest is in the run's only if it holds
      // a NaN itself; judged again in the run's mode it gives the run's records.
      ASSERT_OK_AND_ASSIGN(const JudgedChunk guessed, judge_chunk(request, options, std::nullopt, std::nullopt));
      bool holds_nan = false;
      for (const double v : chunk_values) holds_nan |= std::isnan(v);
      EXPECT_EQ(guessed.missing, holds_nan);
      ASSERT_OK_AND_ASSIGN(const JudgedChunk part, judge_chunk(request, options, whole.missing, whole.judge_scales));
      ASSERT_EQ(part.kept.size(), width);
      for (std::size_t k = 0; k < width; ++k) {
        const auto j = static_cast<Eigen::Index>(first + k), c = static_cast<Eigen::Index>(k);
        EXPECT_EQ(part.assessment.verdicts[k].issue, whole.assessment.verdicts[first + k].issue);
        EXPECT_EQ(part.holds_nan[k], whole.holds_nan[first + k]);
        for (Eigen::Index l = 0; l < static_cast<Eigen::Index>(n_levels); ++l) {
          EXPECT_TRUE(same_bits(part.gamma_hat(l, c), whole.gamma_hat(l, j))) << "seed " << seed << " feature " << j;
          EXPECT_TRUE(same_bits(part.scales.delta_hat(l, c), whole.scales.delta_hat(l, j))) << "seed " << seed << " feature " << j;
          EXPECT_EQ(part.scales.counts(l, c), whole.scales.counts(l, j));
        }
      }
      first += width;
    }
  }
}

}  // namespace
}  // namespace quarnel
