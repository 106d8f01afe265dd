// The fake's Windows behaviour, which the program's unit tests take as true.
#include "platform/winapi-fake.h"

#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

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

// Reparse data for a junction to `target`, as the program builds it.
std::vector<unsigned char> mountPoint(const std::wstring& target) {
  std::wstring names = L"\\??\\" + target + L'\0' + target + L'\0';
  size_t pathOffset = offsetof(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
  std::vector<unsigned char> buffer(pathOffset + names.size() * sizeof(WCHAR));
  REPARSE_DATA_BUFFER* data = reinterpret_cast<REPARSE_DATA_BUFFER*>(buffer.data());
  data->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  data->ReparseDataLength = static_cast<USHORT>(buffer.size() - 8);
  auto& mount = data->MountPointReparseBuffer;
  mount.SubstituteNameOffset = 0;
  mount.SubstituteNameLength = static_cast<USHORT>((target.size() + 4) * sizeof(WCHAR));
  mount.PrintNameOffset = mount.SubstituteNameLength + sizeof(WCHAR);
  mount.PrintNameLength = static_cast<USHORT>(target.size() * sizeof(WCHAR));
  memcpy(buffer.data() + pathOffset, names.data(), names.size() * sizeof(WCHAR));
  return buffer;
}

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

}  // namespace
