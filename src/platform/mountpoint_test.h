// Mount-point reparse data for a junction to `target`, laid out as the
// junction command lays it out: the substitute name "\??\" + target, then
// the print name, each with its terminator. Shared by the platform tests.
#pragma once

#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/winapi.h"

inline std::vector<unsigned char> mountPoint(const std::wstring& target) {
  std::wstring substitute = L"\\??\\" + target;
  const size_t names = offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
  std::wstring pathBuffer = substitute + L'\0' + target + L'\0';
  std::vector<unsigned char> bytes(names + pathBuffer.size() * sizeof(WCHAR));
  REPARSE_DATA_BUFFER head{};
  head.ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  head.ReparseDataLength = (USHORT)(bytes.size() - REPARSE_DATA_BUFFER_HEADER_SIZE);
  head.MountPointReparseBuffer.SubstituteNameLength = (USHORT)(substitute.size() * sizeof(WCHAR));
  head.MountPointReparseBuffer.PrintNameOffset = (USHORT)((substitute.size() + 1) * sizeof(WCHAR));
  head.MountPointReparseBuffer.PrintNameLength = (USHORT)(target.size() * sizeof(WCHAR));
  memcpy(bytes.data(), &head, names);
  memcpy(bytes.data() + names, pathBuffer.data(), pathBuffer.size() * sizeof(WCHAR));
  return bytes;
}
