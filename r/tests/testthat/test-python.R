# The corrected matrix equals the Python package's, bit for bit, across the options.

option_sets <- list(
  list(),
  list(parametric = FALSE),
  list(parametric = FALSE, exact = FALSE),
  list(mean_only = TRUE),
  list(reference = "lab2"),
  list(reference = "lab3", parametric = FALSE),
  list(partial_batches = "pass")
)

covariate_sets <- list(
  none = function(p) NULL,
  numeric = function(p) p$covariates["dose"],
  categorical = function(p) p$covariates["condition"],
  both = function(p) p$covariates
)

test_that("combat gives the Python package's bits across options, covariates and missing values", {
  quarnel_python()
  seed <- 1L
  for (options in option_sets) {
    for (covariates in names(covariate_sets)) {
      seed <- seed + 1L
      problem <- random_problem(seed, missing = if (seed %% 2L) 0.05 else 0, partial = seed %% 3L)
      cov <- covariate_sets[[covariates]](problem)
      r <- suppressWarnings(do.call(combat, c(list(problem$x, problem$batch, cov), options)))
      py <- python_run("combat", problem$x, problem$batch, cov, options)
      label <- paste(deparse(options), covariates, "seed", seed)
      expect_false(inherits(py, "python_error"), label = label)
      expect_identical(raw_bits(r), py, label = label)
    }
  }
})

test_that("combat gives the Python package's bits on the bundled Quartet table", {
  quarnel_python()
  data <- quartet()
  for (options in option_sets[1:4]) {
    cov <- data$samples["condition"]
    r <- suppressWarnings(do.call(combat, c(list(data$x, data$batch, cov), options)))
    expect_identical(raw_bits(r), python_run("combat", data$x, data$batch, cov, options))
  }
})

test_that("serial and parallel runs give the same bits", {
  problem <- random_problem(99L, n_features = 400L, sizes = c(60L, 50L, 55L), missing = 0.02, partial = 3L)
  old <- Sys.getenv("QUARNEL_PARALLEL", NA)
  on.exit(if (is.na(old)) Sys.unsetenv("QUARNEL_PARALLEL") else Sys.setenv(QUARNEL_PARALLEL = old))
  runs <- lapply(c("0", "1"), function(mode) {
    Sys.setenv(QUARNEL_PARALLEL = mode)
    lapply(list(list(), list(parametric = FALSE)), function(options) {
      raw_bits(suppressWarnings(do.call(combat, c(list(problem$x, problem$batch, problem$covariates), options))))
    })
  })
  expect_identical(runs[[1]], runs[[2]])
  if (nzchar(Sys.getenv("_R_CHECK_LIMIT_CORES_")) && !identical(tolower(Sys.getenv("_R_CHECK_LIMIT_CORES_")), "false")) {
    expect_lte(quarnel:::qn_limit_threads(0L), 2L)
  }
})
