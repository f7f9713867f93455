#!/usr/bin/env python3
"""Records the captures in this folder anew, from Chromium through real servers.

usage: tests/captures/record.py [--out FOLDER] ECHO_PROGRAM [INSPECT_PROGRAM]

  make                                    # build/cgiecho, build/cgiecho-replay
  npm ci --prefix tests/browser           # playwright-core, as the browser test uses it
  tests/captures/record.py build/cgiecho build/cgiecho-inspect

For each of lighttpd (mod_cgi), Apache (mod_cgid) and nginx (fcgiwrap), all
on 127.0.0.1 with CGIECHO_CAPTURE_DIR (and CGIECHO_CAPTURE_SECRETS=1: the
test cookies are no secret) set by the server configuration, Debian's
chromium, driven by browse.mjs, submits forms and sends fetch() requests to
each program; a chunked POST, which Chromium sends only over HTTP/2, comes
from this script's own client. The capture of every request goes to
echo/SERVER-CASE.capture (the echo program's answers) or
inspect/SERVER-CASE.capture (the inspector's), replacing what was there, and
each is replayed once with cgiecho-replay --compare before it is kept.
--out puts the echo/ and inspect/ folders elsewhere, to look at a recording
before it replaces the one here.

Needs what the server and browser tests need (scripts/deps.sh) and, beside
ECHO_PROGRAM, cgiecho-replay. The files hold the servers' own variables
(temporary paths, ports, Chromium's headers): they are data, kept as they
arrived.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "servers"))
sys.dont_write_bytecode = True

import capture_file  # noqa: E402
from procs import require  # noqa: E402
from runner import Failure  # noqa: E402
from webserver import Apache, Lighttpd, Nginx, NoResponse, exchange  # noqa: E402

SERVERS = {"lighttpd": Lighttpd, "apache": Apache, "nginx": Nginx}
PROGRAMS = {"cgiecho": "echo", "cgiecho-inspect": "inspect"}


def captures_in(folder):
    return sorted(f for f in os.listdir(folder) if f.endswith(".capture"))


def settle(folder, count, timeout=10.0):
    """The folder's captures once `count` are there and each is whole (the
    response is added after the client has its answer)."""
    deadline = time.monotonic() + timeout
    while True:
        names = captures_in(folder)
        try:
            if len(names) == count and all(capture_file.read(os.path.join(folder, n)).response is not None
                                           for n in names):
                return names
        except (ValueError, IndexError):
            pass  # one still being written
        if time.monotonic() > deadline:
            raise Failure(f"{len(names)} captures in {folder}, want {count} whole ones")
        time.sleep(0.1)


def chunked_post(port, program, like):
    """A chunked POST, with the headers Chromium sent in `like`."""
    headers = ["Content-Type: application/x-www-form-urlencoded"]
    for name in (b"HTTP_USER_AGENT", b"HTTP_ACCEPT_LANGUAGE"):
        value = like.param(name)
        if value is not None:
            headers.append(name[5:].decode().replace("_", "-").title() + ": " + value.decode("latin-1"))
    try:
        r = exchange(port, "POST", f"/cgi-bin/{program}?form=chunked".encode(), body=b"a=1&b=%3Cc%3E&b=2",
                     chunked=True, headers=headers)
    except NoResponse:
        # Apache's mod_cgid, handing a program a body it does not read,
        # at times drops the answer (see docs/servers.md): the program still
        # answered, and the capture holds what it wrote.
        print(f"note: {program}: the server dropped the answer to the chunked POST")
        return
    if r.status != 200:
        raise Failure(f"chunked POST: status {r.status}")


def record(server_name, programs, replay, out, browser_environment):
    folder = tempfile.mkdtemp(prefix="cgiecho-record-", dir="/tmp")
    os.chmod(folder, 0o777)  # Apache runs programs as www-data
    settings = {"CGIECHO_CAPTURE_DIR": folder, "CGIECHO_CAPTURE_SECRETS": "1"}
    scripts = {name: path for name, path in programs.items() if name != "cgiecho"}
    kept = []
    try:
        with SERVERS[server_name](programs["cgiecho"], env=settings, scripts=scripts) as server:
            htdocs = os.path.join(server.dir, "htdocs")
            os.makedirs(htdocs, exist_ok=True)
            shutil.copyfile(os.path.join(here, "forms.html"), os.path.join(htdocs, "forms.html"))
            for program in programs:
                run = subprocess.run([require("node"), os.path.join(here, "browse.mjs"),
                                      "--base", f"http://127.0.0.1:{server.port}", "--program", program],
                                     capture_output=True, timeout=300, env=browser_environment)
                if run.returncode != 0:
                    raise Failure(f"browse.mjs: {run.stderr.decode(errors='replace')[-2000:]}")
                names = json.loads(run.stdout)
                files = settle(folder, len(names))
                chunked_post(server.port, program, capture_file.read(os.path.join(folder, files[0])))
                names.append("post-chunked")
                files = settle(folder, len(names))
                target = os.path.join(out, PROGRAMS[program])
                os.makedirs(target, exist_ok=True)
                for case, name in zip(names, files):
                    path = os.path.join(target, f"{server_name}-{case}.capture")
                    shutil.move(os.path.join(folder, name), path)
                    os.chmod(path, 0o644)
                    check = subprocess.run([replay, "--compare", path, "--", programs[program]],
                                           capture_output=True, timeout=60)
                    if check.returncode != 0:
                        raise Failure(f"{path} does not replay the same: {check.stdout!r} {check.stderr!r}")
                    kept.append(path)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return kept


# The servers (and fcgiwrap, which hands its own environment to the
# programs it runs) start with this environment only, so that the captures
# hold the request and nothing of the machine that recorded it.
SERVER_ENVIRONMENT = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin", "LANG": "C.UTF-8"}


def main(argv):
    out = here
    if len(argv) > 2 and argv[1] == "--out":
        out = os.path.abspath(argv[2])
        argv = argv[:1] + argv[3:]
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    browser_environment = dict(SERVER_ENVIRONMENT, HOME=os.environ.get("HOME", "/tmp"))
    os.environ.clear()
    os.environ.update(SERVER_ENVIRONMENT)
    programs = {"cgiecho": os.path.abspath(argv[1])}
    if len(argv) == 3:
        programs["cgiecho-inspect"] = os.path.abspath(argv[2])
    replay = os.path.join(os.path.dirname(programs["cgiecho"]), "cgiecho-replay")
    try:
        require(replay)
        for server_name in SERVERS:
            for path in record(server_name, programs, replay, out, browser_environment):
                print(f"recorded {os.path.relpath(path, out)}")
    except Failure as e:
        print(f"FAIL: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
