// Members not built yet: each fails cleanly with 120
// (ERROR_CALL_NOT_IMPLEMENTED) until its format lands.
#include "KvMorvel.h"
#include "kvwin32.h"

BOOL CKvMorvel::MorvelExtractFile(LPCWSTR, int) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
