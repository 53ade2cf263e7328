#include "quarnel/layout.hpp"

#include <algorithm>

#include "quarnel/error.hpp"

namespace quarnel {

std::size_t dense_index(std::size_t row, std::size_t column, std::size_t rows,
                        std::size_t columns) {
  require(row < rows && column < columns, "dense index out of bounds");
  return row * columns + column;
}

Matrix to_column_major(std::span<const double> row_major, std::size_t rows,
                       std::size_t columns) {
  require(row_major.size() == rows * columns, "row-major buffer does not match its shape");
  Matrix out(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(columns));
  // Transpose in square tiles so that both the reads and the writes stay in cache.
  constexpr std::size_t tile = 32;
  double* dst = out.data();
  for (std::size_t r0 = 0; r0 < rows; r0 += tile) {
    const std::size_t r1 = std::min(rows, r0 + tile);
    for (std::size_t c0 = 0; c0 < columns; c0 += tile) {
      const std::size_t c1 = std::min(columns, c0 + tile);
      for (std::size_t c = c0; c < c1; ++c) {
        for (std::size_t r = r0; r < r1; ++r) dst[c * rows + r] = row_major[r * columns + c];
      }
    }
  }
  return out;
}

std::vector<double> row_values(const Matrix& matrix, std::size_t row) {
  std::vector<double> out(static_cast<std::size_t>(matrix.cols()));
  for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
    out[static_cast<std::size_t>(j)] = matrix(static_cast<Eigen::Index>(row), j);
  }
  return out;
}

}  // namespace quarnel
