// The decisions a run makes once from all of its kept features, which every feature's
// own computations then follow: whether the data hold a NaN anywhere (the fits and pooled
// variances then take their missing-data forms for every feature) and whether scales are
// corrected at all. A run fitted in parts makes them from every part's features before
// any part computes anything that depends on them.
#pragma once

#include <cstddef>

#include "quarnel/batch.hpp"

namespace quarnel {

struct RunMode {
  bool missing = false;              // some kept feature holds a NaN
  bool effective_mean_only = false;  // scales are left alone
  std::size_t n_kept = 0;            // features kept after the zero-variance test
};

// Scales are not corrected when asked not to be, when a batch of one sample has no scale,
// or when fewer than two kept features leave nothing to form their prior from.
RunMode decide_run_mode(bool mean_only, const BatchLevels& levels, std::size_t n_kept,
                        bool missing);

}  // namespace quarnel
