#!/usr/bin/env python3
"""The inspector (cgiecho-inspect) behind real web servers, and as a FastCGI
responder spoken to in raw records.

usage: inspect_cases.py SERVER INSPECTOR
       inspect_cases.py records INSPECTOR

SERVER: lighttpd, apache or nginx running the inspector as CGI, or
lighttpd-fastcgi, apache-fastcgi or nginx-fastcgi-unix talking FastCGI to
it. Each request's JSON report is read as a client reads it and compared
with what the request carried: fields, cookies, files and their digests,
the body's size and digest, the headers the client sent. The limits come
from the server's configuration (the CGI environment, or FastCGI
parameters) and, under FastCGI, from the responder's own environment.

records: one kept connection to a spawn-fcgi responder whose environment
sets a limit, and requests whose parameters set others, each answered with
exactly the bytes the program writes as CGI for the same variables.
"""

import base64
import hashlib
import json
import os
import random

import fcgi as fc
from procs import Responder
from runner import Usage, check, main, make_workdir
from webserver import SCRIPT, exchange, multipart, serve

JSON_TYPE = "application/json; charset=utf-8"
# Set by the server's configuration for every request.
REQUEST_LIMITS = {"CGIECHO_MAX_BODY": "1000000", "CGIECHO_MAX_FILE": "200000"}
# Under CGI set the same way; under FastCGI the responder's own.
OWN_LIMITS = {"CGIECHO_MAX_COOKIES": "3"}

SERVERS = ("lighttpd", "apache", "nginx", "lighttpd-fastcgi", "apache-fastcgi", "nginx-fastcgi-unix")

RANDOM = random.Random(20240607)
FILE = RANDOM.randbytes(150000)  # within CGIECHO_MAX_FILE
BIG_FILE = RANDOM.randbytes(500000)  # over it, within CGIECHO_MAX_BODY
BIG_BODY = RANDOM.randbytes(4 << 20)  # over CGIECHO_MAX_BODY


def text(raw):
    """A name or value as the report shows it."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return {"base64": base64.b64encode(raw).decode()}


def digest(data):
    return {"size": len(data), "sha256": hashlib.sha256(data).hexdigest()}


class Case:
    def __init__(self, label, method, query=b"", body=None, ctype=None, headers=(), want=None, error=None):
        self.label, self.method, self.query, self.body = label, method, query, body
        self.ctype, self.headers = ctype, list(headers)
        self.want, self.error = want or {}, error  # report members, or (status, code)


UPLOAD, UPLOAD_TYPE = multipart([
    (b"title", None, None, "Résumé".encode()),
    (b"raw", None, None, b"\xff\x00 bytes"),
    (b"doc", "résumé.txt".encode(), b"text/plain", FILE),
    (b"empty", b"", b"application/octet-stream", b""),
    (b"note", None, None, b"last"),
])
TOO_BIG_FILE, TOO_BIG_TYPE = multipart([(b"a", None, None, b"1"), (b"f", b"f.bin", None, BIG_FILE)])
FORM = b"name=Ann+Lee&note=a%3Cb%3E&x=%FF&&y"

CASES = [
    Case("GET with a query and cookies", "GET", b"?a=1&b=%C3%A9&b",
         headers=["X-Test: yes", 'Cookie: c=1; d="two"'],
         want={"method": "GET", "query": "a=1&b=%C3%A9&b", "args": [["a", "1"], ["b", "é"], ["b", ""]],
               "form": [], "cookies": [["c", "1"], ["d", "two"]], "files": [], "body": digest(b""),
               "headers": [["X-Test", "yes"], ["Cookie", 'c=1; d="two"']]}),
    Case("url-encoded form", "POST", b"?q=1", body=FORM, ctype="application/x-www-form-urlencoded",
         want={"method": "POST", "query": "q=1", "args": [["q", "1"]],
               "form": [["name", "Ann Lee"], ["note", "a<b>"], ["x", {"base64": "/w=="}], ["y", ""]],
               "files": [], "body": digest(FORM),
               "headers": [["Content-Type", "application/x-www-form-urlencoded"],
                           ["Content-Length", str(len(FORM))]]}),
    Case("multipart upload", "POST", body=UPLOAD, ctype=UPLOAD_TYPE,
         want={"form": [["title", "Résumé"], ["raw", {"base64": "/wAgYnl0ZXM="}], ["note", "last"]],
               "files": [{"name": "doc", "filename": "résumé.txt", "content_type": "text/plain",
                          **digest(FILE)},
                         {"name": "empty", "filename": "", "content_type": "application/octet-stream",
                          **digest(b"")}],
               "body": digest(UPLOAD), "headers": [["Content-Type", UPLOAD_TYPE]]}),
    Case("cookies at the limit", "GET", headers=["Cookie: a=1; b=2;c=3"],
         want={"cookies": [["a", "1"], ["b", "2"], ["c", "3"]]}),
    Case("cookies over the limit", "GET", headers=["Cookie: a=1; b=2; c=3; d=4"],
         error=(431, "too_many_cookies")),
    Case("HEAD", "HEAD", b"?a=1", want={}),
    Case("body over the limit, refused before it is read", "POST", body=BIG_BODY,
         ctype="application/octet-stream", error=(413, "body_too_large")),
    Case("file over the limit, refused mid-body", "POST", body=TOO_BIG_FILE, ctype=TOO_BIG_TYPE,
         error=(413, "file_too_large")),
]


def problems_of(port, case):
    headers = list(case.headers)
    if case.ctype:
        headers.append(f"Content-Type: {case.ctype}")
    r = exchange(port, case.method, SCRIPT.encode() + case.query, body=None, headers=headers,
                 timeout=60.0, raw_body=case.body)
    problems = []
    status = case.error[0] if case.error else 200
    if r.status != status:
        problems.append(f"status {r.status}, want {status}: {r.body[:300]!r}")
    if r.header("content-type") != JSON_TYPE:
        problems.append(f"content-type {r.header('content-type')!r}")
    # Every answer, errors and HEAD included, is kept by no cache and
    # sniffed by no browser.
    for name, want in (("cache-control", "no-store"), ("x-content-type-options", "nosniff")):
        if r.header(name) != want:
            problems.append(f"{name} {r.header(name)!r}, want {want!r}")
    if case.method == "HEAD":
        if r.body:
            problems.append(f"HEAD answered with {len(r.body)} body bytes")
        return problems
    if not r.complete:
        problems.append(f"response cut short after {len(r.body)} bytes")
    try:
        report = json.loads(r.body.decode("utf-8"))
    except ValueError as e:
        return problems + [f"not JSON ({e}): {r.body[:300]!r}"]
    if case.error:
        if report.get("error") != case.error[1] or set(report) != {"error", "message"}:
            problems.append(f"report {report}, want error {case.error[1]}")
        return problems
    order = ["method", "query", "args", "form", "cookies", "files", "headers", "body"]
    if list(report) != order:
        return problems + [f"members {list(report)}, want {order}: {r.body[:300]!r}"]
    for key, want in case.want.items():
        got = report.get(key)
        if key == "headers":
            # The server adds headers of its own; the client's must be there,
            # once each, and the list sorted by name.
            names = [h[0] for h in got]
            if names != sorted(names, key=lambda n: n.encode()):
                problems.append(f"headers not sorted: {names}")
            missing = [h for h in want if got.count(h) != 1]
            if missing:
                problems.append(f"headers {got} lack {missing}")
        elif got != want:
            problems.append(f"{key}: got {json.dumps(got)[:300]}, want {json.dumps(want)[:300]}")
    return problems


def server_cases(server_name, program):
    fastcgi = "fastcgi" in server_name
    with serve(server_name, program, env=REQUEST_LIMITS if fastcgi else {**REQUEST_LIMITS, **OWN_LIMITS},
                responder_env=OWN_LIMITS) as server:
        print(f"{server_name} on 127.0.0.1:{server.port}")
        for case in CASES:
            check(f"{server_name}: {case.label}", problems_of(server.port, case))


def records(program):
    """Requests on one kept connection to a responder whose own environment
    sets CGIECHO_MAX_FIELDS=2; parameters override it per request and never
    carry over to the next."""
    upload, upload_type = multipart([(b"a", None, None, b"1"), (b"f", b"x.bin", b"a/b", FILE)])
    own = {"CGIECHO_MAX_FIELDS": "2"}
    requests = [
        ("own limit: at it", fc.env("GET", QUERY_STRING=b"a&b"), b""),
        ("own limit: one over", fc.env("GET", QUERY_STRING=b"a&b&c"), b""),
        ("parameter overrides it", fc.env("GET", QUERY_STRING=b"a&b&c", CGIECHO_MAX_FIELDS=b"3"), b""),
        ("own limit again", fc.env("GET", QUERY_STRING=b"a&b&c"), b""),
        ("invalid parameter", fc.env("GET", CGIECHO_MAX_FIELDS=b"3x"), b""),
        ("body over a parameter's limit, left unread",
         fc.env("POST", CONTENT_LENGTH=b"70000", CGIECHO_MAX_BODY=b"69999"), b"x" * 70000),
        ("upload after it", fc.env("POST", CONTENT_TYPE=upload_type.encode(),
                                   CONTENT_LENGTH=b"%d" % len(upload)), upload),
        ("file over a parameter's limit", fc.env("POST", CONTENT_TYPE=upload_type.encode(),
                                                 CONTENT_LENGTH=b"%d" % len(upload),
                                                 CGIECHO_MAX_FILE=b"%d" % (len(FILE) - 1)), upload),
        ("form at the parameter's form limit",
         fc.env("POST", CONTENT_TYPE=b"application/x-www-form-urlencoded", CONTENT_LENGTH=b"3",
                CGIECHO_MAX_FORM=b"3"), b"a=b"),
        ("no method", fc.env(QUERY_STRING=b"a=1"), b""),
    ]
    folder = make_workdir("cgiecho-inspect-records-")
    problems = []
    with Responder(program, folder, tcp=True, name="inspect", env=dict(os.environ, **own)) as r:
        with r.connect() as s:
            for _ in range(3):
                for label, params, body in requests:
                    want = fc.as_cgi(program, {**{k.encode(): v.encode() for k, v in own.items()}, **params}, body)
                    got = fc.ask(s, params, body)
                    if got != want:
                        problems.append(f"{label}: got {got and got[:200]!r}, want {want[:200]!r}")
        if r.proc.poll() is not None:
            problems.append(f"the responder ended with {r.proc.returncode}")
    check(f"{3 * len(requests)} requests on one kept connection, each the CGI bytes", problems)


def cases(args):
    if len(args) == 2 and args[0] in SERVERS:
        server_cases(*args)
    elif len(args) == 2 and args[0] == "records":
        records(args[1])
    else:
        raise Usage


if __name__ == "__main__":
    main(cases, __doc__)
