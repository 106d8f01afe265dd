#!/usr/bin/env bash
# Builds the fuzz targets and runs each for SECONDS (default 300), as many at
# a time as there are cores. What the targets learn is kept between runs in
# build/fuzz/corpus/<target>, findings in build/fuzz/findings, logs in
# build/fuzz/logs. Fails when any target finds something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
out=$PWD/build/fuzz
mkdir -p "$out/logs"
export FINDINGS=$out/findings seconds out
targets=(junctor realpath tidyup reparse compare wcsncopy)
echo "Running ${targets[*]} for $seconds s each"
status=0
printf '%s\n' "${targets[@]}" | xargs -P "$(nproc)" -I{} bash -c '
  if fuzz/run-target.sh "$out/fuzz/fuzz_{}" fuzz/corpus/{} "$seconds" "$out/corpus/{}" \
    >"$out/logs/{}.log" 2>&1; then result=ok; else result=FINDING; fi
  echo "{}: $result, $(grep -m1 "^Done" "$out/logs/{}.log" || tail -n1 "$out/logs/{}.log")"
  [[ $result == ok ]]' || status=1
exit $status
