#pragma once
#include <stdint.h>
#include <wchar.h>

// Each returns 0 or a Windows system error code; on failure the path
// concerned is copied into errPath (when not null).
int32_t createDir(const wchar_t* path, int force, wchar_t* errPath, int errPathCap);
int32_t createCleanDir(const wchar_t* path, int force, int keepDirs, wchar_t* errPath,
                       int errPathCap);
int32_t cleanDirContent(const wchar_t* path, int keepDirs, wchar_t* errPath, int errPathCap);
int32_t removeDirTree(const wchar_t* path, int keepDirs, wchar_t* errPath, int errPathCap);

int createCleanDirCmd(int argc, const char* const argv[]);
