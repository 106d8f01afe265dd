// How often does a directory that turns into a symbolic link while tidyup or
// junctor -F clears the tree let the command reach through the link? A
// second thread keeps swapping one directory of a large tree for a link to a
// canary directory and back; after each try the canary's files are counted.
// The outcome depends on timing, so this runs outside the tests.
//
// Usage: linkrace [TRIES] [SECONDS]   (per command; defaults 200 and 60)
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "scratch.h"

namespace {

using namespace scratch_tree;

const int kDirs = 200;
const int kFilesPerDir = 20;
const int kCanaryFiles = 20;

std::string scratch, tree, canary, away, target, victim;

void buildTree() {
  makeDir(tree);
  char name[32];
  for (int d = 0; d < kDirs; d++) {
    snprintf(name, sizeof name, "/d%03d", d);
    std::string dir = tree + name;
    makeDir(dir);
    for (int f = 0; f < kFilesPerDir; f++) touch(dir + "/f" + std::to_string(f));
  }
}

// Counts the canary's files that are gone, and puts them back.
int restoreCanary() {
  struct stat st;
  if (lstat(canary.c_str(), &st) != 0) makeDir(canary);
  int missing = 0;
  for (int f = 0; f < kCanaryFiles; f++) {
    std::string file = canary + "/c" + std::to_string(f);
    if (lstat(file.c_str(), &st) == 0) continue;
    missing++;
    touch(file);
  }
  return missing;
}

// Swaps the victim directory for a link to the canary and back until told to
// stop; what it could not put back (the command took the tree) goes.
void swapVictim(const std::atomic<bool>& stop, long* links) {
  while (!stop.load(std::memory_order_relaxed)) {
    if (rename(victim.c_str(), away.c_str()) != 0) continue;
    if (symlink(canary.c_str(), victim.c_str()) == 0 && unlink(victim.c_str()) == 0) ++*links;
    rename(away.c_str(), victim.c_str());
  }
  removeAll(away);
}

int runQuietly(const std::vector<std::string>& args) {
  pid_t pid = startQuietly(args);
  int status;
  if (waitpid(pid, &status, 0) != pid) fail("waitpid");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void race(const char* label, const std::vector<std::string>& command, int maxTries,
          double maxSeconds) {
  auto start = std::chrono::steady_clock::now();
  int tries = 0, touched = 0;
  long links = 0;
  std::map<int, int> exits;
  while (tries < maxTries &&
         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
             maxSeconds) {
    removeAll(tree);
    removeAll(target);  // the swapper may have reached it through the finished link
    makeDir(target);
    buildTree();
    std::atomic<bool> stop(false);
    std::thread swapper(swapVictim, std::ref(stop), &links);
    exits[runQuietly(command)]++;
    stop = true;
    swapper.join();
    tries++;
    touched += restoreCanary() > 0;
  }
  std::string codes;
  for (const auto& exit : exits) {
    codes += " " + std::to_string(exit.first) + ":" + std::to_string(exit.second);
  }
  printf("%s: canary touched in %d of %d tries (exit code:count%s; %ld links made)\n", label,
         touched, tries, codes.c_str(), links);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int maxTries = argc > 1 ? atoi(argv[1]) : 200;
  double maxSeconds = argc > 2 ? atof(argv[2]) : 60;
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/linkrace-XXXXXX";
  if (!mkdtemp(&pattern[0])) fail(pattern);
  scratch = pattern;
  tree = scratch + "/tree";
  canary = scratch + "/canary";
  away = scratch + "/away";
  target = scratch + "/target";
  victim = tree + "/d100";
  restoreCanary();
  printf("%d directories of %d files; %s swapped for a link to the canary\n", kDirs, kFilesPerDir,
         victim.c_str());
  fflush(stdout);

  race("tidyup", {TIDYUP_EXE, tree}, maxTries, maxSeconds);
  race("junctor -F", {JUNCTOR_EXE, tree, target, "-F"}, maxTries, maxSeconds);

  removeAll(scratch);
  return 0;
}
