#include "formats/short_name.h"

void LookUpShortName(LPCWSTR path, WCHAR (&field)[kShortNameChars]) {
  for (WCHAR& c : field) c = 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  for (int i = 0; i < kShortNameChars - 1 && found.cAlternateFileName[i]; ++i)
    field[i] = found.cAlternateFileName[i];
  FindClose(search);
}
