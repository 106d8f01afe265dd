// What the stress programs do to set up and clear their scratch trees.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace scratch_tree {

inline void fail(const std::string& what) {
  perror(what.c_str());
  exit(2);
}

inline void touch(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) fail(path);
  close(fd);
}

inline void makeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) fail(path);
}

inline int removeOne(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

// Removes `path` and everything below it; links are removed, never followed.
inline void removeAll(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (nftw(path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS) != 0) fail(path);
}

// Starts a command with its output thrown away.
inline pid_t startQuietly(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) fail(args[0]);
  return pid;
}

}  // namespace scratch_tree
