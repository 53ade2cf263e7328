// Buffer layouts shared by the stages.
//
// The request's matrices are row-major: element (row r, column c) of an R x C matrix is
// at r * C + c. Inside the statistical model matrices are column-major Eigen matrices
// instead, so that each feature's values are contiguous.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include <Eigen/Core>

namespace quarnel {

// Position of (row, column) in a row-major rows x columns buffer. Out-of-range indices are
// programming faults.
std::size_t dense_index(std::size_t row, std::size_t column, std::size_t rows,
                        std::size_t columns);

// The caller's covariates: a row-major n_samples x n_covariates matrix, borrowed.
struct CovariateMatrix {
  std::span<const double> values;
  std::uint64_t n_covariates = 0;

  double at(std::size_t sample, std::size_t column) const {
    return values[sample * n_covariates + column];
  }
};

// Model matrices: column-major float64, element (r, c) at c * rows + r.
using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

// One row of a model matrix as a contiguous vector (rows are strided in column-major).
std::vector<double> row_values(const Matrix& matrix, std::size_t row);

}  // namespace quarnel
