// junctor over the in-memory file system. Whatever the tree, the arguments
// and a failing call: it removes nothing but what stands at LINK (a tree
// there only with -F, a link only with -L or -F) and, with -FT, a file at
// TARGET; never the existing TARGET directory; links inside are never
// followed; it closes what it opens, and exit 0 means LINK leads to TARGET.
#include "junctor.h"

#include "fake_tree.h"

using namespace fuzz;

namespace {

struct Options {
  bool force = false, replaceLink = false, createTarget = false;
};

Options options(const std::vector<std::string>& args) {
  Options o;
  for (size_t i = 2; i < args.size(); i++) {
    const std::string& arg = args[i];
    if (arg.compare(0, 3, "---") == 0 || arg[0] != '-') continue;
    o.force |= arg.find('F') != std::string::npos;
    o.replaceLink |= arg.find_first_of("FL") != std::string::npos;
    o.createTarget |= arg.find('T') != std::string::npos;
  }
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = decode(data, size);
  bool usage = in.args.size() < 2 || in.args[0].empty() || in.args[1].empty();
  Options o = options(in.args);

  buildTree(in.tree);
  std::wstring link, target, targetDir;
  if (!usage) {
    link = resolve(in.args[0], false);
    target = resolve(in.args[1], false);
    // A directory or junction at TARGET is kept; a file or file link is not.
    Kind atTarget = fakefs::kindOf(fullPath(in.args[1]));
    std::wstring found = finalPath(fullPath(in.args[1]));
    if ((atTarget == Kind::Dir || atTarget == Kind::Junction) && !found.empty() &&
        fakefs::kindOf(found + L"\\") == Kind::Dir) {
      targetDir = found;
    }
  }
  Tree before = snapshot();

  buildTree(in.tree);
  Fault fault = armFault(in.fault);
  int code = run(junctorCmd, in.args);
  FUZZ_CHECK(code >= 0 && code <= 8);
  checkClosed(fault);

  Tree after = snapshot();
  for (const auto& item : before) {
    auto now = after.find(item.first);
    if (now != after.end() && now->second.kind == item.second.kind) continue;
    const std::wstring& path = item.first;
    Kind kind = item.second.kind;
    bool isLink = kind == Kind::Junction || kind == Kind::FileLink;
    // An empty directory at LINK becomes the junction even without options
    // when its attributes could not be read.
    auto next = before.upper_bound(path);
    bool emptyDir = kind == Kind::Dir && (next == before.end() || !within(next->first, path));
    bool atLink = same(path, link) && ((o.replaceLink && isLink) || emptyDir);
    bool removable = (o.force && within(path, link)) || atLink ||
                     (o.force && o.createTarget && same(path, target) && kind != Kind::Dir);
    FUZZ_CHECK_CHANGE(removable, path);
    if (!targetDir.empty()) {
      FUZZ_CHECK_CHANGE(!within(targetDir, path), path);
      FUZZ_CHECK_CHANGE(!within(path, targetDir) || within(link, targetDir), path);
    }
  }

  if (code == 0 && !usage) {
    rebuild(after);
    std::wstring linkFinal = finalPath(fullPath(in.args[0]));
    FUZZ_CHECK(!linkFinal.empty() && same(linkFinal, finalPath(fullPath(in.args[1]))));
  }
  return 0;
}
