#!/usr/bin/env bash
# Builds the tools and the link race program and runs it: how often a
# directory that turns into a link during tidyup or junctor -F lets the
# command reach the canary behind it. Arguments: [TRIES] [SECONDS] per command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target linkrace
build/default/stress/linkrace "$@"
# The exchange attack while a directory is emptied, in memory and on disk.
cmake --build --preset default --target exchange
for dir in /dev/shm /tmp; do build/default/stress/exchange 20 5000 "$dir"; done
