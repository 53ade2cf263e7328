#include "quarnel/batch.hpp"

#include <algorithm>

namespace quarnel {

Result<BatchLevels> BatchLevels::from_ids(std::span<const std::uint64_t> ids,
                                          std::uint64_t n_samples) {
  if (ids.size() != n_samples) {
    return fail(BatchLengthMismatch{n_samples, ids.size()});
  }

  // Sorting a copy and dropping repeats gives the same ascending distinct ids as an
  // ordered set, with one allocation.
  std::vector<std::uint64_t> distinct(ids.begin(), ids.end());
  std::ranges::sort(distinct);
  const auto repeats = std::ranges::unique(distinct);
  distinct.erase(repeats.begin(), repeats.end());
  if (distinct.size() < 2) return fail(TooFewBatches{});
  distinct.shrink_to_fit();

  BatchLevels levels;
  levels.batch_ids_ = std::move(distinct);
  levels.level_sizes_.assign(levels.batch_ids_.size(), 0);
  levels.sample_levels_.reserve(ids.size());
  for (const std::uint64_t id : ids) {
    const auto level = levels.level_of_batch_id(id);
    require(level.has_value(), "batch id missing from its own levels");
    levels.sample_levels_.push_back(*level);
    ++levels.level_sizes_[*level];
  }
  return levels;
}

std::optional<std::size_t> BatchLevels::level_of_batch_id(std::uint64_t id) const {
  const auto found = std::ranges::lower_bound(batch_ids_, id);
  if (found == batch_ids_.end() || *found != id) return std::nullopt;
  return static_cast<std::size_t>(found - batch_ids_.begin());
}

std::vector<std::size_t> BatchLevels::members(std::size_t level) const {
  std::vector<std::size_t> samples;
  samples.reserve(level_sizes_.at(level));
  for (std::size_t i = 0; i < sample_levels_.size(); ++i) {
    if (sample_levels_[i] == level) samples.push_back(i);
  }
  return samples;
}

std::vector<std::vector<std::size_t>> BatchLevels::members_of_all_levels() const {
  std::vector<std::vector<std::size_t>> all(level_count());
  for (std::size_t level = 0; level < all.size(); ++level) {
    all[level].reserve(level_sizes_[level]);
  }
  for (std::size_t i = 0; i < sample_levels_.size(); ++i) {
    all[sample_levels_[i]].push_back(i);
  }
  return all;
}

}  // namespace quarnel
