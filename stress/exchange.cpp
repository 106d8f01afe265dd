// The exchange attack: while a command empties tree/sub, which holds many
// files, another process swaps sub in one step (renameat2 RENAME_EXCHANGE)
// with a link to a victim directory holding files of the same names. After
// each try the victim's files are counted. The swap is made at the first
// deletion inside sub, seen through inotify, so each try hits the wide window
// in which the directory is being emptied.
//
// Usage: exchange [TRIES] [FILES] [DIR]   (defaults 20, 5000, $TMPDIR or /tmp)
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "scratch.h"

namespace {

using namespace scratch_tree;

std::string scratch, tree, sub, victim, swapLink, target;
int files = 5000;

void fill(const std::string& dir) {
  makeDir(dir);
  for (int f = 0; f < files; f++) touch(dir + "/f" + std::to_string(f));
}

int victimFiles() {
  int present = 0;
  struct stat st;
  for (int f = 0; f < files; f++)
    present += lstat((victim + "/f" + std::to_string(f)).c_str(), &st) == 0;
  return present;
}

// Waits for the first deletion in sub, then exchanges sub with the link.
bool exchangeAtFirstDeletion(int watch) {
  struct pollfd p = {watch, POLLIN, 0};
  if (poll(&p, 1, 10000) <= 0) return false;
  return renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, swapLink.c_str(), RENAME_EXCHANGE) == 0;
}

// What the command was asked to empty or remove is empty or gone.
bool done(const std::string& label) {
  struct stat st;
  if (label == "rm -rf") return lstat(tree.c_str(), &st) != 0;
  if (label == "junctor -F") return lstat(tree.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
  return rmdir(tree.c_str()) == 0 && mkdir(tree.c_str(), 0755) == 0;
}

void attack(const std::string& label, const std::vector<std::string>& command, int tries) {
  int touched = 0, swapped = 0, falseSuccess = 0;
  std::map<int, int> exits;
  for (int i = 0; i < tries; i++) {
    for (const std::string& path : {tree, victim, swapLink, target}) removeAll(path);
    makeDir(tree);
    makeDir(target);
    fill(sub);
    fill(victim);
    if (symlink(victim.c_str(), swapLink.c_str()) != 0) fail(swapLink);
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || inotify_add_watch(watch, sub.c_str(), IN_DELETE) < 0) fail("inotify");
    pid_t pid = startQuietly(command);
    swapped += exchangeAtFirstDeletion(watch);
    close(watch);
    int status;
    if (waitpid(pid, &status, 0) != pid) fail("waitpid");
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    exits[code]++;
    touched += victimFiles() != files;
    falseSuccess += code == 0 && !done(label);
  }
  std::string codes;
  for (const auto& exit : exits) {
    codes += " " + std::to_string(exit.first) + ":" + std::to_string(exit.second);
  }
  printf(
      "%-10s victim touched in %d of %d tries (%d swapped; exit code:count%s; exit 0 with the"
      " work undone: %d)\n",
      label.c_str(), touched, tries, swapped, codes.c_str(), falseSuccess);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int tries = argc > 1 ? atoi(argv[1]) : 20;
  if (argc > 2) files = atoi(argv[2]);
  const char* tmp = argc > 3 ? argv[3] : getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/exchange-XXXXXX";
  if (!mkdtemp(&pattern[0])) fail(pattern);
  scratch = pattern;
  tree = scratch + "/tree";
  sub = tree + "/sub";
  victim = scratch + "/victim";
  swapLink = scratch + "/swap";
  target = scratch + "/target";
  printf("%s: %d files in tree/sub and in the victim\n", scratch.c_str(), files);
  fflush(stdout);

  attack("tidyup", {TIDYUP_EXE, tree}, tries);
  attack("junctor -F", {JUNCTOR_EXE, tree, target, "-F"}, tries);
  attack("rm -rf", {"rm", "-rf", tree}, tries);

  removeAll(scratch);
  return 0;
}
