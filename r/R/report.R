# The report of one correction, naming batches and features by their labels.

new_report <- function(fields) {
  structure(fields, class = "quarnel_report")
}

# The report of a planned run from the core's result, with the warnings it calls for.
report_run <- function(plan, result) {
  labels <- feature_labels(plan$unpacked)
  levels <- plan$coding$levels
  partial <- result$partial
  partial_at <- match(plan$unestimable, plan$partial)
  names <- issue_names()
  passed <- integer()
  unestimable <- list(feature = labels[0], reason = character(), kind = character())
  partial_features <- list()
  for (i in seq_along(plan$unestimable)) {
    f <- plan$unestimable[i]
    code <- plan$issue[f + 1L]
    level <- plan$level[f + 1L]
    if (!is.na(partial_at[i])) {
      code <- partial$issue[partial_at[i]]
      level <- partial$batch[partial_at[i]]
      if (names[code + 1L] == "none") {
        partial_features[[length(partial_features) + 1L]] <- levels[partial$batches[[partial_at[i]]] + 1]
        names(partial_features)[length(partial_features)] <- as.character(labels[[f + 1L]])
        next
      }
    }
    unestimable$feature <- c(unestimable$feature, labels[[f + 1L]])
    unestimable$reason <- c(unestimable$reason, verdict_reason(code, level, levels, plan$reference_level))
    unestimable$kind <- c(unestimable$kind, verdict_kind(code, level))
    passed <- c(passed, f)
  }
  zero_variance <- as.integer(result$report$zero_variance_features)
  passed_through <- sort(union(zero_variance, passed))
  n_features <- nrow(plan$unpacked$values)
  report <- new_report(list(
    batches = levels,
    batch_sizes = plan$coding$sizes,
    reference = plan$reference,
    covariates = plan$covariates$names,
    parametric = plan$options$parametric,
    mean_only = plan$options$mean_only,
    effective_mean_only = result$report$effective_mean_only,
    singleton_batches = levels[as.integer(result$report$singleton_batches) + 1L],
    zero_variance_features = labels[zero_variance + 1L],
    unestimable = data.frame(feature = unestimable$feature, reason = unestimable$reason,
                             kind = unestimable$kind, stringsAsFactors = FALSE),
    partial_features = partial_features,
    passed_through = labels[passed_through + 1L],
    n_samples = ncol(plan$unpacked$values),
    n_features = n_features
  ))
  if (length(passed)) {
    warn(sprintf(paste("%d of %d features cannot be estimated and were passed through unchanged (%s);",
                       "the report lists them"),
                 length(passed), n_features, count_words(unestimable$kind)),
         "unestimable_features")
  }
  warn_singletons(report)
  report
}

# A batch of one sample turns scale correction off for every batch, which people do not
# expect from a report line alone.
warn_singletons <- function(report) {
  if (report$mean_only || !length(report$singleton_batches)) return(invisible())
  one <- length(report$singleton_batches) == 1L
  names <- paste(vapply(as.list(report$singleton_batches), show_label, ""), collapse = ", ")
  warn(sprintf(paste("%s %s %s a single sample, so no batch's scale can be estimated and only locations",
                     "were corrected: the differences in spread between all batches remain. Drop %s or",
                     "merge %s into another to have scales corrected too"),
               if (one) "batch" else "batches", names, if (one) "holds" else "hold",
               if (one) "that batch" else "those batches", if (one) "it" else "them"),
       "singleton_batch")
}

n_corrected <- function(report) report$n_features - length(report$passed_through)

#' Reports of a correction
#'
#' [combat()] and [combat_fit()] report what they did: the batches and their sizes, the
#' options, and the features passed through (constant within a batch, or unestimable,
#' with the reason and kind of each) or corrected only in the batches where they are
#' observed. `format()` gives a few lines for a person, `print()` shows them and
#' `summary()` counts the features by outcome.
#'
#' @param x,object A `quarnel_report`.
#' @param ... Unused.
#' @return `format()`: a character string; `print()`: `x`, invisibly; `summary()`: a
#'   `summary.quarnel_report` list of counts.
#' @examples
#' path <- system.file("extdata", package = "quarnel")
#' x <- as.matrix(read.delim(file.path(path, "quartet_proteomics.tsv"), row.names = 1))
#' samples <- read.delim(file.path(path, "quartet_samples.tsv"))
#' report <- attr(combat(x, samples$batch), "quarnel_report")
#' report
#' summary(report)
#' report$unestimable
#' @name quarnel_report
NULL

#' @rdname quarnel_report
#' @export
format.quarnel_report <- function(x, ...) {
  sizes <- paste(sprintf("%s (%d)", as.character(x$batches), x$batch_sizes), collapse = ", ")
  mode <- if (x$effective_mean_only) "location only" else "location and scale"
  prior <- if (x$parametric) "parametric" else "non-parametric"
  lines <- c(
    sprintf("%d samples in %d batches: %s", x$n_samples, length(x$batches), sizes),
    paste0(sprintf("corrected %d of %d features (%s, %s priors", n_corrected(x), x$n_features, mode, prior),
           if (length(x$covariates)) paste0(", covariates ", paste(x$covariates, collapse = ", ")) else "",
           if (!is.null(x$reference)) paste0(", reference batch ", as.character(x$reference)) else "",
           ")")
  )
  plural <- function(n) if (n == 1L) "" else "s"
  if (length(x$partial_features)) {
    n <- length(x$partial_features)
    lines <- c(lines, sprintf("of which %d feature%s missing from whole batches, corrected in the batches where observed",
                              n, plural(n)))
  }
  if (length(x$zero_variance_features)) {
    n <- length(x$zero_variance_features)
    lines <- c(lines, sprintf("passed through unchanged: %d feature%s constant within a batch", n, plural(n)))
  }
  if (nrow(x$unestimable)) {
    n <- nrow(x$unestimable)
    lines <- c(lines, sprintf("passed through unchanged: %d feature%s that cannot be estimated (%s)",
                              n, plural(n), count_words(x$unestimable$kind)))
  }
  if (length(x$singleton_batches)) {
    lines <- c(lines, paste0("batches of a single sample (scale not corrected): ",
                             paste(as.character(x$singleton_batches), collapse = ", ")))
  }
  paste(lines, collapse = "\n")
}

#' @rdname quarnel_report
#' @export
print.quarnel_report <- function(x, ...) {
  cat("<quarnel report>\n", format(x), "\n", sep = "")
  invisible(x)
}

#' @rdname quarnel_report
#' @export
summary.quarnel_report <- function(object, ...) {
  kinds <- object$unestimable$kind
  structure(list(
    n_samples = object$n_samples,
    n_features = object$n_features,
    n_corrected = n_corrected(object),
    n_partial = length(object$partial_features),
    n_zero_variance = length(object$zero_variance_features),
    n_unestimable = length(kinds),
    unestimable_by_kind = if (length(kinds)) sort(table(kinds), decreasing = TRUE) else table(character())
  ), class = "summary.quarnel_report")
}

#' @export
print.summary.quarnel_report <- function(x, ...) {
  cat(sprintf("%d samples, %d features: %d corrected (%d of them where observed), %d constant within a batch, %d unestimable\n",
              x$n_samples, x$n_features, x$n_corrected, x$n_partial, x$n_zero_variance, x$n_unestimable))
  if (x$n_unestimable) {
    cat(paste(sprintf("  %s: %d", names(x$unestimable_by_kind), as.integer(x$unestimable_by_kind)), collapse = "\n"), "\n")
  }
  invisible(x)
}

# The corrected values in the container they came in.
repack <- function(x, unpacked, corrected, report) {
  if (!unpacked$se) {
    attr(corrected, "quarnel_report") <- report
    return(corrected)
  }
  SummarizedExperiment::assay(x, "corrected", withDimnames = FALSE) <- corrected
  S4Vectors::metadata(x)$quarnel <- report
  x
}
