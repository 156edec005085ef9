#include "progress.h"

#include <cstdio>

#include "system.h"

namespace {

const double kRedrawSeconds = 0.25;  // four redraws a second at most
const unsigned kDefaultWidth = 80;
Progress* g_active = nullptr;

double Now() { return kvsys::MonotonicSeconds(); }

unsigned TerminalWidth() { return kvsys::ConsoleWidth(kDefaultWidth); }

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

Progress::Progress()
    : enabled_(kvsys::ErrorIsConsole()), start_(Now()), lastDraw_(0) {
  g_active = this;
}

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
  if (!enabled_) return;
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
  const std::string line = head;
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
