// The fuzz harnesses as plain functions, so that one body serves both the
// libFuzzer programs and the replay program that ctest runs over the kept
// regression inputs and the seed corpora in any build.
//
// Each harness takes arbitrary bytes, drives one reader of the program the
// way the program itself would, and aborts on any broken invariant (a file
// the program wrote that does not read back cleanly, a token the tokenizer
// should never produce). Sanitizer findings abort on their own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fuzzing {

// One object image: ParseElfImage and registration, symbol tracking, the
// in-code export search (or the -xall selection), the export object written
// and read back, and the import library built from it and read back.
int FuzzObject(const uint8_t* data, size_t size);

// One archive: the member walk, registration and tracking of the members,
// and the in-code export search over them.
int FuzzArchive(const uint8_t* data, size_t size);

// Definition and exclude text (split at kPartSeparator): the line scanner,
// definition-file-only records, selection and the exclude pass; the whole
// input also as response-file text through the tokenizer.
int FuzzText(const uint8_t* data, size_t size);

// A whole in-process run: byte 0 picks options, then a definition file, an
// exclude file and up to four inputs, separated by kPartSeparator. Every file
// the run writes must parse cleanly.
int FuzzRun(const uint8_t* data, size_t size);

// Separates the parts of a structured input.
constexpr std::string_view kPartSeparator = "PQDMPART";

using HarnessFunction = int (*)(const uint8_t*, size_t);

// The harness of that name (object, archive, text, run), or null.
HarnessFunction FindHarness(std::string_view name);

}  // namespace fuzzing
