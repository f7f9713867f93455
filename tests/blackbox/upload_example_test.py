#!/usr/bin/env python3
"""The upload example (cgiecho-upload) from the outside, as a web server runs a
CGI program: what it refuses and with which status, that a refused POST keeps
nothing, that a client's cookie never names a file, and where the redirect
after a POST points; and as a FastCGI responder, that a request's
parameters never choose the folder.

usage: upload_example_test.py PROGRAM
"""

import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "servers"))
sys.dont_write_bytecode = True
import fcgi as fc  # noqa: E402
import webserver  # noqa: E402
from procs import Responder  # noqa: E402

BOUNDARY = "XuploadX"


def multipart(parts):
    """parts: (name, filename or None, bytes)."""
    return webserver.multipart([(name.encode(), None if filename is None else filename.encode(),
                                 None if filename is None else b"application/octet-stream", data)
                                for name, filename, data in parts], BOUNDARY.encode())[0]


TWO_FILES = multipart([("note", None, b"hi"), ("files", "a.txt", b"AAAA"), ("files", "b.bin", b"\0B\0")])


def run(program, env, body=b""):
    base = {"REQUEST_METHOD": "POST" if body else "GET", "SCRIPT_NAME": "/cgi-bin/upload",
            "SERVER_NAME": "example.test", "SERVER_PORT": "80"}
    if body:
        base.update(CONTENT_TYPE="multipart/form-data; boundary=" + BOUNDARY, CONTENT_LENGTH=str(len(body)))
    base.update(env)
    env = {k: v for k, v in base.items() if v is not None}
    done = subprocess.run([program], env=env, input=body, capture_output=True, timeout=20)
    head, _, page = done.stdout.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if lines[0].startswith("Status:") else 200
    return status, lines, page.decode("utf-8", "replace")


def hundred_files(program, folder):
    """100 files of 1 MiB, kept: the files in memory share one budget
    (CGIECHO_MEMORY, 1 MiB), so the program's peak memory stays far below
    what the files weigh together."""
    files = [("files", f"f{i}.bin", bytes([i]) * (1 << 20)) for i in range(100)]
    body = multipart(files)
    env = {"REQUEST_METHOD": "POST", "SCRIPT_NAME": "/cgi-bin/upload", "SERVER_NAME": "example.test",
           "SERVER_PORT": "80", "CGIECHO_UPLOAD_DIR": folder, "CONTENT_LENGTH": str(len(body)),
           "CONTENT_TYPE": "multipart/form-data; boundary=" + BOUNDARY}
    problems = []
    for n in os.listdir(folder):
        if n != "plain-file":
            os.remove(os.path.join(folder, n))
    with tempfile.TemporaryFile() as stdin, tempfile.NamedTemporaryFile() as peak:
        stdin.write(body)
        stdin.seek(0)
        del body
        # Measured by time(1), a small program: a child forked from this
        # large Python process would count the parent's pages until exec.
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak.name, program], env=env, stdin=stdin,
                              capture_output=True, timeout=120)
        status = done.stdout[:200]
        peak_mib = int(open(peak.name).read().split()[-1]) / 1024
    print(f"100 files of 1 MiB kept with a peak of {peak_mib:.1f} MiB")
    if not status.startswith(b"Status: 303"):
        problems.append(f"100 files of 1 MiB: {status!r}")
    if peak_mib >= 32:
        problems.append(f"100 files of 1 MiB: a peak of {peak_mib:.1f} MiB, not under 32 MiB")
    kept = [n for n in os.listdir(folder) if n.endswith(".upload")]
    if len(kept) != 100 or sorted(os.path.getsize(os.path.join(folder, n)) for n in kept) != [1 << 20] * 100:
        problems.append(f"100 files of 1 MiB: kept {len(kept)}")
    for n in os.listdir(folder):
        if n != "plain-file":
            os.remove(os.path.join(folder, n))
    return problems


def fastcgi_folder(program):
    """A FastCGI request whose parameters set CGIECHO_UPLOAD_DIR: the files
    go to the responder's own folder, or, where it has none, nowhere."""
    problems = []
    with tempfile.TemporaryDirectory() as work:
        own, asked = os.path.join(work, "own"), os.path.join(work, "asked")
        os.mkdir(own)
        os.mkdir(asked)
        params = fc.env("POST", SCRIPT_NAME=b"/cgi-bin/upload", SERVER_NAME=b"example.test", SERVER_PORT=b"80",
                        CONTENT_TYPE=b"multipart/form-data; boundary=" + BOUNDARY.encode(),
                        CONTENT_LENGTH=b"%d" % len(TWO_FILES), CGIECHO_UPLOAD_DIR=asked.encode())
        environ = {k: v for k, v in os.environ.items() if k != "CGIECHO_UPLOAD_DIR"}
        for what, folder, status in (("own folder set", own, b"303"), ("no own folder", None, b"500")):
            env = dict(environ, CGIECHO_UPLOAD_DIR=folder) if folder else environ
            with Responder(program, work, name="upload", env=env) as r, r.connect() as s:
                s.sendall(fc.request(params, TWO_FILES))
                got = fc.response(s) or b""
            if not got.startswith(b"Status: " + status):
                problems.append(f"FastCGI, {what}: {got[:200]!r}")
            if os.listdir(asked):
                problems.append(f"FastCGI, {what}: the request's folder holds {sorted(os.listdir(asked))}")
            if folder and len([n for n in os.listdir(own) if n.endswith(".upload")]) != 2:
                problems.append(f"FastCGI, {what}: the own folder holds {sorted(os.listdir(own))}")
    return problems


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    program = argv[1]
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        a_file = os.path.join(folder, "plain-file")
        open(a_file, "w").close()
        # Each row: what it is, variables over the base ones (None: unset),
        # body, status, text the page must hold.
        refusals = [
            ("no folder configured", {}, b"", 500, "No upload folder is configured"),
            # The system's reason is in the page.
            ("folder missing", {"CGIECHO_UPLOAD_DIR": folder + "/nowhere"}, TWO_FILES, 500,
             "could not be kept in the upload folder (CGIECHO_UPLOAD_DIR): No such file or directory"),
            ("folder is a file", {"CGIECHO_UPLOAD_DIR": a_file}, TWO_FILES, 500,
             "could not be kept in the upload folder (CGIECHO_UPLOAD_DIR): Not a directory"),
            # Nobody, root included, makes files in /proc.
            ("folder not writable", {"CGIECHO_UPLOAD_DIR": "/proc"}, TWO_FILES, 500,
             "could not be kept in the upload folder"),
            ("limit not a number", {"CGIECHO_UPLOAD_DIR": folder, "CGIECHO_MAX_FILES": "2 "}, TWO_FILES, 500,
             "CGIECHO_MAX_FILES is not a plain decimal number"),
            ("one file too many", {"CGIECHO_UPLOAD_DIR": folder, "CGIECHO_MAX_FILES": "1"}, TWO_FILES, 413,
             "too_many_files"),
            ("a file one byte over", {"CGIECHO_UPLOAD_DIR": folder, "CGIECHO_MAX_FILE": "3"}, TWO_FILES, 413,
             "file_too_large"),
            ("cut-off form", {"CGIECHO_UPLOAD_DIR": folder}, TWO_FILES[:-4], 400, "malformed_multipart"),
            ("other method", {"CGIECHO_UPLOAD_DIR": folder, "REQUEST_METHOD": "PUT"}, b"", 405, "GET and POST"),
        ]
        for what, env, body, status, text in refusals:
            got, head, page = run(program, env, body)
            if got != status or text not in page:
                problems.append(f"{what}: {got} {page[:300]!r}, expected {status} with {text!r}")
            if os.listdir(folder) != ["plain-file"]:
                problems.append(f"{what}: the folder holds {sorted(os.listdir(folder))}")

        # A cookie the program did not make names nothing: the POST gets a
        # new id, and every file it makes is the program's own.
        for cookie in ("drop_id=../../etc/x", "drop_id=" + "A" * 32, "drop_id=" + "0" * 31):
            got, head, _ = run(program, {"CGIECHO_UPLOAD_DIR": folder, "HTTP_COOKIE": cookie}, TWO_FILES)
            ids = [m.group(1) for h in head for m in [re.match(r"Set-Cookie: drop_id=([0-9a-f]{32});", h)] if m]
            if got != 303 or len(ids) != 1:
                problems.append(f"cookie {cookie!r}: {got} {head}")
                continue
            made = sorted(os.listdir(folder))
            if f"{ids[0]}-1.drop" not in made or not all(re.fullmatch(r"[0-9a-f]{32}(-1\.drop|\.upload)", n)
                                                          for n in made if n != "plain-file"):
                problems.append(f"cookie {cookie!r}: the folder holds {made}")
            kept = sorted(open(os.path.join(folder, n), "rb").read() for n in made if n.endswith(".upload"))
            if kept != [b"\0B\0", b"AAAA"]:
                problems.append(f"cookie {cookie!r}: kept {kept}")
            modes = {oct(os.stat(os.path.join(folder, n)).st_mode & 0o777) for n in made if n != "plain-file"}
            if modes != {"0o600"}:
                problems.append(f"cookie {cookie!r}: files made with modes {modes}, not private")
            for n in made:
                if n != "plain-file":
                    os.remove(os.path.join(folder, n))

        # The redirect after a POST: an absolute URI of this page; the cookie
        # Secure only over HTTPS or to a loopback address, where a browser keeps it.
        where = [
            ({"SERVER_PORT": "80"}, "http://example.test/cgi-bin/upload", False),
            ({"SERVER_PORT": "8080"}, "http://example.test:8080/cgi-bin/upload", False),
            ({"HTTPS": "on", "SERVER_PORT": "443"}, "https://example.test/cgi-bin/upload", True),
            ({"HTTPS": "on", "SERVER_PORT": "8443"}, "https://example.test:8443/cgi-bin/upload", True),
            ({"HTTPS": "off", "SERVER_PORT": "443"}, "http://example.test:443/cgi-bin/upload", False),
            ({"SERVER_NAME": "::1", "SERVER_PORT": "81"}, "http://[::1]:81/cgi-bin/upload", True),
        ]
        for env, location, secure in where:
            got, head, _ = run(program, dict(env, CGIECHO_UPLOAD_DIR=folder), TWO_FILES)
            cookie = [h for h in head if h.startswith("Set-Cookie: ")]
            if got != 303 or f"Location: {location}" not in head or len(cookie) != 1 or \
                    ("; Secure" in cookie[0]) != secure or "; Path=/cgi-bin/upload;" not in cookie[0]:
                problems.append(f"{env}: {got} {head}, expected Location: {location}")
        # HEAD: the GET page's head, and no page.
        got_get, head_get, page_get = run(program, {"CGIECHO_UPLOAD_DIR": folder})
        got, head, page = run(program, {"CGIECHO_UPLOAD_DIR": folder, "REQUEST_METHOD": "HEAD"})
        if (got, head) != (got_get, head_get) or got != 200 or page or "File drop" not in page_get:
            problems.append(f"HEAD: {got} {head} {page[:100]!r}, GET: {got_get} {head_get}")
        got, head, page = run(program, {"CGIECHO_UPLOAD_DIR": folder, "SERVER_NAME": None}, TWO_FILES)
        if got != 500 or "SERVER_NAME" not in page:
            problems.append(f"no SERVER_NAME: {got} {page[:200]!r}")
        problems += hundred_files(program, folder)

    problems += fastcgi_folder(program)
    for p in problems:
        print("FAIL", p)
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
