// Members not built yet: each fails cleanly with 120
// (ERROR_CALL_NOT_IMPLEMENTED) until its format lands.
#include "KvMorvel.h"
#include "kvwin32.h"

BOOL CKvMorvel::CreateHeader5() {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::CloseStructuresV5() {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::LoadNextEntries() {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::InitStructuresV5(HANDLE, _MVRL_OBJECT_5*) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::WriteVector5(HANDLE) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

HANDLE CKvMorvel::OpenPart5(DWORD) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return INVALID_HANDLE_VALUE;
}

BOOL CKvMorvel::AddPart() {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::PointToLastPart5() {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

void CKvMorvel::GetPartName(DWORD, WCHAR* buffer, DWORD capacity) {
  if (buffer && capacity) buffer[0] = 0;
}

BOOL CKvMorvel::ZIPCompressFile5(HANDLE, _MVRL_FILEENTRY_MAX_5*, LONGLONG, int) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::ZIPDecompressFile5(HANDLE, _MVRL_FILEENTRY_MAX_5*) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL CKvMorvel::AddFileProcess5(LPCWSTR, LPCWSTR, WIN32_FILE_ATTRIBUTE_DATA*,
                                void*, DWORD) {
  m_error.SetError(ERROR_CALL_NOT_IMPLEMENTED);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
