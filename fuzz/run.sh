#!/usr/bin/env bash
# Usage: fuzz/run.sh BUILD_DIR SECONDS
# Runs every fuzz target built in BUILD_DIR for SECONDS each. Each target starts from a scratch
# copy of its committed seed corpus (fuzz/corpus/<name without _fuzz>), so the committed corpus
# never grows; crash reproducers are kept in BUILD_DIR/fuzz-artifacts.
set -euo pipefail
build_dir=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts="$build_dir/fuzz-artifacts"
mkdir -p "$artifacts"

found=0
failed=()
for target in "$build_dir"/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target" _fuzz)
  mkdir -p "$scratch/$name"
  if [ -d "$here/corpus/$name" ]; then cp -R "$here/corpus/$name/." "$scratch/$name/"; fi
  echo "== fuzzing $name for ${seconds}s"
  # Every target runs even when an earlier one fails; the script fails at the end.
  "$target" -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$scratch/$name" || failed+=("$name")
done
if [ "$found" = 0 ]; then
  echo "no fuzz targets in $build_dir/fuzz" >&2
  exit 1
fi
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz targets failed: ${failed[*]} (reproducers in $artifacts)" >&2
  exit 1
fi
