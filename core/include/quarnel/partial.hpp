// Features missing from whole batches, corrected in the batches where they are observed.
//
// The fully observed ("complete") features are corrected as one run, exactly as
// combat_dense corrects the matrix of them alone, and their raw batch effects form each
// batch's priors. A partial feature is then fitted alone, with the design restricted to the
// batches it is observed in, and its posterior effects in each of those batches are drawn
// against that batch's priors: by the parametric solver run for this feature alone, or by
// the non-parametric average over the complete features' raw effects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/error.hpp"
#include "quarnel/estimability.hpp"

namespace quarnel {

struct PartialOutcome {
  FeatureIssue issue = FeatureIssue::none;  // none: corrected; otherwise why it is not
  std::optional<std::uint64_t> batch;       // the batch id the issue concerns
  std::vector<std::uint64_t> batches;       // the batch ids it was corrected in, ascending
};

struct PartialCombatOutput {
  CombatDenseOutput output;             // every feature; its report is the complete run's
  std::vector<PartialOutcome> partial;  // one per partial feature, in the order given
};

// Corrects the `complete` features as one run and each `partial` feature where it is
// observed (both lists ascending, disjoint); every other feature, and every partial
// feature that cannot be corrected, comes back as it came in. A batch in which a partial
// feature has a single observed value gets a location correction only. Fails as
// combat_dense fails on the complete features.
Result<PartialCombatOutput> combat_dense_partial(const CombatDenseRequest& request,
                                                 const CombatOptions& options,
                                                 std::span<const std::size_t> complete,
                                                 std::span<const std::size_t> partial);

}  // namespace quarnel
