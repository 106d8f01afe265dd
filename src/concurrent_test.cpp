// junctor meeting another run of itself, on the in-memory Windows file
// system: the other run's steps are injected right before the writer's
// creation, open, set and clean-up calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "junctor.h"
#include "platform/winapi-fake.h"
#include "test.h"

using fakefs::Kind;
using fakefs::Op;

namespace {

const wchar_t kLink[] = L"D:\\build\\out";
const wchar_t kTarget[] = L"D:\\cache\\out";
const wchar_t kOther[] = L"D:\\other";

int calls(const wchar_t* name) {
  const std::vector<std::wstring>& log = fakefs::log();
  return (int)std::count_if(log.begin(), log.end(), [&](const std::wstring& entry) {
    return entry.compare(0, wcslen(name), name) == 0;
  });
}

const wchar_t* opName(Op op) {
  switch (op) {
    case Op::CreateDirectoryW:
      return L"CreateDirectoryW";
    case Op::CreateFileW:
      return L"CreateFileW";
    case Op::DeviceIoControl:
      return L"DeviceIoControl";
    case Op::CloseHandle:
      return L"CloseHandle";
    default:
      return L"RemoveDirectoryW";
  }
}

// Runs `action` before the nth call of `op` from the writer's creation of
// the link directory on: CreateFileW 1 is the writer's open, 2 the look
// after it (the clean-up's, or the check that the link leads to the target).
void beforeWriter(Op op, int nth, std::function<void()> action) {
  if (op == Op::CreateDirectoryW) {
    fakefs::beforeCall(op, 1, action);
    return;
  }
  fakefs::beforeCall(Op::CreateDirectoryW, 1, [op, nth, action] {
    fakefs::beforeCall(op, calls(opName(op)) + nth, action);
  });
}

// The writer's call of `op` fails with `code`.
void failWriter(Op op, DWORD code) {
  fakefs::beforeCall(Op::CreateDirectoryW, 1,
                     [op, code] { fakefs::failCall(op, calls(opName(op)) + 1, code); });
}

// What the other run does, as plain calls on the file system.
void otherMakesJunction(const wchar_t* target) {
  if (fakefs::kindOf(kLink) != Kind::None) {
    ASSERT_TRUE(RemoveDirectoryW(kLink));
  }
  fakefs::addJunction(kLink, target);
}

void otherRemovesLink() { RemoveDirectoryW(kLink); }

const std::string kAnother =
    "ERROR-<link-path> has another destination, use -L to enable redirect\n";
const std::string kOpenFailed = "ERROR-open-link-directory-32\n";
const std::string kChanged =
    "ERROR set Junction, File/Dir is shared by another process: D:\\build\\out\n";
const std::string kNotEmpty = "ERROR set Junction, Dir not empty: D:\\build\\out\n";

enum class Fault { None, OpenFails, SetFails };

class ConcurrentTest : public testing::Test {
 protected:
  void SetUp() override {
    fakefs::reset();
    fakefs::addDir(L"D:\\cache");
    fakefs::addDir(kTarget);
    fakefs::addDir(L"D:\\build");
    fakefs::addDir(kOther);
    fakefs::addFile(L"D:\\other\\canary");
  }
};

TEST_F(ConcurrentTest, WriterMeetsAnotherRun) {
  struct Case {
    const char* what;
    Op before;  // the other run's step precedes the writer's `nth` call of it
    int nth;
    const wchar_t* to;  // the other run's junction; null: it removes ours
    const char* option;
    Fault fault;
    int exit;
    std::string err;
    const wchar_t* after;  // where the link leads at the end; null: nothing there
  } cases[] = {
      {"identical run first", Op::CreateDirectoryW, 1, kTarget, "", Fault::None, 0, "", kTarget},
      {"identical run first, its junction open", Op::CreateFileW, 1, kTarget, "", Fault::None, 0,
       "", kTarget},
      {"other target first", Op::CreateDirectoryW, 1, kOther, "", Fault::None, 3, kAnother, kOther},
      {"other target, our directory taken", Op::CreateFileW, 1, kOther, "", Fault::None, 3,
       kAnother, kOther},
      {"other target first, -L rewrites it", Op::CreateFileW, 1, kOther, "-L", Fault::None, 0, "",
       kTarget},
      {"other target after ours", Op::CreateFileW, 2, kOther, "", Fault::None, 3, kAnother, kOther},
      {"other target after ours, -L", Op::CreateFileW, 2, kOther, "-L", Fault::None, 1, kChanged,
       kOther},
      {"ours removed after the set", Op::CreateFileW, 2, nullptr, "", Fault::None, 1, kChanged,
       nullptr},
      // The clean-up after a failed open or set never takes the other's work.
      {"open fails, identical run done", Op::CreateFileW, 2, kTarget, "", Fault::OpenFails, 0, "",
       kTarget},
      {"open fails, other target made", Op::CreateFileW, 2, kOther, "", Fault::OpenFails, 1,
       kOpenFailed, kOther},
      {"set fails, identical run done", Op::CreateFileW, 2, kTarget, "", Fault::SetFails, 0, "",
       kTarget},
      {"set fails, other target made", Op::CreateFileW, 2, kOther, "", Fault::SetFails, 1,
       kNotEmpty, kOther},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.what);
    const wchar_t* to = c.to;
    beforeWriter(c.before, c.nth, [to] { to ? otherMakesJunction(to) : otherRemovesLink(); });
    if (c.fault == Fault::OpenFails) failWriter(Op::CreateFileW, ERROR_SHARING_VIOLATION);
    if (c.fault == Fault::SetFails) failWriter(Op::DeviceIoControl, ERROR_DIR_NOT_EMPTY);
    CommandResult result = runCommand(junctorCmd, {narrow(kLink), narrow(kTarget), c.option});
    EXPECT_EQ(c.exit, result.code);
    EXPECT_EQ(c.err, result.err);
    if (c.after) {
      EXPECT_EQ(Kind::Junction, fakefs::kindOf(kLink));
      EXPECT_EQ(c.after, fakefs::linkTarget(kLink));
    } else {
      EXPECT_EQ(Kind::None, fakefs::kindOf(kLink));
    }
    EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\other\\canary"));
    EXPECT_EQ(0, fakefs::openHandles());
  }
}

// The junction the other run made is kept as it is, not written again.
TEST_F(ConcurrentTest, IdenticalRunLeavesTheOthersJunctionUntouched) {
  beforeWriter(Op::CreateFileW, 1, [] { otherMakesJunction(kTarget); });
  ASSERT_EQ(0, runCommand(junctorCmd, {narrow(kLink), narrow(kTarget)}).code);
  EXPECT_TRUE(fakefs::reparseData(kLink).empty());
}

// Before the writer: what the existing-path handling finds has changed
// since the comparison.
TEST_F(ConcurrentTest, ExistingPathChangedMeanwhile) {
  struct Case {
    const char* what;
    const char* option;
    Op before;
    int nth;
    std::function<void()> setup, step;
    int exit;
    std::string err;
  } cases[] = {
      // The other run's empty link directory is taken as the writer's own.
      {"empty directory of another run", "", Op::CreateDirectoryW, 1, [] { fakefs::addDir(kLink); },
       [] { otherMakesJunction(kTarget); }, 0, ""},
      {"empty directory becomes the identical junction while looked at", "", Op::FindFirstFileW, 1,
       [] { fakefs::addDir(kLink); }, [] { otherMakesJunction(kTarget); }, 0, ""},
      // The identical run's junction appears between comparison and look.
      {"identical junction after the comparison", "", Op::GetFileAttributesW, 2, [] {},
       [] { fakefs::addJunction(kLink, kTarget); }, 0, ""},
      // Two identical -L runs: the other removed the old link first.
      {"old file link already removed", "-L", Op::RemoveDirectoryW, 1,
       [] { fakefs::addFileLink(kLink, L"D:\\other\\canary"); }, [] { DeleteFileW(kLink); }, 0, ""},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.what);
    c.setup();
    fakefs::beforeCall(c.before, c.nth, c.step);
    CommandResult result = runCommand(junctorCmd, {narrow(kLink), narrow(kTarget), c.option});
    EXPECT_EQ(c.exit, result.code);
    EXPECT_EQ(c.err, result.err);
    EXPECT_EQ(kTarget, fakefs::linkTarget(kLink));
    EXPECT_EQ(Kind::File, fakefs::kindOf(L"D:\\other\\canary"));
  }
}

}  // namespace
