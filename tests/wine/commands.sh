#!/usr/bin/env bash
# The Windows executables under Wine. Wine is a real kernel32 but not NTFS:
# it refuses to set reparse points (50) and sees a Unix directory symlink as a
# directory reparse point, so link writing itself is tested elsewhere.
set -u
bin=$(cd "$1" && pwd)
export WINEDEBUG=-all
passed=0
failed=0

scratch=$(mktemp -d /tmp/junctor-wine-XXXXXX)
# One server for the whole run, so that no command meets one shutting down.
# It is shared by every Wine program of this user, so it is never killed, and
# it must not hold the test's output open: it ends on its own a minute later.
wineserver -p 60 </dev/null >/dev/null 2>&1
trap 'cd /; rm -rf "$scratch"' EXIT
cd "$scratch"
win="Z:${scratch//\//\\}"
see=". See https://learn.microsoft.com/en-us/windows/win32/debug/system-error-codes--0-499-"

# check NAME CODE STDOUT STDERR EXE ARGS...: runs EXE under Wine in the scratch
# directory and compares exit code and both streams (line ends made Unix).
check() {
  local name=$1 code=$2 out=$3 err=$4 exe=$5
  shift 5
  wine "$bin/$exe" "$@" >"$scratch/.out" 2>"$scratch/.err"
  local got=$?
  local gotOut gotErr
  gotOut=$(tr -d '\r' <"$scratch/.out")
  gotErr=$(tr -d '\r' <"$scratch/.err")
  if [[ $got == "$code" && $gotOut == "$out" && $gotErr == "$err" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  exit %s (want %s)\n  stdout: %q\n  want:   %q\n  stderr: %q\n  want:   %q\n' \
      "$name" "$got" "$code" "$gotOut" "$out" "$gotErr" "$err"
  fi
}

# expect NAME CONDITION...: a check of the scratch tree after a run.
expect() {
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL $name"; fi
}

starts_with() { [[ $(wine "$bin/$1" | tr -d '\r') == "$2"* ]]; }

wine "$bin/junctor.exe" >/dev/null 2>&1 # first start sets up the Wine prefix

mkdir -p target other/sub tree/sub/deeper
touch file.txt other/canary tree/a tree/sub/b tree/sub/deeper/c

# Usage texts.
expect "junctor usage" starts_with junctor.exe $'\njunctor <link-path> <target-path> [-L|-F] [-T]  [{ -[--<*?>|{L|F|T}] }]\n Version: 2026-11-12'
expect "realpath usage" starts_with realpath.exe $'realpath PATH [-a|A] [-/] [{ -[--<*?>|{a|A|/}] }]\n Version: 2026-11-12'
expect "tidyup usage" starts_with tidyup.exe $'\ntidyup <dir-path> [-D]\n Version: 2026-11-12'

# junctor: refusals and target checks.
check "unknown option" 8 "" "ERROR unknown option X in argument:-X" junctor.exe lnk target -X
check "faulty argument" 8 "" "ERROR-faulty-argument:x" junctor.exe lnk target -T x
check "missing target" 2 "" "ERROR target does not exists as directory: $win\\missing" junctor.exe lnk missing
check "file target" 2 "" "ERROR target does not exists as directory: $win\\file.txt" junctor.exe lnk file.txt/
check "long link" 6 "" "ERROR-invalid-link path-length" junctor.exe "$(printf 'l%.0s' {1..260})" target
check "long target" 7 "" "ERROR-invalid-target path-length" junctor.exe lnk "$(printf 't%.0s' {1..260})"
check "missing link parent" 3 "" "ERROR create link directory, Path not found: $win\\missing\\lnk" \
  junctor.exe missing/lnk target

# junctor: the writer's failure path removes the link directory again.
check "writer refused" 1 "" "ERROR set Junction, Windows error: 50: $win\\lnk$see" junctor.exe lnk target
expect "link directory removed" test ! -e lnk

# junctor: a directory symlink made beforehand is a link that Wine can read.
ln -s "$scratch/target" good
ln -s "$scratch/other" elsewhere
check "link leads to target" 0 "" "" junctor.exe good target
check "target in other case and with slashes" 0 "" "" junctor.exe good "${win//\\//}/TARGET/"
check "link leads elsewhere" 3 "" "ERROR-<link-path> has another destination, use -L to enable redirect" \
  junctor.exe elsewhere target
check "directory at link" 3 "" "ERROR <link-path> refers to a normal directory, use -F to force remove" \
  junctor.exe tree target -L
expect "canary behind the link" test -e other/canary

# realpath.
lower=${win,,}
check "realpath -a/" 0 "${lower//\\//}/target" "" realpath.exe target -a/
check "realpath as is" 0 "$win\\target" "" realpath.exe target/
check "realpath missing" 0 "" "" realpath.exe missing
check "realpath unknown option" 8 "" "ERROR unknown option x in argument:-x" realpath.exe target -x

# tidyup.
check "tidyup blank" 2 "" "ERROR argument 1 is empty >> x<<" tidyup.exe " x"
check "tidyup bad option" 2 "" "ERROR invalide argument -d" tidyup.exe tree -d
check "tidyup keep dirs" 0 "" "" tidyup.exe tree -D
expect "files deleted, directories kept" test ! -e tree/a -a -e tree/sub/b
check "tidyup cleans" 0 "" "" tidyup.exe tree
expect "tree empty" test -d tree -a -z "$(ls -A tree)"
check "tidyup creates" 0 "" "" tidyup.exe new/deeper/out
expect "created with parents" test -d new/deeper/out

# Non-ASCII paths: the embedded manifest makes UTF-8 the ANSI code page.
for exe in junctor.exe realpath.exe tidyup.exe; do
  expect "$exe embeds the UTF-8 manifest" grep -q "<activeCodePage[^>]*>UTF-8</activeCodePage>" "$bin/$exe"
done
mkdir café
check "realpath non-ASCII" 0 "$win\\café" "" realpath.exe café
check "tidyup non-ASCII" 0 "" "" tidyup.exe café/über
expect "non-ASCII directory created" test -d café/über
check "junctor non-ASCII message" 2 "" "ERROR target does not exists as directory: $win\\café\\nö" \
  junctor.exe lnk café/nö

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
