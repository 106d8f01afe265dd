// What the platform decides about the form of a path. The rest of the program
// treats paths as text and asks here where Windows and POSIX differ.
#pragma once

// A junction target must be a full path on a local volume.
int isDrivePath(const wchar_t* fullPath);

// Non-zero where names are compared without regard to ASCII letter case.
int pathNamesIgnoreCase(void);

// Non-zero for a path that names neither a root nor a drive: it is relative
// to the current directory, which therefore exists.
int isRelativeToCurrentDir(const wchar_t* path);

// Non-zero for the root of a volume or share, given as a full path: the tree
// operations never clear one.
int isVolumeRoot(const wchar_t* fullPath);

// Non-zero for a bare drive ("D:"), which names the drive's current
// directory: its entries are named "D:name", with no separator.
int isBareDrive(const wchar_t* path);
