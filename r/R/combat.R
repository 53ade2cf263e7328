# The correction: R's containers and labels around the core's judged run.

#' Remove batch effects by empirical-Bayes location/scale correction
#'
#' Every feature is modelled as a mean plus covariate effects plus a shift and a scale
#' per batch; the batch effects are estimated, shrunk towards priors pooled over all
#' features, and removed. The correction runs in the same compiled core as the Python
#' package `quarnel` and gives its results bit for bit.
#'
#' Features whose batch effects cannot be estimated (a batch with no observed value, a
#' single value where a batch's scale is estimated, equal values, covariate effects the
#' observed samples do not determine) are judged by the core itself. With
#' `unestimable = "pass"` they come back unchanged, every other feature is corrected
#' exactly as without them, the report lists them with their reason and one warning of
#' class `quarnel_unestimable_features` gives their count. With
#' `partial_batches = "correct"` a feature missing from whole batches is corrected in
#' the batches where it is observed, against the priors of the fully observed features.
#'
#' A batch of a single sample has no scale to estimate, so the whole run corrects
#' locations only; a warning of class `quarnel_singleton_batch` says so.
#'
#' Errors are conditions of class `c("quarnel_<kind>", "quarnel_error", "error",
#' "condition")`: `quarnel_input` and `quarnel_type` for unusable arguments,
#' `quarnel_unestimable` for `unestimable = "raise"`, `quarnel_confounded` for covariates
#' that fit every sample of a batch exactly, and the core's own kinds, such as
#' `quarnel_singular_design`, `quarnel_invalid_design`, `quarnel_non_finite_dense_value`
#' or `quarnel_numerical_failure`. Ctrl-C stops a long run between its stages.
#'
#' The core's worker pool follows `QUARNEL_PARALLEL` (`"0"` serial, `"1"` parallel;
#' the results are the same bits either way) and, when `_R_CHECK_LIMIT_CORES_` is set,
#' uses at most two threads.
#'
#' @param x A numeric matrix with features in rows and samples in columns (dimnames
#'   kept; `NA` marks a missing value and stays in place), or a
#'   `SummarizedExperiment`, whose assay `assay` is corrected.
#' @param batch One batch label per sample (a vector or a factor, whose level order is
#'   kept; otherwise labels are numbered in sorted order), or the name of a `colData`
#'   column of a `SummarizedExperiment`.
#' @param covariates Effects to preserve, such as the biological condition: a data
#'   frame (numeric columns as they are, factor and character columns one-hot encoded
#'   with their first level dropped), a one-sided formula (`~ condition + age`)
#'   evaluated in `colData` (or the formula's environment), `colData` column names, a
#'   numeric matrix (samples in rows) or one vector.
#' @param parametric Parametric empirical-Bayes priors; `FALSE` for non-parametric ones.
#' @param mean_only Correct the location only and leave every batch's scale as it is.
#' @param reference A batch label: its samples come back unchanged and the other
#'   batches are aligned to it.
#' @param exact Non-parametric priors only: `FALSE` forms each likelihood from the
#'   values' count, mean and centred sum of squares, much faster and equal to rounding.
#' @param partial_batches `"correct"` corrects features missing from whole batches in
#'   the batches where they are observed; `"pass"` passes them through.
#' @param unestimable `"pass"` passes unestimable features through unchanged;
#'   `"raise"` signals an error naming them before anything is corrected.
#' @param assay For a `SummarizedExperiment`: the assay to correct (name or number).
#' @param progress Show a progress line on standard error once a run takes a couple of
#'   seconds.
#' @return The corrected matrix, with the dimnames of `x` and the report (a
#'   `quarnel_report`) in `attr(value, "quarnel_report")`; for a `SummarizedExperiment`,
#'   the object with an assay `"corrected"` added and the report in
#'   `metadata(value)$quarnel`.
#' @seealso [combat_fit()] to keep the correction as a model.
#' @examples
#' path <- system.file("extdata", package = "quarnel")
#' x <- as.matrix(read.delim(file.path(path, "quartet_proteomics.tsv"), row.names = 1))
#' samples <- read.delim(file.path(path, "quartet_samples.tsv"))
#' corrected <- combat(x, samples$batch, covariates = samples["condition"])
#' attr(corrected, "quarnel_report")
#' @export
combat <- function(x, batch, covariates = NULL, parametric = TRUE, mean_only = FALSE,
                   reference = NULL, exact = TRUE, partial_batches = c("correct", "pass"),
                   unestimable = c("pass", "raise"), assay = 1, progress = interactive()) {
  planned <- plan_call(x, batch, covariates, parametric, mean_only, reference, exact, partial_batches,
                       unestimable, assay)
  unpacked <- planned$unpacked
  plan <- planned$plan
  result <- run_plan(plan, fit = FALSE, progress = progress)
  report <- report_run(plan, result)
  corrected <- result$adjusted
  dimnames(corrected) <- dimnames(unpacked$values)
  repack(x, unpacked, corrected, report)
}

# An option given as one of `choices` (the first when left at its default).
choice <- function(value, choices, name) {
  if (identical(value, choices)) return(choices[1])
  if (!is.character(value) || length(value) != 1L || !(value %in% choices)) {
    shown <- if (is.character(value) && length(value) == 1L) show_label(value) else deparse(value)[1]
    abort(sprintf("%s must be %s, got %s", name,
                  paste(vapply(choices, show_label, ""), collapse = " or "), shown))
  }
  value
}

flag <- function(value, name) {
  if (!is.logical(value) || length(value) != 1L || is.na(value)) {
    abort(sprintf("%s must be TRUE or FALSE", name), "type")
  }
  value
}

is_summarized_experiment <- function(x) {
  methods::is(x, "SummarizedExperiment")
}

# The data as a double matrix of features x samples, its labels and its sample table.
unpack <- function(x, assay = 1) {
  table <- NULL
  se <- is_summarized_experiment(x)
  if (se) {
    values <- SummarizedExperiment::assay(x, assay, withDimnames = TRUE)
    table <- as.data.frame(SummarizedExperiment::colData(x), optional = TRUE)
  } else {
    values <- x
  }
  if (is.data.frame(values)) {
    bad <- names(values)[!vapply(values, is.numeric, TRUE)]
    if (length(bad)) {
      abort(sprintf("x has non-numeric columns %s; pass the measurements only (features in rows, samples in columns)",
                    show_labels(utils::head(bad, 5))))
    }
    values <- as.matrix(values)
  }
  if (!is.matrix(values)) values <- tryCatch(as.matrix(values), error = function(e) NULL)
  if (!is.matrix(values) || !(is.numeric(values) || is.logical(values))) {
    abort("x must be a numeric matrix (features in rows, samples in columns) or a SummarizedExperiment", "type")
  }
  if (!is.double(values)) storage.mode(values) <- "double"
  list(values = values, sample_labels = colnames(values), feature_labels = rownames(values),
       table = table, se = se)
}

# The features' labels: row names, or positions 1 ... n.
feature_labels <- function(unpacked) {
  labels <- unpacked$feature_labels
  if (is.null(labels)) seq_len(nrow(unpacked$values)) else labels
}

batch_values <- function(batch, unpacked) {
  if (is.character(batch) && length(batch) == 1L && ncol(unpacked$values) != 1L) {
    return(sample_columns(batch, unpacked$table, "batch")[[1]])
  }
  batch
}

# The data taken out of `x` and the run planned on it, with the options as combat() and
# combat_fit() take them.
plan_call <- function(x, batch, covariates, parametric, mean_only, reference, exact, partial_batches,
                      unestimable, assay) {
  partial_batches <- choice(partial_batches, c("correct", "pass"), "partial_batches")
  unestimable <- choice(unestimable, c("pass", "raise"), "unestimable")
  unpacked <- unpack(x, assay)
  plan <- plan_run(unpacked, batch, covariates, parametric = parametric, mean_only = mean_only,
                   reference = reference, exact = exact, unestimable = unestimable,
                   partial_batches = partial_batches)
  list(unpacked = unpacked, plan = plan)
}

# A run decided: labels encoded, options checked, and the rules by which the core's
# verdicts choose the features it corrects. An environment, so that the choice made
# inside the run is kept for its report.
plan_run <- function(unpacked, batch, covariates, parametric, mean_only, reference, exact,
                     unestimable, partial_batches) {
  parametric <- flag(parametric, "parametric")
  mean_only <- flag(mean_only, "mean_only")
  exact <- flag(exact, "exact")
  n_samples <- ncol(unpacked$values)
  coding <- encode_batch(batch_values(batch, unpacked), n_samples, unpacked$sample_labels)
  encoded <- encode_covariates(covariate_columns(covariates, unpacked$table, n_samples), n_samples,
                               unpacked$sample_labels)
  if (length(coding$levels) < 2L) abort("at least two batches are required")
  reference_level <- NULL
  if (!is.null(reference)) {
    at <- match(reference, coding$levels)
    if (length(reference) != 1L || is.na(at)) {
      abort(sprintf("reference batch %s is not one of the batches %s", show_label(reference[1]),
                    show_labels(coding$levels)))
    }
    reference_level <- at - 1L
  }
  plan <- new.env(parent = emptyenv())
  plan$unpacked <- unpacked
  plan$coding <- coding
  plan$covariates <- encoded
  plan$reference <- reference
  plan$reference_level <- reference_level
  plan$options <- list(parametric = parametric, mean_only = mean_only, exact = exact,
                       unestimable = unestimable, partial_batches = partial_batches)
  plan
}

# The covariates as the core takes them: a row-major samples x columns block.
core_covariates <- function(matrix) {
  if (is.null(matrix)) return(NULL)
  as.double(t(matrix))
}

# The core's judged run (fit = FALSE: the correction; TRUE: the model) on a plan.
run_plan <- function(plan, fit, progress) {
  progress <- flag(progress, "progress")
  values <- plan$unpacked$values
  chooser <- function(issue, batch) {
    tryCatch({
      choice <- choose_features(plan, issue, batch)
      list(choice$complete, choice$partial)
    }, error = function(e) {
      plan$failure <- e
      NULL
    })
  }
  matrix <- plan$covariates$matrix
  result <- qn_run(values, ncol(values), nrow(values), plan$coding$ids, core_covariates(matrix),
                   if (is.null(matrix)) 0L else ncol(matrix), plan$options$parametric,
                   plan$options$mean_only, if (is.null(plan$reference_level)) -1L else plan$reference_level,
                   plan$options$exact, fit, chooser, progress)
  if (!is.null(plan$failure)) stop(plan$failure)
  core_outcome(result, plan)
}

# The core's result, or the condition its error value stands for.
core_outcome <- function(result, plan = NULL, unpacked = plan$unpacked) {
  if (isTRUE(result$interrupted)) interrupt_again()
  if (is.null(result$kind)) return(result)
  message <- result$message
  if (result$kind == "NonFiniteDenseValue") {
    message <- sprintf(paste("data holds an infinite value at sample %s, feature %s; mark missing values",
                             "with NA (a log of zero gives -Inf: add a pseudocount first)"),
                       show_label(sample_name(unpacked$sample_labels, result$sample + 1)),
                       show_label(feature_labels(unpacked)[[result$feature + 1]]))
  } else if (!is.null(plan)) {
    message <- explain(result, plan, message)
  }
  abort(message, snake_case(result$kind), result[setdiff(names(result), c("message", "kind", "class"))])
}

# The core's message, with the encoded covariate columns it numbers named.
explain <- function(error, plan, message) {
  if (error$kind == "SingularDesign") {
    text <- confounding(plan$coding, plan$covariates)
    if (!is.null(text)) return(text)
  }
  columns <- error$columns
  if (error$kind != "InvalidDesign" || !length(columns)) return(message)
  names <- plan$covariates$names[columns + 1]
  if (length(columns) == 2L) {
    return(sprintf("%s (%s and %s are equal)", message, show_label(names[1]), show_label(names[2])))
  }
  sprintf("%s (%s is constant within every batch)", message, show_label(names[1]))
}

# The model's design with unit-norm columns (batch indicators, then the non-intercept
# covariates), and the covariate columns kept.
unit_design <- function(coding, covariates) {
  matrix <- covariates$matrix
  kept <- which(!apply(matrix == 1, 2, all))
  indicators <- diag(length(coding$levels))[coding$ids + 1L, , drop = FALSE]
  design <- cbind(indicators, matrix[, kept, drop = FALSE])
  list(design = sweep(design, 2, sqrt(colSums(design^2)), "/"), kept = kept)
}

which_covariates <- function(names) {
  if (length(names) == 1L) sprintf("covariate %s is", show_label(names)) else
    sprintf("covariates %s together are", paste(vapply(names, show_label, ""), collapse = ", "))
}

# Which covariates make the design singular, and with which batches: those with clearly
# non-zero entries in the directions in which the unit-norm design vanishes. The core has
# judged the design singular; this only names the columns.
confounding <- function(coding, covariates) {
  if (is.null(covariates$matrix)) return(NULL)
  unit <- unit_design(coding, covariates)
  design <- unit$design
  decomposition <- svd(design, nu = 0, nv = ncol(design))
  singular <- decomposition$d
  vanishing <- which(singular <= max(dim(design)) * .Machine$double.eps * singular[1])
  if (!length(vanishing)) vanishing <- length(singular)
  null <- decomposition$v[, vanishing, drop = FALSE]
  involved <- apply(abs(null) > 1e-6, 1, any)
  n_levels <- length(coding$levels)
  names <- covariates$names[unit$kept[which(involved[-seq_len(n_levels)])]]
  batches <- coding$levels[which(involved[seq_len(n_levels)])]
  if (!length(names)) return(NULL)
  which <- which_covariates(names)
  if (!length(batches)) {
    return(sprintf(paste("%s linearly dependent: one is a combination of the others (singular",
                         "design matrix); drop one of them"), which))
  }
  where <- if (length(batches) == 1L) paste("batch", show_label(batches)) else
    paste("batches", paste(vapply(as.list(batches), show_label, ""), collapse = ", "))
  sprintf(paste("%s confounded with %s: a combination of them and the batch indicators vanishes, so",
                "their effects cannot be told apart from the batch effects (singular design matrix);",
                "drop or merge the covariates, or correct without them"), which, where)
}

# The confounding error when the design, all samples observed, fits every sample of batch
# `level` exactly; NULL otherwise. The covariates named are those that enter the
# combinations of the design's columns singling out each of the batch's samples.
fitted_batch <- function(coding, covariates, level) {
  if (is.null(covariates$matrix)) return(NULL)
  unit <- unit_design(coding, covariates)
  rows <- coding$ids == level
  decomposition <- qr(unit$design, LAPACK = TRUE)
  basis <- qr.Q(decomposition)
  if (sum(1 - rowSums(basis[rows, , drop = FALSE]^2)) > 1e-8) return(NULL)
  singled_out <- backsolve(qr.R(decomposition), t(basis[rows, , drop = FALSE]))
  singled_out[decomposition$pivot, ] <- singled_out
  n_levels <- length(coding$levels)
  weights <- apply(abs(singled_out[-seq_len(n_levels), , drop = FALSE]), 1, max)
  names <- covariates$names[unit$kept[which(weights > 1e-6 * max(weights))]]
  if (!length(names)) return(NULL)
  sprintf(paste("%s confounded with batch %s: with the batch's indicator %s every sample of that batch",
                "exactly, so that no feature keeps a spread there to estimate its scale from; drop or merge",
                "the covariates, correct without them, or correct locations only (mean_only=True)"),
          which_covariates(names), show_label(coding$levels[[level + 1L]]),
          if (length(names) == 1L) "it fits" else "they fit")
}

describe_features <- function(features, plan, limit) {
  labels <- feature_labels(plan$unpacked)
  items <- vapply(utils::head(features, limit), function(f) {
    sprintf("%s (%s)", show_label(labels[[f + 1L]]),
            verdict_reason(plan$issue[f + 1L], plan$level[f + 1L], plan$coding$levels, plan$reference_level))
  }, "")
  more <- if (length(features) > limit) sprintf(" and %d more", length(features) - limit) else ""
  paste0(paste(items, collapse = ", "), more)
}

# The features to correct, from the core's verdicts (codes and the level each concerns,
# or -1); signals where the verdicts call for an error.
choose_features <- function(plan, issue, level) {
  names <- issue_names()
  code <- function(name) match(name, names) - 1L
  plan$issue <- issue
  plan$level <- level
  for (fitted in sort(unique(level[issue == code("level_fitted")]))) {
    text <- fitted_batch(plan$coding, plan$covariates, fitted)
    if (!is.null(text)) abort(text, "confounded")
  }
  unestimable <- which(issue != code("none") & issue != code("constant")) - 1L
  if (plan$options$unestimable == "raise" && length(unestimable)) {
    abort(sprintf("%s cannot be estimated: %s (unestimable='pass' passes them through unchanged)",
                  count_features(length(unestimable)), describe_features(unestimable, plan, 5L)),
          "unestimable")
  }
  complete <- which(issue <= code("constant")) - 1L
  partial <- if (plan$options$partial_batches == "correct") {
    unestimable[issue[unestimable + 1L] == code("no_values")]
  } else integer()
  plan$unestimable <- unestimable
  plan$partial <- partial
  list(complete = as.integer(complete), partial = as.integer(partial))
}

count_features <- function(n) if (n == 1L) "1 feature" else sprintf("%d features", n)
