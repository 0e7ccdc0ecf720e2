#include "driver/response_file.h"

#include <limits>

#include "host/environment.h"
#include "host/paths.h"

namespace prepqdm {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

void TokenizeLine(std::string_view line, std::vector<std::string>& tokens) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at == line.size()) break;
    size_t start = at;
    bool quoted = false;
    bool had_quote = false;
    for (; at < line.size(); ++at) {
      char c = line[at];
      if (c == '\t' || (c == ' ' && !quoted)) break;
      if (c == '"') {
        quoted = !quoted;
        had_quote = true;
      }
    }
    std::string_view raw = line.substr(start, at - start);
    // The token is a terminated string: a NUL byte ends it.
    raw = raw.substr(0, raw.find('\0'));
    std::string token;
    token.reserve(raw.size());
    for (char c : raw)
      if (!had_quote || c != '"') token += c;
    tokens.push_back(std::move(token));
  }
}

}  // namespace

void TokenizeResponseText(std::string_view text, std::vector<std::string>& tokens) {
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && IsLineEnd(text[at])) ++at;
    size_t start = at;
    while (at < text.size() && !IsLineEnd(text[at])) ++at;
    if (at > start) TokenizeLine(text.substr(start, at - start), tokens);
  }
}

Status ReadResponseFile(Mappings& mappings, std::string_view name, ResponseFile& file) {
  // The name of a response file is not limited to the classic path length.
  std::optional<std::string> path = FullPath(name, std::numeric_limits<size_t>::max());
  if (!path) return -1;
  MappedFile* mapped = nullptr;
  Status status = MapFile(mappings, *path, &mapped);
  if (status != kOk) return status;
  const std::string text = ResponseFileText(
      std::string_view(reinterpret_cast<const char*>(mapped->view), static_cast<size_t>(mapped->size)));
  TokenizeResponseText(text, file.tokens);
  file.current = 0;
  file.path = std::move(*path);
  ReleaseMappedFile(mapped);
  return kOk;
}

}  // namespace prepqdm
