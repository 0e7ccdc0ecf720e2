// Real objects for the reader tests: C sources compiled with the host's
// `gcc -m32 -c` (little-endian ELF32) into a temporary directory. Tests skip
// when the 32-bit compiler is not usable.
#pragma once
#include <cstdlib>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace elftest {

// Compiles `dir`/`name`.c holding `source` into `dir`/`object` with `flags`.
// Returns false when the compiler fails.
inline bool CompileM32(const testsupport::TempDir& dir, const std::string& name, const std::string& source,
                       const std::string& object, const std::string& flags = "") {
  testsupport::WriteFile(dir.File(name + ".c"), source);
  std::string command = "cd '" + dir.path() + "' && gcc -m32 -c " + flags + " '" + name + ".c' -o '" + object +
                        "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

inline const char* kGccSkipReason = "gcc -m32 -c is not usable on this host (32-bit support missing)";

// A source with the usual mix: globals, statics, common and thread-local
// data, functions calling each other, string constants.
inline std::string SampleSource(const std::string& prefix) {
  return "int " + prefix + "_counter = 1;\n"
         "static int " + prefix + "_hidden;\n"
         "int " + prefix + "_table[100];\n"
         "__thread int " + prefix + "_tls;\n"
         "const char* " + prefix + "_names[] = {\"a\", \"b\"};\n"
         "int " + prefix + "_add(int a, int b) { return a + b + " + prefix + "_counter + " + prefix + "_hidden; }\n"
         "static int " + prefix + "_twice(int x) { return x * 2; }\n"
         "int " + prefix + "_use(void) { return " + prefix + "_twice(" + prefix + "_add(1, 2)) + " + prefix +
         "_table[3] + " + prefix + "_tls; }\n";
}

}  // namespace elftest
