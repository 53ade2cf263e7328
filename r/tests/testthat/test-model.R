# Models: fit then predict is the one-call correction; models cross between R and Python
# both ways, and correct the same data to the same bits.

model_cases <- list(
  list(seed = 11L, options = list(), covariates = "condition"),
  list(seed = 12L, options = list(parametric = FALSE), covariates = NULL),
  list(seed = 13L, options = list(reference = "lab1", mean_only = TRUE), covariates = "dose"),
  list(seed = 14L, options = list(parametric = FALSE, exact = FALSE), covariates = c("condition", "dose"))
)

# With features missing from a batch and one left with a single value in a batch, so that
# the reports hold partial and unestimable features.
case_problem <- function(case) {
  problem <- random_problem(case$seed, missing = 0.03, partial = 2L)
  problem$x[7, which(problem$batch == "lab2")[-1]] <- NA
  problem$cov <- if (is.null(case$covariates)) NULL else problem$covariates[case$covariates]
  problem
}

test_that("predict on the fitted data is combat, bit for bit, and a saved model loads to the same bits", {
  for (case in model_cases) {
    p <- case_problem(case)
    args <- c(list(p$x, p$batch, p$cov), case$options)
    model <- suppressWarnings(do.call(combat_fit, args))
    corrected <- suppressWarnings(do.call(combat, args))
    expect_identical(raw_bits(predict(model, p$x, p$batch, p$cov)), raw_bits(corrected))
    file <- tempfile(fileext = ".npz")
    save_model(model, file)
    again <- load_model(file)
    expect_identical(raw_bits(predict(again, p$x, p$batch, p$cov)), raw_bits(corrected))
    expect_identical(again$report, model$report)
    expect_identical(effects(again), effects(model))
    expect_identical(priors(again), priors(model))
  }
})

test_that("models cross between R and Python both ways with the same bits", {
  quarnel_python()
  for (case in model_cases) {
    p <- case_problem(case)
    args <- c(list(p$x, p$batch, p$cov), case$options)
    # Python reads half of the cases as DataFrames, whose labels the model files then carry.
    labelled <- case$seed %% 2L == 0L
    r_model <- suppressWarnings(do.call(combat_fit, args))
    r_file <- tempfile(fileext = ".npz")
    save_model(r_model, r_file)
    # R's model, applied by Python to new samples of a new batch and to the fitted ones.
    keep <- p$batch != "lab3"
    fresh <- p$x[, !keep, drop = FALSE]
    fresh_cov <- if (is.null(p$cov)) NULL else p$cov[!keep, , drop = FALSE]
    refit <- suppressWarnings(do.call(combat_fit, c(list(p$x[, keep], p$batch[keep],
                                                          if (is.null(p$cov)) NULL else p$cov[keep, , drop = FALSE]),
                                                     case$options)))
    refit_file <- tempfile(fileext = ".npz")
    save_model(refit, refit_file)
    r_new <- predict(refit, fresh, p$batch[!keep], fresh_cov, new_batches = "estimate")
    py_new <- python_run("load_apply", fresh, p$batch[!keep], fresh_cov, list(new_batches = "estimate"),
                         model = refit_file, labelled = labelled)
    expect_identical(py_new, raw_bits(r_new))
    expect_identical(python_run("load_apply", p$x, p$batch, p$cov, model = r_file, labelled = labelled),
                     raw_bits(predict(r_model, p$x, p$batch, p$cov)))
    # Python's model, loaded and applied by R.
    py_file <- tempfile(fileext = ".npz")
    py_fitted <- python_run("fit_save", p$x, p$batch, p$cov, case$options, model = py_file,
                            labelled = labelled)
    py_model <- load_model(py_file)
    expect_identical(raw_bits(predict(py_model, p$x, p$batch, p$cov)), py_fitted)
    expect_identical(py_fitted, raw_bits(predict(r_model, p$x, p$batch, p$cov)))
    expect_identical(priors(py_model), priors(r_model))
    # An array's features are positions in Python, as a matrix without row names's are in R.
    unnamed <- p$x
    rownames(unnamed) <- NULL
    r_positions <- suppressWarnings(do.call(combat_fit, c(list(unnamed, p$batch, p$cov), case$options)))
    expect_identical(py_model$report, if (labelled) r_model$report else r_positions$report)
    expect_identical(py_model$features, if (labelled) rownames(p$x) else seq_len(nrow(p$x)))
  }
})

test_that("a damaged model file is an error of class quarnel_model_file naming what is wrong", {
  p <- case_problem(model_cases[[1]])
  model <- suppressWarnings(combat_fit(p$x, p$batch))
  file <- tempfile(fileext = ".npz")
  save_model(model, file)
  bytes <- readBin(file, "raw", file.size(file))
  broken <- tempfile(fileext = ".npz")
  writeBin(bytes[seq_len(length(bytes) %/% 2L)], broken)
  expect_error(load_model(broken), class = "quarnel_model_file")
  # A header naming a count that disagrees with the arrays.
  wrong <- model
  wrong$engine$pooled_variance[3] <- -1
  save_model(wrong, broken)
  expect_error(load_model(broken), "array 'pooled_variance' holds -1 at \\[2\\], where it must be positive",
               class = "quarnel_model_file")
  wrong <- model
  wrong$report$batch_sizes[1] <- wrong$report$batch_sizes[1] + 1L
  save_model(wrong, broken)
  expect_error(load_model(broken), "level_sizes", class = "quarnel_model_file")
})

test_that("batch labels keep their type and their text, non-ASCII included, across languages", {
  p <- random_problem(15L)
  label_sets <- list(
    text = c("Lab\u00f6r A", "\u5b9f\u9a13 B", "lab \"3\""),
    integer = c(2019L, 2020L, 2021L),
    number = c(0.5, 1.25, 3)
  )
  for (labels in label_sets) {
    batch <- labels[match(p$batch, unique(p$batch))]
    model <- combat_fit(p$x, batch)
    file <- tempfile(fileext = ".npz")
    save_model(model, file)
    again <- load_model(file)
    expect_identical(again$batches, model$batches)
    expect_identical(again$report, model$report)
    expect_identical(raw_bits(predict(again, p$x, batch)), raw_bits(predict(model, p$x, batch)))
    if (nzchar(Sys.getenv("QUARNEL_PYTHON"))) {
      expect_identical(python_run("load_apply", p$x, batch, model = file), raw_bits(predict(model, p$x, batch)))
      py_file <- tempfile(fileext = ".npz")
      python_run("fit_save", p$x, batch, model = py_file)
      expect_identical(load_model(py_file)$batches, model$batches)
    }
  }
})
