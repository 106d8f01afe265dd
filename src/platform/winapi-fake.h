// Control of the in-memory file system that the unit tests link in place of
// the real platform. It has Windows semantics: drives C: and D: (NTFS), R:
// (a volume that refuses reparse points), M: (a volume to mount in a folder),
// the share \\server\share, names compared without regard to case (beyond
// ASCII) but kept as created, read-only files and directories, junctions,
// file symbolic links, Win32 path normalisation in every call, sharing and
// pending deletion, and another process that holds, renames and replaces.
// Every call is logged, and any call can be made to fail with a chosen code
// on its Nth use.
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

// Empty drives C:\, D:\, R:\, M:\ and share root \\server\share; current
// directory C:\; no mapped drives, other processes' handles closed; log,
// faults, hooks and call counts cleared; last error 0.
void reset();

// Paths below are full Windows paths ("D:\a\b" or "\\server\share\a");
// parents must exist. Links are made without checking their target.
void addDir(const std::wstring& path, bool readOnly = false);
void addFile(const std::wstring& path, bool readOnly = false);
void addJunction(const std::wstring& path, const std::wstring& target);
void addFileLink(const std::wstring& path, const std::wstring& target);
// Also becomes the current directory of its drive, for "D:name".
void setCurrentDirectory(const std::wstring& path);

// A drive letter ("Z:") mapped to a share: final paths through it are
// "\\?\UNC\server\share\...", and no junction leads through it.
void mapDrive(const std::wstring& drive, const std::wstring& share);
// "\\?\Volume{...}\" of a drive ("M:").
std::wstring volumeGuidPath(const std::wstring& drive);
// A folder where the volume of `drive` is mounted: a mount-point reparse
// point whose target is the volume's GUID path.
void mountVolume(const std::wstring& folder, const std::wstring& drive);

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
// Handles (of this process) and enumerations opened and not yet closed.
int openHandles();
int openFinds();

// ---- Another process ----
// For tests and fakefs::beforeCall hooks. Each call acts as that process's
// call would on Windows, honouring the sharing of every open handle (this
// process's and its own) and this process's current directory, and returns
// 0 or the Windows error code. None is logged, counted or made to fail.

enum class Hold {
  WithoutDeleteSharing,  // read, sharing read and write: no delete or rename
  CurrentDirectory,      // as a process holds its current directory
  WithDeleteSharing,     // read, sharing everything: a delete stays pending
};
// Opens `path` (links on the way followed, the last not); `*id` names the
// handle for otherProcessClose.
DWORD otherProcessHold(const std::wstring& path, Hold how, int* id);
// Closes the handle; a name whose deletion was pending goes with the last.
void otherProcessClose(int id);
DWORD otherProcessRename(const std::wstring& from, const std::wstring& to);
// Deletes a file or link, or removes an empty directory.
DWORD otherProcessRemove(const std::wstring& path);
// Puts a junction to `target` at `path`: an empty directory there becomes
// one, a file or link there is deleted first.
DWORD otherProcessReplaceWithJunction(const std::wstring& path, const std::wstring& target);

}  // namespace fakefs
