#!/usr/bin/env bash
# Uploads to CGI programs, the body piped on standard input as a web server
# hands it (cat body | program), in one run, side by side:
#   floor    bench/upload_floor.c: reads standard input and hashes it with
#            libcrypto, every byte once; nothing is parsed
#   inspect  cgiecho-inspect
#   cgicc, CGI.pm, Go (net/http/cgi), python3-multipart: bench/peers/, each
#            parsing the form with its own API and hashing every file
# Three bodies: one file of 256 MiB; 2,000 small fields and a 10 KiB file;
# 50 files of 1 MiB. The second has more parts than cgiecho-inspect and Go
# take by default (1,000 each), so both get their limit raised, as a user
# would: CGIECHO_MAX_PARTS and GODEBUG=multipartmaxparts.
#
# Every program's answer is checked first (each file's size and digest).
# Times are hyperfine's medians of RUNS runs (default 7), beside the CPU
# time of the pipeline (user and system, cat included: the mean of the
# runs), which a busy machine changes less; the peak RSS (GNU time, %M) is
# the largest of RSS_RUNS runs of their own. Ratios are to the floor of the
# same run. Targets for
# cgiecho-inspect: 256 MiB at most 1.25 times the floor and 32 MiB of RSS,
# 2,000 fields at most 1.5 times, 50 files at most 1.3 times; every peer
# slower than it in every case. Exit status 1 when a target is missed.
#
# Usage: bench/upload_bench.sh [bench build dir, default build-bench]   (after `make bench`)
# Needs hyperfine, GNU time (/usr/bin/time), perl with CGI.pm, and Debian's
# python3 with python3-multipart (scripts/deps.sh installs them).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build-bench}" && pwd)
RUNS=${RUNS:-7}
RSS_RUNS=${RSS_RUNS:-3}
# Debian's python3, where python3-multipart is installed (a python3 earlier
# on PATH may be another).
PYTHON=${PYTHON:-/usr/bin/python3}
for tool in hyperfine /usr/bin/time perl "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "upload_bench.sh: $tool not found (scripts/deps.sh)" >&2; exit 1; }
done
declare -A program=(
  [floor]="$build/bench/upload_floor"
  [inspect]="$build/cgiecho-inspect"
  [cgicc]="$build/bench/upload_cgicc"
  [cgi.pm]="perl $here/peers/cgipm_upload.pl"
  [go]="$build/bench/upload_go"
  [python3-multipart]="$PYTHON $here/peers/multipart_upload.py"
)
order=(floor inspect cgicc cgi.pm go python3-multipart)
for p in floor inspect cgicc go; do
  [ -x "${program[$p]}" ] || { echo "no ${program[$p]}: build first (make bench)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/cgiecho-upload-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The bodies, and beside each the lines "size sha256" of its files.
"$PYTHON" - "$work" <<'PY'
import hashlib, os, random, sys
work = sys.argv[1]
rnd = random.Random(7)
def form(name, parts):
    files = []
    with open(os.path.join(work, name), "wb") as f:
        for field, filename, data in parts:
            head = b'--XbenchX\r\nContent-Disposition: form-data; name="%s"' % field
            if filename is not None:
                head += b'; filename="%s"\r\nContent-Type: application/octet-stream' % filename
                files.append("%d %s" % (len(data), hashlib.sha256(data).hexdigest()))
            f.write(head + b"\r\n\r\n")
            f.write(data)
            f.write(b"\r\n")
        f.write(b"--XbenchX--\r\n")
    with open(os.path.join(work, name + ".files"), "w") as f:
        f.write("\n".join(sorted(files)) + "\n")
block = rnd.randbytes(1 << 20)
form("one_file", [(b"f", b"big.bin", block * 256)])
form("fields", [(b"field%d" % i, None, b"value %d" % i) for i in range(2000)] +
     [(b"f", b"small.bin", block[:10240])])
form("files", [(b"f%d" % i, b"file%d.bin" % i, block[i:] + block[:i]) for i in range(50)])
PY

# The variables a web server sets for a POST to a CGI program.
export GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 SERVER_NAME=127.0.0.1 SERVER_PORT=80
export SCRIPT_NAME=/cgi-bin/upload REQUEST_URI=/cgi-bin/upload REMOTE_ADDR=127.0.0.1 HTTP_HOST=127.0.0.1
export REQUEST_METHOD=POST CONTENT_TYPE='multipart/form-data; boundary=XbenchX'
export CGIECHO_MAX_PARTS=5000 GODEBUG=multipartmaxparts=5000
# CGI.pm and Go spool large files to temp files; keep them off a small /tmp
# and out of the way.
export TMPDIR=$work

# The files a program's answer lists, as sorted "size sha256" lines.
files_listed() {  # program name, answer file
  if [ "$1" = inspect ]; then
    "$PYTHON" -c 'import json, sys
r = json.loads(open(sys.argv[1], "rb").read().split(b"\r\n\r\n", 1)[1])
print("\n".join(sorted("%d %s" % (f["size"], f["sha256"]) for f in r["files"])))' "$2"
  elif [ "$1" = floor ]; then
    :
  else
    sed -n '/^\r\{0,1\}$/,$p' "$2" | awk 'NF == 3 { print $2, $3 }' | sort
  fi
}

results=$work/results.txt
: > "$results"
for body in one_file fields files; do
  export CONTENT_LENGTH
  CONTENT_LENGTH=$(stat -c %s "$work/$body")
  commands=()
  for p in "${order[@]}"; do
    ${program[$p]} < "$work/$body" > "$work/answer" 2> "$work/errors" || true
    if [ "$p" = floor ]; then
      want=$(sha256sum < "$work/$body" | cut -d' ' -f1)
      grep -qx "$want" "$work/answer" || { echo "floor answered $(head -c 200 "$work/answer")" >&2; exit 1; }
    elif [ "$(files_listed "$p" "$work/answer")" != "$(cat "$work/$body.files")" ]; then
      echo "$p on $body: the answer does not list the files sent:" >&2
      head -c 400 "$work/answer" >&2; head -c 400 "$work/errors" >&2; echo >&2
      exit 1
    fi
    commands+=(-n "$p" "cat '$work/$body' | ${program[$p]} > /dev/null")
  done
  echo "== $body ($CONTENT_LENGTH bytes): timing ${#order[@]} programs, $RUNS runs each" >&2
  hyperfine --style none --warmup 1 --runs "$RUNS" --export-json "$work/$body.json" "${commands[@]}" > /dev/null
  for p in "${order[@]}"; do
    rss=0
    for _ in $(seq "$RSS_RUNS"); do
      /usr/bin/time -f '%M' -o "$work/rss" sh -c "cat '$work/$body' | ${program[$p]} > /dev/null"
      r=$(tail -n 1 "$work/rss")
      [ "$r" -gt "$rss" ] && rss=$r
    done
    echo "$body $p $rss" >> "$results"
  done
done

"$PYTHON" - "$work" "$results" <<'PY'
import json, os, sys
work, results = sys.argv[1], sys.argv[2]
rss = {}
for line in open(results):
    body, prog, kib = line.split()
    rss[body, prog] = int(kib)
cases = [("one_file", "one file of 256 MiB", 1.25), ("fields", "2,000 fields and a 10 KiB file", 1.5),
         ("files", "50 files of 1 MiB", 1.3)]
failed = []
print("| case | program | median time | × floor | CPU time | × floor | peak RSS |")
print("|---|---|---:|---:|---:|---:|---:|")
for body, title, limit in cases:
    results = json.load(open(os.path.join(work, body + ".json")))["results"]
    runs = {r["command"]: r["median"] for r in results}
    # user + system of the pipeline (cat included), the mean of the runs
    cpu = {r["command"]: r["user"] + r["system"] for r in results}
    floor = runs["floor"]
    for prog, t in runs.items():
        name = "cgiecho-inspect" if prog == "inspect" else prog
        star = "**" if prog == "inspect" else ""
        print(f"| {title} | {name} | {t:.3f} s | {star}{t / floor:.2f}{star} | {cpu[prog]:.3f} s | "
              f"{cpu[prog] / cpu['floor']:.2f} | {rss[body, prog] / 1024:.1f} MiB |")
    ratio = runs["inspect"] / floor
    if ratio > limit:
        failed.append(f"{title}: cgiecho-inspect {ratio:.2f} × the floor, over {limit}")
    for prog, t in runs.items():
        if prog not in ("floor", "inspect") and t <= runs["inspect"]:
            failed.append(f"{title}: {prog} ({t:.3f} s) not slower than cgiecho-inspect ({runs['inspect']:.3f} s)")
    if body == "one_file" and rss[body, "inspect"] > 32 * 1024:
        failed.append(f"{title}: cgiecho-inspect peak RSS {rss[body, 'inspect']} KiB, over 32 MiB")
print()
for f in failed:
    print("MISSED", f)
print("every target met" if not failed else f"{len(failed)} target(s) missed")
sys.exit(1 if failed else 0)
PY
