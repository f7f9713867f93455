#!/usr/bin/env bash
# Cost of the echo program, in two measurements:
#  1. one GET request (fork, exec, run, exit) of the statically linked
#     cgiecho against minimal_cgi.c, the least a static C program can do to
#     write the same page in one write; limit 1.05 times the minimal program;
#  2. POST bodies of 1, 16, 100 and 256 MiB through cgiecho against the
#     same pipe into cat: time, minor page faults and peak RSS; for 100 MiB,
#     limits 2 times the time of cat and a peak RSS of 2.2 times the body
#     plus 8 MiB.
# BEFORE=path/to/another/cgiecho (say, a build of main) adds that program to
# the same runs of both.
# Usage: bench/echo_bench.sh [build dir, default build]   (after `make`)
# Knobs: PARTS (request post), RUNS, WARMUP, ROUNDS (request), BIG_RUNS,
# BIG_ROUNDS, SIZES_MIB, BEFORE (bodies).
# Needs hyperfine, GNU time (/usr/bin/time) and a C compiler with static libc.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
cgiecho=$build/cgiecho
out=$build/echo-bench
RUNS=${RUNS:-3000}
WARMUP=${WARMUP:-200}
ROUNDS=${ROUNDS:-3}
PARTS=${PARTS:-request post}
BIG_RUNS=${BIG_RUNS:-20}
BIG_ROUNDS=${BIG_ROUNDS:-3}
SIZES_MIB=${SIZES_MIB:-1 16 100 256}
BEFORE=${BEFORE:-}
[ -x "$cgiecho" ] || { echo "no $cgiecho: build first (make)" >&2; exit 1; }
mkdir -p "$out"
# Both programs copied beside the others: a program started from another
# file system took some 40 us longer to start here, and the file as the
# linker wrote it some 9% longer than a copy of it made by cp (the same
# bytes, on the same file system).
cp "$cgiecho" "$out/cgiecho"
cgiecho=$out/cgiecho
if [ -n "$BEFORE" ]; then
  cp "$BEFORE" "$out/cgiecho_before"
  BEFORE=$out/cgiecho_before
fi

cc -O2 -static -o "$out/minimal_cgi" "$here/minimal_cgi.c"
cc -O2 -o "$out/minimal_cgi_dynamic" "$here/minimal_cgi.c"
# The program's own link line without -static: the same objects, linked
# against the shared C and C++ runtimes, for context only (a Makefile build
# has the line; a Ninja build goes without).
link_txt=$build/CMakeFiles/cgiecho_program.dir/link.txt
if [ -f "$link_txt" ]; then
  link=$(sed -e 's/ -static / /' -e "s| -o cgiecho | -o $out/cgiecho_dynamic |" "$link_txt")
  (cd "$build" && eval "$link")
fi

fail=0
verdict() {  # name, measured, limit
  if awk -v m="$2" -v l="$3" 'BEGIN { exit !(m <= l) }'; then echo "PASS $1: $2 <= $3"
  else echo "FAIL $1: $2 > $3"; fail=1; fi
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

if [[ " $PARTS " == *" request "* ]]; then
  echo "== One GET request: $ROUNDS rounds of $RUNS runs each, programs side by side"
  export REQUEST_METHOD=GET QUERY_STRING='name=Ann&note=hello+world&x=%3Cb%3E&y=a<b'
  cmp <("$out/minimal_cgi") <("$cgiecho") || { echo "minimal_cgi writes other bytes than cgiecho" >&2; exit 1; }
  [ -z "$BEFORE" ] || cmp <("$out/minimal_cgi") <("$BEFORE") || { echo "$BEFORE writes other bytes" >&2; exit 1; }
  names=(minimal_static cgiecho_static)
  paths=("$out/minimal_cgi" "$cgiecho")
  [ -n "$BEFORE" ] && names+=(before_static) paths+=("$BEFORE")
  [ -x "$out/cgiecho_dynamic" ] && names+=(minimal_dynamic cgiecho_dynamic) \
    paths+=("$out/minimal_cgi_dynamic" "$out/cgiecho_dynamic")
  declare -A ratios=()
  for round in $(seq "$ROUNDS"); do
    # Every other round runs the programs in reverse order, so that a drift
    # in machine load does not always favour the same one.
    programs=()
    for i in "${!names[@]}"; do
      [ $((round % 2)) = 0 ] && j=$((${#names[@]} - 1 - i)) || j=$i
      programs+=(-n "${names[j]}" "${paths[j]}")
    done
    hyperfine -N --style basic --warmup "$WARMUP" --runs "$RUNS" "${programs[@]}" \
      --export-csv "$out/request-$round.csv" >"$out/request-$round.log" 2>&1
    # Columns: command,mean,stddev,median,user,system,min,max (seconds).
    # Each program's median, and its ratio to the static minimal program's.
    line="round $round: median us"
    while read -r name us ratio; do
      line+="  $name $us"
      [ "$name" = minimal_static ] || { ratios[$name]+="$ratio "; line+=" ($ratio)"; }
    done < <(awk -F, 'NR > 1 { m[$1] = $4 * 1e6; order[NR] = $1 }
      END { for (i = 2; i <= NR; i++) printf "%s %.1f %.3f\n", order[i], m[order[i]], m[order[i]] / m["minimal_static"] }' \
      "$out/request-$round.csv" | sort)
    echo "$line"
  done
  unset REQUEST_METHOD QUERY_STRING
  summary="median over rounds, / minimal static:"
  for name in "${names[@]:1}"; do summary+=" $name $(printf '%s\n' ${ratios[$name]} | median)"; done
  echo "$summary"
  request_ratio=$(printf '%s\n' ${ratios[cgiecho_static]} | median)
  verdict "request cost ratio" "$request_ratio" 1.05
fi

if [[ " $PARTS " == *" post "* ]]; then
  echo "== POST bodies through a pipe: $BIG_ROUNDS rounds of $BIG_RUNS runs, sizes $SIZES_MIB MiB"
  # Each program reads the body from a pipe fed by cat and writes the page
  # to /dev/null; the floor is the same pipe into cat. "small pages" is
  # cgiecho with transparent large pages turned off for it. Time: hyperfine,
  # the median of each round, rounds in alternating order, then the median
  # over rounds. CPU time (user + system), minor page faults and peak RSS:
  # GNU time on the reading process alone (the median of five runs; the
  # largest RSS); CPU time moves less than wall time on a busy machine.
  cc -O2 -o "$out/small_pages" "$here/small_pages.c"
  programs=(cat cgiecho "small pages")
  [ -n "$BEFORE" ] && programs+=(before)
  reader() {  # program -> the reader's argv in $argv
    case $1 in
      cat) argv=(cat) ;;
      cgiecho) argv=("$cgiecho") ;;
      "small pages") argv=("$out/small_pages" "$cgiecho") ;;
      before) argv=("$BEFORE") ;;
    esac
  }
  table=()
  for mib in $SIZES_MIB; do
    size=$((mib * 1048576))
    body=$out/body-${mib}MiB
    [ "$(stat -c %s "$body" 2>/dev/null)" = "$size" ] || head -c "$size" /dev/zero | tr '\0' 'a' >"$body"
    export REQUEST_METHOD=POST CONTENT_LENGTH=$size
    for p in "${programs[@]:1}"; do
      reader "$p"
      got=$(cat "$body" | "${argv[@]}" | wc -c)
      [ "$got" = $((size + 119)) ] || { echo "$p wrote $got bytes, want $((size + 119))" >&2; exit 1; }
    done
    declare -A medians=()
    for round in $(seq "$BIG_ROUNDS"); do
      order=("${programs[@]}")
      if [ $((round % 2)) = 0 ]; then
        order=()
        for ((i = ${#programs[@]} - 1; i >= 0; i--)); do order+=("${programs[i]}"); done
      fi
      args=()
      for p in "${order[@]}"; do
        reader "$p"
        args+=(-n "$p" "cat '$body' | $(printf "'%s' " "${argv[@]}")> /dev/null")
      done
      hyperfine --style basic --warmup 2 --runs "$BIG_RUNS" "${args[@]}" \
        --export-csv "$out/post-$mib-$round.csv" >"$out/post-$mib-$round.log" 2>&1
      # Columns: command,mean,stddev,median,... (seconds).
      while IFS=, read -r name ms; do medians[$name]+="$ms "; done < <(
        awk -F, 'NR > 1 { printf "%s,%.1f\n", $1, $4 * 1e3 }' "$out/post-$mib-$round.csv")
    done
    cat_ms=$(printf '%s\n' ${medians[cat]} | median)
    for p in "${programs[@]}"; do
      ms=$(printf '%s\n' ${medians[$p]} | median)
      reader "$p"
      faults=() rss=() cpu=()
      for _ in 1 2 3 4 5; do
        cat "$body" | /usr/bin/time -f '%R %M %U %S' -o "$out/usage" "${argv[@]}" >/dev/null
        read -r f m u k <"$out/usage"
        faults+=("$f") rss+=("$m") cpu+=("$(awk -v u="$u" -v k="$k" 'BEGIN { print (u + k) * 1e3 }')")
      done
      f=$(printf '%s\n' "${faults[@]}" | median)
      c=$(printf '%s\n' "${cpu[@]}" | median)
      m=$(printf '%s\n' "${rss[@]}" | sort -g | tail -n 1)
      ratio=$(awk -v a="$ms" -v b="$cat_ms" 'BEGIN { printf "%.2f", a / b }')
      table+=("$(printf '| %s MiB | %s | %s | %s | %s | %s | %s |' "$mib" "$p" "$ms" "$ratio" "$c" "$f" "$m")")
      if [ "$mib" = 100 ] && [ "$p" = cgiecho ]; then post_ratio=$ratio peak_kib=$m; fi
    done
    unset medians
  done
  unset REQUEST_METHOD CONTENT_LENGTH
  echo "| body | reader | median ms | / cat | reader CPU ms | minor faults | peak RSS KiB |"
  echo "|---|---|---:|---:|---:|---:|---:|"
  printf '%s\n' "${table[@]}"
  if [ -n "${post_ratio:-}" ]; then
    verdict "100 MiB POST time ratio" "$post_ratio" 2
    limit_kib=$(((104857600 * 22 / 10 + 8 * 1048576) / 1024))
    verdict "100 MiB POST peak RSS (KiB)" "$peak_kib" "$limit_kib"
  fi
fi
exit "$fail"
