#!/usr/bin/env bash
# Serves the echo program and a small form page behind lighttpd on 127.0.0.1
# until Ctrl+C, and beside them the upload example (a file drop at
# /cgi-bin/upload, keeping files in the demo's temp folder). Port 8080
# unless DEMO_PORT says otherwise, or the next free one. The programs run as
# CGI, or with DEMO_FASTCGI=1 as FastCGI responders that lighttpd starts
# (mod_fastcgi, bin-path) and keeps.
# usage: demo.sh path/to/cgiecho [path/to/cgiecho-upload]
set -euo pipefail

program=${1:?usage: demo.sh path/to/cgiecho [path/to/cgiecho-upload]}
upload=${2:-$(dirname "$program")/cgiecho-upload}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
lighttpd=$(command -v lighttpd || true)
[ -n "$lighttpd" ] || { echo "demo.sh: lighttpd not found (run scripts/deps.sh)" >&2; exit 1; }
[ -x "$program" ] || { echo "demo.sh: no program at $program" >&2; exit 1; }
[ -x "$upload" ] || { echo "demo.sh: no upload example at $upload" >&2; exit 1; }

port_is_free() {
  python3 -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))' "$1" 2>/dev/null
}

work=$(mktemp -d /tmp/cgiecho-demo.XXXXXX)
server_pid=
stop() {
  trap - INT TERM EXIT
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap 'stop; exit 130' INT
trap 'stop; exit 143' TERM
trap stop EXIT

mkdir -p "$work/htdocs/cgi-bin"
cp "$source_dir/demo/index.html" "$work/htdocs/index.html"
cp "$program" "$work/htdocs/cgi-bin/cgiecho"
cp "$upload" "$work/htdocs/cgi-bin/upload"
mkdir "$work/uploads"
chmod 755 "$work" "$work/htdocs/cgi-bin/cgiecho" "$work/htdocs/cgi-bin/upload"

port=${DEMO_PORT:-8080}
for _ in $(seq 20); do
  port_is_free "$port" && break
  port=$((port + 1))
done
port_is_free "$port" || { echo "demo.sh: no free port from ${DEMO_PORT:-8080} on" >&2; exit 1; }

if [ "${DEMO_FASTCGI:-0}" = 1 ]; then
  mode=FastCGI
  handler="fastcgi.server = (\"/cgi-bin/cgiecho\" => ((\"socket\" => \"$work/cgiecho.sock\",
  \"bin-path\" => \"$work/htdocs/cgi-bin/cgiecho\", \"max-procs\" => 1, \"check-local\" => \"disable\")),
  \"/cgi-bin/upload\" => ((\"socket\" => \"$work/upload.sock\",
  \"bin-path\" => \"$work/htdocs/cgi-bin/upload\", \"max-procs\" => 1, \"check-local\" => \"disable\",
  \"bin-environment\" => (\"CGIECHO_UPLOAD_DIR\" => \"$work/uploads\"))))"
else
  mode=CGI
  handler="\$HTTP[\"url\"] =~ \"^/cgi-bin/\" { cgi.assign = (\"\" => \"\") }"
fi

cat > "$work/lighttpd.conf" <<CONF
server.modules = ("mod_setenv", "mod_cgi", "mod_fastcgi")
server.document-root = "$work/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/error.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html; charset=utf-8")
# The upload example's folder, set by the configuration as a server would
# (for CGI; a FastCGI responder takes it from its own environment,
# bin-environment above); a client cannot set it.
setenv.add-environment = ("CGIECHO_UPLOAD_DIR" => "$work/uploads")
$handler
CONF

"$lighttpd" -D -f "$work/lighttpd.conf" &
server_pid=$!
for _ in $(seq 100); do
  if ! kill -0 "$server_pid" 2>/dev/null; then
    cat "$work/error.log" >&2 2>/dev/null || true
    echo "demo.sh: lighttpd did not start" >&2
    exit 1
  fi
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
echo "cgiecho demo ($mode): http://127.0.0.1:$port/   (Ctrl+C stops it)"
echo "upload example: http://127.0.0.1:$port/cgi-bin/upload, files kept in $work/uploads"
wait "$server_pid"
