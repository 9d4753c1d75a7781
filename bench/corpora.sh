# Shared by the benchmark scripts: the seven corpora, built from files on this machine and from the
# synthetic generator. Needs WORK (a folder), SIZE (bytes per corpus) and CORPUS (the path of
# ravmolt-corpus) set by the script that sources it.

# take N LIST: the first N bytes of the files named in LIST (NUL-separated), concatenated.
take() {
  (xargs -0 cat <"$2" 2>/dev/null || true) | head -c "$1" || true
}

# repeat_to_size SEED OUT: repeats SEED until OUT holds exactly SIZE bytes.
repeat_to_size() {
  [ -s "$1" ] || { echo "bench: no input found for $2" >&2; exit 1; }
  : >"$2"
  while [ "$(stat -c %s "$2")" -lt "$SIZE" ]; do cat "$1" >>"$2"; done
  truncate -s "$SIZE" "$2"
  rm -f "$1"
}

CORPORA=(english manpages source executable random geometric fibonacci)
LIST=$WORK/list
SEED=$WORK/seed

# build_corpus NAME: writes $WORK/NAME.raw, SIZE bytes.
build_corpus() {
  case $1 in
    english)  # the licence texts and package documentation (copyright, README, NEWS, *.txt)
      { find /usr/share/common-licenses -type f -print0 | sort -z
        find /usr/share/doc -type f \( -name copyright -o -iname 'README*' -o -iname 'NEWS*' \
          -o -name '*.txt' -o -name '*.md' \) ! -name '*.gz' -size +1k -print0 | sort -z
      } >"$LIST"
      take "$SIZE" "$LIST" >"$SEED" ;;
    manpages)  # man pages in roff, decompressed one after another
      find /usr/share/man -type f -name '*.gz' -print0 | sort -z >"$LIST"
      (xargs -0 zcat -f <"$LIST" 2>/dev/null || true) | head -c "$SIZE" >"$SEED" || true ;;
    source)  # half C headers, half Python
      find /usr/include -type f -name '*.h' -print0 | sort -z >"$LIST"
      take $((SIZE / 2)) "$LIST" >"$SEED"
      find /usr/lib/python3* -type f -name '*.py' -print0 2>/dev/null | sort -z >"$LIST"
      take $((SIZE / 2)) "$LIST" >>"$SEED" ;;
    executable)  # x86 executables
      find /usr/bin -maxdepth 1 -type f -size +4k -print0 | sort -z >"$LIST"
      take "$SIZE" "$LIST" >"$SEED" ;;
    *) "$CORPUS" "$1" "$SIZE" "$WORK/$1.raw"; return ;;
  esac
  rm -f "$LIST"
  repeat_to_size "$SEED" "$WORK/$1.raw"
}


# Near-flat and encoded data as found in old archives: hex dumps, base64 and uuencoded mail,
# digit tables, a few nearly equiprobable symbols with a rare newline. Nearly every code of these
# has one length, and a rare longer one (the newline) keeps the lengths from being uniform.
SHAPES=(xxd od hexdump b64-text b64-text-flat b64-random b64-random-flat b64-exe uuencode csv
  flat2 flat4 flat8 flat16 flat32)

# random_bytes OUT: SIZE deterministic random bytes (the generator's uniform corpus).
random_bytes() { "$CORPUS" random "$SIZE" "$1"; }

# symbols N: the first N of 32 letters and digits, repeated to 256 characters, so that `tr` maps
# random bytes onto N equiprobable symbols.
symbols() {
  local set=abcdefghijklmnopqrstuvwxyz012345 out=""
  while [ ${#out} -lt 256 ]; do out+=${set:0:$1}; done
  printf '%s' "$out"
}

# build_shape NAME: writes $WORK/NAME.raw, SIZE bytes.
build_shape() {
  local bytes=$WORK/shape-bytes
  case $1 in
    xxd | od | hexdump | b64-random* | uuencode | flat*) random_bytes "$bytes" ;;
    b64-text*) [ -f "$WORK/english.raw" ] || build_corpus english
      cp "$WORK/english.raw" "$bytes" ;;
    b64-exe) [ -f "$WORK/executable.raw" ] || build_corpus executable
      cp "$WORK/executable.raw" "$bytes" ;;
  esac
  case $1 in
    xxd) xxd -p "$bytes" ;;                          # 60 hex digits a line
    od) od -tx1 "$bytes" ;;                          # offsets, then 16 bytes as hex
    hexdump) hexdump -C "$bytes" ;;                  # offsets, hex and the printable column
    b64-text | b64-random | b64-exe) base64 "$bytes" ;;  # 76 characters a line, as mailed
    b64-text-flat | b64-random-flat) base64 -w0 "$bytes" ;;
    uuencode) uuencode data <"$bytes" ;;
    csv)  # a table of measurements: an index, integers and decimals
      awk 'BEGIN { srand(7); for (i = 0; ; ++i)
        printf "%d,%d,%.3f,%.2f,%d\n", i, int(rand() * 100000), rand() * 1000,
          rand() * 100 - 50, int(rand() * 10) }' ;;
    flat*) tr '\000-\377' "$(symbols "${1#flat}")" <"$bytes" | fold -w 72 ;;
  esac 2>/dev/null | head -c "$SIZE" >"$WORK/$1.raw" || true
  rm -f "$bytes"
  [ "$(stat -c %s "$WORK/$1.raw")" -eq "$SIZE" ] || { echo "bench: $1 is short" >&2; exit 1; }
}
