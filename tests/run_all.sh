#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests (ctest), then the Python suite (pytest)
# against the package installed from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${FENRO_BUILD_DIR:-build/tests}

# GoogleTest is the one thing pip cannot provide. Install it from Debian when we may (root with
# apt-get); otherwise stop and say the exact command, before any build starts.
have_gtest() {
  [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]
}
if ! have_gtest; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "GoogleTest is missing: installing Debian's libgtest-dev"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing. Install it, then run this again:" >&2
    echo "    sudo apt-get install -y libgtest-dev" >&2
    exit 1
  fi
fi
# CMake and Ninja come from pip when the system has none.
command -v cmake >/dev/null && command -v ninja >/dev/null ||
  python -m pip install -q "cmake>=3.21" ninja
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFENRO_BUILD_TESTS=ON \
  -DFENRO_BUILD_BENCHMARKS=OFF ${FENRO_CMAKE_ARGS:-}
cmake --build "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure -j2
# The demo, Flower (with its simulation runtime) and Ray extras too, so their tests (and the
# examples) run rather than skip.
python -m pip install -q ".[test,demo,flower,flower-simulation,ray]"
# Run from outside the checkout so that the installed package, not python/fenro, is imported.
(cd tests/python && python -m pytest -q -p no:cacheprovider)
