// What the stress programs do to set up and clear their scratch trees.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

}  // namespace scratch_tree
