#!/usr/bin/env bash
# Builds the one abi3 wheel once and runs the Python suite against it on several CPython and
# NumPy pairs, each in a fresh virtual environment made from a pyenv interpreter:
#   CPython 3.8 + NumPy 1.24, CPython 3.12 + NumPy 1.26, CPython 3.13 + NumPy 2.x.
# An interpreter that is not installed is reported and skipped; any test failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=${PYENV_ROOT:-/root/.pyenv}/versions
out=build/matrix
rm -rf "$out"
mkdir -p "$out"

python -m pip wheel -q --no-deps . -w "$out/dist"
wheel=$(ls "$out"/dist/fenro-*-abi3-*.whl)
echo "wheel: $(basename "$wheel")"

ran=0
for pair in "3.8.18 numpy==1.24.*" "3.12.1 numpy==1.26.*" "3.13.0 numpy>=2,<3"; do
  read -r version numpy_spec <<<"$pair"
  interpreter=$versions/$version/bin/python
  if [ ! -x "$interpreter" ]; then
    echo "== CPython $version: not installed, skipped"
    continue
  fi
  venv=$out/py$version
  "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$numpy_spec" pytest hypothesis "$wheel"
  echo "== CPython $version with NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
  # From inside tests/python so that the installed wheel, not python/fenro, is imported.
  (cd tests/python && FENRO_FUZZ_EXAMPLES=60 "../../$venv/bin/python" -m pytest -q -p no:cacheprovider)
  ran=$((ran + 1))
done
if [ "$ran" -eq 0 ]; then
  echo "no interpreter of the matrix is installed" >&2
  exit 1
fi
