#include "quarnel/layout.hpp"

#include "quarnel/error.hpp"

namespace quarnel {

std::size_t dense_index(std::size_t row, std::size_t column, std::size_t rows,
                        std::size_t columns) {
  require(row < rows && column < columns, "dense index out of bounds");
  return row * columns + column;
}

std::vector<double> row_values(const Matrix& matrix, std::size_t row) {
  std::vector<double> out(static_cast<std::size_t>(matrix.cols()));
  for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
    out[static_cast<std::size_t>(j)] = matrix(static_cast<Eigen::Index>(row), j);
  }
  return out;
}

}  // namespace quarnel
