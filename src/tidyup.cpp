#include "tidyup.h"

#include <stdio.h>
#include <string.h>

#include "StringFnEnhancements.h"
#include "platform/pathrules.h"
#include "platform/winapi.h"
#include "printWinAPIError.h"

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
    length = parentLength(path, length);
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

// Removes what stands at `path` by its kind, never entering a link.
int32_t removeByKind(const wchar_t* path, DWORD attributes, int keepDirs, wchar_t* errPath,
                     int errPathCap) {
  int isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  int isDir = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isDir && keepDirs) return 0;
  if (isDir && !isLink) return removeDirTree(path, 0, errPath, errPathCap);
  BOOL removed = isDir ? RemoveDirectoryW(path) : DeleteFileW(path);
  return removed ? 0 : failWithLastError(path, errPath, errPathCap);
}

int32_t removeEntry(const wchar_t* fullName, int keepDirs, wchar_t* errPath, int errPathCap) {
  DWORD attributes = GetFileAttributesW(fullName);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return failWithLastError(fullName, errPath, errPathCap);
  }
  return removeByKind(fullName, attributes, keepDirs, errPath, errPathCap);
}

int namesVolumeRoot(const wchar_t* path) {
  wchar_t full[MAX_PATH];
  DWORD length = GetFullPathNameW(path, MAX_PATH, full, nullptr);
  return length > 0 && length < MAX_PATH && isVolumeRoot(full);
}

int isDotEntry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

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
  size_t length = wcslen(path);
  // "D:" lists as "D:*": with a separator it would be the root of D:.
  int takesNames = isSeparator(path[length - 1]) || isBareDrive(path);
  if (length + (takesNames ? 2 : 3) > MAX_PATH) {
    return failWith(ERROR_FILENAME_EXCED_RANGE, path, errPath, errPathCap);
  }
  wchar_t fullName[MAX_PATH];
  wcsnCopy(fullName, MAX_PATH, path, -1);
  size_t prefixLength = length;
  if (!takesNames) fullName[prefixLength++] = L'\\';
  fullName[prefixLength] = L'*';
  fullName[prefixLength + 1] = 0;

  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(fullName, &entry);
  if (find == INVALID_HANDLE_VALUE)
    return failWith(ERROR_FILE_NOT_FOUND, fullName, errPath, errPathCap);
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

int32_t removeDirTree(const wchar_t* path, int keepDirs, wchar_t* errPath, int errPathCap) {
  if (path[0] == 0) return failWith(ERROR_INVALID_NAME, path, errPath, errPathCap);
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return failWith(ERROR_FILE_NOT_FOUND, path, errPath, errPathCap);
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return removeByKind(path, attributes, keepDirs, errPath, errPathCap);
  }
  int32_t status = cleanDirContent(path, keepDirs, errPath, errPathCap);
  if (status || keepDirs) return status;
  return RemoveDirectoryW(path) ? 0 : failWithLastError(path, errPath, errPathCap);
}

int32_t createCleanDir(const wchar_t* path, int force, int keepDirs, wchar_t* errPath,
                       int errPathCap) {
  int32_t status = createDir(path, force, errPath, errPathCap);
  if (status == 0) status = cleanDirContent(path, keepDirs, errPath, errPathCap);
  if (status != 0) return status;
  // A link into its own parent is removed while its target is cleaned; the
  // directory asked for is then gone, and that is no success.
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
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
  int32_t status = namesVolumeRoot(path) ? failWith(ERROR_ACCESS_DENIED, path, errPath, MAX_PATH)
                                         : createCleanDir(path, 1, keepDirs, errPath, MAX_PATH);
  if (status == 0) return 0;
  fprintf(stderr, "ERROR >tidyup %s %s", argv[1], option);
  printWinAPIError(status, errPath, "ERROR on clean directory tree");
  return 1;
}
