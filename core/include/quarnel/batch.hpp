// Batch levels: the caller's per-sample batch ids turned into dense level indices.
//
// Level 0 is the smallest batch id present, the last level the largest (unsigned order).
// Every stage after the front door addresses batches by level, never by id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/error.hpp"

namespace quarnel {

class BatchLevels {
 public:
  // Fails with BatchLengthMismatch when ids.size() != n_samples and with TooFewBatches
  // when fewer than two distinct ids occur.
  static Result<BatchLevels> from_ids(std::span<const std::uint64_t> ids,
                                      std::uint64_t n_samples);

  std::size_t level_count() const { return batch_ids_.size(); }
  std::size_t sample_count() const { return sample_levels_.size(); }
  std::uint64_t batch_id(std::size_t level) const { return batch_ids_[level]; }
  std::size_t level_of_sample(std::size_t sample) const { return sample_levels_[sample]; }
  std::size_t level_size(std::size_t level) const { return level_sizes_[level]; }

  // The level holding `id`, found by bisection, or nothing when the id is absent.
  std::optional<std::size_t> level_of_batch_id(std::uint64_t id) const;

  // The ascending sample indices of one level, by one scan of the sample levels.
  std::vector<std::size_t> members(std::size_t level) const;
  // The members of every level at once, by the same single scan.
  std::vector<std::vector<std::size_t>> members_of_all_levels() const;

  std::span<const std::uint64_t> batch_ids() const { return batch_ids_; }
  std::span<const std::size_t> sample_levels() const { return sample_levels_; }
  std::span<const std::size_t> level_sizes() const { return level_sizes_; }

 private:
  BatchLevels() = default;

  std::vector<std::uint64_t> batch_ids_;    // distinct ids, strictly ascending
  std::vector<std::size_t> sample_levels_;  // level of each sample, in sample order
  std::vector<std::size_t> level_sizes_;    // samples per level, each >= 1
};

}  // namespace quarnel
