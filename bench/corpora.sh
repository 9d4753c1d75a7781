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

