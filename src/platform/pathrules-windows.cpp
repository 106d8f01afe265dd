#include "platform/pathrules.h"

static int isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

int isDrivePath(const wchar_t* fullPath) {
  return fullPath[0] != 0 && fullPath[1] == L':' && isSeparator(fullPath[2]);
}

int pathNamesIgnoreCase(void) { return 1; }

int isRelativeToCurrentDir(const wchar_t* path) {
  return path[0] != 0 && !isSeparator(path[0]) && path[1] != L':';
}

static wchar_t asciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? c - 32 : c; }

// Length of `prefix` when `path` starts with it, letter case and separator
// kind aside; else 0.
static int prefixLength(const wchar_t* path, const wchar_t* prefix) {
  int i = 0;
  for (; prefix[i]; i++) {
    int bothSeparators = isSeparator(prefix[i]) && isSeparator(path[i]);
    if (!bothSeparators && asciiUpper(path[i]) != asciiUpper(prefix[i])) return 0;
  }
  return i;
}

static int namesAtMost(const wchar_t* p, int most) {
  int names = 0;
  for (; *p; p++) {
    if (!isSeparator(*p) && (p[1] == 0 || isSeparator(p[1]))) names++;
  }
  return names <= most;
}

// "\\?\C:\", "\\?\Volume{...}\", "\\?\UNC\server\share" or
// "\\?\GLOBALROOT\Device\X\" (or with "\\.\"): everything after the
// prefix that names a volume, a share or a device.
static int isDeviceRoot(const wchar_t* rest) {
  if (int unc = prefixLength(rest, L"UNC\\")) return namesAtMost(rest + unc, 2);
  if (int global = prefixLength(rest, L"GLOBALROOT\\")) return namesAtMost(rest + global, 2);
  return namesAtMost(rest, 1);
}

// "D:\" or "\\server\share", with or without a trailing separator, or the
// same in device-path form.
int isVolumeRoot(const wchar_t* fullPath) {
  const wchar_t* p = fullPath;
  if (isSeparator(p[0]) && isSeparator(p[1]) && (p[2] == L'?' || p[2] == L'.') &&
      isSeparator(p[3])) {
    return isDeviceRoot(p + 4);
  }
  if (p[0] != 0 && p[1] == L':') return p[2] == 0 || (isSeparator(p[2]) && p[3] == 0);
  if (!isSeparator(p[0]) || !isSeparator(p[1])) return isSeparator(p[0]) && p[1] == 0;
  int separators = 0;
  for (p += 2; *p; p++) {
    if (isSeparator(*p) && p[1] != 0) separators++;
  }
  return separators <= 1;
}

int isBareDrive(const wchar_t* path) { return path[0] != 0 && path[1] == L':' && path[2] == 0; }
