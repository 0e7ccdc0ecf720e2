#!/usr/bin/env bash
# The benchmark in one command: generates the input sets when they are
# missing or stale (BENCH_DIR, default /tmp/prepqdm-bench, outside the
# repository), then times prepqdm against llvm-nm-14 and GNU nm and prints
# the table of ratios. The floor program (bench/floor.c) is built beside
# prepqdm as bench-floor, with the system C compiler.
#   bench/run.sh [build-dir] [--runs N] [--groups 1,2,3,4,5,6,7,1r]
# With --wine, the Windows build in build-win-dir is timed under Wine on
# sets 1 and 2 instead (bench/run.py says how), and the Win32 floor
# (bench/floor_win32.c) is built beside prepqdm.exe as bench-floor.exe:
#   bench/run.sh [build-dir] --wine build-win-dir [--runs N] [--groups 1,2]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
shift || true
wine_build=
args=("$@")
for ((i = 0; i < ${#args[@]}; ++i)); do
  case ${args[i]} in
    --wine) wine_build=${args[i + 1]:-} ;;
    --wine=*) wine_build=${args[i]#--wine=} ;;
  esac
done
[ -x "$build/prepqdm" ] || { echo "run.sh: no prepqdm in $build (build it first)" >&2; exit 2; }
if [ -n "$wine_build" ]; then
  [ -f "$wine_build/prepqdm.exe" ] || { echo "run.sh: no prepqdm.exe in $wine_build (build it first)" >&2; exit 2; }
  command -v wine >/dev/null || { echo "run.sh: wine is needed" >&2; exit 2; }
  floor=$wine_build/bench-floor.exe
  if [ ! -f "$floor" ] || [ "$here/floor_win32.c" -nt "$floor" ]; then
    x86_64-w64-mingw32-gcc -std=c11 -O2 -municode -o "$floor" "$here/floor_win32.c"
  fi
  # Only sets 1 and 2 are timed under Wine.
  python3 - "$here" <<'PY'
import os, sys
sys.path.insert(0, sys.argv[1])
import generate
root = generate.bench_dir()
generate.generate_set1(root, int(os.environ.get("BENCH_JOBS", "2")))
generate.generate_set2(root)
PY
  exec python3 "$here/run.py" "$build" "$@"
fi
[ -x "$build/ax" ] || { echo "run.sh: no ax in $build" >&2; exit 2; }
command -v llvm-nm-14 >/dev/null || { echo "run.sh: llvm-nm-14 is needed" >&2; exit 2; }
floor=$build/bench-floor
if [ ! -x "$floor" ] || [ "$here/floor.c" -nt "$floor" ]; then
  "${CC:-cc}" -std=c11 -O2 -o "$floor" "$here/floor.c"
fi
python3 "$here/generate.py"
exec python3 "$here/run.py" "$build" "$@"
