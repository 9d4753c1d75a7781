#!/usr/bin/env bash
# Two builds of ravmolt side by side, for a change that must not slow anything down. For each of
# the seven corpora (64 MiB by default, see corpora.sh), in every round both builds restore the
# same compressed file into a file that did not exist (whole process, input in the page cache),
# and both run their engine benchmark on it in memory, in an order that alternates from round to
# round. Prints, per corpus, each build's median and the median of the round-by-round ratios
# (new time / old time: below 1 the new build is faster).
#
#   bench/compare.sh OLD_BUILD NEW_BUILD [folder]
#
# Each build folder must hold app/ravmolt and bench/ravmolt_bench (a Release build with Google
# Benchmark). Environment: RUNS (rounds, default 11), SIZE (bytes per corpus, default 67108864).
# Needs bc and about 5 x SIZE bytes of free disk in `folder` (default /tmp).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 2 ] || { echo "usage: bench/compare.sh OLD_BUILD NEW_BUILD [folder]" >&2; exit 2; }
OLD=$(cd "$1" && pwd)
NEW=$(cd "$2" && pwd)
RUNS=${RUNS:-11}
SIZE=${SIZE:-67108864}
BASE=${3:-/tmp}
for build in "$OLD" "$NEW"; do
  for tool in app/ravmolt bench/ravmolt_bench tools/ravmolt-encode bench/ravmolt-corpus; do
    [ -x "$build/$tool" ] || { echo "compare.sh: $build/$tool is missing" >&2; exit 1; }
  done
done
command -v bc >/dev/null || { echo "compare.sh: bc is needed" >&2; exit 1; }
mkdir -p "$BASE"
WORK=$(mktemp -d "$BASE/ravmolt-compare.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
CORPUS=$NEW/bench/ravmolt-corpus
source "$ROOT/bench/corpora.sh"

# process BUILD FILE: seconds for one whole-process restore into a new file.
process() {
  rm -f "$WORK/out"
  local start=$EPOCHREALTIME
  "$1/app/ravmolt" "$2" "$WORK/out" >/dev/null
  local end=$EPOCHREALTIME
  echo "$end - $start" | bc -l
}

# engine BUILD FILE: seconds for one in-memory decode, as the engine benchmark measures it.
engine() {
  "$1/bench/ravmolt_bench" --benchmark_filter='^fast/' --benchmark_min_time=0.3 \
    --benchmark_format=csv "$2" 2>/dev/null |
    awk -F, '/^"fast\// { t = $4; u = $5; gsub(/"/, "", u)
      s = (u == "ns") ? 1e-9 : (u == "us") ? 1e-6 : (u == "ms") ? 1e-3 : 1; printf "%.9f\n", t * s }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%s rounds per corpus of %s bytes; %s cores, load %s\n' "$RUNS" "$SIZE" "$(nproc)" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-10s | %9s | %9s | %9s | %9s | %9s | %9s |\n' corpus 'old ms' 'new ms' 'new/old' \
  'old GiB/s' 'new GiB/s' 'new/old'
printf '|%s|%s|%s|%s|%s|%s|%s|\n' ------------ ----------- ----------- ----------- ----------- \
  ----------- -----------
for name in "${CORPORA[@]}"; do
  build_corpus "$name"
  file=$WORK/$name.rvm
  "$NEW/tools/ravmolt-encode" "$WORK/$name.raw" "$file"
  for build in "$OLD" "$NEW"; do
    "$build/app/ravmolt" "$file" "$WORK/check" >/dev/null
    cmp -s "$WORK/$name.raw" "$WORK/check" || { echo "compare.sh: $build restored $name wrongly" >&2; exit 1; }
    rm -f "$WORK/check"
  done
  rm -f "$WORK/$name.raw"
  sync
  cat "$file" >/dev/null  # into the page cache
  process "$OLD" "$file" >/dev/null; process "$NEW" "$file" >/dev/null  # a round not counted
  oldP=() newP=() ratioP=() oldE=() newE=() ratioE=()
  for ((run = 1; run <= RUNS; ++run)); do
    if ((run % 2)); then order=("$OLD" "$NEW"); else order=("$NEW" "$OLD"); fi
    declare -A p=() e=()
    for build in "${order[@]}"; do p[$build]=$(process "$build" "$file"); done
    for build in "${order[@]}"; do e[$build]=$(engine "$build" "$file"); done
    oldP+=("${p[$OLD]}") newP+=("${p[$NEW]}") oldE+=("${e[$OLD]}") newE+=("${e[$NEW]}")
    ratioP+=("$(echo "${p[$NEW]} / ${p[$OLD]}" | bc -l)")
    ratioE+=("$(echo "${e[$NEW]} / ${e[$OLD]}" | bc -l)")
  done
  med() { printf '%s\n' "$@" | median; }
  gibps() { echo "$SIZE / $1 / 1073741824" | bc -l; }
  printf '| %-10s | %9.1f | %9.1f | %9.3f | %9.2f | %9.2f | %9.3f |\n' "$name" \
    "$(echo "$(med "${oldP[@]}") * 1000" | bc -l)" "$(echo "$(med "${newP[@]}") * 1000" | bc -l)" \
    "$(med "${ratioP[@]}")" "$(gibps "$(med "${oldE[@]}")")" "$(gibps "$(med "${newE[@]}")")" \
    "$(med "${ratioE[@]}")"
  rm -f "$file" "$WORK/out"
done
echo "ms: whole process (median); GiB/s: engine in memory, one thread (median); new/old: median"
echo "of the round-by-round ratios of times, below 1 faster"
