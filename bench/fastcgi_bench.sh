#!/usr/bin/env bash
# Requests per second behind lighttpd with wrk -t2 -c8, every body checked
# (tests/servers/load_check.lua), all served by one lighttpd in one run:
#   - cgiecho as a FastCGI responder (mod_fastcgi, bin-path, 2 processes);
#   - minimal_fcgi.c, the least a libfcgi responder can do to write the
#     same page (one FCGX_PutStr), 2 processes;
#   - cgiecho as CGI (mod_cgi, a process per request);
#   - a static file holding the same page (without the CGI header);
#   - cgiecho-inspect as a FastCGI responder (2 processes), answering the
#     same GET with its JSON report.
# Limits: cgiecho over FastCGI at least 0.9 times the minimal responder,
# cgiecho-inspect at least 0.85 times cgiecho (medians of ROUNDS ratios;
# rounds alternate the order of each pair).
# Usage: bench/fastcgi_bench.sh [build dir, default build]   (after `make`)
# Knobs: SECONDS_EACH (default 10), ROUNDS (default 3).
# Needs lighttpd, wrk, libfcgi-dev (scripts/deps.sh installs them).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
cgiecho=$build/cgiecho
inspect=$build/cgiecho-inspect
SECONDS_EACH=${SECONDS_EACH:-10}
ROUNDS=${ROUNDS:-3}
[ -x "$cgiecho" ] && [ -x "$inspect" ] || { echo "no $cgiecho or $inspect: build first (make)" >&2; exit 1; }
for tool in lighttpd wrk cc curl; do
  command -v "$tool" >/dev/null || { echo "$tool not found (run scripts/deps.sh)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/cgiecho-fcgi-bench.XXXXXX)
server_pid=
finish() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap finish EXIT
chmod 755 "$work"
mkdir -p "$work/htdocs/cgi-bin" "$work/htdocs/fcgi" "$work/htdocs/static"
cc -O2 -o "$work/htdocs/fcgi/minimal" "$here/minimal_fcgi.c" -Wl,-Bstatic -lfcgi -Wl,-Bdynamic
cp "$cgiecho" "$work/htdocs/fcgi/cgiecho"
cp "$inspect" "$work/htdocs/fcgi/inspect"
cp "$cgiecho" "$work/htdocs/cgi-bin/cgiecho"
query='name=Ann+Lee&note=a%3Cb%3E&x=%C3%A9'
REQUEST_METHOD=GET QUERY_STRING=$query "$cgiecho" > "$work/page"
tail -c +28 "$work/page" > "$work/body"   # the page after "Content-type: text/html\r\n\r\n"
cp "$work/body" "$work/htdocs/static/page.html"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/lighttpd.conf" <<CONF
server.modules = ("mod_cgi", "mod_fastcgi")
server.document-root = "$work/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/error.log"
mimetype.assign = (".html" => "text/html")
fastcgi.server = (
  "/fcgi/cgiecho" => (("socket" => "$work/cgiecho.sock", "bin-path" => "$work/htdocs/fcgi/cgiecho",
                       "max-procs" => 2, "check-local" => "disable")),
  "/fcgi/minimal" => (("socket" => "$work/minimal.sock", "bin-path" => "$work/htdocs/fcgi/minimal",
                       "max-procs" => 2, "check-local" => "disable")),
  "/fcgi/inspect" => (("socket" => "$work/inspect.sock", "bin-path" => "$work/htdocs/fcgi/inspect",
                       "max-procs" => 2, "check-local" => "disable")))
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
CONF
lighttpd -D -f "$work/lighttpd.conf" &
server_pid=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

# The inspector's report of the request wrk sends (a Host header and
# nothing else), which every answer must match.
curl -sf -H 'User-Agent:' -H 'Accept:' "http://127.0.0.1:$port/fcgi/inspect?$query" > "$work/report"
grep -qF '["Host","127.0.0.1:'"$port"'"]' "$work/report" ||
  { echo "unexpected report: $(cat "$work/report")" >&2; exit 1; }

rate() {  # url path [expected body file] -> requests/s; fails on any wrong body, error or non-200
  local out
  out=$(wrk -t2 -c8 -d"${SECONDS_EACH}s" --timeout 10s -s "$here/../tests/servers/load_check.lua" \
    "http://127.0.0.1:$port$1" -- "${2:-$work/body}")
  local result=${out##*RESULT }
  case "$result" in
    *"wrong_body=0 non_200=0"*"connect=0 read=0 write=0 status=0 timeout=0"*) ;;
    *) echo "$1: $result" >&2; exit 1 ;;
  esac
  echo "$out" | awk '/^Requests\/sec:/ { printf "%.0f\n", $2 }'
}

echo "== wrk -t2 -c8, ${SECONDS_EACH} s each, $ROUNDS rounds; every body checked"
ratios=()
inspect_ratios=()
for round in $(seq "$ROUNDS"); do
  if [ $((round % 2)) = 1 ]; then
    echo_rate=$(rate "/fcgi/cgiecho?$query"); minimal_rate=$(rate "/fcgi/minimal?$query")
    inspect_rate=$(rate "/fcgi/inspect?$query" "$work/report")
  else
    inspect_rate=$(rate "/fcgi/inspect?$query" "$work/report")
    minimal_rate=$(rate "/fcgi/minimal?$query"); echo_rate=$(rate "/fcgi/cgiecho?$query")
  fi
  ratio=$(awk -v a="$echo_rate" -v b="$minimal_rate" 'BEGIN { printf "%.3f", a / b }')
  ratios+=("$ratio")
  inspect_ratio=$(awk -v a="$inspect_rate" -v b="$echo_rate" 'BEGIN { printf "%.3f", a / b }')
  inspect_ratios+=("$inspect_ratio")
  echo "round $round: cgiecho FastCGI $echo_rate/s, minimal FastCGI $minimal_rate/s, ratio $ratio;" \
    "cgiecho-inspect FastCGI $inspect_rate/s, $inspect_ratio times cgiecho"
done
cgi_rate=$(rate "/cgi-bin/cgiecho?$query")
static_rate=$(rate "/static/page.html")
median=$(printf '%s\n' "${ratios[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
inspect_median=$(printf '%s\n' "${inspect_ratios[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
echo "cgiecho as CGI: $cgi_rate/s; static file: $static_rate/s"
echo "median ratio cgiecho FastCGI / minimal FastCGI: $median"
echo "median ratio cgiecho-inspect FastCGI / cgiecho FastCGI: $inspect_median"
fail=0
if awk -v m="$median" 'BEGIN { exit !(m >= 0.9) }'; then
  echo "PASS FastCGI ratio: $median >= 0.9"
else
  echo "FAIL FastCGI ratio: $median < 0.9"; fail=1
fi
if awk -v m="$inspect_median" 'BEGIN { exit !(m >= 0.85) }'; then
  echo "PASS inspector FastCGI ratio: $inspect_median >= 0.85"
else
  echo "FAIL inspector FastCGI ratio: $inspect_median < 0.85"; fail=1
fi
exit $fail
