// SPDX-License-Identifier: GPL-2.0-or-later
// One JSON object per output line, as --json writes them: every line
// starts with its "type" ("entry", "error" or "summary").
#ifndef KVMORVEL_TOOL_JSON_LINE_H
#define KVMORVEL_TOOL_JSON_LINE_H

#include <cstdint>
#include <string>

class JsonLine {
 public:
  explicit JsonLine(const char* type);
  JsonLine& Wide(const char* key, const std::u16string& value);
  // UTF-8 text (invalid bytes become U+FFFD).
  JsonLine& Text(const char* key, const std::string& value);
  JsonLine& Number(const char* key, uint64_t value);
  JsonLine& Signed(const char* key, int64_t value);
  JsonLine& Seconds(const char* key, double value);
  JsonLine& Boolean(const char* key, bool value);
  // Writes the line to stdout.
  void Print();

 private:
  JsonLine& Key(const char* key);
  JsonLine& Raw(const char* key, const std::string& value);
  std::string line_;
};

#endif  // KVMORVEL_TOOL_JSON_LINE_H
