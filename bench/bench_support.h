// SPDX-License-Identifier: GPL-2.0-or-later
// Small helpers shared by the benchmark programs.
#ifndef KVMORVEL_BENCH_SUPPORT_H
#define KVMORVEL_BENCH_SUPPORT_H

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "KvMorvelTypes.h"

inline std::u16string Wide(const std::string& s) {
  return std::u16string(s.begin(), s.end());  // ASCII paths only
}
inline const WCHAR* P(const std::u16string& s) {
  return reinterpret_cast<const WCHAR*>(s.c_str());
}

// Peak resident memory of this process so far (VmHWM), in KiB.
inline long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                       start)
      .count();
}

#endif  // KVMORVEL_BENCH_SUPPORT_H
