// SPDX-License-Identifier: GPL-2.0-or-later
#include "progress.h"

#include <algorithm>
#include <cstdio>

#include "common.h"
#include "json_line.h"
#include "system.h"

namespace {

const double kRedrawSeconds = 0.25;  // four redraws a second at most
const unsigned kDefaultWidth = 80;
Progress* g_active = nullptr;

double Now() { return kvsys::MonotonicSeconds(); }

unsigned TerminalWidth() { return kvsys::ConsoleWidth(kDefaultWidth); }

}  // namespace

std::string HumanBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes,
           kUnits[unit]);
  return text;
}

namespace {

// Keeps the tail of `name` (the end of a path tells most) within `width`
// columns, counting one column per UTF-8 character.
std::string FitName(const std::string& name, size_t width) {
  size_t columns = 0;
  for (unsigned char c : name)
    if ((c & 0xC0) != 0x80) ++columns;
  if (columns <= width) return name;
  if (width < 4) return std::string();
  size_t skip = columns - (width - 3);
  size_t i = 0;
  while (i < name.size() && skip > 0) {
    ++i;
    while (i < name.size() && (name[i] & 0xC0) == 0x80) ++i;
    --skip;
  }
  return "..." + name.substr(i);
}

}  // namespace

Progress::Progress(bool drawLine)
    : enabled_(kvsys::ErrorIsConsole()),
      drawLine_(drawLine),
      start_(Now()),
      lastDraw_(0) {
  g_active = this;
}

void Progress::SetTotal(uint64_t entries, uint64_t bytes) {
  totalEntries_ = entries;
  totalBytes_ = bytes;
}

double Progress::Elapsed() const { return Now() - start_; }

Progress::~Progress() {
  Clear();
  if (g_active == this) g_active = nullptr;
}

void ClearProgressLine() {
  if (g_active) g_active->Clear();
}

void Progress::Step(uint64_t bytes, const std::string& name) {
  ++entries_;
  bytes_ += bytes;
  if (!enabled_ || !drawLine_) return;
  const double now = Now();
  if (shown_ && now - lastDraw_ < kRedrawSeconds) return;
  lastDraw_ = now;
  Draw(name);
}

void Progress::Draw(const std::string& name) {
  const double elapsed = Now() - start_;
  const double rate = elapsed > 0.001 ? bytes_ / elapsed : 0;
  char head[128];
  snprintf(head, sizeof head, "%llu entries, %s, %s/s  ",
           static_cast<unsigned long long>(entries_),
           HumanBytes(static_cast<double>(bytes_)).c_str(),
           HumanBytes(rate).c_str());
  const std::string line = BarText(elapsed) + head;
  const unsigned width = TerminalWidth() - 1;
  const size_t room = width > line.size() ? width - line.size() : 0;
  // Carriage return, the line, then clear the rest of the old one.
  fprintf(stderr, "\r%s%s\033[K", line.c_str(), FitName(name, room).c_str());
  fflush(stderr);
  shown_ = true;
}

void Progress::Clear() {
  if (!enabled_ || !shown_) return;
  fputs("\r\033[K", stderr);
  fflush(stderr);
  shown_ = false;
}

// "[#####-----]  50%  0:12 left  " when the total is known, else nothing.
// The share done is that of the bytes when there are any, else of the
// entries; the time left assumes the rate so far goes on.
std::string Progress::BarText(double elapsed) const {
  if (totalEntries_ == 0) return std::string();
  double done = totalBytes_ > 0 ? static_cast<double>(bytes_) / totalBytes_
                                : static_cast<double>(entries_) / totalEntries_;
  if (done > 1) done = 1;
  const int kBarWidth = 20;
  const int filled = static_cast<int>(done * kBarWidth);
  std::string bar = "[" + std::string(filled, '#') +
                    std::string(kBarWidth - filled, '-') + "] ";
  char text[64];
  if (done > 0.001 && elapsed > 0.5) {
    const unsigned long left = static_cast<unsigned long>(elapsed * (1 - done) / done);
    snprintf(text, sizeof text, "%3d%%  %lu:%02lu left  ", static_cast<int>(done * 100),
             left / 60, left % 60);
  } else {
    snprintf(text, sizeof text, "%3d%%  ", static_cast<int>(done * 100));
  }
  return bar + text;
}

void Progress::Finish(const char* verb, const RunTotals& totals) {
  Clear();
  const double seconds = Elapsed();
  if (JsonOutput()) {
    JsonLine line("summary");
    line.Text("verb", verb).Number("entries", totals.entries);
    if (totals.excluded) line.Number("excluded", *totals.excluded);
    line.Number("failed", totals.failed)
        .Number("bytes_in", totals.bytesIn)
        .Number("bytes_out", totals.bytesOut);
    if (totals.replaced) line.Number("replaced", *totals.replaced);
    if (totals.kept) line.Number("kept", *totals.kept);
    line.Seconds("seconds", seconds).Print();
  }
  if (!enabled_) return;
  fflush(stdout);
  // The ratio of the larger side to the smaller: how much the data grew
  // or shrank, whichever way the verb moves it.
  const double small = static_cast<double>(std::min(totals.bytesIn, totals.bytesOut));
  const double large = static_cast<double>(std::max(totals.bytesIn, totals.bytesOut));
  char ratio[32] = "-";
  if (small > 0) snprintf(ratio, sizeof ratio, "%.2f", large / small);
  std::string counts;
  if (totals.excluded.value_or(0) > 0)
    counts = ", " + std::to_string(*totals.excluded) + " excluded";
  if (totals.replaced.value_or(0) > 0 || totals.kept.value_or(0) > 0)
    counts += " (" + std::to_string(totals.replaced.value_or(0)) + " replaced, " +
              std::to_string(totals.kept.value_or(0)) + " kept)";
  fprintf(stderr, "kvmorvel %s: %llu entries%s, %llu failed, %s in, %s out, ratio %s, %.1f s\n",
          verb, static_cast<unsigned long long>(totals.entries), counts.c_str(),
          static_cast<unsigned long long>(totals.failed),
          HumanBytes(static_cast<double>(totals.bytesIn)).c_str(),
          HumanBytes(static_cast<double>(totals.bytesOut)).c_str(), ratio, seconds);
}
