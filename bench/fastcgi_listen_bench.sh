#!/usr/bin/env bash
# Requests per second behind lighttpd with wrk -t2 -c8, every body checked
# (tests/servers/load_check.lua), all served by one lighttpd in one run:
#   - cgiecho as a FastCGI responder started by spawn-fcgi on TCP, and the
#     same program listening by itself (CGIECHO_LISTEN=127.0.0.1:PORT), one
#     process each, mod_fastcgi to host and port;
#   - the Windows x64 cgiecho.exe under Wine listening by itself the same
#     way, and the same cgiecho.exe as CGI under Wine (mod_cgi runs the Wine
#     loader, a process per request, as the Wine server tests run it).
# Limits: CGIECHO_LISTEN at least 0.9 times spawn-fcgi (median of ROUNDS
# ratios; each round measures the two as A, B, B, A and rounds alternate
# which goes first), and the Windows program
# as a FastCGI responder at least 10 times the same program as CGI.
# Usage: bench/fastcgi_listen_bench.sh [linux build, default build]
#                                      [Windows build, default build-win64]
#        (after `make` and `make windows`)
# Knobs: SECONDS_EACH (default 10; the Linux pairs run half of it each
# time), ROUNDS (default 5).
# Needs lighttpd, wrk, spawn-fcgi, wine64 (scripts/deps.sh installs them).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
winbuild=$(cd "${2:-build-win64}" && pwd)
cgiecho=$build/cgiecho
exe=$winbuild/cgiecho.exe
wine=${WINE:-/usr/lib/wine/wine64}
SECONDS_EACH=${SECONDS_EACH:-10}
ROUNDS=${ROUNDS:-5}
[ -x "$cgiecho" ] || { echo "no $cgiecho: build first (make)" >&2; exit 1; }
[ -f "$exe" ] || { echo "no $exe: build first (make windows)" >&2; exit 1; }
for tool in lighttpd wrk spawn-fcgi "$wine"; do
  command -v "$tool" >/dev/null || { echo "$tool not found (run scripts/deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/cgiecho-listen-bench.XXXXXX)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  [ -n "${WINEPREFIX:-}" ] && "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
chmod 755 "$work"
mkdir -p "$work/htdocs/cgi-bin"
cp "$exe" "$work/htdocs/cgi-bin/cgiecho.exe"
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all HOME=$work
"$wine" wineboot -i >/dev/null 2>&1   # the prefix's first start, paid before any request

query='name=Ann+Lee&note=a%3Cb%3E&x=%C3%A9'
REQUEST_METHOD=GET QUERY_STRING=$query "$cgiecho" > "$work/page"
tail -c +28 "$work/page" > "$work/body"   # the page after "Content-type: text/html\r\n\r\n"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 600); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return; sleep 0.1; done; exit 1; }
spawned_port=$(free_port); listen_port=$(free_port); wine_port=$(free_port); port=$(free_port)
spawn-fcgi -n -a 127.0.0.1 -p "$spawned_port" -- "$cgiecho" >/dev/null 2>&1 &
spawned_pid=$!; pids+=($!)
CGIECHO_LISTEN=127.0.0.1:$listen_port "$cgiecho" </dev/null >/dev/null 2>&1 &
listen_pid=$!; pids+=($!)
CGIECHO_LISTEN=127.0.0.1:$wine_port "$wine" "$exe" </dev/null >/dev/null 2>&1 &
pids+=($!)

cat > "$work/lighttpd.conf" <<CONF
server.modules = ("mod_setenv", "mod_cgi", "mod_fastcgi")
server.document-root = "$work/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/error.log"
fastcgi.server = (
  "/fcgi/spawned" => (("host" => "127.0.0.1", "port" => $spawned_port, "check-local" => "disable")),
  "/fcgi/listen" => (("host" => "127.0.0.1", "port" => $listen_port, "check-local" => "disable")),
  "/fcgi/wine" => (("host" => "127.0.0.1", "port" => $wine_port, "check-local" => "disable")))
setenv.add-environment = ("WINEPREFIX" => "$WINEPREFIX", "HOME" => "$work", "WINEDEBUG" => "-all",
                          "PATH" => "/usr/bin:/bin")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = (".exe" => "$wine") }
CONF
lighttpd -D -f "$work/lighttpd.conf" &
pids+=($!)
for p in "$spawned_port" "$listen_port" "$wine_port" "$port"; do wait_port "$p"; done

rate() {  # url path [seconds] -> requests/s; fails on any wrong body, error or non-200
  local out
  out=$(wrk -t2 -c8 -d"${2:-$SECONDS_EACH}s" --timeout 30s -s "$here/../tests/servers/load_check.lua" \
    "http://127.0.0.1:$port$1" -- "$work/body")
  local result=${out##*RESULT }
  case "$result" in
    *"wrong_body=0 non_200=0"*"connect=0 read=0 write=0 status=0 timeout=0"*) ;;
    *) echo "$1: $result" >&2; exit 1 ;;
  esac
  echo "$result" | sed -n 's/.* requests=\([0-9]*\).*/\1/p' > "$work/requests"
  echo "$out" | awk '/^Requests\/sec:/ { printf "%.1f\n", $2 }'
}
# Clock ticks of CPU a process has used: what one responder spends on its
# requests, whatever else runs on the machine.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
served() { eval "${1}_requests=\$(( ${1}_requests + \$(cat "$work/requests") ))"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "== wrk -t2 -c8, ${SECONDS_EACH} s each, $ROUNDS rounds; every body checked"
rate "/fcgi/wine?$query" >/dev/null   # Wine's first requests warm it up
half=$(( SECONDS_EACH > 1 ? SECONDS_EACH / 2 : 1 ))
listen_requests=0; spawned_requests=0
listen_ticks=$(cpu_ticks "$listen_pid"); spawned_ticks=$(cpu_ticks "$spawned_pid")
ratios=(); wine_ratios=()
for round in $(seq "$ROUNDS"); do
  # A, B, B, A: a load that rises or falls during the round weighs on both
  # alike (other work shares the machine).
  first=listen; second=spawned
  [ $((round % 2)) = 1 ] || { first=spawned; second=listen; }
  a1=$(rate "/fcgi/$first?$query" "$half"); served "$first"
  b1=$(rate "/fcgi/$second?$query" "$half"); served "$second"
  b2=$(rate "/fcgi/$second?$query" "$half"); served "$second"
  a2=$(rate "/fcgi/$first?$query" "$half"); served "$first"
  declare "${first}_rate=$(awk -v x="$a1" -v y="$a2" 'BEGIN { printf "%.1f", (x + y) / 2 }')"
  declare "${second}_rate=$(awk -v x="$b1" -v y="$b2" 'BEGIN { printf "%.1f", (x + y) / 2 }')"
  wine_fcgi_rate=$(rate "/fcgi/wine?$query"); wine_cgi_rate=$(rate "/cgi-bin/cgiecho.exe?$query")
  ratios+=("$(ratio "$listen_rate" "$spawned_rate")")
  wine_ratios+=("$(ratio "$wine_fcgi_rate" "$wine_cgi_rate")")
  echo "round $round: Linux CGIECHO_LISTEN $listen_rate/s, spawn-fcgi $spawned_rate/s, ratio ${ratios[-1]};" \
       "Windows under Wine FastCGI $wine_fcgi_rate/s, CGI $wine_cgi_rate/s, ratio ${wine_ratios[-1]}"
done
listen_ticks=$(( $(cpu_ticks "$listen_pid") - listen_ticks ))
spawned_ticks=$(( $(cpu_ticks "$spawned_pid") - spawned_ticks ))
echo "responders' own CPU: CGIECHO_LISTEN $listen_requests requests in $listen_ticks ticks," \
     "spawn-fcgi $spawned_requests in $spawned_ticks; requests per CPU tick, ratio" \
     "$(awk -v a="$listen_requests" -v b="$listen_ticks" -v c="$spawned_requests" -v d="$spawned_ticks" \
          'BEGIN { printf "%.3f", (a / b) / (c / d) }')"
listen_median=$(median "${ratios[@]}")
wine_median=$(median "${wine_ratios[@]}")
echo "median ratio CGIECHO_LISTEN / spawn-fcgi: $listen_median"
echo "median ratio Windows FastCGI / Windows CGI, under Wine: $wine_median"
failed=0
if awk -v m="$listen_median" 'BEGIN { exit !(m >= 0.9) }'; then
  echo "PASS CGIECHO_LISTEN ratio: $listen_median >= 0.9"
else
  echo "FAIL CGIECHO_LISTEN ratio: $listen_median < 0.9"; failed=1
fi
if awk -v m="$wine_median" 'BEGIN { exit !(m >= 10) }'; then
  echo "PASS Windows FastCGI ratio: $wine_median >= 10"
else
  echo "FAIL Windows FastCGI ratio: $wine_median < 10"; failed=1
fi
exit $failed
