#include "platform/pathrules.h"

static int isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

int isDrivePath(const wchar_t* fullPath) {
  return fullPath[0] != 0 && fullPath[1] == L':' && isSeparator(fullPath[2]);
}

int pathNamesIgnoreCase(void) { return 1; }

int isRelativeToCurrentDir(const wchar_t* path) {
  return path[0] != 0 && !isSeparator(path[0]) && path[1] != L':';
}

// "D:\" or "\\server\share", with or without a trailing separator.
int isVolumeRoot(const wchar_t* fullPath) {
  const wchar_t* p = fullPath;
  if (p[0] != 0 && p[1] == L':') return p[2] == 0 || (isSeparator(p[2]) && p[3] == 0);
  if (!isSeparator(p[0]) || !isSeparator(p[1])) return isSeparator(p[0]) && p[1] == 0;
  int separators = 0;
  for (p += 2; *p; p++) {
    if (isSeparator(*p) && p[1] != 0) separators++;
  }
  return separators <= 1;
}

int isBareDrive(const wchar_t* path) { return path[0] != 0 && path[1] == L':' && path[2] == 0; }
