# JSON for the model file's header: written as Python's json.dumps writes it (ASCII, with
# \uXXXX escapes), read strictly. Arrays are R lists and objects named lists; a scalar is a
# length-one atomic vector. Numbers written with a fraction or an exponent read back with
# class "json_float", so that counts can be told from floats as the Python loader tells
# them.

json_string <- function(text) {
  text <- enc2utf8(text)
  text <- gsub("\\", "\\\\", text, fixed = TRUE)
  text <- gsub("\"", "\\\"", text, fixed = TRUE)
  special <- grepl("[^ -~]", text, perl = TRUE, useBytes = TRUE)
  text[special] <- vapply(text[special], escape_code_points, "")
  paste0("\"", text, "\"")
}

escape_code_points <- function(text) {
  points <- utf8ToInt(text)
  if (anyNA(points)) abort("a label is not valid UTF-8 text")
  out <- character(length(points))
  plain <- points >= 32L & points <= 126L
  out[plain] <- vapply(points[plain], intToUtf8, "")
  wide <- points > 0xFFFFL
  out[!plain & !wide] <- sprintf("\\u%04x", points[!plain & !wide])
  high <- 0xD800L + bitwShiftR(points[wide] - 0x10000L, 10L)
  low <- 0xDC00L + bitwAnd(points[wide] - 0x10000L, 0x3FFL)
  out[wide] <- sprintf("\\u%04x\\u%04x", high, low)
  paste(out, collapse = "")
}

to_json <- function(value) {
  if (is.null(value)) return("null")
  if (is.list(value)) {
    if (!length(value)) return(if (is.null(names(value))) "[]" else "{}")
    items <- vapply(value, to_json, "")
    if (!is.null(names(value))) {
      return(paste0("{", paste(json_string(names(value)), items, sep = ": ", collapse = ", "), "}"))
    }
    return(paste0("[", paste(items, collapse = ", "), "]"))
  }
  if (length(value) != 1L) stop("a JSON scalar must have length one")
  if (is.na(value)) return("null")
  if (is.logical(value)) return(if (value) "true" else "false")
  if (is.character(value)) return(json_string(value))
  if (!is.finite(value)) stop("JSON has no infinite numbers")
  if (value == round(value) && abs(value) < 2^53) return(sprintf("%.0f", value))
  sprintf("%.17g", value)
}

json_token_pattern <- paste0(
  "\"(?:[^\"\\\\\\x00-\\x1f]|\\\\.)*\"",
  "|-?(?:0|[1-9][0-9]*)(?:\\.[0-9]+)?(?:[eE][+-]?[0-9]+)?",
  "|true|false|null|[{}\\[\\]:,]|[^ \\t\\n\\r]"
)

json_unescape <- function(token) {
  body <- substr(token, 2L, nchar(token) - 1L)
  if (!grepl("\\", body, fixed = TRUE)) return(body)
  parts <- regmatches(body, gregexpr("\\\\u[0-9a-fA-F]{4}|\\\\.|[^\\\\]+", body, perl = TRUE))[[1]]
  simple <- c("\\\"" = "\"", "\\\\" = "\\", "\\/" = "/", "\\b" = "\b", "\\f" = "\f",
              "\\n" = "\n", "\\r" = "\r", "\\t" = "\t")
  points <- integer()
  out <- character()
  flush <- function() {
    if (length(points)) {
      out[[length(out) + 1L]] <<- utf16_text(points)
      points <<- integer()
    }
  }
  for (part in parts) {
    if (startsWith(part, "\\u")) {
      points <- c(points, strtoi(substr(part, 3L, 6L), 16L))
      next
    }
    flush()
    if (startsWith(part, "\\")) {
      if (is.na(simple[part])) stop("invalid escape ", part)
      out[[length(out) + 1L]] <- simple[[part]]
    } else {
      out[[length(out) + 1L]] <- part
    }
  }
  flush()
  paste(out, collapse = "")
}

# UTF-16 code units as text, surrogate pairs joined.
utf16_text <- function(units) {
  points <- integer()
  i <- 1L
  while (i <= length(units)) {
    unit <- units[i]
    if (unit >= 0xD800L && unit <= 0xDBFFL && i < length(units) &&
        units[i + 1L] >= 0xDC00L && units[i + 1L] <= 0xDFFFL) {
      points <- c(points, 0x10000L + bitwShiftL(unit - 0xD800L, 10L) + (units[i + 1L] - 0xDC00L))
      i <- i + 2L
    } else {
      if (unit >= 0xD800L && unit <= 0xDFFFL) stop("a lone surrogate in a string")
      points <- c(points, unit)
      i <- i + 1L
    }
  }
  intToUtf8(points)
}

# The value of a JSON text; stops (a plain error, worded by the caller) when it is not
# JSON or nests deeper than `max_depth`.
from_json <- function(text, max_depth) {
  tokens <- regmatches(text, gregexpr(json_token_pattern, text, perl = TRUE))[[1]]
  position <- 0L
  peek <- function() if (position < length(tokens)) tokens[[position + 1L]] else ""
  take <- function() {
    position <<- position + 1L
    if (position > length(tokens)) stop("the text ends early")
    tokens[[position]]
  }
  expect <- function(token) if (take() != token) stop("expected '", token, "'")
  value <- function(depth) {
    if (depth > max_depth) stop(sprintf("its header nests deeper than %d levels", max_depth))
    token <- take()
    first <- substr(token, 1L, 1L)
    if (token == "{") {
      out <- list()
      keys <- character()
      if (peek() == "}") {
        take()
        return(structure(list(), names = character()))
      }
      repeat {
        key <- take()
        if (substr(key, 1L, 1L) != "\"") stop("an object key is not a string")
        expect(":")
        out[[length(out) + 1L]] <- list(value(depth + 1L))
        keys <- c(keys, json_unescape(key))
        separator <- take()
        if (separator == "}") break
        if (separator != ",") stop("expected ',' or '}'")
      }
      out <- lapply(out, `[[`, 1L)
      names(out) <- keys
      return(out)
    }
    if (token == "[") {
      out <- list()
      if (peek() == "]") {
        take()
        return(out)
      }
      repeat {
        out[[length(out) + 1L]] <- list(value(depth + 1L))
        separator <- take()
        if (separator == "]") break
        if (separator != ",") stop("expected ',' or ']'")
      }
      return(lapply(out, `[[`, 1L))
    }
    if (first == "\"") return(json_unescape(token))
    if (token == "true") return(TRUE)
    if (token == "false") return(FALSE)
    if (token == "null") return(NULL)
    if (grepl("^-?[0-9]", token)) {
      number <- as.numeric(token)
      if (grepl("[.eE]", token)) class(number) <- "json_float"
      return(number)
    }
    stop("unexpected '", token, "'")
  }
  result <- value(1L)
  if (position != length(tokens)) stop("text follows the JSON value")
  result
}
