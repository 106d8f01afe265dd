// The fake's Windows behaviour, which the program's unit tests take as true.
#include "platform/winapi-fake.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/mountpoint_test.h"

using namespace fakefs;

namespace {

const DWORD kBackup = FILE_FLAG_BACKUP_SEMANTICS;
const DWORD kWriterFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// D:\data holds Sub\, a.txt, ro.txt (read-only) and flink (-> a.txt);
// D:\link is a junction to D:\data, D:\gone one to a missing directory.
class FakeFs : public ::testing::Test {
 protected:
  void SetUp() override {
    reset();
    addDir(L"D:\\data");
    addDir(L"D:\\data\\Sub");
    addFile(L"D:\\data\\a.txt");
    addFile(L"D:\\data\\ro.txt", true);
    addFileLink(L"D:\\data\\flink", L"a.txt");
    addJunction(L"D:\\link", L"D:\\data");
    addJunction(L"D:\\gone", L"D:\\nowhere");
    addDir(L"\\\\server\\share\\Dir");
  }

  static HANDLE openQuery(const wchar_t* path) {
    return CreateFileW(path, 0, 7, nullptr, OPEN_EXISTING, kBackup, nullptr);
  }
  static HANDLE openWriter(const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kWriterFlags, nullptr);
  }
  static std::string finalPath(HANDLE handle) {
    char buffer[300] = "";
    DWORD length = GetFinalPathNameByHandleA(handle, buffer, sizeof buffer, 0);
    return length > 0 && length < sizeof buffer ? buffer : "<failed>";
  }
};

TEST(FakeFsPaths, FullPathNameIsPureText) {
  struct Case {
    const wchar_t* currentDir;
    const wchar_t* path;
    const wchar_t* full;
  } cases[] = {
      {L"C:\\", L"D:/a//b/", L"D:\\a\\b\\"},
      {L"C:\\work", L"x\\.\\y\\..\\z", L"C:\\work\\x\\z"},
      {L"C:\\work", L"\\top", L"C:\\top"},
      {L"C:\\work", L"D:", L"D:\\"},
      {L"C:\\work", L"d:rel", L"d:\\rel"},
      {L"D:\\cur", L"D:rel", L"D:\\cur\\rel"},
      {L"C:\\work", L"D:\\a\\..\\..\\..", L"D:\\"},
      {L"C:\\work", L"\\\\server\\share\\a\\..\\..\\b", L"\\\\server\\share\\b"},
      {L"C:\\work", L"//server/share/", L"\\\\server\\share\\"},
      {L"\\\\server\\share\\dir", L"..\\x", L"\\\\server\\share\\x"},
      {L"C:\\work", L"missing\\never", L"C:\\work\\missing\\never"},
      // The last name loses trailing dots and spaces, an inner one a single dot.
      {L"C:\\work", L"sub.", L"C:\\work\\sub"},
      {L"C:\\work", L"out . .", L"C:\\work\\out"},
      {L"C:\\work", L"a.\\b \\c..", L"C:\\work\\a\\b \\c"},
      {L"C:\\work", L"out \\", L"C:\\work\\out \\"},
      {L"C:\\work", L"...\\x", L"C:\\work\\...\\x"},
      // A full path names what the path named: "a..\\" stays "a..".
      {L"C:\\work", L"a..\\", L"C:\\work\\a..\\"},
      // Only "\\?\" exactly skips normalisation; "\\.\" keeps its volume.
      {L"C:\\work", L"\\\\?\\D:\\a\\..\\x.", L"\\\\?\\D:\\a\\..\\x."},
      {L"C:\\work", L"\\\\.\\D:\\a\\..\\x.", L"\\\\.\\D:\\x"},
      {L"C:\\work", L"//?/D:/a/../..", L"\\\\?\\D:"},
      {L"C:\\work", L"\\\\.\\UNC\\server\\share\\a\\..", L"\\\\.\\UNC\\server\\share"},
  };
  for (const Case& c : cases) {
    reset();
    setCurrentDirectory(c.currentDir);
    wchar_t buffer[MAX_PATH];
    DWORD length = GetFullPathNameW(c.path, MAX_PATH, buffer, nullptr);
    EXPECT_EQ(std::wstring(buffer, length), c.full) << c.path;
    EXPECT_EQ(length, wcslen(c.full)) << c.path;
  }
}

TEST(FakeFsPaths, DriveRelativePathsUseThatDrivesDirectory) {
  reset();
  setCurrentDirectory(L"D:\\cur");
  setCurrentDirectory(L"C:\\work");
  wchar_t buffer[MAX_PATH];
  GetFullPathNameW(L"d:rel", MAX_PATH, buffer, nullptr);
  EXPECT_STREQ(buffer, L"D:\\cur\\rel");
  GetFullPathNameW(L"R:rel", MAX_PATH, buffer, nullptr);
  EXPECT_STREQ(buffer, L"R:\\rel");
}

TEST(FakeFsPaths, FullPathNameReportsTheSizeItNeeds) {
  reset();
  wchar_t buffer[8];
  wchar_t* filePart = nullptr;
  EXPECT_EQ(GetFullPathNameW(L"D:\\abcde", 8, buffer, &filePart), 9u);  // no room for the 0
  EXPECT_EQ(GetFullPathNameW(L"D:\\abcd", 8, buffer, &filePart), 7u);
  EXPECT_STREQ(buffer, L"D:\\abcd");
  EXPECT_STREQ(filePart, L"abcd");
  EXPECT_EQ(GetFullPathNameW(L"D:\\ab\\", 8, buffer, &filePart), 6u);
  EXPECT_EQ(filePart, nullptr);

  EXPECT_EQ(GetFullPathNameW(L"", 8, buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
}

TEST(FakeFsText, MultiByteToWideCharDecodesUtf8) {
  reset();
  wchar_t wide[8];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "D:\\\xC3\xA9", -1, wide, 8), 5);
  EXPECT_STREQ(wide, L"D:\\\u00E9");
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abcd", -1, wide, 4), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a\xC3", -1, wide, 8), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(FakeFsText, WideCharToMultiByteEncodesUtf8Unlogged) {
  reset();
  char text[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"D:\\\u00E9", -1, text, 8, nullptr, nullptr), 6);
  EXPECT_STREQ(text, "D:\\\xC3\xA9");
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"D:\\\u00E9", -1, text, 5, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(log(), std::vector<std::wstring>{L"GetLastError"});
}

// Where wide text has 2 bytes, these are surrogate pairs; the low half of
// U+10080 lies where the POSIX layer keeps undecodable bytes.
TEST(FakeFsText, CharactersBeyondTheBasicPlaneConvertBothWays) {
  reset();
  struct Case {
    const char* text;
    const wchar_t* wide;
  } cases[] = {
      {"D:\\\xF0\x9F\x98\x80", L"D:\\\U0001F600"},
      {"\xF0\x90\x82\x80x", L"\U00010080x"},
      {"\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
  };
  for (const Case& c : cases) {
    wchar_t wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, c.text, -1, wide, 8), int(wcslen(c.wide) + 1));
    EXPECT_STREQ(wide, c.wide);
    char text[16];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, c.wide, -1, text, 16, nullptr, nullptr),
              int(strlen(c.text) + 1));
    EXPECT_STREQ(text, c.text);
  }
}

TEST_F(FakeFs, AttributesOfThePathItself) {
  struct Case {
    const wchar_t* path;
    DWORD attributes;  // INVALID_FILE_ATTRIBUTES: then `error`
    DWORD error;
  } cases[] = {
      {L"D:\\", 0x10, 0},
      {L"\\\\server\\share", 0x10, 0},
      {L"d:/DATA/sub/", 0x10, 0},
      {L"D:\\data\\a.txt", 0x20, 0},
      {L"D:\\data\\ro.txt", 0x21, 0},
      {L"D:\\data\\flink", 0x420, 0},
      {L"D:\\link", 0x410, 0},
      {L"D:\\gone", 0x410, 0},
      {L"D:\\link\\a.txt", 0x20, 0},
      {L"\\\\?\\D:\\data\\a.txt", 0x20, 0},
      {L"\\\\?\\UNC\\server\\share\\dir", 0x10, 0},
      {L"D:\\link\\Sub\\..\\ro.txt", 0x21, 0},
      {L"D:\\data\\missing", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {L"D:\\missing\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"D:\\data\\a.txt\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"D:\\gone\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"Q:\\", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"\\\\other\\share\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes) << c.path;
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
  }
}

TEST_F(FakeFs, RelativePathsStartInTheCurrentDirectory) {
  setCurrentDirectory(L"D:\\link");
  EXPECT_EQ(GetFileAttributesW(L"a.txt"), 0x20u);
  EXPECT_EQ(GetFileAttributesW(L"D:Sub"), 0x10u);
  EXPECT_EQ(GetFileAttributesW(L"\\data"), 0x10u);
  EXPECT_EQ(GetFileAttributesW(L"C:a.txt"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FakeFs, LinkLoopsEndWithCantResolve) {
  addJunction(L"D:\\loop1", L"D:\\loop2");
  addJunction(L"D:\\loop2", L"D:\\loop1");
  EXPECT_EQ(GetFileAttributesW(L"D:\\loop1\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_CANT_RESOLVE_FILENAME));
}

TEST_F(FakeFs, CreateDirectory) {
  struct Case {
    const wchar_t* path;
    DWORD error;
  } cases[] = {
      {L"D:\\data\\New\\", 0},
      {L"D:\\link\\viaLink", 0},
      {L"D:\\DATA\\SUB", ERROR_ALREADY_EXISTS},
      {L"D:\\data\\a.txt", ERROR_ALREADY_EXISTS},
      {L"D:\\gone", ERROR_ALREADY_EXISTS},
      {L"D:\\missing\\x", ERROR_PATH_NOT_FOUND},
      {L"D:\\data\\a.txt\\x", ERROR_PATH_NOT_FOUND},
      {L"D:\\gone\\x", ERROR_PATH_NOT_FOUND},
      {L"Q:\\x", ERROR_PATH_NOT_FOUND},
      {L"D:\\", ERROR_ACCESS_DENIED},
      {L"D:\\bad:name", ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CreateDirectoryW(c.path, nullptr), c.error == 0) << c.path;
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
  }
  EXPECT_EQ(list(L"D:\\data"),
            (std::vector<std::wstring>{L"a.txt", L"flink", L"New", L"ro.txt", L"Sub", L"viaLink"}));
}

TEST_F(FakeFs, RemoveDirectoryAndDeleteFile) {
  struct Case {
    BOOL (*remove)(const wchar_t*);
    const wchar_t* path;
    DWORD error;
  } cases[] = {
      {RemoveDirectoryW, L"D:\\data\\sub", 0},
      {RemoveDirectoryW, L"D:\\gone", 0},
      {RemoveDirectoryW, L"D:\\data", ERROR_DIR_NOT_EMPTY},
      {RemoveDirectoryW, L"D:\\data\\a.txt", ERROR_DIRECTORY},
      {RemoveDirectoryW, L"D:\\data\\flink", ERROR_DIRECTORY},
      {RemoveDirectoryW, L"D:\\data\\missing", ERROR_FILE_NOT_FOUND},
      {RemoveDirectoryW, L"D:\\missing\\x", ERROR_PATH_NOT_FOUND},
      {RemoveDirectoryW, L"D:\\", ERROR_ACCESS_DENIED},
      {DeleteFileW, L"D:\\link\\flink", 0},
      {DeleteFileW, L"D:\\data\\ro.txt", ERROR_ACCESS_DENIED},
      {DeleteFileW, L"D:\\data", ERROR_ACCESS_DENIED},
      {DeleteFileW, L"D:\\link", ERROR_ACCESS_DENIED},
      {DeleteFileW, L"D:\\data\\missing", ERROR_FILE_NOT_FOUND},
      {DeleteFileW, L"D:\\missing\\x", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    Kind before = kindOf(c.path);
    EXPECT_EQ(c.remove(c.path), c.error == 0) << c.path;
    if (c.error) {
      EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    EXPECT_EQ(kindOf(c.path), c.error ? before : Kind::None) << c.path;
  }
  // Removing a link leaves its target alone.
  EXPECT_EQ(kindOf(L"D:\\data\\a.txt"), Kind::File);
}

TEST_F(FakeFs, RemovalOfWhatIsHeldIsASharingViolation) {
  HANDLE writer = openWriter(L"D:\\data\\Sub");
  EXPECT_FALSE(RemoveDirectoryW(L"D:\\data\\Sub"));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(openWriter(L"D:\\data\\Sub"), INVALID_HANDLE_VALUE);
  CloseHandle(writer);
  EXPECT_TRUE(RemoveDirectoryW(L"D:\\data\\Sub"));

  addDir(L"D:\\data\\Sub");
  setCurrentDirectory(L"D:\\link\\Sub");
  EXPECT_FALSE(RemoveDirectoryW(L"D:\\data\\Sub"));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
}

TEST_F(FakeFs, EnumerationInNameOrderWithoutRegardToCase) {
  addFile(L"D:\\data\\B.txt");
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"D:/link/*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(openFinds(), 1);
  std::vector<std::pair<std::wstring, DWORD>> seen;
  do {
    seen.push_back({data.cFileName, data.dwFileAttributes});
    // Taken as it was when the enumeration began.
    if (seen.size() == 3) {
      EXPECT_TRUE(DeleteFileW(L"D:\\data\\B.txt"));
    }
  } while (FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
  EXPECT_EQ(seen, (std::vector<std::pair<std::wstring, DWORD>>{{L".", 0x10},
                                                               {L"..", 0x10},
                                                               {L"a.txt", 0x20},
                                                               {L"B.txt", 0x20},
                                                               {L"flink", 0x420},
                                                               {L"ro.txt", 0x21},
                                                               {L"Sub", 0x10}}));
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(openFinds(), 0);
  EXPECT_FALSE(FindClose(find));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(FakeFs, EnumerationOfARootHasNoDotEntries) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"\\\\server\\share\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, L"Dir");
  EXPECT_FALSE(FindNextFileW(find, &data));
  FindClose(find);

  EXPECT_EQ(FindFirstFileW(L"R:\\*", &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(FakeFs, EnumerationFailures) {
  struct Case {
    const wchar_t* pattern;
    DWORD error;
  } cases[] = {
      {L"D:\\missing\\*", ERROR_PATH_NOT_FOUND},
      {L"D:\\gone\\*", ERROR_PATH_NOT_FOUND},
      {L"D:\\data\\a.txt\\*", ERROR_DIRECTORY},
      {L"D:\\data\\flink\\*", ERROR_DIRECTORY},
  };
  WIN32_FIND_DATAW data;
  for (const Case& c : cases) {
    EXPECT_EQ(FindFirstFileW(c.pattern, &data), INVALID_HANDLE_VALUE) << c.pattern;
    EXPECT_EQ(GetLastError(), c.error) << c.pattern;
  }
  EXPECT_EQ(openFinds(), 0);
}

TEST_F(FakeFs, QueryHandleFollowsLinksToTheFinalPath) {
  struct Case {
    const wchar_t* path;
    const char* finalPath;
  } cases[] = {
      {L"d:\\LINK\\sub", "\\\\?\\D:\\data\\Sub"},
      {L"D:\\link", "\\\\?\\D:\\data"},
      {L"D:\\data\\flink", "\\\\?\\D:\\data\\a.txt"},
      {L"D:\\", "\\\\?\\D:\\"},
      {L"\\\\SERVER\\share\\dir", "\\\\?\\UNC\\server\\share\\Dir"},
  };
  for (const Case& c : cases) {
    HANDLE handle = openQuery(c.path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << c.path;
    EXPECT_EQ(finalPath(handle), c.finalPath) << c.path;
    EXPECT_TRUE(CloseHandle(handle));
  }
  EXPECT_EQ(openHandles(), 0);
}

TEST_F(FakeFs, OpenFailures) {
  struct Case {
    const wchar_t* path;
    DWORD flags;
    DWORD error;
  } cases[] = {
      {L"D:\\gone", kBackup, ERROR_FILE_NOT_FOUND},
      {L"D:\\missing\\x", kBackup, ERROR_PATH_NOT_FOUND},
      {L"D:\\data", 0, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CreateFileW(c.path, 0, 7, nullptr, OPEN_EXISTING, c.flags, nullptr),
              INVALID_HANDLE_VALUE)
        << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  EXPECT_EQ(openHandles(), 0);
}

TEST_F(FakeFs, FinalPathBufferAndHandleChecks) {
  HANDLE writer = openWriter(L"D:\\gone");
  HANDLE query = openQuery(L"D:\\data");
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_NE(writer, query);
  EXPECT_NE(writer, nullptr);
  EXPECT_EQ(openHandles(), 2);
  EXPECT_EQ(finalPath(writer), "\\\\?\\D:\\gone");  // the junction itself

  char buffer[12];
  EXPECT_EQ(GetFinalPathNameByHandleA(writer, buffer, 11, 0), 12u);  // 11 chars + terminator
  EXPECT_EQ(GetFinalPathNameByHandleA(writer, buffer, 12, 0), 11u);

  CloseHandle(writer);
  CloseHandle(query);
  EXPECT_EQ(GetFinalPathNameByHandleA(writer, buffer, 12, 0), 0u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(writer));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(FakeFs, SettingAMountPointMakesAJunction) {
  addDir(L"D:\\out");
  std::vector<unsigned char> data = mountPoint(L"D:\\data");
  HANDLE writer = openWriter(L"D:\\out");
  DWORD returned = 99;
  ASSERT_TRUE(DeviceIoControl(writer, FSCTL_SET_REPARSE_POINT, data.data(), data.size(), nullptr, 0,
                              &returned, nullptr));
  CloseHandle(writer);
  EXPECT_EQ(kindOf(L"D:\\out"), Kind::Junction);
  EXPECT_EQ(linkTarget(L"D:\\out"), L"D:\\data");
  EXPECT_EQ(reparseData(L"D:\\out"), data);
  EXPECT_EQ(GetFileAttributesW(L"D:\\out\\a.txt"), 0x20u);
}

TEST_F(FakeFs, MountPointRefusals) {
  addDir(L"D:\\out");
  addDir(L"R:\\out");
  const size_t sizeOffset = offsetof(REPARSE_DATA_BUFFER, ReparseDataLength);
  const size_t substituteOffset =
      offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.SubstituteNameOffset);
  struct Case {
    const char* what;
    const wchar_t* dir;
    bool writer;
    std::function<void(std::vector<unsigned char>&)> spoil;
    DWORD error;
  } cases[] = {
      {"query handle", L"D:\\out", false, [](auto&) {}, ERROR_ACCESS_DENIED},
      {"on a file", L"D:\\data\\a.txt", true, [](auto&) {}, ERROR_ACCESS_DENIED},
      {"volume refuses", L"R:\\out", true, [](auto&) {}, ERROR_INVALID_FUNCTION},
      {"not empty", L"D:\\data", true, [](auto&) {}, ERROR_DIR_NOT_EMPTY},
      {"symlink tag", L"D:\\out", true,
       [](auto& d) {
         ULONG tag = IO_REPARSE_TAG_SYMLINK;
         memcpy(d.data(), &tag, sizeof tag);
       },
       ERROR_INVALID_REPARSE_DATA},
      {"length off by one", L"D:\\out", true, [&](auto& d) { d[sizeOffset] += 1; },
       ERROR_INVALID_REPARSE_DATA},
      {"name outside", L"D:\\out", true, [&](auto& d) { d[substituteOffset] = 0xF0; },
       ERROR_INVALID_REPARSE_DATA},
      {"truncated", L"D:\\out", true, [](auto& d) { d.resize(12); }, ERROR_INVALID_REPARSE_DATA},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> data = mountPoint(L"D:\\data");
    c.spoil(data);
    HANDLE handle = c.writer ? openWriter(c.dir) : openQuery(c.dir);
    EXPECT_FALSE(DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(), data.size(), nullptr,
                                 0, nullptr, nullptr))
        << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    EXPECT_NE(kindOf(c.dir), Kind::Junction) << c.what;
    CloseHandle(handle);
  }

  // The substitute name must be an NT path.
  std::vector<unsigned char> plain = mountPoint(L"D:\\data");
  size_t pathOffset = offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
  memcpy(plain.data() + pathOffset, L"X", sizeof(WCHAR));
  HANDLE writer = openWriter(L"D:\\out");
  EXPECT_FALSE(DeviceIoControl(writer, FSCTL_SET_REPARSE_POINT, plain.data(), plain.size(), nullptr,
                               0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_REPARSE_DATA));
  // A plain directory has no reparse data to read back.
  std::vector<unsigned char> out(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  EXPECT_FALSE(DeviceIoControl(writer, FSCTL_GET_REPARSE_POINT, nullptr, 0, out.data(),
                               (DWORD)out.size(), nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_A_REPARSE_POINT));
  EXPECT_FALSE(DeviceIoControl(writer, 0x900AC, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  CloseHandle(writer);
}

TEST_F(FakeFs, EveryCallIsLoggedWithThePathAsPassed) {
  std::vector<unsigned char> data = mountPoint(L"D:\\data");
  wchar_t wide[8];
  MultiByteToWideChar(CP_ACP, 0, "d:/x", -1, wide, 8);
  GetFileAttributesW(L"d:/DATA/.");
  HANDLE handle = openWriter(L"D:\\link");
  DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(), 76, nullptr, 0, nullptr, nullptr);
  GetFinalPathNameByHandleA(handle, nullptr, 0, 0);
  CloseHandle(handle);
  GetLastError();
  EXPECT_EQ(log(), (std::vector<std::wstring>{
                       L"MultiByteToWideChar d:/x", L"GetFileAttributesW d:/DATA/.",
                       L"CreateFileW D:\\link", L"DeviceIoControl 76", L"GetFinalPathNameByHandleA",
                       L"CloseHandle", L"GetLastError"}));
}

TEST_F(FakeFs, InjectedFaultsFailWithoutEffect) {
  failCall(Op::CreateDirectoryW, 2, ERROR_DISK_FULL);
  failCall(Op::GetFileAttributesW, 0, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CreateDirectoryW(L"D:\\one", nullptr));
  EXPECT_FALSE(CreateDirectoryW(L"D:\\two", nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
  EXPECT_EQ(kindOf(L"D:\\two"), Kind::None);
  EXPECT_TRUE(CreateDirectoryW(L"D:\\three", nullptr));
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(GetFileAttributesW(L"D:\\one"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  }

  reset();
  EXPECT_EQ(GetFileAttributesW(L"D:\\"), 0x10u);  // reset disarms
}

TEST_F(FakeFs, ActionRunsJustBeforeTheNthCall) {
  beforeCall(Op::GetFileAttributesW, 2, [] { DeleteFileW(L"D:\\data\\a.txt"); });
  EXPECT_EQ(GetFileAttributesW(L"D:\\data\\a.txt"), 0x20u);
  EXPECT_EQ(GetFileAttributesW(L"D:\\data\\a.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(log()[1], L"DeleteFileW D:\\data\\a.txt");
}

TEST_F(FakeFs, SuccessLeavesTheLastErrorAlone) {
  EXPECT_FALSE(RemoveDirectoryW(L"D:\\data"));
  EXPECT_TRUE(CreateDirectoryW(L"D:\\new", nullptr));
  EXPECT_NE(GetFileAttributesW(L"D:\\new"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DIR_NOT_EMPTY));
}

// Every call normalises as GetFullPathNameW does; a "\\?\" path reaches
// the names as they are.
TEST_F(FakeFs, EveryCallNormalisesButRawPathsKeepTheirNames) {
  EXPECT_TRUE(CreateDirectoryW(L"D:\\data\\new. . ", nullptr));
  EXPECT_EQ(kindOf(L"\\\\?\\D:\\data\\new"), Kind::Dir);
  EXPECT_EQ(GetFileAttributesW(L"D:\\data.\\a.txt "), 0x20u);
  EXPECT_EQ(GetFileAttributesW(L"D:\\data \\a.txt"), INVALID_FILE_ATTRIBUTES);

  EXPECT_TRUE(CreateDirectoryW(L"\\\\?\\D:\\data\\x.", nullptr));
  EXPECT_EQ(kindOf(L"\\\\?\\D:\\data\\x."), Kind::Dir);
  EXPECT_EQ(kindOf(L"D:\\data\\x."), Kind::None);  // that is D:\data\x
  struct Case {
    const wchar_t* path;
    DWORD error;
  } cases[] = {
      {L"\\\\?\\D:\\data\\..\\data", ERROR_INVALID_NAME},
      {L"\\\\?\\D:\\data\\.\\a.txt", ERROR_INVALID_NAME},
      {L"\\\\?\\D:\\data\\\\a.txt", ERROR_INVALID_NAME},
      {L"\\\\?\\D:/data", ERROR_PATH_NOT_FOUND},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetFileAttributesW(c.path), INVALID_FILE_ATTRIBUTES) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"\\\\?\\D:\\data\\x.\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, L".");
  FindClose(find);
}

TEST_F(FakeFs, CreateDirectoryTakesAtMost248Characters) {
  std::wstring path = L"D:\\data\\" + std::wstring(240, L'n');  // 248
  EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
  std::wstring longer = L"D:\\data\\" + std::wstring(241, L'm');
  EXPECT_FALSE(CreateDirectoryW(longer.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
  // The length counts after normalisation; the long form has no such limit.
  EXPECT_TRUE(CreateDirectoryW((L"D:\\data\\x\\..\\" + std::wstring(238, L'o')).c_str(), nullptr));
  EXPECT_TRUE(CreateDirectoryW((L"\\\\?\\" + longer).c_str(), nullptr));
}

TEST_F(FakeFs, ReadOnlyDirectoryCannotBeRemoved) {
  addDir(L"D:\\ro", true);
  addFile(L"D:\\ro\\f");
  EXPECT_EQ(GetFileAttributesW(L"D:\\ro"), 0x11u);
  EXPECT_TRUE(DeleteFileW(L"D:\\ro\\f"));
  EXPECT_FALSE(RemoveDirectoryW(L"D:\\ro"));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(FakeFs, NamesIgnoreCaseBeyondAscii) {
  addDir(L"D:\\\u00e9t\u00e9");
  addFile(L"D:\\\u00e9t\u00e9\\\u0434\u0430\u0301");
  EXPECT_EQ(GetFileAttributesW(L"D:\\\u00c9T\u00c9\\\u0414\u0410\u0301"), 0x20u);
  EXPECT_FALSE(CreateDirectoryW(L"D:\\\u00c9t\u00c9", nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(list(L"D:\\"),
            (std::vector<std::wstring>{L"data", L"gone", L"link", L"\u00e9t\u00e9"}));
}

// "Creating and Opening Files": an open fails with 32 when an earlier handle
// does not share what it asks for, or it asks for what that handle has;
// attribute access alone takes no part. Deletion and renaming ask for delete.
TEST_F(FakeFs, OtherProcessHoldsSharingAsWindowsDoes) {
  const DWORD kHold = FILE_LIST_DIRECTORY;
  struct Case {
    Hold how;
    DWORD deleteError;     // DeleteFileW of a file, RemoveDirectoryW of a directory
    DWORD writeOpenError;  // GENERIC_WRITE, sharing 0
    DWORD holdError;       // FILE_LIST_DIRECTORY, sharing read
  } cases[] = {
      {Hold::WithoutDeleteSharing, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, 0},
      {Hold::CurrentDirectory, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, 0},
      {Hold::WithDeleteSharing, 0, ERROR_SHARING_VIOLATION, 0},
  };
  for (const Case& c : cases) {
    SetUp();
    int id = 0;
    ASSERT_EQ(otherProcessHold(L"D:\\data\\Sub", c.how, &id), 0u);
    HANDLE query = openQuery(L"D:\\data\\Sub");
    EXPECT_NE(query, INVALID_HANDLE_VALUE);
    CloseHandle(query);
    EXPECT_EQ(openWriter(L"D:\\data\\Sub"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.writeOpenError);
    HANDLE held = CreateFileW(L"D:\\data\\Sub", kHold, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              kBackup, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    CloseHandle(held);
    EXPECT_EQ(RemoveDirectoryW(L"D:\\data\\Sub"), c.deleteError == 0);
    if (c.deleteError) {
      EXPECT_EQ(GetLastError(), c.deleteError);
    }
    EXPECT_EQ(otherProcessRename(L"D:\\data\\Sub", L"D:\\moved"),
              c.deleteError ? c.deleteError : DWORD(ERROR_ACCESS_DENIED));
    otherProcessClose(id);
    EXPECT_EQ(kindOf(L"D:\\data\\Sub"), c.deleteError ? Kind::Dir : Kind::None);
    EXPECT_EQ(openHandles(), 0);
  }
}

// A name deleted while a handle is open stays, listed but not openable,
// until the last handle closes: its directory is not empty meanwhile.
TEST_F(FakeFs, DeletionWhileOpenStaysPendingUntilTheLastClose) {
  int id = 0;
  ASSERT_EQ(otherProcessHold(L"D:\\data\\Sub", Hold::WithDeleteSharing, &id), 0u);
  addFile(L"D:\\data\\Sub\\f");
  int fileId = 0;
  ASSERT_EQ(otherProcessHold(L"D:\\data\\Sub\\f", Hold::WithDeleteSharing, &fileId), 0u);
  EXPECT_TRUE(DeleteFileW(L"D:\\data\\Sub\\f"));
  EXPECT_EQ(list(L"D:\\data\\Sub"), std::vector<std::wstring>{L"f"});
  struct Case {
    std::function<bool()> call;
    DWORD error;
  } cases[] = {
      {[] { return GetFileAttributesW(L"D:\\data\\Sub\\f") != INVALID_FILE_ATTRIBUTES; },
       ERROR_ACCESS_DENIED},
      {[] { return DeleteFileW(L"D:\\data\\Sub\\f") != 0; }, ERROR_ACCESS_DENIED},
      {[] { return openQuery(L"D:\\data\\Sub\\f") != INVALID_HANDLE_VALUE; }, ERROR_ACCESS_DENIED},
      {[] { return RemoveDirectoryW(L"D:\\data\\Sub") != 0; }, ERROR_DIR_NOT_EMPTY},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), c.error);
  }
  otherProcessClose(fileId);
  EXPECT_EQ(list(L"D:\\data\\Sub"), std::vector<std::wstring>{});
  EXPECT_TRUE(RemoveDirectoryW(L"D:\\data\\Sub"));
  EXPECT_EQ(list(L"D:\\data"), (std::vector<std::wstring>{L"a.txt", L"flink", L"ro.txt", L"Sub"}));
  otherProcessClose(id);
  EXPECT_EQ(kindOf(L"D:\\data\\Sub"), Kind::None);
}

TEST_F(FakeFs, HandleFollowsItsObjectThroughARename) {
  HANDLE query = openQuery(L"D:\\data\\Sub");
  BY_HANDLE_FILE_INFORMATION before, after;
  ASSERT_TRUE(GetFileInformationByHandle(query, &before));
  EXPECT_EQ(otherProcessRename(L"D:\\data\\Sub", L"D:\\Moved"), 0u);
  EXPECT_EQ(otherProcessReplaceWithJunction(L"D:\\data\\Sub", L"D:\\data"), 0u);
  EXPECT_EQ(finalPath(query), "\\\\?\\D:\\Moved");
  ASSERT_TRUE(GetFileInformationByHandle(query, &after));
  EXPECT_EQ(after.dwFileAttributes, 0x10u);
  EXPECT_EQ(after.nFileIndexLow, before.nFileIndexLow);
  EXPECT_EQ(after.nFileIndexHigh, before.nFileIndexHigh);
  HANDLE link = CreateFileW(L"D:\\data\\Sub", 0, 7, nullptr, OPEN_EXISTING, kWriterFlags, nullptr);
  ASSERT_TRUE(GetFileInformationByHandle(link, &after));
  EXPECT_EQ(after.dwFileAttributes, 0x410u);
  EXPECT_NE(after.nFileIndexLow, before.nFileIndexLow);
  CloseHandle(link);
  CloseHandle(query);
}

TEST_F(FakeFs, OtherProcessRefusals) {
  addDir(L"D:\\full");
  addFile(L"D:\\full\\f");
  struct Case {
    std::function<DWORD()> call;
    DWORD error;
  } cases[] = {
      {[] { return otherProcessRename(L"D:\\data", L"D:\\link"); }, ERROR_ALREADY_EXISTS},
      {[] { return otherProcessRename(L"D:\\data", L"D:\\data\\Sub\\in"); },
       ERROR_SHARING_VIOLATION},
      {[] { return otherProcessRename(L"D:\\data", L"C:\\data"); }, 17},
      {[] { return otherProcessRename(L"D:\\missing", L"D:\\x"); }, ERROR_FILE_NOT_FOUND},
      {[] { return otherProcessRemove(L"D:\\full"); }, ERROR_DIR_NOT_EMPTY},
      {[] { return otherProcessRemove(L"D:\\data\\ro.txt"); }, ERROR_ACCESS_DENIED},
      {[] { return otherProcessReplaceWithJunction(L"D:\\full", L"D:\\data"); },
       ERROR_DIR_NOT_EMPTY},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.error);
  EXPECT_EQ(otherProcessReplaceWithJunction(L"D:\\full\\f", L"D:\\data"), 0u);
  EXPECT_EQ(GetFileAttributesW(L"D:\\full\\f\\a.txt"), 0x20u);
}

TEST_F(FakeFs, MappedDriveIsAShareThatNoJunctionReaches) {
  mapDrive(L"Z:", L"\\\\server\\share");
  HANDLE query = openQuery(L"Z:\\dir");
  EXPECT_EQ(finalPath(query), "\\\\?\\UNC\\server\\share\\Dir");
  CloseHandle(query);
  addJunction(L"D:\\remote", L"Z:\\dir");
  addJunction(L"D:\\unc", L"\\\\server\\share\\dir");
  for (const wchar_t* path : {L"D:\\remote", L"D:\\unc\\x"}) {
    EXPECT_EQ(GetFileAttributesW((std::wstring(path) + L"\\x").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_REPARSE_DATA)) << path;
  }
  EXPECT_EQ(openQuery(L"D:\\remote"), INVALID_HANDLE_VALUE);
}

TEST_F(FakeFs, VolumeMountedInAFolder) {
  addFile(L"M:\\content");
  mountVolume(L"D:\\mnt", L"M:");
  std::wstring volume = volumeGuidPath(L"M:");
  EXPECT_EQ(volume.compare(0, 11, L"\\\\?\\Volume{"), 0);
  EXPECT_EQ(GetFileAttributesW(L"D:\\mnt"), 0x410u);
  EXPECT_EQ(GetFileAttributesW((volume + L"content").c_str()), 0x20u);
  HANDLE query = openQuery(L"D:\\mnt\\content");
  EXPECT_EQ(finalPath(query), "\\\\?\\M:\\content");
  CloseHandle(query);

  HANDLE mount = CreateFileW(L"D:\\mnt", 0, 7, nullptr, OPEN_EXISTING, kWriterFlags, nullptr);
  std::vector<unsigned char> out(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(mount, FSCTL_GET_REPARSE_POINT, nullptr, 0, out.data(),
                              (DWORD)out.size(), &returned, nullptr));
  CloseHandle(mount);
  const REPARSE_DATA_BUFFER* data = reinterpret_cast<const REPARSE_DATA_BUFFER*>(out.data());
  EXPECT_EQ(data->ReparseTag, IO_REPARSE_TAG_MOUNT_POINT);
  const auto& names = data->MountPointReparseBuffer;
  std::wstring substitute(names.PathBuffer + names.SubstituteNameOffset / sizeof(WCHAR),
                          names.SubstituteNameLength / sizeof(WCHAR));
  EXPECT_EQ(substitute, L"\\??\\" + volume.substr(4));
  EXPECT_EQ(names.PrintNameLength, 0u);

  EXPECT_TRUE(RemoveDirectoryW(L"D:\\mnt"));
  EXPECT_EQ(kindOf(L"M:\\content"), Kind::File);
}

}  // namespace
