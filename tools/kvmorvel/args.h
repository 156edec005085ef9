// SPDX-License-Identifier: GPL-2.0-or-later
// Command-line reading shared by the verbs.
#ifndef KVMORVEL_TOOL_ARGS_H
#define KVMORVEL_TOOL_ARGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "common.h"

// Walks the arguments of one verb. Options come as "--name VALUE",
// "--name=VALUE", "-X VALUE" or "-XVALUE"; "--" ends the options.
class ArgReader {
 public:
  explicit ArgReader(const Args& args) : args_(args) {}

  // Moves to the next argument; false when none is left.
  bool Next();
  const std::string& Current() const { return current_; }
  // True when the current argument is an option (not after "--").
  bool IsOption() const { return isOption_; }
  // True when the current argument is the flag `name` without a value.
  bool Is(const char* name) const;
  // True when the current argument is option `name` (with the short form
  // `shortName`, or null); its value goes to *value. A missing value
  // sets *missing.
  bool Take(const char* name, const char* shortName, std::string* value,
            bool* missing);

 private:
  const Args& args_;
  size_t next_ = 0;
  std::string current_;
  bool isOption_ = false;
  bool optionsEnded_ = false;
};

// Reads the arguments of a verb that takes no option but --help and
// exactly `count` positional arguments into *positional. Returns -1 when
// they are there, otherwise the exit status to end with (0 after printing
// `help`, the usage error's status with `need` as its reason).
int ReadPlainArguments(const Args& args, const char* verb, const char* help,
                       size_t count, const char* need,
                       std::vector<std::string>* positional);

// The same for a verb that also takes --json, which turns JSON output on.
int ReadArguments(const Args& args, const char* verb, const char* help,
                  size_t count, const char* need, bool takesJson,
                  std::vector<std::string>* positional);

// A byte count: digits, optionally followed by K, M or G (powers of 1024).
bool ParseByteCount(const std::string& text, uint64_t* value);
// A decimal integer, optionally negative, with nothing after it.
bool ParseInteger(const std::string& text, long* value);

#endif  // KVMORVEL_TOOL_ARGS_H
