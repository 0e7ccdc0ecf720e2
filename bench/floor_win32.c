/* The least any Windows reader of the inputs must pay, for bench/run.py
 * --wine to time beside prepqdm.exe under the same Wine: open every input as
 * prepqdm.exe does (CreateFileW, read access, read sharing), map it
 * copy-on-write (PAGE_WRITECOPY, FILE_MAP_COPY), touch one byte per 4 KiB
 * page, unmap and close it. Prints the number of files and pages and a sum of
 * the bytes touched, so that no read can be left out.
 *
 *   bench-floor.exe [FILE | @RESPONSE-FILE]...
 *
 * A response file is read as prepqdm.exe reads one: text in the ANSI code
 * page, words separated by blanks and line ends, double quotes grouping a
 * word with blanks and then dropped. Its words are file names. With no
 * inputs it only starts and exits, which times the Wine start-up.
 * Build: x86_64-w64-mingw32-gcc -O2 -municode -o bench-floor.exe floor_win32.c
 */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t files, pages, sum;
static int failed;

static void Fail(const wchar_t *path, const char *what) {
  fprintf(stderr, "bench-floor: %ls: %s failed (error %lu)\n", path, what, (unsigned long)GetLastError());
  failed = 1;
}

static void Touch(const wchar_t *path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    Fail(path, "CreateFileW");
    return;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    Fail(path, "GetFileSizeEx");
    CloseHandle(file);
    return;
  }
  ++files;
  /* An empty file cannot be mapped; prepqdm.exe refuses it as well. */
  if (size.QuadPart == 0 || (size.QuadPart >> 32) != 0) {
    CloseHandle(file);
    return;
  }
  HANDLE mapping = CreateFileMappingW(file, NULL, PAGE_WRITECOPY, 0, (DWORD)size.QuadPart, NULL);
  if (mapping == NULL) {
    Fail(path, "CreateFileMappingW");
    CloseHandle(file);
    return;
  }
  const volatile unsigned char *view = MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, 0);
  if (view == NULL) {
    Fail(path, "MapViewOfFile");
  } else {
    for (uint64_t at = 0; at < (uint64_t)size.QuadPart; at += 4096) {
      sum += view[at];
      ++pages;
    }
    UnmapViewOfFile((const void *)view);
  }
  CloseHandle(mapping);
  CloseHandle(file);
}

static int IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

/* One word of ANSI text to UTF-16, then touched. */
static void TouchWord(const char *word, int length) {
  int wide = MultiByteToWideChar(CP_ACP, 0, word, length, NULL, 0);
  wchar_t *path = malloc(((size_t)wide + 1) * sizeof(wchar_t));
  if (path == NULL) {
    fprintf(stderr, "bench-floor: out of memory\n");
    exit(2);
  }
  MultiByteToWideChar(CP_ACP, 0, word, length, path, wide);
  path[wide] = 0;
  Touch(path);
  free(path);
}

static void ReadResponseFile(const wchar_t *path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) || size.QuadPart >= (1 << 30)) {
    Fail(path, "reading the response file");
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return;
  }
  DWORD length = (DWORD)size.QuadPart, got = 0;
  char *text = malloc((size_t)length + 1);
  char *word = malloc((size_t)length + 1);
  if (text == NULL || word == NULL) {
    fprintf(stderr, "bench-floor: out of memory\n");
    exit(2);
  }
  if (!ReadFile(file, text, length, &got, NULL) || got != length) {
    Fail(path, "ReadFile");
    length = 0;
  }
  CloseHandle(file);
  for (DWORD at = 0; at < length;) {
    while (at < length && IsBlank(text[at])) ++at;
    if (at == length) break;
    int quoted = 0, n = 0;
    /* As prepqdm.exe: a tab or a line end ends a word even inside quotes. */
    for (; at < length; ++at) {
      char c = text[at];
      if (c == '\t' || c == '\r' || c == '\n' || (c == ' ' && !quoted)) break;
      if (c == '"')
        quoted = !quoted;
      else
        word[n++] = c;
    }
    TouchWord(word, n);
  }
  free(word);
  free(text);
}

int wmain(int argc, wchar_t **argv) {
  for (int a = 1; a < argc; ++a) {
    if (argv[a][0] == L'@')
      ReadResponseFile(argv[a] + 1);
    else
      Touch(argv[a]);
  }
  printf("%llu files, %llu pages, sum %llu\n", (unsigned long long)files, (unsigned long long)pages,
         (unsigned long long)sum);
  return failed;
}
