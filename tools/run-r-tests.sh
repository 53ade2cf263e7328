#!/usr/bin/env bash
# Tests the R package in r/ on a fresh Debian machine:
#   1. installs R, cpp11, testthat, roxygen2, SummarizedExperiment, Eigen and devscripts
#      from Debian's packages when missing;
#   2. builds the source tarball (R CMD build, which takes the core's sources in) and runs
#      R CMD check --no-manual --as-cran on it, failing on any ERROR or WARNING;
#   3. the check runs the testthat suite, including the tests that compare bits with the
#      Python package: set QUARNEL_PYTHON to a Python with quarnel installed (by default
#      python3, when it can import quarnel); without one those tests skip, saying so.
# Times of each step are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/r
mkdir -p "$build"

step() { printf '\n=== %s\n' "$*"; }
seconds() { date +%s; }

# devscripts brings checkbashisms, without which --as-cran cannot check configure and
# cleanup for shell features beyond POSIX sh (and warns).
packages=(r-base-dev r-cran-cpp11 r-cran-testthat r-cran-roxygen2 r-bioc-summarizedexperiment libeigen3-dev libboost-math-dev
          devscripts)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  start=$(seconds)
  sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  echo "installed in $(( $(seconds) - start )) s"
fi

if [ -z "${QUARNEL_PYTHON:-}" ] && python3 -c "import quarnel" 2>/dev/null; then
  QUARNEL_PYTHON=$(command -v python3)
fi
if [ -n "${QUARNEL_PYTHON:-}" ]; then
  echo "comparing with the Python package of $QUARNEL_PYTHON"
  export QUARNEL_PYTHON
else
  echo "QUARNEL_PYTHON is unset and python3 cannot import quarnel: the cross-language tests will skip"
fi

step "R CMD build r"
start=$(seconds)
rm -rf "$build"/quarnel_*.tar.gz "$build"/quarnel.Rcheck
(cd "$build" && R CMD build --no-manual "$root/r")
tarball=$(ls "$build"/quarnel_*.tar.gz)
echo "built $(basename "$tarball") in $(( $(seconds) - start )) s"

step "R CMD check --no-manual --as-cran"
start=$(seconds)
# No network here: the incoming checks that ask CRAN's servers are left out. NOT_CRAN runs
# the tests that CRAN would skip (the interrupt test starts a child R process).
export _R_CHECK_CRAN_INCOMING_REMOTE_=false NOT_CRAN=true
export MAKEFLAGS="-j${QUARNEL_JOBS:-2}"
status=0
(cd "$build" && R CMD check --no-manual --as-cran "$tarball") || status=$?
echo "checked in $(( $(seconds) - start )) s"
log=$build/quarnel.Rcheck/00check.log
if [ -f "$build/quarnel.Rcheck/tests/testthat.Rout" ]; then
  step "testthat"
  grep -E "^\[ FAIL|SKIP|Skipped|Reason" "$build/quarnel.Rcheck/tests/testthat.Rout" || true
fi
if [ "$status" -ne 0 ] || grep -qE "^Status: .*(ERROR|WARNING)" "$log"; then
  echo "R CMD check failed: see $log" >&2
  exit 1
fi
grep -E "^Status:" "$log"
