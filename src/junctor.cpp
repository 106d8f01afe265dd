#include "junctor.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "platform/pathrules.h"
#include "platform/winapi.h"
#include "printWinAPIError.h"
#include "realpath.h"
#include "tidyup.h"

namespace {

const size_t kSubstituteCapacity = 276;
// The fixed fields and room for 536 characters: 1088 bytes where a wide
// character has two bytes, as on Windows.
const size_t kReparseBufferSize = 16 + 536 * sizeof(WCHAR);
static_assert(sizeof(WCHAR) != 2 || kReparseBufferSize == 1088, "reparse buffer of Windows");
const size_t kMaxNameChars = 535;
const int kContinue = -1;
const char kTreeRemovalContext[] = "ERROR on deletion faulty directory tree instead symbLink";
const char kSetContext[] = "ERROR set Junction";
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Windows gives up on a chain of reparse points at about this depth.
const int kMaxLinkHops = 32;

// A file as the volume knows it, whatever path leads there.
struct FileId {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
};

struct Flags {
  int force;
  int replaceLink;
  int createTarget;
};

// Everything a run works on; filled stage by stage.
struct Run {
  Flags flags;
  wchar_t linkFull[MAX_PATH];
  wchar_t targetFull[MAX_PATH];
  wchar_t substitute[kSubstituteCapacity];
  DWORD substituteLength;
  DWORD targetLength;
  wchar_t errPath[MAX_PATH];
};

const char kUsage[] =
    "\n"
    "junctor <link-path> <target-path> [-L|-F] [-T]  [{ -[--<*?>|{L|F|T}] }]\n"
    " Version: 2026-11-12\n"
    " Creates a Windows directory Junction.\n"
    " Both paths may use slash or backslash.\n"
    " Does nothing if the <link-path> already refers to the correct <target-path> possible with "
    "different lower/upper chars\n"
    " The <link-path> parent directory have to be given. Elsewhere return 3. \n"
    " Options: Write it in any kind '-F -T' or '-FT' or e.g. '---L -F ---T' \n"
    " -F (force) replace an existing <link-path> or remove any existing file or directory tree on "
    "<link-path>\n"
    " -L (link) replace an existing <link-path>, does not remove an ordinary directory or file "
    "given on <link-path>.\n"
    " -T (target) creates a non existing <target-path>, with [-F] removes a file given instead the "
    "target directory.\n"
    " ---option is a commended, non effective option.\n"
    " returns 0 success, 1=link path cannot be created, 2= target-path is faulty.\n"
    " on error a dedicated error message is written to stderr including the faulty path or file\n";

int isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

wchar_t asciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c + 32 : c; }

void applyOption(char letter, void* state) {
  Flags* flags = (Flags*)state;
  if (letter == 'F') flags->force = flags->replaceLink = 1;
  if (letter == 'L') flags->replaceLink = 1;
  if (letter == 'T') flags->createTarget = 1;
}

// A final path never ends in a separator, so neither may the paths compared
// with it; a root keeps its own, and so does a path of separators only.
// Returns whether anything was dropped.
int dropTrailingSeparators(wchar_t* path) {
  size_t length = wcslen(path);
  size_t kept = length;
  while (kept > 0 && isSeparator(path[kept - 1])) kept--;
  if (kept == 0 || kept == length) return 0;
  if (kept == 2 && path[1] == L':') kept = 3;
  path[kept] = 0;
  return kept < length;
}

// Windows drops trailing spaces and dots from the last name only, so "x \"
// names "x " while "x " names "x": such a path cannot lose its separator.
int namesTheSame(const wchar_t* full) {
  wchar_t again[MAX_PATH];
  DWORD length = GetFullPathNameW(full, MAX_PATH, again, nullptr);
  return length > 0 && length < MAX_PATH && wcscmp(again, full) == 0;
}

int convertArg(const char* arg, wchar_t* wide, const char* message, int code) {
  if (MultiByteToWideChar(CP_ACP, 0, arg, -1, wide, MAX_PATH) != 0) return kContinue;
  fputs(message, stderr);
  return code;
}

int makeFullPath(const wchar_t* wide, wchar_t* full, const char* message, int code) {
  DWORD length = GetFullPathNameW(wide, MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH || (dropTrailingSeparators(full) && !namesTheSame(full))) {
    fputs(message, stderr);
    return code;
  }
  return kContinue;
}

int preparePaths(const char* const argv[], Run* run) {
  wchar_t linkWide[MAX_PATH];
  wchar_t targetWide[MAX_PATH];
  int status = convertArg(argv[1], linkWide, "ERROR-invalid-link path-length\n", 6);
  if (status == kContinue) {
    status = convertArg(argv[2], targetWide, "ERROR-invalid-target path-length\n", 7);
  }
  if (status == kContinue) {
    status = makeFullPath(linkWide, run->linkFull, "ERROR-invalid-link-path\n", 1);
  }
  if (status == kContinue) {
    status = makeFullPath(targetWide, run->targetFull, "ERROR-invalid-target-path\n", 2);
  }
  return status;
}

int createTarget(Run* run) {
  int32_t status = createDir(run->targetFull, run->flags.force, run->errPath, MAX_PATH);
  if (status == 0) return kContinue;
  printWinAPIError(status, run->errPath, "ERROR creation directory");
  return 2;
}

// A directory link at the target is taken as it is, but one that leads
// nowhere would make a junction to nowhere.
int isUsableDirectory(const wchar_t* path, DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 1;
  wchar_t finalPath[MAX_PATH];
  return readCmpLink(path, finalPath, MAX_PATH, 0, 0, 0) != 3;
}

int checkTarget(Run* run) {
  DWORD attributes = GetFileAttributesW(run->targetFull);
  if (isUsableDirectory(run->targetFull, attributes)) return kContinue;
  int isDirectory =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (run->flags.createTarget && !isDirectory) return createTarget(run);
  char text[PATH_TEXT_CAPACITY];
  fprintf(stderr, "ERROR target does not exists as directory: %s\n",
          pathText(run->targetFull, text));
  return 2;
}

// A junction leads only to a local volume; a mapped drive's final path is a
// share. A final path that cannot be read is left to the writer.
int isDriveTarget(const Run* run) {
  if (!isDrivePath(run->targetFull)) return 0;
  wchar_t targetFinal[MAX_PATH];
  return readCmpLink(run->targetFull, targetFinal, MAX_PATH, 0, 0, 0) != 0 ||
         isDrivePath(targetFinal);
}

int buildSubstituteName(Run* run) {
  if (!isDriveTarget(run)) {
    fputs("ERROR-target-must-be-a-drive-path\n", stderr);
    return 2;
  }
  swprintf(run->substitute, kSubstituteCapacity, L"\\??\\%ls", run->targetFull);
  run->substituteLength = (DWORD)wcslen(run->substitute);
  run->targetLength = (DWORD)wcslen(run->targetFull);
  if (run->substituteLength + run->targetLength + 2 > kMaxNameChars) {
    fputs("ERROR-path-too-long\n", stderr);
    return 2;
  }
  return kContinue;
}

// The link already leads to the target when its final path is the target as
// typed, or the target's own final path (the target may pass through a link).
int leadsToTarget(const Run* run) {
  // Compare mode only reads the buffer.
  wchar_t* target = const_cast<wchar_t*>(run->targetFull);
  int32_t result = readCmpLink(run->linkFull, target, MAX_PATH, 1, 'A', '/');
  if (result != 1) return result == 0;
  wchar_t targetFinal[MAX_PATH];
  if (readCmpLink(run->targetFull, targetFinal, MAX_PATH, 0, 0, 0) != 0) return 0;
  return readCmpLink(run->linkFull, targetFinal, MAX_PATH, 1, 'A', '/') == 0;
}

// Non-zero when `inner` is `outer` or lies inside it, names compared as the
// platform compares them.
int pathWithin(const wchar_t* inner, const wchar_t* outer) {
  size_t length = wcslen(outer);
  if (length == 0 || wcslen(inner) < length) return 0;
  int ignoreCase = pathNamesIgnoreCase();
  for (size_t i = 0; i < length; i++) {
    wchar_t a = outer[i];
    wchar_t b = inner[i];
    if (isSeparator(a) && isSeparator(b)) continue;
    if (ignoreCase && asciiLower(a) == asciiLower(b)) continue;
    if (a != b) return 0;
  }
  return inner[length] == 0 || isSeparator(inner[length]) || isSeparator(outer[length - 1]);
}

// Where a tree is removed, the target may also lie inside it through a link
// on its own way. When a final path cannot be read, nothing shows that the
// target lies outside, so the tree stays.
int targetInsideTree(const Run* run) {
  wchar_t linkFinal[MAX_PATH];
  wchar_t targetFinal[MAX_PATH];
  if (readCmpLink(run->linkFull, linkFinal, MAX_PATH, 0, 0, 0) != 0) return 1;
  if (readCmpLink(run->targetFull, targetFinal, MAX_PATH, 0, 0, 0) != 0) return 1;
  return pathWithin(targetFinal, linkFinal);
}

// With FILE_FLAG_OPEN_REPARSE_POINT in `flags`, the link itself.
int readIdentity(const wchar_t* path, DWORD flags, FileId* id, DWORD* attributes) {
  HANDLE file = CreateFileW(path, 0, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  BOOL read = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!read) return 0;
  *id = FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  if (attributes) *attributes = info.dwFileAttributes;
  return 1;
}

int sameFile(const FileId* a, const FileId* b) {
  return a->volume == b->volume && a->indexHigh == b->indexHigh && a->indexLow == b->indexLow;
}

// Copies `count` characters of `text` to `out` at `at`; 0 when they do not fit.
int appendText(wchar_t* out, size_t at, const wchar_t* text, size_t count) {
  if (at + count >= MAX_PATH) return 0;
  memcpy(out + at, text, count * sizeof(wchar_t));
  out[at + count] = 0;
  return 1;
}

// A substitute name as a path: "\??\D:\x" and "\??\UNC\s\x" in their
// plain forms, any other device name kept as a device path.
int substituteAsPath(const wchar_t* name, size_t length, wchar_t* out) {
  if (length < 4 || wcsncmp(name, L"\\??\\", 4) != 0) return appendText(out, 0, name, length);
  name += 4;
  length -= 4;
  if (length >= 2 && (name[1] == L':' || isSeparator(name[0]))) {
    return appendText(out, 0, name, length);
  }
  if (length >= 4 && wcsncmp(name, L"UNC\\", 4) == 0) {
    return appendText(out, 0, L"\\\\", 2) && appendText(out, 2, name + 4, length - 4);
  }
  return appendText(out, 0, L"\\\\?\\", 4) && appendText(out, 4, name, length);
}

// The reparse data of `path` itself into `data`: 1, or 3 when it has none,
// 0 when it cannot be read.
int readReparseData(const wchar_t* path, unsigned char* data, DWORD* size) {
  HANDLE file = CreateFileW(path, 0, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BOOL read = DeviceIoControl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, data,
                              MAXIMUM_REPARSE_DATA_BUFFER_SIZE, size, nullptr);
  DWORD code = read ? 0 : GetLastError();
  CloseHandle(file);
  if (!read) return code == ERROR_NOT_A_REPARSE_POINT ? 3 : 0;
  return 1;
}

int isJunction(const wchar_t* path) {
  alignas(8) unsigned char data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
  DWORD size = 0;
  return readReparseData(path, data, &size) == 1 &&
         ((const REPARSE_DATA_BUFFER*)data)->ReparseTag == IO_REPARSE_TAG_MOUNT_POINT;
}

// Where the link at `path` leads, as text in `out`: 1 for an absolute and 2
// for a relative target, 3 for a reparse point that is no link (a mounted
// volume on POSIX; it is walked as a directory), 0 when it cannot be read.
int readLinkText(const wchar_t* path, wchar_t* out) {
  alignas(8) unsigned char data[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
  DWORD size = 0;
  int read = readReparseData(path, data, &size);
  if (read != 1) return read;
  const REPARSE_DATA_BUFFER* buffer = (const REPARSE_DATA_BUFFER*)data;
  int symlink = buffer->ReparseTag == IO_REPARSE_TAG_SYMLINK;
  if (!symlink && buffer->ReparseTag != IO_REPARSE_TAG_MOUNT_POINT) return 3;
  // The four offset and length fields are the same in both layouts.
  const auto& names = buffer->MountPointReparseBuffer;
  const WCHAR* start = symlink ? buffer->SymbolicLinkReparseBuffer.PathBuffer : names.PathBuffer;
  size_t offset = (size_t)((const unsigned char*)start - data) + names.SubstituteNameOffset;
  if (size > sizeof data || offset + names.SubstituteNameLength > size) return 0;
  const wchar_t* name = (const wchar_t*)(data + offset);
  size_t length = names.SubstituteNameLength / sizeof(WCHAR);
  int relative = symlink && (buffer->SymbolicLinkReparseBuffer.Flags & SYMLINK_FLAG_RELATIVE);
  if (relative) return appendText(out, 0, name, length) ? 2 : 0;
  return substituteAsPath(name, length, out);
}

// Continues the walk in `way` at the link `way[0..done)`: its target takes
// the link's place, a relative one beside the link. 0 when it cannot be read.
int followLink(wchar_t* way, size_t done) {
  wchar_t link[MAX_PATH];
  wchar_t target[MAX_PATH];
  wchar_t joined[MAX_PATH];
  if (!appendText(link, 0, way, done)) return 0;
  int kind = readLinkText(link, target);
  if (kind == 0 || kind == 3) return kind;
  size_t start = 0;
  if (kind == 2) {
    start = done;
    while (start > 0 && !isSeparator(way[start - 1])) start--;
    if (!appendText(joined, 0, way, start)) return 0;
  }
  if (!appendText(joined, start, target, wcslen(target)) ||
      !appendText(joined, wcslen(joined), way + done, wcslen(way + done))) {
    return 0;
  }
  DWORD length = GetFullPathNameW(joined, MAX_PATH, way, nullptr);
  return length > 0 && length < MAX_PATH ? 1 : 0;
}

// Whether the way to `path` passes through `link`: each name on it is looked
// at itself, and each link on it followed by its reparse data, so that no
// spelling, letter case, mount or link hides it. When the way cannot be
// read to its end, nothing shows that it does not.
int wayPassesThrough(const wchar_t* path, const FileId* link) {
  wchar_t way[MAX_PATH];
  if (!appendText(way, 0, path, wcslen(path))) return 1;
  size_t done = (size_t)pathRootLength(way);
  for (int hops = 0; hops <= kMaxLinkHops;) {
    wchar_t prefix[MAX_PATH];
    FileId id;
    DWORD attributes = 0;
    if (!appendText(prefix, 0, way, done) ||
        !readIdentity(prefix, FILE_FLAG_OPEN_REPARSE_POINT, &id, &attributes)) {
      return 1;
    }
    if (sameFile(&id, link)) return 1;
    int followed = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? followLink(way, done) : 3;
    if (followed == 0) return 1;
    if (followed == 1) {
      hops++;
      done = (size_t)pathRootLength(way);
      continue;
    }
    while (isSeparator(way[done])) done++;
    if (way[done] == 0) return 0;
    while (way[done] && !isSeparator(way[done])) done++;
  }
  return 1;
}

// Another run removed it meanwhile: what was asked for holds.
int isGone(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

int targetDependsOnLink(const Run* run, int removesTree) {
  if (pathWithin(run->targetFull, run->linkFull)) return 1;
  if (removesTree && targetInsideTree(run)) return 1;
  FileId link;
  if (!readIdentity(run->linkFull, FILE_FLAG_OPEN_REPARSE_POINT, &link, nullptr)) {
    // Nothing that is gone can be removed; anything else unreadable stays.
    return GetFileAttributesW(run->linkFull) != INVALID_FILE_ATTRIBUTES || !isGone(GetLastError());
  }
  return wayPassesThrough(run->targetFull, &link);
}

// Removing what stands at the link would remove the target, or cut the way
// to it, when the target is the link path, lies inside it or is reached
// through it.
int refuseTargetInsideLink(const Run* run, int removesTree) {
  if (!targetDependsOnLink(run, removesTree)) return kContinue;
  // Meanwhile it may have become another identical run's junction.
  if (leadsToTarget(run)) return 0;
  char linkText[PATH_TEXT_CAPACITY];
  char targetText[PATH_TEXT_CAPACITY];
  fprintf(stderr, "ERROR %s contains the %s, refused to remove it\n",
          pathText(run->linkFull, linkText), pathText(run->targetFull, targetText));
  return 3;
}

// Windows never removes a process's current directory, so clearing one
// would delete its content and fail only then.
int holdsCurrentDirectory(const Run* run) {
  FileId tree;
  wchar_t current[MAX_PATH];
  if (!readIdentity(run->linkFull, FILE_FLAG_OPEN_REPARSE_POINT, &tree, nullptr)) return 0;
  DWORD length = GetFullPathNameW(L".", MAX_PATH, current, nullptr);
  if (length == 0 || length >= MAX_PATH) return 0;
  size_t root = (size_t)pathRootLength(current);
  for (size_t end = length; end > root; end--) {
    if (end < length && !isSeparator(current[end])) continue;
    wchar_t saved = current[end];
    current[end] = 0;
    FileId id;
    int inside = readIdentity(current, 0, &id, nullptr) && sameFile(&id, &tree);
    current[end] = saved;
    if (inside) return 1;
  }
  return 0;
}

int anotherDestination() {
  fputs("ERROR-<link-path> has another destination, use -L to enable redirect\n", stderr);
  return 3;
}

// Right before the removal: what stands there may no longer be the link
// that was looked at, but another run's link directory, left to the writer.
int isStillALink(const Run* run) {
  FileId id;
  DWORD attributes = 0;
  return readIdentity(run->linkFull, FILE_FLAG_OPEN_REPARSE_POINT, &id, &attributes) &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

int replaceLink(Run* run) {
  // The link may be another identical run's, made since the comparison.
  if (!run->flags.replaceLink) return leadsToTarget(run) ? 0 : anotherDestination();
  int status = refuseTargetInsideLink(run, 0);
  if (status != kContinue) return status;
  // The writer rewrites a junction in place, so that the link path is never
  // missing and never holds what another run has just made there.
  if (isJunction(run->linkFull)) return kContinue;
  if (!isStillALink(run) || RemoveDirectoryW(run->linkFull)) return kContinue;
  unsigned long code = GetLastError();
  if (isGone(code)) return kContinue;
  char text[PATH_TEXT_CAPACITY];
  fprintf(stderr, "ERROR-remove-existing-link-%lu on <link-path> %s \n", code,
          pathText(run->linkFull, text));
  return 4;
}

int removeDirectory(Run* run) {
  if (!run->flags.force) {
    if (leadsToTarget(run)) return 0;
    fputs("ERROR <link-path> refers to a normal directory, use -F to force remove\n", stderr);
    return 3;
  }
  int status = refuseTargetInsideLink(run, 1);
  if (status != kContinue) return status;
  // A volume is never cleared to make room for a link.
  if (isVolumeRoot(run->linkFull)) {
    printWinAPIError(ERROR_ACCESS_DENIED, run->linkFull, kTreeRemovalContext);
    return 5;
  }
  if (holdsCurrentDirectory(run)) {
    printWinAPIError(ERROR_SHARING_VIOLATION, run->linkFull, kTreeRemovalContext);
    return 5;
  }
  int32_t result = removeDirTree(run->linkFull, 0, run->errPath, MAX_PATH);
  if (result == 0) return kContinue;
  printWinAPIError(result, run->errPath, kTreeRemovalContext);
  return 5;
}

int removeFile(Run* run) {
  if (!run->flags.force) {
    fputs("ERROR-<link-path> refers to a file, use -F to force remove\n", stderr);
    return 3;
  }
  if (DeleteFileW(run->linkFull)) return kContinue;
  unsigned long code = GetLastError();
  if (isGone(code)) return kContinue;
  fprintf(stderr, "ERROR remove existing file instead of <link-path>: %lu\n", code);
  return 3;
}

int isDots(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// When nothing can be listed, it counts as holding entries.
int isEmptyDirectory(const wchar_t* path) {
  wchar_t pattern[MAX_PATH];
  if (swprintf(pattern, MAX_PATH, L"%ls\\*", path) < 0) return 0;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(pattern, &entry);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int empty = 1;
  do {
    empty = isDots(entry.cFileName);
  } while (empty && FindNextFileW(find, &entry));
  FindClose(find);
  return empty;
}

int clearLinkPath(Run* run) {
  if (leadsToTarget(run)) return 0;
  DWORD attributes = GetFileAttributesW(run->linkFull);
  if (attributes == INVALID_FILE_ATTRIBUTES) return kContinue;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return replaceLink(run);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // An empty one, such as another run's link directory on its way to
    // becoming the junction, is taken as the writer takes one.
    if (!isVolumeRoot(run->linkFull) && isEmptyDirectory(run->linkFull) &&
        !holdsCurrentDirectory(run) && !targetDependsOnLink(run, 1)) {
      return kContinue;
    }
    return removeDirectory(run);
  }
  return removeFile(run);
}

void fillReparseData(const Run* run, unsigned char* buffer) {
  memset(buffer, 0, kReparseBufferSize);
  REPARSE_DATA_BUFFER* data = (REPARSE_DATA_BUFFER*)buffer;
  USHORT substituteBytes = (USHORT)(run->substituteLength * sizeof(WCHAR));
  USHORT targetBytes = (USHORT)(run->targetLength * sizeof(WCHAR));
  data->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  // The four offset and length fields, then both names with terminators.
  data->ReparseDataLength = (USHORT)(8 + substituteBytes + targetBytes + 2 * sizeof(WCHAR));
  data->MountPointReparseBuffer.SubstituteNameOffset = 0;
  data->MountPointReparseBuffer.SubstituteNameLength = substituteBytes;
  data->MountPointReparseBuffer.PrintNameOffset = (USHORT)(substituteBytes + sizeof(WCHAR));
  data->MountPointReparseBuffer.PrintNameLength = targetBytes;
  WCHAR* names = data->MountPointReparseBuffer.PathBuffer;
  memcpy(names, run->substitute, substituteBytes + sizeof(WCHAR));
  memcpy(names + run->substituteLength + 1, run->targetFull, targetBytes + sizeof(WCHAR));
}

// After a failure, the link directory goes again only while it is still the
// plain directory this run created: seen through the run's handle when it
// has one, then by path right before the removal, which only takes an empty
// one. Whatever another run put there stays.
void removeOwnDirectory(const Run* run, int created, HANDLE held) {
  BY_HANDLE_FILE_INFORMATION info = {};
  int plain = created && (held == INVALID_HANDLE_VALUE ||
                          (GetFileInformationByHandle(held, &info) &&
                           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)));
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  FileId now;
  DWORD attributes = 0;
  if (!plain || !readIdentity(run->linkFull, FILE_FLAG_OPEN_REPARSE_POINT, &now, &attributes)) {
    return;
  }
  FileId mine{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  if (held != INVALID_HANDLE_VALUE && !sameFile(&now, &mine)) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    RemoveDirectoryW(run->linkFull);
  }
}

// Exit 0 is only given where the link leads to the target when the run
// ends; another run may have changed it meanwhile.
int confirmWritten(const Run* run) {
  if (leadsToTarget(run)) return 0;
  DWORD attributes = GetFileAttributesW(run->linkFull);
  if (!run->flags.replaceLink && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return anotherDestination();
  }
  printWinAPIError(ERROR_SHARING_VIOLATION, run->linkFull, kSetContext);
  return 1;
}

// A link another run made since the existing-path handling looked: kept
// when it leads to the target, refused without -L, rewritten with it.
int metLink(const Run* run, HANDLE link) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(link, &info)) return kContinue;
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return kContinue;
  if (leadsToTarget(run)) return 0;
  return run->flags.replaceLink ? kContinue : anotherDestination();
}

int setReparsePoint(const Run* run, HANDLE link) {
  alignas(8) unsigned char buffer[kReparseBufferSize];
  fillReparseData(run, buffer);
  DWORD size = ((REPARSE_DATA_BUFFER*)buffer)->ReparseDataLength + 8;
  DWORD returned = 0;
  return DeviceIoControl(link, FSCTL_SET_REPARSE_POINT, buffer, size, nullptr, 0, &returned,
                         nullptr);
}

int writeJunction(const Run* run) {
  int created = CreateDirectoryW(run->linkFull, nullptr);
  if (!created) {
    DWORD code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS) {
      printWinAPIError((int32_t)code, run->linkFull, "ERROR create link directory");
      return 3;
    }
  }
  HANDLE link = CreateFileW(run->linkFull, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (link == INVALID_HANDLE_VALUE) {
    unsigned long code = GetLastError();
    removeOwnDirectory(run, created, INVALID_HANDLE_VALUE);
    if (leadsToTarget(run)) return 0;
    fprintf(stderr, "ERROR-open-link-directory-%lu\n", code);
    return 1;
  }
  int status = metLink(run, link);
  if (status != kContinue) {
    CloseHandle(link);
    return status;
  }
  if (!setReparsePoint(run, link)) {
    DWORD code = GetLastError();
    removeOwnDirectory(run, created, link);
    if (leadsToTarget(run)) return 0;
    printWinAPIError((int32_t)code, run->linkFull, kSetContext);
    return 1;
  }
  CloseHandle(link);
  return confirmWritten(run);
}

}  // namespace

int junctorCmd(int argc, const char* const argv[]) {
  if (argc <= 2 || argv[1][0] == 0 || argv[2][0] == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  Run run = {};
  int status = scanOptionArgs(argc, argv, 3, "FLT", applyOption, &run.flags);
  if (status) return status;
  status = preparePaths(argv, &run);
  if (status == kContinue) status = checkTarget(&run);
  if (status == kContinue) status = buildSubstituteName(&run);
  if (status == kContinue) status = clearLinkPath(&run);
  if (status == kContinue) status = writeJunction(&run);
  return status;
}
