// The Windows operations of winapi.h on a POSIX system. A symbolic link to a
// directory plays the junction's part; paths are wide, use '\' or '/', and are
// UTF-8 on the way to the kernel.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/utf8.h"
#include "platform/winapi.h"

namespace {

const DWORD kErrorTooManyOpenFiles = 4;
const DWORD kErrorGenFailure = 31;
const unsigned kFileMagic = 0x4A4E4646;  // guards against stale or foreign handles
const unsigned kFindMagic = 0x4A4E4644;

thread_local DWORD lastError = ERROR_SUCCESS;

enum class Opened { Query, LinkItself, Writer, Hold };

struct FileRecord {
  unsigned magic;
  Opened kind;
  int fd;      // writer on a directory and hold: the directory itself; otherwise -1
  char* path;  // query: resolved absolute path; otherwise the path as opened
};

struct FindRecord {
  unsigned magic;
  DIR* dir;
  int dotsGiven;  // "." and ".." come first whatever order the file system has
};

DWORD winCode(int err) {
  switch (err) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EBUSY:
      return ERROR_SHARING_VIOLATION;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    default:
      return kErrorGenFailure;
  }
}

// Windows tells a missing name (2) from a missing directory on the way (3).
DWORD missingCode(const char* path) {
  char parent[PATH_MAX];
  const char* slash = strrchr(path, '/');
  if (!slash) return ERROR_FILE_NOT_FOUND;
  size_t len = slash == path ? 1 : (size_t)(slash - path);
  memcpy(parent, path, len);
  parent[len] = 0;
  struct stat st;
  return stat(parent, &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                       : ERROR_PATH_NOT_FOUND;
}

BOOL failCode(DWORD code) {
  lastError = code;
  return 0;
}

BOOL failErrno(int err, const char* path) {
  return failCode(err == ENOENT ? missingCode(path) : winCode(err));
}

// Encodes a wide path for the kernel into `out` (PATH_MAX bytes): '\' becomes
// '/', and trailing separators go, since the kernel would follow a link named
// with one.
bool toNative(const wchar_t* path, char* out) {
  if (!path || !*path) return failCode(ERROR_PATH_NOT_FOUND);
  int len = wideToUtf8(path, out, PATH_MAX);
  if (len < 0) return failCode(ERROR_FILENAME_EXCED_RANGE);
  for (int i = 0; i < len; i++) {
    if (out[i] == '\\') out[i] = '/';
  }
  while (len > 1 && out[len - 1] == '/') out[--len] = 0;
  return true;
}

bool isSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// A link whose target is a directory, or is missing: on Windows a junction
// stays a directory entry when its target goes.
bool linkActsAsDir(int dirFd, const char* name) {
  struct stat target;
  return fstatat(dirFd, name, &target, 0) != 0 || S_ISDIR(target.st_mode);
}

// Attributes of `name` itself (relative to `dirFd`), never following it;
// INVALID_FILE_ATTRIBUTES with errno set when it cannot be examined.
DWORD attributesAt(int dirFd, const char* name, struct stat* st) {
  if (fstatat(dirFd, name, st, AT_SYMLINK_NOFOLLOW) != 0) return INVALID_FILE_ATTRIBUTES;
  if (S_ISDIR(st->st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  if (!S_ISLNK(st->st_mode)) return FILE_ATTRIBUTE_ARCHIVE;
  return FILE_ATTRIBUTE_REPARSE_POINT |
         (linkActsAsDir(dirFd, name) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
}

DWORD attributesOf(const char* path) {
  struct stat st;
  return attributesAt(AT_FDCWD, path, &st);
}

FileRecord* fileRecord(HANDLE handle) {
  FileRecord* f = (FileRecord*)handle;
  return f && handle != INVALID_HANDLE_VALUE && f->magic == kFileMagic ? f : nullptr;
}

FindRecord* findRecord(HANDLE handle) {
  FindRecord* r = (FindRecord*)handle;
  return r && handle != INVALID_HANDLE_VALUE && r->magic == kFindMagic ? r : nullptr;
}

HANDLE failHandle(DWORD code) {
  lastError = code;
  return INVALID_HANDLE_VALUE;
}

HANDLE newFileRecord(Opened kind, int fd, char* path) {
  if (!path) {
    if (fd >= 0) close(fd);
    return failHandle(ERROR_NOT_ENOUGH_MEMORY);
  }
  return new FileRecord{kFileMagic, kind, fd, path};
}

HANDLE openQuery(const char* path) {
  char* resolved = realpath(path, nullptr);
  if (!resolved) {
    failErrno(errno, path);
    return INVALID_HANDLE_VALUE;
  }
  return newFileRecord(Opened::Query, -1, resolved);
}

// Opens the directory or directory link itself, for DeviceIoControl.
HANDLE openWriter(const char* path) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    failErrno(errno, path);
    return INVALID_HANDLE_VALUE;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return failHandle(ERROR_DIRECTORY);
  int fd = -1;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      failErrno(errno, path);
      return INVALID_HANDLE_VALUE;
    }
  }
  return newFileRecord(Opened::Writer, fd, strdup(path));
}

HANDLE openLinkItself(const char* path) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    failErrno(errno, path);
    return INVALID_HANDLE_VALUE;
  }
  return newFileRecord(Opened::LinkItself, -1, strdup(path));
}

// A held directory: open, and never a link unless the caller follows it.
HANDLE openHold(const char* path, bool linkItself) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (linkItself ? O_NOFOLLOW : 0));
  if (fd < 0) {
    int err = errno;
    if (err == ELOOP || err == ENOTDIR) return failHandle(ERROR_DIRECTORY);
    failErrno(err, path);
    return INVALID_HANDLE_VALUE;
  }
  return newFileRecord(Opened::Hold, fd, strdup(path));
}

bool nameInside(USHORT offset, USHORT length, size_t room) {
  return offset % sizeof(WCHAR) == 0 && length % sizeof(WCHAR) == 0 &&
         (size_t)offset + length <= room;
}

// The print name of a mount-point buffer as a native absolute path in
// `target` (PATH_MAX bytes), or false when the buffer is malformed.
bool mountPointTarget(const void* in, DWORD inSize, char* target) {
  const size_t names = offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
  REPARSE_DATA_BUFFER head;
  if (!in || inSize < names) return false;
  memcpy(&head, in, names);  // the caller's buffer need not be aligned
  const auto& mp = head.MountPointReparseBuffer;
  if (head.ReparseTag != IO_REPARSE_TAG_MOUNT_POINT ||
      inSize != (DWORD)head.ReparseDataLength + REPARSE_DATA_BUFFER_HEADER_SIZE ||
      !nameInside(mp.SubstituteNameOffset, mp.SubstituteNameLength, inSize - names) ||
      !nameInside(mp.PrintNameOffset, mp.PrintNameLength, inSize - names)) {
    return false;
  }
  std::wstring print(mp.PrintNameLength / sizeof(WCHAR), L'\0');
  memcpy(&print[0], (const char*)in + names + mp.PrintNameOffset, mp.PrintNameLength);
  // An embedded terminator or a relative name would make a link to elsewhere.
  if (print.find(L'\0') != std::wstring::npos) return false;
  return toNative(print.c_str(), target) && target[0] == '/';
}

// A name beside `path` for a link made before it takes `path`'s place;
// unique per process and per call.
bool temporaryBeside(const char* path, char* temporary) {
  static unsigned serial = 0;
  if (snprintf(temporary, PATH_MAX, "%s.~%ld.%u", path, (long)getpid(), serial++) >= PATH_MAX) {
    return failCode(ERROR_FILENAME_EXCED_RANGE);
  }
  return true;
}

// Points the existing link at `path` to `target` in one step, so that the
// name never goes missing.
BOOL retarget(const char* target, const char* path) {
  char temporary[PATH_MAX];
  if (!temporaryBeside(path, temporary)) return 0;
  if (symlink(target, temporary) != 0) return failErrno(errno, temporary);
  if (rename(temporary, path) != 0) {
    int err = errno;
    unlink(temporary);
    return failErrno(err, path);
  }
  return 1;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where the kernel cannot exchange names: the empty directory goes, then the
// link takes its name, so that for a moment nothing stands there.
BOOL replaceInTwoSteps(const char* target, const char* path) {
  if (rmdir(path) != 0) return failErrno(errno == EEXIST ? ENOTEMPTY : errno, path);
  if (symlink(target, path) != 0) {
    int err = errno;
    mkdir(path, 0777);  // leave the empty directory the caller had
    return failErrno(err, path);
  }
  return 1;
}

// Puts back what the exchange took from `path` and drops the new link; when
// that fails, what was taken stays under the temporary name, never removed.
BOOL undoExchange(const char* temporary, const char* path, DWORD code) {
  if (renameat2(AT_FDCWD, temporary, AT_FDCWD, path, RENAME_EXCHANGE) == 0) unlink(temporary);
  return failCode(code);
}

// Turns the empty directory that the writer opened (`dirFd`) into the link.
// The link is made beside it and exchanged with it in one step, so that
// nobody sees the name missing; the directory is then removed. What the
// exchange took out must be that directory, still empty: another process
// may have replaced it or written into it meanwhile, and its work stays.
BOOL replaceDirectory(const char* target, const char* path, int dirFd) {
  struct stat opened, taken;
  if (fstat(dirFd, &opened) != 0) return failErrno(errno, path);
  if (fstatat(AT_FDCWD, path, &taken, AT_SYMLINK_NOFOLLOW) != 0) return failErrno(errno, path);
  if (!sameFile(opened, taken)) return failCode(ERROR_SHARING_VIOLATION);
  char temporary[PATH_MAX];
  if (!temporaryBeside(path, temporary)) return 0;
  if (symlink(target, temporary) != 0) return failErrno(errno, temporary);
  if (renameat2(AT_FDCWD, temporary, AT_FDCWD, path, RENAME_EXCHANGE) != 0) {
    int err = errno;
    unlink(temporary);
    if (err == ENOSYS || err == EINVAL) return replaceInTwoSteps(target, path);
    return failErrno(err, path);
  }
  if (fstatat(AT_FDCWD, temporary, &taken, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(opened, taken)) {
    return undoExchange(temporary, path, ERROR_SHARING_VIOLATION);
  }
  if (rmdir(temporary) != 0) {
    int err = errno;
    return undoExchange(temporary, path,
                        err == ENOTEMPTY || err == EEXIST ? ERROR_DIR_NOT_EMPTY : winCode(err));
  }
  return 1;
}

BOOL makeJunction(const char* target, const char* path, int dirFd) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return failErrno(errno, path);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return failCode(ERROR_DIRECTORY);
  if (dirFd < 0) {
    // Opened as a link: it is rewritten, as Windows rewrites a junction.
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return failCode(ERROR_SHARING_VIOLATION);
    return retarget(target, path);
  }
  // Opened as a directory that has become a link meanwhile: not this run's.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return failCode(ERROR_SHARING_VIOLATION);
  return replaceDirectory(target, path, dirFd);
}

// A link as Windows reports it: a mount point with an absolute target for a
// link to a directory, otherwise a symbolic link, relative where its text is.
BOOL readReparseData(const char* path, void* out, DWORD outSize, DWORD* returned) {
  char text[PATH_MAX];
  ssize_t length = readlink(path, text, sizeof text - 1);
  if (length < 0)
    return errno == EINVAL ? failCode(ERROR_NOT_A_REPARSE_POINT) : failErrno(errno, path);
  text[length] = 0;
  wchar_t target[PATH_MAX];
  if (utf8ToWide(text, -1, target, PATH_MAX, true) == 0)
    return failCode(ERROR_INVALID_REPARSE_DATA);
  bool relative = text[0] != '/';
  bool mountPoint = !relative && linkActsAsDir(AT_FDCWD, path);
  std::wstring print(target);
  std::wstring substitute = relative ? print : L"\\??\\" + print;
  size_t names = mountPoint ? offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer)
                            : offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer);
  size_t subBytes = substitute.size() * sizeof(WCHAR);
  size_t printBytes = print.size() * sizeof(WCHAR);
  size_t total = names + subBytes + printBytes + 2 * sizeof(WCHAR);
  if (!out || outSize < total) return failCode(ERROR_INSUFFICIENT_BUFFER);
  REPARSE_DATA_BUFFER head;
  memset(&head, 0, sizeof head);
  head.ReparseTag = mountPoint ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_SYMLINK;
  head.ReparseDataLength = (USHORT)(total - REPARSE_DATA_BUFFER_HEADER_SIZE);
  auto& mp = head.MountPointReparseBuffer;  // the same four fields in both layouts
  mp.SubstituteNameLength = (USHORT)subBytes;
  mp.PrintNameOffset = (USHORT)(subBytes + sizeof(WCHAR));
  mp.PrintNameLength = (USHORT)printBytes;
  if (!mountPoint && relative) head.SymbolicLinkReparseBuffer.Flags = SYMLINK_FLAG_RELATIVE;
  memset(out, 0, total);
  memcpy(out, &head, names < sizeof head ? names : sizeof head);
  memcpy((char*)out + names, substitute.c_str(), subBytes);
  memcpy((char*)out + names + subBytes + sizeof(WCHAR), print.c_str(), printBytes);
  if (returned) *returned = (DWORD)total;
  return 1;
}

// The directory that a "dir/*" pattern lists, in `dir` (PATH_MAX bytes).
bool listedDir(const wchar_t* pattern, char* dir) {
  size_t len = pattern ? wcslen(pattern) : 0;
  if (len == 0 || pattern[len - 1] != L'*' || (len > 1 && !isSeparator(pattern[len - 2]))) {
    return failCode(ERROR_INVALID_PARAMETER);
  }
  if (len == 1) return toNative(L".", dir);
  return toNative(std::wstring(pattern, len - 1).c_str(), dir);
}

bool nextEntry(FindRecord* r, WIN32_FIND_DATAW* data) {
  memset(data, 0, sizeof *data);
  if (r->dotsGiven < 2) {
    wcscpy(data->cFileName, r->dotsGiven++ == 0 ? L"." : L"..");
    data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    return true;
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(r->dir);
    if (!e) return failCode(errno ? winCode(errno) : ERROR_NO_MORE_FILES);
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (utf8ToWide(e->d_name, -1, data->cFileName, MAX_PATH, true) == 0) {
      return failCode(ERROR_FILENAME_EXCED_RANGE);
    }
    struct stat st;
    // The entry's type, when the file system gives it, spares a directory
    // the attribute read; a file still needs one for its size.
    DWORD attributes = e->d_type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY
                       : e->d_type == DT_LNK
                           ? FILE_ATTRIBUTE_REPARSE_POINT |
                                 (linkActsAsDir(dirfd(r->dir), e->d_name) ? FILE_ATTRIBUTE_DIRECTORY
                                                                          : FILE_ATTRIBUTE_ARCHIVE)
                           : attributesAt(dirfd(r->dir), e->d_name, &st);
    // An entry removed since readdir is reported as a file; acting on it
    // will then answer that it is gone.
    data->dwFileAttributes =
        attributes == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_ARCHIVE : attributes;
    if (attributes == FILE_ATTRIBUTE_ARCHIVE) {
      data->nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
      data->nFileSizeLow = (DWORD)st.st_size;
    }
    return true;
  }
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int textLength, wchar_t* wide,
                        int wideCapacity) {
  if (codePage != CP_ACP || flags != 0 || !text || textLength == 0 || textLength < -1 ||
      wideCapacity < 0 || (wideCapacity > 0 && !wide)) {
    return failCode(ERROR_INVALID_PARAMETER);
  }
  int bytes = textLength < 0 ? (int)strlen(text) + 1 : textLength;
  std::wstring decoded(bytes, L'\0');  // never more characters than bytes
  int count = utf8ToWide(text, textLength, &decoded[0], bytes, false);
  if (count == 0) return failCode(ERROR_NO_UNICODE_TRANSLATION);
  if (wideCapacity == 0) return count;
  if (count > wideCapacity) return failCode(ERROR_INSUFFICIENT_BUFFER);
  memcpy(wide, decoded.data(), count * sizeof(wchar_t));
  return count;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* wide, int wideLength, char* text,
                        int textCapacity, const char*, BOOL* usedDefaultChar) {
  if (codePage != CP_ACP || flags != 0 || !wide || wideLength != -1 || textCapacity <= 0 || !text) {
    return failCode(ERROR_INVALID_PARAMETER);
  }
  // Bytes that were not UTF-8 in a file name come back as they were.
  int length = wideToUtf8(wide, text, (size_t)textCapacity);
  if (length < 0) return failCode(ERROR_INSUFFICIENT_BUFFER);
  if (usedDefaultChar) *usedDefaultChar = 0;
  return length + 1;
}

DWORD GetFullPathNameW(const wchar_t* path, DWORD capacity, wchar_t* buffer, wchar_t** filePart) {
  if (!path || !*path) return failCode(ERROR_INVALID_NAME);
  std::wstring given;
  if (!isSeparator(path[0])) {
    char cwd[PATH_MAX];
    wchar_t wideCwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return failErrno(errno, ".");
    if (utf8ToWide(cwd, -1, wideCwd, PATH_MAX, true) == 0) {
      return failCode(ERROR_FILENAME_EXCED_RANGE);
    }
    given = wideCwd;
    given += L'/';
  }
  given += path;

  // Text only: a ".." after a link name goes back to the link's directory.
  std::wstring full;
  for (size_t start = 0; start < given.size();) {
    size_t end = start;
    while (end < given.size() && !isSeparator(given[end])) end++;
    std::wstring name = given.substr(start, end - start);
    if (name == L"..") {
      full.erase(full.rfind(L'/') == std::wstring::npos ? 0 : full.rfind(L'/'));
    } else if (!name.empty() && name != L".") {
      full += L'/' + name;
    }
    start = end + 1;
  }
  if (full.empty()) full = L"/";
  if (isSeparator(given.back()) && full != L"/") full += L'/';

  if (full.size() >= capacity || !buffer) return (DWORD)full.size() + 1;
  wcscpy(buffer, full.c_str());
  if (filePart) {
    size_t slash = full.rfind(L'/');
    *filePart = slash + 1 == full.size() ? nullptr : buffer + slash + 1;
  }
  return (DWORD)full.size();
}

DWORD GetFileAttributesW(const wchar_t* path) {
  char native[PATH_MAX];
  if (!toNative(path, native)) return INVALID_FILE_ATTRIBUTES;
  DWORD attributes = attributesOf(native);
  if (attributes == INVALID_FILE_ATTRIBUTES) failErrno(errno, native);
  return attributes;
}

BOOL CreateDirectoryW(const wchar_t* path, LPSECURITY_ATTRIBUTES) {
  char native[PATH_MAX];
  if (!toNative(path, native)) return 0;
  if (mkdir(native, 0777) != 0) {
    // ENOENT here always means the parent is missing.
    return failCode(errno == ENOENT ? ERROR_PATH_NOT_FOUND : winCode(errno));
  }
  return 1;
}

BOOL RemoveDirectoryW(const wchar_t* path) {
  char native[PATH_MAX];
  if (!toNative(path, native)) return 0;
  // rmdir never removes a link, so an empty directory, the usual case, needs
  // no attribute read; anything else is looked at as before.
  if (rmdir(native) == 0) return 1;
  DWORD attributes = attributesOf(native);
  if (attributes == INVALID_FILE_ATTRIBUTES) return failErrno(errno, native);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return failCode(ERROR_DIRECTORY);
  int done = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? unlink(native) : rmdir(native);
  if (done != 0) return failErrno(errno == EEXIST ? ENOTEMPTY : errno, native);
  return 1;
}

BOOL DeleteFileW(const wchar_t* path) {
  char native[PATH_MAX];
  if (!toNative(path, native)) return 0;
  DWORD attributes = attributesOf(native);
  if (attributes == INVALID_FILE_ATTRIBUTES) return failErrno(errno, native);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return failCode(ERROR_ACCESS_DENIED);
  if (unlink(native) != 0) return failErrno(errno, native);
  return 1;
}

HANDLE FindFirstFileW(const wchar_t* pattern, WIN32_FIND_DATAW* data) {
  char dir[PATH_MAX];
  if (!listedDir(pattern, dir)) return INVALID_HANDLE_VALUE;
  DIR* d = opendir(dir);
  if (!d) {
    int err = errno;
    struct stat st;
    if (err == ENOTDIR && stat(dir, &st) == 0 && !S_ISDIR(st.st_mode)) {
      return failHandle(ERROR_DIRECTORY);
    }
    return failHandle(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : winCode(err));
  }
  FindRecord* r = new FindRecord{kFindMagic, d, 0};
  if (!nextEntry(r, data)) {
    FindClose(r);
    return INVALID_HANDLE_VALUE;
  }
  return r;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  FindRecord* r = findRecord(find);
  if (!r) return failCode(ERROR_INVALID_HANDLE);
  return nextEntry(r, data);
}

BOOL FindClose(HANDLE find) {
  FindRecord* r = findRecord(find);
  if (!r) return failCode(ERROR_INVALID_HANDLE);
  closedir(r->dir);
  r->magic = 0;
  delete r;
  return 1;
}

HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
  char native[PATH_MAX];
  if (!toNative(path, native)) return INVALID_HANDLE_VALUE;
  bool linkItself = flags & FILE_FLAG_OPEN_REPARSE_POINT;
  if (disposition != OPEN_EXISTING) return failHandle(ERROR_INVALID_PARAMETER);
  if (access == 0 && !linkItself) return openQuery(native);
  if ((access == 0 || access == FILE_READ_ATTRIBUTES) && linkItself) return openLinkItself(native);
  if (access == FILE_LIST_DIRECTORY && (flags & FILE_FLAG_BACKUP_SEMANTICS)) {
    return openHold(native, linkItself);
  }
  if (access == GENERIC_WRITE && linkItself && (flags & FILE_FLAG_BACKUP_SEMANTICS)) {
    return openWriter(native);
  }
  return failHandle(ERROR_INVALID_PARAMETER);
}

DWORD GetFinalPathNameByHandleA(HANDLE file, char* buffer, DWORD capacity, DWORD flags) {
  FileRecord* f = fileRecord(file);
  if (!f) return failCode(ERROR_INVALID_HANDLE);
  if (f->kind != Opened::Query) return failCode(ERROR_INVALID_FUNCTION);
  if (flags != 0) return failCode(ERROR_INVALID_PARAMETER);
  size_t len = strlen(f->path);
  if (len >= capacity || !buffer) return (DWORD)len + 1;
  memcpy(buffer, f->path, len + 1);
  return (DWORD)len;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* bytesReturned, LPOVERLAPPED) {
  FileRecord* f = fileRecord(device);
  if (bytesReturned) *bytesReturned = 0;
  if (f && f->kind == Opened::LinkItself && code == FSCTL_GET_REPARSE_POINT) {
    return readReparseData(f->path, out, outSize, bytesReturned);
  }
  if (!f || f->kind != Opened::Writer) return failCode(ERROR_INVALID_HANDLE);
  if (code != FSCTL_SET_REPARSE_POINT) return failCode(ERROR_INVALID_FUNCTION);
  char target[PATH_MAX];
  if (!mountPointTarget(in, inSize, target)) return failCode(ERROR_INVALID_REPARSE_DATA);
  return makeJunction(target, f->path, f->fd);
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
  FileRecord* f = fileRecord(file);
  if (!f) return failCode(ERROR_INVALID_HANDLE);
  if (!information) return failCode(ERROR_INVALID_PARAMETER);
  struct stat st;
  int done = f->fd >= 0 ? fstat(f->fd, &st) : fstatat(AT_FDCWD, f->path, &st, AT_SYMLINK_NOFOLLOW);
  if (done != 0) return failErrno(errno, f->path);
  memset(information, 0, sizeof *information);
  information->dwFileAttributes = S_ISDIR(st.st_mode)    ? FILE_ATTRIBUTE_DIRECTORY
                                  : !S_ISLNK(st.st_mode) ? FILE_ATTRIBUTE_ARCHIVE
                                                         : attributesOf(f->path);
  uint64_t device = (uint64_t)st.st_dev;
  information->dwVolumeSerialNumber = (DWORD)(device ^ (device >> 32));
  information->nFileIndexHigh = (DWORD)((uint64_t)st.st_ino >> 32);
  information->nFileIndexLow = (DWORD)st.st_ino;
  information->nNumberOfLinks = (DWORD)st.st_nlink;
  information->nFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
  information->nFileSizeLow = (DWORD)st.st_size;
  return 1;
}

BOOL CloseHandle(HANDLE handle) {
  FileRecord* f = fileRecord(handle);
  if (!f) return failCode(ERROR_INVALID_HANDLE);
  if (f->fd >= 0) close(f->fd);
  free(f->path);
  f->magic = 0;
  delete f;
  return 1;
}

DWORD GetLastError(void) { return lastError; }
