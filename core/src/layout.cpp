#include "quarnel/layout.hpp"

#include <algorithm>

#include "quarnel/parallel.hpp"

namespace quarnel {

std::vector<double> row_values(const Matrix& matrix, std::size_t row) {
  std::vector<double> out(static_cast<std::size_t>(matrix.cols()));
  for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
    out[static_cast<std::size_t>(j)] = matrix(static_cast<Eigen::Index>(row), j);
  }
  return out;
}

// Square tiles of the transposing copies between the row-major caller matrices and the
// column-major model matrices: a tile's rows and columns both stay in cache.
constexpr std::size_t kTile = 32;

Matrix project_features(std::span<const double> values, std::size_t n_samples,
                        std::size_t n_features, std::span<const std::size_t> kept,
                        ParallelPlan plan) {
  const std::size_t width = kept.size();
  Matrix projected(static_cast<Eigen::Index>(n_samples), static_cast<Eigen::Index>(width));
  double* out = projected.data();
  const std::size_t n_tiles = (width + kTile - 1) / kTile;
  parallel_for(plan.parallel && width >= 2, n_tiles, [&](std::size_t tile) {
    const std::size_t m0 = tile * kTile;
    const std::size_t m1 = std::min(width, m0 + kTile);
    for (std::size_t i0 = 0; i0 < n_samples; i0 += kTile) {
      const std::size_t i1 = std::min(n_samples, i0 + kTile);
      for (std::size_t m = m0; m < m1; ++m) {
        const double* column = values.data() + kept[m];
        double* destination = out + m * n_samples;
        for (std::size_t i = i0; i < i1; ++i) destination[i] = column[i * n_features];
      }
    }
  });
  return projected;
}

}  // namespace quarnel
