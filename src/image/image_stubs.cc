// Members not built yet: each fails cleanly with 120
// (ERROR_CALL_NOT_IMPLEMENTED) until its format lands.
#include "KvMorvel.h"
#include "kvwin32.h"

BOOL CKvMorvel::OpenSIMImage(LPCWSTR) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::GetFreeVolume(WCHAR*, DWORD) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::MountImage(LPCWSTR, LPCWSTR) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::UnmountImage(WCHAR) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::VDBuildItems() {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

void CKvMorvel::VDCloseFindHandles() {}

BOOL CKvMorvel::GetPath(_item*, WCHAR*, DWORD) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::VDInfo(BOOL) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::VDExtractFile(LPCWSTR) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::CreateJunction(LPCWSTR, LPCWSTR) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
