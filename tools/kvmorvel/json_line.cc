#include "json_line.h"

#include <cinttypes>
#include <cstdio>

#include "text.h"

JsonLine::JsonLine(const char* type) {
  line_ = "{\"type\":\"";
  line_ += type;
  line_ += '"';
}

JsonLine& JsonLine::Raw(const char* key, const std::string& value) {
  line_ += ",\"";
  line_ += key;
  line_ += "\":";
  line_ += value;
  return *this;
}

JsonLine& JsonLine::Wide(const char* key, const std::u16string& value) {
  return Raw(key, JsonString(value));
}

JsonLine& JsonLine::Text(const char* key, const std::string& value) {
  std::u16string wide;
  if (!Utf8ToUtf16(value, &wide)) {
    wide.clear();
    for (unsigned char c : value) wide += c < 0x80 ? char16_t(c) : u'\xFFFD';
  }
  return Raw(key, JsonString(wide));
}

JsonLine& JsonLine::Number(const char* key, uint64_t value) {
  return Raw(key, std::to_string(value));
}

JsonLine& JsonLine::Signed(const char* key, int64_t value) {
  return Raw(key, std::to_string(value));
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
