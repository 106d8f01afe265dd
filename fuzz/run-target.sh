#!/usr/bin/env bash
# Runs one fuzz target for SECONDS, reading the seed corpus and writing what
# it learns to CORPUS (default: a scratch directory, removed afterwards), so
# the committed seeds are never written. Fails on any finding, which is kept
# in FINDINGS (default ./findings) for reproduction.
# Usage: run-target.sh BINARY SEEDS SECONDS [CORPUS]
set -euo pipefail
binary=$1 seeds=$2 seconds=$3
name=$(basename "$binary")
findings=${FINDINGS:-$PWD/findings}
mkdir -p "$findings"
if [[ $# -ge 4 ]]; then
  corpus=$4
  mkdir -p "$corpus"
else
  corpus=$(mktemp -d "${TMPDIR:-/tmp}/$name-XXXXXX")
  trap 'rm -rf "$corpus"' EXIT
fi
# The commands print their messages; -close_fd_mask keeps that out of the log.
if ! "$binary" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -close_fd_mask=3 \
  -print_final_stats=1 -artifact_prefix="$findings/$name-" "$corpus" "$seeds"; then
  echo "$name: finding kept in $findings; reproduce with: $binary $findings/$name-<file>" >&2
  exit 1
fi
