// SPDX-License-Identifier: GPL-2.0-or-later
// GetEntryDescriptor: the security descriptor of the current entry, read
// from where its version stores it, without restoring anything. A host
// shows it (the command's list -v names its owner) or checks it.
#include <cstring>
#include <vector>

#include "KvMorvel.h"
#include "archive/codes.h"
#include "formats/file_io.h"
#include "formats/v5/v5_format.h"
#include "restore/stored_descriptor.h"

namespace {

// Copies `bytes` out to the host; 122 with the size needed when the
// buffer is too small.
BOOL CopyDescriptor(const BYTE* bytes, DWORD size, BYTE* buffer, DWORD capacity,
                    DWORD* length, CKvError& error) {
  *length = size;
  if (size > capacity) {
    error.SetError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (size && IsBadWritePtr(buffer, size)) {
    error.SetError(kErrorNullTarget);
    return FALSE;
  }
  if (size) memcpy(buffer, bytes, size);
  return TRUE;
}

}  // namespace

BOOL CKvMorvel::GetEntryDescriptor(BYTE* buffer, DWORD capacity, DWORD* length) {
  if (IsBadWritePtr(length, sizeof *length)) {
    m_error.SetError(kErrorNullTarget);
    return FALSE;
  }
  *length = 0;
  if (m_version == 3 && m_mounted) {  // an image's are on the mounted drive
    m_error.SetError(ERROR_NOT_FOUND);
    return FALSE;
  }
  if (!m_control || !m_read) {
    m_error.SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (m_version == 2) {
    FillVector(1);
    if (m_currentIndex >= m_entries2.size()) {
      m_error.SetError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
    const _MVRL_FILEENTRY_2& entry = m_entries2[m_currentIndex];
    if (!DescriptorInsideRecord(entry)) {
      m_error.SetError(ERROR_FILE_CORRUPT);
      return FALSE;
    }
    if (entry.descriptorLength == 0) {
      m_error.SetError(ERROR_NOT_FOUND);
      return FALSE;
    }
    return CopyDescriptor(entry.tail + (entry.descriptorOffset - kV2RecordFixedSize),
                          entry.descriptorLength, buffer, capacity, length, m_error);
  }
  if (m_version == 5) {
    if (m_currentIndex >= m_entries5.size()) {
      m_error.SetError(ERROR_NO_MORE_ITEMS);
      return FALSE;
    }
    const _MVRL_FILEENTRY_MAX_5& entry = m_entries5[m_currentIndex];
    if (entry.descriptorPart == kV5NoDescriptorPart) {
      m_error.SetError(ERROR_NOT_FOUND);
      return FALSE;
    }
    V5PartInput& parts = V5Record(m_control)->partIn;
    if (!parts.Select(entry.descriptorPart, [this](DWORD n) { return OpenPart5(n); })) {
      m_error.SetError(LastErrorOr(ERROR_FILE_NOT_FOUND));
      return FALSE;
    }
    std::vector<BYTE> descriptor;
    bool whole = false;
    DWORD code = ReadDescriptorBlock5(parts, entry.descriptorOffset, &descriptor, &whole);
    if (code == 0 && !whole) code = ERROR_HANDLE_EOF;  // cut short
    if (code == 0 && descriptor.empty()) code = ERROR_NOT_FOUND;  // length 0
    if (code) {
      m_error.SetError(code);
      return FALSE;
    }
    return CopyDescriptor(descriptor.data(), static_cast<DWORD>(descriptor.size()),
                          buffer, capacity, length, m_error);
  }
  // Version 1 keeps no descriptors.
  m_error.SetError(ERROR_NOT_FOUND);
  return FALSE;
}
