#!/usr/bin/env bash
# One entry point for a fresh machine:
#   ./dev.sh test    install what is missing, build, run every C++ and Python test
#   ./dev.sh demo    install what is missing, build, fit a forest on the shipped data
#   ./dev.sh bench   install the peers too and print the benchmark table
set -euo pipefail
cd "$(dirname "$0")"

APT_PACKAGES=(g++ libtbb-dev libgtest-dev nlohmann-json3-dev)
PYTHON=${PYTHON:-python3.12}
VENV=.venv
VENV_NUMPY1=.venv-numpy1
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

make_venv() {  # make_venv DIR PACKAGE...
  local dir=$1
  shift
  [ -x "$dir/bin/python" ] || "$PYTHON" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

# The estimators' dependencies and the peers the tests compare with; pandas 3 and
# scikit-survival need NumPy 2, so the NumPy 1.26 run takes pandas 2 and skips
# the comparisons with scikit-survival.
TEST_PACKAGES=(pytest matplotlib scikit-learn==1.9.1 polars==2.1.0)
TEST_PACKAGES_NUMPY2=(pandas==3.1.1 scikit-survival==0.28.0)
TEST_PACKAGES_NUMPY1=("pandas==2.3.*")

build_wheel() {
  make_venv "$VENV" scikit-build-core "numpy>=2" cmake ninja "${TEST_PACKAGES[@]}" "${TEST_PACKAGES_NUMPY2[@]}"
  rm -rf dist
  "$VENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w dist .
  "$VENV/bin/python" -m pip install -q --force-reinstall --no-deps dist/korvane-*.whl
}

core_tests() {  # core_tests BUILD_DIR [CMAKE_ARGS...]
  local dir=$1
  shift
  "$VENV/bin/cmake" -S . -B "$dir" -G Ninja -DKORVANE_BUILD_PYTHON=OFF -DKORVANE_BUILD_TESTS=ON "$@" >/dev/null
  "$VENV/bin/cmake" --build "$dir" -j "$JOBS"
  (cd "$dir" && "../../$VENV/bin/ctest" --output-on-failure -j "$JOBS")
}

python_tests() {  # python_tests VENV_DIR
  # pytest exits 5 when it collects nothing; that is not a failure of the code.
  (cd tests && "../$1/bin/python" -m pytest -q -p no:cacheprovider .) || [ $? -eq 5 ]
}

case "${1:-}" in
  test)
    install_system_packages
    build_wheel
    core_tests build/core
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      core_tests build/core-sanitized -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON
    python_tests "$VENV"
    # The benchmark harness's own logic (nothing timed).
    (cd benchmarks && "../$VENV/bin/python" -m pytest -q -p no:cacheprovider test_harness.py)
    # The extension is built against NumPy 2 and must also run under NumPy 1.26.
    make_venv "$VENV_NUMPY1" "numpy==1.26.*" "${TEST_PACKAGES[@]}" "${TEST_PACKAGES_NUMPY1[@]}"
    "$VENV_NUMPY1/bin/python" -m pip install -q --force-reinstall --no-deps dist/korvane-*.whl
    python_tests "$VENV_NUMPY1"
    ;;
  demo)
    install_system_packages
    build_wheel
    "$VENV/bin/python" -m korvane
    ;;
  bench)
    install_system_packages r-cran-ranger r-cran-survival
    build_wheel
    "$VENV/bin/python" -m pip install -q -r benchmarks/requirements.txt
    "$VENV/bin/python" benchmarks/run.py "${@:2}"
    ;;
  *)
    echo "usage: $0 test|demo|bench" >&2
    exit 2
    ;;
esac
