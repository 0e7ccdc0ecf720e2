// The line scanner shared by every reading of a definition or exclude file.
//
// The text is raw bytes, no character set. Lines end at any run of CR and LF
// bytes (so CR LF, LF and CR all work and empty lines vanish); only space and
// tab are blanks. A line is trimmed of blanks at both ends; an empty line or
// one that begins with ';' or '#' is skipped. Otherwise the first ';' or '#'
// starts a trailing comment, which is cut together with the blanks before it.
// What is left is the token: a directive when it begins with '[', otherwise
// one symbol name, inner blanks included. Tokens point into the scanned bytes
// and are never copied; the scanner never looks past `size`.
#pragma once
#include <cstdint>
#include <string_view>

#include "host/status.h"

namespace prepqdm {

enum class DefTokenType { kDirective, kSymbol };

inline bool IsDefBlank(uint8_t byte) { return byte == ' ' || byte == '\t'; }
inline bool IsDefLineEnd(uint8_t byte) { return byte == '\r' || byte == '\n'; }
inline bool IsDefComment(uint8_t byte) { return byte == ';' || byte == '#'; }


// Calls visit(DefTokenType, std::string_view token, uint32_t line) for each
// token in file order; `line` counts from 1, and CR LF, LF
// and a lone CR each end one line, as editors count them. A non-zero status
// from `visit` ends the scan and is returned; otherwise the result is 0.
template <class Visit>
Status ScanDefLines(const uint8_t* text, uint64_t size, Visit&& visit) {
  uint64_t position = 0;
  uint32_t line = 1;
  while (true) {
    for (; position < size && IsDefLineEnd(text[position]); ++position)
      if (text[position] == '\n' || position + 1 == size || text[position + 1] != '\n') ++line;
    if (position >= size) return kOk;

    uint64_t line_begin = position;
    while (position < size && !IsDefLineEnd(text[position])) ++position;
    uint64_t line_end = position;

    while (line_begin < line_end && IsDefBlank(text[line_begin])) ++line_begin;
    while (line_end > line_begin && IsDefBlank(text[line_end - 1])) --line_end;
    if (line_begin == line_end || IsDefComment(text[line_begin])) continue;

    uint64_t token_end = line_begin;
    while (token_end < line_end && !IsDefComment(text[token_end])) ++token_end;
    while (token_end > line_begin && IsDefBlank(text[token_end - 1])) --token_end;

    // Mappings are below 4 GiB, so a token length fits in 32 bits.
    DefTokenType type = text[line_begin] == '[' ? DefTokenType::kDirective : DefTokenType::kSymbol;
    const std::string_view token(reinterpret_cast<const char*>(text) + line_begin, token_end - line_begin);
    Status status = visit(type, token, line);
    if (status != kOk) return status;
  }
}

// The same without line numbers: visit(DefTokenType, token).
template <class Visit>
Status ScanDefText(const uint8_t* text, uint64_t size, Visit&& visit) {
  return ScanDefLines(text, size, [&](DefTokenType type, std::string_view token, uint32_t) { return visit(type, token); });
}

}  // namespace prepqdm
