#!/usr/bin/env bash
# The source layout's rules, checked on every test run:
#  1. only src/host (and the stand-alone tools) include platform headers;
#  2. includes point downward: driver, inspect and dump -> output -> exports
#     -> symbols -> elf -> host;
#  3. only src/host knows which host it is built for: no _WIN32 test
#     anywhere else, tests included (the build picks host-specific files);
#  4. the Windows host uses the Win32 API and the C runtime, no POSIX header;
#  5. each fact has one home: files are compared by identity only in
#     src/host (SameFile), reader status numbers live in src/elf, and the ELF
#     magic is spelled once (kElfMagic).
set -u
src="${1:?usage: layout_rules.sh <src folder> [tests folder]}"
tests="${2:-}"
status=0

host_test=$(grep -rnE '\b_WIN32\b' "$src" $tests --include='*.cpp' --include='*.h' | grep -vE "^$src/host/")
if [ -n "$host_test" ]; then
  echo "_WIN32 outside src/host:"
  echo "$host_test"
  status=1
fi

posix_in_windows=$(grep -rnE '#include <(sys/|unistd\.h|fcntl\.h|spawn\.h|dirent\.h|signal\.h|pthread\.h|dlfcn\.h|poll\.h|termios\.h)' \
  "$src/host/win32" --include='*.cpp' --include='*.h' 2>/dev/null)
if [ -n "$posix_in_windows" ]; then
  echo "POSIX headers in the Windows host:"
  echo "$posix_in_windows"
  status=1
fi

platform=$(grep -rnE '#include <(sys/|unistd\.h|fcntl\.h|spawn\.h|dirent\.h|signal\.h|windows\.h|io\.h|direct\.h)' \
  "$src" --include='*.cpp' --include='*.h' | grep -vE "^$src/(host|tools)/")
if [ -n "$platform" ]; then
  echo "platform headers outside src/host:"
  echo "$platform"
  status=1
fi

upward=$(grep -rnE '#include "[a-z]+/' "$src" --include='*.cpp' --include='*.h' | grep -v "^$src/tools/" |
  awk -v src="$src/" '
    BEGIN { split("host elf symbols exports output driver inspect dump", names, " ");
            for (i = 1; i <= 8; ++i) level[names[i]] = (i <= 6 ? i : 6) }
    { path = substr($0, length(src) + 1); split(path, a, "/"); from = a[1]
      match($0, /#include "[a-z]+\//); to = substr($0, RSTART + 10, RLENGTH - 11)
      if (!(to in level) || !(from in level) || level[to] > level[from]) print }')
if [ -n "$upward" ]; then
  echo "includes pointing upward (driver, inspect, dump -> output -> exports -> symbols -> elf -> host):"
  echo "$upward"
  status=1
fi
# grep -E over the sources (and tests) outside the paths matching $2.
outside() {
  grep -rnE "$1" "$src" $tests --include='*.cpp' --include='*.h' | grep -vE "$2"
}
report() {
  if [ -n "$2" ]; then
    echo "$1"
    echo "$2"
    status=1
  fi
}
report "file identities compared outside src/host (use SameFile):" \
  "$(outside '(device|inode) ==|st_ino|nFileIndex' "^($src/host/|${tests:-$src/host}/host/)")"
report "reader status numbers outside src/elf (use ReaderStatusCode):" \
  "$(outside '0xBAD000[0-9A-Fa-f]{2}' "^($src/elf/|${tests:-$src/elf}/)")"
report "the ELF magic spelled out (use kElfMagic):" \
  "$(outside '"\\x7F" "ELF"' "^$src/elf/elf_format.h:")"

[ $status -eq 0 ] && echo "layout rules hold"
exit $status
