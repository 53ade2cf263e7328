// A run that judges its features before it corrects them, standardising them once.
//
// A caller that sets aside the features a run cannot estimate (see estimability.hpp) needs
// their verdicts before the run. Asking for them and then running would standardise every
// feature twice; here the verdicts come from the standardisation that the run then goes
// on from, and `choose` picks the complete and partial features from them. The result is
// that of fit_model (or combat_dense_partial) with the features chosen, bit for bit.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/error.hpp"
#include "quarnel/estimability.hpp"
#include "quarnel/model.hpp"

namespace quarnel {

// The features a run corrects: `complete` as one run, `partial` where each is observed;
// both ascending and disjoint.
struct FeatureChoice {
  std::vector<std::size_t> complete;
  std::vector<std::size_t> partial;
};

// Called once, on the calling thread and outside any parallel section, with every
// feature's verdict; it may stop the run by throwing RunCancelled.
using ChooseFeatures = std::function<FeatureChoice(const FeatureAssessment&)>;

// The features are worked on in tiles of `tile_width` features (0: a width chosen from the
// number of samples); every width gives the same bits.
Result<ModelFit> fit_model_judged(const CombatDenseRequest& request, const CombatOptions& options,
                                  const ChooseFeatures& choose, std::size_t tile_width = 0);

// fit_model_judged followed by apply_model on the same data.
Result<PartialCombatOutput> combat_dense_judged(const CombatDenseRequest& request,
                                                const CombatOptions& options,
                                                const ChooseFeatures& choose,
                                                std::size_t tile_width = 0);

}  // namespace quarnel
