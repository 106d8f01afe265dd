// What the commands do where Windows behaves in ways that POSIX does not:
// each case runs on the in-memory fake and checks the exit code, the message
// and what is left on it.
#include <gtest/gtest.h>
#include <stdio.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "junctor.h"
#include "platform/pathrules.h"
#include "platform/winapi-fake.h"
#include "realpath.h"
#include "test.h"
#include "tidyup.h"

using fakefs::Hold;
using fakefs::Kind;

namespace {

const std::string kSee =
    ". See https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n";
const std::string kTidyFailed = "ERROR on clean directory tree, ";
const std::string kTreeFailed = "ERROR on deletion faulty directory tree instead symbLink, ";

// Every entry below `dir`, links not entered: "path kind target".
std::vector<std::wstring> treeOf(const std::wstring& dir) {
  std::vector<std::wstring> entries;
  for (const std::wstring& name : fakefs::list(dir)) {
    std::wstring path = dir + L"\\" + name;
    Kind kind = fakefs::kindOf(path);
    entries.push_back(path + L" " + std::to_wstring((int)kind) + L" " + fakefs::linkTarget(path));
    if (kind == Kind::Dir) {
      for (const std::wstring& inner : treeOf(path)) entries.push_back(inner);
    }
  }
  return entries;
}

// D:\work is the current directory, D:\work\t a target, D:\keep a canary.
class WindowsSemantics : public testing::Test {
 protected:
  void SetUp() override {
    fakefs::reset();
    fakefs::addDir(L"D:\\work");
    fakefs::addDir(L"D:\\work\\t");
    fakefs::addDir(L"D:\\keep");
    fakefs::addFile(L"D:\\keep\\k");
    fakefs::setCurrentDirectory(L"D:\\work");
    canary = treeOf(L"D:\\keep");
  }
  void TearDown() override {
    EXPECT_EQ(canary, treeOf(L"D:\\keep"));
    EXPECT_EQ(0, fakefs::openHandles());
    EXPECT_EQ(0, fakefs::openFinds());
  }
  static void addOut() {
    fakefs::addDir(L"D:\\work\\out");
    fakefs::addFile(L"D:\\work\\out\\f");
    fakefs::addDir(L"D:\\work\\out\\sub");
    fakefs::addFile(L"D:\\work\\out\\sub\\g");
  }
  std::vector<std::wstring> canary;
};

TEST(VolumeRoot, DevicePathForms) {
  struct Case {
    const wchar_t* path;
    int root;
  } cases[] = {
      {L"D:\\", 1},
      {L"\\\\server\\share\\", 1},
      {L"\\\\?\\C:\\", 1},
      {L"\\\\?\\C:", 1},
      {L"//?/c:/", 1},
      {L"\\\\.\\C:\\", 1},
      {L"\\\\?\\UNC\\server\\share", 1},
      {L"\\\\?\\unc\\server\\share\\", 1},
      {L"\\\\.\\UNC\\server\\share", 1},
      {L"\\\\?\\Volume{5eed0000-0000-0000-0000-000000000002}\\", 1},
      {L"\\\\?\\Volume{5eed0000-0000-0000-0000-000000000002}", 1},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\", 1},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1", 1},
      {L"\\\\?\\C:\\x", 0},
      {L"\\\\?\\UNC\\server\\share\\x", 0},
      {L"\\\\.\\UNC\\server\\share\\x\\", 0},
      {L"\\\\?\\Volume{5eed0000-0000-0000-0000-000000000002}\\x", 0},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x", 0},
      {L"D:\\x", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.root, isVolumeRoot(c.path)) << narrow(c.path);
}

// "File path formats on Windows systems": the last name loses trailing dots
// and spaces, an inner name one trailing dot.
TEST_F(WindowsSemantics, TrailingDotsAndSpaces) {
  fakefs::addDir(L"D:\\work\\sub");
  fakefs::addFile(L"D:\\work\\sub\\f");
  CommandResult junction = runCommand(junctorCmd, {"sub.", "t", "-F"});
  EXPECT_EQ(0, junction.code) << junction.err;
  EXPECT_EQ(Kind::Junction, fakefs::kindOf(L"D:\\work\\sub"));
  EXPECT_EQ(L"D:\\work\\t", fakefs::linkTarget(L"D:\\work\\sub"));

  // "out " is "out", but "out \*" lists a directory "out " that is not there.
  addOut();
  std::vector<std::wstring> out = treeOf(L"D:\\work\\out");
  CommandResult spaced = runCommand(createCleanDirCmd, {"out "});
  EXPECT_EQ(1, spaced.code);
  EXPECT_EQ("ERROR >tidyup out  " + kTidyFailed + "File not found: out \\*\n", spaced.err);
  EXPECT_EQ(out, treeOf(L"D:\\work\\out"));

  EXPECT_EQ(0, runCommand(createCleanDirCmd, {"new."}).code);
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"\\\\?\\D:\\work\\new"));
  EXPECT_EQ((std::vector<std::wstring>{L"new", L"out", L"sub", L"t"}), fakefs::list(L"D:\\work"));
}

// "x \\" names "x ", which without its separator would be read as "x": such
// a path has no full form that the comparison and the writer could share,
// so it is refused as it stands, before anything is touched.
TEST_F(WindowsSemantics, NameThatNeedsItsTrailingSeparatorIsRefused) {
  addOut();
  std::vector<std::wstring> before = treeOf(L"D:\\work");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err;
  } cases[] = {
      {{"/ /", "/"}, 1, "ERROR-invalid-link-path\n"},
      {{"out \\", "t", "-F"}, 1, "ERROR-invalid-link-path\n"},
      {{"lnk", "out \\"}, 2, "ERROR-invalid-target-path\n"},
      {{"lnk", "out..\\"}, 2, "ERROR-invalid-target-path\n"},
  };
  for (const Case& c : cases) {
    CommandResult result = runCommand(junctorCmd, c.args);
    EXPECT_EQ(c.code, result.code) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(c.err, result.err);
    EXPECT_EQ(before, treeOf(L"D:\\work"));
  }
  // A separator that changes nothing still goes.
  EXPECT_EQ(0, runCommand(junctorCmd, {"lnk\\", "out\\"}).code);
  EXPECT_EQ(L"D:\\work\\out", fakefs::linkTarget(L"D:\\work\\lnk"));
}

// ".." is taken off as text before any call, so it never climbs out of a
// link: "out\\link\\.." is out, and the link inside it is removed itself.
TEST_F(WindowsSemantics, DotDotAfterALinkIsText) {
  addOut();
  fakefs::addJunction(L"D:\\work\\out\\link", L"D:\\keep");
  CommandResult tidy = runCommand(createCleanDirCmd, {"out\\link\\.."});
  EXPECT_EQ(0, tidy.code) << tidy.err;
  EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\work\\out"));

  fakefs::addJunction(L"D:\\work\\out\\link", L"D:\\keep");
  CommandResult junction = runCommand(junctorCmd, {"out/link/..", "t", "-F"});
  EXPECT_EQ(0, junction.code) << junction.err;
  EXPECT_EQ(L"D:\\work\\t", fakefs::linkTarget(L"D:\\work\\out"));
}

// "\\?\" paths reach the file system without normalisation: "x." is a name
// of its own there, and the drive-path test does not take the form.
TEST_F(WindowsSemantics, LongFormPaths) {
  fakefs::addDir(L"D:\\work\\x");
  fakefs::addFile(L"D:\\work\\x\\f");
  EXPECT_EQ(0, runCommand(createCleanDirCmd, {"\\\\?\\D:\\work\\x."}).code);
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"\\\\?\\D:\\work\\x."));
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\work\\x\\f"));

  CommandResult target = runCommand(junctorCmd, {"l", "\\\\?\\D:\\work\\t"});
  EXPECT_EQ(2, target.code);
  EXPECT_EQ("ERROR-target-must-be-a-drive-path\n", target.err);
  EXPECT_EQ(Kind::None, fakefs::kindOf(L"D:\\work\\l"));
}

TEST_F(WindowsSemantics, RootsInDevicePathFormAreNeverCleared) {
  fakefs::addFile(L"\\\\server\\share\\s");
  fakefs::addDir(L"C:\\t");
  const std::string volume = narrow(fakefs::volumeGuidPath(L"D:"));
  for (std::string root : {std::string("\\\\?\\D:\\"), std::string("\\\\.\\D:"),
                           std::string("\\\\?\\UNC\\server\\share"),
                           std::string("\\\\.\\UNC\\server\\share\\"), volume}) {
    CommandResult tidy = runCommand(createCleanDirCmd, {root});
    EXPECT_EQ(1, tidy.code) << root;
    EXPECT_EQ("ERROR >tidyup " + root + " " + kTidyFailed + "Windows error: 5: " + root + kSee,
              tidy.err);
    CommandResult junction = runCommand(junctorCmd, {root, "C:\\t", "-F"});
    EXPECT_EQ(5, junction.code) << root;
    // junctor drops a trailing separator.
    std::string link = root.back() == '\\' ? root.substr(0, root.size() - 1) : root;
    EXPECT_EQ(kTreeFailed + "Windows error: 5: " + link + kSee, junction.err);
    EXPECT_EQ(Kind::File, fakefs::kindOf(L"\\\\server\\share\\s")) << root;
    EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\work\\t")) << root;
  }
}

TEST_F(WindowsSemantics, DriveRelativePathUsesThatDrivesDirectory) {
  addOut();
  fakefs::addDir(L"C:\\elsewhere");
  fakefs::addDir(L"C:\\elsewhere\\out");
  fakefs::addFile(L"C:\\elsewhere\\out\\f");
  fakefs::setCurrentDirectory(L"C:\\elsewhere");
  CommandResult tidy = runCommand(createCleanDirCmd, {"D:out"});
  EXPECT_EQ(0, tidy.code) << tidy.err;
  EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\work\\out"));
  EXPECT_EQ(0, runCommand(junctorCmd, {"D:l", "D:t"}).code);
  EXPECT_EQ(L"D:\\work\\t", fakefs::linkTarget(L"D:\\work\\l"));
  EXPECT_EQ(std::vector<std::wstring>{L"f"}, fakefs::list(L"C:\\elsewhere\\out"));
}

// CreateDirectoryW takes at most 248 characters, counted on the full path.
TEST_F(WindowsSemantics, DirectoryPathOf249CharactersIsNotCreated) {
  std::string fits = "a\\" + std::string(238, 'n');  // D:\work\ + 240 = 248
  EXPECT_EQ(0, runCommand(createCleanDirCmd, {fits}).code);
  std::string longer = "b\\" + std::string(239, 'n');
  CommandResult result = runCommand(createCleanDirCmd, {longer});
  EXPECT_EQ(1, result.code);
  EXPECT_EQ("ERROR >tidyup " + longer + " " + kTidyFailed +
                "File name is too long, truncated even here: " + longer + "\n",
            result.err);
  EXPECT_EQ(Kind::Dir, fakefs::kindOf(L"D:\\work\\b"));  // the level that fits stays
}

// The tree operations change no attribute, so a read-only directory stays,
// emptied, and the run says so.
TEST_F(WindowsSemantics, ReadOnlyDirectoryInsideATree) {
  struct Case {
    CommandFunction command;
    std::vector<std::string> args;
    int code;
    std::string err;
  } cases[] = {
      {createCleanDirCmd,
       {"out"},
       1,
       "ERROR >tidyup out " + kTidyFailed + "Windows error: 5: out\\ro" + kSee},
      {junctorCmd,
       {"out", "t", "-F"},
       5,
       kTreeFailed + "Windows error: 5: D:\\work\\out\\ro" + kSee},
  };
  for (const Case& c : cases) {
    SetUp();
    fakefs::addDir(L"D:\\work\\out");
    fakefs::addDir(L"D:\\work\\out\\ro", true);
    fakefs::addFile(L"D:\\work\\out\\ro\\f");
    CommandResult result = runCommand(c.command, c.args);
    EXPECT_EQ(c.code, result.code);
    EXPECT_EQ(c.err, result.err);
    EXPECT_EQ(std::vector<std::wstring>{L"ro"}, fakefs::list(L"D:\\work\\out"));
    EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\work\\out\\ro"));
  }
}

TEST_F(WindowsSemantics, NamesDifferingInNonAsciiCaseAreOne) {
  fakefs::addDir(L"D:\\work\\\u00e9t\u00e9");
  fakefs::addFile(L"D:\\work\\\u00e9t\u00e9\\f");
  EXPECT_EQ(0, runCommand(createCleanDirCmd, {"\xC3\x89T\xC3\x89"}).code);
  EXPECT_EQ((std::vector<std::wstring>{L"t", L"\u00e9t\u00e9"}), fakefs::list(L"D:\\work"));
  EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\work\\\u00e9t\u00e9"));

  EXPECT_EQ(0, runCommand(junctorCmd, {"l", "\xC3\xA9t\xC3\xA9"}).code);
  CommandResult again = runCommand(junctorCmd, {"l", "\xC3\x89T\xC3\x89"});
  EXPECT_EQ(0, again.code) << again.err;
}

// A name beyond the basic plane passes every conversion: argument, final
// path, comparison and message.
TEST_F(WindowsSemantics, NameBeyondTheBasicPlaneSurvives) {
  fakefs::addDir(L"D:\\work\\\U0001F600");
  CommandResult real = runCommand(realpath_cmd, {"\xF0\x9F\x98\x80"});
  EXPECT_EQ("D:\\work\\\xF0\x9F\x98\x80", real.out);
  EXPECT_EQ(0, runCommand(junctorCmd, {"l", "\xF0\x9F\x98\x80"}).code);
  CommandResult again = runCommand(junctorCmd, {"l", "\xF0\x9F\x98\x80"});
  EXPECT_EQ(0, again.code) << again.err;

  CommandResult missing = runCommand(junctorCmd, {"m", "\xF0\x9F\x98\x81"});
  EXPECT_EQ(2, missing.code);
  EXPECT_EQ("ERROR target does not exists as directory: D:\\work\\\xF0\x9F\x98\x81\n", missing.err);
}

// Another process holds an entry of the tree: the run stops there, reports
// it, and keeps what it could not remove.
TEST_F(WindowsSemantics, EntryHeldByAnotherProcess) {
  struct Case {
    const wchar_t* held;
    Hold how;
    std::string tidyupErr;  // after "ERROR >tidyup out "
    std::string junctorErr;
    std::vector<std::wstring> left;  // in out, after the run
  } cases[] = {
      {L"D:\\work\\out\\f",
       Hold::WithoutDeleteSharing,
       "File/Dir is shared by another process: out\\f\n",
       "File/Dir is shared by another process: D:\\work\\out\\f\n",
       {L"f", L"sub"}},
      {L"D:\\work\\out\\sub",
       Hold::CurrentDirectory,
       "File/Dir is shared by another process: out\\sub\n",
       "File/Dir is shared by another process: D:\\work\\out\\sub\n",
       {L"sub"}},
      // Deleted, but the name stays while the other handle is open.
      {L"D:\\work\\out\\sub\\g",
       Hold::WithDeleteSharing,
       "Dir not empty: out\\sub\n",
       "Dir not empty: D:\\work\\out\\sub\n",
       {L"sub"}},
  };
  for (const Case& c : cases) {
    for (bool tidy : {true, false}) {
      SetUp();
      addOut();
      int id = 0;
      ASSERT_EQ(0u, fakefs::otherProcessHold(c.held, c.how, &id));
      CommandResult result = tidy ? runCommand(createCleanDirCmd, {"out"})
                                  : runCommand(junctorCmd, {"out", "t", "-F"});
      EXPECT_EQ(tidy ? 1 : 5, result.code) << narrow(c.held);
      EXPECT_EQ(
          tidy ? "ERROR >tidyup out " + kTidyFailed + c.tidyupErr : kTreeFailed + c.junctorErr,
          result.err);
      EXPECT_EQ(c.left, fakefs::list(L"D:\\work\\out"));
      fakefs::otherProcessClose(id);
      EXPECT_EQ(0, runCommand(createCleanDirCmd, {"out"}).code) << narrow(c.held);
      EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\work\\out"));
    }
  }
}

// A volume mounted in a folder inside a tree is a link there: removed
// itself, or kept with -D, and its content stays.
TEST_F(WindowsSemantics, MountedVolumeInsideATree) {
  struct Case {
    CommandFunction command;
    std::vector<std::string> args;
    Kind mountLeft;
  } cases[] = {
      {createCleanDirCmd, {"out"}, Kind::None},
      {createCleanDirCmd, {"out", "-D"}, Kind::Junction},
      {junctorCmd, {"out", "t", "-F"}, Kind::None},
  };
  for (const Case& c : cases) {
    SetUp();
    addOut();
    fakefs::addFile(L"M:\\content");
    fakefs::mountVolume(L"D:\\work\\out\\sub\\m", L"M:");
    CommandResult result = runCommand(c.command, c.args);
    EXPECT_EQ(0, result.code) << result.err;
    EXPECT_EQ(c.mountLeft, fakefs::kindOf(L"D:\\work\\out\\sub\\m"));
    EXPECT_EQ(std::vector<std::wstring>{L"content"}, fakefs::list(L"M:\\"));
  }
}

// Windows never removes a current directory, so -F refuses before it
// deletes anything, with the report the removal would end with.
TEST_F(WindowsSemantics, CurrentDirectoryInsideTheLinkPathIsKept) {
  addOut();
  fakefs::setCurrentDirectory(L"D:\\work\\out\\sub");
  std::vector<std::wstring> before = treeOf(L"D:\\work\\out");
  CommandResult result = runCommand(junctorCmd, {"D:\\work\\out", "D:\\work\\t", "-F"});
  EXPECT_EQ(5, result.code);
  EXPECT_EQ(kTreeFailed + "File/Dir is shared by another process: D:\\work\\out\n", result.err);
  EXPECT_EQ(before, treeOf(L"D:\\work\\out"));
}

// A junction leads only to a local volume: one to a mapped drive would
// never work.
TEST_F(WindowsSemantics, TargetOnAMappedDriveIsRefused) {
  fakefs::addDir(L"\\\\server\\share\\x");
  fakefs::mapDrive(L"Z:", L"\\\\server\\share");
  fakefs::addDir(L"D:\\work\\l");
  fakefs::addFile(L"D:\\work\\l\\f");
  CommandResult result = runCommand(junctorCmd, {"l", "Z:\\x", "-F"});
  EXPECT_EQ(2, result.code);
  EXPECT_EQ("ERROR-target-must-be-a-drive-path\n", result.err);
  EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\work\\l\\f"));
}

// ---- A directory swapped for a junction while its tree is emptied ----

struct Call {
  fakefs::Op op;
  int nth;
};

// Every call of a run, as (operation, how many of its kind so far), read
// from the fake's log.
std::vector<Call> callsOf(const std::vector<std::wstring>& log) {
  using fakefs::Op;
  const std::pair<const wchar_t*, Op> kOps[] = {
      {L"MultiByteToWideChar", Op::MultiByteToWideChar},
      {L"GetFullPathNameW", Op::GetFullPathNameW},
      {L"GetFileAttributesW", Op::GetFileAttributesW},
      {L"CreateDirectoryW", Op::CreateDirectoryW},
      {L"RemoveDirectoryW", Op::RemoveDirectoryW},
      {L"DeleteFileW", Op::DeleteFileW},
      {L"FindFirstFileW", Op::FindFirstFileW},
      {L"FindNextFileW", Op::FindNextFileW},
      {L"FindClose", Op::FindClose},
      {L"CreateFileW", Op::CreateFileW},
      {L"GetFinalPathNameByHandleA", Op::GetFinalPathNameByHandleA},
      {L"DeviceIoControl", Op::DeviceIoControl},
      {L"CloseHandle", Op::CloseHandle},
      {L"GetLastError", Op::GetLastError},
      {L"GetFileInformationByHandle", Op::GetFileInformationByHandle},
  };
  std::map<int, int> counts;
  std::vector<Call> calls;
  for (const std::wstring& line : log) {
    std::wstring name = line.substr(0, line.find(L' '));
    for (const auto& op : kOps) {
      if (name == op.first) calls.push_back({op.second, ++counts[(int)op.second]});
    }
  }
  return calls;
}

// D:\out holds a.txt and sub (x.txt, z.txt, deeper\y.txt); D:\victim holds
// the same names, so that a deletion redirected into it would succeed.
void buildSwapTree() {
  fakefs::reset();
  fakefs::addDir(L"D:\\t");
  fakefs::addDir(L"D:\\out");
  fakefs::addFile(L"D:\\out\\a.txt");
  for (std::wstring top : {L"D:\\out\\sub", L"D:\\victim"}) {
    fakefs::addDir(top);
    fakefs::addFile(top + L"\\x.txt");
    fakefs::addFile(top + L"\\y.txt");
    fakefs::addFile(top + L"\\z.txt");
    fakefs::addDir(top + L"\\deeper");
    fakefs::addFile(top + L"\\deeper\\y.txt");
  }
}

// -D keeps every directory entry with its content and deletes the rest.
bool holdsOnlyDirectories(const std::wstring& dir) {
  for (const std::wstring& name : fakefs::list(dir)) {
    Kind kind = fakefs::kindOf(dir + L"\\" + name);
    if (kind != Kind::Dir && kind != Kind::Junction) return false;
  }
  return true;
}

// Another process that can write inside the tree renames a directory of it
// away and puts a junction to the victim in its place, just before one call
// of the run; every call and every inner directory in turn. Whatever it
// wins, nothing outside the tree changes, and the run reports success only
// when what it was asked for holds.
TEST(SwapInsideATree, NeverReachesOutside) {
  struct Command {
    const char* what;
    CommandFunction function;
    std::vector<std::string> args;
    std::function<bool()> done;
  } commands[] = {
      {"tidyup",
       createCleanDirCmd,
       {"D:\\out"},
       [] { return fakefs::kindOf(L"D:\\out") == Kind::Dir && fakefs::list(L"D:\\out").empty(); }},
      {"tidyup -D",
       createCleanDirCmd,
       {"D:\\out", "-D"},
       [] { return fakefs::kindOf(L"D:\\out") == Kind::Dir && holdsOnlyDirectories(L"D:\\out"); }},
      {"junctor -F",
       junctorCmd,
       {"D:\\out", "D:\\t", "-F"},
       [] {
         return fakefs::kindOf(L"D:\\out") == Kind::Junction &&
                fakefs::linkTarget(L"D:\\out") == L"D:\\t";
       }},
  };
  int won = 0, refused = 0;
  for (const Command& command : commands) {
    buildSwapTree();
    runCommand(command.function, command.args);
    for (const Call& call : callsOf(fakefs::log())) {
      for (std::wstring dir : {L"D:\\out\\sub", L"D:\\out\\sub\\deeper"}) {
        buildSwapTree();
        std::vector<std::wstring> victim = treeOf(L"D:\\victim");
        std::vector<std::wstring> movedWhenSwapped;
        bool swapped = false;
        fakefs::beforeCall(call.op, call.nth, [&] {
          if (fakefs::otherProcessRename(dir, L"D:\\moved") != 0) return;
          swapped = true;
          movedWhenSwapped = treeOf(L"D:\\moved");
          EXPECT_EQ(0u, fakefs::otherProcessReplaceWithJunction(dir, L"D:\\victim"));
        });
        CommandResult result = runCommand(command.function, command.args);
        SCOPED_TRACE(testing::Message() << command.what << ", before call " << (int)call.op << "#"
                                        << call.nth << ", " << narrow(dir));
        (swapped ? won : refused)++;
        EXPECT_EQ(victim, treeOf(L"D:\\victim"));
        if (swapped) {
          EXPECT_EQ(movedWhenSwapped, treeOf(L"D:\\moved"));
        }
        EXPECT_EQ(std::vector<std::wstring>{}, fakefs::list(L"D:\\t"));
        EXPECT_EQ(result.code == 0, command.done()) << result.err;
        EXPECT_EQ(0, fakefs::openHandles());
        EXPECT_EQ(0, fakefs::openFinds());
      }
    }
  }
  // Both sides happen: swaps before a directory is held, refusals while it is.
  EXPECT_GT(won, 0);
  EXPECT_GT(refused, 0);
  printf("swaps made: %d, refused or too late: %d\n", won, refused);
}

}  // namespace
