// A minimal JSON reader for checking qdmdump's documents in tests: strict
// syntax, numbers as int64, and \udc80..\udcff escapes turned back into the
// single bytes they stand for (the inspector's convention for bytes that are
// not UTF-8). Throws std::runtime_error on malformed input.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace dumptest {

struct Json {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  bool boolean = false;
  int64_t number = 0;
  std::string string;
  std::vector<Json> array;
  std::map<std::string, Json> object;

  const Json& operator[](const std::string& key) const {
    auto it = object.find(key);
    if (type != kObject || it == object.end()) throw std::runtime_error("no key " + key);
    return it->second;
  }
  const Json& operator[](size_t i) const { return array.at(i); }
};

class JsonParser {
 public:
  static Json Parse(const std::string& text) {
    JsonParser p(text);
    Json value = p.Value();
    p.Blank();
    if (p.at_ != text.size()) p.Fail("trailing text");
    return value;
  }

 private:
  explicit JsonParser(const std::string& text) : s_(text) {}
  [[noreturn]] void Fail(const char* what) { throw std::runtime_error(std::string(what) + " at " + std::to_string(at_)); }
  void Blank() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\t' || s_[at_] == '\r')) ++at_;
  }
  void Expect(char c) {
    if (at_ >= s_.size() || s_[at_] != c) Fail("unexpected character");
    ++at_;
  }
  bool Word(const char* w) {
    std::string word(w);
    if (s_.compare(at_, word.size(), word) != 0) return false;
    at_ += word.size();
    return true;
  }
  unsigned Hex4() {
    if (s_.size() - at_ < 4) Fail("short escape");
    unsigned v = static_cast<unsigned>(std::stoul(s_.substr(at_, 4), nullptr, 16));
    at_ += 4;
    return v;
  }
  static void Utf8(std::string& out, unsigned c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  std::string String() {
    Expect('"');
    std::string out;
    while (true) {
      if (at_ >= s_.size()) Fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(s_[at_++]);
      if (c == '"') return out;
      if (c < 0x20) Fail("raw control character");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (at_ >= s_.size()) Fail("short escape");
      char e = s_[at_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          unsigned v = Hex4();
          if (v >= 0xDC80 && v <= 0xDCFF) {
            out += static_cast<char>(v - 0xDC00);  // an escaped byte
          } else if (v >= 0xD800 && v <= 0xDBFF && Word("\\u")) {
            unsigned low = Hex4();
            Utf8(out, 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00));
          } else {
            Utf8(out, v);
          }
          break;
        }
        default: Fail("bad escape");
      }
    }
  }
  Json Value() {
    Blank();
    Json v;
    if (at_ >= s_.size()) Fail("missing value");
    char c = s_[at_];
    if (c == '{') {
      v.type = Json::kObject;
      ++at_;
      Blank();
      if (at_ < s_.size() && s_[at_] == '}') return ++at_, v;
      do {
        Blank();
        std::string key = String();
        Blank();
        Expect(':');
        v.object[key] = Value();
        Blank();
      } while (at_ < s_.size() && s_[at_] == ',' && ++at_);
      Expect('}');
    } else if (c == '[') {
      v.type = Json::kArray;
      ++at_;
      Blank();
      if (at_ < s_.size() && s_[at_] == ']') return ++at_, v;
      do {
        v.array.push_back(Value());
        Blank();
      } while (at_ < s_.size() && s_[at_] == ',' && ++at_);
      Expect(']');
    } else if (c == '"') {
      v.type = Json::kString;
      v.string = String();
    } else if (Word("true") || Word("false")) {
      v.type = Json::kBool;
      v.boolean = s_[at_ - 1] == 'e' && s_[at_ - 2] == 'u';
    } else if (Word("null")) {
      v.type = Json::kNull;
    } else {
      size_t used = 0;
      v.type = Json::kNumber;
      try {
        v.number = std::stoll(s_.substr(at_, 24), &used);
      } catch (const std::exception&) {
        Fail("bad value");
      }
      at_ += used;
    }
    return v;
  }

  const std::string& s_;
  size_t at_ = 0;
};

}  // namespace dumptest
