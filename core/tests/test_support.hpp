// Assertions for `quarnel::Result` values and bit-exact comparisons of double buffers,
// shared by the core's unit tests.
//
//   ASSERT_OK_AND_ASSIGN(auto levels, BatchLevels::from_ids(ids, 4));
//   ASSERT_OK(first_error(results));
//   EXPECT_ERROR_TEXT(combat_dense(request, options), "empty input for n_samples");
//   EXPECT_TRUE(bit_identical(actual, expected));
//
// Every failure names the expression and, for an unexpected error, its rendered message,
// and is reported at the line of the macro.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "quarnel/error.hpp"

namespace quarnel::testing {

// The message of a result's error, for failure output; "a value" when there is none.
template <class T>
std::string describe(const Result<T>& result) {
  if (result) return "a value";
  return "error \"" + render(result.error()) + "\"";
}

template <class T>
::testing::AssertionResult is_ok_format(const char* expr_text, const Result<T>& result) {
  if (result) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expr_text << " returned " << describe(result);
}

template <class T>
::testing::AssertionResult error_text_format(const char* expr_text, const char* /*text_text*/,
                                             const Result<T>& result, std::string_view text) {
  if (result) {
    return ::testing::AssertionFailure()
           << expr_text << " returned a value; expected error \"" << text << "\"";
  }
  const std::string rendered = render(result.error());
  if (rendered == text) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << expr_text << " returned error \"" << rendered
                                       << "\"; expected \"" << text << "\"";
}

inline std::string hex_bits(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%016llx",
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
  return buffer;
}

// True when both buffers have the same length and every element has the same bit
// pattern: NaN matches NaN with the same payload, and 0.0 does not match -0.0.
inline ::testing::AssertionResult bit_identical(std::span<const double> actual,
                                                std::span<const double> expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << "length " << actual.size() << ", expected " << expected.size();
  }
  for (std::size_t k = 0; k < actual.size(); ++k) {
    if (std::bit_cast<std::uint64_t>(actual[k]) != std::bit_cast<std::uint64_t>(expected[k])) {
      return ::testing::AssertionFailure()
             << "first difference at element " << k << ": " << actual[k] << " ("
             << hex_bits(actual[k]) << "), expected " << expected[k] << " ("
             << hex_bits(expected[k]) << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

// Names each instance of a parametrized test after the `label` of its case.
struct LabelName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& instance) const {
    return instance.param.label;
  }
};

// Sets or unsets an environment variable for one scope and restores its previous state.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    apply(value);
  }
  ~ScopedEnv() { apply(saved_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

  const char* name_;
  std::optional<std::string> saved_;
};

}  // namespace quarnel::testing

#define QUARNEL_TEST_CONCAT_INNER(a, b) a##b
#define QUARNEL_TEST_CONCAT(a, b) QUARNEL_TEST_CONCAT_INNER(a, b)

// Asserts that `expr` returns a value and assigns (moves) it to `lhs`, which may be a
// declaration such as `auto x`.
#define ASSERT_OK_AND_ASSIGN(lhs, expr) \
  QUARNEL_ASSERT_OK_AND_ASSIGN_IMPL(QUARNEL_TEST_CONCAT(quarnel_result_, __LINE__), lhs, expr)
#define QUARNEL_ASSERT_OK_AND_ASSIGN_IMPL(result, lhs, expr)                          \
  auto result = (expr);                                                               \
  if (!result) FAIL() << #expr " returned " << ::quarnel::testing::describe(result); \
  lhs = std::move(*result)

// Asserts (or expects) that a Result or Status holds a value.
#define ASSERT_OK(expr) ASSERT_PRED_FORMAT1(::quarnel::testing::is_ok_format, expr)
#define EXPECT_OK(expr) EXPECT_PRED_FORMAT1(::quarnel::testing::is_ok_format, expr)

// Asserts (or expects) that a Result or Status holds an error rendering exactly as `text`.
#define ASSERT_ERROR_TEXT(expr, text) \
  ASSERT_PRED_FORMAT2(::quarnel::testing::error_text_format, expr, text)
#define EXPECT_ERROR_TEXT(expr, text) \
  EXPECT_PRED_FORMAT2(::quarnel::testing::error_text_format, expr, text)
