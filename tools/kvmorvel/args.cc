// SPDX-License-Identifier: GPL-2.0-or-later
#include "args.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

bool ArgReader::Next() {
  while (next_ < args_.size()) {
    current_ = args_[next_++];
    if (!optionsEnded_ && current_ == "--") {
      optionsEnded_ = true;
      continue;
    }
    isOption_ = !optionsEnded_ && current_.size() > 1 && current_[0] == '-';
    return true;
  }
  return false;
}

bool ArgReader::Is(const char* name) const {
  return isOption_ && current_ == name;
}

bool ArgReader::Take(const char* name, const char* shortName,
                     std::string* value, bool* missing) {
  if (!isOption_) return false;
  const size_t nameLength = strlen(name);
  const bool longForm = current_.compare(0, nameLength, name) == 0 &&
                        (current_.size() == nameLength ||
                         current_[nameLength] == '=');
  const size_t shortLength = shortName ? strlen(shortName) : 0;
  const bool shortForm =
      !longForm && shortName && current_.compare(0, shortLength, shortName) == 0;
  if (!longForm && !shortForm) return false;
  const size_t taken = longForm ? nameLength : shortLength;
  if (current_.size() > taken) {
    // "--name=VALUE" or "-XVALUE".
    *value = current_.substr(longForm ? taken + 1 : taken);
    return true;
  }
  if (next_ >= args_.size()) {
    *missing = true;
    return true;
  }
  *value = args_[next_++];
  return true;
}

bool ParseByteCount(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long number = strtoull(text.c_str(), &end, 10);
  if (errno == ERANGE) return false;
  unsigned shift = 0;
  if (*end == 'K' || *end == 'k') shift = 10;
  else if (*end == 'M' || *end == 'm') shift = 20;
  else if (*end == 'G' || *end == 'g') shift = 30;
  if (shift) ++end;
  if (*end != '\0') return false;
  if (number > (std::numeric_limits<uint64_t>::max() >> shift)) return false;
  *value = static_cast<uint64_t>(number) << shift;
  return true;
}

bool ParseInteger(const std::string& text, long* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long number = strtol(text.c_str(), &end, 10);
  if (errno == ERANGE || *end != '\0' || end == text.c_str()) return false;
  *value = number;
  return true;
}

int ReadPlainArguments(const Args& args, const char* verb, const char* help,
                       size_t count, const char* need,
                       std::vector<std::string>* positional) {
  return ReadArguments(args, verb, help, count, need, false, positional);
}

int ReadArguments(const Args& args, const char* verb, const char* help,
                  size_t count, const char* need, bool takesJson,
                  std::vector<std::string>* positional) {
  ArgReader reader(args);
  while (reader.Next()) {
    if (reader.Is("--help") || reader.Is("-h")) {
      fputs(help, stdout);
      return kExitOk;
    }
    if (takesJson && reader.Is("--json")) {
      SetJsonOutput(true);
      continue;
    }
    if (reader.IsOption())
      return UsageError(verb, "unknown option '" + reader.Current() + "'");
    positional->push_back(reader.Current());
  }
  if (positional->size() != count) return UsageError(verb, need);
  return -1;
}
