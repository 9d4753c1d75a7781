#!/usr/bin/env bash
# Whole-process benchmark: builds seven corpora (64 MiB each by default) from files on this
# machine and from the synthetic generator, one at a time, compresses each with ravmolt-encode,
# zstd and lz4, then times, side by side in the same rounds, with the input in the page cache and
# the output going to a file:
#   ravmolt, ravmolt-plain (one tree step per bit, one stream call per byte), zstd -d, lz4 -d,
#   and cat raw > out (the cost of only writing the output).
# Prints the median throughput (MB/s of output, 1 MB = 10^6 bytes) and ratios, then the peak
# resident memory of ravmolt on each corpus and on one output larger than 1 GiB.
#
#   bench/run.sh [folder]      work in a new temporary folder under `folder` (default /tmp)
#
# Environment: RUNS (default 9), SIZE (bytes per corpus, default 67108864), BIG (bytes of the
# large output for the memory check, default 1342177280; 0 skips it).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${RUNS:-9}
SIZE=${SIZE:-67108864}
BIG=${BIG:-1342177280}
BASE=${1:-/tmp}
mkdir -p "$BASE"
WORK=$(mktemp -d "$BASE/ravmolt-bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

for tool in cmake zstd lz4 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed" >&2; exit 1; }
done

BUILD=$ROOT/build-bench
echo "== building (Release) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DRAVMOLT_BUILD_TESTS=OFF \
  -DRAVMOLT_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2 --target ravmolt ravmolt-encode ravmolt-plain ravmolt-corpus >/dev/null
RAVMOLT=$BUILD/app/ravmolt
PLAIN=$BUILD/bench/ravmolt-plain
ENCODE=$BUILD/tools/ravmolt-encode
CORPUS=$BUILD/bench/ravmolt-corpus

source "$ROOT/bench/corpora.sh"

TOOLS=(ravmolt plain zstd lz4 cat)
run_tool() {
  local tool=$1 name=$WORK/$2 out=$WORK/out
  case $tool in
    ravmolt) "$RAVMOLT" "$name.rvm" "$out" >/dev/null ;;
    plain) "$PLAIN" "$name.rvm" "$out" ;;
    zstd) zstd -d -q -f "$name.zst" -o "$out" ;;
    lz4) lz4 -d -q -f "$name.lz4" "$out" ;;
    cat) cat "$name.raw" >"$out" ;;
  esac
}

# Seconds, from EPOCHREALTIME (no process of its own, unlike date).
elapsed() {
  local start end
  rm -f "$WORK/out"
  start=$EPOCHREALTIME
  run_tool "$@"
  end=$EPOCHREALTIME
  echo "$end - $start" | bc -l
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

peak_rss() {  # prints ravmolt's peak resident set in KiB for restoring $1
  /usr/bin/time -v "$RAVMOLT" "$1" "$WORK/out" 2>&1 >/dev/null |
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'
  rm -f "$WORK/out"
}

# One corpus at a time: built, compressed, checked, then timed while its files are the only large
# ones around. This machine's page cache drops files it has not read for a while even with memory
# free, and with all seven corpora built first, the oldest were read from disk in their rounds.
echo "== $RUNS rounds per corpus of $SIZE bytes, every tool once per round, in $WORK;" \
  "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A TIMES RSS
for name in "${CORPORA[@]}"; do
  echo "   $name"
  build_corpus "$name"
  raw=$WORK/$name.raw
  "$ENCODE" "$raw" "$WORK/$name.rvm"
  zstd -q -f "$raw" -o "$WORK/$name.zst"
  lz4 -q -f "$raw" "$WORK/$name.lz4"
  "$RAVMOLT" "$WORK/$name.rvm" "$WORK/check" >/dev/null
  cmp -s "$raw" "$WORK/check" || { echo "run.sh: ravmolt restored $name wrongly" >&2; exit 1; }
  rm -f "$WORK/check"
  # Written out now, so that their writeback does not land in the timed rounds.
  sync
  cat "$WORK/$name".* >/dev/null  # into the page cache
  for tool in "${TOOLS[@]}"; do elapsed "$tool" "$name" >/dev/null; done  # a round not counted
  for ((run = 1; run <= RUNS; ++run)); do
    for tool in "${TOOLS[@]}"; do
      TIMES[$name.$tool]+="$(elapsed "$tool" "$name") "
    done
  done
  RSS[$name]="$(peak_rss "$WORK/$name.rvm") (compressed $(stat -c %s "$WORK/$name.rvm") bytes)"
  rm -f "$WORK/$name".* "$WORK/out"
done

mbps() { echo "$SIZE / $1 / 1000000" | bc -l; }
printf '\nMedian throughput, MB/s of output (%s runs each, same rounds), and ravmolt ratios\n' "$RUNS"
printf '| %-10s | %7s | %7s | %7s | %7s | %7s | %7s | %7s | %8s | %7s |\n' corpus ravmolt plain \
  'zstd -d' 'lz4 -d' cat '/zstd' '/lz4' '/plain' '/cat'
printf '|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n' ------------ --------- --------- --------- --------- \
  --------- --------- --------- ---------- ---------
for name in "${CORPORA[@]}"; do
  declare -A MED=()
  for tool in "${TOOLS[@]}"; do
    MED[$tool]=$(echo "${TIMES[$name.$tool]}" | tr ' ' '\n' | grep . | median)
  done
  printf '| %-10s | %7.0f | %7.1f | %7.0f | %7.0f | %7.0f | %7.2f | %7.2f | %8.1f | %7.2f |\n' \
    "$name" "$(mbps "${MED[ravmolt]}")" "$(mbps "${MED[plain]}")" "$(mbps "${MED[zstd]}")" \
    "$(mbps "${MED[lz4]}")" "$(mbps "${MED[cat]}")" \
    "$(echo "${MED[zstd]} / ${MED[ravmolt]}" | bc -l)" "$(echo "${MED[lz4]} / ${MED[ravmolt]}" | bc -l)" \
    "$(echo "${MED[plain]} / ${MED[ravmolt]}" | bc -l)" "$(echo "${MED[cat]} / ${MED[ravmolt]}" | bc -l)"
done

printf '\nPeak resident memory of ravmolt (/usr/bin/time -v), KiB\n'
for name in "${CORPORA[@]}"; do printf '  %-10s %s\n' "$name" "${RSS[$name]}"; done

if [ "$BIG" -gt 0 ]; then
  "$CORPUS" steep "$BIG" "$WORK/big.raw"
  "$ENCODE" "$WORK/big.raw" "$WORK/big.rvm"
  rss=$(/usr/bin/time -v "$RAVMOLT" "$WORK/big.rvm" "$WORK/big.out" 2>&1 >/dev/null |
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
  cmp -s "$WORK/big.raw" "$WORK/big.out" || { echo "run.sh: large output wrong" >&2; exit 1; }
  printf '  %-10s %s (output %s bytes, compressed %s bytes)\n' large "$rss" \
    "$(stat -c %s "$WORK/big.out")" "$(stat -c %s "$WORK/big.rvm")"
fi
