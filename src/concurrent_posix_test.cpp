// junctor meeting another process on the real file system: the other
// process's step is made at a fixed point, between the writer's open and its
// set, or before the run starts.
#include <dirent.h>
#include <stddef.h>
#include <string.h>
#include <sys/mount.h>

#include <algorithm>
#include <functional>

#include "platform/mountpoint_test.h"
#include "platform/winapi.h"
#include "posix_test.h"

namespace {

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class ConcurrentPosixTest : public CommandsTest {
 protected:
  // Names in the scratch directory: the writer's temporary names must not stay.
  std::vector<std::string> names() {
    std::vector<std::string> found;
    DIR* dir = opendir(root.c_str());
    while (struct dirent* e = dir ? readdir(dir) : nullptr) {
      if (e->d_name[0] != '.') found.push_back(e->d_name);
    }
    if (dir) closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
  }
};

TEST_F(ConcurrentPosixTest, WriterLeavesWhatAnotherProcessPutThere) {
  struct Case {
    const char* what;
    std::function<void()> step;
    DWORD code;
    std::function<bool()> after;
  } cases[] = {
      {"nothing", [] {}, 0, [this] { return linkContent("j") == at("target"); }},
      {"an entry written into the directory", [this] { touch("j/entry"); }, ERROR_DIR_NOT_EMPTY,
       [this] { return isDir("j") && exists("j/entry"); }},
      {"the directory replaced by a link",
       [this] {
         rmdir(at("j").c_str());
         symlinkTo(at("other"), "j");
       },
       ERROR_SHARING_VIOLATION, [this] { return linkContent("j") == at("other"); }},
      {"the directory replaced by another one",
       [this] {
         rmdir(at("j").c_str());
         mkdirs({"j"});
       },
       ERROR_SHARING_VIOLATION, [this] { return isDir("j"); }},
  };
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    SCOPED_TRACE(c.what);
    mkdirs({"target", "other", "j"});
    HANDLE writer = CreateFileW(wide(at("j")).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    c.step();
    std::vector<unsigned char> data = mountPoint(wide(at("target")));
    DWORD returned = 0;
    BOOL done = DeviceIoControl(writer, FSCTL_SET_REPARSE_POINT, data.data(), (DWORD)data.size(),
                                nullptr, 0, &returned, nullptr);
    EXPECT_EQ(c.code, done ? 0 : GetLastError());
    CloseHandle(writer);
    EXPECT_TRUE(c.after());
    EXPECT_EQ((std::vector<std::string>{"j", "other", "target"}), names());
  }
}

TEST_F(ConcurrentPosixTest, TargetReachedThroughTheLinkIsRefused) {
  mkdirs({"victim", "victim/sub", "keep", "a"});
  symlinkTo(at("victim"), "lnk");
  symlinkTo(at("lnk/sub"), "T");
  symlinkTo("../keep", "a/x");
  symlinkTo(at("a/x"), "b");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"lnk", "T", "-L"},
       "ERROR " + at("lnk") + " contains the " + at("T") + ", refused to remove it\n"},
      {{"lnk", "T", "-F"},
       "ERROR " + at("lnk") + " contains the " + at("T") + ", refused to remove it\n"},
      {{"a", "b", "-F"},
       "ERROR " + at("a") + " contains the " + at("b") + ", refused to remove it\n"},
  };
  for (const Case& c : cases) {
    Result result = junctor(c.args);
    EXPECT_EQ(3, result.code) << c.args[0];
    EXPECT_EQ(c.err, result.err);
  }
  EXPECT_EQ(at("victim"), linkContent("lnk"));
  EXPECT_EQ(at("lnk/sub"), linkContent("T"));
  EXPECT_EQ("../keep", linkContent("a/x"));
}

// The target's path text and final path show no link into the tree; only
// its identity does.
TEST_F(ConcurrentPosixTest, TargetInsideTheTreeThroughABindMountIsRefused) {
  mkdirs({"tree", "tree/sub", "view"});
  touch("tree/sub/keep");
  if (mount(at("tree").c_str(), at("view").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "no bind mount here (needs root): " << strerror(errno);
  }
  Result result = junctor({"tree", "view/sub", "-F"});
  umount(at("view").c_str());
  EXPECT_EQ(3, result.code);
  EXPECT_EQ("ERROR " + at("tree") + " contains the " + at("view/sub") + ", refused to remove it\n",
            result.err);
  EXPECT_TRUE(exists("tree/sub/keep"));
}

TEST_F(ConcurrentPosixTest, CurrentDirectoryIsNeverCleared) {
  mkdirs({"target", "out", "out/sub"});
  touch("out/sub/keep");
  symlinkTo(at("out"), "alias");
  for (const char* current : {"out", "out/sub", "alias/sub"}) {
    Result result = run(JUNCTOR_EXE, {at("out"), at("target"), "-F"}, at(current));
    EXPECT_EQ(5, result.code) << current;
    EXPECT_EQ(
        "ERROR on deletion faulty directory tree instead symbLink, File/Dir is shared by another "
        "process: " +
            at("out") + "\n",
        result.err);
  }
  EXPECT_TRUE(exists("out/sub/keep"));
  EXPECT_EQ(0, junctor({"out", "target", "-F"}).code);
  EXPECT_EQ(at("target"), linkContent("out"));
}

}  // namespace
