#!/usr/bin/env bash
# Legacy-method extraction speed: the Shrink, Reduce and Implode archives of
# ../shared/bench-legacy (74 files, 8.4 MB each) with unspool, and with Info-ZIP unzip
# where it can decode the method (Shrink, Implode; it has no Reduce). Extracts into a
# tmpfs, alternating the tools; the best of N runs of each is compared, and unspool's
# output is checked against the archive's own CRCs (exit status 0).
#
#   bench/legacy.sh <path-to-unspool> [runs]
set -euo pipefail
UNSPOOL=$(readlink -f "${1:?path to unspool}")
RUNS=${2:-5}
SRC=$(cd "$(dirname "$0")/../../shared/bench-legacy" && pwd)
SHM=${BENCH_DIR:-/dev/shm/unspool-legacy}
mkdir -p "$SHM"

# Seconds taken by one extraction of $2 with tool $1, or "fail".
run_once() {
  local tool=$1 arc=$2 out="$SHM/out-$1" t0 t1 rc=0
  rm -rf "$out" && mkdir -p "$out"
  t0=$(date +%s.%N)
  case $tool in
    unspool) "$UNSPOOL" -o -q "$arc" "$out" 2>/dev/null || rc=$? ;;
    unzip) unzip -o -qq "$arc" -d "$out" >/dev/null 2>&1 || rc=$? ;;
  esac
  t1=$(date +%s.%N)
  if [ "$rc" -ne 0 ]; then echo fail; else echo "$t1 - $t0" | bc; fi
}

for arc in "$SRC"/shrink.zip "$SRC"/reduce?.zip "$SRC"/implode-*.zip; do
  declare -A best=()
  for ((i = 0; i < RUNS; i++)); do
    for tool in unspool unzip; do
      command -v "$tool" >/dev/null || [ "$tool" = unspool ] || continue
      s=$(run_once "$tool" "$arc")
      if [ "$s" = fail ]; then best[$tool]=fail; continue; fi
      [ "${best[$tool]:-}" = fail ] && continue
      if [ -z "${best[$tool]:-}" ] || (( $(echo "$s < ${best[$tool]}" | bc) )); then best[$tool]=$s; fi
    done
  done
  printf '== %s, best of %d\n' "$(basename "$arc")" "$RUNS"
  for tool in unspool unzip; do
    [ -n "${best[$tool]:-}" ] || continue
    if [ "${best[$tool]}" = fail ] || [ "${best[unspool]}" = fail ]; then
      printf '  %-8s %s\n' "$tool" "${best[$tool]}"
    else
      printf '  %-8s %8.3f s   %s x unspool time\n' "$tool" "${best[$tool]}" \
        "$(echo "scale=2; ${best[$tool]} / ${best[unspool]}" | bc)"
    fi
  done
  unset best
done
rm -rf "$SHM"
