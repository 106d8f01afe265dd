// The junction's reparse data, written by junctor over the in-memory file
// system for a valid target in any spelling: tag, offsets, lengths and both
// names agree with the target's full path, and a second run finds the link
// already in place. A target too long for the path limits is refused and
// leaves nothing behind.
#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "junctor.h"
#include "platform/utf8.h"
#include "platform/winapi-fake.h"

namespace {

// Valid in a Windows name: ASCII with punctuation, and a letter beyond it.
const wchar_t kNameChars[] = L"abcXYZ019 !#$%&'()+,-;=@[]^_`{}~\u00e9";

struct Target {
  std::string typed;  // UTF-8, as junctor gets it
  size_t typedChars;
  std::wstring full;  // D:\t\... as GetFullPathNameW makes it, less a trailing separator
  size_t fullChars;   // with it
  int levels;
};

// Byte 0 picks the spelling; every later byte is a name character, or 0 to
// start the next name (two in a row make a doubled separator).
Target makeTarget(const uint8_t* data, size_t size) {
  uint8_t flags = size ? data[0] : 0;
  wchar_t separator = flags & 1 ? L'/' : L'\\';
  int form = (flags >> 1) % 4;  // absolute, relative, drive-relative, absolute with dots
  std::vector<std::wstring> names(1);
  for (size_t i = 1; i < size; i++) {
    if (data[i] == 0) {
      names.emplace_back();
    } else {
      names.back() += kNameChars[data[i] % (sizeof kNameChars / sizeof *kNameChars - 1)];
    }
  }
  // Each level is created as the last name of a path, which Win32 strips of
  // trailing spaces.
  for (std::wstring& name : names) name.erase(name.find_last_not_of(L' ') + 1);
  Target t;
  t.full = L"D:\\t";
  t.levels = 0;
  std::wstring typed = form == 0 || form == 3 ? L"D:\\t" : form == 2 ? L"D:" : L"";
  for (const std::wstring& name : names) {
    if (!typed.empty() && typed.back() != L':') typed += separator;
    if (form == 3) typed += std::wstring(L".") + separator;
    typed += name;
    if (name.empty()) continue;
    t.full += L"\\" + name;
    t.levels++;
  }
  if (typed.empty()) typed = L".";
  if ((flags & 8) && typed.back() != separator && typed.back() != L':') typed += separator;
  t.typedChars = typed.size();
  t.fullChars = t.full.size() + (typed.back() == separator);
  std::vector<char> utf8(typed.size() * 4 + 1);
  t.typed.assign(utf8.data(), wideToUtf8(typed.c_str(), utf8.data(), utf8.size()));
  return t;
}

struct MountPoint {
  ULONG tag;
  USHORT dataLength, reserved, substituteOffset, substituteLength, printOffset, printLength;
};

void checkReparseData(const std::vector<unsigned char>& bytes, const std::wstring& full) {
  const size_t names = offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
  FUZZ_CHECK(bytes.size() >= names);
  MountPoint h;
  memcpy(&h, bytes.data(), sizeof h);
  std::wstring substitute = L"\\??\\" + full;
  size_t ls = substitute.size(), lt = full.size();
  FUZZ_CHECK(h.tag == IO_REPARSE_TAG_MOUNT_POINT);
  FUZZ_CHECK(h.dataLength == 8 + (ls + lt + 2) * sizeof(WCHAR));
  FUZZ_CHECK(bytes.size() == REPARSE_DATA_BUFFER_HEADER_SIZE + h.dataLength);
  FUZZ_CHECK(h.reserved == 0);
  FUZZ_CHECK(h.substituteOffset == 0 && h.substituteLength == ls * sizeof(WCHAR));
  FUZZ_CHECK(h.printOffset == (ls + 1) * sizeof(WCHAR) && h.printLength == lt * sizeof(WCHAR));
  std::vector<WCHAR> path((bytes.size() - names) / sizeof(WCHAR));
  memcpy(path.data(), bytes.data() + names, path.size() * sizeof(WCHAR));
  FUZZ_CHECK(std::wstring(path.begin(), path.begin() + ls) == substitute && path[ls] == 0);
  FUZZ_CHECK(std::wstring(path.begin() + ls + 1, path.begin() + ls + 1 + lt) == full);
  FUZZ_CHECK(path[ls + 1 + lt] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Target t = makeTarget(data, size);
  bool createTarget = size && (data[0] & 16);
  fakefs::reset();
  fakefs::addDir(L"D:\\t");
  fakefs::setCurrentDirectory(L"D:\\t");
  if (!createTarget) {
    std::wstring level = L"D:\\t";
    for (size_t start = 5; start <= t.full.size(); start = level.size() + 1) {
      level = t.full.substr(0, t.full.find(L'\\', start));
      fakefs::addDir(level);
    }
  }
  const char* argv[] = {"junctor", "C:\\link", t.typed.c_str(), createTarget ? "-T" : "---",
                        nullptr};

  int code = junctorCmd(4, argv);

  // CreateDirectoryW takes at most 248 characters.
  int expected = t.typedChars >= MAX_PATH                        ? 7
                 : t.fullChars >= MAX_PATH                       ? 2
                 : createTarget && t.levels > 50                 ? 2
                 : createTarget && t.full.size() > MAX_PATH - 12 ? 2
                                                                 : 0;
  FUZZ_CHECK(code == expected);
  FUZZ_CHECK(fakefs::openHandles() == 0);
  if (code != 0) {
    FUZZ_CHECK(fakefs::kindOf(L"C:\\link") == fakefs::Kind::None);
    return 0;
  }
  FUZZ_CHECK(fakefs::kindOf(L"C:\\link") == fakefs::Kind::Junction);
  FUZZ_CHECK(fakefs::linkTarget(L"C:\\link") == t.full);
  std::vector<unsigned char> written = fakefs::reparseData(L"C:\\link");
  checkReparseData(written, t.full);

  FUZZ_CHECK(junctorCmd(4, argv) == 0);
  FUZZ_CHECK(fakefs::reparseData(L"C:\\link") == written);
  return 0;
}
