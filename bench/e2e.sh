#!/usr/bin/env bash
# End-to-end extraction speed: unspool against unzip, 7z and bsdtar on the same
# archives, extracting into a tmpfs so the file system does not hide differences.
# Runs alternate between the tools; the best of N runs of each is compared.
#
#   bench/e2e.sh <path-to-unspool> [runs]
set -euo pipefail
UNSPOOL=$(readlink -f "${1:?path to unspool}")
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
}

# Seconds taken by one extraction of $2 with tool $1 into a fresh folder.
run_once() {
  local tool=$1 arc=$2 out="$SHM/out-$1"
  rm -rf "$out" && mkdir -p "$out"
  local t0 t1
  t0=$(date +%s.%N)
  case $tool in
    unspool) "$UNSPOOL" -o -q "$arc" "$out" ;;
    unzip) unzip -o -qq "$arc" -d "$out" ;;
    7z) 7z x -y -bso0 -bsp0 -o"$out" "$arc" >/dev/null ;;
    bsdtar) bsdtar -xf "$arc" -C "$out" ;;
  esac
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}

make_inputs
for arc in ${BENCH_ONLY:-small-stored.zip large-stored.zip mixed-deflate.zip mixed-split.zip}; do
  case $arc in
    *-split.zip) tools=(unspool 7z) ;;
    *) tools=(unspool unzip 7z bsdtar) ;;
  esac
  declare -A best=()
  for ((i = 0; i < RUNS; i++)); do
    for tool in "${tools[@]}"; do
      command -v "$tool" >/dev/null || [ "$tool" = unspool ] || continue
      s=$(run_once "$tool" "$arc")
      if [ -z "${best[$tool]:-}" ] || (( $(echo "$s < ${best[$tool]}" | bc) )); then best[$tool]=$s; fi
    done
  done
  # A split set's size is that of all its parts.
  size=$(cat "$arc" "${arc%.zip}".z[0-9]* 2>/dev/null | wc -c)
  echo "== $arc ($((size / 1024 / 1024)) MB), best of $RUNS"
  for tool in "${tools[@]}"; do
    [ -n "${best[$tool]:-}" ] || continue
    ratio=$(echo "scale=2; ${best[$tool]} / ${best[unspool]}" | bc)
    printf '  %-8s %8.3f s   %s x unspool time\n' "$tool" "${best[$tool]}" "$ratio"
  done
  unset best
done
rm -rf "$SHM"/out-*
