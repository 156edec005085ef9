// SPDX-License-Identifier: GPL-2.0-or-later
// The error holder and the object base that owns one.
#include "KvMorvel.h"

CKvError::CKvError() : m_code(0) {}
CKvError::CKvError(const CKvError& other) : m_code(other.m_code) {}
const CKvError& CKvError::operator=(const CKvError& other) {
  m_code = other.m_code;
  return *this;
}
CKvError::~CKvError() {}

// The holder keeps the code for the host; the thread's last error is left
// alone, so a host can still see the system's own reason beside it.
int CKvError::SetError(DWORD code) {
  m_code = code;
  return 1;
}

CKvObject::CKvObject() {}
CKvObject::CKvObject(const CKvObject& other) : m_error(other.m_error) {}
CKvObject& CKvObject::operator=(const CKvObject& other) {
  m_error = other.m_error;
  return *this;
}
CKvObject::~CKvObject() {}
