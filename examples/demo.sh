#!/usr/bin/env bash
# Demo of the main job: compile a small module with gcc -m32, put part of it
# in an archive, and let prepqdm write the export object and import library.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "compile the module (gcc -m32 -c) and archive the codecs"
for c in "$here"/sound/*.c; do gcc -m32 -O1 -fno-pic -c "$c" -o "$(basename "${c%.c}").o"; done
ar rcs libcodecs.a codec_pcm.o codec_adpcm_with_a_long_name.o
ar t libcodecs.a
cp "$here/sound/sound.def" .

step "prepqdm -o exports.o -x sound.def -log build.log -l libsound.a -r out/Sound.qdm mixer.o libcodecs.a"
TOOLCHAIN_ROOT="$build" "$build/prepqdm" -o exports.o -x sound.def -log build.log -v \
  -l libsound.a -r out/Sound.qdm mixer.o libcodecs.a
echo "exit status $?"

step "the log"
cat build.log

step "the export object, read back by readelf"
readelf -S -s -r -W exports.o

step "the import library"
ar tv libsound.a
nm -s libsound.a
