// The start of a run's record: the decisions made before any feature is standardised.
#include "quarnel/pipeline.hpp"

#include <algorithm>
#include <iterator>

#include "quarnel/error.hpp"
#include "quarnel/run_mode.hpp"

namespace quarnel {
namespace {

std::vector<std::uint64_t> singleton_batch_ids(const BatchLevels& levels) {
  std::vector<std::uint64_t> ids;
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    if (levels.level_size(level) == 1) ids.push_back(levels.batch_id(level));
  }
  return ids;
}

}  // namespace

std::vector<std::size_t> every_feature(std::size_t n_features) {
  std::vector<std::size_t> features(n_features);
  for (std::size_t j = 0; j < n_features; ++j) features[j] = j;
  return features;
}

PipelineFit start_pipeline(const CombatOptions& options, const BatchLevels& levels,
                           std::span<const std::size_t> features, const FeatureSelection& selection) {
  PipelineFit fit;
  CombatDenseReport& report = fit.report;
  report.singleton_batches = singleton_batch_ids(levels);
  fit.reference_level =
      options.ref_batch ? levels.level_of_batch_id(*options.ref_batch) : std::nullopt;
  require(!options.ref_batch || fit.reference_level, "reference batch checked at the front door");
  // The test is per feature, so testing every column and keeping the run's gives the
  // run's features exactly the verdicts they would get alone.
  std::ranges::set_intersection(features, selection.kept, std::back_inserter(fit.kept));
  std::ranges::set_difference(features, fit.kept, std::back_inserter(report.zero_variance_features));
  if (fit.kept.empty()) {
    report.effective_mean_only = decide_run_mode(options.mean_only, levels, 0, false).effective_mean_only;
  }
  return fit;
}

}  // namespace quarnel
