// realpath over the in-memory file system: whatever the tree, the arguments
// and a failing call, it changes nothing, closes what it opens and exits
// with one of its codes.
#include "realpath.h"

#include "fake_tree.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = decode(data, size);
  buildTree(in.tree);
  Tree before = snapshot();
  Fault fault = armFault(in.fault);
  int code = run(realpath_cmd, in.args);
  FUZZ_CHECK(code == 0 || code == 6 || code == 8);
  checkClosed(fault);
  FUZZ_CHECK(snapshot() == before);
  return 0;
}
