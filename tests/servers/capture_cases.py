#!/usr/bin/env python3
"""Capture behind real web servers, switched on by their configuration.

usage: capture_cases.py PROGRAM REPLAY [INSPECTOR]

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

Last, the inspector (INSPECTOR, by default cgiecho-inspect beside PROGRAM)
behind lighttpd, sent credentials of every kind a capture removes: none of
them is in its capture as sent, JSON-escaped, percent-encoded or
HTML-escaped, and the capture still replays.
"""

import html
import json
import os
import shutil
import subprocess
import urllib.parse

import capture_file
from procs import in_threads
from runner import Failure, Usage, check, main, make_workdir
from webserver import SCRIPT, Lighttpd, exchange, serve

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
SERVERS = ("lighttpd", "apache", "nginx", "lighttpd-fastcgi", "nginx-fastcgi-unix")


def settings(name, folder, other):
    """The options that set the folder for the server `name`."""
    if "fastcgi" not in name:
        return {"env": {"CGIECHO_CAPTURE_DIR": folder}}
    request = {"env": {"CGIECHO_CAPTURE_DIR": other}} if name.startswith("nginx") else {}
    return {"responder_env": {"CGIECHO_CAPTURE_DIR": folder}, **request}


def new_folder():
    # Apache runs CGI programs as www-data: the folder must take its files.
    return make_workdir("cgiecho-captures-", 0o777)


def replay_compare(replay, program, path):
    r = subprocess.run([replay, "--compare", path, "--", program], capture_output=True, timeout=60)
    return r.returncode, (r.stdout + r.stderr).decode("latin-1").strip()


def server_rows(name, program, replay):
    folder, elsewhere = new_folder(), new_folder()
    spoof = (f"CGIECHO-CAPTURE-DIR: {elsewhere}", f"CGIECHO_CAPTURE_DIR: {elsewhere}")
    problems = []
    try:
        with serve(name, program, **settings(name, folder, elsewhere)) as server:
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
    check(f"{name}: {len(ROWS)} requests, one capture each, each replayed the same", problems)


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
            in_threads([lambda n=n: client(n) for n in range(clients)])
            if errors:
                problems.append(f"{len(errors)} requests failed: {errors[:5]}")
        found = sorted(f for f in os.listdir(folder) if f.endswith(".capture"))
        if not cap <= len(found) < cap + responders:
            problems.append(f"{len(found)} captures for a cap of {cap} with {responders} responders")
        for f in found:
            status, said = replay_compare(replay, program, os.path.join(folder, f))
            if status != 0:
                problems.append(f"{f}: {said}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    check(f"cap {cap}, {responders} responders, {clients * each} concurrent requests: {len(found)} captures,"
          " each whole", problems)


MARKER = "(removed by cgiecho capture)"
# One request with a credential of each kind: a Digest Authorization (its
# quotes JSON-escaped in the echo), a cookie holding a backslash, a token in
# the query (QUERY_STRING and REQUEST_URI), a Referer's query, a header
# named X-Auth, and a password field of a url-encoded body, named in
# percent-encoding.
DIGEST = (b'Digest username="Mufasa", realm="r@example.org", nonce="dcd98b7102dd2f0e",'
          b' uri="/cgi-bin/cgiecho", response="6629fae49393a05397450978507c4ef1"')
SECRET_REQUEST = dict(
    target=SCRIPT.encode() + b"?access_token=Zq9%2Fx%2B7&x=1",
    body=b"user=ann&pass%77ord=Hunter2%21%22%3C%26x",
    headers=("Authorization: " + DIGEST.decode(), 'Cookie: sid="k3y\\s3cr3t"',
             "Referer: https://idp.example/cb?code=c0de-5ecret&state=st4te", "X-Auth: xa-9f8e7d6c"))
SECRETS = [DIGEST, b"6629fae49393a05397450978507c4ef1", b"k3y\\s3cr3t", b"Zq9%2Fx%2B7", b"Zq9/x+7",
           b"c0de-5ecret", b"xa-9f8e7d6c", b"Hunter2%21%22%3C%26x", b'Hunter2!"<&x']


def written_forms(secret):
    """The ways a program writes a value: as sent, JSON-escaped, percent-encoded, HTML-escaped."""
    text = secret.decode("latin-1")
    forms = {text, json.dumps(text)[1:-1], json.dumps(text)[1:-1].replace("/", "\\/"),
             urllib.parse.quote(text, safe=""), urllib.parse.quote(text, safe="").lower(),
             urllib.parse.quote_plus(text, safe=""), html.escape(text)}
    return [f.encode("latin-1") for f in forms]


def inspector_secrets(inspector, replay):
    folder = new_folder()
    problems = []
    try:
        with Lighttpd(inspector, env={"CGIECHO_CAPTURE_DIR": folder}) as server:
            r = exchange(server.port, "POST", **SECRET_REQUEST)
        found = os.listdir(folder)
        if r.status != 200 or len(found) != 1:
            problems.append(f"status {r.status}, {len(found)} captures")
        else:
            path = os.path.join(folder, found[0])
            with open(path, "rb") as f:
                kept = f.read()
            for secret in SECRETS:
                # The inspector shows the body's fields decoded, not the body.
                echoed = secret != b"Hunter2%21%22%3C%26x"
                if echoed and not any(form in r.body for form in written_forms(secret)):
                    problems.append(f"the inspector's answer does not echo {secret!r}")
                for form in written_forms(secret):
                    if form in kept:
                        problems.append(f"the capture holds {form!r}")
            again = subprocess.run([replay, path, "--", inspector], capture_output=True, timeout=60)
            try:
                report = json.loads(again.stdout.partition(b"\r\n\r\n")[2])
            except ValueError:
                report = {}
            if (again.returncode != 0 or ["password", MARKER] not in report.get("form", [])
                    or ["access_token", MARKER] not in report.get("args", [])):
                problems.append(f"the replay ended with {again.returncode}: {again.stdout[-300:]!r} {again.stderr!r}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    check("the inspector's capture keeps no credential in any written form, and replays", problems)


def cases(args):
    if len(args) not in (2, 3):
        raise Usage
    program, replay = os.path.abspath(args[0]), os.path.abspath(args[1])
    inspector = os.path.abspath(args[2]) if len(args) == 3 else os.path.join(os.path.dirname(program),
                                                                             "cgiecho-inspect")
    for name in SERVERS:
        server_rows(name, program, replay)
    concurrent_cap(program, replay)
    inspector_secrets(inspector, replay)


if __name__ == "__main__":
    main(cases, __doc__)
