#!/usr/bin/env bash
# Cost of the echo program, in two measurements:
#  1. one GET request (fork, exec, run, exit) of the statically linked
#     cgiecho against minimal_cgi.c, the least a static C program can do to
#     write the same page in one write; limit 1.1 times the minimal program;
#  2. a 100 MiB POST body through cgiecho against the same pipe into cat;
#     limits 3 times the time of cat and a peak RSS of 2.2 times the body
#     plus 8 MiB.
# Usage: bench/echo_bench.sh [build dir, default build]   (after `make`)
# Knobs: RUNS, WARMUP, ROUNDS (request), BIG_RUNS (100 MiB body).
# Needs hyperfine, GNU time (/usr/bin/time) and a C compiler with static libc.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
cgiecho=$build/cgiecho
out=$build/echo-bench
RUNS=${RUNS:-3000}
WARMUP=${WARMUP:-200}
ROUNDS=${ROUNDS:-3}
BIG_RUNS=${BIG_RUNS:-20}
[ -x "$cgiecho" ] || { echo "no $cgiecho: build first (make)" >&2; exit 1; }
mkdir -p "$out"

cc -O2 -static -o "$out/minimal_cgi" "$here/minimal_cgi.c"
cc -O2 -o "$out/minimal_cgi_dynamic" "$here/minimal_cgi.c"
# The program's own link line without -static: the same objects, linked
# against the shared C and C++ runtimes, for context only.
link=$(sed -e 's/ -static / /' -e "s| -o cgiecho | -o $out/cgiecho_dynamic |" \
  "$build/CMakeFiles/cgiecho_program.dir/link.txt")
(cd "$build" && eval "$link")

fail=0
verdict() {  # name, measured, limit
  if awk -v m="$2" -v l="$3" 'BEGIN { exit !(m <= l) }'; then echo "PASS $1: $2 <= $3"
  else echo "FAIL $1: $2 > $3"; fail=1; fi
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "== One GET request: $ROUNDS rounds of $RUNS runs each, programs side by side"
export REQUEST_METHOD=GET QUERY_STRING='name=Ann&note=hello+world&x=%3Cb%3E&y=a<b'
cmp <("$out/minimal_cgi") <("$cgiecho") || { echo "minimal_cgi writes other bytes than cgiecho" >&2; exit 1; }
ratios=()
dynamic_ratios=()
for round in $(seq "$ROUNDS"); do
  # Every other round runs the programs in reverse order, so that a drift
  # in machine load does not always favour the same one.
  programs=(-n minimal_static "$out/minimal_cgi" -n cgiecho_static "$cgiecho"
            -n minimal_dynamic "$out/minimal_cgi_dynamic" -n cgiecho_dynamic "$out/cgiecho_dynamic")
  if [ $((round % 2)) = 0 ]; then
    programs=(-n cgiecho_dynamic "$out/cgiecho_dynamic" -n minimal_dynamic "$out/minimal_cgi_dynamic"
              -n cgiecho_static "$cgiecho" -n minimal_static "$out/minimal_cgi")
  fi
  hyperfine -N --style basic --warmup "$WARMUP" --runs "$RUNS" "${programs[@]}" \
    --export-csv "$out/request-$round.csv" >"$out/request-$round.log" 2>&1
  # Columns: command,mean,stddev,median,user,system,min,max (seconds).
  read -r ms cs md cd < <(awk -F, 'NR > 1 { m[$1] = $4 * 1e6 }
    END { printf "%.1f %.1f %.1f %.1f\n", m["minimal_static"], m["cgiecho_static"], m["minimal_dynamic"], m["cgiecho_dynamic"] }' \
    "$out/request-$round.csv")
  ratio=$(awk -v a="$cs" -v b="$ms" 'BEGIN { printf "%.3f", a / b }')
  dratio=$(awk -v a="$cd" -v b="$ms" 'BEGIN { printf "%.3f", a / b }')
  ratios+=("$ratio")
  dynamic_ratios+=("$dratio")
  echo "round $round: median us  minimal static $ms  cgiecho static $cs  minimal dynamic $md  cgiecho dynamic $cd" \
    " -> cgiecho static / minimal static = $ratio, cgiecho dynamic / minimal static = $dratio"
done
unset REQUEST_METHOD QUERY_STRING
request_ratio=$(printf '%s\n' "${ratios[@]}" | median)
echo "median over rounds: cgiecho static / minimal static = $request_ratio;" \
  "cgiecho dynamic / minimal static = $(printf '%s\n' "${dynamic_ratios[@]}" | median)"
verdict "request cost ratio" "$request_ratio" 1.1

echo "== 100 MiB POST body through a pipe, $BIG_RUNS runs"
size=104857600
body=$out/body-100MiB
[ "$(stat -c %s "$body" 2>/dev/null)" = "$size" ] || head -c "$size" /dev/zero | tr '\0' 'a' >"$body"
echo_cmd="cat '$body' | REQUEST_METHOD=POST CONTENT_LENGTH=$size '$cgiecho' > /dev/null"
cat_cmd="cat '$body' | cat > /dev/null"
got=$(cat "$body" | REQUEST_METHOD=POST CONTENT_LENGTH=$size "$cgiecho" | wc -c)
[ "$got" = $((size + 119)) ] || { echo "cgiecho wrote $got bytes, want $((size + 119))" >&2; exit 1; }
hyperfine --style basic --warmup 2 --runs "$BIG_RUNS" -n cat "$cat_cmd" -n cgiecho "$echo_cmd" \
  --export-csv "$out/post.csv" >"$out/post.log" 2>&1
# Medians: a busy machine stretches single runs of either side a lot.
read -r cat_ms echo_ms cat_min echo_min < <(awk -F, 'NR > 1 { m[$1] = $4 * 1e3; n[$1] = $7 * 1e3 }
  END { printf "%.1f %.1f %.1f %.1f\n", m["cat"], m["cgiecho"], n["cat"], n["cgiecho"] }' "$out/post.csv")
post_ratio=$(awk -v a="$echo_ms" -v b="$cat_ms" 'BEGIN { printf "%.2f", a / b }')
echo "median ms: cat | cat $cat_ms, cat | cgiecho $echo_ms -> ratio $post_ratio" \
  "(fastest runs: $cat_min and $echo_min)"
verdict "100 MiB POST time ratio" "$post_ratio" 3
rss=()
for _ in 1 2 3; do
  cat "$body" | REQUEST_METHOD=POST CONTENT_LENGTH=$size /usr/bin/time -f %M -o "$out/rss" "$cgiecho" >/dev/null
  rss+=("$(cat "$out/rss")")
done
peak_kib=$(printf '%s\n' "${rss[@]}" | sort -g | tail -n 1)
limit_kib=$(( (size * 22 / 10 + 8 * 1048576) / 1024 ))
echo "peak RSS KiB over 3 runs: ${rss[*]} (body $((size / 1024)) KiB)"
verdict "100 MiB POST peak RSS (KiB)" "$peak_kib" "$limit_kib"
exit "$fail"
