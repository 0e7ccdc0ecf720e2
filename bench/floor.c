/* The least work any symbol selector must do, for bench/run.py to time
 * beside the real tools: map every input, walk the symbol table of each
 * ELF32 object (archive members too, either byte order) and put every
 * defined global or weak name into an open-addressing hash set. Prints the
 * number of distinct names, or with -l the names themselves, one a line.
 *
 *   bench-floor [-l] FILE...
 *
 * Names are not copied: the set points into the mappings, which stay until
 * exit. Symbols before a table's sh_info are locals by the ELF rules and are
 * not read. Malformed input is reported, not trusted. No dependency beyond
 * POSIX, so it builds with any C compiler: cc -O2 -o bench-floor floor.c
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

typedef struct {
  const char *name; /* NULL: empty slot */
  uint32_t length;
  uint32_t hash;
} Slot;

static Slot *slots;
static size_t capacity; /* a power of two */
static size_t count;
static int failed;

static uint64_t HashBytes(const unsigned char *p, size_t n) {
  uint64_t h = 0x243F6A8885A308D3ull ^ n;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    memcpy(&w, p, 8);
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  uint64_t w = 0;
  memcpy(&w, p, n);
  h = (h ^ w) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 32);
}

static void Place(Slot s) {
  size_t mask = capacity - 1;
  for (size_t i = s.hash & mask;; i = (i + 1) & mask) {
    if (slots[i].name == NULL) {
      slots[i] = s;
      return;
    }
  }
}

static void Grow(void) {
  Slot *old = slots;
  size_t old_capacity = capacity;
  capacity = capacity ? capacity * 2 : 1u << 16;
  slots = calloc(capacity, sizeof(Slot));
  if (slots == NULL) {
    fprintf(stderr, "bench-floor: out of memory\n");
    exit(2);
  }
  for (size_t i = 0; i < old_capacity; ++i)
    if (old[i].name != NULL) Place(old[i]);
  free(old);
}

static void Insert(const char *name, size_t length) {
  if (length > UINT32_MAX) return;
  uint64_t h = HashBytes((const unsigned char *)name, length);
  Slot s = {name, (uint32_t)length, (uint32_t)(h >> 32)};
  size_t mask = capacity - 1;
  for (size_t i = s.hash & mask;; i = (i + 1) & mask) {
    if (slots[i].name == NULL) break;
    if (slots[i].hash == s.hash && slots[i].length == s.length && memcmp(slots[i].name, name, length) == 0)
      return;
  }
  if (2 * (count + 1) > capacity) Grow();
  Place(s);
  ++count;
}

static uint16_t Read16(const unsigned char *p, int big) {
  uint16_t v;
  memcpy(&v, p, 2);
  return big ? __builtin_bswap16(v) : v;
}

static uint32_t Read32(const unsigned char *p, int big) {
  uint32_t v;
  memcpy(&v, p, 4);
  return big ? __builtin_bswap32(v) : v;
}

static void Bad(const char *path, const char *why) {
  fprintf(stderr, "bench-floor: %s: %s\n", path, why);
  failed = 1;
}

/* Every (offset, size) pair is checked against the object's size before use. */
static int Inside(uint64_t offset, uint64_t size, uint64_t total) { return offset <= total && size <= total - offset; }

static void WalkObject(const char *path, const unsigned char *p, size_t size) {
  if (size < 52 || p[4] != 1 || (p[5] != 1 && p[5] != 2)) {
    Bad(path, "not an ELF32 object");
    return;
  }
  int big = p[5] == 2;
  uint32_t shoff = Read32(p + 32, big);
  uint32_t shentsize = Read16(p + 46, big);
  uint64_t shnum = Read16(p + 48, big);
  if (shoff == 0) return;
  if (shentsize < 40 || !Inside(shoff, shentsize, size)) {
    Bad(path, "bad section header table");
    return;
  }
  if (shnum == 0) shnum = Read32(p + shoff + 20, big); /* many sections: the count is in section 0 */
  if (!Inside(shoff, shnum * shentsize, size)) {
    Bad(path, "bad section header table");
    return;
  }
  for (uint64_t i = 0; i < shnum; ++i) {
    const unsigned char *sh = p + shoff + i * shentsize;
    if (Read32(sh + 4, big) != 2 /* SHT_SYMTAB */) continue;
    uint32_t offset = Read32(sh + 16, big), bytes = Read32(sh + 20, big);
    uint32_t link = Read32(sh + 24, big), first = Read32(sh + 28, big), entsize = Read32(sh + 36, big);
    if (entsize == 0) entsize = 16;
    if (entsize < 16 || !Inside(offset, bytes, size) || link >= shnum) {
      Bad(path, "bad symbol table");
      continue;
    }
    const unsigned char *strsh = p + shoff + (uint64_t)link * shentsize;
    uint32_t stroff = Read32(strsh + 16, big), strsize = Read32(strsh + 20, big);
    if (!Inside(stroff, strsize, size)) {
      Bad(path, "bad string table");
      continue;
    }
    const char *strings = (const char *)p + stroff;
    uint32_t symbols = bytes / entsize;
    if (first == 0) first = 1;
    for (uint32_t k = first; k < symbols; ++k) {
      const unsigned char *sym = p + offset + (uint64_t)k * entsize;
      unsigned bind = sym[12] >> 4;
      if (bind != 1 && bind != 2 && bind != 10) continue; /* global, weak, GNU unique */
      if (Read16(sym + 14, big) == 0) continue;            /* undefined */
      uint32_t name = Read32(sym, big);
      if (name >= strsize) {
        Bad(path, "symbol name outside its string table");
        continue;
      }
      const char *end = memchr(strings + name, 0, strsize - name);
      if (end == NULL) {
        Bad(path, "unterminated symbol name");
        continue;
      }
      if (end > strings + name) Insert(strings + name, (size_t)(end - strings - name));
    }
  }
}

static void WalkArchive(const char *path, const unsigned char *p, size_t size) {
  size_t at = 8;
  while (at < size) {
    if (size - at < 60 || p[at + 58] != '`' || p[at + 59] != '\n') {
      Bad(path, "bad archive member header");
      return;
    }
    uint64_t member = 0;
    for (int i = 48; i < 58 && p[at + i] != ' '; ++i) {
      if (p[at + i] < '0' || p[at + i] > '9') {
        Bad(path, "bad archive member size");
        return;
      }
      member = member * 10 + (p[at + i] - '0');
    }
    at += 60;
    if (member > size - at) {
      Bad(path, "archive member past the end");
      return;
    }
    /* The symbol index and the long-name table are not objects. */
    if (member >= 4 && memcmp(p + at, "\177ELF", 4) == 0) WalkObject(path, p + at, member);
    at += member + (member & 1);
  }
}

int main(int argc, char **argv) {
  int list = 0;
  int first = 1;
  if (argc > 1 && strcmp(argv[1], "-l") == 0) {
    list = 1;
    first = 2;
  }
  if (first >= argc) {
    fprintf(stderr, "usage: bench-floor [-l] FILE...\n");
    return 2;
  }
  Grow();
  for (int a = first; a < argc; ++a) {
    const char *path = argv[a];
    int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      perror(path);
      failed = 1;
      if (fd >= 0) close(fd);
      continue;
    }
    size_t size = (size_t)st.st_size;
    if (size == 0) {
      Bad(path, "empty file");
      close(fd);
      continue;
    }
    const unsigned char *p = mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
      perror(path);
      failed = 1;
      continue;
    }
    if (size >= 8 && memcmp(p, "!<arch>\n", 8) == 0)
      WalkArchive(path, p, size);
    else if (size >= 4 && memcmp(p, "\177ELF", 4) == 0)
      WalkObject(path, p, size);
    else
      Bad(path, "neither an ELF object nor an archive");
  }
  if (list) {
    for (size_t i = 0; i < capacity; ++i)
      if (slots[i].name != NULL) printf("%.*s\n", (int)slots[i].length, slots[i].name);
  } else {
    printf("%zu\n", count);
  }
  return failed;
}
