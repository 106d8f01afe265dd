#include "platform/pathrules.h"

int isDrivePath(const wchar_t* fullPath) { return fullPath[0] == L'/'; }

int pathNamesIgnoreCase(void) { return 0; }

int isRelativeToCurrentDir(const wchar_t* path) {
  return path[0] != 0 && path[0] != L'/' && path[0] != L'\\';
}

int isVolumeRoot(const wchar_t* fullPath) {
  for (const wchar_t* p = fullPath; *p; p++) {
    if (*p != L'/' && *p != L'\\') return 0;
  }
  return fullPath[0] != 0;
}

int isBareDrive(const wchar_t*) { return 0; }
