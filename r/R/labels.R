# Batch labels to ids, and covariates to a numeric design block, encoded exactly as the
# Python package encodes them: batches numbered in sorted label order (a factor's level
# order), numeric covariates as they are, any other covariate one-hot encoded with its
# first level dropped.

# Sorted as Python sorts: by code point for text, whatever the locale.
sorted_levels <- function(labels) {
  sort(unique(labels), method = "radix")
}

# The label of sample i in messages: its column name, or its position.
sample_name <- function(sample_labels, i) {
  if (is.null(sample_labels)) i else sample_labels[[i]]
}

is_label_vector <- function(x) {
  is.atomic(x) && is.null(dim(x)) && !is.complex(x) && !is.raw(x)
}

# Ids 0 ... L-1 for every sample, the levels, and each level's sample count.
encode_batch <- function(batch, n_samples, sample_labels) {
  if (!is_label_vector(batch) && !is.factor(batch)) {
    abort("batch must be one label per sample: a vector or a factor", "type")
  }
  if (length(batch) != n_samples) {
    abort(sprintf("batch has %d labels for %d samples", length(batch), n_samples))
  }
  missing <- which(is.na(batch))
  if (length(missing)) {
    abort(sprintf("batch label is missing for sample %s",
                  show_label(sample_name(sample_labels, missing[1]))))
  }
  if (is.factor(batch)) {
    labels <- as.character(batch)
    levels <- levels(batch)[levels(batch) %in% labels]
  } else {
    labels <- batch
    levels <- sorted_levels(batch)
  }
  ids <- match(labels, levels) - 1L
  list(levels = levels, ids = ids, sizes = tabulate(ids + 1L, length(levels)))
}

is_numeric_column <- function(values) {
  !is.factor(values) && (is.numeric(values) || is.logical(values))
}

numeric_block <- function(name, values, n_samples, sample_labels) {
  values <- as.double(values)
  if (length(values) != n_samples) {
    abort(sprintf("covariate %s has %d values for %d samples", show_label(name), length(values), n_samples))
  }
  bad <- which(!is.finite(values))
  if (length(bad)) {
    what <- if (is.na(values[bad[1]]) && !is.infinite(values[bad[1]])) "missing" else "not finite"
    abort(sprintf("covariate %s is %s for sample %s; covariates may not have missing values",
                  show_label(name), what, show_label(sample_name(sample_labels, bad[1]))))
  }
  values
}

category_labels <- function(name, values, n_samples, sample_labels) {
  if (length(values) != n_samples) {
    abort(sprintf("covariate %s has %d values for %d samples", show_label(name), length(values), n_samples))
  }
  missing <- which(is.na(values))
  if (length(missing)) {
    abort(sprintf("covariate %s is missing for sample %s; covariates may not have missing values",
                  show_label(name), show_label(sample_name(sample_labels, missing[1]))))
  }
  if (is.factor(values)) as.character(values) else values
}

one_hot <- function(name, labels, levels) {
  block <- vapply(levels[-1], function(level) as.double(labels == level), numeric(length(labels)))
  block <- matrix(block, nrow = length(labels))
  colnames(block) <- sprintf("%s[%s]", name, as.character(levels[-1]))
  block
}

encoded <- function(blocks, encoding) {
  if (!length(blocks)) return(list(matrix = NULL, names = character(), encoding = encoding))
  matrix <- do.call(cbind, blocks)
  names <- colnames(matrix)
  dimnames(matrix) <- NULL
  list(matrix = matrix, names = names, encoding = encoding)
}

# The covariate columns (a named list of per-sample vectors) as the design block: a
# samples x columns double matrix, its column names, and how each column was encoded
# (kept with a model, to encode new samples the same way).
encode_covariates <- function(columns, n_samples, sample_labels) {
  blocks <- list()
  encoding <- list()
  for (name in names(columns)) {
    values <- columns[[name]]
    if (is_numeric_column(values)) {
      block <- matrix(numeric_block(name, values, n_samples, sample_labels), ncol = 1L)
      colnames(block) <- name
      blocks[[length(blocks) + 1L]] <- block
      encoding[[length(encoding) + 1L]] <- list(name = name, kind = "numeric", levels = NULL)
      next
    }
    labels <- category_labels(name, values, n_samples, sample_labels)
    levels <- if (is.factor(values)) levels(values)[levels(values) %in% labels] else sorted_levels(labels)
    if (length(levels) > 1L) blocks[[length(blocks) + 1L]] <- one_hot(name, labels, levels)
    encoding[[length(encoding) + 1L]] <- list(name = name, kind = "categorical", levels = levels)
  }
  encoded(blocks, encoding)
}

# New samples' covariates encoded as `encoding` says the fitted samples' were: the same
# columns, each category on the column it had then.
reencode_covariates <- function(columns, encoding, n_samples, sample_labels) {
  given <- names(columns)
  if (anyDuplicated(given)) abort("the covariates name a column more than once")
  expected <- vapply(encoding, `[[`, "", "name")
  missing <- setdiff(expected, given)
  if (length(missing)) {
    abort(sprintf("covariate %s was used when the model was fitted but is not given; the model needs %s",
                  show_label(missing[1]), show_labels(expected)))
  }
  extra <- setdiff(given, expected)
  if (length(extra)) {
    abort(sprintf("covariate %s was not used when the model was fitted; the model uses %s",
                  show_label(extra[1]), if (length(expected)) show_labels(expected) else "no covariates"))
  }
  blocks <- list()
  for (column in encoding) {
    name <- column$name
    values <- columns[[name]]
    if (column$kind == "numeric") {
      if (!is_numeric_column(values)) {
        abort(sprintf(paste("covariate %s was numeric when the model was fitted, but the values",
                            "given now are not numbers"), show_label(name)))
      }
      block <- matrix(numeric_block(name, values, n_samples, sample_labels), ncol = 1L)
      colnames(block) <- name
      blocks[[length(blocks) + 1L]] <- block
      next
    }
    labels <- category_labels(name, values, n_samples, sample_labels)
    unseen <- which(!(labels %in% column$levels))
    if (length(unseen)) {
      i <- unseen[1]
      abort(sprintf(paste("covariate %s has category %s (sample %s) that was not seen when the model",
                          "was fitted; its categories are %s"),
                    show_label(name), show_label(labels[[i]]), show_label(sample_name(sample_labels, i)),
                    show_labels(column$levels)))
    }
    if (length(column$levels) > 1L) blocks[[length(blocks) + 1L]] <- one_hot(name, labels, column$levels)
  }
  encoded(blocks, encoding)
}

# The covariates argument as named per-sample columns: a data frame, a one-sided formula
# (evaluated in the sample table, else in its environment), column names of the sample
# table, a matrix, or one vector.
covariate_columns <- function(covariates, table, n_samples) {
  if (is.null(covariates)) return(list())
  if (inherits(covariates, "formula")) return(formula_columns(covariates, table, n_samples))
  if (inherits(covariates, "DataFrame")) covariates <- as.data.frame(covariates, optional = TRUE)
  if (is.data.frame(covariates)) {
    if (nrow(covariates) != n_samples) {
      abort(sprintf("covariates has %d rows for %d samples", nrow(covariates), n_samples))
    }
    return(as.list(covariates))
  }
  if (is.character(covariates) && is.null(dim(covariates)) &&
      (length(covariates) != n_samples || (!is.null(table) && all(covariates %in% names(table))))) {
    return(sample_columns(covariates, table, "covariate"))
  }
  if (is.matrix(covariates)) {
    if (nrow(covariates) != n_samples) {
      abort(sprintf("covariates must have one row per sample (%d), got %d rows", n_samples, nrow(covariates)))
    }
    names <- colnames(covariates)
    if (is.null(names)) names <- paste0("covariate", seq_len(ncol(covariates)) - 1L)
    columns <- lapply(seq_len(ncol(covariates)), function(j) covariates[, j])
    return(stats::setNames(columns, names))
  }
  if (is.list(covariates) && !is.null(names(covariates))) return(covariates)
  if (is_label_vector(covariates) || is.factor(covariates)) {
    if (length(covariates) != n_samples) {
      abort(sprintf("covariates must have one row per sample (%d), got %d", n_samples, length(covariates)))
    }
    return(list(covariate0 = covariates))
  }
  abort("covariates must be a data frame, a one-sided formula, column names, a matrix or a vector", "type")
}

sample_columns <- function(names, table, what) {
  if (is.null(table)) {
    abort(sprintf(paste("%s %s names a column, but there is no sample table; pass a SummarizedExperiment",
                        "(whose colData is the sample table), or give the values themselves"),
                  what, show_label(names[1])))
  }
  unknown <- setdiff(names, names(table))
  if (length(unknown)) {
    abort(sprintf("unknown %s column %s; the sample table has %s", what, show_label(unknown[1]),
                  show_labels(names(table))))
  }
  stats::setNames(lapply(names, function(name) table[[name]]), names)
}

formula_columns <- function(formula, table, n_samples) {
  if (length(formula) != 2L) abort("a covariate formula is one-sided, such as ~ condition + age")
  terms <- stats::terms(formula)
  labels <- attr(terms, "term.labels")
  if (any(attr(terms, "order") > 1L)) {
    abort("a covariate formula lists columns only (no interactions): ~ condition + age")
  }
  where <- if (is.null(table)) list() else table
  columns <- lapply(labels, function(label) {
    eval(str2lang(label), where, environment(formula))
  })
  stats::setNames(columns, labels)
}
