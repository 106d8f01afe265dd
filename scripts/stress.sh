#!/usr/bin/env bash
# Builds the tools and the stress programs and runs them: how often a
# directory that turns into a link during tidyup or junctor -F lets the
# command reach the canary behind it (arguments: [TRIES] [SECONDS] per
# command), and how two runs released at the same instant end (MEET_TRIES
# tries per case, default 250). Fails when two runs broke a promise.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target linkrace meet
build/default/stress/linkrace "$@"
build/default/stress/meet "${MEET_TRIES:-250}"
# The exchange attack while a directory is emptied, in memory and on disk.
cmake --build --preset default --target exchange
for dir in /dev/shm /tmp; do build/default/stress/exchange 20 5000 "$dir"; done
