// Writing restored content no further than the recorded size.
#include "formats/sized_output.h"

bool SizedOutput::Write(const BYTE* bytes, DWORD size) {
  DWORD allowed = size;
  if (size > left_) {
    allowed = static_cast<DWORD>(left_);
    overran_ = true;
  }
  DWORD put = 0;
  if (allowed != 0 && !WriteFile(target_, bytes, allowed, &put, nullptr))
    return false;
  written_ += put;
  left_ -= put;
  if (put != allowed) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return !overran_;
}
