#include "quarnel/run_mode.hpp"

#include <algorithm>

namespace quarnel {

RunMode decide_run_mode(bool mean_only, const BatchLevels& levels, std::size_t n_kept,
                        bool missing) {
  const bool singleton =
      std::ranges::any_of(levels.level_sizes(), [](std::size_t size) { return size == 1; });
  return RunMode{missing, mean_only || singleton || n_kept < 2, n_kept};
}

}  // namespace quarnel
