// The Windows operations of winapi.h on a POSIX system. A symbolic link to a
// directory plays the junction's part, and a directory where a file system
// is mounted is a directory link too, as a folder with a volume mounted in it
// is on Windows. Paths are wide, use '\' or '/', are put in the form Windows
// would use before any call, and are resolved relative to the innermost held
// directory they lie in, so that nothing done by path inside a held tree can
// be led elsewhere by a link swapped in for one of its directories.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/utf8.h"
#include "platform/winapi.h"

#ifndef STATX_ATTR_MOUNT_ROOT
#define STATX_ATTR_MOUNT_ROOT 0x00002000
#endif

namespace {

const DWORD kErrorTooManyOpenFiles = 4;
const DWORD kErrorGenFailure = 31;
const unsigned kFileMagic = 0x4A4E4646;  // guards against stale or foreign handles
const unsigned kFindMagic = 0x4A4E4644;
const DWORD kDirLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

thread_local DWORD lastError = ERROR_SUCCESS;

enum class Opened { Query, LinkItself, Writer, Hold };

struct FileRecord {
  unsigned magic;
  Opened kind;
  int fd;                // writer on a directory and hold: the directory itself; otherwise -1
  char* path;            // query: resolved absolute path; otherwise the path as opened
  bool itself;           // hold: opened with FILE_FLAG_OPEN_REPARSE_POINT
  DWORD linkAttributes;  // hold of a link: what its name showed when it was opened
  bool listed;           // hold: its descriptor has been read to list it
};

// A listing read with getdents64 straight from a descriptor: a held
// directory is listed through its own, which costs no open of its own.
struct FindRecord {
  unsigned magic;
  int fd;
  bool ownsFd;       // false: the held directory's descriptor, closed with its handle
  int dotsGiven;     // "." and ".." come first whatever order the file system has
  std::string path;  // the listed directory, as held paths are written
  int used = 0;
  int filled = 0;
  alignas(8) char entries[32768];
};

// The directories held now; a path resolves against the innermost it lies in.
std::vector<FileRecord*> held;

// The last entry listed, so that the attribute read the program makes for
// each entry costs no call, and its removal no second look.
struct {
  std::string path;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  bool symlink = false;
} lastEntry;

void forgetLastEntry() { lastEntry.path.clear(); }

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
DWORD missingCode(int dirFd, const char* name) {
  const char* slash = strrchr(name, '/');
  if (!slash) return ERROR_FILE_NOT_FOUND;
  std::string parent(name, slash == name ? 1 : (size_t)(slash - name));
  struct stat st;
  return fstatat(dirFd, parent.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                            : ERROR_PATH_NOT_FOUND;
}

BOOL failCode(DWORD code) {
  lastError = code;
  return 0;
}

BOOL failErrnoAt(int err, int dirFd, const char* name) {
  return failCode(err == ENOENT ? missingCode(dirFd, name) : winCode(err));
}

BOOL failErrno(int err, const char* path) { return failErrnoAt(err, AT_FDCWD, path); }

bool isSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// The path as Windows uses it: either separator, "." and ".." taken away as
// text, no trailing separator. A relative path stays relative ("." when
// nothing is left), and ".." cannot climb above the root.
std::wstring windowsForm(const wchar_t* path) {
  bool absolute = isSeparator(path[0]);
  std::vector<std::wstring> names;
  for (const wchar_t* p = path; *p;) {
    const wchar_t* end = p;
    while (*end && !isSeparator(*end)) end++;
    std::wstring name(p, end);
    if (name == L"..") {
      if (!names.empty() && names.back() != L"..") {
        names.pop_back();
      } else if (!absolute) {
        names.push_back(name);
      }
    } else if (!name.empty() && name != L".") {
      names.push_back(name);
    }
    p = *end ? end + 1 : end;
  }
  std::wstring form = absolute ? L"/" : L"";
  for (const std::wstring& name : names) {
    if (!form.empty() && form.back() != L'/') form += L'/';
    form += name;
  }
  return form.empty() ? L"." : form;
}

// Encodes a wide path for the kernel into `out` (PATH_MAX bytes), in the form
// windowsForm gives, without building it first: this runs for every entry.
bool toNative(const wchar_t* path, char* out) {
  if (!path || !*path) return failCode(ERROR_PATH_NOT_FOUND);
  const bool absolute = isSeparator(path[0]);
  size_t len = absolute ? 1 : 0;
  out[0] = '/';
  const size_t base = len;
  size_t starts[PATH_MAX / 2];  // where each name kept begins, its separator included
  int depth = 0, ups = 0;       // names kept; of them, leading ".." of a relative path
  for (const wchar_t* p = path;;) {
    while (isSeparator(*p)) p++;
    if (!*p) break;
    const wchar_t* end = p;
    while (*end && !isSeparator(*end)) end++;
    bool dot = end - p == 1 && p[0] == L'.';
    bool dotDot = end - p == 2 && p[0] == L'.' && p[1] == L'.';
    if (dotDot && depth > ups) {
      len = starts[--depth];
    } else if (!dot && !(dotDot && absolute)) {
      if (depth == PATH_MAX / 2) return failCode(ERROR_FILENAME_EXCED_RANGE);
      starts[depth++] = len;
      ups += dotDot;
      if (len > base) out[len++] = '/';
      for (const wchar_t* c = p; c < end; c++) {
        if (len + 5 > PATH_MAX) return failCode(ERROR_FILENAME_EXCED_RANGE);
        // Most names are ASCII, and a name never holds the separator '\'.
        if (*c > 0 && *c < 0x80) {
          out[len++] = (char)*c;
        } else {
          len += nativeChar(*c, out + len);
        }
      }
    }
    p = end;
  }
  if (len == 0) out[len++] = '.';
  out[len] = 0;
  return true;
}

// Where a native path lies: the rest of its text below `outer`, or null
// when it does not lie strictly inside.
const char* below(const char* outer, const char* path) {
  if (strcmp(outer, "/") == 0) return path[0] == '/' && path[1] ? path + 1 : nullptr;
  if (strcmp(outer, ".") == 0) {
    bool up = strncmp(path, "..", 2) == 0 && (path[2] == 0 || path[2] == '/');
    return path[0] != '/' && strcmp(path, ".") != 0 && !up ? path : nullptr;
  }
  size_t n = strlen(outer);
  return strncmp(outer, path, n) == 0 && path[n] == '/' ? path + n + 1 : nullptr;
}

// A path as the kernel is given it: a name relative to a directory
// descriptor, the innermost held directory the path lies in or else the
// current directory.
struct Place {
  char text[PATH_MAX];  // the whole path, as held paths are written
  int dirFd;
  const char* name;
};

bool place(const wchar_t* path, Place* at) {
  if (!toNative(path, at->text)) return false;
  at->dirFd = AT_FDCWD;
  at->name = at->text;
  size_t deepest = 0;
  for (FileRecord* h : held) {
    const char* rest = below(h->path, at->text);
    if (rest && strlen(h->path) >= deepest) {
      deepest = strlen(h->path);
      at->dirFd = h->fd;
      at->name = rest;
    }
  }
  return true;
}

// The kind and identity of `name` itself, never following it. Falls back on
// fstatat where statx is missing; the mount flag is then unknown.
bool examine(int dirFd, const char* name, int flags, struct statx* sx) {
  if (statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
            STATX_TYPE | STATX_MODE | STATX_INO | STATX_NLINK | STATX_SIZE, sx) == 0) {
    return true;
  }
  if (errno != ENOSYS) return false;
  struct stat st;
  if (fstatat(dirFd, name, &st, flags | AT_SYMLINK_NOFOLLOW) != 0) return false;
  memset(sx, 0, sizeof *sx);
  sx->stx_mode = (uint16_t)st.st_mode;
  sx->stx_ino = st.st_ino;
  sx->stx_nlink = (uint32_t)st.st_nlink;
  sx->stx_size = (uint64_t)st.st_size;
  sx->stx_dev_major = major(st.st_dev);
  sx->stx_dev_minor = minor(st.st_dev);
  return true;
}

// Whether the directory examined in `sx` is where a file system is mounted;
// without the kernel's flag, a device that differs from its parent's.
bool isMountRoot(const struct statx& sx, int dirFd, const char* name) {
  if (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) {
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  std::string up = *name ? std::string(name) + "/.." : "..";
  struct stat parent;
  return fstatat(dirFd, up.c_str(), &parent, 0) == 0 &&
         parent.st_dev != makedev(sx.stx_dev_major, sx.stx_dev_minor);
}

// A link whose target is a directory, or is missing: on Windows a junction
// stays a directory entry when its target goes.
bool linkActsAsDir(int dirFd, const char* name) {
  struct stat target;
  return fstatat(dirFd, name, &target, 0) != 0 || S_ISDIR(target.st_mode);
}

DWORD linkAttributes(int dirFd, const char* name) {
  return FILE_ATTRIBUTE_REPARSE_POINT |
         (linkActsAsDir(dirFd, name) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
}

// Attributes of `name` itself (relative to `dirFd`), never following it;
// INVALID_FILE_ATTRIBUTES with errno set when it cannot be examined.
DWORD attributesAt(int dirFd, const char* name) {
  struct statx sx;
  if (!examine(dirFd, name, 0, &sx)) return INVALID_FILE_ATTRIBUTES;
  if (S_ISDIR(sx.stx_mode))
    return isMountRoot(sx, dirFd, name) ? kDirLink : FILE_ATTRIBUTE_DIRECTORY;
  if (S_ISLNK(sx.stx_mode)) return linkAttributes(dirFd, name);
  return FILE_ATTRIBUTE_ARCHIVE;
}

DWORD attributesOf(const char* path) { return attributesAt(AT_FDCWD, path); }

DWORD knownAttributes(const Place& at) {
  return lastEntry.path == at.text ? lastEntry.attributes : INVALID_FILE_ATTRIBUTES;
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

HANDLE newFileRecord(Opened kind, int fd, char* path, bool itself = false) {
  if (!path) {
    if (fd >= 0) close(fd);
    return failHandle(ERROR_NOT_ENOUGH_MEMORY);
  }
  return new FileRecord{kFileMagic, kind, fd, path, itself, 0, false};
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

// A link found where a directory was to be held, opened itself as Windows
// opens a junction with FILE_FLAG_OPEN_REPARSE_POINT, so that the caller
// sees what stands there now. ENOTDIR when it is no link.
int openLinkAt(int dirFd, const char* name, DWORD* attributes) {
  int fd = openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct statx sx;
  if (fd < 0) return -1;
  if (examine(fd, "", AT_EMPTY_PATH, &sx) && S_ISLNK(sx.stx_mode)) {
    *attributes = linkAttributes(dirFd, name);
    return fd;
  }
  close(fd);
  errno = ENOTDIR;
  return -1;
}

// A held directory: opened relative to the directory held around it, and
// never through a link at its own name unless the caller follows it.
HANDLE openHold(const Place& at, bool linkItself) {
  int fd =
      openat(at.dirFd, at.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (linkItself ? O_NOFOLLOW : 0));
  DWORD link = 0;
  if (fd < 0 && linkItself && (errno == ELOOP || errno == ENOTDIR)) {
    fd = openLinkAt(at.dirFd, at.name, &link);
    if (fd < 0 && errno == ENOTDIR) return failHandle(ERROR_DIRECTORY);
  }
  if (fd < 0) {
    int err = errno;
    if (err == ELOOP || err == ENOTDIR) return failHandle(ERROR_DIRECTORY);
    failErrnoAt(err, at.dirFd, at.name);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = newFileRecord(Opened::Hold, fd, strdup(at.text), linkItself);
  if (h == INVALID_HANDLE_VALUE) return h;
  ((FileRecord*)h)->linkAttributes = link;
  // Held, a link leads nowhere: a path below it resolves against a
  // descriptor of no directory and fails.
  held.push_back((FileRecord*)h);
  return h;
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
  if (nativeToWide(text, target, PATH_MAX) == 0) return failCode(ERROR_INVALID_REPARSE_DATA);
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

// The directory that a "dir/*" pattern lists.
bool listedDir(const wchar_t* pattern, Place* dir) {
  size_t len = pattern ? wcslen(pattern) : 0;
  if (len == 0 || pattern[len - 1] != L'*' || (len > 1 && !isSeparator(pattern[len - 2]))) {
    return failCode(ERROR_INVALID_PARAMETER);
  }
  if (len == 1) return place(L".", dir);
  return place(std::wstring(pattern, len - 1).c_str(), dir);
}

FileRecord* heldAt(const char* path) {
  for (FileRecord* h : held) {
    if (strcmp(h->path, path) == 0) return h;
  }
  return nullptr;
}

// Opens the listing of a directory: of a held one through its descriptor,
// so that it lists what was checked when it was held. -1 with errno.
int openListing(const Place& dir, bool* ownsFd) {
  FileRecord* h = heldAt(dir.text);
  *ownsFd = !h || h->listed;
  if (h && !h->listed) {
    h->listed = true;
    return h->fd;
  }
  return h ? openat(h->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
           : openat(dir.dirFd, dir.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The next entry of the listing, or null at its end (errno 0) or on failure.
const struct dirent64* readEntry(FindRecord* r) {
  if (r->used >= r->filled) {
    ssize_t n = getdents64(r->fd, r->entries, sizeof r->entries);
    if (n <= 0) {
      if (n == 0) errno = 0;
      return nullptr;
    }
    r->filled = (int)n;
    r->used = 0;
  }
  const struct dirent64* e = (const struct dirent64*)(r->entries + r->used);
  r->used += e->d_reclen;
  return e;
}

// The kind of an entry, from the listing where it tells: a file costs no
// call, a directory only the look whether something is mounted on it.
DWORD entryAttributes(int dirFd, const struct dirent64* e) {
  switch (e->d_type) {
    case DT_REG:
    case DT_FIFO:
    case DT_SOCK:
    case DT_CHR:
    case DT_BLK:
      return FILE_ATTRIBUTE_ARCHIVE;
    case DT_LNK:
      return linkAttributes(dirFd, e->d_name);
    default:
      return attributesAt(dirFd, e->d_name);
  }
}

bool nextEntry(FindRecord* r, WIN32_FIND_DATAW* data) {
  memset(data, 0, sizeof *data);
  forgetLastEntry();
  if (r->dotsGiven < 2) {
    wcscpy(data->cFileName, r->dotsGiven++ == 0 ? L"." : L"..");
    data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    return true;
  }
  for (;;) {
    errno = 0;
    const struct dirent64* e = readEntry(r);
    // A directory removed while it is listed (another run emptying the same
    // tree) reads as ENOENT: it holds nothing more.
    if (!e) return failCode(errno && errno != ENOENT ? winCode(errno) : ERROR_NO_MORE_FILES);
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (nativeToWide(e->d_name, data->cFileName, MAX_PATH) == 0) {
      return failCode(ERROR_FILENAME_EXCED_RANGE);
    }
    DWORD attributes = entryAttributes(r->fd, e);
    // An entry removed since readdir is reported as a file; acting on it
    // will then answer that it is gone.
    data->dwFileAttributes =
        attributes == INVALID_FILE_ATTRIBUTES ? FILE_ATTRIBUTE_ARCHIVE : attributes;
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      // Written as place() writes it; assign keeps the buffer from entry to entry.
      lastEntry.path.assign(r->path == "." ? "" : r->path);
      if (r->path != "." && r->path != "/") lastEntry.path += '/';
      lastEntry.path += e->d_name;
      lastEntry.attributes = attributes;
      lastEntry.symlink = e->d_type == DT_LNK;
    }
    return true;
  }
}

// Removes the directory, or the directory link, at `at`. rmdir never removes
// a link, so the usual case, an empty directory, costs one call; rmdir's own
// answer stands for a directory, a mounted one included. A link the listing
// just showed is unlinked at once; should it be a directory by now, unlink
// refuses and rmdir has its say.
BOOL removeDirAt(const Place& at, bool symlink) {
  if (symlink && unlinkat(at.dirFd, at.name, 0) == 0) return 1;
  if (unlinkat(at.dirFd, at.name, AT_REMOVEDIR) == 0) return 1;
  int err = errno;
  if (err != ENOTDIR) return failErrnoAt(err == EEXIST ? ENOTEMPTY : err, at.dirFd, at.name);
  DWORD attributes = attributesAt(at.dirFd, at.name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return failErrnoAt(errno, at.dirFd, at.name);
  if ((attributes & kDirLink) != kDirLink) return failCode(ERROR_DIRECTORY);
  if (unlinkat(at.dirFd, at.name, 0) != 0) return failErrnoAt(errno, at.dirFd, at.name);
  return 1;
}

void fillInformation(const struct statx& sx, DWORD attributes, BY_HANDLE_FILE_INFORMATION* info) {
  memset(info, 0, sizeof *info);
  info->dwFileAttributes = attributes;
  uint64_t device = (uint64_t)makedev(sx.stx_dev_major, sx.stx_dev_minor);
  info->dwVolumeSerialNumber = (DWORD)(device ^ (device >> 32));
  info->nFileIndexHigh = (DWORD)(sx.stx_ino >> 32);
  info->nFileIndexLow = (DWORD)sx.stx_ino;
  info->nNumberOfLinks = sx.stx_nlink;
  info->nFileSizeHigh = (DWORD)(sx.stx_size >> 32);
  info->nFileSizeLow = (DWORD)sx.stx_size;
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
  // A byte that is not UTF-8 is carried as U+DC80 + byte and goes back as it came.
  int count = utf8ToWide(text, textLength, &decoded[0], bytes, true);
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
  // The bytes the kernel knows: '/' between names, and every name as it is.
  int length = wideToNative(wide, text, (size_t)textCapacity);
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
    if (nativeToWide(cwd, wideCwd, PATH_MAX) == 0) return failCode(ERROR_FILENAME_EXCED_RANGE);
    given = wideCwd;
    given += L'/';
  }
  given += path;
  // Text only: a ".." after a link name goes back to the link's directory.
  std::wstring full = windowsForm(given.c_str());
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
  Place at;
  if (!place(path, &at)) return INVALID_FILE_ATTRIBUTES;
  DWORD attributes = knownAttributes(at);
  if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
  attributes = attributesAt(at.dirFd, at.name);
  if (attributes == INVALID_FILE_ATTRIBUTES) failErrnoAt(errno, at.dirFd, at.name);
  return attributes;
}

BOOL CreateDirectoryW(const wchar_t* path, LPSECURITY_ATTRIBUTES) {
  Place at;
  if (!place(path, &at)) return 0;
  forgetLastEntry();
  if (mkdirat(at.dirFd, at.name, 0777) != 0) {
    // ENOENT here always means the parent is missing.
    return failCode(errno == ENOENT ? ERROR_PATH_NOT_FOUND : winCode(errno));
  }
  return 1;
}

BOOL RemoveDirectoryW(const wchar_t* path) {
  Place at;
  if (!place(path, &at)) return 0;
  DWORD known = knownAttributes(at);
  bool symlink =
      known != INVALID_FILE_ATTRIBUTES && (known & kDirLink) == kDirLink && lastEntry.symlink;
  forgetLastEntry();
  return removeDirAt(at, symlink);
}

BOOL DeleteFileW(const wchar_t* path) {
  Place at;
  if (!place(path, &at)) return 0;
  DWORD attributes = knownAttributes(at);
  forgetLastEntry();
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    attributes = attributesAt(at.dirFd, at.name);
    if (attributes == INVALID_FILE_ATTRIBUTES) return failErrnoAt(errno, at.dirFd, at.name);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return failCode(ERROR_ACCESS_DENIED);
  // Never follows: what stands at the name now is what goes.
  if (unlinkat(at.dirFd, at.name, 0) != 0) {
    return errno == EISDIR ? failCode(ERROR_ACCESS_DENIED) : failErrnoAt(errno, at.dirFd, at.name);
  }
  return 1;
}

HANDLE FindFirstFileW(const wchar_t* pattern, WIN32_FIND_DATAW* data) {
  forgetLastEntry();
  Place dir;
  if (!listedDir(pattern, &dir)) return INVALID_HANDLE_VALUE;
  bool ownsFd = true;
  int fd = openListing(dir, &ownsFd);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    if (err == ENOTDIR && fstatat(dir.dirFd, dir.name, &st, 0) == 0 && !S_ISDIR(st.st_mode)) {
      return failHandle(ERROR_DIRECTORY);
    }
    return failHandle(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : winCode(err));
  }
  FindRecord* r = new FindRecord;
  r->magic = kFindMagic;
  r->fd = fd;
  r->ownsFd = ownsFd;
  r->dotsGiven = 0;
  r->path = dir.text;
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
  forgetLastEntry();
  if (r->ownsFd) close(r->fd);
  r->magic = 0;
  delete r;
  return 1;
}

HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
  // What was listed may be gone by now; a later look must ask the kernel.
  forgetLastEntry();
  Place at;
  if (!place(path, &at)) return INVALID_HANDLE_VALUE;
  bool linkItself = flags & FILE_FLAG_OPEN_REPARSE_POINT;
  if (disposition != OPEN_EXISTING) return failHandle(ERROR_INVALID_PARAMETER);
  if (access == FILE_LIST_DIRECTORY && (flags & FILE_FLAG_BACKUP_SEMANTICS)) {
    return openHold(at, linkItself);
  }
  if (access == 0 && !linkItself) return openQuery(at.text);
  if ((access == 0 || access == FILE_READ_ATTRIBUTES) && linkItself) return openLinkItself(at.text);
  if (access == GENERIC_WRITE && linkItself && (flags & FILE_FLAG_BACKUP_SEMANTICS)) {
    return openWriter(at.text);
  }
  return failHandle(ERROR_INVALID_PARAMETER);
}

// The resolved path, with a backslash inside a name written as U+F05C so
// that the program never takes it for a separator. A name holding U+F05C
// itself could not be told from one with a backslash and is not given.
DWORD GetFinalPathNameByHandleA(HANDLE file, char* buffer, DWORD capacity, DWORD flags) {
  FileRecord* f = fileRecord(file);
  if (!f) return failCode(ERROR_INVALID_HANDLE);
  if (f->kind != Opened::Query) return failCode(ERROR_INVALID_FUNCTION);
  if (flags != 0) return failCode(ERROR_INVALID_PARAMETER);
  if (strstr(f->path, "\xEF\x81\x9C")) return failCode(ERROR_NO_UNICODE_TRANSLATION);
  std::string text;
  for (const char* c = f->path; *c; c++) {
    if (*c == '\\') {
      text += "\xEF\x81\x9C";
    } else {
      text += *c;
    }
  }
  if (text.size() >= capacity || !buffer) return (DWORD)text.size() + 1;
  memcpy(buffer, text.c_str(), text.size() + 1);
  return (DWORD)text.size();
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

// Told from the descriptor where there is one, so that a held directory is
// judged as what was opened, not as what its name leads to now.
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
  FileRecord* f = fileRecord(file);
  if (!f) return failCode(ERROR_INVALID_HANDLE);
  if (!information) return failCode(ERROR_INVALID_PARAMETER);
  struct statx sx;
  bool ofFd = f->fd >= 0;
  if (!examine(ofFd ? f->fd : AT_FDCWD, ofFd ? "" : f->path, ofFd ? AT_EMPTY_PATH : 0, &sx)) {
    return failErrno(errno, f->path);
  }
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if (S_ISDIR(sx.stx_mode)) {
    // Followed into a mounted file system, the directory is that volume's root.
    bool mounted = f->kind == Opened::Hold && f->itself && isMountRoot(sx, f->fd, "");
    attributes = mounted ? kDirLink : FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISLNK(sx.stx_mode)) {
    attributes = f->linkAttributes ? f->linkAttributes : attributesOf(f->path);
  }
  fillInformation(sx, attributes, information);
  return 1;
}

BOOL CloseHandle(HANDLE handle) {
  FileRecord* f = fileRecord(handle);
  if (!f) return failCode(ERROR_INVALID_HANDLE);
  for (size_t i = held.size(); i-- > 0;) {
    if (held[i] == f) {
      held.erase(held.begin() + (long)i);
      break;
    }
  }
  if (f->fd >= 0) close(f->fd);
  free(f->path);
  f->magic = 0;
  delete f;
  return 1;
}

DWORD GetLastError(void) { return lastError; }
