// Members not built yet: each fails cleanly with 120
// (ERROR_CALL_NOT_IMPLEMENTED) until its format lands.
#include "KvMorvel.h"
#include "kvwin32.h"

BOOL CKvMorvel::InitStructuresV1(HANDLE, _MVRL_OBJECT*) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::CloseStructuresV1() {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

ULONGLONG CKvMorvel::GetFileSize64(HANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

BOOL CKvMorvel::AddFileProcess(LPCWSTR, LPCWSTR, WIN32_FILE_ATTRIBUTE_DATA*,
                               void*, DWORD) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::InfoV1(BOOL) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
