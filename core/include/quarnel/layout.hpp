// Buffer layouts shared by the stages.
//
// The request's matrices are row-major: element (row r, column c) of an R x C matrix is
// at r * C + c. Inside the statistical model matrices are column-major Eigen matrices
// instead, so that each feature's values are contiguous.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
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

// The allocation behind a FreshBuffer: `bytes` of uninitialised memory, aligned to and
// advised as transparent huge pages from kHugePage bytes on; nullptr when it cannot be had.
void* allocate_fresh(std::size_t bytes) noexcept;
void free_fresh(void* memory) noexcept;

// Allocates large value buffers that are written before they are read: elements are left
// uninitialised rather than zero-filled, which would be one more pass over memory, and
// buffers of 2 MiB or more are advised as transparent huge pages, so that touching them
// for the first time faults once per 2 MiB rather than once per 4 KiB page.
template <class T>
struct FreshAllocator {
  using value_type = T;
  FreshAllocator() = default;
  template <class U>
  FreshAllocator(const FreshAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    void* memory = allocate_fresh(count * sizeof(T));
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, std::size_t) noexcept { free_fresh(memory); }
  // Value-initialisation (resize, the size constructor) leaves the elements as they are.
  template <class U>
  void construct(U* element) noexcept {
    ::new (static_cast<void*>(element)) U;
  }
  template <class U, class... Args>
  void construct(U* element, Args&&... args) {
    ::new (static_cast<void*>(element)) U(std::forward<Args>(args)...);
  }
  template <class U>
  bool operator==(const FreshAllocator<U>&) const noexcept { return true; }
};

// A row-major n_samples x n_features matrix of values, such as a correction's result.
using ValueBuffer = std::vector<double, FreshAllocator<double>>;

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
