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

struct ParallelPlan;

// The kept columns of `values` as a new column-major n_samples x kept.size() model matrix,
// so that each feature's values are contiguous for the statistics.
Matrix project_features(std::span<const double> values, std::size_t n_samples,
                                     std::size_t n_features, std::span<const std::size_t> kept,
                                     ParallelPlan plan);


}  // namespace quarnel
