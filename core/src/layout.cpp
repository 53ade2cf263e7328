#include "quarnel/layout.hpp"

#include <algorithm>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "quarnel/parallel.hpp"

namespace quarnel {

namespace {

// Transparent huge pages are 2 MiB on x86-64 and on aarch64 with 4 KiB base pages.
constexpr std::size_t kHugePage = std::size_t{1} << 21;

}  // namespace

void* allocate_fresh(std::size_t bytes) noexcept {
  if (bytes < kHugePage) return std::malloc(std::max<std::size_t>(bytes, 1));
  // aligned_alloc wants a multiple of the alignment; the rounding stays within one page.
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  if (rounded < bytes) return nullptr;
  void* memory = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Advice only: where the kernel declines, the buffer keeps ordinary pages.
  if (memory != nullptr) madvise(memory, rounded, MADV_HUGEPAGE);
#endif
  return memory;
}

void free_fresh(void* memory) noexcept { std::free(memory); }

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

namespace {

// Asks for rows [begin, end) of the `kept` columns while the rows before them are copied:
// the columns of a row are a few cache lines a whole row away from the next row's, which
// the hardware does not fetch ahead. One request per cache line of adjacent columns.
void prefetch_block(const double* values, std::size_t n_features, std::span<const std::size_t> kept,
                    std::size_t begin, std::size_t end) {
  constexpr std::size_t kLine = 64 / sizeof(double);
  for (std::size_t i = begin; i < end; ++i) {
    for (std::size_t m = 0; m < kept.size(); m += kLine) __builtin_prefetch(values + i * n_features + kept[m]);
    __builtin_prefetch(values + i * n_features + kept.back());
  }
}

}  // namespace

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
      prefetch_block(values.data(), n_features, kept.subspan(m0, m1 - m0), i1, std::min(n_samples, i1 + kTile));
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
