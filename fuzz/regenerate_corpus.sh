#!/usr/bin/env bash
# Rebuilds the seed corpora in fuzz/corpus: real objects from the host's
# `gcc -m32 -c` (little-endian i386) and `powerpc-linux-gnu-gcc -c`
# (big-endian PowerPC), a GNU `ar` archive of them, and the generated seeds of
# make_fuzz_seeds, which also wraps the real objects into archives and runs.
#   fuzz/regenerate_corpus.sh <build folder that has make_fuzz_seeds>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?usage: regenerate_corpus.sh <build folder>}"
seeds="$build/fuzz/make_fuzz_seeds"
[ -x "$seeds" ] || { echo "build $seeds first (PREPQDM_FUZZ=ON with tests)"; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cat > "$work/module.c" <<'C'
int counter = 1;
static int hidden;
int table[8];
int common_block;
__thread int per_thread;
__attribute__((weak)) int tunable = 3;
const char* names[] = {"a", "b"};
int add(int a, int b) { return a + b + counter + hidden; }
__attribute__((weak)) int hook(int x) { return x; }
static int twice(int x) { return x * 2; }
int use(void) { return twice(add(1, 2)) + table[3] + per_thread + hook(4); }
/* Exports declared in code: one relocated word per export. */
__attribute__((section(".export"), used)) static const void* const exported[] = {(const void*)add, &counter, &table};
C
cat > "$work/helper.c" <<'C'
extern int counter;
int helper_value = 7;
int helper(void) { return counter * helper_value; }
C

objects=()
for src in module helper; do
  if gcc -m32 -c -O1 "$work/$src.c" -o "$work/${src}_i386.o" 2>/dev/null; then objects+=("$work/${src}_i386.o"); fi
  if powerpc-linux-gnu-gcc -c -O1 "$work/$src.c" -o "$work/${src}_ppc.o" 2>/dev/null; then objects+=("$work/${src}_ppc.o"); fi
done

rm -rf "$here/corpus"
mkdir -p "$here/corpus"/{object,archive,text,run}
for object in "${objects[@]}"; do cp "$object" "$here/corpus/object/real_$(basename "$object")"; done
if [ ${#objects[@]} -gt 0 ]; then
  (cd "$work" && ar rcs gnu.a $(for o in "${objects[@]}"; do basename "$o"; done))
  cp "$work/gnu.a" "$here/corpus/archive/real_gnu.a"
fi
"$seeds" "$here/corpus" "${objects[@]}"
du -sh "$here/corpus"
