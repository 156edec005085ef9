// SPDX-License-Identifier: GPL-2.0-or-later
// The progress line on stderr: entries, bytes, rate and the current name,
// redrawn a few times a second, and only when stderr is a terminal.
#ifndef KVMORVEL_TOOL_PROGRESS_H
#define KVMORVEL_TOOL_PROGRESS_H

#include <cstdint>
#include <optional>
#include <string>

// What a verb moved: entries handled, how many failed, bytes read and
// written (for create, the sources and the archive; for extract and
// verify, the archive and the data restored).
struct RunTotals {
  uint64_t entries = 0;
  uint64_t failed = 0;
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  // Items left out by the verb's patterns; only a verb that takes them
  // sets it, and its summaries then show it.
  std::optional<uint64_t> excluded;
  // extract: entries that found something at their path already and
  // replaced it, or kept it (--keep, --keep-newer); set by extract alone.
  std::optional<uint64_t> replaced;
  std::optional<uint64_t> kept;
};

class Progress {
 public:
  // Shows nothing unless stderr is a terminal; with `drawLine` false only
  // the closing summary is shown (list writes its own lines).
  explicit Progress(bool drawLine = true);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool OnTerminal() const { return enabled_; }
  // The entries and bytes the run will handle, when known beforehand: the
  // line then shows a bar, the percent done and the time left.
  void SetTotal(uint64_t entries, uint64_t bytes);
  // One more entry of `bytes` bytes, named `name`, was handled.
  void Step(uint64_t bytes, const std::string& name);
  // Removes the line, so that a report or the next output starts clean.
  void Clear();
  // Ends the run: with --json the line {"type":"summary",...} on stdout;
  // on a terminal one line on stderr: entries, those excluded (when
  // any), failures, bytes in and out, their ratio and the time taken.
  void Finish(const char* verb, const RunTotals& totals);
  double Elapsed() const;

 private:
  void Draw(const std::string& name);
  std::string BarText(double elapsed) const;

  bool enabled_;
  bool drawLine_;
  double start_;
  double lastDraw_;
  uint64_t entries_ = 0;
  uint64_t bytes_ = 0;
  uint64_t totalEntries_ = 0;
  uint64_t totalBytes_ = 0;
  bool shown_ = false;
};

// 1536 -> "1.5 KiB".
std::string HumanBytes(double bytes);

// Removes the line of the progress object alive, if any, so that a failure
// report starts on a clean line.
void ClearProgressLine();

#endif  // KVMORVEL_TOOL_PROGRESS_H
