#include "support/ar_builder.h"

#include <cstdio>

namespace testsupport {

namespace {

void AppendField(std::vector<uint8_t>& out, const std::string& text, size_t width) {
  for (size_t i = 0; i < width; ++i) out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : ' ');
}

void AppendMember(std::vector<uint8_t>& out, const ArMember& m) {
  AppendField(out, m.name_field, 16);
  AppendField(out, "0", 12);
  AppendField(out, "0", 6);
  AppendField(out, "0", 6);
  AppendField(out, "644", 8);
  AppendField(out, m.size_field ? *m.size_field : std::to_string(m.data.size()), 10);
  AppendField(out, m.fmag, 2);
  out.insert(out.end(), m.data.begin(), m.data.end());
  if (m.pad && m.data.size() % 2 != 0) out.push_back('\n');
}

}  // namespace

ArBuilder& ArBuilder::AddSymbolIndex(std::vector<uint8_t> data) {
  ArMember m;
  m.name_field = "/";
  m.data = std::move(data);
  entries_.push_back({std::move(m), {}});
  return *this;
}

ArBuilder& ArBuilder::Add(const std::string& name, std::vector<uint8_t> data) {
  ArMember m;
  m.data = std::move(data);
  Entry e{std::move(m), {}};
  if (name.size() <= 15) {
    e.member.name_field = name + "/";
  } else {
    e.long_name = name;
  }
  entries_.push_back(std::move(e));
  return *this;
}

ArBuilder& ArBuilder::AddRaw(ArMember member) {
  entries_.push_back({std::move(member), {}});
  return *this;
}

std::vector<uint8_t> ArBuilder::Build() const {
  std::string table;
  std::vector<ArMember> members;
  for (const Entry& e : entries_) {
    ArMember m = e.member;
    if (!e.long_name.empty()) {
      m.name_field = '/' + std::to_string(table.size());
      table += e.long_name + "/\n";
    }
    members.push_back(std::move(m));
  }
  std::vector<uint8_t> out = {'!', '<', 'a', 'r', 'c', 'h', '>', '\n'};
  bool table_written = table.empty();
  for (size_t i = 0; i < members.size(); ++i) {
    // GNU ar puts the long-name table after the symbol index.
    if (!table_written && members[i].name_field != "/") {
      ArMember t;
      t.name_field = "//";
      t.data.assign(table.begin(), table.end());
      AppendMember(out, t);
      table_written = true;
    }
    AppendMember(out, members[i]);
  }
  return out;
}

}  // namespace testsupport
