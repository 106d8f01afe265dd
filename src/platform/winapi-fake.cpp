// The in-memory Windows file system of the unit tests (see winapi-fake.h).
// Paths are first made full as text, as Windows does before it reaches the
// file system; the tree is then walked name by name, following links.
#include "platform/winapi-fake.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

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

struct Node {
  Kind kind = Kind::Dir;
  std::wstring name;
  bool readOnly = false;
  std::wstring target;
  std::vector<unsigned char> reparse;
  // Keyed by the upper-cased name, which also gives the enumeration order.
  std::map<std::wstring, std::unique_ptr<Node>> children;
};

struct Volume {
  std::wstring root;  // "D:" or "\\server\share", as created
  bool acceptsReparsePoints = true;
  Node top;
};

// A full path taken apart; ".." never climbs above `root`.
struct PathText {
  std::wstring root;
  std::vector<std::wstring> names;
  bool trailingSeparator = false;
};

// Where a path leads in the tree.
struct Walk {
  Volume* volume = nullptr;
  Node* parent = nullptr;           // directory holding the last component
  Node* node = nullptr;             // what stands there; null when nothing
  std::vector<std::wstring> names;  // as created; the last as given when missing
  DWORD error = 0;                  // why `node` is null
};

struct FileHandle {
  Volume* volume;
  std::vector<std::wstring> names;
  DWORD access;
  DWORD shareMode;
  std::wstring finalPath;
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
  std::map<std::wstring, Volume> volumes;  // keyed by the upper-cased root
  PathText currentDir;
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

std::wstring upper(std::wstring s) {
  for (wchar_t& c : s)
    if (c >= L'a' && c <= L'z') c = c - L'a' + L'A';
  return s;
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

State freshState() {
  State s;
  for (const wchar_t* root : {L"C:", L"D:", L"R:", L"\\\\server\\share"}) {
    Volume& v = s.volumes[upper(root)];
    v.root = root;
    v.acceptsReparsePoints = std::wstring(root) != L"R:";
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

// Applies the names of `rest` to `p`: "." and empty names vanish, ".." drops one.
void applyNames(PathText& p, const std::wstring& rest) {
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = rest.size();
    std::wstring name = rest.substr(start, end - start);
    if (name == L"..") {
      if (!p.names.empty()) p.names.pop_back();
    } else if (!name.empty() && name != L".") {
      p.names.push_back(name);
    }
    start = end + 1;
  }
  p.trailingSeparator = !rest.empty() && isSeparator(rest.back());
}

// "\\?\D:\x", "\\?\UNC\server\share" and the NT form "\??\D:\x" of a junction
// target name the same places as their plain forms.
std::wstring withoutPrefix(const std::wstring& s) {
  for (const wchar_t* prefix : {L"\\\\?\\", L"\\??\\"}) {
    if (s.compare(0, 4, prefix) != 0) continue;
    std::wstring rest = s.substr(4);
    return upper(rest.substr(0, 4)) == L"UNC\\" ? L"\\\\" + rest.substr(4) : rest;
  }
  return s;
}

// Makes `path` full against `base` (the current directory, or the directory
// of a link), without looking at the tree.
PathText absolutize(const std::wstring& path, const PathText& base) {
  std::wstring s = withoutPrefix(path);
  PathText p;
  if (s.size() >= 2 && isSeparator(s[0]) && isSeparator(s[1])) {
    size_t server = s.find_first_of(L"\\/", 2);
    size_t share = server == std::wstring::npos ? server : s.find_first_of(L"\\/", server + 1);
    p.root = s.substr(0, share);
    for (wchar_t& c : p.root)
      if (c == L'/') c = L'\\';
    applyNames(p, share == std::wstring::npos ? L"" : s.substr(share));
  } else if (s.size() >= 2 && s[1] == L':') {
    std::wstring drive = s.substr(0, 2);
    bool driveRelative = s.size() == 2 || !isSeparator(s[2]);
    if (driveRelative && upper(base.root) == upper(drive)) {
      p = base;
    } else {
      p.root = drive;
    }
    applyNames(p, s.substr(2));
  } else if (!s.empty() && isSeparator(s[0])) {
    p.root = base.root;
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
  bool isDrive = p.root.size() == 2;
  if (p.names.empty()) return isDrive || p.trailingSeparator ? p.root + L"\\" : p.root;
  return joined(p.root, p.names) + (p.trailingSeparator ? L"\\" : L"");
}

bool matchesPattern(const wchar_t* pattern, const wchar_t* name) {
  if (*pattern == 0) return *name == 0;
  if (*pattern == L'*')
    return matchesPattern(pattern + 1, name) || (*name && matchesPattern(pattern, name + 1));
  if (*name == 0) return false;
  return (*pattern == L'?' || *pattern == *name) && matchesPattern(pattern + 1, name + 1);
}

bool isValidName(const std::wstring& name) {
  for (wchar_t c : name)
    if (c < 32 || wcschr(L"<>:\"|?*", c)) return false;
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
  Node& added = *node;
  dir.children[upper(name)] = std::move(node);
  return added;
}

bool isLink(const Node& node) { return node.kind == Kind::Junction || node.kind == Kind::FileLink; }

Walk failedWalk(DWORD error) {
  Walk w;
  w.error = error;
  return w;
}

Walk walkText(PathText p, bool followLast) {
  for (int hops = 0; hops <= kMaxLinkHops; ++hops) {
    auto volume = st().volumes.find(upper(p.root));
    if (volume == st().volumes.end()) return failedWalk(ERROR_PATH_NOT_FOUND);
    Walk w;
    w.volume = &volume->second;
    w.node = &w.volume->top;
    bool redirected = false;
    for (size_t i = 0; i < p.names.size() && !redirected; ++i) {
      bool last = i + 1 == p.names.size();
      if (w.node->kind != Kind::Dir) return failedWalk(ERROR_PATH_NOT_FOUND);
      w.parent = w.node;
      w.node = childNamed(*w.parent, p.names[i]);
      if (!w.node) {
        w.error = last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        w.names.push_back(p.names[i]);
        return w;
      }
      if (isLink(*w.node) && (!last || followLast)) {
        // A relative target (file links only) starts in the link's directory.
        PathText target = absolutize(w.node->target, PathText{w.volume->root, w.names, false});
        target.names.insert(target.names.end(), p.names.begin() + i + 1, p.names.end());
        p = target;
        redirected = true;
      } else {
        w.names.push_back(w.node->name);
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

std::wstring keyOf(const Volume* volume, const std::vector<std::wstring>& names) {
  return upper(joined(volume->root, names));
}

std::wstring finalPathOf(const Walk& w) {
  const std::wstring& root = w.volume->root;
  std::wstring prefix = root.size() == 2 ? L"\\\\?\\" + root : L"\\\\?\\UNC" + root.substr(1);
  return w.names.empty() ? prefix + L"\\" : joined(prefix, w.names);
}

Node* nodeAt(Volume* volume, const std::vector<std::wstring>& names) {
  Node* node = &volume->top;
  for (const std::wstring& name : names)
    if (!(node = childNamed(*node, name))) return nullptr;
  return node;
}

DWORD attributesOf(const Node& node) {
  switch (node.kind) {
    case Kind::Dir:
      return FILE_ATTRIBUTE_DIRECTORY;
    case Kind::Junction:
      return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    case Kind::FileLink:
      return FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
    case Kind::File:
      return FILE_ATTRIBUTE_ARCHIVE | (node.readOnly ? FILE_ATTRIBUTE_READONLY : 0);
    case Kind::None:
      break;
  }
  return 0;
}

// Windows refuses to remove what a handle without delete sharing holds,
// the current directory included.
bool isHeld(const Walk& w) {
  std::wstring key = keyOf(w.volume, w.names);
  for (const auto& entry : st().handles) {
    const FileHandle& h = entry.second;
    if (!(h.shareMode & FILE_SHARE_DELETE) && keyOf(h.volume, h.names) == key) return true;
  }
  Walk current = walkText(st().currentDir, true);
  return current.node && keyOf(current.volume, current.names) == key;
}

bool sharingConflicts(const Walk& w, DWORD access, DWORD shareMode) {
  std::wstring key = keyOf(w.volume, w.names);
  for (const auto& entry : st().handles) {
    const FileHandle& h = entry.second;
    if (keyOf(h.volume, h.names) != key) continue;
    if ((access & GENERIC_WRITE) && !(h.shareMode & FILE_SHARE_WRITE)) return true;
    if ((h.access & GENERIC_WRITE) && !(shareMode & FILE_SHARE_WRITE)) return true;
  }
  return false;
}

void removeNode(const Walk& w) { w.parent->children.erase(upper(w.node->name)); }

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

DWORD createDirectory(const Walk& w) {
  if (w.node) return w.names.empty() ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS;
  if (w.error != ERROR_FILE_NOT_FOUND) return w.error;
  if (!isValidName(w.names.back())) return ERROR_INVALID_NAME;
  addChild(*w.parent, w.names.back(), Kind::Dir);
  return 0;
}

DWORD removeDirectory(const Walk& w) {
  if (!w.node) return w.error;
  if (w.names.empty()) return ERROR_ACCESS_DENIED;
  if (w.node->kind == Kind::File || w.node->kind == Kind::FileLink) return ERROR_DIRECTORY;
  if (!w.node->children.empty()) return ERROR_DIR_NOT_EMPTY;
  if (isHeld(w)) return ERROR_SHARING_VIOLATION;
  removeNode(w);
  return 0;
}

DWORD deleteFile(const Walk& w) {
  if (!w.node) return w.error;
  if (w.names.empty() || w.node->kind == Kind::Dir || w.node->kind == Kind::Junction) {
    return ERROR_ACCESS_DENIED;
  }
  if (w.node->readOnly) return ERROR_ACCESS_DENIED;
  if (isHeld(w)) return ERROR_SHARING_VIOLATION;
  removeNode(w);
  return 0;
}

void fill(WIN32_FIND_DATAW* data, const Entry& entry) {
  memset(data, 0, sizeof *data);
  data->dwFileAttributes = entry.attributes;
  size_t length = entry.name.copy(data->cFileName, MAX_PATH - 1);
  data->cFileName[length] = 0;
}

DWORD findFirst(const std::wstring& pattern, Find& find) {
  size_t split = pattern.find_last_of(L"\\/");
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
  if (name.empty()) return ERROR_FILE_NOT_FOUND;
  name = upper(name == L"*.*" ? L"*" : name);
  // As on NTFS, a volume's root has no "." and ".." entries.
  if (!w.names.empty()) {
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
  bool isDirectory = w.node->kind == Kind::Dir || w.node->kind == Kind::Junction;
  if (isDirectory && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) return ERROR_ACCESS_DENIED;
  if ((access & GENERIC_WRITE) && w.node->readOnly) return ERROR_ACCESS_DENIED;
  if (sharingConflicts(w, access, shareMode)) return ERROR_SHARING_VIOLATION;
  return 0;
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
  Node* node = nodeAt(h.volume, h.names);
  if (!(h.access & GENERIC_WRITE) || !node || h.names.empty()) return ERROR_ACCESS_DENIED;
  if (node->kind != Kind::Dir && node->kind != Kind::Junction) return ERROR_ACCESS_DENIED;
  std::wstring target;
  if (DWORD error = readMountPoint(in, inSize, target)) return error;
  if (!h.volume->acceptsReparsePoints) return ERROR_INVALID_FUNCTION;
  if (!node->children.empty()) return ERROR_DIR_NOT_EMPTY;
  node->kind = Kind::Junction;
  node->target = target;
  const unsigned char* bytes = static_cast<const unsigned char*>(in);
  node->reparse.assign(bytes, bytes + inSize);
  return 0;
}

// Reparse data as FSCTL_GET_REPARSE_POINT returns it: what was set, or for
// links made by the test, a mount point or an absolute symbolic link.
std::vector<unsigned char> reparseBytes(const Node& node) {
  if (!node.reparse.empty()) return node.reparse;
  std::wstring substitute = L"\\??\\" + node.target;
  bool junction = node.kind == Kind::Junction;
  size_t names = junction ? kMountPointPathOffset
                          : offsetof(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer);
  size_t subBytes = substitute.size() * sizeof(WCHAR);
  size_t printBytes = node.target.size() * sizeof(WCHAR);
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
  memcpy(bytes.data() + names + subBytes + sizeof(WCHAR), node.target.c_str(), printBytes);
  return bytes;
}

DWORD getReparsePoint(const FileHandle& h, void* out, DWORD outSize, DWORD* returned) {
  Node* node = nodeAt(h.volume, h.names);
  if (!node) return ERROR_FILE_NOT_FOUND;
  if (!isLink(*node)) return ERROR_NOT_A_REPARSE_POINT;
  std::vector<unsigned char> bytes = reparseBytes(*node);
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
  return addChild(*w.parent, w.names.back(), kind);
}

}  // namespace

// ---- Control ----

void reset() { st() = freshState(); }

void addDir(const std::wstring& path) { addNode(path, Kind::Dir); }

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
  st().currentDir = absolutize(path, st().currentDir);
  st().currentDir.trailingSeparator = false;
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

int openHandles() { return static_cast<int>(st().handles.size()); }

int openFinds() { return static_cast<int>(st().finds.size()); }

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
  for (wchar_t c : source) {
    if (static_cast<unsigned long>(c) > 0x10FFFF) return result(ERROR_NO_UNICODE_TRANSLATION);
    const wchar_t one[2] = {c, 0};
    char encoded[8];
    int length = c ? wideToUtf8(one, encoded, sizeof encoded) : 0;
    bytes.append(encoded, length);
    if (!c) bytes += '\0';
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
  if (!w.node) {
    result(w.error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributesOf(*w.node);
}

BOOL CreateDirectoryW(const wchar_t* path, LPSECURITY_ATTRIBUTES) {
  if (enter(Op::CreateDirectoryW, logLine(Op::CreateDirectoryW, path))) return 0;
  return result(createDirectory(walkArgument(path, false)));
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
  HANDLE handle = newHandle();
  st().handles[handle] = FileHandle{w.volume, w.names, access, shareMode, finalPathOf(w)};
  return handle;
}

DWORD GetFinalPathNameByHandleA(HANDLE file, char* buffer, DWORD capacity, DWORD flags) {
  if (enter(Op::GetFinalPathNameByHandleA, logLine(Op::GetFinalPathNameByHandleA))) {
    return 0;
  }
  auto it = st().handles.find(file);
  if (it == st().handles.end()) return result(ERROR_INVALID_HANDLE);
  if (flags != (FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) return result(ERROR_INVALID_PARAMETER);
  std::string path = narrow(it->second.finalPath);
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
  if (it == st().handles.end()) return result(ERROR_INVALID_HANDLE);
  if (code == FSCTL_GET_REPARSE_POINT) {
    return result(getReparsePoint(it->second, out, outSize, bytesReturned));
  }
  if (code != FSCTL_SET_REPARSE_POINT) return result(ERROR_INVALID_FUNCTION);
  return result(setReparsePoint(it->second, in, inSize));
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
  if (enter(Op::GetFileInformationByHandle, logLine(Op::GetFileInformationByHandle))) return 0;
  auto it = st().handles.find(file);
  if (it == st().handles.end()) return result(ERROR_INVALID_HANDLE);
  Node* node = nodeAt(it->second.volume, it->second.names);
  if (!node || !information) return result(node ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND);
  memset(information, 0, sizeof *information);
  information->dwFileAttributes = attributesOf(*node);
  information->dwVolumeSerialNumber =
      static_cast<DWORD>(std::hash<std::wstring>()(upper(it->second.volume->root)));
  uint64_t index = reinterpret_cast<uintptr_t>(node);
  information->nFileIndexHigh = static_cast<DWORD>(index >> 32);
  information->nFileIndexLow = static_cast<DWORD>(index);
  information->nNumberOfLinks = 1;
  return result(0);
}

BOOL CloseHandle(HANDLE handle) {
  if (enter(Op::CloseHandle, logLine(Op::CloseHandle))) return 0;
  return result(st().handles.erase(handle) ? 0 : ERROR_INVALID_HANDLE);
}

DWORD GetLastError(void) {
  enter(Op::GetLastError, logLine(Op::GetLastError));
  return st().lastError;
}
