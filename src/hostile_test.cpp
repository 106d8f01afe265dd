// Hostile input for the three commands on the Windows-semantics file system:
// whatever comes in, the run ends with a code from its table and nothing
// outside what was named is removed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "junctor.h"
#include "platform/winapi-fake.h"
#include "realpath.h"
#include "test.h"
#include "tidyup.h"

using fakefs::Kind;

namespace {

const std::string kSee =
    ". See https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n";

// A canary tree on C: and a working directory D:\work with links into it.
void setUpTree() {
  fakefs::reset();
  fakefs::addDir(L"C:\\canary");
  fakefs::addFile(L"C:\\canary\\file");
  fakefs::addDir(L"C:\\canary\\sub");
  fakefs::addFile(L"C:\\canary\\sub\\file");
  fakefs::addDir(L"D:\\work");
  fakefs::addDir(L"D:\\work\\t");
  fakefs::addFile(L"D:\\work\\file");
  fakefs::addDir(L"D:\\work\\my dir");
  fakefs::addJunction(L"D:\\work\\self", L"D:\\work\\self");
  fakefs::addJunction(L"D:\\work\\dangling", L"D:\\gone");
  fakefs::addJunction(L"D:\\work\\tocanary", L"C:\\canary");
  fakefs::addFileLink(L"D:\\work\\canaryfile", L"C:\\canary\\file");
  fakefs::setCurrentDirectory(L"D:\\work");
}

std::vector<std::wstring> snapshot(const std::wstring& dir) {
  std::vector<std::wstring> entries;
  for (const std::wstring& name : fakefs::list(dir)) {
    std::wstring path = dir + L"\\" + name;
    entries.push_back(path + L" " + std::to_wstring((int)fakefs::kindOf(path)));
    if (fakefs::kindOf(path) == Kind::Dir) {
      for (const std::wstring& inner : snapshot(path)) entries.push_back(inner);
    }
  }
  return entries;
}

struct Row {
  CommandFunction command;
  std::vector<std::string> args;
  int code;
  std::string err;
  std::string out = "";
};

// A relative name whose full path in D:\work has `length` characters.
std::string nameForFullLength(size_t length) { return std::string(length - 8, 'n'); }

const char* kUsage = "usage";

void runRows(const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    setUpTree();
    std::vector<std::wstring> before = snapshot(L"C:\\canary");
    CommandResult result = runCommand(row.command, row.args);
    std::string shown;
    for (const std::string& arg : row.args) shown += "[" + arg.substr(0, 20) + "]";
    SCOPED_TRACE(shown);
    EXPECT_EQ(row.code, result.code);
    if (row.err == kUsage) {
      EXPECT_NE(std::string::npos, result.out.find(" Version: 2026-11-12\n"));
    } else {
      EXPECT_EQ(row.err, result.err);
      EXPECT_EQ(row.out, result.out);
    }
    EXPECT_EQ(before, snapshot(L"C:\\canary"));
    EXPECT_EQ(0, fakefs::openHandles());
    EXPECT_EQ(0, fakefs::openFinds());
  }
}

TEST(HostileInput, Junctor) {
  const std::string another =
      "ERROR-<link-path> has another destination, use -L to enable redirect\n";
  runRows({
      {junctorCmd, {"", ""}, 0, kUsage},
      {junctorCmd, {" ", "x"}, 2, "ERROR target does not exists as directory: D:\\work\\x\n"},
      {junctorCmd, {"\xff", "t"}, 6, "ERROR-invalid-link path-length\n"},
      {junctorCmd, {"l", "t\xc3"}, 7, "ERROR-invalid-target path-length\n"},
      // CreateDirectoryW takes at most 248 characters.
      {junctorCmd, {nameForFullLength(248), "t"}, 0, ""},
      {junctorCmd,
       {nameForFullLength(259), "t"},
       3,
       "ERROR create link directory, File name is too long, truncated even here: D:\\work\\" +
           nameForFullLength(259) + "\n"},
      {junctorCmd, {nameForFullLength(260), "t"}, 1, "ERROR-invalid-link-path\n"},
      {junctorCmd,
       {"l", nameForFullLength(258)},
       2,
       "ERROR target does not exists as directory: D:\\work\\" + nameForFullLength(258) + "\n"},
      {junctorCmd, {"l", nameForFullLength(261)}, 2, "ERROR-invalid-target-path\n"},
      {junctorCmd,
       {".", "t", "-F"},
       3,
       "ERROR D:\\work contains the D:\\work\\t, refused to remove it\n"},
      {junctorCmd,
       {"..", "t", "-F"},
       3,
       "ERROR D:\\ contains the D:\\work\\t, refused to remove it\n"},
      {junctorCmd,
       {"C:\\", "t", "-F"},
       5,
       "ERROR on deletion faulty directory tree instead symbLink, Windows error: 5: C:\\" + kSee},
      {junctorCmd,
       {"\\\\server\\share", "t", "-F"},
       5,
       "ERROR on deletion faulty directory tree instead symbLink, Windows error: 5: "
       "\\\\server\\share" +
           kSee},
      {junctorCmd, {"l", "\\\\server\\share"}, 2, "ERROR-target-must-be-a-drive-path\n"},
      {junctorCmd,
       {"file\\x", "t"},
       3,
       "ERROR create link directory, Path not found: D:\\work\\file\\x\n"},
      {junctorCmd,
       {"l", "file\\x"},
       2,
       "ERROR target does not exists as directory: D:\\work\\file\\x\n"},
      {junctorCmd, {"self", "t"}, 3, another},
      {junctorCmd, {"self", "t", "-L"}, 0, ""},
      {junctorCmd, {"dangling", "t", "-F"}, 0, ""},
      {junctorCmd, {"tocanary", "t", "-F"}, 0, ""},
      {junctorCmd,
       {"tocanary", "D:\\work\\tocanary\\sub", "-F"},
       3,
       "ERROR D:\\work\\tocanary contains the D:\\work\\tocanary\\sub, refused to remove it\n"},
      {junctorCmd,
       {"canaryfile", "t", "-F"},
       4,
       "ERROR-remove-existing-link-267 on <link-path> D:\\work\\canaryfile \n"},
      {junctorCmd, {"my dir", "t", "-F"}, 0, ""},
      {junctorCmd,
       {"*", "t"},
       3,
       "ERROR create link directory, Windows error: 123: D:\\work\\*" + kSee},
      {junctorCmd, {"-x", "t", "-FLT", "---", "-", ""}, 0, ""},
      {junctorCmd, {"l", "t", "--"}, 8, "ERROR unknown option - in argument:--"},
      {junctorCmd, {"l", "t", "-F-"}, 8, "ERROR unknown option - in argument:-F-"},
      {junctorCmd, {"l", "t", " -F"}, 8, "ERROR-faulty-argument: -F"},
  });
}

TEST(HostileInput, Realpath) {
  runRows({
      {realpath_cmd, {""}, 0, kUsage},
      {realpath_cmd, {"\xff"}, 6, "ERROR-invalid-link path-length\n"},
      {realpath_cmd, {"self"}, 0, ""},
      {realpath_cmd, {"dangling", "-a/"}, 0, ""},
      {realpath_cmd, {"file\\x"}, 0, ""},
      {realpath_cmd, {"C:\\"}, 0, "", "C:\\"},
      {realpath_cmd, {".", "-/"}, 0, "", "D:/work"},
      {realpath_cmd, {"..\\work\\tocanary\\sub"}, 0, "", "C:\\canary\\sub"},
      {realpath_cmd, {"*"}, 0, ""},
      {realpath_cmd, {"-x", "-x"}, 8, "ERROR unknown option x in argument:-x"},
      {realpath_cmd, {"t", "-Aa/", "---", "-", ""}, 0, "", "d:/work/t"},
      {realpath_cmd, {"t", "a/"}, 8, "ERROR-faulty-argument:a/"},
  });
}

TEST(HostileInput, Tidyup) {
  const std::string failed = "ERROR on clean directory tree, ";
  runRows({
      {createCleanDirCmd, {""}, 0, kUsage},
      {createCleanDirCmd, {" "}, 2, "ERROR argument 1 is empty >> <<\n"},
      {createCleanDirCmd, {"\xff"}, 2, "ERROR invalid link path length\n"},
      {createCleanDirCmd, {std::string(260, 'n')}, 2, "ERROR invalid link path length\n"},
      {createCleanDirCmd,
       {"C:\\"},
       1,
       "ERROR >tidyup C:\\ " + failed + "Windows error: 5: C:\\" + kSee},
      {createCleanDirCmd,
       {"\\\\server\\share\\", "-D"},
       1,
       "ERROR >tidyup \\\\server\\share\\ -D" + failed + "Windows error: 5: \\\\server\\share\\" +
           kSee},
      {createCleanDirCmd, {".."}, 1, "ERROR >tidyup .. " + failed + "Windows error: 5: .." + kSee},
      {createCleanDirCmd, {"\\"}, 1, "ERROR >tidyup \\ " + failed + "Windows error: 5: \\" + kSee},
      {createCleanDirCmd, {"."}, 0, ""},
      {createCleanDirCmd,
       {"file\\x"},
       1,
       "ERROR >tidyup file\\x " + failed + "Path not found: file\\x\n"},
      {createCleanDirCmd,
       {"self"},
       1,
       "ERROR >tidyup self " + failed + "File not found: self\\*\n"},
      {createCleanDirCmd,
       {"dangling"},
       1,
       "ERROR >tidyup dangling " + failed + "File not found: dangling\\*\n"},
      {createCleanDirCmd, {"*"}, 1, "ERROR >tidyup * " + failed + "Windows error: 123: *" + kSee},
      {createCleanDirCmd, {"my dir"}, 0, ""},
      {createCleanDirCmd, {"-x"}, 0, ""},
      {createCleanDirCmd, {"t", "--"}, 2, "ERROR invalide argument --\n"},
      {createCleanDirCmd, {"t", "-D", "-x"}, 0, ""},
  });
}

}  // namespace
