// The run's mode, over every small input: the mode a whole run reports and judges its
// features in is the one its kept features decide, whatever else the data hold.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/estimability.hpp"
#include "quarnel/run_mode.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::DenseProblem;
using testing::make_levels;

// Every way of making two or three batches of one to three samples, their samples
// interleaved so that no batch is a block of consecutive samples.
std::vector<std::vector<std::uint64_t>> small_batchings() {
  std::vector<std::vector<std::uint64_t>> out;
  for (std::size_t n_batches = 2; n_batches <= 3; ++n_batches) {
    const std::size_t combinations = n_batches == 2 ? 9 : 27;
    for (std::size_t code = 0; code < combinations; ++code) {
      std::vector<std::size_t> left;
      for (std::size_t b = 0, c = code; b < n_batches; ++b, c /= 3) left.push_back(1 + c % 3);
      std::vector<std::uint64_t> ids;
      for (bool more = true; more;) {
        more = false;
        for (std::size_t b = 0; b < n_batches; ++b) {
          if (left[b] == 0) continue;
          ids.push_back(10 * (n_batches - b));  // ids descend as the levels ascend
          --left[b];
          more = true;
        }
      }
      out.push_back(ids);
    }
  }
  return out;
}

bool some_batch_of_one(const std::vector<std::uint64_t>& ids) {
  std::map<std::uint64_t, std::size_t> sizes;
  for (const std::uint64_t id : ids) ++sizes[id];
  for (const auto& [id, size] : sizes) {
    if (size == 1) return true;
  }
  return false;
}

// The mode a run reports and the one it judges its features in are the mode decided from
// its kept features (those not constant within a batch) and their NaNs, whatever else the
// data hold: constant features and a NaN among them change nothing.
TEST(RunMode, IsTheModeOfTheWholeRunAndOfItsJudgement) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  std::size_t runs = 0;
  for (const std::vector<std::uint64_t>& ids : small_batchings()) {
    if (ids.size() < 4) continue;
    for (std::size_t n_kept = 0; n_kept <= 3; ++n_kept) {
      for (const bool mean_only : {false, true}) {
        for (const bool missing : {false, true}) {
          DenseProblem p(ids, 4);
          testing::fill_batch_effects(p, ids.size() * 31 + n_kept);
          // Features from n_kept on are constant within every batch; without a batch of one,
          // the last one holds a NaN, which the other batches still leave it constant in.
          for (std::size_t s = 0; s < p.n_samples; ++s) {
            for (std::size_t j = n_kept; j < 4; ++j) p.at(s, j) = static_cast<double>(p.batch[s] + j);
          }
          if (n_kept < 4 && !some_batch_of_one(ids)) p.at(0, 3) = kNaN;
          if (missing && n_kept > 0) p.at(p.n_samples - 1, 0) = kNaN;
          p.options.mean_only = mean_only;
          SCOPED_TRACE(::testing::Message() << "ids " << ::testing::PrintToString(ids) << " mean_only "
                                            << mean_only << " kept " << n_kept << " missing " << missing);
          const RunMode expected = decide_run_mode(mean_only, make_levels(ids), n_kept, missing && n_kept > 0);
          ASSERT_OK_AND_ASSIGN(const FeatureAssessment judged, assess_features(p.request(), p.options));
          EXPECT_EQ(judged.effective_mean_only, expected.effective_mean_only);
          const Result<CombatDenseOutput> run = combat_dense(p.request(), p.options);
          if (!run) continue;  // a batch of one sample can leave no residual
          ++runs;
          EXPECT_EQ(run->report.effective_mean_only, expected.effective_mean_only);
        }
      }
    }
  }
  EXPECT_GE(runs, 200u);
}

}  // namespace
}  // namespace quarnel
