// SPDX-License-Identifier: GPL-2.0-or-later
// The library's attach behaviour, run once per process when it is loaded.
#ifndef KVMORVEL_PLATFORM_ATTACH_H
#define KVMORVEL_PLATFORM_ATTACH_H

// Prepares the logger: the level mask becomes 63 unless a host chose one,
// and Init(1) runs unless the logger is initialised. DllMain runs it on
// DLL_PROCESS_ATTACH (a constructor on Linux); a Windows program that
// links the core itself, where no DllMain runs, calls it at its start.
void KvMorvelProcessAttach();

#endif  // KVMORVEL_PLATFORM_ATTACH_H
