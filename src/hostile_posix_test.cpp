// Hostile input for the shipped executables on the real file system: every
// run ends with a code from its table, and a canary tree beside the working
// directory, reachable through links, stays as it was.
#include <set>

#include "platform/pathrules.h"
#include "posix_test.h"

namespace {

class HostileTest : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    work = at("a/work");
    buildTree();
  }

  void buildTree() {
    mkdirs({"canary", "canary/sub", "a", "a/work", "a/work/t", "a/work/my dir"});
    touch("canary/file");
    touch("canary/sub/file");
    touch("a/work/file");
    symlinkTo(work + "/self", "a/work/self");
    symlinkTo(at("gone"), "a/work/dangling");
    symlinkTo(at("canary"), "a/work/tocanary");
    symlinkTo(at("canary/file"), "a/work/canaryfile");
  }

  std::set<std::string> canary() {
    static std::set<std::string>* entries;
    std::set<std::string> found;
    entries = &found;
    nftw(
        at("canary").c_str(),
        [](const char* path, const struct stat* st, int type, FTW*) {
          entries->insert(std::string(path) + " " + std::to_string(type) + " " +
                          std::to_string(st->st_size));
          return 0;
        },
        16, FTW_PHYS);
    return found;
  }

  struct Row {
    const char* exe;
    std::vector<std::string> args;
    int code;
    std::string err;
    std::string out = "";
  };

  void runRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      nftw(
          root.c_str(),
          [](const char* path, const struct stat*, int, FTW* at) {
            return at->level > 0 ? remove(path) : 0;
          },
          16, FTW_DEPTH | FTW_PHYS);
      buildTree();
      std::set<std::string> before = canary();
      Result result = run(row.exe, row.args, work);
      std::string shown;
      for (const std::string& arg : row.args) shown += "[" + arg.substr(0, 20) + "]";
      SCOPED_TRACE(shown);
      EXPECT_EQ(row.code, result.code);
      if (row.err == "usage") {
        EXPECT_NE(std::string::npos, result.out.find(" Version: 2026-11-12\n"));
      } else {
        EXPECT_EQ(row.err, result.err);
        EXPECT_EQ(row.out, result.out);
      }
      EXPECT_EQ(before, canary());
    }
  }

  // A relative name whose full path in the working directory has `length`
  // characters.
  std::string nameForFullLength(size_t length) {
    return std::string(length - work.size() - 1, 'n');
  }
  std::string in(const std::string& name) { return work + "/" + name; }

  std::string work;
};

const std::string kSee =
    ". See https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n";

TEST_F(HostileTest, Junctor) {
  const std::string another =
      "ERROR-<link-path> has another destination, use -L to enable redirect\n";
  const char* j = JUNCTOR_EXE;
  runRows({
      {j, {"", ""}, 0, "usage"},
      {j, {" ", "x"}, 2, "ERROR target does not exists as directory: " + in("x") + "\n"},
      {j, {"\xff", "t"}, 0, ""},
      {j, {"l", "t\xc3"}, 2, "ERROR target does not exists as directory: " + in("t\xc3") + "\n"},
      {j, {nameForFullLength(259), "t"}, 0, ""},
      {j, {nameForFullLength(260), "t"}, 1, "ERROR-invalid-link-path\n"},
      {j,
       {"l", nameForFullLength(258)},
       2,
       "ERROR target does not exists as directory: " + in(nameForFullLength(258)) + "\n"},
      {j, {"l", nameForFullLength(261)}, 2, "ERROR-invalid-target-path\n"},
      {j,
       {".", "t", "-F"},
       3,
       "ERROR " + work + " contains the " + in("t") + ", refused to remove it\n"},
      {j,
       {"..", "t", "-F"},
       3,
       "ERROR " + at("a") + " contains the " + in("t") + ", refused to remove it\n"},
      {j, {"/", "t", "-F"}, 3, "ERROR / contains the " + in("t") + ", refused to remove it\n"},
      {j,
       {"file/x", "t"},
       3,
       "ERROR create link directory, Path not found: " + in("file/x") + "\n"},
      {j, {"l", "file/x"}, 2, "ERROR target does not exists as directory: " + in("file/x") + "\n"},
      {j, {"self", "t"}, 3, another},
      {j, {"self", "t", "-L"}, 0, ""},
      {j, {"dangling", "t", "-F"}, 0, ""},
      {j, {"tocanary", "t", "-F"}, 0, ""},
      {j,
       {"tocanary", "tocanary/sub", "-F"},
       3,
       "ERROR " + in("tocanary") + " contains the " + in("tocanary/sub") +
           ", refused to remove it\n"},
      {j,
       {"canaryfile", "t", "-F"},
       4,
       "ERROR-remove-existing-link-267 on <link-path> " + in("canaryfile") + " \n"},
      {j, {"my dir", "t", "-F"}, 0, ""},
      {j, {"*", "t"}, 0, ""},
      {j, {"-x", "t", "-FLT", "---", "-", ""}, 0, ""},
      {j, {"l", "t", "--"}, 8, "ERROR unknown option - in argument:--"},
      {j, {"l", "t", " -F"}, 8, "ERROR-faulty-argument: -F"},
  });
}

TEST_F(HostileTest, Realpath) {
  const char* r = REALPATH_EXE;
  runRows({
      {r, {""}, 0, "usage"},
      {r, {"t\xff/.."}, 0, "", work},
      {r, {"self"}, 0, ""},
      {r, {"dangling", "-a/"}, 0, ""},
      {r, {"file/x"}, 0, ""},
      {r, {"/"}, 0, "", "/"},
      {r, {".\\"}, 0, "", work},
      {r, {"../work/tocanary/sub"}, 0, "", at("canary/sub")},
      {r, {"?"}, 0, ""},
      {r, {"-x", "-x"}, 8, "ERROR unknown option x in argument:-x"},
      {r, {"t", "a/"}, 8, "ERROR-faulty-argument:a/"},
  });
}

TEST_F(HostileTest, Tidyup) {
  const std::string failed = "ERROR on clean directory tree, ";
  const char* t = TIDYUP_EXE;
  // "/" is refused like any volume root (see VolumeRoots); it is not tried
  // here, where a fault would clear the machine.
  runRows({
      {t, {""}, 0, "usage"},
      {t, {" "}, 2, "ERROR argument 1 is empty >> <<\n"},
      {t, {"\xff"}, 0, ""},
      {t, {std::string(260, 'n')}, 2, "ERROR invalid link path length\n"},
      {t, {"."}, 0, ""},
      {t, {"file/x"}, 1, "ERROR >tidyup file/x " + failed + "Path not found: file/x\n"},
      {t, {"self"}, 1, "ERROR >tidyup self " + failed + "File not found: self/*\n"},
      {t, {"dangling"}, 1, "ERROR >tidyup dangling " + failed + "File not found: dangling/*\n"},
      {t, {"*"}, 0, ""},
      {t, {"my dir"}, 0, ""},
      {t, {"-x"}, 0, ""},
      {t, {"t", "--"}, 2, "ERROR invalide argument --\n"},
  });
}

TEST(VolumeRoots, OnlyTheRootIsOne) {
  EXPECT_TRUE(isVolumeRoot(L"/"));
  EXPECT_TRUE(isVolumeRoot(L"//"));
  EXPECT_FALSE(isVolumeRoot(L"/tmp"));
  EXPECT_FALSE(isVolumeRoot(L""));
}

}  // namespace
