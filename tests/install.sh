#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a user gets.
set -u
build=$1
prefix=$(mktemp -d /tmp/junctor-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || exit 1
failed=0
commands=(junctor jrealpath tidyup)
files=(share/doc/junctor/README.md share/doc/junctor/LICENSE
  share/doc/junctor/copyright share/doc/junctor/changelog.gz)
for command in "${commands[@]}"; do
  files+=("bin/$command" "share/man/man1/$command.1.gz")
done
for file in "${files[@]}"; do
  [[ -e $prefix/$file ]] || { echo "missing $file"; failed=1; }
done
"$prefix/bin/junctor" | grep -q "^junctor <link-path>" || { echo "junctor does not run"; failed=1; }
for command in "${commands[@]}"; do
  page=$prefix/share/man/man1/$command.1.gz
  [[ -e $page ]] || continue
  shown=$(MANWIDTH=80 man -l "$page" 2>&1)
  grep -q "^ *$command  *- " <<<"$shown" || {
    echo "man -l $page does not show its NAME line:"
    head -5 <<<"$shown"
    failed=1
  }
done
exit $failed
