#!/usr/bin/env python3
"""Capture behind real web servers, switched on by their configuration.

usage: capture_cases.py PROGRAM REPLAY

Each server sets CGIECHO_CAPTURE_DIR its own way: lighttpd's
setenv.add-environment (CGI) and bin-environment (FastCGI responders'
environment), Apache's SetEnv, nginx's fastcgi_param through fcgiwrap (CGI);
a FastCGI responder behind nginx takes it from the environment spawn-fcgi
starts it with, and a fastcgi_param naming another folder reaches nothing,
as capture settings never come from a request. Every request of a small
table leaves exactly one capture in that folder, whose response record ends
with what the client received, and `cgiecho-replay --compare` finds the
program's answer to the captured request the same. A client that sends a
header named like the setting reaches nothing: it arrives as HTTP_*.

Then the folder cap under concurrent requests: four FastCGI responders
behind lighttpd, CGIECHO_CAPTURE_MAX=20 and eight clients at once; the
folder ends with at least 20 captures and fewer than 20 + 4, each whole.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import threading

import capture_file
from webserver import SCRIPT, Apache, Failure, Lighttpd, Nginx, exchange

ROWS = [
    ("GET", "GET", SCRIPT.encode() + b"?name=Ann&note=a%3Cb", None, False),
    ("POST form", "POST", SCRIPT.encode(), b"name=Ann&note=a<b>", False),
    ("POST with NUL and high bytes", "POST", SCRIPT.encode(), b"a\0b\xff<c", False),
    ("chunked POST", "POST", SCRIPT.encode(), b"x=<chunked>", True),
    ("HEAD", "HEAD", SCRIPT.encode() + b"?h=1", None, False),
    ("PUT", "PUT", SCRIPT.encode() + b"?q=1", b"put body", False),
]

# CGI programs take the setting from the server; FastCGI responders from
# their own environment (lighttpd's bin-environment, spawn-fcgi's), never
# from a request's parameters: nginx's fastcgi_param names another folder,
# which must stay empty.
SERVERS = {
    "lighttpd": lambda p, s, other: Lighttpd(p, env=s),
    "apache": lambda p, s, other: Apache(p, env=s),
    "nginx": lambda p, s, other: Nginx(p, env=s),
    "lighttpd-fastcgi": lambda p, s, other: Lighttpd(p, fastcgi=True, responder_env=s),
    "nginx-fastcgi": lambda p, s, other: Nginx(p, fastcgi="unix", responder_env=s,
                                               env={"CGIECHO_CAPTURE_DIR": other}),
}


def new_folder():
    # Apache runs CGI programs as www-data: the folder must take its files.
    folder = tempfile.mkdtemp(prefix="cgiecho-captures-", dir="/tmp")
    os.chmod(folder, 0o777)
    return folder


def replay_compare(replay, program, path):
    r = subprocess.run([replay, "--compare", path, "--", program], capture_output=True, timeout=60)
    return r.returncode, (r.stdout + r.stderr).decode("latin-1").strip()


def server_rows(name, program, replay):
    folder, elsewhere = new_folder(), new_folder()
    spoof = (f"CGIECHO-CAPTURE-DIR: {elsewhere}", f"CGIECHO_CAPTURE_DIR: {elsewhere}")
    problems = []
    try:
        with SERVERS[name](program, {"CGIECHO_CAPTURE_DIR": folder}, elsewhere) as server:
            for label, method, target, body, chunked in ROWS:
                before = set(os.listdir(folder))
                r = exchange(server.port, method, target, body=body, chunked=chunked, headers=spoof)
                new = sorted(set(os.listdir(folder)) - before)
                if r.status != 200 or len(new) != 1:
                    problems.append(f"{label}: status {r.status}, {len(new)} new captures")
                    continue
                path = os.path.join(folder, new[0])
                c = capture_file.read(path)
                if method != "HEAD" and not c.response.endswith(r.body):
                    problems.append(f"{label}: the response record does not end with the body the client got")
                if c.param(b"HTTP_CGIECHO_CAPTURE_DIR") is None and name != "nginx":
                    # nginx drops header names with "_" and folds "-" ones the same way
                    problems.append(f"{label}: the client's header did not arrive as HTTP_*")
                status, said = replay_compare(replay, program, path)
                if status != 0:
                    problems.append(f"{label}: replay --compare ended with {status}: {said}")
            if os.listdir(elsewhere):
                problems.append("a capture landed where the client or a request parameter asked")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(elsewhere, ignore_errors=True)
    print(f"{'FAIL' if problems else 'ok  '} {name}: {len(ROWS)} requests, one capture each, each replayed the same")
    for p in problems:
        print(f"       {p}")
    return bool(problems)


def concurrent_cap(program, replay, responders=4, clients=8, each=25, cap=20):
    folder = new_folder()
    problems = []
    try:
        settings = {"CGIECHO_CAPTURE_DIR": folder, "CGIECHO_CAPTURE_MAX": str(cap)}
        with Lighttpd(program, fastcgi=True, max_procs=responders, responder_env=settings) as server:
            errors = []

            def client(n):
                for i in range(each):
                    try:
                        r = exchange(server.port, "GET", SCRIPT.encode() + b"?client=%d&i=%d" % (n, i))
                        if r.status != 200:
                            errors.append(r.status)
                    except (Failure, OSError) as e:
                        errors.append(repr(e))
            threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            if errors:
                problems.append(f"{len(errors)} requests failed: {errors[:5]}")
        found = sorted(f for f in os.listdir(folder) if f.endswith(".capture"))
        if not cap <= len(found) < cap + responders:
            problems.append(f"{len(found)} captures for a cap of {cap} with {responders} responders")
        for f in found:
            status, said = replay_compare(replay, program, os.path.join(folder, f))
            if status != 0:
                problems.append(f"{f}: {said}")
        print(f"{'FAIL' if problems else 'ok  '} cap {cap}, {responders} responders, {clients * each}"
              f" concurrent requests: {len(found)} captures, each whole")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for p in problems[:10]:
        print(f"       {p}")
    return bool(problems)


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    program, replay = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    try:
        failed = sum(server_rows(name, program, replay) for name in SERVERS)
        failed += concurrent_cap(program, replay)
    except Failure as e:
        print(f"FAIL: {e}")
        return 1
    print(f"{failed} case(s) failed" if failed else "every case passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
