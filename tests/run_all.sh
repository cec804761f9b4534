#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests (ctest), then the Python suite (pytest)
# against the package installed from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${FENRO_BUILD_DIR:-build/tests}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFENRO_BUILD_TESTS=ON \
  -DFENRO_BUILD_BENCHMARKS=OFF ${FENRO_CMAKE_ARGS:-}
cmake --build "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure -j2
# The demo and Flower extras too, so their tests (and the examples) run rather than skip.
python -m pip install -q ".[test,demo,flower]"
# Run from outside the checkout so that the installed package, not python/fenro, is imported.
(cd tests/python && python -m pytest -q -p no:cacheprovider)
