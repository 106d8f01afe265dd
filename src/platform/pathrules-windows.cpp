#include "platform/pathrules.h"

static int isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

int isDrivePath(const wchar_t* fullPath) {
  return fullPath[0] != 0 && fullPath[1] == L':' && isSeparator(fullPath[2]);
}

int pathNamesIgnoreCase(void) { return 1; }

int isRelativeToCurrentDir(const wchar_t* path) {
  return path[0] != 0 && !isSeparator(path[0]) && path[1] != L':';
}
