// SPDX-License-Identifier: GPL-2.0-or-later
#include "json_line.h"

#include <charconv>
#include <cstdio>

#include "text.h"

namespace {
// Room for a usual line, so that building one allocates once.
const size_t kLineRoom = 384;
}  // namespace

JsonLine::JsonLine(const char* type) {
  line_.reserve(kLineRoom);
  line_ = "{\"type\":\"";
  line_ += type;
  line_ += '"';
}

JsonLine& JsonLine::Key(const char* key) {
  line_ += ",\"";
  line_ += key;
  line_ += "\":";
  return *this;
}

JsonLine& JsonLine::Raw(const char* key, const std::string& value) {
  Key(key);
  line_ += value;
  return *this;
}

JsonLine& JsonLine::Wide(const char* key, const std::u16string& value) {
  Key(key);
  AppendJsonString(value, &line_);
  return *this;
}

JsonLine& JsonLine::Text(const char* key, const std::string& value) {
  std::u16string wide;
  if (!Utf8ToUtf16(value, &wide)) {
    wide.clear();
    for (unsigned char c : value) wide += c < 0x80 ? char16_t(c) : u'\xFFFD';
  }
  return Raw(key, JsonString(wide));
}

namespace {
// Numbers are written straight into the line: list --json writes several
// per entry, for every entry of an archive.
template <typename Integer>
void AppendDigits(Integer value, std::string* line) {
  char digits[24];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
  line->append(digits, end.ptr);
}
}  // namespace

JsonLine& JsonLine::Number(const char* key, uint64_t value) {
  AppendDigits(value, &Key(key).line_);
  return *this;
}

JsonLine& JsonLine::Signed(const char* key, int64_t value) {
  AppendDigits(value, &Key(key).line_);
  return *this;
}

JsonLine& JsonLine::Seconds(const char* key, double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", value);
  return Raw(key, text);
}

JsonLine& JsonLine::Boolean(const char* key, bool value) {
  return Raw(key, value ? "true" : "false");
}

void JsonLine::Print() {
  line_ += "}\n";
  fputs(line_.c_str(), stdout);
}
