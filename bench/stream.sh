#!/usr/bin/env bash
# The streaming call against the in-memory one, in one run: the seven corpora of bench/corpora.sh,
# SIZE bytes each, decoded ROUNDS times each way in turn (bench/stream_speed_main.cpp). Prints a
# table of the median speeds in MiB/s of output and the median of the rounds' ratios.
#
#   bench/stream.sh [BUILD]     BUILD: a Release build folder (default build)
#
# Environment: ROUNDS (default 15), SIZE (default 16777216).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
ROUNDS=${ROUNDS:-15}
SIZE=${SIZE:-16777216}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

cmake --build "$BUILD" -j2 --target ravmolt-stream-speed ravmolt-encode ravmolt-corpus >/dev/null
CORPUS=$BUILD/bench/ravmolt-corpus
source "$ROOT/bench/corpora.sh"

inputs=()
for name in "${CORPORA[@]}"; do
  build_corpus "$name"
  "$BUILD/tools/ravmolt-encode" "$WORK/$name.raw" "$WORK/$name.rvm"
  rm -f "$WORK/$name.raw"
  inputs+=("$WORK/$name.rvm")
done

printf '%s rounds, %s MiB per corpus, 64 KiB pieces into 256 KiB of room; %s cores, load %s\n' \
  "$ROUNDS" $((SIZE >> 20)) "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-10s | %11s | %11s | %16s |\n' corpus 'buffer call' 'streaming' 'streaming/buffer'
printf '|%s|%s|%s|%s|\n' ------------ ------------- ------------- ------------------
"$BUILD/bench/ravmolt-stream-speed" "$ROUNDS" "${inputs[@]}" |
  while read -r file buffer stream ratio; do
    printf '| %-10s | %11s | %11s | %16s |\n' "$(basename "$file" .rvm)" "$buffer" "$stream" "$ratio"
  done
