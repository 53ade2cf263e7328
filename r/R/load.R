# Reading model files: every field of the header and every array is judged before the
# model is built, by the Python loader's rules and in its words, so that a file that loads
# is a model the core can apply.

damaged <- function(problem) stop(structure(class = c("damaged", "error", "condition"),
                                            list(message = problem, call = NULL)))

file_error <- function(message) abort(message, "model_file")

#' @rdname save_model
#' @export
load_model <- function(path) {
  if (!is.character(path) || length(path) != 1L) abort("path must be one file name", "type")
  if (!file.exists(path)) abort(sprintf("no such file: %s", path), "model_file")
  members <- read_archive(path)
  header_bytes <- members[["header"]]
  if (is.null(header_bytes)) file_error(sprintf("%s is not a quarnel model file (it holds no model header)", path))
  members[["header"]] <- NULL
  header <- tryCatch({
    if (!identical(header_bytes$shape, 1L) || !startsWith(header_bytes$dtype, "<U")) damaged("its header is not one text")
    value <- tryCatch(from_json(header_bytes$value, max_header_depth), error = function(e) {
      if (inherits(e, "damaged") || grepl("nests deeper", conditionMessage(e))) damaged(conditionMessage(e))
      damaged(sprintf("its header is not JSON (%s)", conditionMessage(e)))
    })
    if (!is.list(value) || is.null(names(value))) damaged("its header is not a JSON object")
    value
  }, damaged = function(e) file_error(sprintf("model file %s is damaged: %s", path, conditionMessage(e))))
  if (!identical(header$format, format_name)) {
    file_error(sprintf("%s is not a quarnel model file (its format is %s)", path, shown(header$format)))
  }
  version <- header$version
  if (!is_count(version)) file_error(sprintf("model file %s is damaged: its format version is %s", path, shown(version)))
  if (version > format_version) {
    file_error(sprintf(paste("model file %s was written by a newer quarnel (format version %d; this one reads %d);",
                             "update quarnel to read it"), path, as.integer(version), format_version))
  }
  tryCatch(model_from(header, members, version),
           damaged = function(e) file_error(sprintf("model file %s is damaged: %s", path, conditionMessage(e))))
}

# ---------------------------------------------------------------------------------------
# The archive

read_archive <- function(path) {
  broken <- function(e) {
    file_error(sprintf(paste("%s is not a quarnel model file: it is not a NumPy .npz archive, or it is",
                             "truncated or damaged (%s)"), path, conditionMessage(e)))
  }
  listing <- tryCatch(utils::unzip(path, list = TRUE), error = broken, warning = broken)
  folder <- tempfile("quarnel-model")
  on.exit(unlink(folder, recursive = TRUE))
  files <- tryCatch(utils::unzip(path, exdir = folder, unzip = "internal"), error = broken, warning = broken)
  names <- sub("\\.npy$", "", listing$Name)
  arrays <- lapply(file.path(folder, listing$Name), function(file) {
    tryCatch(read_npy(file), error = function(e) {
      file_error(sprintf("model file %s is truncated or damaged (%s)", path, conditionMessage(e)))
    })
  })
  stats::setNames(arrays, names)
}

numpy_names <- c(f8 = "float64", i8 = "int64", u1 = "uint8", i4 = "int32", f4 = "float32", b1 = "bool",
                 i2 = "int16", i1 = "int8", u2 = "uint16", u4 = "uint32", u8 = "uint64", f2 = "float16")

# One .npy member: its value (row-major data as an R vector, or an R matrix for two
# dimensions), shape, dtype as NumPy names it, and whether it is stored row-major.
read_npy <- function(file) {
  bytes <- readBin(file, "raw", file.size(file))
  if (length(bytes) < 10L || !identical(bytes[1:6], as.raw(c(0x93, charToRaw("NUMPY"))))) stop("not a .npy member")
  major <- as.integer(bytes[7])
  width <- if (major == 1L) 2L else 4L
  size <- sum(as.integer(bytes[8L + seq_len(width)]) * 256^(seq_len(width) - 1L))
  start <- 8L + width
  text <- rawToChar(bytes[start + seq_len(size)])
  data <- bytes[-seq_len(start + size)]
  descr <- sub(".*'descr': *'([^']*)'.*", "\\1", text)
  fortran <- grepl("'fortran_order': *True", text)
  dims <- sub(".*'shape': *\\(([^)]*)\\).*", "\\1", text)
  shape <- as.integer(strsplit(gsub(" ", "", dims), ",")[[1]])
  count <- prod(shape)
  code <- sub("^[<>|=]", "", descr)
  if (startsWith(code, "U")) {
    points <- readBin(data, "integer", n = length(data) %/% 4L, size = 4L, endian = "little")
    points <- points[points != 0L]
    return(list(value = intToUtf8(points), shape = shape, dtype = descr, c_order = !fortran))
  }
  dtype <- if (code %in% names(numpy_names)) numpy_names[[code]] else descr
  big <- startsWith(descr, ">")
  value <- switch(dtype,
    float64 = readBin(data, "double", n = count, size = 8L, endian = if (big) "big" else "little"),
    int64 = {
      halves <- readBin(data, "integer", n = 2L * count, size = 4L, endian = "little")
      low <- halves[seq.int(1L, by = 2L, length.out = count)]
      high <- halves[seq.int(2L, by = 2L, length.out = count)]
      if (any(!(high == 0L & low >= 0L) & !(high == -1L & low < 0L))) stop("an int64 entry beyond R's integers")
      low
    },
    uint8 = as.integer(data[seq_len(count)]),
    NULL)
  if (!is.null(value) && length(value) != count) stop("the member is shorter than its shape")
  if (!is.null(value) && length(shape) == 2L) {
    value <- if (fortran) matrix(value, shape[1], shape[2]) else matrix(value, shape[1], shape[2], byrow = TRUE)
  }
  list(value = value, shape = shape, dtype = dtype, c_order = !fortran || sum(shape > 1L) <= 1L)
}

# ---------------------------------------------------------------------------------------
# Header fields

shown <- function(value) {
  text <- if (is.null(value)) "None" else if (is.list(value)) paste(deparse(value), collapse = "") else
    if (is.logical(value)) (if (isTRUE(value)) "True" else "False") else if (is.character(value)) show_label(value) else
      format(value)
  if (nchar(text) <= 60L) text else paste0(substr(text, 1L, 57L), "...")
}

is_count <- function(value) {
  is.numeric(value) && length(value) == 1L && !inherits(value, "json_float") && value >= 0 && value == round(value)
}

object_field <- function(value, field, keys) {
  if (!is.list(value) || (length(value) && is.null(names(value)))) {
    damaged(sprintf("its header field '%s' is %s, not a JSON object", field, shown(value)))
  }
  missing <- setdiff(keys, names(value))
  if (length(missing)) damaged(sprintf("its header lacks the field '%s.%s'", field, missing[1]))
  unknown <- setdiff(names(value), keys)
  if (length(unknown)) damaged(sprintf("its header holds the unknown field '%s.%s'", field, unknown[1]))
  value
}

list_field <- function(value, field) {
  if (!is.list(value) || !is.null(names(value))) damaged(sprintf("its header field '%s' is %s, not a list", field, shown(value)))
  value
}

items <- function(value, field, read) {
  value <- list_field(value, field)
  lapply(seq_along(value), function(i) read(value[[i]], sprintf("%s[%d]", field, i - 1L)))
}

flag_field <- function(value, field) {
  if (!is.logical(value) || length(value) != 1L || is.na(value)) {
    damaged(sprintf("its header field '%s' is %s, not true or false", field, shown(value)))
  }
  value
}

count_field <- function(value, field) {
  if (!is_count(value)) damaged(sprintf("its header field '%s' is %s, not a count", field, shown(value)))
  as.integer(value)
}

text_field <- function(value, field, choices = NULL) {
  if (!is.character(value) || length(value) != 1L || (!is.null(choices) && !(value %in% choices))) {
    wanted <- if (is.null(choices)) "a text" else sprintf("one of %s", show_labels(choices))
    damaged(sprintf("its header field '%s' is %s, not %s", field, shown(value), wanted))
  }
  value
}

untag <- function(pair, field) {
  if (is.list(pair) && length(pair) == 2L && is.character(pair[[1]]) && length(pair[[2]]) == 1L) {
    kind <- pair[[1]]
    value <- pair[[2]]
    if (kind == "bool" && is.logical(value)) return(value)
    if (kind == "int" && is.character(value) && grepl("^-?[0-9]+$", value)) {
      number <- as.numeric(value)
      if (abs(number) < 2^31) return(as.integer(number))
      if (abs(number) < 2^53) return(number)
    }
    if (kind == "float" && is.character(value)) {
      number <- suppressWarnings(as.numeric(value))
      if (!is.na(number) || tolower(value) == "nan") return(number)
    }
    if (kind == "str" && is.character(value)) return(value)
  }
  damaged(sprintf("its header field '%s' is %s, not a label", field, shown(pair)))
}

# Labels as one R vector: of their own type when they share one, else as text.
label_vector <- function(labels) {
  if (!length(labels)) return(character())
  types <- unique(vapply(labels, function(l) if (is.numeric(l)) "numeric" else typeof(l), ""))
  if (length(types) > 1L) return(vapply(labels, as.character, ""))
  unlist(labels)
}

untags <- function(pairs, field, distinct = FALSE) {
  labels <- items(pairs, field, untag)
  if (distinct) {
    keys <- vapply(labels, function(l) paste(typeof(l), format(l, digits = 17)), "")
    if (anyDuplicated(keys)) damaged(sprintf("its header field '%s' names a label more than once", field))
  }
  label_vector(labels)
}

pairs_field <- function(value, field, read) {
  value <- list_field(value, field)
  out <- list()
  for (i in seq_along(value)) {
    item <- value[[i]]
    at <- sprintf("%s[%d]", field, i - 1L)
    if (!is.list(item) || length(item) != 2L) damaged(sprintf("its header field '%s' is %s, not a pair", at, shown(item)))
    out[[length(out) + 1L]] <- list(label = untag(item[[1]], paste0(at, "[0]")), value = read(item[[2]], paste0(at, "[1]")))
  }
  out
}

covariate_field <- function(value, field) {
  value <- object_field(value, field, c("name", "kind", "levels"))
  kind <- text_field(value$kind, paste0(field, ".kind"), c("numeric", "categorical"))
  levels <- untags(value$levels, paste0(field, ".levels"), distinct = TRUE)
  if ((kind == "numeric") != (length(levels) == 0L)) {
    what <- if (kind == "numeric") "no categories" else "at least one category"
    damaged(sprintf("its header field '%s.levels' holds %d; a %s covariate has %s", field, length(levels), kind, what))
  }
  list(name = text_field(value$name, paste0(field, ".name")), kind = kind,
       levels = if (kind == "numeric") NULL else levels)
}

feature_labels_from <- function(labels, labelled) {
  if (labelled || !is.numeric(labels)) labels else as.integer(labels) + 1L
}

# The report a header holds; feature lists are of the type of the model's `features`, even
# when empty.
report_from <- function(data, version, labelled, features) {
  absent <- if (version < 2L) "unestimable_kinds" else character()
  data <- object_field(data, "report", setdiff(report_fields, absent))
  reasons <- pairs_field(data$unestimable_features, "report.unestimable_features", text_field)
  kinds <- if (version < 2L) {
    vapply(reasons, function(r) format_1_kind(r$value), "")
  } else {
    listed <- unlist(items(data$unestimable_kinds, "report.unestimable_kinds",
                           function(v, f) text_field(v, f, verdict_kinds)))
    if (length(listed) != length(reasons)) {
      damaged(sprintf(paste("its header field 'report.unestimable_kinds' gives the kinds of %d features, but",
                            "'report.unestimable_features' lists %d"), length(listed), length(reasons)))
    }
    if (is.null(listed)) character() else listed
  }
  typed <- function(labels) if (length(labels)) labels else features[0]
  listed_features <- function(field) typed(feature_labels_from(untags(data[[field]], paste0("report.", field)), labelled))
  partial <- pairs_field(data$partial_features, "report.partial_features", untags)
  batches <- untags(data$batches, "report.batches")
  singletons <- untags(data$singleton_batches, "report.singleton_batches")
  new_report(list(
    batches = batches,
    batch_sizes = as.integer(unlist(items(data$batch_sizes, "report.batch_sizes", count_field))),
    reference = if (is.null(data$reference)) NULL else untag(data$reference, "report.reference"),
    covariates = as.character(unlist(items(data$covariates, "report.covariates", text_field))),
    parametric = flag_field(data$parametric, "report.parametric"),
    mean_only = flag_field(data$mean_only, "report.mean_only"),
    effective_mean_only = flag_field(data$effective_mean_only, "report.effective_mean_only"),
    singleton_batches = if (length(singletons)) singletons else batches[0],
    zero_variance_features = listed_features("zero_variance_features"),
    unestimable = data.frame(
      feature = typed(feature_labels_from(label_vector(lapply(reasons, `[[`, "label")), labelled)),
      reason = as.character(vapply(reasons, `[[`, "", "value")), kind = as.character(kinds),
      stringsAsFactors = FALSE),
    partial_features = if (!length(partial)) list() else
      stats::setNames(lapply(partial, `[[`, "value"),
                      vapply(partial, function(p) as.character(feature_labels_from(p$label, labelled)), "")),
    passed_through = listed_features("passed_through"),
    n_samples = count_field(data$n_samples, "report.n_samples"),
    n_features = count_field(data$n_features, "report.n_features")
  ))
}

# The kinds of a version 1 file's unestimable features, read from their reasons' texts, as
# quarnel wrote them then; later files store the kinds.
format_1_kind <- function(text) {
  templates <- c(
    "no observed value in batch {batch}" = "no_values",
    "fewer than two observed values in batch {batch}" = "few_values",
    "fewer than two observed values in reference batch {batch}" = "few_values",
    "not observed in reference batch {batch}" = "no_reference",
    "observed values all equal in batch {batch}" = "equal_values",
    "the design fits every value of batch {batch} exactly, leaving it no spread" = "level_fitted",
    "observed values leave no spread to estimate a variance from" = "explained"
  )
  for (template in names(templates)) {
    parts <- strsplit(template, "{batch}", fixed = TRUE)[[1]]
    if (identical(text, template) || (length(parts) == 2L && startsWith(text, parts[1]) && endsWith(text, parts[2]) &&
                                      nchar(text) > nchar(parts[1]) + nchar(parts[2]))) {
      return(templates[[template]])
    }
  }
  plain <- vapply(verdict_words, `[`, "", 1L)
  if (text %in% plain) return(names(plain)[match(text, plain)])
  damaged(sprintf("its header field 'report.unestimable_features' holds %s, not a reason quarnel gave", shown(text)))
}

# ---------------------------------------------------------------------------------------
# Arrays

ascending <- function(a) c(TRUE, a[-1] > a[-length(a)])[seq_along(a)]

array_rules <- list(
  "the level numbers 0, 1, ..." = function(a, seen) a == seq_along(a) - 1L,
  "positive" = function(a, seen) is.finite(a) & a > 0,
  "finite" = function(a, seen) is.finite(a),
  "strictly ascending feature positions" = function(a, seen) a >= 0 & a < seen$n_features & ascending(a),
  "feature positions" = function(a, seen) a >= 0 & a < seen$n_features,
  "strictly ascending covariate columns" = function(a, seen) a >= 0 & a < seen$n_covariates & ascending(a),
  "0 or 1" = function(a, seen) a <= 1,
  "finite or NaN" = function(a, seen) !is.infinite(a),
  "non-negative or NaN" = function(a, seen) is.nan(a) | (is.finite(a) & a >= 0),
  "positive or NaN" = function(a, seen) is.nan(a) | (is.finite(a) & a > 0),
  "finite where corrected" = function(a, seen) is.finite(a) | seen$corrected == 0,
  "positive where corrected" = function(a, seen) (is.finite(a) & a > 0) | seen$corrected == 0
)

judge_arrays <- function(arrays, counts) {
  layouts <- array_layout()
  unknown <- sort(setdiff(names(arrays), names(layouts)))
  if (length(unknown)) damaged(sprintf("it holds the unknown array '%s'", unknown[1]))
  seen <- counts
  out <- list()
  for (key in names(layouts)) {
    layout <- layouts[[key]]
    array <- arrays[[key]]
    if (is.null(array)) damaged(sprintf("it lacks the array '%s'", key))
    if (!identical(array$dtype, layout[[1]])) damaged(sprintf("array '%s' is %s, not %s", key, array$dtype, layout[[1]]))
    axes <- layout[[2]]
    for (i in seq_along(axes)) if (is.null(seen[[axes[i]]]) && i <= length(array$shape)) seen[[axes[i]]] <- array$shape[i]
    shape <- vapply(axes, function(a) if (is.null(seen[[a]])) 0L else as.integer(seen[[a]]), 0L)
    if (!identical(as.integer(array$shape), unname(shape))) {
      damaged(sprintf("array '%s' has shape %s, not %s (%s)", key, py_shape(array$shape), py_shape(shape),
                      paste(axes, collapse = " x ")))
    }
    if (!array$c_order) damaged(sprintf("array '%s' is not in row-major (C) order", key))
    ok <- array_rules[[layout[[3]]]](array$value, seen)
    if (!all(ok)) {
      # The first offending entry in row-major order, as the Python loader names it.
      if (is.matrix(ok)) {
        at <- arrayInd(which(t(!ok))[1], rev(dim(ok)))[1, 2:1]
        bad <- array$value[at[1], at[2]]
      } else {
        at <- which(!ok)[1]
        bad <- array$value[at]
      }
      damaged(sprintf("array '%s' holds %s at [%s], where it must be %s", key, format(bad),
                      paste(at - 1L, collapse = ", "), layout[[3]]))
    }
    seen[[key]] <- array$value
    out[[key]] <- array$value
  }
  out
}

py_shape <- function(shape) {
  if (length(shape) == 1L) sprintf("(%d,)", shape) else sprintf("(%s)", paste(shape, collapse = ", "))
}

# The engine's model list from the judged arrays and scalars, as the glue reads it.
engine_from <- function(arrays, scalars) {
  engine <- c(scalars, arrays)
  for (key in c("features", "zero_variance_features", "batch_ids", "level_sizes", "covariate_columns")) {
    engine[[key]] <- as.double(engine[[key]])
  }
  for (key in c("n_features", "n_covariates", "reference")) engine[[key]] <- as.double(engine[[key]])
  engine$corrected <- matrix(as.integer(engine$corrected), nrow(engine$corrected), ncol(engine$corrected))
  engine
}

model_from <- function(header, arrays, version) {
  header <- object_field(header, "header", header_fields)
  batches <- untags(header$batches, "batches", distinct = TRUE)
  if (length(batches) < 2L) damaged(sprintf("its header names %d batches; a model has at least two", length(batches)))
  labelled <- flag_field(header$labelled_features, "labelled_features")
  features <- feature_labels_from(untags(header$features, "features"), labelled)
  if (!length(features)) damaged("its header names no features")
  covariates <- items(header$covariates, "covariates", covariate_field)
  if (anyDuplicated(vapply(covariates, `[[`, "", "name"))) {
    damaged("its header field 'covariates' names a covariate more than once")
  }
  option_keys <- if (version < 2L) setdiff(option_fields, "exact") else option_fields
  options <- object_field(header$options, "options", option_keys)
  if (version < 2L) options$exact <- TRUE
  reference <- if (is.null(options$reference)) NULL else untag(options$reference, "options.reference")
  if (!is.null(reference) && !(reference %in% batches)) {
    damaged(sprintf("its header field 'options.reference' is %s, not one of its batches", shown(reference)))
  }
  chosen <- list(parametric = flag_field(options$parametric, "options.parametric"),
                 mean_only = flag_field(options$mean_only, "options.mean_only"),
                 unestimable = text_field(options$unestimable, "options.unestimable", c("pass", "raise")),
                 partial_batches = text_field(options$partial_batches, "options.partial_batches", c("correct", "pass")),
                 exact = flag_field(options$exact, "options.exact"))
  report <- report_from(header$report, version, labelled, features)
  if (!identical(report$batches, batches)) {
    damaged("its header field 'report.batches' does not agree with the header's batches and features")
  }
  if (report$n_features != length(features)) {
    damaged("its header field 'report.n_features' does not agree with the header's batches and features")
  }
  if (length(report$batch_sizes) != length(batches)) {
    damaged("its header field 'report.batch_sizes' does not agree with the header's batches and features")
  }
  width <- sum(vapply(covariates, function(c) if (c$kind == "numeric") 1L else length(c$levels) - 1L, 0L))
  expected <- list(n_features = length(features), n_covariates = width,
                   reference = if (is.null(reference)) -1L else match(reference, batches) - 1L,
                   par_prior = chosen$parametric, exact = chosen$exact, mean_only = chosen$mean_only,
                   effective_mean_only = report$effective_mean_only)
  scalars <- scalars_from(header$scalars, expected, version)
  judged <- judge_arrays(arrays, c(list(n_levels = length(batches)), scalars))
  if (!identical(as.integer(judged$level_sizes), report$batch_sizes)) {
    damaged(sprintf("array 'level_sizes' holds %s, but its header field 'report.batch_sizes' says %s",
                    show_labels(as.integer(judged$level_sizes)), show_labels(report$batch_sizes)))
  }
  new_model(engine_from(judged, scalars), batches, features, labelled, covariates, report,
            chosen, reference)
}

scalars_from <- function(value, expected, version) {
  keys <- if (version < 2L) setdiff(names(scalar_layout), "exact") else names(scalar_layout)
  value <- object_field(value, "scalars", keys)
  out <- list()
  for (key in names(scalar_layout)) {
    if (!(key %in% keys)) {
      out[[key]] <- TRUE
      next
    }
    kind <- scalar_layout[[key]][1]
    pair <- value[[key]]
    field <- paste0("scalars.", key)
    if (!is.list(pair) || length(pair) != 2L || !identical(pair[[1]], kind)) {
      damaged(sprintf("its header field '%s' is %s, not ['%s', ...]", field, shown(pair), kind))
    }
    item <- pair[[2]]
    right_type <- if (kind == "bool") is.logical(item) else is.numeric(item) && !inherits(item, "json_float")
    if (!right_type || length(item) != 1L || item != expected[[key]]) {
      damaged(sprintf("its header field '%s' holds %s, not %s (%s)", field, shown(item), scalar_layout[[key]][2],
                      shown(expected[[key]])))
    }
    out[[key]] <- if (kind == "bool") item else as.numeric(item)
  }
  out
}
