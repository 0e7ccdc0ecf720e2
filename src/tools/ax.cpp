// Stand-in for the toolchain archiver on this host. Only "ax -ts FILE" is
// supported: it adds the archive symbol index to FILE by running GNU ar (or
// the program named by $AR) as "ar s FILE", directly and without a shell, and
// exits with its status.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "-ts") != 0) {
    std::fprintf(stderr, "usage: ax -ts <archive>\n");
    return 2;
  }
  const char* ar = std::getenv("AR");
  if (!ar || !*ar) ar = "ar";
  char s_option[] = "s";
  char* args[] = {const_cast<char*>(ar), s_option, argv[2], nullptr};
  execvp(ar, args);
  std::fprintf(stderr, "ax: cannot run %s: %s\n", ar, std::strerror(errno));
  return 127;
}
