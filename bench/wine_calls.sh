#!/usr/bin/env bash
# Counts the calls prepqdm.exe itself makes into KERNEL32, KERNELBASE and
# ntdll for each input, under Wine's relay trace: one -xall run over the
# first N objects of benchmark set 1 and one over the first N+1, keeping only
# the calls whose return address lies in prepqdm.exe's image (not those the
# C runtime DLL or Wine make on its behalf), counted per function; the last
# column, the difference, is what one more input costs. Below them, marked
# with ~, the system calls (ntdll's Nt functions) the process made, whoever
# called them: what those functions cost in trips into the kernel.
#   bench/wine_calls.sh BUILD_WIN_DIR [N]
# WINEPREFIX defaults to BUILD_WIN_DIR/wine-prefix; inputs come from
# BENCH_DIR (default /tmp/prepqdm-bench). The process and the base of its
# image come from the loader's trace, the image's size from its PE header;
# Wine's own programs (services, wineboot) in the same trace are left out.
set -euo pipefail
build=$(cd "$1" && pwd)
n=${2:-5}
exe=$build/prepqdm.exe
set1=${BENCH_DIR:-/tmp/prepqdm-bench}/set1
[ -f "$exe" ] || { echo "wine_calls.sh: no prepqdm.exe in $build" >&2; exit 2; }
[ -f "$set1/inputs.txt" ] || { echo "wine_calls.sh: no benchmark set 1 in $set1" >&2; exit 2; }
export WINEPREFIX=${WINEPREFIX:-$build/wine-prefix} LANG=C.UTF-8 LC_ALL=C.UTF-8
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
size=$(awk '$1 == "SizeOfImage" { print $2 }' <<<"$headers")
work=$(mktemp -d /tmp/prepqdm-calls.XXXXXX)
trap 'rm -rf "$work"' EXIT

trace() {  # trace COUNT: the relay lines of a run over COUNT inputs
  # Each run starts without an output, or the second would look it up more.
  rm -f "$work/out.o"
  # shellcheck disable=SC2046
  (cd "$set1" && WINEDEBUG=+pid,+loaddll,+relay wine "$exe" -xall -o "$work/out.o" $(head -n "$1" inputs.txt) \
     >/dev/null 2>"$work/relay.$1")
}
count() {  # count COUNT: "function calls" for the calls made from the image
  awk -v size=$((16#$size)) '
    function hex(s,  i, v) {
      s = tolower(s)
      for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
      return v
    }
    /:trace:loaddll:.*[\\]prepqdm\.exe" at / {
      pid = substr($0, 1, 4)
      at = $(NF - 1)
      sub(/:$/, "", at)
      base = hex(at)
    }
    substr($0, 1, 4) == pid && match($0, /:Call (KERNEL32|KERNELBASE|ntdll)\.[A-Za-z0-9_]+\(/) {
      name = substr($0, RSTART + 6, RLENGTH - 7)
      if (!match($0, / ret=[0-9a-fA-F]+$/)) next
      ret = hex(substr($0, RSTART + 5))
      if (ret >= base && ret < base + size) calls[name]++
    }
    substr($0, 1, 4) == pid && match($0, /:Call ntdll\.Nt[A-Za-z0-9_]+\(/) {
      calls["~" substr($0, RSTART + 6, RLENGTH - 7)]++
    }
    END { for (f in calls) print f, calls[f] }' "$work/relay.$1" | sort
}
trace "$n"
trace $((n + 1))
count "$n" >"$work/a"
count $((n + 1)) >"$work/b"
join -a1 -a2 -e0 -o 0,1.2,2.2 "$work/a" "$work/b" |
  awk -v n="$n" 'BEGIN { printf "%-40s %8s %8s %8s\n", "function", n, n + 1, "per input" }
    /^~/ && !system_calls { printf "%-40s %8s %8s %8d\n", "all", "", "", total; system_calls = 1; total = 0 }
    { d = $3 - $2; total += d; printf "%-40s %8d %8d %8d\n", $1, $2, $3, d }
    END { printf "%-40s %8s %8s %8d\n", system_calls ? "~all" : "all", "", "", total }'
