#!/usr/bin/env python3
"""The upload example (cgiecho-upload) behind servers that pass a CGI
program's answer on only once it has taken the body they are writing to it
(Apache's mod_cgid, nginx with fcgiwrap): an upload too large for a limit is
refused from the library, which reads the body off first, so the client gets
the 413 page rather than a 502 or a reset connection; the refusal is logged
where the server keeps a program's standard error, naming the limit.

usage: upload_cases.py SERVER UPLOAD
SERVER: apache or nginx.
"""

import os
import random
import sys

from procs import make_workdir
from runner import Failure
from webserver import Apache, Nginx, exchange

BOUNDARY = b"r3adoff"
FILE = random.Random(7).randbytes(4 << 20)  # past every pipe's buffer, within nginx's client_max_body_size
LIMITS = {"CGIECHO_MAX_FILE": "1000"}
SERVERS = {"apache": Apache, "nginx": Nginx}


def multipart(data):
    return (b"--" + BOUNDARY + b'\r\nContent-Disposition: form-data; name="files"; filename="big.bin"\r\n'
            b"Content-Type: application/octet-stream\r\n\r\n" + data + b"\r\n--" + BOUNDARY + b"--\r\n")


def main(argv):
    if len(argv) != 3 or argv[1] not in SERVERS:
        print(__doc__, file=sys.stderr)
        return 2
    name, upload = argv[1], argv[2]
    folder = make_workdir("cgiecho-drop-")
    body = multipart(FILE)
    cases = [
        # what, variables the configuration sets, status, code on the page, limit in the log
        ("a file over CGIECHO_MAX_FILE", LIMITS, 413, "file_too_large", "CGIECHO_MAX_FILE (1000) passed"),
        ("a body over CGIECHO_MAX_BODY", {"CGIECHO_MAX_BODY": "5000"}, 413, "body_too_large",
         "CGIECHO_MAX_BODY (5000) passed"),
    ]
    problems = []
    try:
        for what, limits, status, code, logged in cases:
            before = len(problems)
            env = dict(limits, CGIECHO_UPLOAD_DIR=folder)
            with SERVERS[name](upload, env=env, scripts={"upload": upload}) as server:
                headers = [f"Content-Type: multipart/form-data; boundary={BOUNDARY.decode()}",
                           f"Content-Length: {len(body)}"]
                try:
                    r = exchange(server.port, "POST", b"/cgi-bin/upload", headers=headers, raw_body=body,
                                 timeout=60.0)
                except Failure as e:
                    problems.append(f"{name}: {what}: {e}")
                    continue
                page = r.body.decode("utf-8", "replace")
                if r.status != status or code not in page:
                    problems.append(f"{name}: {what}: {r.status} {page[:300]!r}, want {status} with {code}")
                # Apache's error log; fcgiwrap passes a program's standard
                # error on as its own.
                log = "".join(open(os.path.join(server.dir, n), "rb").read().decode("latin-1")
                              for n in sorted(os.listdir(server.dir)) if n.endswith(".log"))
                if "cgiecho: refused a request to /cgi-bin/upload: " + logged not in log:
                    problems.append(f"{name}: {what}: the error log lacks the refusal: {log[-600:]!r}")
                print(f"{'FAIL' if len(problems) > before else 'ok  '} {name}: {what}")
        if os.listdir(folder):
            problems.append(f"{name}: a refused upload left {sorted(os.listdir(folder))}")
    finally:
        for entry in os.listdir(folder):
            os.remove(os.path.join(folder, entry))
        os.rmdir(folder)
    for p in problems:
        print("FAIL", p)
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
