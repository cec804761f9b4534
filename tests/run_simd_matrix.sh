#!/usr/bin/env bash
# Runs the C++ tests once per SIMD target this CPU has (FENRO_SIMD=scalar, avx2, avx512), so
# that each target's kernels run as the default dispatch and the kernel tests stop at it, then
# the Python test that compares every target's results bit for bit through the Python API.
# One command verifies a kind of CPU the suites have not met yet.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${FENRO_BUILD_DIR:-build/tests}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFENRO_BUILD_TESTS=ON \
  -DFENRO_BUILD_BENCHMARKS=OFF ${FENRO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir"
ran=()
for target in scalar avx2 avx512; do
  if ! out=$(FENRO_SIMD=$target "$build_dir/tests/cpp/simd_test" 2>&1); then
    if grep -q "this CPU lacks" <<<"$out"; then
      echo "== FENRO_SIMD=$target: this CPU lacks it, skipped"
      continue
    fi
    echo "$out"
    exit 1
  fi
  echo "== FENRO_SIMD=$target"
  FENRO_SIMD=$target ctest --test-dir "$build_dir" --output-on-failure -j2
  ran+=("$target")
done
echo "== Python: every target against scalar, bit for bit"
python -m pip install -q ".[test]"
# Run from outside the checkout so that the installed package, not python/fenro, is imported.
(cd tests/python && python -m pytest -q -p no:cacheprovider test_simd.py)
echo "C++ tests passed under FENRO_SIMD=${ran[*]}"
