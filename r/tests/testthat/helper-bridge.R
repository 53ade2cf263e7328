# Builders shared by the tests, and the bridge to the Python package: both languages
# correct the same problem and the results are compared through the files they write.

quarnel_python <- function() {
  python <- Sys.getenv("QUARNEL_PYTHON")
  if (!nzchar(python)) {
    skip("QUARNEL_PYTHON is unset: set it to a Python with the quarnel package to compare with it")
  }
  python
}

# A random problem: `sizes` samples per batch, each feature with its own location and a
# batch shift and scale, a fraction of values missing, and optionally whole batches
# missing for some features.
random_problem <- function(seed, n_features = 40L, sizes = c(5L, 7L, 6L), missing = 0,
                           partial = 0L) {
  set.seed(seed)
  n <- sum(sizes)
  batch <- rep(sprintf("lab%d", seq_along(sizes)), sizes)
  shift <- matrix(stats::rnorm(n_features * length(sizes), sd = 1.5), n_features)
  scale <- matrix(exp(stats::rnorm(n_features * length(sizes), sd = 0.4)), n_features)
  b <- match(batch, unique(batch))
  x <- stats::rnorm(n_features, 5) + shift[, b] + scale[, b] * matrix(stats::rnorm(n_features * n), n_features)
  if (missing > 0) x[sample(length(x), round(missing * length(x)))] <- NA
  if (partial > 0L) {
    rows <- sample(n_features, partial)
    x[cbind(rep(rows, each = sizes[1]), rep(which(b == 1L), partial))] <- NA
  }
  dimnames(x) <- list(sprintf("f%02d", seq_len(n_features)), sprintf("s%02d", seq_len(n)))
  condition <- rep(c("A", "B", "C"), length.out = n)
  list(x = x, batch = batch,
       covariates = data.frame(condition = condition, dose = round(stats::runif(n, 0, 3), 2),
                               stringsAsFactors = FALSE))
}

python_has_pandas <- local({
  known <- list()
  function(python) {
    if (is.null(known[[python]])) {
      known[[python]] <<- system2(python, c("-c", shQuote("import pandas")), stdout = FALSE, stderr = FALSE) == 0L
    }
    known[[python]]
  }
})

quartet <- function() {
  path <- system.file("extdata", package = "quarnel")
  x <- as.matrix(utils::read.delim(file.path(path, "quartet_proteomics.tsv"), row.names = 1))
  samples <- utils::read.delim(file.path(path, "quartet_samples.tsv"))
  list(x = x, batch = samples$batch, samples = samples)
}

raw_bits <- function(x) writeBin(as.double(x), raw(), endian = "little")

# Runs the Python package on the problem: the corrected matrix's raw float64 bits, or
# the error message it gave (a character string of class "python_error").
# With `labelled`, Python gets a DataFrame with x's sample and feature names.
python_run <- function(action, x, batch, covariates = NULL, options = list(), model = NULL,
                       labelled = FALSE) {
  python <- quarnel_python()
  if (labelled && !python_has_pandas(python)) skip("pandas is not installed for QUARNEL_PYTHON: labelled comparisons need it")
  dir <- tempfile("bridge")
  dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE))
  values <- file.path(dir, "values.f64")
  writeBin(raw_bits(x), values)
  request <- list(
    action = action, values = values, n_samples = ncol(x), n_features = nrow(x),
    batch = as.list(batch),
    covariates = if (is.null(covariates)) NULL else lapply(as.list(covariates), as.list),
    options = if (length(options)) options else structure(list(), names = character()),
    model = model, out = file.path(dir, "out.f64"), labelled = labelled,
    samples = as.list(colnames(x)), features = as.list(rownames(x))
  )
  path <- file.path(dir, "request.json")
  writeLines(quarnel:::to_json(request), path)
  status <- system2(python, c(file.path(testthat::test_path(), "bridge.py"), path), stdout = TRUE, stderr = TRUE)
  if (file.exists(request$out)) return(readBin(request$out, "raw", file.size(request$out)))
  if (file.exists(paste0(request$out, ".error"))) {
    return(structure(readLines(paste0(request$out, ".error"), warn = FALSE), class = "python_error"))
  }
  stop("the Python side failed: ", paste(status, collapse = "\n"))
}

unclass_report <- function(x) {
  attr(x, "quarnel_report") <- NULL
  x
}
