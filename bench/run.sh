#!/usr/bin/env bash
# The benchmark in one command: generates the input sets when they are
# missing or stale (BENCH_DIR, default /tmp/prepqdm-bench, outside the
# repository), then times prepqdm against llvm-nm-14 and GNU nm and prints
# the table of ratios. The floor program (bench/floor.c) is built beside
# prepqdm as bench-floor, with the system C compiler.
#   bench/run.sh [build-dir] [--runs N] [--groups 1,2,3,4,5,6,7,1r]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
shift || true
[ -x "$build/prepqdm" ] || { echo "run.sh: no prepqdm in $build (build it first)" >&2; exit 2; }
[ -x "$build/ax" ] || { echo "run.sh: no ax in $build" >&2; exit 2; }
command -v llvm-nm-14 >/dev/null || { echo "run.sh: llvm-nm-14 is needed" >&2; exit 2; }
floor=$build/bench-floor
if [ ! -x "$floor" ] || [ "$here/floor.c" -nt "$floor" ]; then
  "${CC:-cc}" -std=c11 -O2 -o "$floor" "$here/floor.c"
fi
python3 "$here/generate.py"
exec python3 "$here/run.py" "$build" "$@"
