// The error model: every variant's message, its place in the variant, and whether the
// binding treats it as a numerical failure or a problem with the caller's input.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quarnel/error.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

struct ErrorCase {
  std::string label;
  CombatError error;
  std::size_t index;  // position among the declared variants
  std::string text;
  ErrorClass error_class;
};

std::vector<ErrorCase> error_cases() {
  using enum ErrorClass;
  return {
      {"shape_mismatch", ShapeMismatch{names::values, 12, 11}, 0,
       "shape mismatch in values: expected 12, got 11", input},
      {"shape_mismatch_max", ShapeMismatch{names::values, kMax, 0}, 0,
       "shape mismatch in values: expected 18446744073709551615, got 0", input},
      {"shape_product_overflow", ShapeProductOverflow{names::covariates}, 1,
       "shape product overflow in covariates", input},
      {"empty_input", EmptyInput{names::n_features}, 2, "empty input for n_features", input},
      {"empty_input_samples", EmptyInput{names::n_samples}, 2, "empty input for n_samples",
       input},
      {"batch_length_mismatch", BatchLengthMismatch{4, 3}, 3,
       "batch length mismatch: n_samples=4, batch_len=3", input},
      {"covariate_shape_mismatch", CovariateShapeMismatch{3, 2, 5}, 4,
       "covariate shape mismatch: n_samples=3, n_covariates=2, len=5", input},
      {"covariate_shape_mismatch_large", CovariateShapeMismatch{kMax, 9223372036854775808u, 0},
       4,
       "covariate shape mismatch: n_samples=18446744073709551615, "
       "n_covariates=9223372036854775808, len=0",
       input},
      {"too_few_batches", TooFewBatches{}, 5, "at least two batches are required", input},
      {"missing_reference_batch", MissingReferenceBatch{7}, 6, "missing reference batch: 7",
       input},
      {"missing_reference_batch_max", MissingReferenceBatch{kMax}, 6,
       "missing reference batch: 18446744073709551615", input},
      {"non_finite_dense_value", NonFiniteDenseValue{3, 0}, 7,
       "non-finite dense value at sample 3, feature 0", input},
      {"non_finite_design_value", NonFiniteDesignValue{names::covariates, 1, 0}, 8,
       "non-finite design value in covariates at sample 1, column 0", input},
      {"singular_design", SingularDesign{}, 9, "singular design matrix", numerical},
      {"invalid_design", InvalidDesign{"duplicate covariate columns 0 and 2"}, 10,
       "invalid design: duplicate covariate columns 0 and 2", input},
      {"unsupported_option",
       UnsupportedOption{"scale adjustment requires at least two samples per batch"}, 11,
       "unsupported option: scale adjustment requires at least two samples per batch", input},
      {"numerical_failure", NumericalFailure{"pooled variance is not positive finite"}, 12,
       "numerical failure: pooled variance is not positive finite", numerical},
      {"unknown_batches", UnknownBatches{{3, 17}}, 13,
       "unknown batch ids: 3, 17 (the model was fitted without them)", input},
  };
}

class ErrorModelTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorModelTest, RendersItsTemplateExactly) {
  EXPECT_EQ(render(GetParam().error), GetParam().text);
}

TEST_P(ErrorModelTest, KeepsItsDeclaredVariantIndex) {
  EXPECT_EQ(GetParam().error.index(), GetParam().index);
}

TEST_P(ErrorModelTest, IsClassifiedForTheBinding) {
  EXPECT_EQ(error_class(GetParam().error), GetParam().error_class);
}

// A moved error renders the same text, as it does after travelling back from a stage.
TEST_P(ErrorModelTest, RendersTheSameAfterAMoveThroughAResult) {
  CombatError copy = GetParam().error;
  const Result<int> result = fail(std::move(copy));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().index(), GetParam().index);
  EXPECT_EQ(render(result.error()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, ErrorModelTest, ::testing::ValuesIn(error_cases()),
                         testing::LabelName{});

// The table above must reach every variant, so that no variant's message or class goes
// untested when one is added.
TEST(ErrorModel, CaseTableCoversEveryVariant) {
  ASSERT_EQ(std::variant_size_v<CombatError>, 14u);
  std::vector<bool> seen(std::variant_size_v<CombatError>, false);
  for (const ErrorCase& c : error_cases()) seen[c.error.index()] = true;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_TRUE(seen[i]) << "no case for variant " << i;
  }
}

// Exactly SingularDesign and NumericalFailure are numerical, whatever their payload.
TEST(ErrorModel, OnlySingularDesignAndNumericalFailureAreNumerical) {
  const std::vector<std::pair<CombatError, ErrorClass>> cases = {
      {NumericalFailure{""}, ErrorClass::numerical},
      {NumericalFailure{"delta_hat is not positive finite"}, ErrorClass::numerical},
      {SingularDesign{}, ErrorClass::numerical},
      {UnsupportedOption{""}, ErrorClass::input},
      {InvalidDesign{""}, ErrorClass::input},
  };
  for (const auto& [error, expected] : cases) {
    SCOPED_TRACE(render(error));
    EXPECT_EQ(error_class(error), expected);
  }
}

// Details are inserted verbatim: no trimming, escaping or case change.
TEST(ErrorModel, DetailsAreInsertedVerbatim) {
  const std::vector<std::pair<CombatError, std::string>> cases = {
      {InvalidDesign{""}, "invalid design: "},
      {InvalidDesign{" Two  Spaces {} "}, "invalid design:  Two  Spaces {} "},
      {NumericalFailure{"parametric posterior solver did not converge in 1000 iterations"},
       "numerical failure: parametric posterior solver did not converge in 1000 iterations"},
      {UnsupportedOption{
           "scale adjustment requires at least two observed values per batch and feature"},
       "unsupported option: scale adjustment requires at least two observed values per batch "
       "and feature"},
  };
  for (const auto& [error, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(render(error), text);
  }
}

// Every name constant renders as its own text in each variant that carries a name.
TEST(ErrorModel, NamesRenderAsTheirConstants) {
  const std::vector<std::pair<std::string_view, std::string>> cases = {
      {names::values, "values"},
      {names::n_samples, "n_samples"},
      {names::n_features, "n_features"},
      {names::covariates, "covariates"},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(render(EmptyInput{name}), "empty input for " + text);
    EXPECT_EQ(render(ShapeProductOverflow{name}), "shape product overflow in " + text);
    EXPECT_EQ(render(ShapeMismatch{name, 0, kMax}),
              "shape mismatch in " + text + ": expected 0, got 18446744073709551615");
    EXPECT_EQ(render(NonFiniteDesignValue{name, kMax, 10}),
              "non-finite design value in " + text +
                  " at sample 18446744073709551615, column 10");
  }
}

}  // namespace
}  // namespace quarnel
