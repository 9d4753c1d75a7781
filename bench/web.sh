#!/usr/bin/env bash
# The WebAssembly engine against the native one on the same files, in one run: the module's
# decompress() in Node and in headless Chromium, and the C interface's in-memory call natively,
# through the portable decode loops (what WebAssembly runs), both
# into a sink that keeps nothing (the engine alone) and into a new buffer of the output's size
# (the work of decompress()). The seven corpora of bench/corpora.sh, SIZE bytes each; medians of
# PASSES passes of RUNS rounds, MiB/s of output, and the ratios to native into memory. Then the page itself on a file of PAGE_SIZE bytes of English: from
# choosing it to the download.
#
#   bench/web.sh [WEB_BUILD]     WEB_BUILD: an emcmake build folder (default build-web)
#
# Environment: RUNS (default 5), PASSES (default 3), SIZE (default 16777216), PAGE_SIZE (default 67108864; 0 skips).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
WEB=$(cd "${1:-$ROOT/build-web}" && pwd)/web
RUNS=${RUNS:-5}
PASSES=${PASSES:-3}
SIZE=${SIZE:-16777216}
PAGE_SIZE=${PAGE_SIZE:-67108864}
[ -f "$WEB/ravmolt.mjs" ] || { echo "web.sh: $WEB/ravmolt.mjs is missing; build it first" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

NATIVE=$ROOT/build-plain
cmake -S "$ROOT" -B "$NATIVE" -DCMAKE_BUILD_TYPE=Release \
  -DRAVMOLT_BUILD_TESTS=OFF -DRAVMOLT_BUILD_BENCH=ON >/dev/null
cmake --build "$NATIVE" -j2 --target ravmolt-buffer-speed ravmolt-encode ravmolt-corpus >/dev/null
CORPUS=$NATIVE/bench/ravmolt-corpus
source "$ROOT/bench/corpora.sh"

inputs=()
for name in "${CORPORA[@]}"; do
  build_corpus "$name"
  "$NATIVE/tools/ravmolt-encode" "$WORK/$name.raw" "$WORK/$name.rvm"
  rm -f "$WORK/$name.raw"
  inputs+=("$WORK/$name.rvm")
done

# The three in turn, PASSES times, so that a busy spell of the machine falls on all of them; each
# pass gives a median of RUNS rounds, and the table the median of the passes.
for ((pass = 1; pass <= PASSES; ++pass)); do
  "$NATIVE/bench/ravmolt-buffer-speed" "$RUNS" "${inputs[@]}" >"$WORK/native.pass"
  awk '{ print $1, $2 }' "$WORK/native.pass" >>"$WORK/engine.all"
  awk '{ print $1, $3 }' "$WORK/native.pass" >>"$WORK/memory.all"
  node "$ROOT/bench/web_speed.mjs" node "$WEB" "$RUNS" "${inputs[@]}" >>"$WORK/node.all"
  node "$ROOT/bench/web_speed.mjs" chromium "$WEB" "$RUNS" "${inputs[@]}" >>"$WORK/chromium.all"
done
for side in engine memory node chromium; do
  sort -k1,1 -k2,2n "$WORK/$side.all" |
    awk '{ speeds[$1] = speeds[$1] " " $2; count[$1]++ }
         END { for (f in speeds) { n = split(substr(speeds[f], 2), s, " "); print f, s[int((n + 1) / 2)] } }' \
      >"$WORK/$side"
done

printf '%s passes of %s rounds, %s MiB per corpus; %s cores, load %s\n' "$PASSES" "$RUNS" $((SIZE >> 20)) "$(nproc)" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-10s | %13s | %16s | %10s | %14s | %13s | %17s |\n' corpus 'native engine' \
  'native to memory' 'Node' 'Chromium' 'Node / native' 'Chromium / native'
printf '|%s|%s|%s|%s|%s|%s|%s|\n' ------------ --------------- ------------------ ------------ \
  ---------------- --------------- -------------------
join -j1 <(sort "$WORK/engine") <(sort "$WORK/memory") | join -j1 - <(sort "$WORK/node") |
  join -j1 - <(sort "$WORK/chromium") |
  while read -r file engine memory node chromium; do
    awk -v n="$(basename "$file" .rvm)" -v e="$engine" -v m="$memory" -v b="$node" -v c="$chromium" \
      'BEGIN { printf "| %-10s | %13.0f | %16.0f | %10.0f | %14.0f | %13.2f | %17.2f |\n",
               n, e, m, b, c, b / m, c / m }'
  done

if [ "$PAGE_SIZE" -gt 0 ]; then
  SIZE=$PAGE_SIZE build_corpus english
  mv "$WORK/english.raw" "$WORK/page.raw"
  "$NATIVE/tools/ravmolt-encode" "$WORK/page.raw" "$WORK/page-$((PAGE_SIZE >> 20))MiB.rvm"
  rm -f "$WORK/page.raw"
  node "$ROOT/bench/web_speed.mjs" page "$WEB" "$RUNS" "$WORK/page-$((PAGE_SIZE >> 20))MiB.rvm"
fi
