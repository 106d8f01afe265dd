#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user gets.
set -u
build=$1
prefix=$(mktemp -d /tmp/junctor-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || exit 1
failed=0
for file in bin/junctor bin/jrealpath bin/tidyup share/doc/junctor/README.md share/doc/junctor/LICENSE; do
  [[ -e $prefix/$file ]] || { echo "missing $file"; failed=1; }
done
"$prefix/bin/junctor" | grep -q "^junctor <link-path>" || { echo "junctor does not run"; failed=1; }
exit $failed
