#!/usr/bin/env bash
# Builds and runs every test: the unit tests on the in-memory file system and
# the POSIX tests (plain and under ASan/UBSan), the Windows build under Wine,
# then each fuzz target for a few seconds on its seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in default asan mingw fuzz; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
