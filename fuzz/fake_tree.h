// Shared by the fuzz targets that run a command over the in-memory file
// system: an input becomes a tree under D:\t, at most one armed fault and a
// few arguments; after the run the tree is read back and compared.
//
// Input: fields split on '\n'.
//   field 0  the tree, one letter per entry, made in the current directory
//            (D:\t at first) and named a, b, c, ... in the order made there:
//              d f r  a directory, a file, a read-only file
//              j l    a junction, a file link; the next byte picks the target
//              /      enter the directory made last   .  leave the current one
//   field 1  a fault: op letter ('a' = MultiByteToWideChar ... 'm' =
//            CloseHandle, in the order of fakefs::Op), nth ('0' = every
//            call), code letter; empty: none
//   field 2+ the arguments
// Around the tree stand canaries: C:\canary and D:\keep with content.
#pragma once

#include <stdint.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "check.h"
#include "platform/winapi-fake.h"

// Fails naming the entry that was removed or replaced against the rules.
#define FUZZ_CHECK_CHANGE(allowed, path) \
  ((allowed) ? (void)0 : (fprintf(stderr, "changed: %ls\n", (path).c_str()), FUZZ_CHECK(allowed)))

namespace fuzz {

using fakefs::Kind;

struct Input {
  std::string tree;
  std::string fault;
  std::vector<std::string> args;
};

inline Input decode(const uint8_t* data, size_t size) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; i++) {
    if (data[i] != '\n') {
      fields.back() += (char)data[i];
    } else if (fields.size() < 8) {
      fields.emplace_back();
    }
  }
  Input in;
  in.tree = fields[0];
  if (fields.size() > 1) in.fault = fields[1];
  // An argument ends at its first zero byte, as a C string does.
  for (size_t i = 2; i < fields.size(); i++) in.args.push_back(fields[i].c_str());
  return in;
}

// Link targets a tree may use: the canaries, places in and around the tree,
// missing ones, a volume without reparse points, the share; the last two
// are relative and only given to file links.
const wchar_t* const kLinkTargets[] = {
    L"C:\\canary",        L"C:\\canary\\f",   L"D:\\keep",    L"D:\\t",
    L"D:\\t\\a",          L"D:\\t\\a\\a",     L"D:\\missing", L"R:\\",
    L"\\\\server\\share", L"C:\\canary\\sub", L"a",           L"..\\b",
};
const int kAbsoluteTargets = 10;

inline void buildTree(const std::string& program) {
  fakefs::reset();
  fakefs::addDir(L"C:\\canary");
  fakefs::addFile(L"C:\\canary\\f");
  fakefs::addDir(L"C:\\canary\\sub");
  fakefs::addFile(L"C:\\canary\\sub\\g", true);
  fakefs::addDir(L"D:\\keep");
  fakefs::addFile(L"D:\\keep\\k");
  fakefs::addDir(L"D:\\t");
  fakefs::setCurrentDirectory(L"D:\\t");
  std::vector<std::wstring> dirs{L"D:\\t"};
  std::map<std::wstring, int> made;
  std::wstring lastDir;
  int entries = 0;
  for (size_t i = 0; i < program.size() && entries < 40; i++) {
    char op = program[i];
    if (op == '/' && !lastDir.empty() && dirs.size() < 8) {
      dirs.push_back(lastDir);
      lastDir.clear();
      continue;
    }
    if (op == '.' && dirs.size() > 1) {
      dirs.pop_back();
      continue;
    }
    if (op == 0 || !strchr("dfrjl", op)) continue;
    int& count = made[dirs.back()];
    if (count == 26) continue;
    std::wstring path = dirs.back() + L"\\" + (wchar_t)(L'a' + count++);
    entries++;
    if (op == 'd') {
      fakefs::addDir(path);
      lastDir = path;
    } else if (op == 'f' || op == 'r') {
      fakefs::addFile(path, op == 'r');
    } else {
      unsigned pick = i + 1 < program.size() ? (unsigned char)program[++i] - '0' : 0;
      if (op == 'j') {
        fakefs::addJunction(path, kLinkTargets[pick % kAbsoluteTargets]);
      } else {
        fakefs::addFileLink(path,
                            kLinkTargets[pick % (sizeof kLinkTargets / sizeof *kLinkTargets)]);
      }
    }
  }
}

struct Fault {
  int op;  // -1: none
  DWORD code;
};

// Arms the fault of field 1.
inline Fault armFault(const std::string& field) {
  static const DWORD kCodes[] = {
      ERROR_ACCESS_DENIED,     ERROR_FILE_NOT_FOUND,    ERROR_PATH_NOT_FOUND,
      ERROR_SHARING_VIOLATION, ERROR_ALREADY_EXISTS,    ERROR_NO_MORE_FILES,
      ERROR_DIR_NOT_EMPTY,     ERROR_NOT_ENOUGH_MEMORY, ERROR_INSUFFICIENT_BUFFER,
      ERROR_INVALID_NAME,      ERROR_DIRECTORY,         ERROR_CANT_RESOLVE_FILENAME,
  };
  if (field.empty()) return Fault{-1, 0};
  Fault fault{(unsigned char)(field[0] - 'a') % 13, kCodes[0]};
  int nth = field.size() > 1 ? (unsigned char)(field[1] - '0') % 10 : 1;
  if (field.size() > 2) fault.code = kCodes[(unsigned char)(field[2] - 'a') % 12];
  fakefs::failCall((fakefs::Op)fault.op, nth, fault.code);
  return fault;
}

// Every failed call must still close what it opened; only a failing close
// itself may leave something open.
inline void checkClosed(const Fault& fault) {
  if (fault.op != (int)fakefs::Op::CloseHandle) FUZZ_CHECK(fakefs::openHandles() == 0);
  if (fault.op != (int)fakefs::Op::FindClose) FUZZ_CHECK(fakefs::openFinds() == 0);
}

typedef int (*Command)(int argc, const char* const argv[]);

inline int run(Command command, const std::vector<std::string>& args) {
  std::vector<const char*> argv{"cmd"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  return command((int)args.size() + 1, argv.data());
}

// ---- The tree read back ----

struct Entry {
  Kind kind;
  std::wstring target;
  bool operator==(const Entry& o) const { return kind == o.kind && target == o.target; }
};
// Keyed by the path made of the names as created; parents sort first.
typedef std::map<std::wstring, Entry> Tree;

// A key in the form that Windows takes as it is, so that a name made with
// a trailing dot or space comes back as that name.
inline std::wstring literal(const std::wstring& key) {
  if (key.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + key.substr(2);
  return L"\\\\?\\" + key;
}

inline void readDir(const std::wstring& dir, Tree& tree) {
  for (const std::wstring& name : fakefs::list(literal(dir) + L"\\")) {
    std::wstring path = dir + L"\\" + name;
    Kind kind = fakefs::kindOf(literal(path));
    tree[path] = Entry{kind, fakefs::linkTarget(literal(path))};
    if (kind == Kind::Dir) readDir(path, tree);
  }
}

inline Tree snapshot() {
  Tree tree;
  for (const wchar_t* root : {L"C:", L"D:", L"R:", L"M:", L"\\\\server\\share"})
    readDir(root, tree);
  return tree;
}

// A fresh fake holding `tree`, without faults, for asking where paths lead.
inline void rebuild(const Tree& tree) {
  fakefs::reset();
  for (const auto& item : tree) {
    const std::wstring path = literal(item.first);
    switch (item.second.kind) {
      case Kind::Dir:
        fakefs::addDir(path);
        break;
      case Kind::File:
        fakefs::addFile(path);
        break;
      case Kind::Junction:
        fakefs::addJunction(path, item.second.target);
        break;
      case Kind::FileLink:
        fakefs::addFileLink(path, item.second.target);
        break;
      case Kind::None:
        break;
    }
  }
  fakefs::setCurrentDirectory(L"D:\\t");
}

// ---- Where an argument leads, asked of a fake without faults ----

inline std::wstring upper(std::wstring s) {
  for (wchar_t& c : s)
    if (c >= L'a' && c <= L'z') c -= 32;
  return s;
}

inline bool same(const std::wstring& a, const std::wstring& b) { return upper(a) == upper(b); }

// `path` is `root` or lies inside it (names compared without case).
inline bool within(const std::wstring& path, const std::wstring& root) {
  if (root.empty()) return false;
  std::wstring p = upper(path), r = upper(root);
  if (p.compare(0, r.size(), r) != 0) return false;
  return p.size() == r.size() || r.back() == L'\\' || p[r.size()] == L'\\';
}

inline bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The final path of what exists at `path`, as the tree's keys spell it;
// empty when nothing can be opened there.
inline std::wstring finalPath(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return L"";
  char text[1024];
  DWORD length = GetFinalPathNameByHandleA(file, text, sizeof text, 0);
  CloseHandle(file);
  if (length == 0 || length >= sizeof text) return L"";
  wchar_t wide[1024];
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1024) == 0) return L"";
  std::wstring found = wide;
  if (found.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + found.substr(8);
  found = found.substr(4);
  if (found.size() == 3) found.pop_back();  // "D:\" is the key prefix "D:"
  return found;
}

inline std::wstring fullPath(const std::string& arg) {
  wchar_t wide[1024], full[1024];
  if (arg.empty() || MultiByteToWideChar(CP_ACP, 0, arg.c_str(), -1, wide, 1024) == 0) return L"";
  DWORD length = GetFullPathNameW(wide, 1024, full, nullptr);
  return length == 0 || length >= 1024 ? L"" : full;
}

// Where `arg` leads, links followed (with `followLast` false, all but the
// last name): the final path of the nearest existing ancestor with the rest
// of the names appended. Empty when the argument does not convert.
inline std::wstring resolve(const std::string& arg, bool followLast) {
  std::wstring full = fullPath(arg);
  while (full.size() > 3 && isSeparator(full.back())) full.pop_back();
  std::wstring prefix = full, rest;
  for (bool follow = followLast;; follow = true) {
    std::wstring found = follow ? finalPath(prefix) : L"";
    if (!found.empty()) return found + rest;
    size_t cut = prefix.find_last_of(L"\\/");
    bool driveRoot = prefix.size() <= 3 && prefix.size() >= 2 && prefix[1] == L':';
    if (driveRoot || cut == std::wstring::npos || cut < 2) return full;
    rest = L"\\" + prefix.substr(cut + 1) + rest;
    prefix = prefix.substr(0, cut == 2 && prefix[1] == L':' ? 3 : cut);
  }
}

}  // namespace fuzz
