#!/usr/bin/env bash
# Benchmarks, not tests: tidyup emptying a generated tree and junctor making a
# link, each against the usual shell (and Python) way of doing the same job.
# Prints the machine and a Markdown table: median wall time, its ratio to the
# reference command, and peak memory. Takes a few minutes.
#
#   scripts/bench.sh                        # trees and links in /tmp
#   BENCH_DIR=/dev/shm scripts/bench.sh     # elsewhere, e.g. on tmpfs
#   BENCH_BIN=path/to/build scripts/bench.sh  # time executables built elsewhere
#
# BENCH_TREE_RUNS (10) and BENCH_LINK_RUNS (300) set the number of timed runs;
# BENCH_DIRS (5000) and BENCH_FILES (10 per directory) the size of the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

# What the benchmarks need beyond the build; the tests do not need these.
need=()
for tool in cmake:cmake g++:g++ ninja:ninja-build hyperfine:hyperfine python3:python3 \
  npm:npm strace:strace; do
  command -v "${tool%%:*}" >/dev/null || need+=("${tool#*:}")
done
[[ -x /usr/bin/time ]] || need+=(time)
if ((${#need[@]})); then
  echo "Installing: ${need[*]}" >&2
  sudo=""
  [[ $(id -u) == 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi

# rimraf, the npm package, in a folder of the build tree.
rimraf=$repo/build/bench-npm/node_modules/.bin/rimraf
if [[ ! -x $rimraf ]]; then
  echo "Installing rimraf from npm" >&2
  npm install --silent --no-audit --no-fund --prefix "$repo/build/bench-npm" rimraf >/dev/null
fi

# The same optimisation as the default preset, without the tests' build.
bin=${BENCH_BIN:-}
if [[ -z $bin ]]; then
  bin=$repo/build/bench
  cmake -S . -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DJUNCTOR_TESTS=OFF >/dev/null
  cmake --build "$bin" --target junctor tidyup >/dev/null
fi
bin=$(cd "$bin" && pwd)
for exe in junctor tidyup; do
  [[ -x $bin/$exe ]] || { echo "bench: no executable $bin/$exe" >&2; exit 1; }
done

tree_runs=${BENCH_TREE_RUNS:-10}
link_runs=${BENCH_LINK_RUNS:-300}
place=${BENCH_DIR:-/tmp}
work=$(mktemp -d "$place/junctor-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
q() { printf '%q' "$1"; }

tree=$work/tree
canary=$work/canary
# sync first, so that no run pays for writing back what the one before deleted;
# the new tree itself is left in the page cache, as a build leaves its output.
make_tree="sync && python3 $(q "$repo/bench/make_tree.py") $(q "$tree") $(q "$canary")"
check_tree="python3 $(q "$repo/bench/make_tree.py") --check $(q "$tree") $(q "$canary")"
rows=$work/rows.tsv
: >"$rows"

# Peak resident memory (KiB) of one untimed run of a shell command, which
# also shows that the command does its job before it is timed.
peak() {
  /usr/bin/time -f %M -o "$work/rss" sh -c "$1" >/dev/null
  tail -n 1 "$work/rss"
}

# row GROUP LABEL JSON INDEX PEAK_KIB REFERENCE_LABEL
row() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$rows"; }

# Other work on the machine skews every figure: warn when more than a tenth
# of the processor time over a second went elsewhere.
cpu_ticks() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8}' /proc/stat; }
read -r busy0 all0 < <(cpu_ticks)
sleep 1
read -r busy1 all1 < <(cpu_ticks)
if ((10 * (busy1 - busy0) > all1 - all0)); then
  echo "bench: other processes keep the machine busy; the figures will be noisy" >&2
fi

# --- tidyup: a fresh tree before every run, its making not timed ---------------
tidy_cmds=(
  "$(q "$bin/tidyup") $(q "$tree")"
  "rm -rf $(q "$tree") && mkdir -p $(q "$tree")"
  "python3 -c 'import os, shutil, sys; shutil.rmtree(sys.argv[1]); os.makedirs(sys.argv[1])' $(q "$tree")"
  "find $(q "$tree") -mindepth 1 -delete"
  "cmake -E rm -rf $(q "$tree") && mkdir -p $(q "$tree")"
  "$(q "$rimraf") $(q "$tree") && mkdir -p $(q "$tree")"
)
tidy_labels=(
  "tidyup DIR"
  "rm -rf DIR && mkdir -p DIR"
  "python3: shutil.rmtree(DIR); os.makedirs(DIR)"
  "find DIR -mindepth 1 -delete"
  "cmake -E rm -rf DIR && mkdir -p DIR"
  "rimraf DIR && mkdir -p DIR"
)
tidy_peaks=()
for cmd in "${tidy_cmds[@]}"; do
  sh -c "$make_tree"
  tidy_peaks+=("$(peak "$cmd")")
  sh -c "$check_tree"
done
echo "Timing the tree commands ($tree_runs runs each)..." >&2
hyperfine --style basic --runs "$tree_runs" --prepare "$make_tree" \
  --export-json "$work/tree.json" "${tidy_cmds[@]}" >&2
sh -c "$check_tree"
for i in "${!tidy_labels[@]}"; do
  row tree "${tidy_labels[i]}" "$work/tree.json" "$i" "${tidy_peaks[i]}" "${tidy_labels[1]}"
done

# --- system calls of tidyup and rm on the same tree ------------------------------
# syscalls COMMAND...: "name count" lines of strace's summary, children included.
syscalls() {
  sh -c "$make_tree"
  strace -c -f -o "$work/strace" "$@" >/dev/null
  awk '$NF ~ /^[a-z0-9_]+$/ && $4 ~ /^[0-9]+$/ {print $NF, $4}' "$work/strace"
}
tidy_calls=$(syscalls "$bin/tidyup" "$tree")
rm_calls=$(syscalls sh -c "rm -rf $(q "$tree") && mkdir -p $(q "$tree")")

# --- junctor: a fresh link, and the second run that finds it in place -------------
target=$work/target
link=$work/link
mkdir -p "$target"
check_link() {
  [[ -L $link && $(readlink "$link") == "$target" ]] || {
    echo "bench: $link does not lead to $target" >&2
    exit 1
  }
}
junctor_cmd="$(q "$bin/junctor") $(q "$link") $(q "$target")"
ln_cmd="ln -sfn $(q "$target") $(q "$link")"
remove_link="rm -f $(q "$link")"

rm -f "$link"
fresh_junctor_peak=$(peak "$junctor_cmd")
check_link
noop_junctor_peak=$(peak "$junctor_cmd")
check_link
rm -f "$link"
fresh_ln_peak=$(peak "$ln_cmd")
check_link
noop_ln_peak=$(peak "$ln_cmd")
check_link

echo "Timing the link commands ($link_runs runs each)..." >&2
hyperfine --style basic -N --warmup 20 --runs "$link_runs" --prepare "$remove_link" \
  --export-json "$work/fresh.json" "$junctor_cmd" "$ln_cmd" >&2
check_link
hyperfine --style basic -N --warmup 20 --runs "$link_runs" \
  --export-json "$work/noop.json" "$junctor_cmd" "$ln_cmd" >&2
check_link
row fresh "junctor LINK TARGET (LINK absent)" "$work/fresh.json" 0 "$fresh_junctor_peak" \
  "ln -sfn TARGET LINK (LINK absent)"
row fresh "ln -sfn TARGET LINK (LINK absent)" "$work/fresh.json" 1 "$fresh_ln_peak" \
  "ln -sfn TARGET LINK (LINK absent)"
row noop "junctor LINK TARGET (LINK already leads there)" "$work/noop.json" 0 "$noop_junctor_peak" \
  "ln -sfn TARGET LINK (LINK present)"
row noop "ln -sfn TARGET LINK (LINK present)" "$work/noop.json" 1 "$noop_ln_peak" \
  "ln -sfn TARGET LINK (LINK present)"

# --- the machine and the table -------------------------------------------------
fs=$(findmnt -n -o FSTYPE,OPTIONS --target "$place" 2>/dev/null | awk 'NR == 1 {print $1 " (" $2 ")"}')
[[ -n $fs ]] || fs=$(stat -f -c %T "$place")
echo
echo "- Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
  "$(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory, Linux $(uname -r)"
echo "- File system of $place: $fs"
echo "- $(hyperfine --version), $(python3 --version), $(rm --version | head -n 1)"
echo "- Tree: $(python3 bench/make_tree.py --describe), made anew before each of" \
  "$tree_runs runs (not timed); links: $link_runs runs each"
echo
python3 "$repo/bench/report.py" "$rows"
entries=$(python3 bench/make_tree.py --describe | awk '{print $1 + $3 + $6}')
dirs=$(python3 bench/make_tree.py --describe | awk '{print $1}')
echo
echo "System calls (strace -c -f) for $dirs directories and $((entries - dirs)) other entries:"
echo
echo "| call | tidyup DIR | rm -rf DIR && mkdir -p DIR |"
echo "|---|---|---|"
join -a1 -a2 -e 0 -o 0,1.2,2.2 <(sort <<<"$tidy_calls") <(sort <<<"$rm_calls") |
  sort -k2,2nr | awk '$2 + $3 >= '"$dirs"' {print "| " $1 " | " $2 " | " $3 " |"}' 
