#!/usr/bin/env bash
# Peak memory and time of the command on a directory of a million entries and on the
# non-recursive bombs (bench/hostile-zips.py writes them), measured with GNU time: peak
# resident set, wall time, exit status, report lines and bytes written. Give a second
# command to compare (an older build); each run stops after BENCH_TIMEOUT seconds.
#
#   bench/peak-rss.sh <path-to-unspool> [another-unspool] [entries]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tools=("$(readlink -f "${1:?path to unspool}")")
[ -n "${2:-}" ] && tools+=("$(readlink -f "$2")")
names=(A B)
entries=${3:-1000000}
timeout=${BENCH_TIMEOUT:-300}
dir=${BENCH_DIR:-/dev/shm/unspool-rss}
[ -x /usr/bin/time ] || { echo "peak-rss: needs GNU time (/usr/bin/time)" >&2; exit 1; }
mkdir -p "$dir"
cd "$dir"
if [ ! -f "inputs-$entries" ]; then
  rm -f many.zip overlap-same.zip overlap-quoted.zip inputs-*
  python3 "$here/hostile-zips.py" . --entries "$entries" --same-kb 64 --files 250 --kernel-mb 4
  touch "inputs-$entries"
fi

# Runs one case: label, archive, then the command's options (extraction goes to out/).
run() {
  local label=$1 archive=$2
  shift 2
  for i in "${!tools[@]}"; do
    local tool=${tools[$i]}
    rm -rf out err
    local status=0
    timeout "$timeout" /usr/bin/time -o stats -f "%M %e" \
      "$tool" "$@" "$archive" out > /dev/null 2> err || status=$?
    local rss=- secs=-
    if [ "$status" = 124 ]; then status="timeout"; else read -r rss secs < <(tail -n 1 stats); fi
    local written=0
    [ -d out ] && written=$(du -sb out | cut -f1)
    printf '%-28s %s %10s KB %8s s  exit %-7s %8s lines %12s bytes\n' "$label" \
      "${names[$i]}" "$rss" "$secs" "$status" \
      "$(grep -c '' err || true)" "${written:-0}"
  done
  rm -rf out err stats
}

for i in "${!tools[@]}"; do echo "${names[$i]}: ${tools[$i]}"; done
printf '%s\n' "archives: $(ls -l many.zip overlap-same.zip overlap-quoted.zip | awk '{print $9 " " $5}' | tr '\n' ' ')"
run "list $entries entries" many.zip -l
run "test $entries entries" many.zip -t -q
run "extract $entries entries" many.zip -o -q
run "test overlap-same" overlap-same.zip -t -q
run "extract overlap-quoted" overlap-quoted.zip -o -q
