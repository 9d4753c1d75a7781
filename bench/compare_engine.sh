#!/usr/bin/env bash
# The engine of two builds side by side, in memory, on the synthetic corpora of ravmolt_bench
# (and any compressed files given after the builds). In every round each build runs its `fast/`
# benchmarks once, in an order that alternates from round to round. Prints, per case, each
# build's median speed and the median of the round-by-round ratios (new speed / old speed: above
# 1 the new build is faster).
#
#   bench/compare_engine.sh OLD_BUILD NEW_BUILD [file.rvm ...]
#
# Each build folder must hold bench/ravmolt_bench (a Release build with Google Benchmark).
# Environment: RUNS (rounds, default 5), MIN_TIME (seconds per benchmark, default 0.2), and
# OLD_ARGS and NEW_ARGS, more arguments for each build's ravmolt_bench: with one build given twice
# and, say, OLD_ARGS=--cpu-features=0 NEW_ARGS=--cpu-features=1, it compares two sets of decode
# loops on this processor.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: bench/compare_engine.sh OLD_BUILD NEW_BUILD [file.rvm ...]" >&2; exit 2; }
OLD=$(cd "$1" && pwd)
NEW=$(cd "$2" && pwd)
shift 2
RUNS=${RUNS:-5}
MIN_TIME=${MIN_TIME:-0.2}
for build in "$OLD" "$NEW"; do
  [ -x "$build/bench/ravmolt_bench" ] || { echo "compare_engine.sh: $build/bench/ravmolt_bench is missing" >&2; exit 1; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# speeds BUILD EXTRA_ARGS FILES...: "case bytes_per_second" for each fast/ benchmark.
speeds() {
  # shellcheck disable=SC2086 # the extra arguments are meant to split into words
  "$1/bench/ravmolt_bench" --benchmark_filter='^fast/' --benchmark_min_time="$MIN_TIME" \
    --benchmark_format=csv $2 "${@:3}" 2>/dev/null |
    awk -F, '/^"fast\// { name = $1; gsub(/"/, "", name); print name, $6 }'
}

for ((run = 1; run <= RUNS; ++run)); do
  if ((run % 2)); then order=(old new); else order=(new old); fi
  for which in "${order[@]}"; do
    build=$OLD extra=${OLD_ARGS:-}
    [ "$which" = new ] && build=$NEW extra=${NEW_ARGS:-}
    speeds "$build" "$extra" "$@" >"$WORK/$which.$run"
  done
done

printf '%s rounds; %s cores, load %s\n' "$RUNS" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-24s | %9s | %9s | %9s |\n' case 'old GiB/s' 'new GiB/s' 'new/old'
printf '|%s|%s|%s|%s|\n' -------------------------- ----------- ----------- -----------
# Joins the rounds by case, then takes the medians of each build's speeds and of the ratios.
awk -v runs="$RUNS" '
  function median(list, n,    i, j, t) {
    for (i = 2; i <= n; ++i) for (j = i; j > 1 && list[j - 1] > list[j]; --j) {
      t = list[j]; list[j] = list[j - 1]; list[j - 1] = t
    }
    return (n % 2) ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
  }
  FNR == 1 { file = FILENAME; sub(/.*\//, "", file); split(file, part, "."); which = part[1]; run = part[2] }
  { speed[which, run, $1] = $2; if (!($1 in seen)) { seen[$1] = 1; names[++count] = $1 } }
  END {
    for (c = 1; c <= count; ++c) {
      name = names[c]
      for (r = 1; r <= runs; ++r) {
        o[r] = speed["old", r, name]; n[r] = speed["new", r, name]; q[r] = n[r] / o[r]
      }
      printf "| %-24s | %9.2f | %9.2f | %9.3f |\n", name, median(o, runs) / 2^30,
        median(n, runs) / 2^30, median(q, runs)
    }
  }' $(for ((run = 1; run <= RUNS; ++run)); do echo "$WORK/old.$run" "$WORK/new.$run"; done)
