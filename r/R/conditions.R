# Errors and warnings as classed conditions, with the Python package's messages.

#' @importFrom stats predict
NULL

condition_classes <- function(kind, base) {
  c(paste0("quarnel_", kind), paste0("quarnel_", base), base, "condition")
}

# An error of class quarnel_<kind>: "input" for unusable arguments (Python's ValueError),
# "type" for arguments of the wrong type (TypeError), or a kind of the core's errors.
abort <- function(message, kind = "input", data = list()) {
  stop(structure(
    c(list(message = message, call = NULL), data),
    class = condition_classes(kind, "error")
  ))
}

warn <- function(message, kind) {
  warning(structure(
    list(message = message, call = NULL),
    class = condition_classes(kind, "warning")
  ))
}

# The core's error kinds ("InvalidDesign") as condition kinds ("invalid_design").
snake_case <- function(kind) {
  tolower(gsub("([a-z0-9])([A-Z])", "\\1_\\2", kind))
}

# A label as Python's repr shows it in a message, so that messages read as the Python
# package's: strings quoted, numbers and logicals as R prints them.
show_label <- function(label) {
  if (is.character(label)) {
    text <- gsub("\\", "\\\\", label, fixed = TRUE)
    if (grepl("'", text, fixed = TRUE) && !grepl("\"", text, fixed = TRUE)) {
      return(paste0("\"", text, "\""))
    }
    return(paste0("'", gsub("'", "\\'", text, fixed = TRUE), "'"))
  }
  if (is.logical(label)) return(if (label) "True" else "False")
  format(label, digits = 15)
}

show_labels <- function(labels) {
  paste0("[", paste(vapply(as.list(labels), show_label, ""), collapse = ", "), "]")
}

# The first few labels and how many more there are: "'a', 'b' and 3 more".
show_some <- function(labels, limit = 5L) {
  shown <- paste(vapply(as.list(utils::head(labels, limit)), show_label, ""), collapse = ", ")
  if (length(labels) > limit) shown <- paste0(shown, " and ", length(labels) - limit, " more")
  shown
}

# R's interrupt, raised again after the core has unwound: handlers of "interrupt"
# conditions see it, and without one the evaluation returns to the top level as after
# Ctrl-C.
interrupt_again <- function() {
  signalCondition(structure(list(), class = c("interrupt", "condition")))
  invokeRestart("abort")
}

#' @useDynLib quarnel, .registration = TRUE
NULL
