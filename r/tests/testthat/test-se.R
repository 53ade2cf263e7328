# SummarizedExperiment in and out, with colData columns for the batch and covariates.

test_that("a SummarizedExperiment comes back with the corrected assay and the report", {
  skip_if_not_installed("SummarizedExperiment")
  p <- random_problem(31L, missing = 0.04, partial = 2L)
  col_data <- S4Vectors::DataFrame(lab = p$batch, condition = p$covariates$condition, dose = p$covariates$dose,
                                   row.names = colnames(p$x))
  se <- SummarizedExperiment::SummarizedExperiment(assays = list(counts = p$x), colData = col_data)
  plain <- combat(p$x, p$batch, p$covariates)
  for (covariates in list(~ condition + dose, c("condition", "dose"), p$covariates)) {
    out <- combat(se, "lab", covariates, assay = "counts")
    expect_identical(SummarizedExperiment::assay(out, "corrected"), unclass_report(plain))
    expect_identical(SummarizedExperiment::assay(out, "counts"), p$x)
    expect_identical(S4Vectors::metadata(out)$quarnel, attr(plain, "quarnel_report"))
  }
  model <- combat_fit(se, "lab", ~ condition + dose, assay = "counts")
  predicted <- predict(model, se, "lab", ~ condition + dose, assay = "counts")
  expect_identical(SummarizedExperiment::assay(predicted, "corrected"), unclass_report(plain))
  expect_error(combat(se, "nope"), class = "quarnel_input", regexp = "unknown batch column 'nope'")
})

test_that("covariates given as a formula, a data frame, factors or a matrix encode alike", {
  p <- random_problem(32L)
  condition <- p$covariates$condition
  dose <- p$covariates$dose
  reference <- combat(p$x, p$batch, p$covariates)
  expect_identical(combat(p$x, p$batch, ~ condition + dose), reference)
  # A factor keeps its level order: the first level is the one dropped.
  releveled <- data.frame(condition = factor(condition, levels = c("C", "A", "B")), dose = dose)
  report <- attr(combat(p$x, p$batch, releveled), "quarnel_report")
  expect_identical(report$covariates, c("condition[A]", "condition[B]", "dose"))
  one_hot <- cbind(`condition[B]` = as.numeric(condition == "B"), `condition[C]` = as.numeric(condition == "C"), dose = dose)
  expect_identical(unclass_report(combat(p$x, p$batch, one_hot)), unclass_report(reference))
  # Batch labels as a factor keep its level order, as numbers sort numerically.
  levels <- c("lab3", "lab1", "lab2")
  report <- attr(combat(p$x, factor(p$batch, levels = levels)), "quarnel_report")
  expect_identical(report$batches, levels)
})
