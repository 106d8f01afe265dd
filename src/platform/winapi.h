// Every operating-system call the program makes, under its Windows name.
// On Windows these are kernel32 itself; elsewhere the build links either the
// POSIX implementation or the in-memory fake used by the unit tests. With
// JUNCTOR_FAKE the declarations below replace the Windows headers on Windows
// too: as C++ functions they bind to the fake, never to kernel32.
//
// The ways CreateFileW is used, which the other implementations provide:
// - query: access 0, sharing 7, FILE_FLAG_BACKUP_SEMANTICS, links followed;
//   for GetFinalPathNameByHandleA and GetFileInformationByHandle. With
//   FILE_FLAG_OPEN_REPARSE_POINT the link itself, also for
//   DeviceIoControl(FSCTL_GET_REPARSE_POINT).
// - writer: GENERIC_WRITE, sharing 0, BACKUP_SEMANTICS | OPEN_REPARSE_POINT;
//   for DeviceIoControl(FSCTL_SET_REPARSE_POINT) on an empty directory.
// - hold: FILE_LIST_DIRECTORY, sharing FILE_SHARE_READ, BACKUP_SEMANTICS (and
//   OPEN_REPARSE_POINT for a directory inside a tree). While the handle is
//   open the directory cannot be renamed, removed or replaced by another
//   process, so calls by path through it reach what was checked on the
//   handle. The POSIX layer resolves every path inside a held directory
//   relative to its descriptor.
#pragma once

#if defined(_WIN32) && !defined(JUNCTOR_FAKE)

#include <windows.h>
#include <winioctl.h>

#else

#if defined(_WINDOWS_) || defined(_WINBASE_)
#error "the Windows headers and the fake's declarations cannot meet in one file"
#endif

#include <stdint.h>
#include <wchar.h>

#ifdef _WIN32
// As the Windows headers have it, so that the program compiles alike.
typedef unsigned long DWORD;
typedef unsigned long ULONG;
#else
typedef uint32_t DWORD;
typedef uint32_t ULONG;
#endif
typedef int BOOL;
typedef void* HANDLE;
typedef wchar_t WCHAR;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef unsigned int UINT;
typedef struct SECURITY_ATTRIBUTES_* LPSECURITY_ATTRIBUTES;
typedef struct OVERLAPPED_* LPOVERLAPPED;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

#define MAX_PATH 260

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)0xFFFFFFFF)
#define FILE_ATTRIBUTE_READONLY 0x1
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_ARCHIVE 0x20
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400
#define CP_ACP 0
#define GENERIC_WRITE 0x40000000
#define FILE_LIST_DIRECTORY 0x1
#define FILE_READ_ATTRIBUTES 0x80
#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define FILE_SHARE_DELETE 0x4
#define OPEN_EXISTING 3
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define FILE_NAME_NORMALIZED 0x0
#define VOLUME_NAME_DOS 0x0
#define FSCTL_SET_REPARSE_POINT 0x000900A4
#define FSCTL_GET_REPARSE_POINT 0x000900A8
#define MAXIMUM_REPARSE_DATA_BUFFER_SIZE 16384
#define SYMLINK_FLAG_RELATIVE 1
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003
#define IO_REPARSE_TAG_SYMLINK 0xA000000C

#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DRIVE 15
#define ERROR_NO_MORE_FILES 18
#define ERROR_WRITE_PROTECT 19
#define ERROR_SHARING_VIOLATION 32
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_DIRECTORY 267
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_CANT_RESOLVE_FILENAME 1921
#define ERROR_NOT_A_REPARSE_POINT 4390
#define ERROR_INVALID_REPARSE_DATA 4392
#define ERROR_DS_NAME_TOO_MANY_PARTS 8347

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int textLength, wchar_t* wide,
                        int wideCapacity);
int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* wide, int wideLength, char* text,
                        int textCapacity, const char* defaultChar, BOOL* usedDefaultChar);
DWORD GetFullPathNameW(const wchar_t* path, DWORD capacity, wchar_t* buffer, wchar_t** filePart);
DWORD GetFileAttributesW(const wchar_t* path);
BOOL CreateDirectoryW(const wchar_t* path, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryW(const wchar_t* path);
BOOL DeleteFileW(const wchar_t* path);
HANDLE FindFirstFileW(const wchar_t* pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);
HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information);
DWORD GetFinalPathNameByHandleA(HANDLE file, char* buffer, DWORD capacity, DWORD flags);
BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* bytesReturned, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError(void);

#endif

// The kernel32 headers of the cross compiler leave this structure to the
// driver kit, so it is declared here when they do not bring it.
#ifndef REPARSE_DATA_BUFFER_HEADER_SIZE
typedef struct REPARSE_DATA_BUFFER {
  ULONG ReparseTag;
  USHORT ReparseDataLength;
  USHORT Reserved;
  union {
    struct {
      USHORT SubstituteNameOffset;
      USHORT SubstituteNameLength;
      USHORT PrintNameOffset;
      USHORT PrintNameLength;
      ULONG Flags;
      WCHAR PathBuffer[1];
    } SymbolicLinkReparseBuffer;
    struct {
      USHORT SubstituteNameOffset;
      USHORT SubstituteNameLength;
      USHORT PrintNameOffset;
      USHORT PrintNameLength;
      WCHAR PathBuffer[1];
    } MountPointReparseBuffer;
    struct {
      BYTE DataBuffer[1];
    } GenericReparseBuffer;
  };
} REPARSE_DATA_BUFFER;
#define REPARSE_DATA_BUFFER_HEADER_SIZE 8
#endif
