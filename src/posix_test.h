// A temporary directory and the shipped executables, for tests on the real
// file system.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct Result {
  int code;
  std::string out;
  std::string err;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CommandsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/junctor-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath(pattern, resolved));
    root = resolved;
  }
  void TearDown() override {
    nftw(
        root.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); },
        16, FTW_DEPTH | FTW_PHYS);
  }

  Result run(const char* exe, const std::vector<std::string>& args, const std::string& cwd = "") {
    std::string outFile = root + "/.stdout", errFile = root + "/.stderr";
    pid_t child = fork();
    if (child == 0) {
      if (chdir(cwd.empty() ? root.c_str() : cwd.c_str()) != 0) _exit(99);
      int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv{(char*)exe};
      for (const std::string& arg : args) argv.push_back((char*)arg.c_str());
      argv.push_back(nullptr);
      execv(exe, argv.data());
      _exit(98);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outFile),
                  readFile(errFile)};
    unlink(outFile.c_str());
    unlink(errFile.c_str());
    return result;
  }
  Result junctor(const std::vector<std::string>& args) { return run(JUNCTOR_EXE, args); }
  Result tidyup(const std::vector<std::string>& args, const std::string& cwd = "") {
    return run(TIDYUP_EXE, args, cwd);
  }
  Result realpathCmd(const std::vector<std::string>& args) { return run(REALPATH_EXE, args); }

  std::string at(const std::string& name) const { return root + "/" + name; }
  void mkdirs(const std::vector<std::string>& names) {
    for (const std::string& name : names) ASSERT_EQ(0, mkdir(at(name).c_str(), 0755)) << name;
  }
  void touch(const std::string& name) { std::ofstream(at(name)) << "x"; }
  void symlinkTo(const std::string& target, const std::string& name) {
    ASSERT_EQ(0, symlink(target.c_str(), at(name).c_str()));
  }
  std::string linkContent(const std::string& name) {
    char buf[PATH_MAX];
    ssize_t n = readlink(at(name).c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, n);
  }
  bool exists(const std::string& name) {
    struct stat st;
    return lstat(at(name).c_str(), &st) == 0;
  }
  bool isDir(const std::string& name) {
    struct stat st;
    return lstat(at(name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  bool isLink(const std::string& name) {
    struct stat st;
    return lstat(at(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  }

  std::string root;
};
