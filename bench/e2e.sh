#!/usr/bin/env bash
# End-to-end extraction speed: unspool against unzip, 7z and bsdtar on the same
# archives, extracting into a tmpfs so the file system does not hide differences.
# Runs alternate between the tools; the best of N runs of each is compared.
#
#   bench/e2e.sh <path-to-unspool> [runs]
#
# BENCH_ONLY="a.zip b.zip" measures (and makes) only those archives; BENCH_DIR moves the
# tmpfs folder. FLOOR=<path-to-floor_extract> adds a row for unspool on one thread
# (unspool-1) to every archive, and to the Stored and Deflate archives two rows for the
# floor: what one thread can do at best with the archive already in memory, timed by the
# program itself without reading the archive (floor), and the same after one read of the
# whole archive through a small buffer (floor+read), the floor of an extractor that reads
# its archive rather than mapping it (see bench/floor_extract.cpp).
set -euo pipefail
UNSPOOL=$(readlink -f "${1:?path to unspool}")
BENCH_SRC=$(dirname "$(readlink -f "$0")")
[ -z "${FLOOR:-}" ] || FLOOR=$(readlink -f "$FLOOR")
PASSWORD=bench
RUNS=${2:-5}
SHM=${BENCH_DIR:-/dev/shm/unspool-bench}
mkdir -p "$SHM"
cd "$SHM"

ALL="small-stored.zip large-stored.zip mixed-deflate.zip mixed-split.zip text-deflate.zip
     text-bzip2.zip text-lzma.zip text-xz.zip text-zstd.zip text-aes256.zip one-deflate.zip
     one-aes256.zip tiny-deflate.zip tree-deflate64.zip"
read -r -d '' -a LIST <<<"${BENCH_ONLY:-$ALL}" || true
# The archives measured, and those others are made from.
NEEDED=" ${LIST[*]} "
if [[ $NEEDED == *" mixed-split.zip "* ]]; then NEEDED+="mixed-deflate.zip "; fi

# True when archive $1 is needed and not made yet.
missing() { [[ $NEEDED == *" $1 "* ]] && [ ! -f "$1" ]; }

make_inputs() {
  # Many small files: 12 000 files of 64-4096 bytes.
  if missing small-stored.zip; then
    rm -rf small && mkdir small
    python3 - <<'PY'
import os, random
random.seed(1)
for d in range(120):
    os.makedirs(f"small/d{d:03d}", exist_ok=True)
    for f in range(100):
        n = random.randint(64, 4096)
        with open(f"small/d{d:03d}/f{f:03d}.txt", "wb") as fh:
            fh.write(random.randbytes(n // 2) + b"x" * (n - n // 2))
PY
    zip -q -0 -r small-stored.zip small
  fi
  # One large stored file of 200 MB.
  if missing large-stored.zip; then
    rm -rf large && mkdir large
    python3 -c "import random; random.seed(2); open('large/big.bin','wb').write(random.randbytes(200*1024*1024))"
    zip -q -0 -r large-stored.zip large
  fi
  # A mixed tree of real files, deflated: the libraries, documentation and tables of
  # this machine, several hundred MB in thousands of files.
  if missing mixed-deflate.zip; then
    rm -rf mixed && mkdir mixed
    cp -r /usr/share/doc mixed/ 2>/dev/null || true
    cp -r /usr/lib/x86_64-linux-gnu mixed/lib 2>/dev/null || true
    cp -r /usr/share/perl mixed/ 2>/dev/null || true
    find mixed -type l -delete
    (cd mixed && zip -q -6 -r ../mixed-deflate.zip .)
  fi
  # The same archive as a multi-volume set of 100 MB parts (mixed-split.z01, ...,
  # mixed-split.zip). Only unspool and 7z read such sets; the unsplit archive above
  # shows what the parts cost.
  if missing mixed-split.zip; then
    zip -q -s 100m mixed-deflate.zip --out mixed-split.zip
  fi
  # A text tree (documentation and Perl modules) in each method archives use today:
  # bzip2, LZMA, xz and AES-256 over Deflate from 7-Zip, zstd framed entry by entry,
  # and plain Deflate as the yardstick for zstd and AES.
  local arc text=
  for arc in $NEEDED; do
    case $arc in text-* | one-* | tree-*) missing "$arc" && text=1 ;; esac
  done
  if [ -n "$text" ] && [ ! -d text ]; then
    mkdir text
    cp -r /usr/share/doc text/ 2>/dev/null || true
    cp -r /usr/share/perl text/ 2>/dev/null || true
    find text -type l -delete
  fi
  if missing text-deflate.zip; then (cd text && zip -q -6 -r ../text-deflate.zip .); fi
  local m
  for m in BZip2 LZMA XZ; do
    if missing "text-${m,,}.zip"; then
      (cd text && 7zz a -tzip -mm="$m" -bso0 -bsp0 "../text-${m,,}.zip" .)
    fi
  done
  if missing text-aes256.zip; then
    (cd text && 7zz a -tzip -mm=Deflate -mem=AES256 -p"$PASSWORD" -bso0 -bsp0 ../text-aes256.zip .)
  fi
  if missing text-zstd.zip; then python3 "$BENCH_SRC/zstd-zip.py" text-zstd.zip text; fi
  # The same tree in Deflate64 from 7-Zip, which few extractors read.
  if missing tree-deflate64.zip; then
    (cd text && 7zz a -tzip -mm=Deflate64 -bso0 -bsp0 ../tree-deflate64.zip .)
  fi
  # The same text as one file, where AES costs its cipher and code alone rather than a
  # key derivation per entry: AES-256 over Deflate against plain Deflate.
  if missing one-deflate.zip || missing one-aes256.zip; then
    rm -rf one && mkdir one
    find text -type f -print0 | sort -z | xargs -0 cat > one/text.bin
    if missing one-deflate.zip; then (cd one && zip -q -6 ../one-deflate.zip text.bin); fi
    if missing one-aes256.zip; then
      (cd one &&
        7zz a -tzip -mm=Deflate -mem=AES256 -p"$PASSWORD" -bso0 -bsp0 ../one-aes256.zip text.bin)
    fi
  fi
  # Many tiny files: 20 000 text-like files of 100-2000 bytes in 200 folders, deflated,
  # where what each file costs (its folder, open, write, close, time) outweighs its bytes.
  if missing tiny-deflate.zip; then
    rm -rf tiny && mkdir tiny
    python3 - <<'PY'
import os, random
random.seed(3)
# Words of a made-up language, the common ones far more frequent, in lines of text.
words = ["".join(random.choices("etaoinshrdlucmfwypvbgk", k=random.randint(1, 9)))
         for _ in range(3000)]
weights = [1 / (rank + 1) for rank in range(len(words))]
for d in range(200):
    os.makedirs(f"tiny/d{d:03d}", exist_ok=True)
    for f in range(100):
        n = random.randint(100, 2000)
        text = []
        size = 0
        while size < n:
            line = " ".join(random.choices(words, weights, k=random.randint(4, 14))) + "\n"
            text.append(line)
            size += len(line)
        with open(f"tiny/d{d:03d}/f{f:03d}.txt", "w") as fh:
            fh.write("".join(text)[:n])
PY
    zip -q -6 -r tiny-deflate.zip tiny
  fi
}

# $1 / $2 with two decimals.
ratio() { printf '%.2f' "$(echo "scale=4; $1 / $2" | bc)"; }

# True when tool $1 can be run here.
available() {
  case $1 in
    unspool | unspool-1 | floor | floor+read) return 0 ;;
    *) command -v "$1" >/dev/null ;;
  esac
}

# Seconds taken by one extraction of $2 with tool $1 into a fresh folder; nothing when
# the tool cannot extract that archive (a method or cipher it lacks).
run_once() {
  local tool=$1 arc=$2 out="$SHM/out-$1"
  rm -rf "$out" && mkdir -p "$out"
  local t0 t1 rc=0 secs
  t0=$(date +%s.%N)
  case $tool in
    unspool) "$UNSPOOL" -o -q -p "$PASSWORD" "$arc" "$out" 2>/dev/null || rc=$? ;;
    unspool-1) "$UNSPOOL" -T 1 -o -q -p "$PASSWORD" "$arc" "$out" 2>/dev/null || rc=$? ;;
    floor) secs=$("$FLOOR" "$arc" "$out" 2>/dev/null) || rc=$? ;;
    floor+read) secs=$("$FLOOR" --read "$arc" "$out" 2>/dev/null) || rc=$? ;;
    unzip) unzip -o -qq -P "$PASSWORD" "$arc" -d "$out" >/dev/null 2>&1 || rc=$? ;;
    7z) 7z x -y -bso0 -bsp0 -p"$PASSWORD" -o"$out" "$arc" >/dev/null 2>&1 || rc=$? ;;
    7zz) 7zz x -y -bso0 -bsp0 -p"$PASSWORD" -o"$out" "$arc" >/dev/null 2>&1 || rc=$? ;;
    bsdtar) bsdtar -xf "$arc" --passphrase "$PASSWORD" -C "$out" 2>/dev/null || rc=$? ;;
  esac
  t1=$(date +%s.%N)
  [ "$rc" = 0 ] || return 0
  # The floor times itself, from the moment the archive is in memory.
  case $tool in floor*) echo "$secs" ;; *) echo "$t1 - $t0" | bc ;; esac
}

make_inputs
for arc in "${LIST[@]}"; do
  case $arc in
    *-split.zip) tools=(unspool 7z) ;;
    text-* | one-* | tree-*) tools=(unspool unzip 7zz bsdtar) ;;
    *) tools=(unspool unzip 7z bsdtar) ;;
  esac
  if [ -n "${FLOOR:-}" ]; then
    tools+=(unspool-1)
    case $arc in small-stored.zip | large-stored.zip | *-deflate.zip) tools+=(floor floor+read) ;; esac
  fi
  declare -A best=()
  for ((i = 0; i < RUNS; i++)); do
    for tool in "${tools[@]}"; do
      available "$tool" || continue
      s=$(run_once "$tool" "$arc")
      [ -n "$s" ] || continue
      if [ -z "${best[$tool]:-}" ] || (( $(echo "$s < ${best[$tool]}" | bc) )); then best[$tool]=$s; fi
    done
  done
  # A split set's size is that of all its parts.
  size=$(cat "$arc" "${arc%.zip}".z[0-9]* 2>/dev/null | wc -c || true)
  echo "== $arc ($((size / 1024 / 1024)) MB), best of $RUNS"
  for tool in "${tools[@]}"; do
    if [ -z "${best[$tool]:-}" ]; then
      if available "$tool"; then printf '  %-10s cannot extract it\n' "$tool"; fi
      continue
    fi
    printf '  %-10s %8.3f s' "$tool" "${best[$tool]}"
    if [ -n "${best[unspool]:-}" ]; then
      printf '   %s x unspool time' "$(ratio "${best[$tool]}" "${best[unspool]}")"
    fi
    case $tool in floor*)
      [ "$tool" = floor ] && printf '   (reading the archive not timed)'
      if [ -n "${best[unspool-1]:-}" ]; then
        printf '; unspool-1: %s x %s' "$(ratio "${best[unspool-1]}" "${best[$tool]}")" "$tool"
      fi
    esac
    printf '\n'
  done
  unset best
done
rm -rf "$SHM"/out-*
