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
import shutil

from runner import Failure, Usage, check, main, make_workdir
from webserver import exchange, multipart, serve

# A file past every pipe's buffer, within nginx's client_max_body_size.
BODY, BODY_TYPE = multipart([(b"files", b"big.bin", b"application/octet-stream", random.Random(7).randbytes(4 << 20))],
                            b"r3adoff")
LIMITS = {"CGIECHO_MAX_FILE": "1000"}
SERVERS = ("apache", "nginx")
# what, variables the configuration sets, status, code on the page, limit in the log
ROWS = [
    ("a file over CGIECHO_MAX_FILE", LIMITS, 413, "file_too_large", "CGIECHO_MAX_FILE (1000) passed"),
    ("a body over CGIECHO_MAX_BODY", {"CGIECHO_MAX_BODY": "5000"}, 413, "body_too_large",
     "CGIECHO_MAX_BODY (5000) passed"),
]


def refused(server, name, what, status, code, logged):
    """What is wrong with the answer to the upload, and with the log."""
    try:
        r = exchange(server.port, "POST", b"/cgi-bin/upload", headers=[f"Content-Type: {BODY_TYPE}"],
                     raw_body=BODY, timeout=60.0)
    except Failure as e:
        return [f"{name}: {what}: {e}"]
    problems = []
    page = r.body.decode("utf-8", "replace")
    if r.status != status or code not in page:
        problems.append(f"{name}: {what}: {r.status} {page[:300]!r}, want {status} with {code}")
    # Apache's error log; fcgiwrap passes a program's standard error on as
    # its own.
    log = server.logs()
    # The program's own name as the server runs it.
    if "upload: refused a request to /cgi-bin/upload: " + logged not in log:
        problems.append(f"{name}: {what}: the error log lacks the refusal: {log[-600:]!r}")
    return problems


def cases(args):
    if len(args) != 2 or args[0] not in SERVERS:
        raise Usage
    name, upload = args
    folder = make_workdir("cgiecho-drop-")
    try:
        for what, limits, status, code, logged in ROWS:
            env = dict(limits, CGIECHO_UPLOAD_DIR=folder)
            with serve(name, upload, env=env, scripts={"upload": upload}) as server:
                check(f"{name}: {what}", refused(server, name, what, status, code, logged))
        check(f"{name}: a refused upload leaves no file",
              [f"it left {sorted(os.listdir(folder))}"] if os.listdir(folder) else [])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main(cases, __doc__)
