// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the built kvmorvel command from a test and collects what it did.
#ifndef KVMORVEL_TESTS_TOOL_RUNNER_H
#define KVMORVEL_TESTS_TOOL_RUNNER_H

#include <string>
#include <utility>
#include <vector>

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// The build folder: where this test program and the command live.
std::string BuildDir();
std::string ToolPath();

typedef std::vector<std::pair<std::string, std::string>> Environment;

// Runs kvmorvel with `args`, stdout and stderr captured (so neither is a
// terminal), with extra environment variables and, when given, in `cwd`.
ToolResult RunTool(const std::vector<std::string>& args,
                   const Environment& env = {}, const std::string& cwd = "");

// Runs `program` (the command, or a copy of it placed elsewhere) like
// RunTool. With a timeout the program is killed by SIGALRM after that
// many seconds (status 128 + 14), so a hang fails the test instead of
// stopping it.
ToolResult RunProgram(const std::string& program,
                      const std::vector<std::string>& args,
                      const Environment& env, const std::string& cwd,
                      unsigned timeoutSeconds);

// Splits output into lines, without their newlines.
std::vector<std::string> Lines(const std::string& text);

#endif  // KVMORVEL_TESTS_TOOL_RUNNER_H
