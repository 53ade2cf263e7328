# Model files in the Python package's format: a zip archive of NumPy .npy members, one of
# them ("header") a JSON text with the labels, options, report and plain numbers, the
# others the engine's arrays, row-major.

format_name <- "quarnel-model"
format_version <- 2L
max_header_depth <- 16L

# What the values of each of the engine's arrays must be (the rules of the Python loader).
array_values <- c(
  batch_ids = "the level numbers 0, 1, ...",
  level_sizes = "positive",
  features = "strictly ascending feature positions",
  zero_variance_features = "feature positions",
  covariate_columns = "strictly ascending covariate columns",
  grand_mean = "finite",
  pooled_variance = "positive",
  covariate_coefficients = "finite",
  corrected = "0 or 1",
  gamma_hat = "finite or NaN",
  delta_hat = "non-negative or NaN",
  gamma_star = "finite where corrected",
  delta_star = "positive where corrected",
  gamma_bar = "finite or NaN",
  tau2 = "non-negative or NaN",
  a_prior = "positive or NaN",
  b_prior = "positive or NaN"
)

# The engine's arrays as the core lays them out, in the order they are judged: dtype,
# shape in the model's counts and what the values must be.
array_layout <- function() {
  arrays <- qn_model_arrays()
  layout <- lapply(arrays, function(a) list(a[[2]], a[[3]], array_values[[a[[1]]]]))
  stats::setNames(layout, vapply(arrays, `[[`, "", 1L))
}

scalar_layout <- list(
  n_features = c("int", "the number of features the header names"),
  n_covariates = c("int", "the number of covariate columns its covariates make"),
  reference = c("int", "the level of options.reference (-1 without one)"),
  par_prior = c("bool", "options.parametric"),
  exact = c("bool", "options.exact"),
  mean_only = c("bool", "options.mean_only"),
  effective_mean_only = c("bool", "report.effective_mean_only")
)

header_fields <- c("format", "version", "batches", "features", "labelled_features", "covariates",
                   "options", "scalars", "report")
option_fields <- c("parametric", "mean_only", "reference", "unestimable", "partial_batches", "exact")
report_fields <- c("batches", "batch_sizes", "reference", "covariates", "parametric", "mean_only",
                   "effective_mean_only", "singleton_batches", "zero_variance_features",
                   "unestimable_features", "unestimable_kinds", "n_samples", "n_features",
                   "passed_through", "partial_features")

# ---------------------------------------------------------------------------------------
# Labels as [type, value] pairs, so that the batch 2019 and the batch "2019" stay apart

tag <- function(label) {
  if (is.factor(label)) label <- as.character(label)
  if (is.logical(label)) return(list("bool", label))
  if (is.integer(label)) return(list("int", as.character(label)))
  if (is.double(label)) return(list("float", sprintf("%a", label)))
  list("str", as.character(label))
}

tags <- function(labels) lapply(as.list(labels), tag)

# Feature labels as the file holds them: positions of unlabelled data are 0-based there,
# as Python numbers the columns of an array.
file_features <- function(model) {
  if (model$labelled_features) tags(model$features) else tags(as.integer(model$features) - 1L)
}

report_json <- function(report, labelled) {
  feature_tag <- function(f) if (labelled) tag(f) else tag(as.integer(f) - 1L)
  feature_tags <- function(fs) lapply(as.list(fs), feature_tag)
  unestimable <- report$unestimable
  list(
    batches = tags(report$batches),
    batch_sizes = as.list(as.numeric(report$batch_sizes)),
    reference = if (is.null(report$reference)) NULL else tag(report$reference),
    covariates = as.list(report$covariates),
    parametric = report$parametric,
    mean_only = report$mean_only,
    effective_mean_only = report$effective_mean_only,
    singleton_batches = tags(report$singleton_batches),
    zero_variance_features = feature_tags(report$zero_variance_features),
    unestimable_features = lapply(seq_len(nrow(unestimable)), function(i) {
      list(feature_tag(unestimable$feature[[i]]), unestimable$reason[[i]])
    }),
    unestimable_kinds = as.list(unestimable$kind),
    n_samples = report$n_samples,
    n_features = report$n_features,
    passed_through = feature_tags(report$passed_through),
    partial_features = unname(lapply(names(report$partial_features), function(f) {
      label <- if (labelled) f else as.integer(f)
      list(feature_tag(label), tags(report$partial_features[[f]]))
    }))
  )
}

header_of <- function(model) {
  engine <- model$engine
  options <- model$options
  list(
    format = format_name,
    version = format_version,
    batches = tags(model$batches),
    features = file_features(model),
    labelled_features = model$labelled_features,
    covariates = lapply(model$covariates, function(c) {
      list(name = c$name, kind = c$kind, levels = tags(c$levels))
    }),
    options = list(parametric = options$parametric, mean_only = options$mean_only,
                   reference = if (is.null(options$reference)) NULL else tag(options$reference),
                   unestimable = options$unestimable, partial_batches = options$partial_batches,
                   exact = options$exact),
    scalars = lapply(stats::setNames(names(scalar_layout), names(scalar_layout)), function(key) {
      list(scalar_layout[[key]][1], engine[[key]])
    }),
    report = report_json(model$report, model$labelled_features)
  )
}

# ---------------------------------------------------------------------------------------
# .npy members and the zip archive

le <- function(value, size) writeBin(as.integer(value), raw(), size = size, endian = "little")

# A 32-bit unsigned field (a CRC or an offset) as the signed integer R writes.
u32 <- function(value) le(if (value >= 2^31) value - 2^32 else value, 4L)

npy_member <- function(descr, shape, data) {
  dims <- if (length(shape) == 1L) sprintf("(%d,)", shape) else sprintf("(%s)", paste(shape, collapse = ", "))
  text <- sprintf("{'descr': '%s', 'fortran_order': False, 'shape': %s, }", descr, dims)
  padding <- 64L - (10L + nchar(text) + 1L) %% 64L
  if (padding == 64L) padding <- 0L
  text <- paste0(text, strrep(" ", padding), "\n")
  c(as.raw(c(0x93, charToRaw("NUMPY"), 1, 0)), le(nchar(text), 2L), charToRaw(text), data)
}

# An engine entry as row-major .npy bytes of the dtype the layout gives it.
npy_array <- function(value, dtype) {
  shape <- if (is.matrix(value)) dim(value) else length(value)
  flat <- if (is.matrix(value)) as.vector(t(value)) else as.vector(value)
  data <- switch(dtype,
    float64 = writeBin(as.double(flat), raw(), size = 8L, endian = "little"),
    int64 = {
      ints <- as.integer(flat)
      writeBin(as.vector(rbind(ints, ifelse(ints < 0L, -1L, 0L))), raw(), size = 4L, endian = "little")
    },
    uint8 = as.raw(flat))
  npy_member(c(float64 = "<f8", int64 = "<i8", uint8 = "|u1")[[dtype]], shape, data)
}

npy_text <- function(text) {
  points <- utf8ToInt(text)
  npy_member(sprintf("<U%d", length(points)), 1L, writeBin(points, raw(), size = 4L, endian = "little"))
}

zip_stored <- function(members) {
  local <- list()
  central <- list()
  offset <- 0
  for (name in names(members)) {
    data <- members[[name]]
    file_name <- charToRaw(name)
    crc <- qn_crc32(data)
    common <- c(le(20L, 2L), le(0L, 2L), le(0L, 2L), le(0L, 2L), le(33L, 2L), u32(crc),
                u32(length(data)), u32(length(data)), le(length(file_name), 2L), le(0L, 2L))
    header <- c(u32(0x04034b50), common, file_name)
    central[[name]] <- c(u32(0x02014b50), le(20L, 2L), common, le(0L, 2L), le(0L, 2L), le(0L, 2L),
                         u32(0), u32(offset), file_name)
    local[[name]] <- c(header, data)
    offset <- offset + length(header) + length(data)
  }
  directory <- unlist(central, use.names = FALSE)
  end <- c(u32(0x06054b50), le(0L, 2L), le(0L, 2L), le(length(members), 2L), le(length(members), 2L),
           u32(length(directory)), u32(offset), le(0L, 2L))
  c(unlist(local, use.names = FALSE), directory, end)
}

#' Save and load fitted models
#'
#' `save_model()` writes a model to one file in the format of the Python package
#' (`CombatModel.save`: a NumPy `.npz` archive of plain numeric arrays and one JSON
#' header; no serialised R objects), and `load_model()` reads a model written by either
#' package. A model saved in one language loads in the other and corrects the same data
#' to the same bits. Batch, feature and category labels keep their type when they are
#' text, whole numbers (R integers), numbers or logicals; factor labels are stored as
#' their text. The file is written beside `path` and renamed over it, so that a failed
#' save never leaves half a model.
#'
#' `load_model()` judges every field of the header and every array (type, shape against
#' the header's counts, layout, the values the model needs) and signals an error of
#' class `quarnel_model_file` naming the field or array at fault.
#'
#' @param model A `quarnel_model`.
#' @param path The file.
#' @return `save_model()`: `path`, invisibly. `load_model()`: a `quarnel_model`.
#' @examples
#' path <- system.file("extdata", package = "quarnel")
#' x <- as.matrix(read.delim(file.path(path, "quartet_proteomics.tsv"), row.names = 1))
#' samples <- read.delim(file.path(path, "quartet_samples.tsv"))
#' model <- combat_fit(x, samples$batch)
#' file <- tempfile(fileext = ".npz")
#' save_model(model, file)
#' again <- load_model(file)
#' identical(predict(again, x, samples$batch), predict(model, x, samples$batch))
#' @export
save_model <- function(model, path) {
  if (!inherits(model, "quarnel_model")) abort("model must be a quarnel_model", "type")
  if (!is.character(path) || length(path) != 1L) abort("path must be one file name", "type")
  header <- to_json(header_of(model))
  members <- list("header.npy" = npy_text(header))
  layout <- array_layout()
  for (key in names(layout)) {
    members[[paste0(key, ".npy")]] <- npy_array(model$engine[[key]], layout[[key]][[1]])
  }
  bytes <- zip_stored(members)
  temporary <- file.path(dirname(path), paste0(".quarnel-", basename(tempfile("")), "-", basename(path)))
  on.exit(unlink(temporary))
  written <- tryCatch({
    writeBin(bytes, temporary)
    TRUE
  }, error = function(e) FALSE, warning = function(w) FALSE)
  if (!written || !file.rename(temporary, path)) abort(sprintf("cannot write the model file %s", path), "model_file")
  invisible(path)
}
