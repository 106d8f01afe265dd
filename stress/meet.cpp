// Two runs that meet: both are forked, wait on one pipe and are released at
// the same instant by closing it. Each case is tried TRIES times on a fresh
// scratch tree; the outcome of every try is checked against what the tools
// promise (exit 0 only when it is true; identical runs both succeed).
// Timing decides the outcome, so this runs outside the tests.
//
// Usage: meet [TRIES] [BINDIR]   (defaults 250 and the build's own tools)
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "scratch.h"

namespace {

using namespace scratch_tree;

std::string junctor = JUNCTOR_EXE, tidyup = TIDYUP_EXE, scratch;

void makeLink(const std::string& target, const std::string& path) {
  if (symlink(target.c_str(), path.c_str()) != 0) fail(path);
}

// Where `path` leads now, or "" when it is missing or no link.
std::string linkText(const std::string& path) {
  char text[PATH_MAX];
  ssize_t length = readlink(path.c_str(), text, sizeof text - 1);
  if (length < 0) return "";
  text[length] = 0;
  return text;
}

bool isEmptyDir(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return false;
  int entries = 0;
  while (struct dirent* e = readdir(dir))
    entries += strcmp(e->d_name, ".") && strcmp(e->d_name, "..");
  closedir(dir);
  return entries == 0;
}

std::string errFile(int run) { return scratch + ".err" + std::to_string(run); }

// The first few messages of runs that failed, to tell causes apart.
int shown = 0;

void showFailure(int run, int code) {
  if (code == 0 || !getenv("MEET_VERBOSE") || shown++ >= 6) return;
  FILE* f = fopen(errFile(run).c_str(), "r");
  char line[512] = "";
  if (f && !fgets(line, sizeof line, f)) line[0] = 0;
  if (f) fclose(f);
  printf("  exit %d: %s", code, line);
}

pid_t spawnAfter(const int* gate, const std::vector<std::string>& args, int run) {
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid > 0) return pid;
  close(gate[1]);
  char byte;
  if (read(gate[0], &byte, 1) < 0) _exit(99);  // returns 0 once the gate closes
  int null = open("/dev/null", O_WRONLY);
  int err = open(errFile(run).c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  dup2(null, 1);
  dup2(err, 2);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(98);
}

int exitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) fail("waitpid");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Runs both at once; their exit codes in `codes`.
void runTogether(const std::vector<std::string>& a, const std::vector<std::string>& b, int* codes) {
  int gate[2];
  if (pipe(gate) != 0) fail("pipe");
  pid_t first = spawnAfter(gate, a, 0);
  pid_t second = spawnAfter(gate, b, 1);
  close(gate[0]);
  close(gate[1]);
  codes[0] = exitCode(first);
  codes[1] = exitCode(second);
  showFailure(0, codes[0]);
  showFailure(1, codes[1]);
}

struct Tally {
  const char* name;
  int tries = 0;
  int falseSuccess = 0;  // exited 0, but the promise does not hold afterwards
  int failedRun = 0;     // a run that should have succeeded did not
  int bothWon = 0;       // two different targets without -L both exited 0
};

void print(const Tally& t) {
  shown = 0;
  printf("%-44s %4d tries: false success %3d, failed run %3d, both exit 0 %3d\n", t.name, t.tries,
         t.falseSuccess, t.failedRun, t.bothWon);
}

void freshScratch() {
  removeAll(scratch);
  makeDir(scratch);
  makeDir(scratch + "/t1");
  makeDir(scratch + "/t2");
  makeDir(scratch + "/t0");
}

void identicalRuns(Tally& t, const char* option, bool linkBefore) {
  std::string link = scratch + "/L", t1 = scratch + "/t1";
  for (int i = 0; i < t.tries; i++) {
    freshScratch();
    if (linkBefore) makeLink(scratch + "/t0", link);
    std::vector<std::string> args{junctor, link, t1};
    if (*option) args.push_back(option);
    int codes[2];
    runTogether(args, args, codes);
    bool there = linkText(link) == t1;
    for (int code : codes) t.falseSuccess += code == 0 && !there;
    t.failedRun += codes[0] != 0 || codes[1] != 0;
  }
}

void differentTargets(Tally& t) {
  std::string link = scratch + "/L", t1 = scratch + "/t1", t2 = scratch + "/t2";
  for (int i = 0; i < t.tries; i++) {
    freshScratch();
    int codes[2];
    runTogether({junctor, link, t1}, {junctor, link, t2}, codes);
    std::string now = linkText(link);
    t.falseSuccess += (codes[0] == 0 && now != t1) + (codes[1] == 0 && now != t2);
    t.bothWon += codes[0] == 0 && codes[1] == 0;
    t.failedRun += codes[0] != 0 && codes[1] != 0;
  }
}

// Not a race: the target's way passes through the link that -L removes.
void targetThroughLink(Tally& t) {
  std::string lnk = scratch + "/lnk", target = scratch + "/T";
  for (int i = 0; i < t.tries; i++) {
    freshScratch();
    makeDir(scratch + "/victim");
    makeDir(scratch + "/victim/sub");
    makeLink(scratch + "/victim", lnk);
    makeLink(lnk + "/sub", target);
    int codes[2];
    runTogether({junctor, lnk, target, "-L"}, {junctor, lnk, target, "-F"}, codes);
    bool unchanged = linkText(lnk) == scratch + "/victim" && linkText(target) == lnk + "/sub";
    t.falseSuccess += (codes[0] == 0) + (codes[1] == 0) + !unchanged;
    t.failedRun += codes[0] != 3 || codes[1] != 3;
  }
}

void twoTidyups(Tally& t) {
  std::string dir = scratch + "/D";
  for (int i = 0; i < t.tries; i++) {
    freshScratch();
    makeDir(dir);
    for (int d = 0; d < 20; d++) {
      std::string sub = dir + "/d" + std::to_string(d);
      makeDir(sub);
      for (int f = 0; f < 20; f++) touch(sub + "/f" + std::to_string(f));
    }
    int codes[2];
    runTogether({tidyup, dir}, {tidyup, dir}, codes);
    bool empty = isEmptyDir(dir);
    for (int code : codes) t.falseSuccess += code == 0 && !empty;
    t.failedRun += codes[0] != 0 || codes[1] != 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int tries = argc > 1 ? atoi(argv[1]) : 250;
  if (argc > 2) {
    junctor = std::string(argv[2]) + "/junctor";
    tidyup = std::string(argv[2]) + "/tidyup";
  }
  char pattern[] = "/tmp/junctor-meet-XXXXXX";
  if (!mkdtemp(pattern)) fail("mkdtemp");
  scratch = std::string(pattern) + "/s";

  Tally identical{"junctor L T, twice at once"};
  Tally different{"junctor L T1 and junctor L T2 at once"};
  Tally relink{"junctor L T1 -L over a link, twice at once"};
  Tally through{"junctor lnk T -L and -F, T reached via lnk"};
  Tally tidy{"tidyup D, twice at once"};
  for (Tally* t : {&identical, &different, &relink, &through, &tidy}) t->tries = tries;
  identicalRuns(identical, "", false);
  print(identical);
  differentTargets(different);
  print(different);
  identicalRuns(relink, "-L", true);
  print(relink);
  targetThroughLink(through);
  print(through);
  twoTidyups(tidy);
  print(tidy);
  removeAll(scratch + ".err0");
  removeAll(scratch + ".err1");
  removeAll(pattern);
  bool sound = true;
  for (const Tally* t : {&identical, &relink, &through, &tidy}) {
    sound = sound && t->falseSuccess == 0 && t->failedRun == 0;
  }
  sound = sound && different.falseSuccess == 0 && different.bothWon == 0;
  return sound ? 0 : 1;
}
