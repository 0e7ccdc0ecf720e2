// JSON emission with byte-exact string escaping (see json_writer.h).
#include "inspect/json_writer.h"

#include <cstdio>

namespace prepqdm {

namespace {

// Length of the well-formed UTF-8 sequence at `s[i]`, or 0 when the bytes
// there do not form one (overlong forms, surrogates and values above
// U+10FFFF are not well-formed).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t b0 = byte(i);
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return length;
}

}  // namespace

std::string JsonQuote(std::string_view bytes) {
  std::string out = "\"";
  char escape[8];
  for (size_t i = 0; i < bytes.size();) {
    uint8_t b = static_cast<uint8_t>(bytes[i]);
    if (b < 0x80) {
      switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
          if (b < 0x20 || b == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", b);
            out += escape;
          } else {
            out += static_cast<char>(b);
          }
      }
      ++i;
      continue;
    }
    size_t length = Utf8SequenceLength(bytes, i);
    if (length != 0) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      std::snprintf(escape, sizeof escape, "\\udc%02x", b);
      out += escape;
      ++i;
    }
  }
  out += '"';
  return out;
}

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) out_ += ',';
    first_.back() = false;
  }
}

void JsonWriter::BeginObject() {
  BeforeValue();
  out_ += '{';
  first_.push_back(true);
}

void JsonWriter::EndObject() {
  first_.pop_back();
  out_ += '}';
}

void JsonWriter::BeginArray() {
  BeforeValue();
  out_ += '[';
  first_.push_back(true);
}

void JsonWriter::EndArray() {
  first_.pop_back();
  out_ += ']';
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  out_ += JsonQuote(key);
  out_ += ':';
  after_key_ = true;
  return *this;
}

void JsonWriter::String(std::string_view bytes) {
  BeforeValue();
  out_ += JsonQuote(bytes);
}

void JsonWriter::Number(int64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
}

void JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
}

}  // namespace prepqdm
