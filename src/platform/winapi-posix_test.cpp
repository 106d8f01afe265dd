// The POSIX platform on the real file system, in a fresh directory under /tmp
// per test.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/mountpoint_test.h"
#include "platform/utf8.h"
#include "platform/winapi.h"

namespace {

const DWORD kQueryFlags = FILE_FLAG_BACKUP_SEMANTICS;
const DWORD kWriterFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring wide(const std::string& text) {
  std::vector<wchar_t> buf(text.size() + 1);
  EXPECT_GT(utf8ToWide(text.c_str(), -1, buf.data(), (int)buf.size(), true), 0);
  return buf.data();
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

HANDLE openQuery(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, kQueryFlags, nullptr);
}

HANDLE openWriter(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kWriterFlags, nullptr);
}

REPARSE_DATA_BUFFER* header(std::vector<unsigned char>& bytes) {
  return (REPARSE_DATA_BUFFER*)bytes.data();
}

class PosixFs : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/winapi-posix-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    char* resolved = realpath(name, nullptr);  // /tmp may itself be a link
    root_ = resolved;
    free(resolved);
  }
  void TearDown() override { nftw(root_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); }

  std::string at(const std::string& name) const { return root_ + "/" + name; }
  std::wstring w(const std::string& name) const { return wide(at(name)); }

  void dir(const std::string& name) { ASSERT_EQ(mkdir(at(name).c_str(), 0777), 0) << name; }
  void file(const std::string& name) {
    FILE* f = fopen(at(name).c_str(), "w");
    ASSERT_NE(f, nullptr) << name;
    fclose(f);
  }
  // `target` is a name in the test directory; links hold full paths, like junctions.
  void link(const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(at(target).c_str(), at(name).c_str()), 0) << name;
  }
  bool exists(const std::string& name) const {
    struct stat st;
    return lstat(at(name).c_str(), &st) == 0;
  }
  bool isLink(const std::string& name) const {
    struct stat st;
    return lstat(at(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }
  std::string linkContent(const std::string& name) const {
    char buf[PATH_MAX];
    ssize_t len = readlink(at(name).c_str(), buf, sizeof buf);
    return len < 0 ? "" : std::string(buf, len);
  }

  std::string root_;
};

TEST_F(PosixFs, FailuresCarryTheWindowsCode) {
  dir("d");
  file("f");
  link("gone", "dangling");
  link("loop", "loop");
  struct Case {
    const char* what;
    std::function<bool()> fails;
    DWORD code;
  };
  const HANDLE none = INVALID_HANDLE_VALUE;
  wchar_t out[4];
  const Case cases[] = {
      {"attributes, missing name", [&] { return GetFileAttributesW(w("x").c_str()) == ~0u; }, 2},
      {"attributes, missing dir", [&] { return GetFileAttributesW(w("x/y").c_str()) == ~0u; }, 3},
      {"attributes, file on the way", [&] { return GetFileAttributesW(w("f/y").c_str()) == ~0u; },
       3},
      {"attributes, name too long",
       [&] { return GetFileAttributesW(w(std::string(300, 'n')).c_str()) == ~0u; }, 206},
      {"mkdir, missing parent", [&] { return !CreateDirectoryW(w("x/y").c_str(), nullptr); }, 3},
      {"mkdir over dir", [&] { return !CreateDirectoryW(w("d").c_str(), nullptr); }, 183},
      {"mkdir over file", [&] { return !CreateDirectoryW(w("f").c_str(), nullptr); }, 183},
      {"mkdir over dangling link",
       [&] { return !CreateDirectoryW(w("dangling").c_str(), nullptr); }, 183},
      {"rmdir, missing name", [&] { return !RemoveDirectoryW(w("x").c_str()); }, 2},
      {"delete, missing dir", [&] { return !DeleteFileW(w("x\\y").c_str()); }, 3},
      {"open, missing name", [&] { return openQuery(w("x")) == none; }, 2},
      {"open, missing dir", [&] { return openQuery(w("x/y")) == none; }, 3},
      {"open, dangling link", [&] { return openQuery(w("dangling")) == none; }, 2},
      {"open, link loop", [&] { return openQuery(w("loop")) == none; }, 1921},
      {"open writer, missing name", [&] { return openWriter(w("x")) == none; }, 2},
      {"open writer, file", [&] { return openWriter(w("f")) == none; }, 267},
      {"find, missing dir", [&] { return FindFirstFileW(w("x\\*").c_str(), nullptr) == none; }, 3},
      {"find, file", [&] { return FindFirstFileW(w("f/*").c_str(), nullptr) == none; }, 267},
      {"find, invalid handle", [&] { return !FindNextFileW(none, nullptr); }, 6},
      {"find close, invalid handle", [&] { return !FindClose(nullptr); }, 6},
      {"close, invalid handle", [&] { return !CloseHandle(none); }, 6},
      {"final path, invalid handle",
       [&] { return GetFinalPathNameByHandleA(nullptr, nullptr, 0, 0) == 0; }, 6},
      {"set reparse point, invalid handle",
       [&] { return !DeviceIoControl(none, FSCTL_SET_REPARSE_POINT, 0, 0, 0, 0, 0, 0); }, 6},
      {"decode, does not fit",
       [&] { return MultiByteToWideChar(CP_ACP, 0, "abcd", -1, out, 4) == 0; }, 122},
      {"full path, empty", [&] { return GetFullPathNameW(L"", 4, out, nullptr) == 0; }, 123},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Each call must set the code itself, not inherit it.
    MultiByteToWideChar(CP_ACP, 1, "", -1, out, 4);
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(c.fails());
    EXPECT_EQ(GetLastError(), c.code);
  }
}

TEST(MultiByteToWideChar, DecodesUtf8WithTerminator) {
  wchar_t out[4] = {L'X', L'X', L'X', L'X'};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a\xc3\xa9", -1, out, 3), 3);
  EXPECT_EQ(std::wstring(out), L"a\u00e9");
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a\xc3\xa9", -1, nullptr, 0), 3);
}

// Arguments and names read from the kernel come back out byte for byte; a
// backslash is a separator in the program's text and a plain character in a
// name.
TEST(Conversions, EveryByteComesBackAsItWent) {
  const char* const texts[] = {"a\xff", "\xc3", "\xed\xb2\x80", "\xef\x81\x9c", "caf\xc3\xa9"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    wchar_t wide[16];
    char back[64];
    ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 16), 0);
    if (strcmp(text, "\xef\x81\x9c") != 0) {  // U+F05C stands for a backslash in a name
      ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, wide, -1, back, 64, nullptr, nullptr), 0);
      EXPECT_STREQ(text, back);
    }
    ASSERT_GT(nativeToWide(text, wide, 16), 0);
    ASSERT_GE(wideToNative(wide, back, 64), 0);
    EXPECT_STREQ(text, back);
  }
  wchar_t wide[8];
  char back[16];
  ASSERT_GT(nativeToWide("a\\b", wide, 8), 0);
  EXPECT_EQ(std::wstring(wide), L"a\uF05Cb");
  ASSERT_GT(wideToNative(wide, back, 16), 0);
  EXPECT_STREQ("a\\b", back);
  ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, L"a\\b", -1, back, 16, nullptr, nullptr), 0);
  EXPECT_STREQ("a/b", back);
}

TEST_F(PosixFs, FullPathIsResolvedAsText) {
  dir("d");
  dir("d/e");
  link("d/e", "link");  // a resolver that follows links would answer root/d
  char saved[PATH_MAX];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  const std::wstring here = wide(root_);
  const std::pair<const wchar_t*, std::wstring> cases[] = {
      {L"a/b", here + L"/a/b"},
      {L"a\\b\\..\\c", here + L"/a/c"},
      {L".", here},
      {L"sub/", here + L"/sub/"},
      {L"link/..", here},
      {L"/x//y/./z", L"/x/y/z"},
      {L"\\\\x\\\\y", L"/x/y"},
      {L"/..", L"/"},
      {L"/../../a/", L"/a/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    wchar_t buf[PATH_MAX];
    EXPECT_EQ(GetFullPathNameW(c.first, PATH_MAX, buf, nullptr), c.second.size());
    EXPECT_EQ(std::wstring(buf), c.second);
  }
  ASSERT_EQ(chdir(saved), 0);
}

TEST(GetFullPathNameW, WritesOnlyWhatFitsWithTerminator) {
  wchar_t buf[8];
  wmemset(buf, L'X', 8);
  EXPECT_EQ(GetFullPathNameW(L"/abc", 4, buf, nullptr), 5u);
  EXPECT_EQ(buf[0], L'X');
  wchar_t* filePart = nullptr;
  EXPECT_EQ(GetFullPathNameW(L"/abc", 5, buf, &filePart), 4u);
  EXPECT_EQ(std::wstring(buf), L"/abc");
  EXPECT_EQ(filePart, buf + 1);
  EXPECT_EQ(GetFullPathNameW(L"/abc/", 8, buf, &filePart), 5u);
  EXPECT_EQ(filePart, nullptr);
}

TEST_F(PosixFs, AttributesDescribeTheNameItself) {
  dir("d");
  file("d/g");
  file("f");
  link("d", "ld");
  link("f", "lf");
  link("gone", "dangling");
  const DWORD dirLink = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
  const std::pair<const char*, DWORD> cases[] = {
      {"d", FILE_ATTRIBUTE_DIRECTORY},
      {"d/", FILE_ATTRIBUTE_DIRECTORY},
      {"d\\g", FILE_ATTRIBUTE_ARCHIVE},
      {"f", FILE_ATTRIBUTE_ARCHIVE},
      {"ld", dirLink},
      {"ld/", dirLink},
      {"ld\\\\", dirLink},
      {"dangling", dirLink},
      {"lf", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE},
      // "." and ".." are text, as on Windows: never resolved through a link,
      // nor through a name that does not exist.
      {"ld/../f", FILE_ATTRIBUTE_ARCHIVE},
      {"missing\\..\\d/./g", FILE_ATTRIBUTE_ARCHIVE},
      {"d/g/../../ld", dirLink},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetFileAttributesW(w(c.first).c_str()), c.second) << c.first;
  }
}

TEST_F(PosixFs, RemovalActsOnTheNameNeverOnALinkTarget) {
  enum Kind { EmptyDir, FullDir, File, DirLink, FileLink, Dangling };
  struct Case {
    const char* what;
    Kind kind;
    const char* suffix;
    DWORD rmdirCode;  // 0: removed
    DWORD deleteCode;
  };
  const Case cases[] = {
      {"empty dir", EmptyDir, "", 0, 5},   {"dir with an entry", FullDir, "", 145, 5},
      {"file", File, "", 267, 0},          {"file, trailing slash", File, "/", 267, 0},
      {"dir link", DirLink, "", 0, 5},     {"dir link, trailing slash", DirLink, "\\", 0, 5},
      {"file link", FileLink, "", 267, 0}, {"dangling link", Dangling, "", 0, 5},
  };
  int n = 0;
  for (const Case& c : cases) {
    for (bool rmdir : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (rmdir ? ", RemoveDirectoryW" : ", DeleteFileW"));
      std::string base = "case" + std::to_string(n++);
      dir(base);
      dir(base + "/target");
      file(base + "/target/canary");
      file(base + "/file-target");
      std::string name = base + "/victim";
      switch (c.kind) {
        case EmptyDir:
          dir(name);
          break;
        case FullDir:
          dir(name);
          file(name + "/entry");
          break;
        case File:
          file(name);
          break;
        case DirLink:
          link(base + "/target", name);
          break;
        case FileLink:
          link(base + "/file-target", name);
          break;
        case Dangling:
          link(base + "/gone", name);
          break;
      }
      std::wstring path = w(name + c.suffix);
      DWORD expected = rmdir ? c.rmdirCode : c.deleteCode;
      BOOL done = rmdir ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
      EXPECT_EQ(done != 0, expected == 0);
      if (!done) {
        EXPECT_EQ(GetLastError(), expected);
      }
      EXPECT_EQ(exists(name), expected != 0);
      EXPECT_TRUE(exists(base + "/target/canary"));
      EXPECT_TRUE(exists(base + "/file-target"));
    }
  }
}

using Entries = std::vector<std::pair<std::wstring, DWORD>>;

struct Listing {
  Entries entries;
  DWORD endCode = 0;
};

Listing list(const std::wstring& pattern) {
  Listing result;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return result;
  do {
    result.entries.push_back({data.cFileName, data.dwFileAttributes});
  } while (FindNextFileW(find, &data));
  result.endCode = GetLastError();
  EXPECT_TRUE(FindClose(find));
  return result;
}

TEST_F(PosixFs, EnumerationListsDotsFirstAndDoesNotFollowEntries) {
  dir("e");
  dir("e/d");
  file("e/f");
  dir("other");
  file("other/inner");
  link("other", "e/l");
  link("other", "lo");
  dir("empty");
  const DWORD dirAttr = FILE_ATTRIBUTE_DIRECTORY;
  const Entries dots = {{L".", dirAttr}, {L"..", dirAttr}};

  Listing e = list(w("e") + L"\\*");
  ASSERT_GE(e.entries.size(), 2u);
  EXPECT_EQ(Entries(e.entries.begin(), e.entries.begin() + 2), dots);
  std::sort(e.entries.begin() + 2, e.entries.end());
  const Entries rest = {{L"d", dirAttr}, {L"f", FILE_ATTRIBUTE_ARCHIVE}, {L"l", dirAttr | 0x400}};
  EXPECT_EQ(Entries(e.entries.begin() + 2, e.entries.end()), rest);
  EXPECT_EQ(e.endCode, (DWORD)ERROR_NO_MORE_FILES);

  Listing viaLink = list(w("lo/*"));
  ASSERT_EQ(viaLink.entries.size(), 3u);
  EXPECT_EQ(viaLink.entries[2].first, L"inner");

  EXPECT_EQ(list(w("empty/*")).entries, dots);
}

TEST_F(PosixFs, EnumeratedNameWithInvalidUtf8StillNamesTheFile) {
  dir("e");
  file("e/bad\xff\xfe");
  Listing e = list(w("e/*"));
  ASSERT_EQ(e.entries.size(), 3u);
  EXPECT_TRUE(DeleteFileW((w("e") + L"/" + e.entries[2].first).c_str()));
  EXPECT_FALSE(exists("e/bad\xff\xfe"));
}

TEST_F(PosixFs, QueryHandleGivesTheResolvedPath) {
  dir("t");
  link("t", "l");
  HANDLE h = openQuery(w("l") + L"\\");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const std::string expected = at("t");
  const DWORD len = (DWORD)expected.size();
  char buf[PATH_MAX];
  memset(buf, 'X', sizeof buf);
  EXPECT_EQ(GetFinalPathNameByHandleA(h, buf, len, 0), len + 1);
  EXPECT_EQ(buf[0], 'X');
  EXPECT_EQ(GetFinalPathNameByHandleA(h, buf, len + 1, 0), len);
  EXPECT_EQ(std::string(buf), expected);
  EXPECT_TRUE(CloseHandle(h));
}

class Junction : public PosixFs {
 protected:
  void SetUp() override {
    PosixFs::SetUp();
    dir("t");
    file("t/canary");
    dir("j");
  }
  // Sets `buffer` on "j" through a writer handle; returns the error code or 0.
  DWORD set(std::vector<unsigned char> buffer, DWORD code = FSCTL_SET_REPARSE_POINT) {
    HANDLE h = openWriter(w("j"));
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    DWORD returned = 7;
    BOOL done = DeviceIoControl(h, code, buffer.data(), (DWORD)buffer.size(), 0, 0, &returned, 0);
    DWORD error = done ? 0 : GetLastError();
    EXPECT_TRUE(CloseHandle(h));
    return error;
  }
};

TEST_F(Junction, EmptyDirBecomesALinkToThePrintName) {
  EXPECT_EQ(set(mountPoint(w("t"))), 0u);
  EXPECT_TRUE(isLink("j"));
  EXPECT_EQ(linkContent("j"), at("t"));
  EXPECT_TRUE(exists("j/canary"));
}

TEST_F(Junction, ExistingLinkIsRetargeted) {
  dir("t2");
  ASSERT_EQ(set(mountPoint(w("t"))), 0u);
  EXPECT_EQ(set(mountPoint(w("t2"))), 0u);
  EXPECT_EQ(linkContent("j"), at("t2"));
  EXPECT_TRUE(exists("t/canary"));
}

TEST_F(Junction, DirWithEntriesIsKept) {
  file("j/entry");
  EXPECT_EQ(set(mountPoint(w("t"))), 145u);
  EXPECT_FALSE(isLink("j"));
  EXPECT_TRUE(exists("j/entry"));
}

TEST_F(Junction, MalformedBufferLeavesTheDir) {
  using Change = std::function<void(std::vector<unsigned char>&)>;
  const std::pair<const char*, Change> cases[] = {
      {"symbolic link tag", [](auto& b) { header(b)->ReparseTag = IO_REPARSE_TAG_SYMLINK; }},
      {"size beyond data length", [](auto& b) { b.resize(b.size() + 4); }},
      {"truncated", [](auto& b) { b.resize(REPARSE_DATA_BUFFER_HEADER_SIZE); }},
      {"print name past the end",
       [](auto& b) { header(b)->MountPointReparseBuffer.PrintNameOffset += 400; }},
      {"substitute name past the end",
       [](auto& b) { header(b)->MountPointReparseBuffer.SubstituteNameLength += 400; }},
      {"odd name length", [](auto& b) { header(b)->MountPointReparseBuffer.PrintNameLength -= 1; }},
      {"empty print name", [](auto& b) { header(b)->MountPointReparseBuffer.PrintNameLength = 0; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::vector<unsigned char> buffer = mountPoint(w("t"));
    c.second(buffer);
    EXPECT_EQ(set(buffer), (DWORD)ERROR_INVALID_REPARSE_DATA);
    EXPECT_FALSE(isLink("j"));
  }
  EXPECT_EQ(set(mountPoint(L"t")), (DWORD)ERROR_INVALID_REPARSE_DATA) << "relative target";
  EXPECT_EQ(set(mountPoint(w("t")), 0x000900A8), (DWORD)ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(isLink("j"));
}

TEST_F(Junction, OnlyAWriterHandleSetsAReparsePoint) {
  std::vector<unsigned char> buffer = mountPoint(w("t"));
  HANDLE h = openQuery(w("j"));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), (DWORD)buffer.size(), 0,
                               0, nullptr, 0));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(isLink("j"));
}

// Empties `dir` the way the tree operations do: each directory held while it
// is emptied, every entry acted on by path. `step` runs before each call, as
// another process might between two of them.
DWORD emptyHeld(const std::wstring& dir, bool inside, const std::function<void()>& step) {
  step();
  if (GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES) return GetLastError();
  step();
  HANDLE h = CreateFileW(dir.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         kQueryFlags | (inside ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info;
  step();
  DWORD status = 0;
  if (!GetFileInformationByHandle(h, &info)) {
    status = GetLastError();
  } else if (inside && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    // A link by now: removed itself, as any link inside a tree.
    CloseHandle(h);
    step();
    return RemoveDirectoryW(dir.c_str()) || DeleteFileW(dir.c_str()) ? 0 : GetLastError();
  } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    status = ERROR_DIRECTORY;
  }
  WIN32_FIND_DATAW entry;
  step();
  HANDLE find = status ? INVALID_HANDLE_VALUE : FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (!status && find == INVALID_HANDLE_VALUE) status = GetLastError();
  while (!status) {
    std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") {
      std::wstring path = dir + L"\\" + name;
      step();
      DWORD a = GetFileAttributesW(path.c_str());
      step();
      if (a == INVALID_FILE_ATTRIBUTES) {
        status = GetLastError();
      } else if (a == FILE_ATTRIBUTE_DIRECTORY) {
        status = emptyHeld(path, true, step);
        if (!status) {
          step();
          // Gone already when a link swapped in was removed in its place.
          if (!RemoveDirectoryW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            status = GetLastError();
          }
        }
      } else if (!((a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str())
                                                  : DeleteFileW(path.c_str()))) {
        status = GetLastError();
      }
    }
    step();
    if (!status && !FindNextFileW(find, &entry)) {
      if (GetLastError() != ERROR_NO_MORE_FILES) status = GetLastError();
      break;
    }
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  CloseHandle(h);
  return status;
}

// One exchange of tree/sub with a link to a victim holding the same names,
// at every step of emptying the tree: the victim never changes, and the tree
// ends empty, the link swapped in removed itself.
TEST_F(PosixFs, DirectorySwappedForALinkNeverLeadsOutOfTheTree) {
  for (int swapAt = 1;; swapAt++) {
    SCOPED_TRACE("swap before step " + std::to_string(swapAt));
    std::string base = "run" + std::to_string(swapAt);
    for (const char* d :
         {"", "/tree", "/tree/sub", "/tree/sub/deeper", "/victim", "/victim/deeper", "/aside"}) {
      dir(base + d);
    }
    for (const char* f : {"/tree/sub/a", "/tree/sub/b", "/tree/sub/deeper/c", "/victim/a",
                          "/victim/b", "/victim/deeper/c"}) {
      file(base + f);
    }
    link(base + "/victim", base + "/aside/swap");
    int step = 0;
    bool swapped = false;
    DWORD status = emptyHeld(w(base + "/tree"), false, [&] {
      if (++step != swapAt) return;
      swapped = renameat2(AT_FDCWD, at(base + "/tree/sub").c_str(), AT_FDCWD,
                          at(base + "/aside/swap").c_str(), RENAME_EXCHANGE) == 0;
    });
    for (const char* f : {"/victim/a", "/victim/b", "/victim/deeper/c"}) {
      EXPECT_TRUE(exists(base + f)) << f;
    }
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(exists(base + "/tree/sub"));
    if (!swapped) break;
  }
}

TEST_F(PosixFs, HeldDirectoryIsListedAndEmptiedThroughItsDescriptor) {
  dir("tree");
  dir("tree/sub");
  file("tree/sub/f");
  dir("victim");
  file("victim/g");
  HANDLE h = CreateFileW(w("tree/sub").c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, kWriterFlags, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(rename(at("tree/sub").c_str(), at("moved").c_str()), 0);
  link("victim", "tree/sub");
  Listing listed = list(w("tree/sub/*"));
  ASSERT_EQ(listed.entries.size(), 3u);
  EXPECT_EQ(listed.entries[2].first, L"f");
  EXPECT_FALSE(DeleteFileW(w("tree/sub/g").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(DeleteFileW(w("tree/sub/f").c_str()));
  EXPECT_FALSE(exists("moved/f"));
  EXPECT_TRUE(exists("victim/g"));
  EXPECT_TRUE(CloseHandle(h));
  // Once let go, the name is what it is now: the link.
  EXPECT_EQ(GetFileAttributesW(w("tree/sub").c_str()),
            (DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// Another run may remove a directory right after this one listed it, before
// or after holding it (POSIX lets it). Its name then reads as missing from a
// directory that is there, never as what the listing showed.
TEST_F(PosixFs, DirectoryRemovedByAnotherRunReadsAsGone) {
  for (bool heldFirst : {false, true}) {
    dir("tree");
    dir("tree/sub");
    HANDLE tree = CreateFileW(w("tree").c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(tree, INVALID_HANDLE_VALUE);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(w("tree/*").c_str(), &data);
    while (FindNextFileW(find, &data) && wcscmp(data.cFileName, L"sub") != 0) {
    }
    EXPECT_EQ(GetFileAttributesW(w("tree/sub").c_str()), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    HANDLE sub = INVALID_HANDLE_VALUE;
    if (heldFirst) {
      sub = CreateFileW(w("tree/sub").c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, kWriterFlags, nullptr);
      ASSERT_NE(sub, INVALID_HANDLE_VALUE);
    }
    ASSERT_EQ(rmdir(at("tree/sub").c_str()), 0);
    if (heldFirst) {
      // Listed through the hold, it holds nothing more.
      WIN32_FIND_DATAW inner;
      HANDLE listing = FindFirstFileW(w("tree/sub/*").c_str(), &inner);
      ASSERT_NE(listing, INVALID_HANDLE_VALUE);
      while (FindNextFileW(listing, &inner)) {
      }
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
      FindClose(listing);
      EXPECT_FALSE(RemoveDirectoryW(w("tree/sub").c_str()));
    } else {
      EXPECT_EQ(CreateFileW(w("tree/sub").c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, kWriterFlags, nullptr),
                INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND) << heldFirst;
    EXPECT_EQ(GetFileAttributesW(w("tree/sub").c_str()), INVALID_FILE_ATTRIBUTES) << heldFirst;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND) << heldFirst;
    if (heldFirst) CloseHandle(sub);
    FindClose(find);
    CloseHandle(tree);
    ASSERT_EQ(rmdir(at("tree").c_str()), 0);
  }
}
}  // namespace
