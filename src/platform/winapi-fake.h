// Control of the in-memory file system that the unit tests link in place of
// the real platform. It has Windows semantics: drives C: and D: (NTFS), R:
// (a volume that refuses reparse points), the share \\server\share, names
// compared without regard to case but kept as created, read-only files,
// junctions and file symbolic links. Every call is logged, and any call can
// be made to fail with a chosen code on its Nth use.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace fakefs {

enum class Op {
  MultiByteToWideChar,
  GetFullPathNameW,
  GetFileAttributesW,
  CreateDirectoryW,
  RemoveDirectoryW,
  DeleteFileW,
  FindFirstFileW,
  FindNextFileW,
  FindClose,
  CreateFileW,
  GetFinalPathNameByHandleA,
  DeviceIoControl,
  CloseHandle,
  GetLastError,
  GetFileInformationByHandle,
};

enum class Kind { None, Dir, File, Junction, FileLink };

// Empty drives C:\, D:\, R:\ and share root \\server\share; current
// directory C:\; log, faults, hooks and call counts cleared; last error 0.
void reset();

// Paths below are full Windows paths ("D:\a\b" or "\\server\share\a");
// parents must exist. Links are made without checking their target.
void addDir(const std::wstring& path);
void addFile(const std::wstring& path, bool readOnly = false);
void addJunction(const std::wstring& path, const std::wstring& target);
void addFileLink(const std::wstring& path, const std::wstring& target);
void setCurrentDirectory(const std::wstring& path);

// What stands at `path` itself (links on the way are followed, the last
// component is not).
Kind kindOf(const std::wstring& path);
// Target of the junction or file link at `path`, as stored.
std::wstring linkTarget(const std::wstring& path);
// Reparse bytes last set on the junction at `path` by DeviceIoControl.
std::vector<unsigned char> reparseData(const std::wstring& path);
// Names inside the directory at `path`, as created, in enumeration order.
std::vector<std::wstring> list(const std::wstring& path);

// The nth call (1 = first, counted since reset) of `op` fails with `code`;
// nth 0 makes every call fail. Several faults may be armed at once.
void failCall(Op op, int nth, DWORD code);
// Runs `action` just before the nth call (counted since reset) of `op`.
void beforeCall(Op op, int nth, std::function<void()> action);

// Every call since reset, one entry each: the operation's name, then a blank
// and its path argument where it has one ("CreateDirectoryW D:\x",
// "DeviceIoControl 76" with the input size, "CloseHandle", "GetLastError").
// WideCharToMultiByte, which only shows paths in messages, is not logged,
// counted or made to fail.
const std::vector<std::wstring>& log();
// Handles and enumerations opened and not yet closed.
int openHandles();
int openFinds();

}  // namespace fakefs
