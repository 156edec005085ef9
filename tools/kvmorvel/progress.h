// The progress line on stderr: entries, bytes, rate and the current name,
// redrawn a few times a second, and only when stderr is a terminal.
#ifndef KVMORVEL_TOOL_PROGRESS_H
#define KVMORVEL_TOOL_PROGRESS_H

#include <cstdint>
#include <string>

class Progress {
 public:
  // Shows nothing unless stderr is a terminal.
  Progress();
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // One more entry of `bytes` bytes, named `name`, was handled.
  void Step(uint64_t bytes, const std::string& name);
  // Removes the line, so that a report or the next output starts clean.
  void Clear();

 private:
  void Draw(const std::string& name);

  bool enabled_;
  double start_;
  double lastDraw_;
  uint64_t entries_ = 0;
  uint64_t bytes_ = 0;
  bool shown_ = false;
};

// Removes the line of the progress object alive, if any, so that a failure
// report starts on a clean line.
void ClearProgressLine();

#endif  // KVMORVEL_TOOL_PROGRESS_H
