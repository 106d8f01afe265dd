// The shipped executables on the real file system, in temporary directories.
#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>

#include "posix_test.h"

namespace {

TEST_F(CommandsTest, FreshLinkLeadsToTheTargetsAbsolutePath) {
  mkdirs({"target", "build"});
  touch("target/content.txt");
  Result result = run(JUNCTOR_EXE, {"build/out", "target/"}, root);
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ("", result.out + result.err);
  EXPECT_EQ(at("target"), linkContent("build/out"));
  EXPECT_TRUE(exists("build/out/content.txt"));
}

TEST_F(CommandsTest, MissingLinkParentIsReported) {
  mkdirs({"target"});
  Result result = junctor({"missing/out", "target"});
  EXPECT_EQ(3, result.code);
  EXPECT_EQ("ERROR create link directory, Path not found: " + at("missing/out") + "\n", result.err);
}

TEST_F(CommandsTest, RefusalsKeepTheirTextAndCode) {
  mkdirs({"target"});
  touch("file");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err;
  } cases[] = {
      {{"out", "missing"}, 2, "ERROR target does not exists as directory: " + at("missing") + "\n"},
      {{"out", "file"}, 2, "ERROR target does not exists as directory: " + at("file") + "\n"},
      {{"out", "target", "-X"}, 8, "ERROR unknown option X in argument:-X"},
      {{"out", "target", "x"}, 8, "ERROR-faulty-argument:x"},
      {{std::string(260, 'l'), "target"}, 6, "ERROR-invalid-link path-length\n"},
      {{"out", std::string(260, 't')}, 7, "ERROR-invalid-target path-length\n"},
      {{std::string(255, 'l'), "target"}, 1, "ERROR-invalid-link-path\n"},
      {{"out", std::string(255, 't')}, 2, "ERROR-invalid-target-path\n"},
  };
  for (const Case& c : cases) {
    Result result = junctor(c.args);
    EXPECT_EQ(c.code, result.code) << c.err;
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_FALSE(exists("out"));
}

// Each row: what stands at the link, the option, the exit code, the message.
TEST_F(CommandsTest, ExistingLinkPathIsClearedAsTheOptionsAllow) {
  const std::string another =
      "ERROR-<link-path> has another destination, use -L to enable redirect\n";
  const std::string directory =
      "ERROR <link-path> refers to a normal directory, use -F to force remove\n";
  const std::string file = "ERROR-<link-path> refers to a file, use -F to force remove\n";
  enum At { Nothing, LinkToTarget, OtherLink, Dangling, Directory, File };
  struct Case {
    At at;
    const char* option;
    int code;
    std::string err;
  } cases[] = {
      {LinkToTarget, "", 0, ""},     {LinkToTarget, "-L", 0, ""},     {LinkToTarget, "-F", 0, ""},
      {Nothing, "", 0, ""},          {Nothing, "-L", 0, ""},          {Nothing, "-F", 0, ""},
      {OtherLink, "", 3, another},   {OtherLink, "-L", 0, ""},        {OtherLink, "-F", 0, ""},
      {Dangling, "", 3, another},    {Dangling, "-L", 0, ""},         {Dangling, "-F", 0, ""},
      {Directory, "", 3, directory}, {Directory, "-L", 3, directory}, {Directory, "-F", 0, ""},
      {File, "", 3, file},           {File, "-L", 3, file},           {File, "-F", 0, ""},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    mkdirs({"target", "other"});
    touch("other/canary");
    switch (c.at) {
      case Nothing:
        break;
      case LinkToTarget:
        symlinkTo(at("target"), "out");
        break;
      case OtherLink:
        symlinkTo(at("other"), "out");
        break;
      case Dangling:
        symlinkTo(at("gone"), "out");
        break;
      case Directory:
        mkdirs({"out", "out/sub"});
        touch("out/sub/file");
        symlinkTo(at("other"), "out/sub/link");
        symlinkTo(at("other/canary"), "out/filelink");
        break;
      case File:
        touch("out");
        break;
    }
    Result result = junctor({"out", "target", c.option});
    SCOPED_TRACE(testing::Message() << "row " << c.at << " " << c.option);
    EXPECT_EQ(c.code, result.code);
    EXPECT_EQ(c.err, result.err);
    if (c.code == 0) {
      EXPECT_EQ(at("target"), linkContent("out"));
    }
    EXPECT_TRUE(exists("other/canary"));
  }
}

TEST_F(CommandsTest, SecondIdenticalRunChangesNothing) {
  mkdirs({"target"});
  ASSERT_EQ(0, junctor({"out", "target"}).code);
  struct stat before;
  ASSERT_EQ(0, lstat(at("out").c_str(), &before));
  sleep(1);
  for (const char* target : {"target", "target/", "./target"}) {
    Result result = junctor({"out", target, "-F"});
    EXPECT_EQ(0, result.code) << result.err;
  }
  struct stat after;
  ASSERT_EQ(0, lstat(at("out").c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
}

TEST_F(CommandsTest, LetterCaseCountsForLinkTargets) {
  mkdirs({"v", "V"});
  symlinkTo(at("v"), "out");
  Result result = junctor({"out", "V"});
  EXPECT_EQ(3, result.code);
  EXPECT_EQ(at("v"), linkContent("out"));
}

TEST_F(CommandsTest, TargetReachedThroughALinkIsAlreadyThere) {
  mkdirs({"real", "real/out"});
  symlinkTo(at("real"), "alias");
  ASSERT_EQ(0, junctor({"link", "alias/out"}).code);
  Result again = junctor({"link", "alias/out"});
  EXPECT_EQ(0, again.code) << again.err;
}

// The second row was found by fuzzing: the target lies in the tree only
// through a link.
TEST_F(CommandsTest, ForceNeverRemovesTheTarget) {
  mkdirs({"out", "out/target", "a", "a/a"});
  touch("out/target/keep");
  touch("a/a/keep");
  symlinkTo(at("a/a"), "b");
  struct Case {
    std::string link, target, keep;
  } cases[] = {{"out", "out/target", "out/target/keep"}, {"a", "b", "a/a/keep"}};
  for (const Case& c : cases) {
    Result result = junctor({c.link, c.target, "-F"});
    EXPECT_EQ(3, result.code) << c.link;
    EXPECT_EQ("ERROR " + at(c.link) + " contains the " + at(c.target) + ", refused to remove it\n",
              result.err);
    EXPECT_TRUE(exists(c.keep));
  }
}

TEST_F(CommandsTest, CreatesTheTargetUnderT) {
  touch("file");
  EXPECT_EQ(0, junctor({"out", "new/deeper", "-T"}).code);
  EXPECT_EQ(at("new/deeper"), linkContent("out"));
  Result refused = junctor({"out2", "file", "-T"});
  EXPECT_EQ(2, refused.code);
  EXPECT_NE(std::string::npos, refused.err.find("ERROR creation directory, Windows error: 80: "));
  EXPECT_EQ(0, junctor({"out2", "file", "-FT"}).code);
  EXPECT_TRUE(isDir("file"));
}

TEST_F(CommandsTest, RealpathFollowsLinksAndConverts) {
  mkdirs({"Real", "Real/Sub"});
  symlinkTo(at("Real"), "link");
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{at("link/Sub")}, at("Real/Sub")},
      {{at("link") + "\\Sub\\", "-/"}, at("Real/Sub")},
      {{at("link/Sub"), "-a"}, at("real/sub")},
      {{at("link/Sub"), "-aA"}, at("REAL/SUB")},
      {{at("missing")}, ""},
  };
  for (const Case& c : cases) {
    Result result = realpathCmd(c.args);
    EXPECT_EQ(0, result.code);
    if (c.out.empty()) {
      EXPECT_EQ("", result.out);
    } else {
      // Case conversion covers the whole path, the temporary root included.
      EXPECT_EQ(c.out.substr(root.size()), result.out.substr(root.size())) << c.args[0];
      EXPECT_EQ(c.out.size(), result.out.size());
    }
  }
}

TEST_F(CommandsTest, TidyupNeverFollowsALinkInside) {
  mkdirs({"canaries", "canaries/dir", "out", "out/sub", "out/sub/deeper"});
  touch("canaries/dir/canary");
  touch("canaries/file");
  touch("out/a");
  touch("out/sub/deeper/b");
  symlinkTo(at("canaries/dir"), "out/dirlink");
  symlinkTo(at("canaries/dir"), "out/sub/dirlink");
  symlinkTo(at("canaries/file"), "out/filelink");
  symlinkTo(at("gone"), "out/dangling");
  Result result = tidyup({"out"}, root);
  EXPECT_EQ(0, result.code) << result.err;
  EXPECT_EQ("", result.out + result.err);
  EXPECT_TRUE(isDir("out"));
  EXPECT_FALSE(exists("out/a"));
  EXPECT_FALSE(exists("out/sub"));
  EXPECT_FALSE(exists("out/dirlink"));
  EXPECT_FALSE(exists("out/dangling"));
  EXPECT_TRUE(exists("canaries/dir/canary"));
  EXPECT_TRUE(exists("canaries/file"));
}

TEST_F(CommandsTest, TidyupKeepDirsAndLinkGivenAsPath) {
  mkdirs({"real", "real/sub"});
  touch("real/a");
  touch("real/sub/b");
  symlinkTo(at("real"), "link");
  EXPECT_EQ(0, tidyup({"link", "-D"}).code);
  EXPECT_FALSE(exists("real/a"));
  EXPECT_TRUE(exists("real/sub/b"));
  EXPECT_EQ(0, tidyup({"link/"}).code);
  EXPECT_TRUE(isLink("link"));
  EXPECT_FALSE(exists("real/sub"));
}

TEST_F(CommandsTest, TidyupCreatesMissingPaths) {
  mkdirs({"cwd"});
  touch("file");
  EXPECT_EQ(0, tidyup({at("a/b/c")}).code);
  EXPECT_TRUE(isDir("a/b/c"));
  EXPECT_EQ(0, tidyup({"out"}, at("cwd")).code);
  EXPECT_TRUE(isDir("cwd/out"));
  EXPECT_EQ(0, tidyup({"file"}).code);
  EXPECT_TRUE(isDir("file"));
}

TEST_F(CommandsTest, TidyupReportsWhatItCannotDelete) {
  if (geteuid() == 0) GTEST_SKIP() << "root may delete anything";
  mkdirs({"out", "out/locked"});
  touch("out/locked/file");
  chmod(at("out/locked").c_str(), 0555);
  Result result = tidyup({"out"});
  chmod(at("out/locked").c_str(), 0755);
  EXPECT_EQ(1, result.code);
  EXPECT_EQ(
      "ERROR >tidyup out ERROR on clean directory tree, Windows error: 5: out/locked/file. See "
      "https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-\n",
      result.err);
}

TEST_F(CommandsTest, NonAsciiPathsPassUnchanged) {
  mkdirs({"caf\xc3\xa9", "caf\xc3\xa9/\xe6\x97\xa5"});
  touch("caf\xc3\xa9/\xe6\x97\xa5/f");
  EXPECT_EQ(0, junctor({"l\xc3\xafnk", "caf\xc3\xa9"}).code);
  EXPECT_EQ(at("caf\xc3\xa9"), linkContent("l\xc3\xafnk"));
  EXPECT_EQ(at("caf\xc3\xa9/\xe6\x97\xa5"), realpathCmd({at("l\xc3\xafnk/\xe6\x97\xa5")}).out);
  Result missing = junctor({"l\xc3\xafnk", "n\xc3\xb6"});
  EXPECT_EQ("ERROR target does not exists as directory: " + at("n\xc3\xb6") + "\n", missing.err);
  EXPECT_EQ(0, tidyup({"l\xc3\xafnk"}).code);
  EXPECT_FALSE(exists("caf\xc3\xa9/\xe6\x97\xa5"));
}

TEST_F(CommandsTest, NamesThatAreNotUtf8AreStillRemoved) {
  mkdirs({"out", "out/\xff\xfe"});
  touch("out/\xff\xfe/\x80");
  EXPECT_EQ(0, tidyup({"out"}).code);
  EXPECT_FALSE(exists("out/\xff\xfe"));
}

// Found by fuzzing.
TEST_F(CommandsTest, LongNonAsciiTargetStaysIdempotent) {
  std::string name;
  for (int i = 0; i < 120; i++) name += "\xc3\xa9";  // 240 bytes, 120 characters
  mkdirs({name});
  ASSERT_GT(at(name).size(), 260u);
  ASSERT_EQ(0, junctor({"out", name}).code);
  Result again = junctor({"out", name});
  EXPECT_EQ(0, again.code) << again.err;
}

// Windows takes ".." away as text before any call: after a link it goes
// back to the link's own directory, never to its target's parent.
TEST_F(CommandsTest, DotDotAfterALinkStaysBesideTheLink) {
  mkdirs({"w", "w/build", "w/build/old", "elsewhere", "elsewhere/x", "t"});
  touch("elsewhere/canary");
  touch("elsewhere/x/file");
  symlinkTo(at("elsewhere/x"), "w/build/link");
  EXPECT_EQ(root + "/w/build", realpathCmd({"w/build/link/.."}).out);
  Result made = junctor({"w/build/link/../made", "t"});
  EXPECT_EQ(0, made.code) << made.err;
  EXPECT_TRUE(isLink("w/build/made"));
  EXPECT_FALSE(exists("elsewhere/made"));
  Result cleaned = tidyup({"build/link/.."}, at("w"));
  EXPECT_EQ(0, cleaned.code) << cleaned.err;
  EXPECT_FALSE(exists("w/build/link"));
  EXPECT_FALSE(exists("w/build/old"));
  EXPECT_TRUE(isDir("w/build"));
  EXPECT_TRUE(exists("elsewhere/canary"));
  EXPECT_TRUE(exists("elsewhere/x/file"));
  mkdirs({"w/out", "w/out/inner"});
  Result inner = tidyup({"inner/.."}, at("w/out"));
  EXPECT_EQ(0, inner.code) << inner.err;
  EXPECT_FALSE(exists("w/out/inner"));
}

// A backslash is a plain character in a name here; the program's own
// separators never split one.
TEST_F(CommandsTest, BackslashInANameIsNoSeparator) {
  mkdirs({"build", "build/keepdir", "build/a\\b", "victim", "lnk", "other", "t"});
  touch("build/..\\victim");
  touch("build/keepdir\\data");
  touch("build/keepdir/data");
  touch("victim/file");
  touch("lnk/..\\other");
  touch("other/file");
  Result kept = tidyup({"build", "-D"});
  EXPECT_EQ(0, kept.code) << kept.err;
  EXPECT_FALSE(exists("build/keepdir\\data"));
  EXPECT_TRUE(exists("build/keepdir/data"));
  EXPECT_TRUE(isDir("build/a\\b"));
  touch("build/..\\victim");
  Result cleaned = tidyup({"build"});
  EXPECT_EQ(0, cleaned.code) << cleaned.err;
  EXPECT_FALSE(exists("build/..\\victim"));
  EXPECT_FALSE(exists("build/a\\b"));
  EXPECT_TRUE(exists("victim/file"));
  Result forced = junctor({"lnk", "t", "-F"});
  EXPECT_EQ(0, forced.code) << forced.err;
  EXPECT_TRUE(isLink("lnk"));
  EXPECT_TRUE(exists("other/file"));
  mkdirs({"t/x\\y"});
  symlinkTo(at("t/x\\y"), "l2");
  EXPECT_EQ(at("t/x\\y"), realpathCmd({"l2"}).out);
}

TEST_F(CommandsTest, PathBytesThatAreNotUtf8ComeBackAsTheyWent) {
  mkdirs({"\xff", "\xc3\xbf", "build"});
  touch("\xc3\xbf/canary");
  symlinkTo(at("\xff"), "build/out");
  Result path = realpathCmd({"build/out"});
  EXPECT_EQ(at("\xff"), path.out);
  EXPECT_EQ(0, tidyup({path.out}).code);
  EXPECT_TRUE(exists("\xc3\xbf/canary"));
  EXPECT_EQ(0, junctor({"build/out", at("\xff")}).code);
  EXPECT_EQ(at("\xff"), linkContent("build/out"));
  Result missing = junctor({"l", "n\xfe"});
  EXPECT_EQ("ERROR target does not exists as directory: " + at("n\xfe") + "\n", missing.err);
}

// Mounting needs root; each test runs in its own process, and the mounts
// are made in a private namespace so that none outlives it.
class MountTest : public CommandsTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
      GTEST_SKIP() << "no private mount namespace: " << strerror(errno);
    }
    CommandsTest::SetUp();
  }
  void bind(const std::string& from, const std::string& to) {
    ASSERT_EQ(0, mount(at(from).c_str(), at(to).c_str(), nullptr, MS_BIND, nullptr)) << to;
  }
  void TearDown() override {
    if (root.empty()) return;
    for (const char* m : {"out/m", "lnk/m"}) umount2(at(m).c_str(), MNT_DETACH);
    CommandsTest::TearDown();
  }
};

TEST_F(MountTest, AMountInsideATreeIsNeverEntered) {
  mkdirs({"cache", "out", "out/m", "lnk", "lnk/m", "t"});
  touch("cache/keep");
  bind("cache", "out/m");
  bind("cache", "lnk/m");
  Result kept = tidyup({"out", "-D"});
  EXPECT_EQ(0, kept.code) << kept.err;
  Result cleaned = tidyup({"out"});
  EXPECT_EQ(1, cleaned.code);
  EXPECT_EQ(
      "ERROR >tidyup out ERROR on clean directory tree, File/Dir is shared by another "
      "process: out/m\n",
      cleaned.err);
  Result forced = junctor({"lnk", "t", "-F"});
  EXPECT_EQ(5, forced.code);
  EXPECT_NE(std::string::npos, forced.err.find("shared by another process: " + at("lnk/m")));
  EXPECT_TRUE(exists("cache/keep"));
  Result given = tidyup({"out/m"});
  EXPECT_EQ(0, given.code) << given.err;
  EXPECT_FALSE(exists("cache/keep"));
}

// The commands run in a chroot holding only themselves, so that a fault
// that reaches the root clears that one directory.
class ChrootTest : public CommandsTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
    CommandsTest::SetUp();
    copyWithLibraries(TIDYUP_EXE, "/tidyup");
  }
  void copyWithLibraries(const std::string& exe, const std::string& as) {
    copy(exe, as);
    FILE* ldd = popen(("ldd " + exe).c_str(), "r");
    ASSERT_NE(nullptr, ldd);
    char line[PATH_MAX];
    while (fgets(line, sizeof line, ldd)) {
      char* lib = strchr(line, '/');
      if (!lib) continue;
      lib[strcspn(lib, " \n")] = 0;
      copy(lib, lib);
    }
    pclose(ldd);
  }
  void copy(const std::string& from, const std::string& to) {
    for (size_t slash = to.find('/', 1); slash != std::string::npos;
         slash = to.find('/', slash + 1)) {
      mkdir((root + to.substr(0, slash)).c_str(), 0755);
    }
    std::ifstream in(from, std::ios::binary);
    std::ofstream(root + to, std::ios::binary) << in.rdbuf();
    chmod((root + to).c_str(), 0755);
  }
  Result inChroot(const std::vector<std::string>& args) {
    std::string outFile = root + "/.stdout", errFile = root + "/.stderr";
    pid_t child = fork();
    if (child == 0) {
      // The sanitizers read their options from /proc, which lives in this
      // child's own mount namespace.
      std::string proc = root + "/proc";
      mkdir(proc.c_str(), 0555);
      if (unshare(CLONE_NEWNS) == 0 &&
          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
        mount("proc", proc.c_str(), "proc", 0, nullptr);
      }
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
      if (chroot(root.c_str()) != 0 || chdir("/") != 0) _exit(99);
      int err = open("/.stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      std::vector<char*> argv{(char*)"/tidyup"};
      for (const std::string& arg : args) argv.push_back((char*)arg.c_str());
      argv.push_back(nullptr);
      execv("/tidyup", argv.data());
      _exit(98);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", readFile(errFile)};
    unlink(errFile.c_str());
    return result;
  }
};

TEST_F(ChrootTest, TheRootIsTheDirectoryCreationsAncestor) {
  Result made = inChroot({"/newdir"});
  EXPECT_EQ(0, made.code) << made.err;
  EXPECT_TRUE(isDir("newdir"));
}

TEST_F(ChrootTest, ALinkToTheRootIsRefusedLikeTheRoot) {
  mkdirs({"canary"});
  touch("canary/file");
  symlinkTo("/", "lnk");
  Result refused = inChroot({"/lnk"});
  EXPECT_EQ(1, refused.code);
  EXPECT_TRUE(exists("canary/file"));
  EXPECT_TRUE(exists("tidyup"));
}
}  // namespace
