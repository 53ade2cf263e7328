# What the core says about each feature, in words: the Python package's wording of the
# core's verdict codes (see its _estimability module), so that reports read the same.

# The core's verdict names, indexed by code + 1.
issue_names <- function() qn_issue_names()

# Verdicts that do not keep a feature from being estimated.
not_unestimable <- c("none", "constant")

verdict_words <- list(
  no_values = c("no observed value in batch {batch}", "with no observed value in some batch"),
  few_values = c("fewer than two observed values in batch {batch}",
                 "with fewer than two observed values in some batch"),
  no_residual = c("too few observed values to estimate the residual variance",
                  "with too few observed values for the residual variance"),
  singular = c("covariate effects cannot be estimated from the observed samples",
               "whose covariate effects cannot be estimated"),
  equal_values = c("observed values all equal in batch {batch}", "with all observed values equal in some batch"),
  numerical = c("its own estimates failed numerically", "whose own estimates failed numerically"),
  one_batch = c("observed in fewer than two batches", "observed in fewer than two batches"),
  no_reference = c("not observed in reference batch {batch}", "not observed in the reference batch"),
  no_prior = c("too few fully observed features to form priors", "without priors from fully observed features"),
  level_fitted = c("the design fits every value of batch {batch} exactly, leaving it no spread",
                   "whose values in some batch the design fits exactly"),
  too_large = c(paste("values too large to square in double precision (residuals beyond about 1e154):",
                      "scale them down"),
                "whose values are too large to square"),
  explained = c("the design fits its observed values exactly, leaving no spread to estimate a variance from",
                "whose observed values the design fits exactly")
)

verdict_kinds <- names(verdict_words)

# The kind of a verdict (code, and the level it concerns or -1): the core's name, except
# that equal values concerning no batch mean the design fits every value exactly.
verdict_kind <- function(code, level) {
  name <- issue_names()[code + 1L]
  if (name %in% not_unestimable) {
    abort(sprintf("the engine's verdict '%s' does not keep a feature from being estimated", name), "fault")
  }
  if (level < 0L && name == "equal_values") "explained" else name
}

verdict_reason <- function(code, level, levels, reference_level) {
  kind <- verdict_kind(code, level)
  template <- verdict_words[[kind]][1]
  if (!grepl("{batch}", template, fixed = TRUE)) return(template)
  if (kind == "few_values" && identical(level, reference_level)) {
    template <- sub("in batch", "in reference batch", template, fixed = TRUE)
  }
  sub("{batch}", show_label(levels[[level + 1L]]), template, fixed = TRUE)
}

# Counts by kind in words, most common first.
count_words <- function(kinds) {
  counts <- table(factor(kinds, levels = unique(kinds)))
  counts <- counts[order(-as.integer(counts))]
  paste(sprintf("%d %s", as.integer(counts), vapply(names(counts), function(k) verdict_words[[k]][2], "")),
        collapse = "; ")
}
