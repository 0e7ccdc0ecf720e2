#!/usr/bin/env bash
# Demo of the main job: compile a small module with gcc -m32, put part of it
# in an archive, let prepqdm write the export object and the import library,
# read both back with the GNU tools, and link another module's code against
# the import library. When the PowerPC cross compiler is installed, the same
# module is built big-endian too. Everything it makes stays in demo/ of the
# build folder, to look at afterwards; a rerun starts that folder afresh.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
work="$build/demo"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "compile the module (gcc -m32 -c) and archive the codecs (GNU ar rcs, long member names)"
for c in mixer codec_pcm codec_adpcm_with_a_long_name; do
  gcc -m32 -O1 -fno-pic -c "$here/sound/$c.c" -o "$c.o"
done
ar rcs libcodecs.a codec_pcm.o codec_adpcm_with_a_long_name.o
ar t libcodecs.a
cp "$here/sound/sound.def" .
printf -- '-x sound.def -log build.log\nmixer.o libcodecs.a\n' > sound.rsp

step "prepqdm -o exports.o -v -l libsound.a -r out/Sound.qdm @sound.rsp   (sound.rsp: $(tr '\n' ' ' < sound.rsp))"
TOOLCHAIN_ROOT="$build" "$build/prepqdm" -o exports.o -v -l libsound.a -r out/Sound.qdm @sound.rsp
echo "exit status $?"

step "the log: the export listing"
cat build.log

step "the export object, read back by readelf"
echo "(.symtab's sh_info is 0 by design of the format; readelf warns about it)"
readelf -S -r -s -W exports.o 2>&1
readelf -x .fexports -x .dexports exports.o

step "the import library, indexed by ax: ar tv, nm -s"
ar tv libsound.a
nm -s libsound.a

if [ -x "$build/qdmdump" ]; then
  step "qdmdump: both files with their CRCs recomputed"
  "$build/qdmdump" exports.o libsound.a
else
  echo "(skipped qdmdump: $build/qdmdump was not built)"
fi

step "another module links against the import library alone (GNU ld)"
gcc -m32 -O1 -fno-pic -c "$here/sound/player.c" -o player.o
ld -m elf_i386 -z noexecstack -e player_start -o player player.o libsound.a
readelf -S -W player | grep -E 'Name|import'
nm -n player
objdump -d --disassemble=player_start player | grep -E 'call|0x804b'

if command -v powerpc-linux-gnu-gcc >/dev/null; then
  step "the same module for big-endian PowerPC (powerpc-linux-gnu-gcc -c, RELA relocations)"
  mkdir ppc && cd ppc
  for c in mixer codec_pcm codec_adpcm_with_a_long_name; do
    powerpc-linux-gnu-gcc -O1 -c "$here/sound/$c.c" -o "$c.o"
  done
  ar rcs libcodecs.a codec_pcm.o codec_adpcm_with_a_long_name.o
  cp ../sound.def ../sound.rsp .
  TOOLCHAIN_ROOT="$build" "$build/prepqdm" -o exports.o -l libsound.a -r out/Sound.qdm @sound.rsp
  readelf -h exports.o | grep -E 'Data|Machine'
  readelf -r -W exports.o
  powerpc-linux-gnu-gcc -O1 -c "$here/sound/player.c" -o player.o
  powerpc-linux-gnu-ld -z noexecstack -e player_start -o player player.o libsound.a
  nm -n player
  cd ..
else
  printf '\n(skipped the big-endian PowerPC part: powerpc-linux-gnu-gcc is not installed)\n'
fi

printf '\nThe files of the demo are in %s\n' "$work"
