#include "tidyup.h"

#include <stdio.h>
#include <string.h>

#include "StringFnEnhancements.h"
#include "platform/pathrules.h"
#include "platform/winapi.h"
#include "printWinAPIError.h"
#include "realpath.h"

namespace {

const int kMaxMissingLevels = 50;

int isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

int32_t failWith(int32_t code, const wchar_t* concerned, wchar_t* errPath, int errPathCap) {
  if (errPath) wcsnCopy(errPath, errPathCap < 0 ? 0 : (uint64_t)errPathCap, concerned, -1);
  return code;
}

int32_t failWithLastError(const wchar_t* concerned, wchar_t* errPath, int errPathCap) {
  return failWith((int32_t)GetLastError(), concerned, errPath, errPathCap);
}

// Cuts the trailing separators, the last name and the separators before it.
int32_t parentLength(const wchar_t* path, int32_t length) {
  while (length > 0 && isSeparator(path[length - 1])) length--;
  while (length > 0 && !isSeparator(path[length - 1])) length--;
  while (length > 0 && isSeparator(path[length - 1])) length--;
  return length;
}

// Walks up `path` until a prefix exists, recording the lengths of the missing
// levels, innermost first. Returns the count, or a negative status.
int walkMissingLevels(const wchar_t* path, int32_t* levels) {
  int32_t length = (int32_t)wcslen(path);
  wchar_t candidate[MAX_PATH];
  wcsnCopy(candidate, MAX_PATH, path, -1);
  int count = 0;
  while (GetFileAttributesW(candidate) == INVALID_FILE_ATTRIBUTES) {
    levels[count++] = length;
    int32_t previous = length;
    length = parentLength(path, length);
    // The root of the current drive, or "/", stands above a rooted path.
    if (length == 0 && previous > 1 && isSeparator(path[0]) && !isSeparator(path[1])) length = 1;
    if (length == 0 || count > kMaxMissingLevels) break;
    wcsnCopy(candidate, MAX_PATH, path, length);
  }
  // A relative name that is used up stands in the current directory, which
  // exists; only a drive-relative or empty path has no ancestor.
  if (length == 0 && !isRelativeToCurrentDir(path)) return -ERROR_INVALID_DRIVE;
  if (count > kMaxMissingLevels) return -ERROR_DS_NAME_TOO_MANY_PARTS;
  return count;
}

int32_t createLevels(const wchar_t* path, const int32_t* levels, int count, wchar_t* errPath,
                     int errPathCap) {
  wchar_t level[MAX_PATH];
  for (int i = count - 1; i >= 0; i--) {
    wcsnCopy(level, MAX_PATH, path, levels[i]);
    if (!CreateDirectoryW(level, nullptr)) return failWithLastError(level, errPath, errPathCap);
  }
  return 0;
}

int isGone(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Gone from a directory that is still there: the way to it did not break.
int isConfirmedGone(const wchar_t* path) {
  return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Another run or process may take an entry away while the tree is emptied;
// what was asked for then holds.
int32_t failUnlessGone(const wchar_t* concerned, wchar_t* errPath, int errPathCap) {
  DWORD code = GetLastError();
  if (isGone(code) && isConfirmedGone(concerned)) return 0;
  return failWith((int32_t)code, concerned, errPath, errPathCap);
}

int32_t removeInnerDir(const wchar_t* path, int keepDirs, wchar_t* errPath, int errPathCap);

// Removes what stands at `path` by its kind, never entering a link.
int32_t removeByKind(const wchar_t* path, DWORD attributes, int keepDirs, wchar_t* errPath,
                     int errPathCap) {
  int isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  int isDir = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isDir && keepDirs) return 0;
  if (isDir && !isLink) return removeInnerDir(path, 0, errPath, errPathCap);
  BOOL removed = isDir ? RemoveDirectoryW(path) : DeleteFileW(path);
  return removed ? 0 : failUnlessGone(path, errPath, errPathCap);
}

int32_t removeEntry(const wchar_t* fullName, int keepDirs, wchar_t* errPath, int errPathCap) {
  DWORD attributes = GetFileAttributesW(fullName);
  if (attributes == INVALID_FILE_ATTRIBUTES) return failUnlessGone(fullName, errPath, errPathCap);
  return removeByKind(fullName, attributes, keepDirs, errPath, errPathCap);
}

int namesVolumeRoot(const wchar_t* path) {
  wchar_t full[MAX_PATH];
  DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
  return length > 0 && length < MAX_PATH && isVolumeRoot(full);
}

// The directory actually cleaned is where the path leads, so a link to a
// root counts as the root.
int leadsToVolumeRoot(const wchar_t* path) {
  wchar_t final[MAX_PATH];
  if (readCmpLink(path, final, MAX_PATH, 0, 0, 0) != 0) return 0;
  if (isVolumeRoot(final)) return 1;
  wchar_t device[MAX_PATH + 4];
  swprintf(device, MAX_PATH + 4, L"\\\\?\\%ls", final);
  return isVolumeRoot(device);
}

// A link given to be cleaned can lose its way while its target is emptied,
// when a link on that way stood inside it.
int leadsNowhere(const wchar_t* path, DWORD attributes) {
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
  wchar_t final[MAX_PATH];
  return readCmpLink(path, final, MAX_PATH, 0, 0, 0) == 3;
}

int isDotEntry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

// Why a directory could not be held; kNowLink when a link stands there by
// now, which is then removed itself like any link inside a tree.
const DWORD kNowLink = 0xFFFFFFFF;

// Opens `path` so that, until the handle is closed, no other process can
// rename, remove or replace it: every later call by path through it reaches
// the directory that was checked here. Inside a tree, a link is never held.
HANDLE holdDir(const wchar_t* path, int followLink, DWORD* code) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE held = CreateFileW(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            flags, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    *code = GetLastError();
    return held;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(held, &info)) {
    *code = GetLastError();
  } else if (!followLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *code = kNowLink;
  } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *code = ERROR_DIRECTORY;
  } else {
    return held;
  }
  CloseHandle(held);
  return INVALID_HANDLE_VALUE;
}

// Builds "path\*" in `pattern` and returns the length of "path\", or 0 when
// it does not fit.
size_t buildPattern(const wchar_t* path, wchar_t* pattern) {
  size_t length = wcslen(path);
  // "D:" lists as "D:*": with a separator it would be the root of D:.
  int takesNames = isSeparator(path[length - 1]) || isBareDrive(path);
  if (length + (takesNames ? 2 : 3) > MAX_PATH) return 0;
  wcsnCopy(pattern, MAX_PATH, path, -1);
  if (!takesNames) pattern[length++] = L'\\';
  pattern[length] = L'*';
  pattern[length + 1] = 0;
  return length;
}

// Removes every entry of the directory that the pattern in `fullName` lists.
// When the listing cannot start, `*listCode` tells why and nothing is
// reported here.
int32_t removeListed(const wchar_t* path, wchar_t* fullName, size_t prefixLength, int keepDirs,
                     DWORD* listCode, wchar_t* errPath, int errPathCap) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(fullName, &entry);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    *listCode = code ? code : ERROR_FILE_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
  }
  do {
    if (isDotEntry(entry.cFileName)) continue;
    int32_t status = 0;
    if (prefixLength + wcslen(entry.cFileName) >= MAX_PATH) {
      status = failWith(ERROR_FILENAME_EXCED_RANGE, entry.cFileName, errPath, errPathCap);
    } else {
      wcsnCopy(fullName + prefixLength, MAX_PATH - prefixLength, entry.cFileName, -1);
      status = removeEntry(fullName, keepDirs, errPath, errPathCap);
    }
    if (status) {
      FindClose(find);
      return status;
    }
  } while (FindNextFileW(find, &entry));
  DWORD code = GetLastError();
  FindClose(find);
  return code == ERROR_NO_MORE_FILES ? 0 : failWith((int32_t)code, path, errPath, errPathCap);
}

// Empties the directory at `path` while holding it; only the directory
// given to cleanDirContent is followed when it is a link. When it cannot be
// held or listed, `*holdCode` tells why and the caller decides what that
// means (another run may have removed it meanwhile).
int32_t emptyDir(const wchar_t* path, int keepDirs, int followLink, DWORD* holdCode,
                 wchar_t* errPath, int errPathCap) {
  wchar_t fullName[MAX_PATH];
  size_t prefixLength = buildPattern(path, fullName);
  if (prefixLength == 0) return failWith(ERROR_FILENAME_EXCED_RANGE, path, errPath, errPathCap);
  HANDLE held = holdDir(path, followLink, holdCode);
  // Not held means not listed, and is reported as a listing that failed.
  if (held == INVALID_HANDLE_VALUE) return ERROR_FILE_NOT_FOUND;
  *holdCode = 0;
  int32_t status =
      removeListed(path, fullName, prefixLength, keepDirs, holdCode, errPath, errPathCap);
  CloseHandle(held);
  return status;
}

int32_t failToHold(const wchar_t* path, wchar_t* errPath, int errPathCap) {
  wchar_t pattern[MAX_PATH];
  buildPattern(path, pattern);
  return failWith(ERROR_FILE_NOT_FOUND, pattern, errPath, errPathCap);
}

// A directory inside a tree: emptied while held, then removed. What stands
// at its name by the time it is held is dealt with as what it is then.
int32_t removeInnerDir(const wchar_t* path, int keepDirs, wchar_t* errPath, int errPathCap) {
  DWORD holdCode = 0;
  int32_t status = emptyDir(path, keepDirs, 0, &holdCode, errPath, errPathCap);
  if (holdCode == kNowLink) {
    if (keepDirs || RemoveDirectoryW(path)) return 0;
    // A file link answers that it is no directory; any other refusal stands.
    if (GetLastError() == ERROR_DIRECTORY && DeleteFileW(path)) return 0;
    return failUnlessGone(path, errPath, errPathCap);
  }
  if (isGone(holdCode) && isConfirmedGone(path)) return 0;
  if (holdCode) return failToHold(path, errPath, errPathCap);
  if (status || keepDirs) return status;
  return RemoveDirectoryW(path) ? 0 : failUnlessGone(path, errPath, errPathCap);
}

}  // namespace

int32_t createDir(const wchar_t* path, int force, wchar_t* errPath, int errPathCap) {
  if (wcslen(path) >= MAX_PATH)
    return failWith(ERROR_FILENAME_EXCED_RANGE, path, errPath, errPathCap);
  DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
    if (!force) return failWith(ERROR_FILE_EXISTS, path, errPath, errPathCap);
    if (!DeleteFileW(path)) return failWithLastError(path, errPath, errPathCap);
  }
  int32_t levels[kMaxMissingLevels + 1];
  int count = walkMissingLevels(path, levels);
  if (count < 0) return failWith(-count, path, errPath, errPathCap);
  return createLevels(path, levels, count, errPath, errPathCap);
}

int32_t cleanDirContent(const wchar_t* path, int keepDirs, wchar_t* errPath, int errPathCap) {
  // An empty path would name the root of the current drive.
  if (path[0] == 0) return failWith(ERROR_INVALID_NAME, path, errPath, errPathCap);
  if (!(GetFileAttributesW(path) & FILE_ATTRIBUTE_DIRECTORY)) {
    return failWith(ERROR_DIRECTORY, path, errPath, errPathCap);
  }
  DWORD holdCode = 0;
  int32_t status = emptyDir(path, keepDirs, 1, &holdCode, errPath, errPathCap);
  return holdCode ? failToHold(path, errPath, errPathCap) : status;
}

int32_t removeDirTree(const wchar_t* path, int keepDirs, wchar_t* errPath, int errPathCap) {
  if (path[0] == 0) return failWith(ERROR_INVALID_NAME, path, errPath, errPathCap);
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return failWith(ERROR_FILE_NOT_FOUND, path, errPath, errPathCap);
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return removeByKind(path, attributes, keepDirs, errPath, errPathCap);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return failWith(ERROR_DIRECTORY, path, errPath, errPathCap);
  }
  return removeInnerDir(path, keepDirs, errPath, errPathCap);
}

int32_t createCleanDir(const wchar_t* path, int force, int keepDirs, wchar_t* errPath,
                       int errPathCap) {
  int32_t status = createDir(path, force, errPath, errPathCap);
  if (status == 0) status = cleanDirContent(path, keepDirs, errPath, errPathCap);
  if (status != 0) return status;
  // A link into its own parent is removed while its target is cleaned; the
  // directory asked for is then gone, and that is no success.
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      leadsNowhere(path, attributes)) {
    return failWith(ERROR_PATH_NOT_FOUND, path, errPath, errPathCap);
  }
  return 0;
}

namespace {

const char kTidyupUsage[] =
    "\n"
    "tidyup <dir-path> [-D]\n"
    " Version: 2026-11-12\n"
    " Creates the Windows directory if not given inclusively its parent\n"
    " or cleans the given directory content, not following symbolic links to clean.\n"
    " But if the given directory is a symbolic link by itself, its content is cleaned.\n"
    "  -D do not delete directory entries inside the given <dir-path>\n"
    " This is the proper command to provide a cleaned destination for build processes.\n"
    " Note: To create a symbolic linked directory (as JUNCTION on Windows) use junctor link "
    "destination [-L|-F|]\n"
    " The paths may use slash or backslash.\n"
    " returns 0 success, 1 if an error occurs, 2 for argument error .\n"
    " On error a proper english error message is written to stderr.\n";

}  // namespace

int createCleanDirCmd(int argc, const char* const argv[]) {
  if (argc <= 1 || argv[1][0] == 0) {
    fputs(kTidyupUsage, stdout);
    return 0;
  }
  if (argv[1][0] == ' ') {
    fprintf(stderr, "ERROR argument 1 is empty >>%s<<\n", argv[1]);
    return 2;
  }
  int keepDirs = 0;
  const char* option = argc > 2 ? argv[2] : "";
  if (option[0] != 0 && strncmp(option, "---", 3) != 0) {
    if (strcmp(option, "-D") != 0) {
      fprintf(stderr, "ERROR invalide argument %s\n", option);
      return 2;
    }
    keepDirs = 1;
  }
  wchar_t path[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, path, MAX_PATH) == 0) {
    fprintf(stderr, "ERROR invalid link path length\n");
    return 2;
  }
  wchar_t errPath[MAX_PATH] = {0};
  // Cleaning a whole volume is never what a build means, whatever a script
  // with an empty variable may say.
  int32_t status = namesVolumeRoot(path) || leadsToVolumeRoot(path)
                       ? failWith(ERROR_ACCESS_DENIED, path, errPath, MAX_PATH)
                       : createCleanDir(path, 1, keepDirs, errPath, MAX_PATH);
  if (status == 0) return 0;
  fprintf(stderr, "ERROR >tidyup %s %s", argv[1], option);
  printWinAPIError(status, errPath, "ERROR on clean directory tree");
  return 1;
}
