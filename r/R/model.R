# The correction as a reusable model: fit once, inspect, save, apply to new samples.

#' Fit the correction as a reusable model
#'
#' Learns the batch effects of `x` as [combat()] does (same arguments, same judgement of
#' every feature, same warnings), without correcting anything: `predict(model, x,
#' batch)` then equals `combat(x, batch)` bit for bit, and new samples of the same
#' batches, or of new batches (`new_batches = "estimate"`), can be corrected with it.
#' [save_model()] writes it in the Python package's file format.
#'
#' @inheritParams combat
#' @return A `quarnel_model`: a list holding the fitted `batches`, the `features`, the
#'   `report` of the fit, the options and the core's model.
#' @seealso [predict.quarnel_model()], [effects.quarnel_model()], [priors()],
#'   [save_model()].
#' @examples
#' path <- system.file("extdata", package = "quarnel")
#' x <- as.matrix(read.delim(file.path(path, "quartet_proteomics.tsv"), row.names = 1))
#' samples <- read.delim(file.path(path, "quartet_samples.tsv"))
#' model <- combat_fit(x, samples$batch, covariates = samples["condition"])
#' model
#' corrected <- predict(model, x, samples$batch, covariates = samples["condition"])
#' @export
combat_fit <- function(x, batch, covariates = NULL, parametric = TRUE, mean_only = FALSE,
                       reference = NULL, exact = TRUE, partial_batches = c("correct", "pass"),
                       unestimable = c("pass", "raise"), assay = 1, progress = interactive()) {
  planned <- plan_call(x, batch, covariates, parametric, mean_only, reference, exact, partial_batches,
                       unestimable, assay)
  unpacked <- planned$unpacked
  plan <- planned$plan
  result <- run_plan(plan, fit = TRUE, progress = progress)
  report <- report_run(plan, result)
  new_model(result$model, plan$coding$levels, feature_labels(unpacked), !is.null(unpacked$feature_labels),
            plan$covariates$encoding, report, plan$options[c("parametric", "mean_only", "unestimable",
                                                         "partial_batches", "exact")], plan$reference)
}

new_model <- function(engine, batches, features, labelled, covariates, report, options, reference) {
  structure(list(batches = batches, features = features, labelled_features = labelled,
                 covariates = covariates, report = report,
                 options = c(options, list(reference = reference)), engine = engine),
            class = "quarnel_model")
}

#' @export
print.quarnel_model <- function(x, ...) {
  cat(sprintf("<quarnel model: %d batches, %d of %d features corrected>\n", length(x$batches),
              length(x$engine$features), length(x$features)))
  invisible(x)
}

#' Correct samples with a fitted model
#'
#' Removes the model's batch effects from `newdata`. Samples of batches seen at fit time
#' are corrected with the fitted effects, each on its own; covariates are encoded exactly
#' as at fit time (the same columns; an unseen category is an error). Features the model
#' passes through come back unchanged.
#'
#' @param object A `quarnel_model` from [combat_fit()] or [load_model()].
#' @param newdata A numeric matrix (features in rows, in the model's order) or a
#'   `SummarizedExperiment`.
#' @param batch,covariates,assay,progress As for [combat()].
#' @param new_batches Batches not seen at fit time: `"error"` signals an error naming
#'   them; `"estimate"` estimates their effects from their own samples against the
#'   model and corrects them.
#' @param ... Unused.
#' @return The corrected matrix (dimnames kept), or the `SummarizedExperiment` with an
#'   assay `"corrected"` added.
#' @examples
#' path <- system.file("extdata", package = "quarnel")
#' x <- as.matrix(read.delim(file.path(path, "quartet_proteomics.tsv"), row.names = 1))
#' samples <- read.delim(file.path(path, "quartet_samples.tsv"))
#' fitted <- samples$batch != "FDU_QE-HFX_4"
#' model <- combat_fit(x[, fitted], samples$batch[fitted])
#' new <- predict(model, x[, !fitted], samples$batch[!fitted], new_batches = "estimate")
#' @export
predict.quarnel_model <- function(object, newdata, batch, covariates = NULL,
                                  new_batches = c("error", "estimate"), assay = 1,
                                  progress = interactive(), ...) {
  new_batches <- choice(new_batches, c("error", "estimate"), "new_batches")
  progress <- flag(progress, "progress")
  unpacked <- unpack(newdata, assay)
  check_features(object, unpacked)
  n_samples <- ncol(unpacked$values)
  ids <- model_batch_ids(object, batch_values(batch, unpacked), unpacked, new_batches)
  encoded <- reencode_covariates(covariate_columns(covariates, unpacked$table, n_samples),
                                 object$covariates, n_samples, unpacked$sample_labels)
  matrix <- encoded$matrix
  result <- qn_apply(object$engine, unpacked$values, n_samples, nrow(unpacked$values), ids$ids,
                     core_covariates(matrix), if (is.null(matrix)) 0L else ncol(matrix),
                     length(ids$unknown) > 0L, progress)
  result <- core_outcome(result, unpacked = unpacked)
  corrected <- result$adjusted
  dimnames(corrected) <- dimnames(unpacked$values)
  if (!unpacked$se) return(corrected)
  SummarizedExperiment::assay(newdata, "corrected", withDimnames = FALSE) <- corrected
  newdata
}

check_features <- function(model, unpacked) {
  n <- nrow(unpacked$values)
  if (n != length(model$features)) {
    abort(sprintf("data has %d features, but the model was fitted on %d", n, length(model$features)))
  }
  got <- unpacked$feature_labels
  if (is.null(got) || !model$labelled_features) return(invisible())
  differ <- which(as.character(got) != as.character(model$features))
  if (length(differ)) {
    i <- differ[1]
    abort(sprintf(paste("feature %d of the data is %s, but the model's feature %d is %s; the data needs the",
                        "model's features in the model's order (select them with x[model$features, ])"),
                  i, show_label(got[[i]]), i, show_label(model$features[[i]])))
  }
}

# The samples' batch ids in the model's levels; batches the model has not seen follow
# its levels, in sorted order.
model_batch_ids <- function(model, batch, unpacked, new_batches) {
  coding <- encode_batch(batch, ncol(unpacked$values), unpacked$sample_labels)
  known <- match(coding$levels, model$batches)
  unknown <- coding$levels[is.na(known)]
  if (length(unknown) && new_batches != "estimate") {
    one <- length(unknown) == 1L
    abort(sprintf(paste("%s %s %s not seen when the model was fitted (its batches are %s);",
                        "new_batches='estimate' estimates their effects against the model"),
                  if (one) "batch" else "batches", show_some(unknown), if (one) "was" else "were",
                  show_labels(model$batches)))
  }
  known[is.na(known)] <- length(model$batches) + seq_along(unknown)
  list(ids = known[coding$ids + 1L] - 1L, unknown = unknown)
}

#' Batch effects and priors of a fitted model
#'
#' `effects()` gives each batch's effect on each corrected feature: one row per batch
#' and feature, with the raw location and scale effects (`gamma_hat`, `delta_hat`) and
#' the shrunken ones that are removed (`gamma_star`, `delta_star`); `NA` where a feature
#' is not corrected in a batch. `priors()` gives each batch's priors: `gamma_bar` and
#' `tau2` (the normal prior of the location effects), `a_prior` and `b_prior` (the
#' inverse-gamma prior of the scale effects); `NA` where there is none (the reference
#' batch, the scale prior when only locations are corrected, every batch of a
#' non-parametric model).
#'
#' @param object,model A `quarnel_model`.
#' @param ... Unused.
#' @return A data frame.
#' @examples
#' path <- system.file("extdata", package = "quarnel")
#' x <- as.matrix(read.delim(file.path(path, "quartet_proteomics.tsv"), row.names = 1))
#' samples <- read.delim(file.path(path, "quartet_samples.tsv"))
#' model <- combat_fit(x, samples$batch)
#' head(effects(model))
#' priors(model)
#' @name model_effects
NULL

#' @rdname model_effects
#' @importFrom stats effects
#' @export
effects.quarnel_model <- function(object, ...) {
  engine <- object$engine
  corrected <- engine$features + 1
  n_levels <- length(object$batches)
  out <- data.frame(batch = rep(object$batches, each = length(corrected)),
                    feature = rep(object$features[corrected], times = n_levels),
                    stringsAsFactors = FALSE)
  for (name in c("gamma_hat", "delta_hat", "gamma_star", "delta_star")) {
    out[[name]] <- as.vector(t(engine[[name]]))
  }
  out
}

#' @rdname model_effects
#' @export
priors <- function(model, ...) UseMethod("priors")

#' @rdname model_effects
#' @export
priors.quarnel_model <- function(model, ...) {
  engine <- model$engine
  data.frame(batch = model$batches, gamma_bar = engine$gamma_bar, tau2 = engine$tau2,
             a_prior = engine$a_prior, b_prior = engine$b_prior, stringsAsFactors = FALSE)
}

#' @importFrom stats effects
#' @export
stats::effects
