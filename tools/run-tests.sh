#!/usr/bin/env bash
# Runs every test of the project on a fresh machine:
#   1. the C++ core with its GoogleTest suite (through CTest), warnings as errors, then the
#      same suite again built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   2. the C++ core compiled (not run) for aarch64 with Debian's cross compiler, skipped
#      with a message where that compiler cannot be installed;
#   3. the Python package built once as a wheel, tested with pytest under NumPy 2.x and
#      again under the oldest supported NumPy 1.x;
#   4. the R package in r/: R CMD check --as-cran on its tarball, with its testthat suite
#      comparing bits with the Python package of step 3 (tools/run-r-tests.sh).
# It installs what it needs: GoogleTest, Eigen, Boost.Math and the cross compiler from Debian's
# packages (when missing), everything else from PyPI into virtual environments under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/tests
jobs=${QUARNEL_JOBS:-2}
python=${PYTHON:-python3}
numpy1=${QUARNEL_NUMPY1:-numpy==1.23.5}
mkdir -p "$build"

step() { printf '\n=== %s\n' "$*"; }

# Installs Debian packages; the package lists are refreshed once, before the first install.
apt_updated=
apt_install() {
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if [ -z "$apt_updated" ]; then
    $sudo apt-get update -qq || return
    apt_updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

install_system_packages() {
  local missing=()
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  [ -f /usr/include/eigen3/Eigen/Core ] || missing+=(libeigen3-dev)
  [ -f /usr/include/boost/math/special_functions/beta.hpp ] || missing+=(libboost-math-dev)
  command -v g++ >/dev/null || missing+=(g++)
  [ ${#missing[@]} -eq 0 ] && return
  step "installing ${missing[*]}"
  apt_install "${missing[@]}"
}

# The x86 vector code paths are guarded so that the core builds on other architectures.
# Building the core library for aarch64 (nothing is linked or run) with the project's own
# flags and warnings as errors checks that the portable path builds alone. It generates
# code rather than only checking syntax: g++ rejects an x86 target_clones attribute only
# then. The cross compiler is optional: where it cannot be installed the check is
# skipped, saying why.
check_aarch64_compile() {
  step "C++ core: compile-only check for aarch64"
  if ! command -v aarch64-linux-gnu-g++ >/dev/null; then
    local log=$build/apt-aarch64.log why
    if ! command -v apt-get >/dev/null; then
      why="apt-get is not available"
    elif ! apt_install g++-aarch64-linux-gnu 2>"$log"; then
      why="installing g++-aarch64-linux-gnu failed: $(tail -n 1 "$log")"
    elif ! command -v aarch64-linux-gnu-g++ >/dev/null; then
      why="g++-aarch64-linux-gnu installed no aarch64-linux-gnu-g++"
    fi
    if [ -n "${why:-}" ]; then
      echo "SKIPPED: no aarch64 cross compiler ($why)"
      return 0
    fi
  fi
  cmake -S "$root" -B "$build/core-aarch64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/aarch64-linux-gnu.cmake" \
    -DQUARNEL_BUILD_TESTS=OFF -DQUARNEL_BUILD_PYTHON=OFF -DQUARNEL_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build "$build/core-aarch64" -j "$jobs" --target quarnel_core
}

# A virtual environment with the given packages; created once, reused afterwards.
make_venv() {
  local dir=$1
  shift
  [ -x "$dir/bin/python" ] || "$python" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --upgrade pip
  "$dir/bin/python" -m pip install -q "$@"
}

install_system_packages

step "C++ core: build and CTest"
make_venv "$build/venv-tools" "cmake>=3.24" ninja
export PATH="$build/venv-tools/bin:$PATH"
cmake -S "$root" -B "$build/core" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARNEL_BUILD_TESTS=ON -DQUARNEL_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build/core" -j "$jobs"
ctest --test-dir "$build/core" --output-on-failure -j "$jobs"

step "C++ core: CTest under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$root" -B "$build/core-sanitizers" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUARNEL_BUILD_TESTS=ON -DQUARNEL_WARNINGS_AS_ERRORS=ON \
  "-DQUARNEL_SANITIZERS=address;undefined" >/dev/null
cmake --build "$build/core-sanitizers" -j "$jobs"
# Any report fails its test: no recovery is compiled in, so undefined behaviour aborts the
# test process, and LeakSanitizer checks every test process as it exits. Every allocation
# is filled with a byte pattern, whatever its size: the core leaves large buffers
# uninitialised, so a value read before it was written changes a result.
ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_init_order=1:max_malloc_fill_size=2147483647 \
  UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$build/core-sanitizers" --output-on-failure -j "$jobs"

check_aarch64_compile

step "Python: build the wheel"
rm -rf "$build/wheels"
make_venv "$build/venv-build" build
"$build/venv-build/bin/python" -m pip wheel -q --no-deps -w "$build/wheels" \
  -Ccmake.define.QUARNEL_WARNINGS_AS_ERRORS=ON "$root"
wheel=$(ls "$build"/wheels/quarnel-*.whl)

# The tests import the installed module, so they run from outside the source tree.
run_pytest() {
  local venv=$1
  (cd "$build" && "$venv/bin/python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" "$root/tests")
}

step "Python: pytest under NumPy 2.x"
make_venv "$build/venv-numpy2" "numpy>=2" pytest hypothesis pandas anndata matplotlib scikit-learn scipy tqdm \
  "dask[array]" distributed zarr xarray
"$build/venv-numpy2/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
run_pytest "$build/venv-numpy2"

step "Python: pytest under NumPy 1.x ($numpy1)"
make_venv "$build/venv-numpy1" "$numpy1" pytest hypothesis pandas anndata matplotlib scikit-learn scipy tqdm
"$build/venv-numpy1/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
run_pytest "$build/venv-numpy1"

step "R package: R CMD check and testthat"
QUARNEL_PYTHON=$build/venv-numpy2/bin/python bash "$root/tools/run-r-tests.sh"
