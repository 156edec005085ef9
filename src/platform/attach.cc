// SPDX-License-Identifier: GPL-2.0-or-later
// The library's load hook: prepares the logger once per process.
#include "attach.h"

#include "KvLog.h"
#include "kvwin32.h"

void KvMorvelProcessAttach() {
  CKvLog* log = CKvLog::GetInstance();
  if (log->m_configured == 0) log->m_levelMask = 63;
  if (log->m_initialised == 0) log->Init(1);
}

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) KvMorvelProcessAttach();
  return TRUE;
}
#else
__attribute__((constructor)) static void KvMorvelAttach() {
  KvMorvelProcessAttach();
}
#endif
