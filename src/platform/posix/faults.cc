// SPDX-License-Identifier: GPL-2.0-or-later
// The fault switch of the layer's tests: counts the calls that move an
// archive's bytes and makes a chosen one fail, come up short or kill the
// process, so a test can prove that an archive survives a fault at every
// point. Off by default; when off each counted call costs one relaxed
// atomic load.
//
// Only the test programs have the switch: this file is compiled twice,
// with KVMORVEL_FAULT_SWITCH for them (kvfaults) and without it for the
// shipped library, mount library and command (kvnofaults), whose counted
// calls then never fail and which never read KVMORVEL_FAULT.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "layer.h"

namespace kvposix {

#ifndef KVMORVEL_FAULT_SWITCH

FaultMode TakeFault(FaultCall) { return FaultMode::kOff; }

#else

namespace {

std::atomic<int> g_mode{static_cast<int>(FaultMode::kOff)};
std::atomic<unsigned long long> g_calls{0};
std::atomic<unsigned long long> g_at{0};
std::atomic<bool> g_fired{false};
std::atomic<unsigned> g_calls_counted{kFaultAnyCall};

// KVMORVEL_FAULT=fail:N, short:N or kill:N arms the switch at start-up,
// so a child process (the command, say) can be made to fail at its N-th
// counted call.
bool ArmFromEnvironment() {
  const char* value = getenv("KVMORVEL_FAULT");
  if (!value) return false;
  static const struct {
    const char* prefix;
    FaultMode mode;
  } kModes[] = {{"fail:", FaultMode::kFail},
                {"short:", FaultMode::kShort},
                {"kill:", FaultMode::kKill}};
  for (const auto& m : kModes) {
    const size_t length = strlen(m.prefix);
    if (strncmp(value, m.prefix, length) != 0) continue;
    char* end = nullptr;
    const unsigned long long at = strtoull(value + length, &end, 10);
    if (end == value + length || *end != 0 || at == 0) return false;
    KvFaultInjectAfter(m.mode, at);
    return true;
  }
  return false;
}

const bool g_armedFromEnvironment = ArmFromEnvironment();

}  // namespace

void KvFaultInjectAfter(FaultMode mode, unsigned long long at,
                        unsigned calls) {
  g_mode.store(static_cast<int>(FaultMode::kOff));
  g_calls.store(0);
  g_calls_counted.store(calls);
  g_at.store(at);
  g_fired.store(false);
  g_mode.store(static_cast<int>(mode));
}

unsigned long long KvFaultCalls() { return g_calls.load(); }

bool KvFaultFired() { return g_fired.load(); }

FaultMode TakeFault(FaultCall call) {
  if (g_mode.load(std::memory_order_relaxed) ==
          static_cast<int>(FaultMode::kOff) ||
      !(g_calls_counted.load() & call))
    return FaultMode::kOff;
  const unsigned long long n = ++g_calls;
  const FaultMode mode = static_cast<FaultMode>(g_mode.load());
  if (mode == FaultMode::kCount || n != g_at.load()) return FaultMode::kOff;
  g_fired.store(true);
  if (mode == FaultMode::kKill) kill(getpid(), SIGKILL);
  return mode;
}

#endif  // KVMORVEL_FAULT_SWITCH

}  // namespace kvposix
