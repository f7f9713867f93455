#!/usr/bin/env bash
# Cost of capture to the echo program, one GET request (fork, exec, run,
# exit), side by side:
#  1. capture off (CGIECHO_CAPTURE_DIR unset): this build's cgiecho against
#     a cgiecho built without capture (BASE), in the same hyperfine runs,
#     and in pairs run alternately (paired_runs.py), which hold up better on
#     a busy machine; limit 1.05 times, on the pairs;
#  2. capture on, into a folder on tmpfs that is emptied before every run, against
#     capture off (each against BASE in its own run), for the record;
#  3. instructions executed in user space by one request (valgrind: the
#     same on a busy machine as on an idle one);
#  4. the system calls that capture adds to one request, counted with strace:
#     the request's bytes go to the file in one write.
# Usage: bench/capture_bench.sh BASE [build dir, default build]
#   BASE: the echo program of a build without capture, for example
#     git archive <commit> | tar -x -C /tmp/base-src &&
#     cmake -S /tmp/base-src -B /tmp/base -DCGIECHO_BUILD_TESTS=OFF &&
#     cmake --build /tmp/base --target cgiecho_program   # then BASE=/tmp/base/cgiecho
# Knobs: RUNS, WARMUP, ROUNDS. Needs hyperfine, valgrind and strace.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
base=$(realpath "$1")
build=$(cd "${2:-build}" && pwd)
cgiecho=$build/cgiecho
RUNS=${RUNS:-3000}
WARMUP=${WARMUP:-200}
ROUNDS=${ROUNDS:-3}
out=$build/capture-bench
mkdir -p "$out"
folder=$(mktemp -d /dev/shm/cgiecho-capture-bench.XXXXXX)
trap 'rm -rf "$folder"' EXIT

fail=0
verdict() {  # name, measured, limit
  if awk -v m="$2" -v l="$3" 'BEGIN { exit !(m <= l) }'; then echo "PASS $1: $2 <= $3"
  else echo "FAIL $1: $2 > $3"; fail=1; fi
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

export REQUEST_METHOD=GET QUERY_STRING='name=Ann&note=hello+world&x=%3Cb%3E&y=a<b'
cmp <("$base") <("$cgiecho") || { echo "BASE writes other bytes than cgiecho" >&2; exit 1; }
# Each round: capture off, this build against BASE side by side; then the
# same with CGIECHO_CAPTURE_DIR set (BASE has no capture and ignores it), so
# that capture on / capture off = (on / base) / (off / base).
off_ratios=()
on_ratios=()
# Before every run the folder is emptied, so that each capture costs what
# one into a folder far from its cap does.
printf '#!/bin/sh\nrm -f %s/*.capture %s/cgiecho-capture-full\n' "$folder" "$folder" >"$out/empty-folder"
chmod +x "$out/empty-folder"
run_round() {  # csv file; prints the median us of base and cgiecho
  local programs=(-n base "$base" -n cgiecho "$cgiecho")
  if [ $((round % 2)) = 0 ]; then programs=(-n cgiecho "$cgiecho" -n base "$base"); fi
  hyperfine -N --style basic --warmup "$WARMUP" --runs "$RUNS" --prepare "$out/empty-folder" "${programs[@]}" \
    --export-csv "$1" >"$1.log" 2>&1
  awk -F, 'NR > 1 { m[$1] = $4 * 1e6 } END { printf "%.1f %.1f\n", m["base"], m["cgiecho"] }' "$1"
}
for round in $(seq "$ROUNDS"); do
  read -r b o < <(run_round "$out/off-$round.csv")
  read -r b2 n < <(CGIECHO_CAPTURE_DIR=$folder run_round "$out/on-$round.csv")
  off_ratios+=("$(awk -v a="$o" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
  on_ratios+=("$(awk -v a="$n" -v b="$b2" -v r="${off_ratios[-1]}" 'BEGIN { printf "%.3f", a / b / r }')")
  echo "round $round: median us  base $b, capture off $o; base $b2, capture on $n" \
    " -> off / base = ${off_ratios[-1]}, on / off = ${on_ratios[-1]}"
done
off_ratio=$(printf '%s\n' "${off_ratios[@]}" | median)
on_ratio=$(printf '%s\n' "${on_ratios[@]}" | median)
echo "median over rounds: capture off / base = $off_ratio; capture on / capture off = $on_ratio"

# Each program second in half the pairs' runs and first in the other half,
# and each named second in one of two runs of the script: what favours a
# position cancels out of the ratio of the two.
echo "== capture off against BASE, 2 x $((RUNS * ROUNDS / 2)) pairs run alternately"
forward=$(python3 "$here/paired_runs.py" "$base" "$cgiecho" $((RUNS * ROUNDS / 2)))
backward=$(python3 "$here/paired_runs.py" "$cgiecho" "$base" $((RUNS * ROUNDS / 2)))
echo "base, then capture off: $(echo "$forward" | head -n 1) $(echo "$forward" | tail -n 1)"
echo "capture off, then base: $(echo "$backward" | head -n 1) $(echo "$backward" | tail -n 1)"
paired_ratio=$(awk -v f="$(echo "$forward" | tail -n 1)" -v b="$(echo "$backward" | tail -n 1)" \
  'BEGIN { printf "%.3f", sqrt(f / b) }')
verdict "capture off, cost ratio to a build without capture (pairs)" "$paired_ratio" 1.05

echo "== instructions in user space, one request"
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" 2>&1 >/dev/null | awk '/Collected/ { print $NF }'
}
base_ins=$(instructions "$base")
off_ins=$(instructions "$cgiecho")
on_ins=$(CGIECHO_CAPTURE_DIR=$folder instructions "$cgiecho")
echo "base $base_ins, capture off $off_ins -> ratio $(awk -v a="$off_ins" -v b="$base_ins" 'BEGIN { printf "%.3f", a / b }');" \
  "capture on $on_ins"

echo "== system calls capture adds to one request"
"$out/empty-folder"
env -i REQUEST_METHOD=GET QUERY_STRING=a=1 strace -qq -e signal=none -o "$out/off.strace" "$cgiecho" >/dev/null
env -i REQUEST_METHOD=GET QUERY_STRING=a=1 CGIECHO_CAPTURE_DIR="$folder" \
  strace -qq -e signal=none -o "$out/on.strace" "$cgiecho" >/dev/null
echo "capture off: $(wc -l <"$out/off.strace") calls; capture on: $(wc -l <"$out/on.strace") calls, of which:"
diff <(sed 's/(.*//' "$out/off.strace" | sort | uniq -c) <(sed 's/(.*//' "$out/on.strace" | sort | uniq -c) | grep '^>' || true
file_writes=$(grep -c '^write([^1]' "$out/on.strace" || true)
echo "writes to the capture file: $file_writes (the request, then the answer)"
[ "$file_writes" = 2 ] || { echo "FAIL: want 2 writes to the file"; fail=1; }
exit "$fail"
