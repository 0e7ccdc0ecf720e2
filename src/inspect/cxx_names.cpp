// Demangling is the C++ runtime's (abi::__cxa_demangle, in libstdc++ for
// both hosts). The forms of a demangled name come from a light scan, not a
// C++ parser: brackets are matched, and an operator's name ("operator<",
// "operator()", "operator new") counts as a word, so its symbols open no
// bracket. A name the scan misreads only goes without a suggestion.
#include "inspect/cxx_names.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace prepqdm {

namespace {

bool IsWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// S_, S<seq>_, T_ and T<seq>_, the sequence in base 36 (digits, capitals).
// An identifier with capitals may add to the count: that errs on the safe
// side.
size_t BackReferences(std::string_view name) {
  size_t count = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != 'S' && name[i] != 'T') continue;
    size_t k = i + 1;
    while (k < name.size() && ((name[k] >= '0' && name[k] <= '9') || (name[k] >= 'A' && name[k] <= 'Z'))) ++k;
    if (k < name.size() && name[k] == '_') ++count;
  }
  return count;
}

enum class Role : unsigned char { kNested, kTop, kOperator };

bool AtOperatorWord(std::string_view s, size_t at) {
  constexpr std::string_view kWord = "operator";
  return s.substr(at, kWord.size()) == kWord && (at == 0 || !IsWordByte(s[at - 1])) &&
         (at + kWord.size() == s.size() || !IsWordByte(s[at + kWord.size()]));
}

// Where the operator name whose symbols begin at `at` (just after the word
// "operator") ends. A blank starts a word operator ("new", "delete[]") or a
// conversion ("operator unsigned int"): up to the parameter list.
size_t OperatorNameEnd(std::string_view s, size_t at) {
  if (at < s.size() && IsBlank(s[at])) {
    size_t depth = 0;
    for (; at < s.size(); ++at) {
      if (s[at] == '(' && depth == 0) break;
      if (s[at] == '<') ++depth;
      if (s[at] == '>' && depth > 0) --depth;
    }
    return at;
  }
  const std::string_view rest = s.substr(at);
  if (rest.starts_with("()") || rest.starts_with("[]")) return at + 2;
  constexpr std::string_view kSymbols = "<>=!+-*/%^&|~,";
  while (at < s.size() && kSymbols.find(s[at]) != std::string_view::npos) ++at;
  return at;
}

// For each byte: inside a pair of (), <>, [] or {}, at the top level (a
// pair's own brackets at the top level included), or part of an operator's
// name at the top level.
std::vector<Role> Roles(std::string_view s) {
  std::vector<Role> roles(s.size(), Role::kNested);
  size_t depth = 0;
  for (size_t i = 0; i < s.size();) {
    if (AtOperatorWord(s, i)) {
      for (const size_t end = OperatorNameEnd(s, i + 8); i < end; ++i)
        roles[i] = depth == 0 ? Role::kOperator : Role::kNested;
      continue;
    }
    const char c = s[i];
    if ((c == ')' || c == '>' || c == ']' || c == '}') && depth > 0) --depth;
    roles[i] = depth == 0 ? Role::kTop : Role::kNested;
    if (c == '(' || c == '<' || c == '[' || c == '{') ++depth;
    ++i;
  }
  return roles;
}

// What may follow a member function's parameter list: "const", "&&", ...
bool OnlyQualifiers(std::string_view tail) {
  size_t i = 0;
  while (i < tail.size()) {
    if (IsBlank(tail[i]) || tail[i] == '&') {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < tail.size() && IsWordByte(tail[end])) ++end;
    const std::string_view word = tail.substr(i, end - i);
    if (word != "const" && word != "volatile" && word != "restrict" && word != "noexcept" &&
        word != "transaction_safe")
      return false;
    i = end;
  }
  return true;
}

// `name` with blanks kept only between two word characters ("unsigned
// int"), so that "add(int, int)" and "add(int,int)" compare equal.
std::string NormalizedCxxName(std::string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size();) {
    if (!IsBlank(name[i])) {
      out += name[i++];
      continue;
    }
    while (i < name.size() && IsBlank(name[i])) ++i;
    if (!out.empty() && i < name.size() && IsWordByte(out.back()) && IsWordByte(name[i])) out += ' ';
  }
  return out;
}

// Where the parts of a demangled name lie: [qualified, name_end) is the name
// with its qualifiers, [unqualified, name_end) without them, each of
// `scopes` where one less qualifier begins, base_end (when the name is a
// template's) where its arguments begin; `parameters` is the parameter list
// with the qualifiers after it, empty for a variable.
struct CxxNameParts {
  std::string_view text;  // the name without compilers' clone suffixes
  size_t qualified = 0;
  std::vector<size_t> scopes;  // the last is `unqualified`
  size_t unqualified = 0;
  size_t name_end = 0;
  size_t base_end = std::string_view::npos;
  std::string_view parameters;
};

CxxNameParts PartsOf(std::string_view demangled) {
  CxxNameParts p;
  std::string_view s = demangled;
  // Compilers' clones ("f(int) [clone .cold]") are named as the function.
  for (size_t clone; s.ends_with(']') && (clone = s.rfind(" [clone ")) != std::string_view::npos;)
    s = s.substr(0, clone);
  p.text = s;
  const std::vector<Role> roles = Roles(s);

  // The parameter list: the last top-level "(", when only qualifiers follow
  // its ")".
  p.name_end = s.size();
  for (size_t i = s.size(); i-- > 0;) {
    if (roles[i] != Role::kTop || s[i] != '(') continue;
    size_t close = i + 1;
    while (close < s.size() && !(roles[close] == Role::kTop && s[close] == ')')) ++close;
    if (close < s.size() && OnlyQualifiers(s.substr(close + 1))) p.name_end = i;
    break;
  }
  p.parameters = s.substr(p.name_end);

  // A function template's return type stands before its name; the blank
  // in "operator< <int>" is not the one after it.
  if (!p.parameters.empty())
    for (size_t i = p.name_end; i-- > 0;)
      if (roles[i] == Role::kTop && IsBlank(s[i]) && !(i > 0 && roles[i - 1] == Role::kOperator)) {
        p.qualified = i + 1;
        break;
      }
  p.unqualified = p.qualified;
  for (size_t i = p.qualified + 1; i < p.name_end; ++i)
    if (roles[i] == Role::kTop && s[i] == ':' && roles[i - 1] == Role::kTop && s[i - 1] == ':') {
      p.scopes.push_back(i + 1);
      p.unqualified = i + 1;
    }
  if (p.name_end > p.unqualified && s[p.name_end - 1] == '>' && roles[p.name_end - 1] == Role::kTop)
    for (size_t i = p.name_end - 1; i-- > p.unqualified;)
      if (roles[i] == Role::kTop && s[i] == '<') {
        p.base_end = i;
        while (p.base_end > p.unqualified && IsBlank(s[p.base_end - 1])) --p.base_end;
        break;
      }
  return p;
}

// The name without qualifiers, template arguments and parameters: what
// every form of it ends in, the index's key.
std::string BaseName(std::string_view name) {
  const CxxNameParts p = PartsOf(name);
  const size_t end = p.base_end != std::string_view::npos && p.base_end > p.unqualified ? p.base_end : p.name_end;
  return NormalizedCxxName(p.text.substr(p.unqualified, end - p.unqualified));
}



// Whether `wanted` (normalized) is one of the ways to write the entity
// `demangled` names: in full; without a function template's return type;
// each of those with or without the parameter list (and the qualifiers
// after it), with all, some or none of the namespace and class qualifiers
// ("Mixer::volume" for audio::Mixer::volume()), and a template's name with
// or without its arguments. The name is normalized once and each form
// compared in place, so a long name costs little.
bool Writes(std::string_view demangled, std::string_view wanted) {
  const CxxNameParts p = PartsOf(demangled);
  // The normalized text, and where each byte of the text went in it. A
  // form's ends are never next to a blank that normalizing keeps.
  std::string normal;
  std::vector<size_t> at(p.text.size() + 1);
  for (size_t i = 0; i < p.text.size();) {
    at[i] = normal.size();
    if (!IsBlank(p.text[i])) {
      normal += p.text[i++];
      continue;
    }
    const size_t blank = i;
    while (i < p.text.size() && IsBlank(p.text[i])) at[i++] = normal.size();
    if (!normal.empty() && i < p.text.size() && IsWordByte(normal.back()) && IsWordByte(p.text[i])) {
      normal += ' ';
      for (size_t k = blank + 1; k < i; ++k) at[k] = normal.size();
    }
  }
  at[p.text.size()] = normal.size();
  if (wanted.empty()) return false;
  if (wanted == normal) return true;
  const std::string_view text = normal;
  const std::string_view parameters = text.substr(at[p.name_end]);
  std::vector<size_t> starts = {p.qualified};
  starts.insert(starts.end(), p.scopes.begin(), p.scopes.end());
  for (size_t start : starts) {
    for (size_t end : {p.name_end, p.base_end}) {
      if (end == std::string_view::npos || end <= start) continue;
      const std::string_view name = text.substr(at[start], at[end] - at[start]);
      if (wanted == name) return true;
      if (!parameters.empty() && wanted.size() == name.size() + parameters.size() && wanted.starts_with(name) &&
          wanted.ends_with(parameters))
        return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> Demangled(std::string_view name) {
  if (name.size() <= 2 || name.size() > kMostDemangledLength || !name.starts_with("_Z")) return std::nullopt;
  if (name.find('\0') != std::string_view::npos || BackReferences(name) > kMostDemangledReferences)
    return std::nullopt;
  const std::string terminated(name);
  int status = -1;
  const std::unique_ptr<char, void (*)(void*)> text(
      abi::__cxa_demangle(terminated.c_str(), nullptr, nullptr, &status), std::free);
  if (status != 0 || text == nullptr) return std::nullopt;
  return std::string(text.get());
}

void CxxNameIndex::Add(std::string_view mangled) {
  // _ZT...: vtables, type information, thunks; _ZG...: guard variables,
  // reference temporaries.
  if (mangled.starts_with("_ZT") || mangled.starts_with("_ZG")) return;
  std::optional<std::string> demangled = Demangled(mangled);
  if (demangled) by_base_[BaseName(*demangled)].push_back(mangled);
}

std::vector<std::string> CxxNameIndex::Find(std::string_view written) const {
  std::vector<std::string> names;
  auto found = by_base_.find(BaseName(written));
  if (found == by_base_.end()) return names;
  const std::string wanted = NormalizedCxxName(written);
  // Only the few names with this base are demangled again.
  for (std::string_view mangled : found->second)
    if (std::optional<std::string> demangled = Demangled(mangled); demangled && Writes(*demangled, wanted))
      names.emplace_back(mangled);
  return names;
}

}  // namespace prepqdm
