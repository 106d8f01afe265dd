#!/usr/bin/env bash
# Builds the tools and makes a junction (here: a directory symbolic link) in
# a scratch folder, then shows where it leads.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target junctor jrealpath tidyup >/dev/null
bin=$PWD/build/default
scratch=$(mktemp -d /tmp/junctor-demo-XXXXXX)
cd "$scratch"
run() {
  echo "\$ $*"
  local code=0
  "$@" 2>&1 || code=$?
  echo "  (exit $code)"
}
run "$bin/tidyup" build
run "$bin/junctor" build/out cache/out -T
echo hello >cache/out/greeting.txt
run "$bin/junctor" build/out cache/out
ls -l build
echo "\$ $bin/jrealpath build/out    (prints without a line end)"
"$bin/jrealpath" build/out
echo
run cat build/out/greeting.txt
run "$bin/junctor" build/out elsewhere
echo "Scratch folder: $scratch"
