# Under R CMD check (_R_CHECK_LIMIT_CORES_ set and not "false") the core's worker pool,
# which takes its size from OpenMP when it first starts, is held to two threads.
.onLoad <- function(libname, pkgname) {
  limit <- Sys.getenv("_R_CHECK_LIMIT_CORES_", "")
  if (nzchar(limit) && !identical(tolower(limit), "false")) qn_limit_threads(2L)
  invisible()
}
