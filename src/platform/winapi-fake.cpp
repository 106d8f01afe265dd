// The in-memory Windows file system of the unit tests (see winapi-fake.h).
// Every path is first normalised as Win32 does before the file system sees
// it ("File path formats on Windows systems"); the tree is then walked name
// by name, following links. Handles refer to the object they opened.
#include "platform/winapi-fake.h"

#include <locale.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <wctype.h>

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/utf8.h"

namespace fakefs {
namespace {

// Windows gives up on a chain of reparse points at about this depth.
const int kMaxLinkHops = 32;
const size_t kMountPointPathOffset =
    offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
// CreateDirectoryW without long-path support: MAX_PATH less room for an
// 8.3 name.
const size_t kMaxDirectoryPath = MAX_PATH - 12;
const size_t kMaxNameLength = 255;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The access rights that take part in sharing ("Creating and Opening Files");
// a handle with none of them (attributes only) neither conflicts nor blocks.
const DWORD kGenericAll = 0x10000000;
const DWORD kReadRights = 0x1 /* read data, list */ | 0x20 /* execute, traverse */ |
                          0x80000000 /* GENERIC_READ */ | 0x20000000 /* GENERIC_EXECUTE */ |
                          kGenericAll;
const DWORD kWriteRights = 0x2 | 0x4 | GENERIC_WRITE | kGenericAll;
const DWORD kDeleteRights = 0x10000 /* DELETE */ | kGenericAll;
const DWORD kDeleteAccess = 0x10000;
const DWORD kTraverseAccess = 0x20;
const DWORD kNotSameDevice = 17;

struct Volume;

struct Node {
  Kind kind = Kind::Dir;
  std::wstring name;
  bool readOnly = false;
  std::wstring target;
  bool rawTarget = false;  // an NT path, followed without normalisation
  std::vector<unsigned char> reparse;
  // Deleted while a handle was open: listed, but no longer opened, until the
  // last handle closes.
  bool deletePending = false;
  Node* parent = nullptr;
  Volume* volume = nullptr;
  // Keyed by the upper-cased name, which also gives the enumeration order.
  std::map<std::wstring, std::unique_ptr<Node>> children;
};

struct Volume {
  std::wstring root;  // "D:" or "\\server\share", as final paths name it
  std::wstring guid;  // "Volume{...}"; none for the share
  bool acceptsReparsePoints = true;
  bool remote = false;
  DWORD serial = 0;
  Node top;
};

// A path taken apart. Win32 paths are normalised on the way; a "\\?\" path
// is raw: its names reach the file system as they are.
struct PathText {
  std::wstring prefix;  // "\\.\" or "\\?\" of a device path
  std::wstring root;    // "D:", "\\server\share" or "Volume{...}"
  std::vector<std::wstring> names;
  bool trailingSeparator = false;
  bool raw = false;
  std::wstring rawText;  // a raw path as given
};

// Where a path leads in the tree.
struct Walk {
  Node* parent = nullptr;  // directory holding the last component
  Node* node = nullptr;    // what stands there; null when nothing
  std::wstring lastName;   // as given, when nothing stands there
  DWORD error = 0;         // why `node` is null
};

struct FileHandle {
  Node* node;
  DWORD access;
  DWORD shareMode;
  bool otherProcess;
};

struct Entry {
  std::wstring name;
  DWORD attributes;
};

struct Find {
  std::vector<Entry> entries;  // taken at FindFirstFileW
  size_t next = 0;
};

struct Fault {
  Op op;
  int nth;
  DWORD code;
};

struct Hook {
  Op op;
  int nth;
  std::function<void()> action;
};

struct State {
  std::vector<std::unique_ptr<Volume>> volumes;
  std::map<std::wstring, Volume*> roots;  // every upper-cased name of a volume
  PathText currentDir;
  std::map<std::wstring, PathText> driveDirs;  // current directory of each drive
  DWORD lastError = 0;
  std::vector<std::wstring> log;
  std::map<Op, int> calls;
  std::vector<Fault> faults;
  std::vector<Hook> hooks;
  std::map<HANDLE, FileHandle> handles;
  std::map<HANDLE, Find> finds;
  bool inHook = false;
};

const wchar_t* const kOpNames[] = {
    L"MultiByteToWideChar",
    L"GetFullPathNameW",
    L"GetFileAttributesW",
    L"CreateDirectoryW",
    L"RemoveDirectoryW",
    L"DeleteFileW",
    L"FindFirstFileW",
    L"FindNextFileW",
    L"FindClose",
    L"CreateFileW",
    L"GetFinalPathNameByHandleA",
    L"DeviceIoControl",
    L"CloseHandle",
    L"GetLastError",
    L"GetFileInformationByHandle",
};

// NTFS compares names through its upcase table, which folds every letter
// with a simple upper case, as towupper does in a Unicode locale. The C
// runtime of Windows folds only ASCII in the "C" locale, and a fixed named
// one keeps the fake alike on every machine.
wchar_t foldCase(wchar_t c) {
  if (c < 128) return c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c;
#ifdef _WIN32
  static _locale_t unicode = _create_locale(LC_CTYPE, "English_United States.1252");
  return unicode ? _towupper_l(c, unicode) : towupper(c);
#else
  static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  return unicode ? towupper_l(c, unicode) : towupper(c);
#endif
}

std::wstring upper(std::wstring s) {
  for (wchar_t& c : s) c = foldCase(c);
  return s;
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool startsWithNoCase(const std::wstring& s, const wchar_t* prefix) {
  size_t n = wcslen(prefix);
  return s.size() >= n && upper(s.substr(0, n)) == upper(prefix);
}

void addVolume(State& s, const std::wstring& root, int number) {
  auto volume = std::make_unique<Volume>();
  volume->root = root;
  volume->remote = root[0] == L'\\';
  volume->acceptsReparsePoints = root != L"R:";
  volume->serial = 0x5EED0000u + number;
  if (!volume->remote) {
    wchar_t guid[64];
    swprintf(guid, 64, L"Volume{5eed0000-0000-0000-0000-%012d}", number);
    volume->guid = guid;
    s.roots[upper(guid)] = volume.get();
  }
  volume->top.volume = volume.get();
  s.roots[upper(root)] = volume.get();
  s.volumes.push_back(std::move(volume));
}

State freshState() {
  State s;
  int number = 1;
  for (const wchar_t* root : {L"C:", L"D:", L"R:", L"M:", L"\\\\server\\share"}) {
    addVolume(s, root, number++);
  }
  s.currentDir.root = L"C:";
  return s;
}

State& st() {
  static State state = freshState();
  return state;
}

// Never reused, not even across reset, so that a stale handle stays invalid.
HANDLE newHandle() {
  static uintptr_t next = 0x100;
  next += 4;
  return reinterpret_cast<HANDLE>(next);
}

std::string narrow(const std::wstring& wide) {
  std::vector<char> buffer(wide.size() * 4 + 1);
  int length = wideToUtf8(wide.c_str(), buffer.data(), buffer.size());
  return std::string(buffer.data(), length < 0 ? 0 : length);
}

// ---- Path text ----

// A name followed by a separator loses a single trailing dot; the last name
// of a path loses all trailing dots and spaces ("File path formats on
// Windows systems": trimming). Names of three or more dots stay inside a
// path. A full path made of trimmed names therefore names the same entry.
std::wstring trimmed(std::wstring name, bool last) {
  if (!last) {
    size_t n = name.size();
    if (n > 1 && name[n - 1] == L'.' && name[n - 2] != L'.') name.pop_back();
    return name;
  }
  size_t end = name.find_last_not_of(L". ");
  return end == std::wstring::npos ? L"" : name.substr(0, end + 1);
}

// Applies the names of `rest` to `p`: "." and empty names vanish, ".." drops
// one, never climbing above the root.
void applyNames(PathText& p, const std::wstring& rest) {
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find_first_of(L"\\/", start);
    bool last = end == std::wstring::npos;
    if (last) end = rest.size();
    std::wstring name = rest.substr(start, end - start);
    if (name == L"..") {
      if (!p.names.empty()) p.names.pop_back();
    } else if (name != L".") {
      name = trimmed(name, last);
      if (!name.empty()) p.names.push_back(name);
    }
    start = end + 1;
  }
  p.trailingSeparator = !rest.empty() && isSeparator(rest.back());
}

std::vector<std::wstring> splitOnBackslash(const std::wstring& s) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (size_t end; (end = s.find(L'\\', start)) != std::wstring::npos; start = end + 1) {
    parts.push_back(s.substr(start, end - start));
  }
  parts.push_back(s.substr(start));
  return parts;
}

// "\\?\D:\x." (and the NT form "\??\D:\x." of a junction target) names `x.`:
// only the volume is looked up, every name is taken as it is.
PathText rawPath(const std::wstring& path) {
  PathText p;
  p.raw = true;
  p.rawText = path;
  std::vector<std::wstring> parts = splitOnBackslash(path.substr(4));
  size_t first = 1;
  if (upper(parts[0]) == L"UNC" && parts.size() >= 3) {
    p.root = L"\\\\" + parts[1] + L"\\" + parts[2];
    first = 3;
  } else {
    p.root = parts[0];
  }
  p.names.assign(parts.begin() + std::min(first, parts.size()), parts.end());
  if (!p.names.empty() && p.names.back().empty()) {
    p.names.pop_back();
    p.trailingSeparator = true;
  }
  return p;
}

bool isDevicePath(const std::wstring& s) {
  return s.size() >= 4 && isSeparator(s[0]) && isSeparator(s[1]) &&
         (s[2] == L'.' || s[2] == L'?') && isSeparator(s[3]);
}

// "\\server\share" from `s`, which starts with it; `*rest` gets what follows.
std::wstring shareRoot(const std::wstring& s, size_t at, std::wstring* rest) {
  size_t server = s.find_first_of(L"\\/", at);
  size_t share = server == std::wstring::npos ? server : s.find_first_of(L"\\/", server + 1);
  std::wstring root = L"\\\\" + s.substr(at, share == std::wstring::npos ? share : share - at);
  for (wchar_t& c : root)
    if (c == L'/') c = L'\\';
  *rest = share == std::wstring::npos ? L"" : s.substr(share);
  return root;
}

// "\\.\D:\a\..\b" is normalised after its first name, which names the
// volume and which ".." here never climbs above; only "\\?\" exactly, with
// backslashes, skips normalisation.
PathText devicePath(const std::wstring& s) {
  PathText p;
  p.prefix = std::wstring(L"\\\\") + s[2] + L"\\";
  std::wstring rest;
  if (startsWithNoCase(s.substr(4), L"UNC") && s.size() > 7 && isSeparator(s[7])) {
    p.root = shareRoot(s, 8, &rest);
  } else {
    size_t end = s.find_first_of(L"\\/", 4);
    p.root = s.substr(4, end == std::wstring::npos ? end : end - 4);
    rest = end == std::wstring::npos ? L"" : s.substr(end);
  }
  applyNames(p, rest);
  return p;
}

// Makes `path` full against `base` (the current directory, or the directory
// of a link), without looking at the tree.
PathText absolutize(const std::wstring& path, const PathText& base) {
  if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\??\\") == 0) {
    return rawPath(path);
  }
  if (isDevicePath(path)) return devicePath(path);
  PathText p;
  const std::wstring& s = path;
  if (s.size() >= 2 && isSeparator(s[0]) && isSeparator(s[1])) {
    std::wstring rest;
    p.root = shareRoot(s, 2, &rest);
    applyNames(p, rest);
  } else if (s.size() >= 2 && s[1] == L':') {
    std::wstring drive = upper(s.substr(0, 2));
    bool driveRelative = s.size() == 2 || !isSeparator(s[2]);
    auto current = st().driveDirs.find(drive);
    if (driveRelative && upper(base.root) == drive && base.prefix.empty()) {
      p = base;
    } else if (driveRelative && current != st().driveDirs.end()) {
      p = current->second;
    } else {
      p.root = s.substr(0, 2);
    }
    applyNames(p, s.substr(2));
  } else if (!s.empty() && isSeparator(s[0])) {
    p.root = base.root;
    p.prefix = base.prefix;
    applyNames(p, s);
  } else {
    p = base;
    applyNames(p, s);
  }
  return p;
}

std::wstring joined(const std::wstring& root, const std::vector<std::wstring>& names) {
  std::wstring s = root;
  for (const std::wstring& name : names) s += L"\\" + name;
  return s;
}

std::wstring toText(const PathText& p) {
  if (p.raw) return p.rawText;
  std::wstring root = p.root;
  if (!p.prefix.empty()) root = p.prefix + (root[0] == L'\\' ? L"UNC" + root.substr(1) : root);
  bool isDrive = p.prefix.empty() && p.root.size() == 2;
  if (p.names.empty()) return isDrive || p.trailingSeparator ? root + L"\\" : root;
  return joined(root, p.names) + (p.trailingSeparator ? L"\\" : L"");
}

bool matchesPattern(const wchar_t* pattern, const wchar_t* name) {
  if (*pattern == 0) return *name == 0;
  if (*pattern == L'*')
    return matchesPattern(pattern + 1, name) || (*name && matchesPattern(pattern, name + 1));
  if (*name == 0) return false;
  return (*pattern == L'?' || *pattern == *name) && matchesPattern(pattern + 1, name + 1);
}

// "Naming Files, Paths, and Namespaces": characters no name may hold.
bool isValidName(const std::wstring& name) {
  if (name.size() > kMaxNameLength) return false;
  for (wchar_t c : name)
    if (c < 32 || wcschr(L"<>:\"|?*/\\", c)) return false;
  return true;
}

// ---- The tree ----

Node* childNamed(Node& dir, const std::wstring& name) {
  auto it = dir.children.find(upper(name));
  return it == dir.children.end() ? nullptr : it->second.get();
}

Node& addChild(Node& dir, const std::wstring& name, Kind kind) {
  auto node = std::make_unique<Node>();
  node->kind = kind;
  node->name = name;
  node->parent = &dir;
  node->volume = dir.volume;
  Node& added = *node;
  dir.children[upper(name)] = std::move(node);
  return added;
}

bool isLink(const Node& node) { return node.kind == Kind::Junction || node.kind == Kind::FileLink; }

std::vector<std::wstring> namesOf(const Node* node) {
  std::vector<std::wstring> names;
  for (; node->parent; node = node->parent) names.insert(names.begin(), node->name);
  return names;
}

Volume* findVolume(const std::wstring& root) {
  auto it = st().roots.find(upper(root));
  return it == st().roots.end() ? nullptr : it->second;
}

Walk failedWalk(DWORD error) {
  Walk w;
  w.error = error;
  return w;
}

// Where the link at `node` leads, as a path; a relative target (file links
// only) starts in the link's directory.
PathText linkTargetText(const Node& node) {
  if (node.rawTarget) return rawPath(L"\\\\?\\" + node.target);
  PathText dir;
  dir.root = node.volume->root;
  dir.names = namesOf(node.parent);
  return absolutize(node.target, dir);
}

Walk walkText(PathText p, bool followLast) {
  for (int hops = 0; hops <= kMaxLinkHops; ++hops) {
    Volume* volume = findVolume(p.root);
    if (!volume) return failedWalk(ERROR_PATH_NOT_FOUND);
    Walk w;
    w.node = &volume->top;
    bool redirected = false;
    for (size_t i = 0; i < p.names.size() && !redirected; ++i) {
      bool last = i + 1 == p.names.size();
      const std::wstring& name = p.names[i];
      // The file system itself takes "." and ".." for no names.
      if (p.raw && (name.empty() || name == L"." || name == L"..")) {
        return failedWalk(ERROR_INVALID_NAME);
      }
      if (w.node->kind != Kind::Dir) return failedWalk(ERROR_PATH_NOT_FOUND);
      if (w.node->deletePending) return failedWalk(ERROR_ACCESS_DENIED);
      w.parent = w.node;
      w.node = childNamed(*w.parent, name);
      if (!w.node) {
        w.error = last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        w.lastName = name;
        return w;
      }
      if (isLink(*w.node) && (!last || followLast)) {
        PathText target = linkTargetText(*w.node);
        // A junction leads only to a local volume; Windows refuses to
        // follow one to a share (the code is the fake's choice).
        Volume* reached = findVolume(target.root);
        if (w.node->kind == Kind::Junction && reached && reached->remote) {
          return failedWalk(ERROR_INVALID_REPARSE_DATA);
        }
        target.names.insert(target.names.end(), p.names.begin() + i + 1, p.names.end());
        p = target;
        redirected = true;
      }
    }
    if (!redirected) return w;
  }
  return failedWalk(ERROR_CANT_RESOLVE_FILENAME);
}

Walk walk(const std::wstring& path, bool followLast) {
  return walkText(absolutize(path, st().currentDir), followLast);
}

Walk walkArgument(const wchar_t* path, bool followLast) {
  if (!path) return failedWalk(ERROR_INVALID_PARAMETER);
  if (!*path) return failedWalk(ERROR_PATH_NOT_FOUND);
  return walk(path, followLast);
}

std::wstring finalPathOf(const Node* node) {
  const std::wstring& root = node->volume->root;
  std::wstring prefix = root.size() == 2 ? L"\\\\?\\" + root : L"\\\\?\\UNC" + root.substr(1);
  std::vector<std::wstring> names = namesOf(node);
  return names.empty() ? prefix + L"\\" : joined(prefix, names);
}

DWORD attributesOf(const Node& node) {
  DWORD readOnly = node.readOnly ? FILE_ATTRIBUTE_READONLY : 0;
  switch (node.kind) {
    case Kind::Dir:
      return FILE_ATTRIBUTE_DIRECTORY | readOnly;
    case Kind::Junction:
      return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    case Kind::FileLink:
      return FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
    case Kind::File:
      return FILE_ATTRIBUTE_ARCHIVE | readOnly;
    case Kind::None:
      break;
  }
  return 0;
}

// ---- Sharing ("Creating and Opening Files") ----

bool takesPart(DWORD access) { return access & (kReadRights | kWriteRights | kDeleteRights); }

bool conflicts(DWORD access, DWORD shareMode, DWORD heldAccess, DWORD heldShare) {
  if (!takesPart(access) || !takesPart(heldAccess)) return false;
  return ((access & kReadRights) && !(heldShare & FILE_SHARE_READ)) ||
         ((access & kWriteRights) && !(heldShare & FILE_SHARE_WRITE)) ||
         ((access & kDeleteRights) && !(heldShare & FILE_SHARE_DELETE)) ||
         ((heldAccess & kReadRights) && !(shareMode & FILE_SHARE_READ)) ||
         ((heldAccess & kWriteRights) && !(shareMode & FILE_SHARE_WRITE)) ||
         ((heldAccess & kDeleteRights) && !(shareMode & FILE_SHARE_DELETE));
}

// The process holds its current directory open for traversal, sharing read
// and write only, so the directory cannot be removed.
const DWORD kCurrentDirAccess = kTraverseAccess;
const DWORD kCurrentDirShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

bool isCurrentDirectory(const Node* node) { return walkText(st().currentDir, true).node == node; }

// An open of `node` with this access and sharing fails with 32.
bool sharingConflicts(const Node* node, DWORD access, DWORD shareMode) {
  for (const auto& entry : st().handles) {
    const FileHandle& h = entry.second;
    if (h.node == node && conflicts(access, shareMode, h.access, h.shareMode)) return true;
  }
  return isCurrentDirectory(node) &&
         conflicts(access, shareMode, kCurrentDirAccess, kCurrentDirShare);
}

bool isOpen(const Node* node) {
  for (const auto& entry : st().handles)
    if (entry.second.node == node) return true;
  return false;
}

void erase(Node* node) { node->parent->children.erase(upper(node->name)); }

// Deletion as DeleteFileW and RemoveDirectoryW do it: an open for delete,
// then the name goes when the last handle to it closes. Recent NTFS may
// remove a file's name at once instead; the program must survive both.
DWORD deleteNode(Node* node) {
  if (sharingConflicts(node, kDeleteAccess, kShareAll)) return ERROR_SHARING_VIOLATION;
  if (node->readOnly) return ERROR_ACCESS_DENIED;
  if (node->kind == Kind::Dir && !node->children.empty()) return ERROR_DIR_NOT_EMPTY;
  if (isOpen(node)) {
    node->deletePending = true;
  } else {
    erase(node);
  }
  return 0;
}

void closeHandle(std::map<HANDLE, FileHandle>::iterator it) {
  Node* node = it->second.node;
  st().handles.erase(it);
  if (node->deletePending && !isOpen(node)) erase(node);
}

// ---- Calls ----

std::wstring logLine(Op op, const wchar_t* argument = nullptr) {
  std::wstring line = kOpNames[static_cast<int>(op)];
  return argument ? line + L" " + argument : line;
}

// Counts and logs the call and runs what the test armed for it. Returns true
// when the call is to fail; the last error is then set.
bool enter(Op op, const std::wstring& line) {
  State& s = st();
  int nth = ++s.calls[op];
  if (!s.inHook) {
    // A copy: an action may arm more hooks, or call this operation itself.
    std::vector<Hook> hooks = s.hooks;
    s.inHook = true;
    for (Hook& hook : hooks)
      if (hook.op == op && (hook.nth == 0 || hook.nth == nth)) hook.action();
    s.inHook = false;
  }
  s.log.push_back(line);
  if (op == Op::GetLastError) return false;
  for (const Fault& fault : s.faults) {
    if (fault.op == op && (fault.nth == 0 || fault.nth == nth)) {
      s.lastError = fault.code;
      return true;
    }
  }
  return false;
}

BOOL result(DWORD error) {
  if (error) st().lastError = error;
  return error == 0;
}

bool isRoot(const Walk& w) { return w.node && !w.parent; }

DWORD createDirectory(const PathText& text, const Walk& w) {
  if (!text.raw && toText(text).size() > kMaxDirectoryPath) return ERROR_FILENAME_EXCED_RANGE;
  if (w.node && w.node->deletePending) return ERROR_ACCESS_DENIED;
  if (w.node) return isRoot(w) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS;
  if (w.error != ERROR_FILE_NOT_FOUND) return w.error;
  if (!isValidName(w.lastName)) return ERROR_INVALID_NAME;
  addChild(*w.parent, w.lastName, Kind::Dir);
  return 0;
}

DWORD removeDirectory(const Walk& w) {
  if (!w.node) return w.error;
  if (isRoot(w)) return ERROR_ACCESS_DENIED;
  if (w.node->kind == Kind::File || w.node->kind == Kind::FileLink) return ERROR_DIRECTORY;
  if (w.node->deletePending) return ERROR_ACCESS_DENIED;
  return deleteNode(w.node);
}

DWORD deleteFile(const Walk& w) {
  if (!w.node) return w.error;
  if (isRoot(w) || w.node->kind == Kind::Dir || w.node->kind == Kind::Junction) {
    return ERROR_ACCESS_DENIED;
  }
  if (w.node->deletePending) return ERROR_ACCESS_DENIED;
  return deleteNode(w.node);
}

void fill(WIN32_FIND_DATAW* data, const Entry& entry) {
  memset(data, 0, sizeof *data);
  data->dwFileAttributes = entry.attributes;
  size_t length = entry.name.copy(data->cFileName, MAX_PATH - 1);
  data->cFileName[length] = 0;
}

DWORD findFirst(const std::wstring& pattern, Find& find) {
  size_t split = pattern.find_last_of(pattern.compare(0, 4, L"\\\\?\\") == 0 ? L"\\" : L"\\/");
  std::wstring dir, name;
  if (split != std::wstring::npos) {
    dir = pattern.substr(0, split + 1);  // keeps "D:\" a root
    name = pattern.substr(split + 1);
  } else if (pattern.size() >= 2 && pattern[1] == L':') {
    dir = pattern.substr(0, 2);
    name = pattern.substr(2);
  } else {
    dir = L".";
    name = pattern;
  }
  Walk w = walk(dir, true);
  if (!w.node) return w.error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : w.error;
  if (w.node->kind != Kind::Dir) return ERROR_DIRECTORY;
  if (w.node->deletePending) return ERROR_ACCESS_DENIED;
  if (name.empty()) return ERROR_FILE_NOT_FOUND;
  name = upper(name == L"*.*" ? L"*" : name);
  // As on NTFS, a volume's root has no "." and ".." entries.
  if (!isRoot(w)) {
    for (const wchar_t* dots : {L".", L".."})
      if (matchesPattern(name.c_str(), dots))
        find.entries.push_back({dots, FILE_ATTRIBUTE_DIRECTORY});
  }
  for (const auto& child : w.node->children) {
    if (matchesPattern(name.c_str(), child.first.c_str())) {
      find.entries.push_back({child.second->name, attributesOf(*child.second)});
    }
  }
  return find.entries.empty() ? ERROR_FILE_NOT_FOUND : 0;
}

DWORD openFile(const Walk& w, DWORD access, DWORD shareMode, DWORD flags) {
  if (!w.node) return w.error;
  if (w.node->deletePending) return ERROR_ACCESS_DENIED;
  bool isDirectory = w.node->kind == Kind::Dir || w.node->kind == Kind::Junction;
  if (isDirectory && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) return ERROR_ACCESS_DENIED;
  if ((access & kWriteRights) && w.node->readOnly && !isDirectory) return ERROR_ACCESS_DENIED;
  if (sharingConflicts(w.node, access, shareMode)) return ERROR_SHARING_VIOLATION;
  return 0;
}

HANDLE addHandle(Node* node, DWORD access, DWORD shareMode, bool otherProcess) {
  HANDLE handle = newHandle();
  st().handles[handle] = FileHandle{node, access, shareMode, otherProcess};
  return handle;
}

// The fixed part of a mount point's reparse data.
struct MountPointHeader {
  ULONG tag;
  USHORT dataLength;
  USHORT reserved;
  USHORT substituteOffset;
  USHORT substituteLength;
  USHORT printOffset;
  USHORT printLength;
};

bool fitsInPathBuffer(USHORT offset, USHORT length, size_t pathBytes) {
  return offset % sizeof(WCHAR) == 0 && length % sizeof(WCHAR) == 0 &&
         size_t(offset) + length <= pathBytes;
}

// Reads the junction target from mount point data, or returns 0 when the
// data is malformed.
DWORD readMountPoint(const void* in, DWORD inSize, std::wstring& target) {
  if (!in) return ERROR_INVALID_PARAMETER;
  if (inSize < kMountPointPathOffset) return ERROR_INVALID_REPARSE_DATA;
  MountPointHeader h;
  memcpy(&h, in, sizeof h);
  size_t pathBytes = inSize - kMountPointPathOffset;
  if (h.tag != IO_REPARSE_TAG_MOUNT_POINT || size_t(h.dataLength) + 8 != inSize ||
      h.substituteLength == 0 ||
      !fitsInPathBuffer(h.substituteOffset, h.substituteLength, pathBytes) ||
      !fitsInPathBuffer(h.printOffset, h.printLength, pathBytes)) {
    return ERROR_INVALID_REPARSE_DATA;
  }
  std::wstring name(h.substituteLength / sizeof(WCHAR), L'\0');
  memcpy(&name[0], static_cast<const char*>(in) + kMountPointPathOffset + h.substituteOffset,
         h.substituteLength);
  if (name.compare(0, 4, L"\\??\\") != 0) return ERROR_INVALID_REPARSE_DATA;
  target = name.substr(4);
  return 0;
}

DWORD setReparsePoint(const FileHandle& h, const void* in, DWORD inSize) {
  Node* node = h.node;
  if (!(h.access & GENERIC_WRITE) || !node->parent) return ERROR_ACCESS_DENIED;
  if (node->kind != Kind::Dir && node->kind != Kind::Junction) return ERROR_ACCESS_DENIED;
  std::wstring target;
  if (DWORD error = readMountPoint(in, inSize, target)) return error;
  if (!node->volume->acceptsReparsePoints) return ERROR_INVALID_FUNCTION;
  if (!node->children.empty()) return ERROR_DIR_NOT_EMPTY;
  node->kind = Kind::Junction;
  node->target = target;
  node->rawTarget = true;
  const unsigned char* bytes = static_cast<const unsigned char*>(in);
  node->reparse.assign(bytes, bytes + inSize);
  return 0;
}

// Reparse data as FSCTL_GET_REPARSE_POINT returns it: what was set, or for
// links made by the test, a mount point or an absolute symbolic link. A
// volume mount point has an empty print name.
std::vector<unsigned char> reparseBytes(const Node& node) {
  if (!node.reparse.empty()) return node.reparse;
  bool toVolume = node.target.compare(0, 4, L"\\\\?\\") == 0;
  std::wstring substitute = L"\\??\\" + (toVolume ? node.target.substr(4) : node.target);
  std::wstring print = toVolume ? L"" : node.target;
  bool junction = node.kind == Kind::Junction;
  size_t names = junction ? kMountPointPathOffset
                          : offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer);
  size_t subBytes = substitute.size() * sizeof(WCHAR);
  size_t printBytes = print.size() * sizeof(WCHAR);
  std::vector<unsigned char> bytes(names + subBytes + printBytes + 2 * sizeof(WCHAR), 0);
  REPARSE_DATA_BUFFER head = {};
  head.ReparseTag = junction ? IO_REPARSE_TAG_MOUNT_POINT : IO_REPARSE_TAG_SYMLINK;
  head.ReparseDataLength = static_cast<USHORT>(bytes.size() - REPARSE_DATA_BUFFER_HEADER_SIZE);
  auto& mp = head.MountPointReparseBuffer;  // same four fields in both layouts
  mp.SubstituteNameLength = static_cast<USHORT>(subBytes);
  mp.PrintNameOffset = static_cast<USHORT>(subBytes + sizeof(WCHAR));
  mp.PrintNameLength = static_cast<USHORT>(printBytes);
  memcpy(bytes.data(), &head, names < sizeof head ? names : sizeof head);
  memcpy(bytes.data() + names, substitute.c_str(), subBytes);
  memcpy(bytes.data() + names + subBytes + sizeof(WCHAR), print.c_str(), printBytes);
  return bytes;
}

DWORD getReparsePoint(const FileHandle& h, void* out, DWORD outSize, DWORD* returned) {
  if (!isLink(*h.node)) return ERROR_NOT_A_REPARSE_POINT;
  std::vector<unsigned char> bytes = reparseBytes(*h.node);
  if (!out || outSize < bytes.size()) return ERROR_INSUFFICIENT_BUFFER;
  memcpy(out, bytes.data(), bytes.size());
  if (returned) *returned = static_cast<DWORD>(bytes.size());
  return 0;
}

Node& addNode(const std::wstring& path, Kind kind) {
  Walk w = walk(path, false);
  if (w.node) throw std::invalid_argument("fakefs: already exists: " + narrow(path));
  if (w.error != ERROR_FILE_NOT_FOUND) {
    throw std::invalid_argument("fakefs: no directory to hold " + narrow(path));
  }
  return addChild(*w.parent, w.lastName, kind);
}

Volume& volumeOfDrive(const std::wstring& drive) {
  Volume* volume = findVolume(drive);
  if (!volume) throw std::invalid_argument("fakefs: no volume " + narrow(drive));
  return *volume;
}

std::map<HANDLE, FileHandle>::iterator otherHandle(int id) {
  auto it = st().handles.find(reinterpret_cast<HANDLE>(static_cast<intptr_t>(id)));
  if (it == st().handles.end() || !it->second.otherProcess) {
    throw std::invalid_argument("fakefs: no handle of another process");
  }
  return it;
}

}  // namespace

// ---- Control ----

void reset() { st() = freshState(); }

void addDir(const std::wstring& path, bool readOnly) {
  addNode(path, Kind::Dir).readOnly = readOnly;
}

void addFile(const std::wstring& path, bool readOnly) {
  addNode(path, Kind::File).readOnly = readOnly;
}

void addJunction(const std::wstring& path, const std::wstring& target) {
  addNode(path, Kind::Junction).target = target;
}

void addFileLink(const std::wstring& path, const std::wstring& target) {
  addNode(path, Kind::FileLink).target = target;
}

void setCurrentDirectory(const std::wstring& path) {
  PathText dir = absolutize(path, st().currentDir);
  dir.trailingSeparator = false;
  st().currentDir = dir;
  if (dir.prefix.empty() && !dir.raw && dir.root.size() == 2) st().driveDirs[upper(dir.root)] = dir;
}

void mapDrive(const std::wstring& drive, const std::wstring& share) {
  st().roots[upper(drive)] = &volumeOfDrive(share);
}

std::wstring volumeGuidPath(const std::wstring& drive) {
  return L"\\\\?\\" + volumeOfDrive(drive).guid + L"\\";
}

void mountVolume(const std::wstring& folder, const std::wstring& drive) {
  Node& mount = addNode(folder, Kind::Junction);
  mount.target = volumeGuidPath(drive);
}

Kind kindOf(const std::wstring& path) {
  Walk w = walk(path, false);
  return w.node ? w.node->kind : Kind::None;
}

std::wstring linkTarget(const std::wstring& path) {
  Walk w = walk(path, false);
  return w.node && isLink(*w.node) ? w.node->target : L"";
}

std::vector<unsigned char> reparseData(const std::wstring& path) {
  Walk w = walk(path, false);
  return w.node && w.node->kind == Kind::Junction ? w.node->reparse : std::vector<unsigned char>();
}

std::vector<std::wstring> list(const std::wstring& path) {
  std::vector<std::wstring> names;
  Walk w = walk(path, true);
  if (w.node && w.node->kind == Kind::Dir) {
    for (const auto& child : w.node->children) names.push_back(child.second->name);
  }
  return names;
}

void failCall(Op op, int nth, DWORD code) { st().faults.push_back({op, nth, code}); }

void beforeCall(Op op, int nth, std::function<void()> action) {
  st().hooks.push_back({op, nth, std::move(action)});
}

const std::vector<std::wstring>& log() { return st().log; }

int openHandles() {
  int count = 0;
  for (const auto& entry : st().handles) count += !entry.second.otherProcess;
  return count;
}

int openFinds() { return static_cast<int>(st().finds.size()); }

DWORD otherProcessHold(const std::wstring& path, Hold how, int* id) {
  const DWORD kRead = 0x80000000;
  DWORD access = how == Hold::CurrentDirectory ? kCurrentDirAccess : kRead;
  DWORD share = how == Hold::WithDeleteSharing ? kShareAll : FILE_SHARE_READ | FILE_SHARE_WRITE;
  Walk w = walk(path, false);
  if (DWORD error = openFile(w, access, share, FILE_FLAG_BACKUP_SEMANTICS)) return error;
  *id = static_cast<int>(reinterpret_cast<intptr_t>(addHandle(w.node, access, share, true)));
  return 0;
}

void otherProcessClose(int id) { closeHandle(otherHandle(id)); }

DWORD otherProcessRename(const std::wstring& from, const std::wstring& to) {
  Walk source = walk(from, false);
  if (!source.node) return source.error;
  if (isRoot(source) || source.node->deletePending) return ERROR_ACCESS_DENIED;
  Walk dest = walk(to, false);
  if (dest.node) return ERROR_ALREADY_EXISTS;
  if (dest.error != ERROR_FILE_NOT_FOUND) return dest.error;
  if (!isValidName(dest.lastName)) return ERROR_INVALID_NAME;
  if (dest.parent->volume != source.node->volume) return kNotSameDevice;
  for (Node* up = dest.parent; up; up = up->parent)
    if (up == source.node) return ERROR_SHARING_VIOLATION;
  // A rename opens the source for delete, sharing everything.
  if (sharingConflicts(source.node, kDeleteAccess, kShareAll)) return ERROR_SHARING_VIOLATION;
  Node* node = source.node;
  std::unique_ptr<Node> owned = std::move(node->parent->children[upper(node->name)]);
  erase(node);
  owned->name = dest.lastName;
  owned->parent = dest.parent;
  dest.parent->children[upper(dest.lastName)] = std::move(owned);
  return 0;
}

DWORD otherProcessRemove(const std::wstring& path) {
  Walk w = walk(path, false);
  if (w.node && (w.node->kind == Kind::Dir || w.node->kind == Kind::Junction)) {
    return removeDirectory(w);
  }
  return deleteFile(w);
}

DWORD otherProcessReplaceWithJunction(const std::wstring& path, const std::wstring& target) {
  Walk w = walk(path, false);
  if (w.node && w.node->kind == Kind::Dir) {
    // FSCTL_SET_REPARSE_POINT needs a handle with write access.
    if (w.node->deletePending) return ERROR_ACCESS_DENIED;
    if (sharingConflicts(w.node, GENERIC_WRITE, 0)) return ERROR_SHARING_VIOLATION;
    if (!w.node->children.empty()) return ERROR_DIR_NOT_EMPTY;
    w.node->kind = Kind::Junction;
    w.node->target = target;
    return 0;
  }
  if (w.node) {
    if (DWORD error = otherProcessRemove(path)) return error;
    w = walk(path, false);
  }
  if (w.node) return ERROR_ACCESS_DENIED;  // its deletion is pending
  if (w.error != ERROR_FILE_NOT_FOUND) return w.error;
  addChild(*w.parent, w.lastName, Kind::Junction).target = target;
  return 0;
}

}  // namespace fakefs

// ---- The operations ----

using namespace fakefs;

int MultiByteToWideChar(UINT codePage, DWORD, const char* text, int textLength, wchar_t* wide,
                        int wideCapacity) {
  std::wstring shown;
  if (text) {
    int bytes = textLength < 0 ? static_cast<int>(strlen(text)) : textLength;
    std::vector<wchar_t> decoded(bytes + 1);
    shown.assign(decoded.data(), utf8ToWide(text, bytes, decoded.data(), bytes + 1, true));
  }
  if (enter(Op::MultiByteToWideChar,
            logLine(Op::MultiByteToWideChar, text ? shown.c_str() : nullptr))) {
    return 0;
  }
  if (!text || textLength == 0 || textLength < -1 || wideCapacity < 0 ||
      (wideCapacity > 0 && !wide) || (codePage != CP_ACP && codePage != 65001)) {
    return result(ERROR_INVALID_PARAMETER);
  }
  int bytes = textLength < 0 ? static_cast<int>(strlen(text)) + 1 : textLength;
  std::vector<wchar_t> decoded(bytes);
  int count = utf8ToWide(text, textLength, decoded.data(), bytes, false);
  if (count == 0) return result(ERROR_NO_UNICODE_TRANSLATION);
  if (wideCapacity == 0) return count;
  if (count > wideCapacity) return result(ERROR_INSUFFICIENT_BUFFER);
  memcpy(wide, decoded.data(), count * sizeof(wchar_t));
  return count;
}

// Only 4-byte wide text can hold such a value.
static bool beyondUnicode(unsigned long c) { return c > 0x10FFFF; }

// Only shows paths in messages, so it is left out of the log and the call
// counts: tests of the file operations see the same calls with or without it.
int WideCharToMultiByte(UINT codePage, DWORD, const wchar_t* wide, int wideLength, char* text,
                        int textCapacity, const char*, BOOL* usedDefaultChar) {
  if (!wide || wideLength == 0 || wideLength < -1 || textCapacity < 0 ||
      (textCapacity > 0 && !text) || (codePage != CP_ACP && codePage != 65001)) {
    return result(ERROR_INVALID_PARAMETER);
  }
  std::wstring source =
      wideLength < 0 ? std::wstring(wide, wcslen(wide) + 1) : std::wstring(wide, wideLength);
  std::string bytes;
  // Text between the zeros goes whole to wideToUtf8, which joins surrogate
  // pairs.
  for (size_t start = 0; start < source.size();) {
    size_t end = std::min(source.find(L'\0', start), source.size());
    std::wstring part = source.substr(start, end - start);
    for (wchar_t c : part) {
      if (beyondUnicode(c)) return result(ERROR_NO_UNICODE_TRANSLATION);
    }
    bytes += narrow(part);
    if (end < source.size()) bytes += '\0';
    start = end + 1;
  }
  if (textCapacity == 0) return static_cast<int>(bytes.size());
  if (bytes.size() > size_t(textCapacity)) return result(ERROR_INSUFFICIENT_BUFFER);
  memcpy(text, bytes.data(), bytes.size());
  if (usedDefaultChar) *usedDefaultChar = 0;
  return static_cast<int>(bytes.size());
}

DWORD GetFullPathNameW(const wchar_t* path, DWORD capacity, wchar_t* buffer, wchar_t** filePart) {
  if (enter(Op::GetFullPathNameW, logLine(Op::GetFullPathNameW, path))) return 0;
  if (!path || !*path) return result(ERROR_INVALID_NAME);
  // A "\\?\" path comes back as it is.
  std::wstring full = toText(absolutize(path, st().currentDir));
  if (full.size() >= capacity) return static_cast<DWORD>(full.size() + 1);
  if (!buffer) return result(ERROR_INVALID_PARAMETER);
  memcpy(buffer, full.c_str(), (full.size() + 1) * sizeof(wchar_t));
  if (filePart) *filePart = full.back() == L'\\' ? nullptr : buffer + full.rfind(L'\\') + 1;
  return static_cast<DWORD>(full.size());
}

DWORD GetFileAttributesW(const wchar_t* path) {
  if (enter(Op::GetFileAttributesW, logLine(Op::GetFileAttributesW, path))) {
    return INVALID_FILE_ATTRIBUTES;
  }
  Walk w = walkArgument(path, false);
  if (!w.node || w.node->deletePending) {
    result(w.node ? ERROR_ACCESS_DENIED : w.error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributesOf(*w.node);
}

BOOL CreateDirectoryW(const wchar_t* path, LPSECURITY_ATTRIBUTES) {
  if (enter(Op::CreateDirectoryW, logLine(Op::CreateDirectoryW, path))) return 0;
  if (!path || !*path) return result(createDirectory(PathText(), walkArgument(path, false)));
  PathText text = absolutize(path, st().currentDir);
  return result(createDirectory(text, walkText(text, false)));
}

BOOL RemoveDirectoryW(const wchar_t* path) {
  if (enter(Op::RemoveDirectoryW, logLine(Op::RemoveDirectoryW, path))) return 0;
  return result(removeDirectory(walkArgument(path, false)));
}

BOOL DeleteFileW(const wchar_t* path) {
  if (enter(Op::DeleteFileW, logLine(Op::DeleteFileW, path))) return 0;
  return result(deleteFile(walkArgument(path, false)));
}

HANDLE FindFirstFileW(const wchar_t* pattern, WIN32_FIND_DATAW* data) {
  if (enter(Op::FindFirstFileW, logLine(Op::FindFirstFileW, pattern))) return INVALID_HANDLE_VALUE;
  Find find;
  DWORD error = !pattern || !data ? ERROR_INVALID_PARAMETER
                : !*pattern       ? ERROR_PATH_NOT_FOUND
                                  : findFirst(pattern, find);
  if (error) {
    result(error);
    return INVALID_HANDLE_VALUE;
  }
  fill(data, find.entries[0]);
  find.next = 1;
  HANDLE handle = newHandle();
  st().finds[handle] = find;
  return handle;
}

BOOL FindNextFileW(HANDLE handle, WIN32_FIND_DATAW* data) {
  if (enter(Op::FindNextFileW, logLine(Op::FindNextFileW))) return 0;
  auto it = st().finds.find(handle);
  if (it == st().finds.end()) return result(ERROR_INVALID_HANDLE);
  Find& find = it->second;
  if (!data) return result(ERROR_INVALID_PARAMETER);
  if (find.next >= find.entries.size()) return result(ERROR_NO_MORE_FILES);
  fill(data, find.entries[find.next++]);
  return 1;
}

BOOL FindClose(HANDLE handle) {
  if (enter(Op::FindClose, logLine(Op::FindClose))) return 0;
  return result(st().finds.erase(handle) ? 0 : ERROR_INVALID_HANDLE);
}

HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
  if (enter(Op::CreateFileW, logLine(Op::CreateFileW, path))) return INVALID_HANDLE_VALUE;
  Walk w = walkArgument(path, !(flags & FILE_FLAG_OPEN_REPARSE_POINT));
  // Only opening what exists is modelled; creating a file is not.
  DWORD error = disposition != OPEN_EXISTING ? ERROR_INVALID_PARAMETER
                                             : openFile(w, access, shareMode, flags);
  if (error) {
    result(error);
    return INVALID_HANDLE_VALUE;
  }
  return addHandle(w.node, access, shareMode, false);
}

DWORD GetFinalPathNameByHandleA(HANDLE file, char* buffer, DWORD capacity, DWORD flags) {
  if (enter(Op::GetFinalPathNameByHandleA, logLine(Op::GetFinalPathNameByHandleA))) {
    return 0;
  }
  auto it = st().handles.find(file);
  if (it == st().handles.end() || it->second.otherProcess) return result(ERROR_INVALID_HANDLE);
  if (flags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) return result(ERROR_INVALID_PARAMETER);
  std::string path = narrow(finalPathOf(it->second.node));
  if (path.size() >= capacity) return static_cast<DWORD>(path.size() + 1);
  if (!buffer) return result(ERROR_INVALID_PARAMETER);
  memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* bytesReturned, LPOVERLAPPED) {
  std::wstring size = std::to_wstring(inSize);
  if (enter(Op::DeviceIoControl, logLine(Op::DeviceIoControl, size.c_str()))) return 0;
  if (bytesReturned) *bytesReturned = 0;
  auto it = st().handles.find(device);
  if (it == st().handles.end() || it->second.otherProcess) return result(ERROR_INVALID_HANDLE);
  if (code == FSCTL_GET_REPARSE_POINT) {
    return result(getReparsePoint(it->second, out, outSize, bytesReturned));
  }
  if (code != FSCTL_SET_REPARSE_POINT) return result(ERROR_INVALID_FUNCTION);
  return result(setReparsePoint(it->second, in, inSize));
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
  if (enter(Op::GetFileInformationByHandle, logLine(Op::GetFileInformationByHandle))) return 0;
  auto it = st().handles.find(file);
  if (it == st().handles.end() || it->second.otherProcess) return result(ERROR_INVALID_HANDLE);
  if (!information) return result(ERROR_INVALID_PARAMETER);
  const Node* node = it->second.node;
  memset(information, 0, sizeof *information);
  information->dwFileAttributes = attributesOf(*node);
  information->dwVolumeSerialNumber = node->volume->serial;
  uint64_t index = reinterpret_cast<uintptr_t>(node);
  information->nFileIndexHigh = static_cast<DWORD>(index >> 32);
  information->nFileIndexLow = static_cast<DWORD>(index);
  information->nNumberOfLinks = 1;
  return result(0);
}

BOOL CloseHandle(HANDLE handle) {
  if (enter(Op::CloseHandle, logLine(Op::CloseHandle))) return 0;
  auto it = st().handles.find(handle);
  if (it == st().handles.end() || it->second.otherProcess) return result(ERROR_INVALID_HANDLE);
  closeHandle(it);
  return 1;
}

DWORD GetLastError(void) {
  enter(Op::GetLastError, logLine(Op::GetLastError));
  return st().lastError;
}
