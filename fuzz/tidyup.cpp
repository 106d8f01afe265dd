// tidyup over the in-memory file system. Whatever the tree, the arguments
// and a failing call: it removes only the content of the directory it is
// given (with -D only the files and file links directly inside) or a file
// standing in its place, closes what it opens, and reports success only
// for a directory that is then clean.
#include "tidyup.h"

#include "fake_tree.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = decode(data, size);
  std::string dir = in.args.empty() ? "" : in.args[0];
  bool keepDirs = in.args.size() > 1 && in.args[1] == "-D";

  buildTree(in.tree);
  std::wstring cleaned = resolve(dir, true);
  std::wstring replaced = resolve(dir, false);
  Tree before = snapshot();

  buildTree(in.tree);
  Fault fault = armFault(in.fault);
  int code = run(createCleanDirCmd, in.args);
  FUZZ_CHECK(code >= 0 && code <= 2);
  checkClosed(fault);

  Tree after = snapshot();
  for (const auto& item : before) {
    auto now = after.find(item.first);
    if (now != after.end() && now->second.kind == item.second.kind) continue;
    const std::wstring& path = item.first;
    bool isFile = item.second.kind == Kind::File || item.second.kind == Kind::FileLink;
    bool inside = within(path, cleaned) && !same(path, cleaned);
    bool directlyInside = same(path.substr(0, path.rfind(L'\\')), cleaned);
    FUZZ_CHECK_CHANGE(
        (keepDirs ? directlyInside && isFile : inside) || (isFile && same(path, replaced)), path);
  }

  // An enumeration that "ends" early leaves entries no one can know of.
  bool listsAll =
      !(fault.op == (int)fakefs::Op::FindNextFileW && fault.code == ERROR_NO_MORE_FILES);
  if (code == 0 && !dir.empty() && listsAll) {
    rebuild(after);
    std::wstring cleanDir = finalPath(fullPath(dir));
    FUZZ_CHECK(!cleanDir.empty() && fakefs::kindOf(cleanDir + L"\\") == Kind::Dir);
    for (const std::wstring& name : fakefs::list(cleanDir + L"\\")) {
      Kind kind = fakefs::kindOf(cleanDir + L"\\" + name);
      FUZZ_CHECK(keepDirs && (kind == Kind::Dir || kind == Kind::Junction));
    }
  }
  return 0;
}
