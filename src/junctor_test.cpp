#include "junctor.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <functional>

#include "platform/pathrules.h"
#include "platform/winapi-fake.h"
#include "test.h"

using fakefs::Kind;
using fakefs::Op;

namespace {

const std::wstring kDeviceIoControlCall =
    L"DeviceIoControl " + std::to_wstring(16 + (16 + 12 + 2) * sizeof(WCHAR));

const char kDefaultTail[] =
    ". See https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n";

class JunctorTest : public testing::Test {
 protected:
  void SetUp() override {
    fakefs::reset();
    fakefs::addDir(L"D:\\cache");
    fakefs::addDir(L"D:\\cache\\out");
    fakefs::addDir(L"D:\\build");
  }
  CommandResult run(const std::vector<std::string>& args) { return runCommand(junctorCmd, args); }
  // Calls of `op` since reset.
  static int calls(const std::wstring& name) {
    const std::vector<std::wstring>& log = fakefs::log();
    return (int)std::count_if(log.begin(), log.end(), [&](const std::wstring& entry) {
      return entry.compare(0, name.size(), name) == 0;
    });
  }
  // The writer's calls: the log from the link directory's creation on.
  static std::vector<std::wstring> writerCalls() {
    const std::vector<std::wstring>& log = fakefs::log();
    auto first = std::find_if(log.begin(), log.end(), [](const std::wstring& entry) {
      return entry.compare(0, 16, L"CreateDirectoryW") == 0;
    });
    return std::vector<std::wstring>(first, log.end());
  }
  static std::wstring opName(Op op) {
    switch (op) {
      case Op::CreateDirectoryW:
        return L"CreateDirectoryW";
      case Op::CreateFileW:
        return L"CreateFileW";
      default:
        return L"DeviceIoControl";
    }
  }
  static int changes() {
    return calls(L"CreateDirectoryW") + calls(L"RemoveDirectoryW") + calls(L"DeleteFileW") +
           calls(L"DeviceIoControl");
  }
};

TEST_F(JunctorTest, UsageWhenAPathIsMissing) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"D:\\build\\out"}, {"", "D:\\cache\\out"}, {"D:\\build\\out", "", "-x"}}) {
    CommandResult result = run(args);
    EXPECT_EQ(0, result.code);
    EXPECT_EQ(0u, result.out.find("\njunctor <link-path> <target-path> [-L|-F] [-T]  "
                                  "[{ -[--<*?>|{L|F|T}] }]\n Version: 2026-11-12\n"));
    EXPECT_NE(std::string::npos,
              result.out.find(" The <link-path> parent directory have to be given. Elsewhere "
                              "return 3. \n Options: Write it in any kind '-F -T' or '-FT' or "
                              "e.g. '---L -F ---T' \n"));
    EXPECT_NE(std::string::npos,
              result.out.find("\n on error a dedicated error message is written to stderr "
                              "including the faulty path or file\n"));
    EXPECT_EQ("", result.err);
  }
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\build\\out"));
}

TEST_F(JunctorTest, RefusesFaultyOptionsBeforeTouchingAnything) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-F", "D:\\build\\out", "D:\\cache\\out"}, "ERROR-faulty-argument:D:\\cache\\out"},
      {{"D:\\build\\out", "D:\\cache\\out", "--x"}, "ERROR unknown option - in argument:--x"},
      {{"D:\\build\\out", "D:\\cache\\out", "-f"}, "ERROR unknown option f in argument:-f"},
      {{"D:\\build\\out", "D:\\cache\\out", "-Fx"}, "ERROR unknown option x in argument:-Fx"},
      {{"D:\\build\\out", "D:\\cache\\out", "-T", "b"}, "ERROR-faulty-argument:b"},
  };
  for (const Case& c : cases) {
    CommandResult result = run(c.args);
    EXPECT_EQ(8, result.code) << c.err;
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_EQ(0, calls(L"MultiByteToWideChar"));
}

TEST_F(JunctorTest, CommentsDashesAndEmptyArgumentsAreIgnored) {
  CommandResult result = run({"D:\\build\\out", "D:\\cache\\out", "---L", "---", "-", "", "-LL"});
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(Kind::Junction, fakefs::kindOf(L"D:\\build\\out"));
}

TEST_F(JunctorTest, RefusesPathsThatDoNotConvertOrResolve) {
  std::string long260 = "D:\\" + std::string(257, 'a');
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err;
  } cases[] = {
      {{long260, "\xff"}, 6, "ERROR-invalid-link path-length\n"},
      {{"D:\\a\xc3", "D:\\cache\\out"}, 6, "ERROR-invalid-link path-length\n"},
      {{"D:\\build\\out", long260}, 7, "ERROR-invalid-target path-length\n"},
      // Relative names grow with the current directory D:\cache.
      {{std::string(252, 'l'), "D:\\cache\\out"}, 1, "ERROR-invalid-link-path\n"},
      {{"D:\\build\\out", std::string(252, 't')}, 2, "ERROR-invalid-target-path\n"},
  };
  fakefs::setCurrentDirectory(L"D:\\cache");
  for (const Case& c : cases) {
    CommandResult result = run(c.args);
    EXPECT_EQ(c.code, result.code) << c.err;
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_EQ(0, calls(L"CreateDirectoryW"));
}

TEST_F(JunctorTest, FailedFullPathIsReported) {
  fakefs::failCall(Op::GetFullPathNameW, 2, ERROR_INVALID_NAME);
  CommandResult result = run({"D:\\build\\out", "D:\\cache\\out"});
  EXPECT_EQ(2, result.code);
  EXPECT_EQ("ERROR-invalid-target-path\n", result.err);
}

TEST_F(JunctorTest, TargetMustBeAnExistingDirectoryOnADrive) {
  fakefs::addFile(L"D:\\cache\\file.txt");
  fakefs::addDir(L"\\\\server\\share\\dir");
  struct Case {
    std::string target;
    std::string err;
  } cases[] = {
      {"D:\\cache\\missing", "ERROR target does not exists as directory: D:\\cache\\missing\n"},
      {"D:/cache/file.txt", "ERROR target does not exists as directory: D:\\cache\\file.txt\n"},
      {"\\\\server\\share\\dir", "ERROR-target-must-be-a-drive-path\n"},
  };
  for (const Case& c : cases) {
    CommandResult result = run({"D:\\build\\out", c.target});
    EXPECT_EQ(2, result.code) << c.target;
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\build\\out"));
}

TEST_F(JunctorTest, RelativeTargetWithSlashesIsMadeAbsolute) {
  fakefs::setCurrentDirectory(L"D:\\build");
  CommandResult result = run({"out", "../cache/out"});
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(L"D:\\cache\\out", fakefs::linkTarget(L"D:\\build\\out"));
}

TEST_F(JunctorTest, WritesMountPointReparseData) {
  CommandResult result = run({"D:\\build\\out", "D:\\cache\\out"});
  ASSERT_EQ(0, result.code) << result.err;
  EXPECT_EQ("", result.out + result.err);
  std::vector<unsigned char> data = fakefs::reparseData(L"D:\\build\\out");
  // 76 bytes where a wide character has two bytes, as on Windows.
  ASSERT_EQ(16 + (16 + 12 + 2) * sizeof(WCHAR), data.size());
  const REPARSE_DATA_BUFFER* buffer = (const REPARSE_DATA_BUFFER*)data.data();
  EXPECT_EQ(IO_REPARSE_TAG_MOUNT_POINT, buffer->ReparseTag);
  EXPECT_EQ(8 + (16 + 12 + 2) * sizeof(WCHAR), buffer->ReparseDataLength);
  EXPECT_EQ(0, buffer->Reserved);
  const auto& mountPoint = buffer->MountPointReparseBuffer;
  EXPECT_EQ(0, mountPoint.SubstituteNameOffset);
  EXPECT_EQ(16 * sizeof(WCHAR), mountPoint.SubstituteNameLength);
  EXPECT_EQ(17 * sizeof(WCHAR), mountPoint.PrintNameOffset);
  EXPECT_EQ(12 * sizeof(WCHAR), mountPoint.PrintNameLength);
  const WCHAR* names = mountPoint.PathBuffer;
  EXPECT_EQ(std::wstring(L"\\??\\D:\\cache\\out"), std::wstring(names));
  EXPECT_EQ(std::wstring(L"D:\\cache\\out"), std::wstring(names + 17));
  EXPECT_EQ(0, fakefs::openHandles());
  EXPECT_EQ(L"D:\\cache\\out", fakefs::linkTarget(L"D:\\build\\out"));
}

TEST_F(JunctorTest, TargetOfFullLengthFitsTheReparseBuffer) {
  std::wstring target = L"D:\\cache";
  while (target.size() < 259) {
    target += L"\\" + std::wstring(std::min<size_t>(60, 258 - target.size()), L'd');
    fakefs::addDir(target);
  }
  CommandResult result = run({"D:\\build\\out", narrow(target)});
  ASSERT_EQ(0, result.code) << result.err;
  // 1064 bytes where a wide character has two bytes.
  EXPECT_EQ(16 + (263 + 259 + 2) * sizeof(WCHAR), fakefs::reparseData(L"D:\\build\\out").size());
}

TEST_F(JunctorTest, WriterFailuresReportTheirCodeAndRemoveTheLinkDirectory) {
  struct Case {
    Op op;
    DWORD code;
    int exit;
    std::string err;
    // Up to the code, which is taken before any clean-up call.
    std::vector<std::wstring> effects;
  } cases[] = {
      {Op::CreateDirectoryW,
       ERROR_ACCESS_DENIED,
       3,
       std::string("ERROR create link directory, Windows error: 5: D:\\build\\out") + kDefaultTail,
       {L"CreateDirectoryW D:\\build\\out", L"GetLastError"}},
      {Op::CreateFileW,
       ERROR_SHARING_VIOLATION,
       1,
       "ERROR-open-link-directory-32\n",
       {L"CreateDirectoryW D:\\build\\out", L"CreateFileW D:\\build\\out", L"GetLastError"}},
      {Op::DeviceIoControl,
       ERROR_DIR_NOT_EMPTY,
       1,
       "ERROR set Junction, Dir not empty: D:\\build\\out\n",
       {L"CreateDirectoryW D:\\build\\out", L"CreateFileW D:\\build\\out",
        L"GetFileInformationByHandle", kDeviceIoControlCall, L"GetLastError"}},
  };
  for (const Case& c : cases) {
    SetUp();
    // The checks before the writer make these calls too; fail the writer's.
    fakefs::beforeCall(Op::CreateDirectoryW, 1, [&c] {
      fakefs::failCall(c.op, calls(JunctorTest::opName(c.op)) + 1, c.code);
    });
    CommandResult result = run({"D:\\build\\out", "D:\\cache\\out"});
    EXPECT_EQ(c.exit, result.code);
    EXPECT_EQ(c.err, result.err);
    std::vector<std::wstring> writer = writerCalls();
    ASSERT_LE(c.effects.size(), writer.size());
    EXPECT_EQ(c.effects,
              std::vector<std::wstring>(writer.begin(), writer.begin() + c.effects.size()));
    if (c.op != Op::CreateDirectoryW) {
      EXPECT_NE(writer.end(), std::find(writer.begin() + c.effects.size(), writer.end(),
                                        L"RemoveDirectoryW D:\\build\\out"));
    }
    EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\build\\out"));
    EXPECT_EQ(0, fakefs::openHandles());
  }
}

TEST_F(JunctorTest, MissingLinkParentEndsWithPathNotFound) {
  CommandResult result = run({"D:\\missing\\out", "D:\\cache\\out"});
  EXPECT_EQ(3, result.code);
  EXPECT_EQ("ERROR create link directory, Path not found: D:\\missing\\out\n", result.err);
}

TEST_F(JunctorTest, VolumeWithoutReparsePointsLeavesNothingBehind) {
  fakefs::addDir(L"R:\\build");
  CommandResult result = run({"R:\\build\\out", "D:\\cache\\out"});
  EXPECT_EQ(1, result.code);
  EXPECT_EQ(std::string("ERROR set Junction, Windows error: 1: R:\\build\\out") + kDefaultTail,
            result.err);
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"R:\\build\\out"));
}

TEST_F(JunctorTest, DirectoryMadeMeanwhileIsUsedWhenEmptyAndKeptWhenNot) {
  fakefs::beforeCall(Op::CreateDirectoryW, 1, [] { fakefs::addDir(L"D:\\build\\out"); });
  EXPECT_EQ(0, run({"D:\\build\\out", "D:\\cache\\out"}).code);
  EXPECT_EQ(Kind::Junction, fakefs::kindOf(L"D:\\build\\out"));

  SetUp();
  fakefs::beforeCall(Op::CreateDirectoryW, 1, [] {
    fakefs::addDir(L"D:\\build\\out");
    fakefs::addFile(L"D:\\build\\out\\keep.txt");
  });
  CommandResult result = run({"D:\\build\\out", "D:\\cache\\out"});
  EXPECT_EQ(1, result.code);
  EXPECT_EQ("ERROR set Junction, Dir not empty: D:\\build\\out\n", result.err);
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\build\\out\\keep.txt"));
}

// What may stand at the link path before a run.
enum class AtLink {
  Nothing,
  JunctionToTarget,
  OtherJunction,
  DanglingJunction,
  Directory,
  File,
  ReadOnlyFile,
  FileLink
};

void placeAtLink(AtLink what) {
  const wchar_t* link = L"D:\\build\\out";
  fakefs::addDir(L"D:\\other");
  fakefs::addFile(L"D:\\other\\canary.txt");
  switch (what) {
    case AtLink::Nothing:
      break;
    case AtLink::JunctionToTarget:
      fakefs::addJunction(link, L"D:\\Cache\\OUT");
      break;
    case AtLink::OtherJunction:
      fakefs::addJunction(link, L"D:\\other");
      break;
    case AtLink::DanglingJunction:
      fakefs::addJunction(link, L"D:\\gone");
      break;
    case AtLink::Directory:
      fakefs::addDir(link);
      fakefs::addDir(L"D:\\build\\out\\sub");
      fakefs::addFile(L"D:\\build\\out\\sub\\a.txt");
      fakefs::addJunction(L"D:\\build\\out\\sub\\j", L"D:\\other");
      break;
    case AtLink::File:
      fakefs::addFile(link);
      break;
    case AtLink::ReadOnlyFile:
      fakefs::addFile(link, true);
      break;
    case AtLink::FileLink:
      fakefs::addFileLink(link, L"D:\\other\\canary.txt");
      break;
  }
}

TEST_F(JunctorTest, ExistingLinkPathIsClearedAsTheOptionsAllow) {
  const std::string another =
      "ERROR-<link-path> has another destination, use -L to enable redirect\n";
  const std::string directory =
      "ERROR <link-path> refers to a normal directory, use -F to force remove\n";
  const std::string file = "ERROR-<link-path> refers to a file, use -F to force remove\n";
  struct Case {
    AtLink at;
    std::string option;
    int exit;
    std::string err;
    Kind after;
  } cases[] = {
      {AtLink::JunctionToTarget, "", 0, "", Kind::Junction},
      {AtLink::JunctionToTarget, "-F", 0, "", Kind::Junction},
      {AtLink::Nothing, "", 0, "", Kind::Junction},
      {AtLink::OtherJunction, "", 3, another, Kind::Junction},
      {AtLink::OtherJunction, "-L", 0, "", Kind::Junction},
      {AtLink::OtherJunction, "-F", 0, "", Kind::Junction},
      {AtLink::DanglingJunction, "", 3, another, Kind::Junction},
      {AtLink::DanglingJunction, "-L", 0, "", Kind::Junction},
      {AtLink::FileLink, "", 3, another, Kind::FileLink},
      {AtLink::FileLink, "-L", 4, "ERROR-remove-existing-link-267 on <link-path> D:\\build\\out \n",
       Kind::FileLink},
      {AtLink::Directory, "", 3, directory, Kind::Dir},
      {AtLink::Directory, "-L", 3, directory, Kind::Dir},
      {AtLink::Directory, "-F", 0, "", Kind::Junction},
      {AtLink::File, "-L", 3, file, Kind::File},
      {AtLink::File, "-F", 0, "", Kind::Junction},
      {AtLink::ReadOnlyFile, "-F", 3, "ERROR remove existing file instead of <link-path>: 5\n",
       Kind::File},
  };
  for (const Case& c : cases) {
    SetUp();
    placeAtLink(c.at);
    CommandResult result = run({"D:\\build\\out", "D:\\cache\\out", c.option});
    SCOPED_TRACE(testing::Message() << (int)c.at << " " << c.option);
    EXPECT_EQ(c.exit, result.code);
    EXPECT_EQ(c.err, result.err);
    EXPECT_EQ(c.after, fakefs::kindOf(L"D:\\build\\out"));
    if (c.exit == 0 && c.at != AtLink::JunctionToTarget) {
      EXPECT_EQ(L"D:\\cache\\out", fakefs::linkTarget(L"D:\\build\\out"));
    }
    EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\other\\canary.txt"));
    EXPECT_EQ(0, fakefs::openHandles());
    EXPECT_EQ(0, fakefs::openFinds());
  }
}

TEST_F(JunctorTest, SecondIdenticalRunTouchesNothing) {
  for (const char* target : {"D:\\cache\\out", "d:/CACHE/out/", "D:\\cache\\out\\"}) {
    SetUp();
    fakefs::addJunction(L"D:\\build\\out", L"D:\\cache\\out");
    CommandResult result = run({"D:\\build\\out", target, "-FT"});
    EXPECT_EQ(0, result.code) << target << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(0, changes()) << target;
  }
}

TEST_F(JunctorTest, LinkEqualToTargetIsAlreadyThere) {
  CommandResult result = run({"D:\\cache\\out", "D:\\cache\\out", "-F"});
  EXPECT_EQ(0, result.code);
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\cache\\out"));
}

TEST_F(JunctorTest, TargetReachedThroughALinkIsRecognised) {
  fakefs::addJunction(L"D:\\alias", L"D:\\cache");
  fakefs::addJunction(L"D:\\build\\out", L"D:\\cache\\out");
  CommandResult result = run({"D:\\build\\out", "D:\\alias\\out"});
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(L"D:\\cache\\out", fakefs::linkTarget(L"D:\\build\\out"));
}

TEST_F(JunctorTest, ClearingNeverTakesTheTargetWithIt) {
  fakefs::addDir(L"D:\\build\\out");
  fakefs::addDir(L"D:\\build\\out\\sub");
  fakefs::addDir(L"D:\\other");
  fakefs::addDir(L"D:\\other\\sub");
  fakefs::addJunction(L"D:\\build\\link", L"D:\\other");
  struct Case {
    std::string link, target, option, err;
  } cases[] = {
      {"D:\\build\\out", "D:\\Build\\OUT\\sub", "-F",
       "ERROR D:\\build\\out contains the D:\\Build\\OUT\\sub, refused to remove it\n"},
      {"D:\\build\\link", "D:\\build\\link\\sub", "-L",
       "ERROR D:\\build\\link contains the D:\\build\\link\\sub, refused to remove it\n"},
      {"D:\\", "D:\\build\\out", "-F",
       "ERROR D:\\ contains the D:\\build\\out, refused to remove it\n"},
  };
  for (const Case& c : cases) {
    CommandResult result = run({c.link, c.target, c.option});
    EXPECT_EQ(3, result.code) << c.link;
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\build\\out\\sub"));
  EXPECT_EQ(Kind::Junction, fakefs::kindOf(L"D:\\build\\link"));
  EXPECT_EQ(0, changes());
}

TEST_F(JunctorTest, TrailingSeparatorNeverReachesThroughALink) {
  placeAtLink(AtLink::OtherJunction);
  CommandResult result = run({"D:\\build\\out\\", "D:\\cache\\out", "-F"});
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(L"D:\\cache\\out", fakefs::linkTarget(L"D:\\build\\out"));
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\other\\canary.txt"));
}

TEST_F(JunctorTest, TreeThatCannotBeRemovedIsReportedWithTheEntry) {
  fakefs::addDir(L"D:\\build\\out");
  fakefs::addFile(L"D:\\build\\out\\a.txt");
  fakefs::addFile(L"D:\\build\\out\\b.txt", true);
  CommandResult result = run({"D:\\build\\out", "D:\\cache\\out", "-F"});
  EXPECT_EQ(5, result.code);
  EXPECT_EQ(
      std::string("ERROR on deletion faulty directory tree instead symbLink, Windows error: 5: "
                  "D:\\build\\out\\b.txt") +
          kDefaultTail,
      result.err);
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\build\\out\\a.txt"));
}

TEST_F(JunctorTest, CreatesMissingTargetUnderT) {
  struct Case {
    std::string target, options;
    int exit;
    std::string err;
  } cases[] = {
      {"D:\\new\\deeper\\out", "-T", 0, ""},
      {"D:\\cache\\file", "-T", 2,
       std::string("ERROR creation directory, Windows error: 80: D:\\cache\\file") + kDefaultTail},
      {"D:\\cache\\file", "-FT", 0, ""},
      {"Q:\\new", "-T", 2,
       std::string("ERROR creation directory, Windows error: 15: Q:\\new") + kDefaultTail},
      {"\\\\server\\share\\new", "-T", 2, "ERROR-target-must-be-a-drive-path\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    fakefs::addFile(L"D:\\cache\\file");
    CommandResult result = run({"D:\\build\\out", c.target, c.options});
    EXPECT_EQ(c.exit, result.code) << c.target << c.options;
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"\\\\server\\share\\new"));
}

// Found by fuzzing.
TEST_F(JunctorTest, TargetBehindALinkIntoTheTreeSurvivesForce) {
  fakefs::addDir(L"D:\\a");
  fakefs::addDir(L"D:\\a\\a");
  fakefs::addFile(L"D:\\a\\a\\precious");
  fakefs::addJunction(L"D:\\b", L"D:\\a\\a");
  CommandResult result = run({"D:\\a", "D:\\b", "-F"});
  EXPECT_EQ(3, result.code);
  EXPECT_EQ("ERROR D:\\a contains the D:\\b, refused to remove it\n", result.err);
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\a\\a\\precious"));
}

TEST_F(JunctorTest, LinkEqualToTargetIsNeverRemoved) {
  fakefs::addFile(L"D:\\cache\\out\\precious");
  fakefs::failCall(Op::GetFinalPathNameByHandleA, 0, ERROR_NOT_ENOUGH_MEMORY);
  CommandResult result = run({"D:\\cache\\out", "d:/cache/out", "-F"});
  EXPECT_EQ(3, result.code);
  EXPECT_EQ("ERROR D:\\cache\\out contains the d:\\cache\\out, refused to remove it\n", result.err);
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\cache\\out\\precious"));
}

TEST_F(JunctorTest, SeparatorsAloneAreNotTheCurrentRoot) {
  CommandResult result = run({"//", "\\"});
  EXPECT_NE(0, result.code);
  EXPECT_EQ(0, calls(L"DeviceIoControl"));
}

TEST_F(JunctorTest, DanglingJunctionIsNoTarget) {
  fakefs::addJunction(L"D:\\dangling", L"D:\\gone");
  for (const char* option : {"", "-T", "-FT"}) {
    CommandResult result = run({"D:\\build\\out", "D:\\dangling", option});
    EXPECT_EQ(2, result.code) << option;
    EXPECT_EQ("ERROR target does not exists as directory: D:\\dangling\n", result.err);
  }
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\build\\out"));
}

TEST_F(JunctorTest, LongNonAsciiTargetStaysIdempotent) {
  // 150 characters, but 300 bytes in the UTF-8 code page.
  std::wstring target = L"D:\\" + std::wstring(150, L'\u00e9');
  fakefs::addDir(target);
  std::string narrowTarget = "D:\\";
  for (int i = 0; i < 150; i++) narrowTarget += "\xc3\xa9";
  ASSERT_EQ(0, run({"D:\\build\\out", narrowTarget}).code);
  CommandResult again = run({"D:\\build\\out", narrowTarget});
  EXPECT_EQ(0, again.code) << again.err;
}

// The text of the paths and the target's final path do not show these: the
// target's way passes through what -L or -F would remove.
TEST_F(JunctorTest, TargetReachedThroughTheLinkIsRefused) {
  struct Case {
    const char* what;
    std::function<void()> tree;
    std::string link, target, option, err;
  } cases[] = {
      {"junction to a way through the link, -L",
       [] {
         fakefs::addDir(L"D:\\victim");
         fakefs::addDir(L"D:\\victim\\sub");
         fakefs::addJunction(L"D:\\lnk", L"D:\\victim");
         fakefs::addJunction(L"D:\\T", L"D:\\lnk\\sub");
       },
       "D:\\lnk", "D:\\T", "-L", "ERROR D:\\lnk contains the D:\\T, refused to remove it\n"},
      {"relative file link on the way, -F",
       [] {
         fakefs::addDir(L"D:\\a");
         fakefs::addFileLink(L"D:\\a\\x", L"..\\keep");
         fakefs::addDir(L"D:\\keep");
         fakefs::addJunction(L"D:\\b", L"D:\\a\\x");
       },
       "D:\\a", "D:\\b", "-F", "ERROR D:\\a contains the D:\\b, refused to remove it\n"},
      {"letter case beyond ASCII, -F",
       [] {
         fakefs::addDir(L"D:\\\u00e9");
         fakefs::addDir(L"D:\\\u00e9\\sub");
       },
       "D:\\\xc3\xa9", "D:\\\xc3\x89\\sub", "-F",
       "ERROR D:\\\xc3\xa9 contains the D:\\\xc3\x89\\sub, refused to remove it\n"},
      {"link chain through the tree, -F",
       [] {
         fakefs::addDir(L"D:\\a");
         fakefs::addJunction(L"D:\\a\\j", L"D:\\cache");
         fakefs::addJunction(L"D:\\b", L"D:\\a\\j\\out");
       },
       "D:\\a", "D:\\b", "-F", "ERROR D:\\a contains the D:\\b, refused to remove it\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.what);
    c.tree();
    CommandResult result = run({c.link, c.target, c.option});
    EXPECT_EQ(3, result.code);
    EXPECT_EQ(c.err, result.err);
    EXPECT_EQ(0, calls(L"CreateDirectoryW") + calls(L"RemoveDirectoryW") + calls(L"DeleteFileW"));
  }
}

// Windows never removes a process's current directory: clearing the tree
// would only fail at its end, with the content gone.
TEST_F(JunctorTest, CurrentDirectoryIsNeverCleared) {
  fakefs::addJunction(L"C:\\j", L"D:\\build");
  fakefs::addDir(L"D:\\build\\out");
  fakefs::addDir(L"D:\\build\\out\\sub");
  fakefs::addFile(L"D:\\build\\out\\sub\\keep");
  for (const wchar_t* current : {L"D:\\build\\out", L"D:\\build\\out\\sub", L"C:\\j\\out\\sub"}) {
    fakefs::setCurrentDirectory(current);
    CommandResult result = run({"D:\\build\\out", "D:\\cache\\out", "-F"});
    EXPECT_EQ(5, result.code) << narrow(current);
    EXPECT_EQ(
        "ERROR on deletion faulty directory tree instead symbLink, File/Dir is shared by another "
        "process: D:\\build\\out\n",
        result.err);
  }
  EXPECT_EQ(0, changes());
  fakefs::setCurrentDirectory(L"D:\\build");
  EXPECT_EQ(0, run({"D:\\build\\out", "D:\\cache\\out", "-F"}).code);
}

// Never missing, and never removed after another run has just rewritten it.
TEST_F(JunctorTest, JunctionAtTheLinkIsRewrittenInPlaceWithL) {
  placeAtLink(AtLink::OtherJunction);
  CommandResult result = run({"D:\\build\\out", "D:\\cache\\out", "-L"});
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(L"D:\\cache\\out", fakefs::linkTarget(L"D:\\build\\out"));
  EXPECT_EQ(0, calls(L"RemoveDirectoryW"));
}

// Another run's empty link directory looks like this; it holds nothing to
// lose. The target itself is never taken, even when the comparison fails.
TEST_F(JunctorTest, EmptyDirectoryAtTheLinkBecomesTheJunction) {
  fakefs::addDir(L"D:\\build\\out");
  CommandResult result = run({"D:\\build\\out", "D:\\cache\\out"});
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ(L"D:\\cache\\out", fakefs::linkTarget(L"D:\\build\\out"));

  fakefs::failCall(Op::GetFinalPathNameByHandleA, 0, ERROR_NOT_ENOUGH_MEMORY);
  result = run({"D:\\cache\\out", "D:\\cache\\out"});
  EXPECT_EQ(3, result.code);
  EXPECT_EQ("ERROR <link-path> refers to a normal directory, use -F to force remove\n", result.err);
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\cache\\out"));
}

// Where walking a target's way name by name begins.
TEST(PathRoot, EveryFormOfAFullPath) {
  struct Case {
    const wchar_t* path;
    const wchar_t* root;
  } cases[] = {
      {L"D:\\x\\y", L"D:\\"},
      {L"D:\\", L"D:\\"},
      {L"\\\\server\\share\\x", L"\\\\server\\share"},
      {L"\\\\server\\share", L"\\\\server\\share"},
      {L"\\\\?\\D:\\x", L"\\\\?\\D:\\"},
      {L"\\\\?\\UNC\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\"},
      {L"\\\\?\\Volume{1}\\x", L"\\\\?\\Volume{1}\\"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::wstring(c.root), std::wstring(c.path, pathRootLength(c.path))) << narrow(c.path);
  }
}

}  // namespace
