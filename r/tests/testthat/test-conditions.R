# Errors and warnings by class, with the Python package's messages; interrupts.

# Bad problems, each with the class of the R error. Python's message for the same
# problem is the reference wording.
bad_problems <- function() {
  p <- random_problem(21L)
  one_missing <- p$x
  one_missing[3, p$batch == "lab1"] <- NA
  constant_dose <- p$covariates
  constant_dose$dose <- as.numeric(factor(p$batch))
  equal_columns <- data.frame(a = p$covariates$dose, b = p$covariates$dose)
  missing_covariate <- p$covariates
  missing_covariate$dose[4] <- NA
  small <- random_problem(25L, sizes = c(2L, 7L, 6L))
  marker <- data.frame(marker = as.numeric(seq_len(ncol(small$x)) == 1L))
  set.seed(26L)
  other <- stats::rnorm(ncol(p$x))
  dependent <- data.frame(dose = p$covariates$dose, other = other, sum = p$covariates$dose + other)
  list(
    list(what = "covariate fitting a batch exactly", class = "quarnel_confounded",
         args = list(small$x, small$batch, marker)),
    list(what = "linearly dependent covariates", class = "quarnel_singular_design",
         args = list(p$x, p$batch, dependent)),
    list(what = "one batch", class = "quarnel_input",
         args = list(p$x, rep("lab1", ncol(p$x)))),
    list(what = "unknown reference", class = "quarnel_input",
         args = list(p$x, p$batch, reference = "zzz")),
    list(what = "unestimable raise", class = "quarnel_unestimable",
         args = list(one_missing, p$batch, unestimable = "raise", partial_batches = "pass")),
    list(what = "covariate constant within batches", class = "quarnel_invalid_design",
         args = list(p$x, p$batch, constant_dose["dose"])),
    list(what = "equal covariates", class = "quarnel_invalid_design",
         args = list(p$x, p$batch, equal_columns)),
    list(what = "missing covariate", class = "quarnel_input",
         args = list(p$x, p$batch, missing_covariate)),
    list(what = "batch length", class = "quarnel_input",
         args = list(p$x, p$batch[-1]))
  )
}

python_args <- function(args) {
  named <- if (is.null(names(args))) rep(FALSE, length(args)) else names(args) != ""
  options <- args[named]
  positional <- args[!named]
  list(x = positional[[1]], batch = positional[[2]],
       covariates = if (length(positional) > 2L) positional[[3]] else NULL, options = options)
}

test_that("bad input is an error of its class, with the Python package's message", {
  for (case in bad_problems()) {
    err <- expect_error(do.call(combat, case$args), class = case$class, label = case$what)
    expect_s3_class(err, c("quarnel_error", "error", "condition"))
    expect_identical(class(err)[2:4], c("quarnel_error", "error", "condition"))
    if (nzchar(Sys.getenv("QUARNEL_PYTHON"))) {
      a <- python_args(case$args)
      py <- python_run("combat", a$x, a$batch, a$covariates, a$options, labelled = TRUE)
      expect_s3_class(py, "python_error")
      expect_identical(conditionMessage(err), as.character(py), label = case$what)
    }
  }
})

test_that("a model refuses batches it has not seen with the Python package's message", {
  p <- random_problem(22L)
  keep <- p$batch != "lab3"
  model <- combat_fit(p$x[, keep], p$batch[keep])
  err <- expect_error(predict(model, p$x, p$batch), class = "quarnel_input")
  skip_if(!nzchar(Sys.getenv("QUARNEL_PYTHON")), "QUARNEL_PYTHON is unset")
  file <- tempfile(fileext = ".npz")
  save_model(model, file)
  py <- python_run("load_apply", p$x, p$batch, model = file, labelled = TRUE)
  expect_identical(conditionMessage(err), as.character(py))
})

test_that("infinite values, non-numeric data and bad options are errors of their class, and x is untouched", {
  p <- random_problem(23L)
  x <- p$x
  x[5, 7] <- -Inf
  before <- x + 0
  expect_error(combat(x, p$batch), class = "quarnel_non_finite_dense_value",
               regexp = "infinite value at sample 's07', feature 'f05'")
  expect_identical(x, before)
  expect_error(combat(matrix(letters[1:12], 3), rep(1:2, 2)), class = "quarnel_type")
  expect_error(combat(p$x, p$batch, unestimable = "drop"), class = "quarnel_input",
               regexp = "unestimable must be 'pass' or 'raise', got 'drop'", fixed = TRUE)
  expect_error(combat(p$x, p$batch, parametric = NA), class = "quarnel_type")
  expect_error(combat(p$x, "lab"), class = "quarnel_input", regexp = "no sample table")
})

test_that("passed-through features and batches of one sample warn with class quarnel_warning", {
  p <- random_problem(24L)
  x <- p$x
  x[2, p$batch == "lab1"] <- NA
  x[9, p$batch == "lab2"] <- NA
  w <- expect_warning(out <- combat(x, p$batch, partial_batches = "pass"), class = "quarnel_unestimable_features")
  expect_s3_class(w, c("quarnel_warning", "warning", "condition"))
  expect_match(conditionMessage(w), "^2 of 40 features cannot be estimated")
  report <- attr(out, "quarnel_report")
  expect_identical(report$unestimable$feature, c("f02", "f09"))
  expect_identical(report$unestimable$kind, c("no_values", "no_values"))
  expect_identical(out[c(2, 9), ], x[c(2, 9), ])
  batch <- p$batch
  batch[1] <- "solo"
  w <- expect_warning(combat(p$x, batch), class = "quarnel_singleton_batch")
  expect_match(conditionMessage(w), "batch 'solo' holds a single sample")
  expect_no_warning(combat(p$x, batch, mean_only = TRUE))
})

test_that("Ctrl-C stops a long run between stages and the session goes on", {
  skip_on_cran()
  script <- tempfile(fileext = ".R")
  writeLines(c(
    sprintf(".libPaths(c(%s, .libPaths()))", deparse(.libPaths()[1])),
    "library(quarnel)",
    "set.seed(1)",
    "x <- matrix(rnorm(8000 * 300), 8000)",
    "b <- rep(1:4, 75)",
    "system(sprintf('(sleep 1; kill -INT %d) >/dev/null 2>&1 &', Sys.getpid()))",
    "start <- Sys.time()",
    "r <- tryCatch({ combat(x, b, parametric = FALSE); 'finished' }, interrupt = function(e) 'interrupted')",
    "took <- as.numeric(Sys.time() - start, units = 'secs')",
    "small <- combat(x[1:50, ], b)",
    "again <- identical(small, combat(x[1:50, ], b))",
    "cat(r, took, again, '\\n')"
  ), script)
  out <- system2(file.path(R.home("bin"), "Rscript"), script, stdout = TRUE, stderr = FALSE)
  fields <- strsplit(utils::tail(out, 1), " ")[[1]]
  expect_identical(fields[1], "interrupted")
  expect_lt(as.numeric(fields[2]), 5)
  expect_identical(fields[3], "TRUE")
})

test_that("a report reads as the Python package's summary", {
  p <- random_problem(27L, missing = 0.03, partial = 2L)
  x <- p$x
  x[4, p$batch == "lab3"][-1] <- NA
  x[6, p$batch == "lab2"] <- 1.5
  batch <- p$batch
  batch[2] <- "solo"
  cases <- list(list(x = x, batch = p$batch, covariates = p$covariates, options = list(reference = "lab2")),
                list(x = x, batch = batch, covariates = NULL, options = list(parametric = FALSE)))
  for (case in cases) {
    out <- suppressWarnings(do.call(combat, c(list(case$x, case$batch, case$covariates), case$options)))
    report <- attr(out, "quarnel_report")
    expect_output(print(report), format(report), fixed = TRUE)
    # Corrected features are the ones whose values moved; the others came back as they were.
    moved <- rowSums(out != case$x, na.rm = TRUE) > 0
    expect_identical(summary(report)$n_corrected, sum(moved))
    expect_identical(sort(as.character(report$passed_through)), sort(rownames(case$x)[!moved]))
    if (nzchar(Sys.getenv("QUARNEL_PYTHON"))) {
      py <- python_run("summary", case$x, case$batch, case$covariates, case$options)
      expect_identical(format(report), rawToChar(py))
    }
  }
})
