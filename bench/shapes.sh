#!/usr/bin/env bash
# The engine against huff0 (ravmolt-huff0: one thread, in memory, rounds interleaved, medians of
# round-by-round ratios) on the real corpora of corpora.sh and on the near-flat and encoded shapes
# beside them, each SIZE bytes. The files stay in the folder, with each one's compressed twin
# (NAME.rvm), for bench/compare_engine.sh:
#
#   bench/shapes.sh BUILD [folder]       (default folder: /tmp/ravmolt-shapes)
#   bench/compare_engine.sh OLD NEW /tmp/ravmolt-shapes/*.rvm
#
# BUILD is a Release build folder with bench/ravmolt-huff0, bench/ravmolt-corpus and
# tools/ravmolt-encode. Environment: RUNS (rounds, default 9), SIZE (default 33554432), ONLY (a
# space-separated list of names, to build and measure only those). With a build configured with
# -DRAVMOLT_COUNT_JOINS=ON, ravmolt-huff0 also prints how often lanes and joins fell into step.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: bench/shapes.sh BUILD [folder]" >&2; exit 2; }
BUILD=$(cd "$1" && pwd)
WORK=${2:-/tmp/ravmolt-shapes}
RUNS=${RUNS:-9}
SIZE=${SIZE:-33554432}
CORPUS=$BUILD/bench/ravmolt-corpus
for tool in "$CORPUS" "$BUILD/bench/ravmolt-huff0" "$BUILD/tools/ravmolt-encode"; do
  [ -x "$tool" ] || { echo "shapes.sh: $tool is missing" >&2; exit 1; }
done
for tool in xxd od hexdump base64 uuencode fold; do
  command -v "$tool" >/dev/null || { echo "shapes.sh: $tool is needed" >&2; exit 1; }
done
mkdir -p "$WORK"

source "$ROOT/bench/corpora.sh"
# Random bytes are left out: huff0 stores them as they are.
NAMES=(english manpages source executable geometric fibonacci "${SHAPES[@]}")
[ -n "${ONLY:-}" ] && read -r -a NAMES <<<"$ONLY"
raws=()
for name in "${NAMES[@]}"; do
  raw=$WORK/$name.raw
  if [ ! -f "$raw" ] || [ "$(stat -c %s "$raw")" -ne "$SIZE" ]; then
    if [[ " ${SHAPES[*]} " == *" $name "* ]]; then build_shape "$name"; else build_corpus "$name"; fi
  fi
  if [ ! "$WORK/$name.rvm" -nt "$raw" ]; then
    "$BUILD/tools/ravmolt-encode" "$raw" "$WORK/$name.rvm"
  fi
  raws+=("$raw")
done
printf '%s bytes each; %s cores, load %s\n' "$SIZE" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)"
"$BUILD/bench/ravmolt-huff0" "$RUNS" "${raws[@]}" | sed "s|$WORK/||; s|\.raw | |"
