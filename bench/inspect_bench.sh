#!/usr/bin/env bash
# Uploads through cgiecho-inspect as CGI, the body piped on standard input
# as a web server hands it (cat body | program), against the floor of
# upload_floor.c (reads standard input and hashes it with libcrypto, every
# byte once), in one run, side by side:
#   - one file of 256 MiB: at most 1.25 times the floor, peak RSS at most 32 MiB;
#   - 2,000 small fields and a 10 KiB file (CGIECHO_MAX_PARTS raised, as a
#     user would): at most 1.5 times the floor;
#   - 50 files of 1 MiB: at most 1.3 times the floor.
# Times are hyperfine's medians of RUNS runs; the peak RSS is of a run of
# its own (GNU time, of the shell, cat and the program: the largest).
# Usage: bench/inspect_bench.sh [build dir, default build]   (after `make`)
# Needs hyperfine, GNU time (/usr/bin/time), libssl-dev and a C compiler.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
inspect=$build/cgiecho-inspect
RUNS=${RUNS:-7}
[ -x "$inspect" ] || { echo "no $inspect: build first (make)" >&2; exit 1; }
work=$(mktemp -d /tmp/cgiecho-inspect-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cc -O2 -static -o "$work/floor" "$here/upload_floor.c" -lcrypto -lpthread

# The three bodies, each with its CONTENT_TYPE.
python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rnd = random.Random(7)
def form(name, parts):
    with open(os.path.join(work, name), "wb") as f:
        for field, filename, data in parts:
            head = b'--XbenchX\r\nContent-Disposition: form-data; name="%s"' % field
            if filename is not None:
                head += b'; filename="%s"\r\nContent-Type: application/octet-stream' % filename
            f.write(head + b"\r\n\r\n")
            f.write(data)
            f.write(b"\r\n")
        f.write(b"--XbenchX--\r\n")
block = rnd.randbytes(1 << 20)
form("one_file", [(b"f", b"big.bin", block * 256)])
form("fields", [(b"field%d" % i, None, b"value %d" % i) for i in range(2000)] +
     [(b"f", b"small.bin", block[:10240])])
form("files", [(b"f%d" % i, b"file%d.bin" % i, block[i:] + block[:i]) for i in range(50)])
PY

fail=0
verdict() {  # name, measured, limit
  if awk -v m="$2" -v l="$3" 'BEGIN { exit !(m <= l) }'; then echo "PASS $1: $2 <= $3"
  else echo "FAIL $1: $2 > $3"; fail=1; fi
}

export REQUEST_METHOD=POST CONTENT_TYPE='multipart/form-data; boundary=XbenchX' CGIECHO_MAX_PARTS=5000
for body in one_file fields files; do
  export CONTENT_LENGTH
  CONTENT_LENGTH=$(stat -c %s "$work/$body")
  # The answers first: the inspector's report must be whole and agree with
  # the floor's digest of the body.
  "$work/floor" < "$work/$body" > "$work/floor.out"
  "$inspect" < "$work/$body" > "$work/inspect.out"
  grep -q "\"body\":{\"size\":$CONTENT_LENGTH,\"sha256\":\"$(cat "$work/floor.out")\"}}" "$work/inspect.out" ||
    { echo "cgiecho-inspect answered $(head -c 300 "$work/inspect.out")" >&2; exit 1; }
  hyperfine --style none --warmup 2 --runs "$RUNS" --export-json "$work/$body.json" \
    -n floor "cat '$work/$body' | '$work/floor' > /dev/null" \
    -n inspect "cat '$work/$body' | '$inspect' > /dev/null" > /dev/null
  read -r f t < <(python3 -c 'import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
print(r["floor"], r["inspect"])' "$work/$body.json")
  /usr/bin/time -f '%M' -o "$work/rss" sh -c "cat '$work/$body' | '$inspect' > /dev/null"
  rss=$(cat "$work/rss")
  ratio=$(awk -v a="$t" -v b="$f" 'BEGIN { printf "%.3f", a / b }')
  printf '%s: floor %.4f s, cgiecho-inspect %.4f s, ratio %s, peak RSS %s KiB\n' "$body" "$f" "$t" "$ratio" "$rss"
  case $body in
    one_file) verdict "256 MiB file" "$ratio" 1.25; verdict "256 MiB file peak RSS (KiB)" "$rss" 32768 ;;
    fields) verdict "2,000 fields and a 10 KiB file" "$ratio" 1.5 ;;
    files) verdict "50 files of 1 MiB" "$ratio" 1.3 ;;
  esac
done
exit $fail
