#include "tidyup.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/winapi-fake.h"
#include "test.h"

using fakefs::Kind;
using fakefs::Op;

namespace {

const std::string kSee =
    ". See https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n";

class TidyupTest : public testing::Test {
 protected:
  void SetUp() override {
    fakefs::reset();
    fakefs::addDir(L"D:\\data");
    fakefs::addFile(L"D:\\data\\file.txt");
    fakefs::addDir(L"D:\\target");
    fakefs::addFile(L"D:\\target\\canary.txt");
    errPath[0] = 0;
  }
  // A tree with every kind of entry; the links lead to the canary.
  static void addTree(const std::wstring& root) {
    fakefs::addDir(root);
    fakefs::addFile(root + L"\\a.txt");
    fakefs::addFile(root + L"\\b.txt");
    fakefs::addDir(root + L"\\sub");
    fakefs::addDir(root + L"\\sub\\deeper");
    fakefs::addFile(root + L"\\sub\\deeper\\c.txt");
    fakefs::addJunction(root + L"\\sub\\junction", L"D:\\target");
    fakefs::addJunction(root + L"\\dangling", L"D:\\gone");
    fakefs::addFileLink(root + L"\\filelink", L"D:\\target\\canary.txt");
  }
  static void expectCanaryUntouched() {
    EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\target\\canary.txt"));
    EXPECT_EQ(0, fakefs::openFinds());
  }
  std::wstring err() const { return errPath; }
  wchar_t errPath[260];
};

typedef TidyupTest CreateDirTest;

TEST_F(CreateDirTest, ExistingDirectoriesNeedNothing) {
  fakefs::addJunction(L"D:\\dangling", L"D:\\gone");
  for (const wchar_t* path : {L"D:\\data", L"d:/DATA/", L"D:\\dangling"}) {
    EXPECT_EQ(0, createDir(path, 0, errPath, 260)) << path;
    EXPECT_EQ(L"", err());
  }
}

TEST_F(CreateDirTest, FileInTheWayIsReplacedOnlyWithForce) {
  EXPECT_EQ(ERROR_FILE_EXISTS, createDir(L"D:\\data\\file.txt", 0, errPath, 260));
  EXPECT_EQ(L"D:\\data\\file.txt", err());
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\data\\file.txt"));

  fakefs::addFile(L"D:\\data\\ro.txt", true);
  EXPECT_EQ(ERROR_ACCESS_DENIED, createDir(L"D:\\data\\ro.txt", 1, errPath, 260));
  EXPECT_EQ(L"D:\\data\\ro.txt", err());

  EXPECT_EQ(0, createDir(L"D:\\data\\file.txt", 1, errPath, 260));
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\data\\file.txt"));
}

TEST_F(CreateDirTest, CreatesEveryMissingLevel) {
  struct Case {
    std::wstring path;
    std::vector<std::wstring> created;
  } cases[] = {
      {L"D:\\data\\new\\bin", {L"D:\\data\\new", L"D:\\data\\new\\bin"}},
      {L"D:\\data\\new\\", {L"D:\\data\\new\\"}},
      {L"D:/data/new", {L"D:/data/new"}},
      {L"D:\\data\\\\new", {L"D:\\data\\\\new"}},
      {L"D:\\new", {L"D:\\new"}},
      {L"\\\\server\\share\\new", {L"\\\\server\\share\\new"}},
      {L".\\out", {L".\\out"}},
      {L"\\new\\sub", {L"\\new", L"\\new\\sub"}},
      // A relative name stands in the current directory, which exists.
      {L"out", {L"out"}},
      {L"out\\sub", {L"out", L"out\\sub"}},
  };
  for (const Case& c : cases) {
    SetUp();
    fakefs::setCurrentDirectory(L"D:\\data");
    EXPECT_EQ(0, createDir(c.path.c_str(), 0, errPath, 260)) << c.path;
    std::vector<std::wstring> created;
    for (const std::wstring& entry : fakefs::log()) {
      if (entry.compare(0, 17, L"CreateDirectoryW ") == 0) created.push_back(entry.substr(17));
    }
    EXPECT_EQ(c.created, created);
    EXPECT_EQ(Kind::Dir, fakefs::kindOf(c.path));
    EXPECT_EQ(L"", err());
  }
}

TEST_F(CreateDirTest, RefusesPathsWithoutAnExistingAncestor) {
  struct Case {
    std::wstring path;
    int32_t status;
  } cases[] = {
      {L"Q:\\new", ERROR_INVALID_DRIVE},
      {L"Q:", ERROR_INVALID_DRIVE},
      {L"D:new", ERROR_INVALID_DRIVE},
      {L"", ERROR_INVALID_DRIVE},
      {L"D:\\" + std::wstring(260, L'x'), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const Case& c : cases) {
    errPath[0] = 0;
    EXPECT_EQ(c.status, createDir(c.path.c_str(), 0, errPath, 260)) << c.path;
    EXPECT_EQ(c.path.substr(0, 259), err());
  }
  EXPECT_EQ(0, [] {
    int n = 0;
    for (const std::wstring& entry : fakefs::log())
      n += entry.compare(0, 16, L"CreateDirectoryW") == 0;
    return n;
  }());
}

TEST_F(CreateDirTest, FiftyMissingLevelsAtMost) {
  std::wstring path = L"D:\\data";
  for (int i = 0; i < 50; i++) path += L"\\d";
  EXPECT_EQ(0, createDir(path.c_str(), 0, errPath, 260));
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(path));

  std::wstring deeper = L"D:\\data\\x";
  for (int i = 0; i < 50; i++) deeper += L"\\d";
  EXPECT_EQ(ERROR_DS_NAME_TOO_MANY_PARTS, createDir(deeper.c_str(), 0, errPath, 260));
  EXPECT_EQ(deeper, err());
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\data\\x"));
}

TEST_F(CreateDirTest, FailedLevelIsReportedAndEarlierLevelsStay) {
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, createDir(L"D:\\data\\file.txt\\sub", 0, errPath, 260));
  EXPECT_EQ(L"D:\\data\\file.txt\\sub", err());

  fakefs::failCall(Op::CreateDirectoryW, 3, ERROR_DISK_FULL);
  EXPECT_EQ(ERROR_DISK_FULL, createDir(L"D:\\data\\a\\b\\c", 0, errPath, 260));
  EXPECT_EQ(L"D:\\data\\a\\b", err());
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\data\\a"));
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\data\\a\\b"));
}

TEST_F(CreateDirTest, NullErrorBufferIsAllowed) {
  EXPECT_EQ(ERROR_INVALID_DRIVE, createDir(L"Q:\\new", 0, nullptr, 0));
}

typedef TidyupTest TreeTest;

TEST_F(TreeTest, CleansEveryKindOfEntryWithoutFollowingLinks) {
  addTree(L"D:\\out");
  EXPECT_EQ(0, cleanDirContent(L"D:\\out", 0, errPath, 260));
  EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\out"));
  EXPECT_EQ(L"", err());
  expectCanaryUntouched();
}

TEST_F(TreeTest, KeepDirsDeletesOnlyFilesAndFileLinks) {
  addTree(L"D:\\out");
  EXPECT_EQ(0, cleanDirContent(L"D:\\out", 1, errPath, 260));
  EXPECT_EQ((std::vector<std::wstring>{L"dangling", L"sub"}), fakefs::list(L"D:\\out"));
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\out\\sub\\deeper\\c.txt"));
  EXPECT_EQ(0, removeDirTree(L"D:\\out", 1, errPath, 260));
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\out\\sub"));
  expectCanaryUntouched();
}

TEST_F(TreeTest, JunctionGivenToCleanHasItsTargetCleaned) {
  addTree(L"D:\\real");
  fakefs::addJunction(L"D:\\out", L"D:\\real");
  EXPECT_EQ(0, cleanDirContent(L"D:\\out", 0, errPath, 260));
  EXPECT_EQ(Kind::Junction, fakefs::kindOf(L"D:\\out"));
  EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\real"));
  expectCanaryUntouched();
}

TEST_F(TreeTest, RemovesTreesAndLinksThemselves) {
  addTree(L"D:\\out");
  fakefs::addJunction(L"D:\\junction", L"D:\\target");
  fakefs::addFileLink(L"D:\\filelink", L"D:\\target\\canary.txt");
  EXPECT_EQ(0, removeDirTree(L"D:\\junction", 1, errPath, 260));
  EXPECT_EQ(Kind::Junction, fakefs::kindOf(L"D:\\junction"));
  for (const wchar_t* path : {L"D:\\out", L"D:\\junction", L"D:\\filelink"}) {
    EXPECT_EQ(0, removeDirTree(path, 0, errPath, 260)) << path;
    EXPECT_EQ(Kind::None, fakefs::kindOf(path));
  }
  expectCanaryUntouched();
}

TEST_F(TreeTest, RefusesWhatIsNotADirectory) {
  struct Case {
    int32_t (*operation)(const wchar_t*, int, wchar_t*, int);
    std::wstring path;
    int32_t status;
    std::wstring err;
  } cases[] = {
      {cleanDirContent, L"D:\\data\\file.txt", ERROR_DIRECTORY, L"D:\\data\\file.txt"},
      {removeDirTree, L"D:\\data\\file.txt", ERROR_DIRECTORY, L"D:\\data\\file.txt"},
      {cleanDirContent, L"D:\\missing", ERROR_FILE_NOT_FOUND, L"D:\\missing\\*"},
      {cleanDirContent, L"D:\\missing\\", ERROR_FILE_NOT_FOUND, L"D:\\missing\\*"},
      {cleanDirContent, L"D:/missing/", ERROR_FILE_NOT_FOUND, L"D:/missing/*"},
      {removeDirTree, L"D:\\missing", ERROR_FILE_NOT_FOUND, L"D:\\missing"},
      // An empty path would name the root of the current drive.
      {cleanDirContent, L"", ERROR_INVALID_NAME, L""},
      {removeDirTree, L"", ERROR_INVALID_NAME, L""},
  };
  for (const Case& c : cases) {
    wcscpy(errPath, L"untouched");
    EXPECT_EQ(c.status, c.operation(c.path.c_str(), 0, errPath, 260)) << c.path;
    EXPECT_EQ(c.err, err());
  }
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\data\\file.txt"));
  EXPECT_EQ(std::vector<std::wstring>{L"file.txt"}, fakefs::list(L"D:\\data"));
}

TEST_F(TreeTest, LongPathsAreRefusedBeforeEnumerating) {
  // The fake accepts any length, so the bound is ours alone.
  std::wstring withSeparator = L"D:\\" + std::wstring(254, L'x') + L"\\";
  std::wstring without = L"D:\\" + std::wstring(254, L'x');
  fakefs::addDir(without);
  EXPECT_EQ(0, cleanDirContent(withSeparator.c_str(), 0, errPath, 260));
  EXPECT_EQ(0, cleanDirContent(without.c_str(), 0, errPath, 260));
  std::wstring longer = without + L"y";
  fakefs::addDir(longer);
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, cleanDirContent((longer + L"\\").c_str(), 0, errPath, 260));
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE,
            cleanDirContent((without + L"yy").c_str(), 0, errPath, 260));
  EXPECT_EQ(without + L"yy", err());

  fakefs::addFile(without + L"\\ab");
  fakefs::addFile(without + L"\\a");
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, cleanDirContent(without.c_str(), 0, errPath, 260));
  EXPECT_EQ(L"ab", err());
  EXPECT_EQ(std::vector<std::wstring>{L"ab"}, fakefs::list(without));
  EXPECT_EQ(0, fakefs::openFinds());
}

TEST_F(TreeTest, FailureStopsAtTheEntryAndClosesTheEnumeration) {
  addTree(L"D:\\out");
  fakefs::addFile(L"D:\\out\\sub\\ro.txt", true);
  fakefs::addFile(L"D:\\out\\z.txt");
  EXPECT_EQ(ERROR_ACCESS_DENIED, removeDirTree(L"D:\\out", 0, errPath, 260));
  EXPECT_EQ(L"D:\\out\\sub\\ro.txt", err());
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\out\\a.txt"));
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\out\\sub"));
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\out\\z.txt"));
  expectCanaryUntouched();
}

TEST_F(TreeTest, PlatformFailuresCarryTheirCodeAndPath) {
  struct Case {
    Op op;
    int nth;
    DWORD code;
    int32_t status;
    std::wstring err;
  } cases[] = {
      {Op::FindFirstFileW, 1, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, L"D:\\out\\*"},
      {Op::FindNextFileW, 1, 59, 59, L"D:\\out"},
      // Reads: the directory, then a.txt.
      {Op::GetFileAttributesW, 2, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION,
       L"D:\\out\\a.txt"},
      {Op::DeleteFileW, 1, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, L"D:\\out\\a.txt"},
      // "Not found" while the entry still stands is no deletion.
      {Op::DeleteFileW, 1, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, L"D:\\out\\a.txt"},
      {Op::RemoveDirectoryW, 1, ERROR_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND, L"D:\\out\\dangling"},
      {Op::RemoveDirectoryW, 1, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, L"D:\\out\\dangling"},
  };
  for (const Case& c : cases) {
    SetUp();
    addTree(L"D:\\out");
    fakefs::failCall(c.op, c.nth, c.code);
    EXPECT_EQ(c.status, cleanDirContent(L"D:\\out", 0, errPath, 260)) << (int)c.op;
    EXPECT_EQ(c.err, err());
    expectCanaryUntouched();
  }
}

// Another run emptying the same tree takes entries away under this one;
// what was asked for still holds, so that is no failure.
TEST_F(TreeTest, EntryThatVanishesCountsAsDeleted) {
  struct Case {
    Op op;
    int nth;
    std::wstring gone;
  } cases[] = {
      // Reads: the directory, then a.txt.
      {Op::GetFileAttributesW, 2, L"D:\\out\\a.txt"},
      {Op::DeleteFileW, 1, L"D:\\out\\a.txt"},
      {Op::RemoveDirectoryW, 1, L"D:\\out\\dangling"},
      // The hold of the first sub-directory, and its removal once emptied.
      {Op::CreateFileW, 2, L"D:\\out\\sub"},
      {Op::RemoveDirectoryW, 4, L"D:\\out\\sub"},
  };
  for (const Case& c : cases) {
    SetUp();
    addTree(L"D:\\out");
    std::wstring gone = c.gone;
    fakefs::beforeCall(c.op, c.nth, [gone] {
      if (fakefs::kindOf(gone) == Kind::File) DeleteFileW(gone.c_str());
      removeDirTree(gone.c_str(), 0, nullptr, 0);
    });
    wcscpy(errPath, L"untouched");
    EXPECT_EQ(0, cleanDirContent(L"D:\\out", 0, errPath, 260)) << c.gone;
    EXPECT_EQ(L"untouched", err()) << c.gone;
    EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\out")) << c.gone;
    EXPECT_EQ(0, fakefs::openFinds());
    EXPECT_EQ(0, fakefs::openHandles());
    expectCanaryUntouched();
  }
}

// A directory that turns into a junction between the listing and its own
// emptying is removed as the link it has become; its target is never entered.
TEST_F(TreeTest, DirectorySwappedForALinkIsRemovedAsALink) {
  for (bool junction : {true, false}) {
    SetUp();
    addTree(L"D:\\out");
    // Holds: D:\out, then D:\out\sub.
    fakefs::beforeCall(Op::CreateFileW, 2, [junction] {
      removeDirTree(L"D:\\out\\sub", 0, nullptr, 0);
      if (junction) {
        fakefs::addJunction(L"D:\\out\\sub", L"D:\\target");
      } else {
        fakefs::addFileLink(L"D:\\out\\sub", L"D:\\target\\canary.txt");
      }
    });
    EXPECT_EQ(0, cleanDirContent(L"D:\\out", 0, errPath, 260)) << junction;
    EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\out")) << junction;
    EXPECT_EQ(0, fakefs::openHandles());
    expectCanaryUntouched();
  }
}

TEST_F(TreeTest, CreateCleanDirProvidesAnEmptyDirectory) {
  addTree(L"D:\\out");
  EXPECT_EQ(0, createCleanDir(L"D:\\out", 1, 0, errPath, 260));
  EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\out"));
  EXPECT_EQ(0, createCleanDir(L"D:\\data\\file.txt", 1, 0, errPath, 260));
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\data\\file.txt"));
  EXPECT_EQ(0, createCleanDir(L"D:\\new\\out", 1, 0, errPath, 260));
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\new\\out"));
  expectCanaryUntouched();
}

class TidyupCmdTest : public TidyupTest {
 protected:
  CommandResult run(const std::vector<std::string>& args) {
    return runCommand(createCleanDirCmd, args);
  }
};

TEST_F(TidyupCmdTest, UsageWithoutAPath) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {""}, {"", "-x"}}) {
    CommandResult result = run(args);
    EXPECT_EQ(0, result.code);
    EXPECT_EQ(0u, result.out.find("\ntidyup <dir-path> [-D]\n Version: 2026-11-12\n"));
    EXPECT_NE(std::string::npos,
              result.out.find(" returns 0 success, 1 if an error occurs, 2 for argument error .\n"
                              " On error a proper english error message is written to stderr.\n"));
    EXPECT_EQ("", result.err);
  }
}

TEST_F(TidyupCmdTest, RefusesFaultyArgumentsBeforeTouchingAnything) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{" D:\\out"}, "ERROR argument 1 is empty >> D:\\out<<\n"},
      {{"D:\\out", "-d"}, "ERROR invalide argument -d\n"},
      {{"D:\\out", "-DD"}, "ERROR invalide argument -DD\n"},
      {{"D:\\out", "-D "}, "ERROR invalide argument -D \n"},
      {{"D:\\out", "x"}, "ERROR invalide argument x\n"},
      {{"D:\\" + std::string(260, 'x')}, "ERROR invalid link path length\n"},
  };
  for (const Case& c : cases) {
    CommandResult result = run(c.args);
    EXPECT_EQ(2, result.code) << c.err;
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\out"));
}

TEST_F(TidyupCmdTest, CleansAsOptionsSay) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::wstring> left;
  } cases[] = {
      {{"D:\\out"}, {}},
      {{"D:/out/", "---note", "-D"}, {}},
      {{"D:\\out", "", "x"}, {}},
      {{"D:\\out", "-D"}, {L"dangling", L"sub"}},
  };
  for (const Case& c : cases) {
    SetUp();
    addTree(L"D:\\out");
    CommandResult result = run(c.args);
    EXPECT_EQ(0, result.code) << result.err;
    EXPECT_EQ("", result.out + result.err);
    EXPECT_EQ(c.left, fakefs::list(L"D:\\out"));
    expectCanaryUntouched();
  }
}

TEST_F(TidyupCmdTest, FailureIsOneLineNamingTheEntry) {
  addTree(L"D:\\out");
  fakefs::addFile(L"D:\\out\\sub\\ro.txt", true);
  CommandResult result = run({"D:\\out"});
  EXPECT_EQ(1, result.code);
  EXPECT_EQ(
      "ERROR >tidyup D:\\out ERROR on clean directory tree, Windows error: 5: "
      "D:\\out\\sub\\ro.txt" +
          kSee,
      result.err);

  result = run({"Q:\\out", "-D"});
  EXPECT_EQ(1, result.code);
  EXPECT_EQ(
      "ERROR >tidyup Q:\\out -DERROR on clean directory tree, Windows error: 15: Q:\\out" + kSee,
      result.err);
}

TEST_F(TidyupCmdTest, CreatesRelativeNamesInTheCurrentDirectory) {
  fakefs::setCurrentDirectory(L"D:\\data");
  for (const char* name : {"out", "-D", ".\\dot"}) {
    CommandResult result = run({name});
    EXPECT_EQ(0, result.code) << name << result.err;
  }
  EXPECT_EQ((std::vector<std::wstring>{L"-D", L"dot", L"file.txt", L"out"}),
            fakefs::list(L"D:\\data"));
}

// Found by fuzzing.
TEST_F(TidyupCmdTest, BareDriveCleansTheDrivesCurrentDirectory) {
  addTree(L"D:\\data\\work");
  fakefs::setCurrentDirectory(L"D:\\data\\work");
  CommandResult result = run({"D:"});
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\data\\work"));
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\data\\file.txt"));
  expectCanaryUntouched();
}

TEST_F(TidyupCmdTest, LinkIntoItsOwnParentIsNoSuccess) {
  fakefs::addJunction(L"D:\\data\\j", L"D:\\data");
  CommandResult result = run({"D:\\data\\j"});
  EXPECT_EQ(1, result.code);
  EXPECT_EQ(
      "ERROR >tidyup D:\\data\\j ERROR on clean directory tree, Path not found: D:\\data\\j\n",
      result.err);
}

// The directory cleaned is where the path leads: a link to a root is a root.
TEST_F(TidyupCmdTest, LinkToAVolumeRootIsRefused) {
  fakefs::addJunction(L"D:\\data\\toroot", L"C:\\");
  fakefs::addFile(L"C:\\keep.txt");
  CommandResult result = run({"D:\\data\\toroot"});
  EXPECT_EQ(1, result.code);
  EXPECT_NE(std::string::npos, result.err.find("Windows error: 5: D:\\data\\toroot"));
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"C:\\keep.txt"));
}

}  // namespace
