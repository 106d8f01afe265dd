#!/usr/bin/env bash
# The manual pages take their tables from the README: check that a cell comes
# through with what CMake lists and roff would otherwise mangle (";", "[",
# "\", a leading "." or "'"), and that a missing table stops the build.
set -u
here=$(dirname "$0")
out=$(mktemp -d /tmp/junctor-manpage-XXXXXX)
trap 'rm -rf "$out"' EXIT
generate() {  # section
  cmake -DREADME="$here/tables.md" -DSECTION="$1" -DTEMPLATE="$here/page.1.in" -DOUTPUT="$out/$1.1" \
    -DVERSION=9.9 -DREALPATH=jr -DARGUMENTS=DIR -P "$here/../../cmake/manpage.cmake" 2>&1
}
failed=0
generate tool >/dev/null && diff -u "$here/expected.1" "$out/tool.1" || failed=1
while read -r section message; do
  if shown=$(generate "$section"); then
    echo "section \"$section\" made a page"
    failed=1
  elif ! tr -s ' \n' '  ' <<<"$shown" | grep -qF "$message"; then
    echo "section \"$section\" failed without \"$message\":"
    echo "$shown"
    failed=1
  fi
done <<'CASES'
other no "| option |" table under "## other"
absent no section "## absent"
CASES
exit $failed
