#!/usr/bin/env bash
# Fails when a text file of the repository holds a control character other
# than tab and line end: an escape taken literally (a backspace for "\b", a
# carriage return for "\r") renders as garbage and copies as garbage.
# Files marked binary in .gitattributes (the fuzz seeds) are not text.
set -u
cd "$1" || exit 1
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git work tree: nothing to check"
  exit 77
fi
found=$(LC_ALL=C git grep --untracked -I -n -P '[\x00-\x08\x0b-\x1f\x7f]' -- . | cat -v)
[[ -z $found ]] && exit 0
echo "control characters in text files (shown as ^X):"
echo "$found"
exit 1
