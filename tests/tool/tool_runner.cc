// SPDX-License-Identifier: GPL-2.0-or-later
#include "tool/tool_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "support/test_support.h"

std::string BuildDir() { return ProgramFolder(); }

std::string ToolPath() { return BuildDir() + "/kvmorvel"; }

ToolResult RunTool(const std::vector<std::string>& args,
                   const Environment& env, const std::string& cwd) {
  return RunProgram(ToolPath(), args, env, cwd, 0);
}

ToolResult RunProgram(const std::string& tool,
                      const std::vector<std::string>& args,
                      const Environment& env, const std::string& cwd,
                      unsigned timeoutSeconds) {
  TempDir capture;
  const std::string outPath = capture / "out";
  const std::string errPath = capture / "err";
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(tool.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0) _exit(125);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& variable : env)
      setenv(variable.first.c_str(), variable.second.c_str(), 1);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    alarm(timeoutSeconds);  // kept across exec; 0 sets none
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  ToolResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status)
                                    : 128 + WTERMSIG(status);
  result.out = ReadBytes(outPath);
  result.err = ReadBytes(errPath);
  return result;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}
