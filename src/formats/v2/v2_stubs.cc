// Members not built yet: each fails cleanly with 120
// (ERROR_CALL_NOT_IMPLEMENTED) until its format lands.
#include "KvMorvel.h"
#include "kvwin32.h"

BOOL CKvMorvel::InitStructuresV2(HANDLE, _MVRL_OBJECT_2*) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::CloseStructuresV2() {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

void CKvMorvel::FillVector(int) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
}

BOOL CKvMorvel::WriteVector(HANDLE) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::AddFileProcess2(LPCWSTR, LPCWSTR, WIN32_FILE_ATTRIBUTE_DATA*,
                                void*, DWORD) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::ZIPCompressFile2(HANDLE, ULONGLONG, ULONGLONG, HANDLE,
                                 ULONGLONG*, int) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
