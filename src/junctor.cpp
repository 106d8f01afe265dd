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
void dropTrailingSeparators(wchar_t* path) {
  size_t length = wcslen(path);
  size_t kept = length;
  while (kept > 0 && isSeparator(path[kept - 1])) kept--;
  if (kept == 0 || kept == length) return;
  if (kept == 2 && path[1] == L':') kept = 3;
  path[kept] = 0;
}

int convertArg(const char* arg, wchar_t* wide, const char* message, int code) {
  if (MultiByteToWideChar(CP_ACP, 0, arg, -1, wide, MAX_PATH) != 0) return kContinue;
  fputs(message, stderr);
  return code;
}

int makeFullPath(const wchar_t* wide, wchar_t* full, const char* message, int code) {
  DWORD length = GetFullPathNameW(wide, MAX_PATH, full, nullptr);
  if (length == 0 || length >= MAX_PATH) {
    fputs(message, stderr);
    return code;
  }
  dropTrailingSeparators(full);
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

int buildSubstituteName(Run* run) {
  if (!isDrivePath(run->targetFull)) {
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
int leadsToTarget(Run* run) {
  int32_t result = readCmpLink(run->linkFull, run->targetFull, MAX_PATH, 1, 'A', '/');
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

// Removing what stands at the link would remove the target, or cut the way
// to it, when the target is the link path or lies inside it.
int refuseTargetInsideLink(const Run* run, int removesTree) {
  if (!pathWithin(run->targetFull, run->linkFull) && !(removesTree && targetInsideTree(run))) {
    return kContinue;
  }
  char linkText[PATH_TEXT_CAPACITY];
  char targetText[PATH_TEXT_CAPACITY];
  fprintf(stderr, "ERROR %s contains the %s, refused to remove it\n",
          pathText(run->linkFull, linkText), pathText(run->targetFull, targetText));
  return 3;
}

int replaceLink(Run* run) {
  if (!run->flags.replaceLink) {
    fputs("ERROR-<link-path> has another destination, use -L to enable redirect\n", stderr);
    return 3;
  }
  int status = refuseTargetInsideLink(run, 0);
  if (status != kContinue) return status;
  if (RemoveDirectoryW(run->linkFull)) return kContinue;
  unsigned long code = GetLastError();
  char text[PATH_TEXT_CAPACITY];
  fprintf(stderr, "ERROR-remove-existing-link-%lu on <link-path> %s \n", code,
          pathText(run->linkFull, text));
  return 4;
}

int removeDirectory(Run* run) {
  if (!run->flags.force) {
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
  fprintf(stderr, "ERROR remove existing file instead of <link-path>: %lu\n", code);
  return 3;
}

int clearLinkPath(Run* run) {
  if (leadsToTarget(run)) return 0;
  DWORD attributes = GetFileAttributesW(run->linkFull);
  if (attributes == INVALID_FILE_ATTRIBUTES) return kContinue;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return replaceLink(run);
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return removeDirectory(run);
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

int writeJunction(const Run* run) {
  if (!CreateDirectoryW(run->linkFull, nullptr)) {
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
    RemoveDirectoryW(run->linkFull);
    fprintf(stderr, "ERROR-open-link-directory-%lu\n", code);
    return 1;
  }
  alignas(8) unsigned char buffer[kReparseBufferSize];
  fillReparseData(run, buffer);
  DWORD size = ((REPARSE_DATA_BUFFER*)buffer)->ReparseDataLength + 8;
  DWORD returned = 0;
  if (DeviceIoControl(link, FSCTL_SET_REPARSE_POINT, buffer, size, nullptr, 0, &returned,
                      nullptr)) {
    CloseHandle(link);
    return 0;
  }
  DWORD code = GetLastError();
  CloseHandle(link);
  RemoveDirectoryW(run->linkFull);
  printWinAPIError((int32_t)code, run->linkFull, "ERROR set Junction");
  return 1;
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
