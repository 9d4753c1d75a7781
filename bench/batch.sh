#!/usr/bin/env bash
# Batches of files restored the way a user restores an archive of old files: one process per file,
# as many at a time as there are processors (xargs -P). Batches of 512 files of 4 KiB, 32 of 2 MiB
# and 4 of 64 MiB, cut from real text and from executables on this machine, restored by ravmolt,
# zstd -d and lz4 -d, and copied by cp for the cost of writing the files and nothing else. Every
# tool runs once per round, in an order that turns from round to round, each into an emptied
# folder, with the inputs in the page cache. Prints medians of the round-by-round ratios.
#
# Then, one file at a time: a single 4 KiB file restored against cp copying it, and two restores
# of 64 MiB files at once, decoded on two threads each (as the tool chooses) against one thread
# each (every process held to one processor of its own with taskset).
#
#   bench/batch.sh [folder]          work in a new temporary folder under `folder` (default /tmp)
#
# Environment: RUNS (rounds, default 7), JOBS (processes at a time, default nproc). Needs cmake,
# zstd, lz4, bc, taskset and about 2 GiB of free disk.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${RUNS:-7}
JOBS=${JOBS:-$(nproc)}
BASE=${1:-/tmp}
for tool in cmake zstd lz4 bc taskset; do
  command -v "$tool" >/dev/null || { echo "batch.sh: $tool is needed" >&2; exit 1; }
done
mkdir -p "$BASE"
WORK=$(mktemp -d "$BASE/ravmolt-batch.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

BUILD=$ROOT/build-bench
echo "== building (Release) in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DRAVMOLT_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target ravmolt ravmolt-encode >/dev/null
RAVMOLT=$BUILD/app/ravmolt
ENCODE=$BUILD/tools/ravmolt-encode

# source KIND: writes $WORK/KIND.all, 256 MiB of real files of that kind, repeated as needed.
source_of() {
  local out=$WORK/$1.all seed=$WORK/$1.seed
  case $1 in
    text) { find /usr/share/common-licenses -type f -print0 | sort -z
            find /usr/share/doc -type f \( -name copyright -o -iname 'README*' -o -iname 'NEWS*' \
              -o -name '*.txt' -o -name '*.md' \) ! -name '*.gz' -size +1k -print0 | sort -z
          } | (xargs -0 cat 2>/dev/null || true) | head -c $((64 << 20)) >"$seed" || true ;;
    executable) find /usr/bin -maxdepth 1 -type f -size +4k -print0 | sort -z |
          (xargs -0 cat 2>/dev/null || true) | head -c $((256 << 20)) >"$seed" || true ;;
  esac
  [ -s "$seed" ] || { echo "batch.sh: no $1 found" >&2; exit 1; }
  : >"$out"
  while [ "$(stat -c %s "$out")" -lt $((256 << 20)) ]; do cat "$seed" >>"$out"; done
  rm -f "$seed"
}

# batch KIND COUNT SIZE: COUNT files of SIZE bytes cut one after another from KIND's source, in
# raw/, and each compressed by all three tools.
batch() {
  local dir=$WORK/$1-$2x$3
  mkdir -p "$dir/raw" "$dir/rvm" "$dir/zst" "$dir/lz4"
  for ((i = 0; i < $2; ++i)); do
    local name
    name=$(printf 'f%04d' "$i")
    dd if="$WORK/$1.all" of="$dir/raw/$name" bs=1M skip=$((i * $3)) count="$3" status=none \
      iflag=skip_bytes,count_bytes
    "$ENCODE" "$dir/raw/$name" "$dir/rvm/$name"
    zstd -q -f "$dir/raw/$name" -o "$dir/zst/$name"
    lz4 -q -f "$dir/raw/$name" "$dir/lz4/$name"
  done
  (cd "$dir/raw" && ls) >"$dir/names"
  [ "$(stat -c %s "$dir/raw/f0000")" -eq "$3" ] || { echo "batch.sh: a file of $1 is short" >&2; exit 1; }
  echo "$dir"
}

# run_batch TOOL DIR: seconds for the whole batch, into an emptied out/.
run_batch() {
  local tool=$1 dir=$2 start end
  rm -rf "$dir/out"
  mkdir "$dir/out"
  start=$EPOCHREALTIME
  case $tool in
    ravmolt) xargs -P"$JOBS" -I{} "$RAVMOLT" "$dir/rvm/{}" "$dir/out/{}" <"$dir/names" >/dev/null ;;
    cp) xargs -P"$JOBS" -I{} cp "$dir/raw/{}" "$dir/out/{}" <"$dir/names" ;;
    zstd) xargs -P"$JOBS" -I{} zstd -d -q -f "$dir/zst/{}" -o "$dir/out/{}" <"$dir/names" ;;
    lz4) xargs -P"$JOBS" -I{} lz4 -d -q -f "$dir/lz4/{}" "$dir/out/{}" <"$dir/names" ;;
  esac
  end=$EPOCHREALTIME
  echo "$end - $start" | bc -l
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
med() { printf '%s\n' "$@" | median; }
ratio() { echo "$1 / $2" | bc -l; }

echo "== building the batches in $WORK"
source_of text
source_of executable
BATCHES=()
for kind in text executable; do
  BATCHES+=("$(batch "$kind" 512 4096)" "$(batch "$kind" 32 $((2 << 20)))" "$(batch "$kind" 4 $((64 << 20)))")
  rm -f "$WORK/$kind.all"
done
for dir in "${BATCHES[@]}"; do
  for ((i = 0; i < 3; ++i)); do  # checked, and in the page cache
    xargs -P"$JOBS" -I{} "$RAVMOLT" "$dir/rvm/{}" "$dir/out-check-{}" <"$dir/names" >/dev/null
  done
  while read -r name; do
    cmp -s "$dir/raw/$name" "$dir/out-check-$name" || { echo "batch.sh: $name restored wrongly" >&2; exit 1; }
    rm -f "$dir/out-check-$name"
  done <"$dir/names"
  cat "$dir"/raw/* "$dir"/rvm/* "$dir"/zst/* "$dir"/lz4/* >/dev/null
done
sync

TOOLS=(ravmolt cp zstd lz4)
printf '\n== %s rounds, %s processes at a time; %s cores, load %s\n' "$RUNS" "$JOBS" "$(nproc)" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '| %-22s | %8s | %8s | %8s | %8s | %10s | %12s | %11s |\n' batch 'cp ms' 'ravmolt' 'zstd -d' \
  'lz4 -d' 'ravmolt/cp' 'zstd/ravmolt' 'lz4/ravmolt'
printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' ------------------------ ---------- ---------- ---------- \
  ---------- ------------ -------------- -------------
for dir in "${BATCHES[@]}"; do
  for tool in "${TOOLS[@]}"; do run_batch "$tool" "$dir" >/dev/null; done  # a round not counted
  declare -A T=()
  rc=() zr=() lr=()
  for ((run = 0; run < RUNS; ++run)); do
    declare -A t=()
    for ((k = 0; k < ${#TOOLS[@]}; ++k)); do
      tool=${TOOLS[$(((k + run) % ${#TOOLS[@]}))]}
      t[$tool]=$(run_batch "$tool" "$dir")
      T[$tool]+="${t[$tool]} "
    done
    rc+=("$(ratio "${t[ravmolt]}" "${t[cp]}")")
    zr+=("$(ratio "${t[zstd]}" "${t[ravmolt]}")")
    lr+=("$(ratio "${t[lz4]}" "${t[ravmolt]}")")
  done
  ms() { echo "$(printf '%s\n' ${T[$1]} | median) * 1000" | bc -l; }
  printf '| %-22s | %8.1f | %8.1f | %8.1f | %8.1f | %10.2f | %12.2f | %11.2f |\n' \
    "$(basename "$dir")" "$(ms cp)" "$(ms ravmolt)" "$(ms zstd)" "$(ms lz4)" "$(med "${rc[@]}")" \
    "$(med "${zr[@]}")" "$(med "${lr[@]}")"
  rm -rf "$dir/out"
done

# One 4 KiB file at a time: 200 runs of each per round, back to back.
small=${BATCHES[0]}
single() {
  local start end
  start=$EPOCHREALTIME
  for ((i = 0; i < 200; ++i)); do
    rm -f "$WORK/one"
    case $1 in
      ravmolt) "$RAVMOLT" "$small/rvm/f0000" "$WORK/one" >/dev/null ;;
      cp) cp "$small/raw/f0000" "$WORK/one" ;;
    esac
  done
  end=$EPOCHREALTIME
  echo "($end - $start) / 200" | bc -l
}
sr=() st=() sc=()
for ((run = 0; run < RUNS; ++run)); do
  if ((run % 2)); then c=$(single cp); r=$(single ravmolt); else r=$(single ravmolt); c=$(single cp); fi
  sr+=("$(ratio "$r" "$c")") st+=("$r") sc+=("$c")
done
printf '\nOne 4 KiB file (text), whole process: ravmolt %.3f ms, cp %.3f ms, ravmolt/cp %.2f\n' \
  "$(echo "$(med "${st[@]}") * 1000" | bc -l)" "$(echo "$(med "${sc[@]}") * 1000" | bc -l)" "$(med "${sr[@]}")"

# Two 64 MiB restores at once: as the tool chooses (two threads each), and one thread each.
big=${BATCHES[5]}
pair() {
  local start end
  rm -f "$WORK/a" "$WORK/b"
  start=$EPOCHREALTIME
  if [ "$1" = two ]; then
    "$RAVMOLT" "$big/rvm/f0000" "$WORK/a" >/dev/null & "$RAVMOLT" "$big/rvm/f0001" "$WORK/b" >/dev/null
  else
    taskset -c 0 "$RAVMOLT" "$big/rvm/f0000" "$WORK/a" >/dev/null &
    taskset -c 1 "$RAVMOLT" "$big/rvm/f0001" "$WORK/b" >/dev/null
  fi
  wait
  end=$EPOCHREALTIME
  echo "$end - $start" | bc -l
}
pr=() p2=() p1=()
for ((run = 0; run < RUNS; ++run)); do
  if ((run % 2)); then o=$(pair one); w=$(pair two); else w=$(pair two); o=$(pair one); fi
  pr+=("$(ratio "$w" "$o")") p2+=("$w") p1+=("$o")
done
printf 'Two 64 MiB executables at once: two threads each %.1f ms, one thread each %.1f ms, two/one %.2f\n' \
  "$(echo "$(med "${p2[@]}") * 1000" | bc -l)" "$(echo "$(med "${p1[@]}") * 1000" | bc -l)" "$(med "${pr[@]}")"
echo "Ratios are medians of round-by-round ratios of times; ravmolt/cp below 1.1 and the others"
echo "above 2 are the targets."
