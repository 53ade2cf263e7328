// Small builders of the records the stage tests feed to the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/design.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/standardize.hpp"

namespace quarnel::testing {

// The levels of valid ids; invalid ids are a mistake in the test itself.
inline BatchLevels make_levels(const std::vector<std::uint64_t>& ids) {
  Result<BatchLevels> levels = BatchLevels::from_ids(ids, ids.size());
  if (!levels) throw std::runtime_error(render(levels.error()));
  return std::move(*levels);
}

// A model matrix written row by row.
inline Matrix rows_of(std::initializer_list<std::initializer_list<double>> rows) {
  Matrix m(static_cast<Eigen::Index>(rows.size()), static_cast<Eigen::Index>(rows.begin()->size()));
  Eigen::Index r = 0;
  for (const auto& row : rows) {
    Eigen::Index c = 0;
    for (const double x : row) m(r, c++) = x;
    ++r;
  }
  return m;
}

// A row-major rows x columns buffer as a model matrix.
inline Matrix column_major(const std::vector<double>& row_major, std::size_t rows,
                           std::size_t columns) {
  if (row_major.size() != rows * columns) throw std::runtime_error("buffer does not match its shape");
  Matrix m(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(columns));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      m(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = row_major[r * columns + c];
    }
  }
  return m;
}

// Every value of a standardisation mean, as a matrix.
inline Matrix dense_of(const StandMean& mean) {
  Matrix m(mean.rows(), mean.cols());
  for (Eigen::Index i = 0; i < m.rows(); ++i) {
    for (Eigen::Index j = 0; j < m.cols(); ++j) m(i, j) = mean(i, j);
  }
  return m;
}

// Only the standardised data is read by the estimators; the other fields are filled
// consistently so the record is a plausible one.
inline Standardization standardization_of(Matrix z) {
  Standardization s;
  s.pooled_variance.assign(static_cast<std::size_t>(z.cols()), 1.0);
  s.stand_mean = StandMean(std::vector<double>(static_cast<std::size_t>(z.cols()), 0.0),
                           Matrix(z.rows(), 0), Matrix(0, z.cols()));
  s.has_missing = has_missing(z);
  s.standardized = std::move(z);
  return s;
}

}  // namespace quarnel::testing
