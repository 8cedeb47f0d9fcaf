#!/usr/bin/env bash
# End-to-end extraction speed: unspool against unzip, 7z and bsdtar on the same
# archives, extracting into a tmpfs so the file system does not hide differences.
# Runs alternate between the tools; the best of N runs of each is compared.
#
#   bench/e2e.sh <path-to-unspool> [runs]
set -euo pipefail
UNSPOOL=$(readlink -f "${1:?path to unspool}")
BENCH_SRC=$(dirname "$(readlink -f "$0")")
PASSWORD=bench
RUNS=${2:-5}
SHM=${BENCH_DIR:-/dev/shm/unspool-bench}
mkdir -p "$SHM"
cd "$SHM"

make_inputs() {
  # Many small files: 12 000 files of 64-4096 bytes.
  if [ ! -f small-stored.zip ]; then
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
  if [ ! -f large-stored.zip ]; then
    rm -rf large && mkdir large
    python3 -c "import random; random.seed(2); open('large/big.bin','wb').write(random.randbytes(200*1024*1024))"
    zip -q -0 -r large-stored.zip large
  fi
  # A mixed tree of real files, deflated: the libraries, documentation and tables of
  # this machine, several hundred MB in thousands of files.
  if [ ! -f mixed-deflate.zip ]; then
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
  if [ ! -f mixed-split.zip ]; then
    zip -q -s 100m mixed-deflate.zip --out mixed-split.zip
  fi
  # A text tree (documentation and Perl modules) in each method archives use today:
  # bzip2, LZMA, xz and AES-256 over Deflate from 7-Zip, zstd framed entry by entry,
  # and plain Deflate as the yardstick for zstd and AES.
  if [ ! -d text ]; then
    mkdir text
    cp -r /usr/share/doc text/ 2>/dev/null || true
    cp -r /usr/share/perl text/ 2>/dev/null || true
    find text -type l -delete
  fi
  [ -f text-deflate.zip ] || (cd text && zip -q -6 -r ../text-deflate.zip .)
  local m
  for m in BZip2 LZMA XZ; do
    [ -f "text-${m,,}.zip" ] || (cd text && 7zz a -tzip -mm="$m" -bso0 -bsp0 "../text-${m,,}.zip" .)
  done
  [ -f text-aes256.zip ] ||
    (cd text && 7zz a -tzip -mm=Deflate -mem=AES256 -p"$PASSWORD" -bso0 -bsp0 ../text-aes256.zip .)
  [ -f text-zstd.zip ] || python3 "$BENCH_SRC/zstd-zip.py" text-zstd.zip text
  # The same text as one file, where AES costs its cipher and code alone rather than a
  # key derivation per entry: AES-256 over Deflate against plain Deflate.
  if [ ! -f one-aes256.zip ]; then
    rm -rf one && mkdir one
    find text -type f -print0 | sort -z | xargs -0 cat > one/text.bin
    (cd one && zip -q -6 ../one-deflate.zip text.bin &&
      7zz a -tzip -mm=Deflate -mem=AES256 -p"$PASSWORD" -bso0 -bsp0 ../one-aes256.zip text.bin)
  fi
}

# Seconds taken by one extraction of $2 with tool $1 into a fresh folder; nothing when
# the tool cannot extract that archive (a method or cipher it lacks).
run_once() {
  local tool=$1 arc=$2 out="$SHM/out-$1"
  rm -rf "$out" && mkdir -p "$out"
  local t0 t1 rc=0
  t0=$(date +%s.%N)
  case $tool in
    unspool) "$UNSPOOL" -o -q -p "$PASSWORD" "$arc" "$out" 2>/dev/null || rc=$? ;;
    unzip) unzip -o -qq -P "$PASSWORD" "$arc" -d "$out" >/dev/null 2>&1 || rc=$? ;;
    7z) 7z x -y -bso0 -bsp0 -p"$PASSWORD" -o"$out" "$arc" >/dev/null 2>&1 || rc=$? ;;
    7zz) 7zz x -y -bso0 -bsp0 -p"$PASSWORD" -o"$out" "$arc" >/dev/null 2>&1 || rc=$? ;;
    bsdtar) bsdtar -xf "$arc" --passphrase "$PASSWORD" -C "$out" 2>/dev/null || rc=$? ;;
  esac
  t1=$(date +%s.%N)
  [ "$rc" = 0 ] && echo "$t1 - $t0" | bc
  return 0
}

make_inputs
ALL="small-stored.zip large-stored.zip mixed-deflate.zip mixed-split.zip text-deflate.zip
     text-bzip2.zip text-lzma.zip text-xz.zip text-zstd.zip text-aes256.zip one-deflate.zip
     one-aes256.zip"
for arc in ${BENCH_ONLY:-$ALL}; do
  case $arc in
    *-split.zip) tools=(unspool 7z) ;;
    text-* | one-*) tools=(unspool unzip 7zz bsdtar) ;;
    *) tools=(unspool unzip 7z bsdtar) ;;
  esac
  declare -A best=()
  for ((i = 0; i < RUNS; i++)); do
    for tool in "${tools[@]}"; do
      command -v "$tool" >/dev/null || [ "$tool" = unspool ] || continue
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
      command -v "$tool" >/dev/null && printf '  %-8s cannot extract it\n' "$tool"
      continue
    fi
    [ -n "${best[unspool]:-}" ] || { printf '  %-8s %8.3f s\n' "$tool" "${best[$tool]}"; continue; }
    ratio=$(echo "scale=2; ${best[$tool]} / ${best[unspool]}" | bc)
    printf '  %-8s %8.3f s   %s x unspool time\n' "$tool" "${best[$tool]}" "$ratio"
  done
  unset best
done
rm -rf "$SHM"/out-*
