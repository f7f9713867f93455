#!/usr/bin/env python3
"""A FastCGI responder spoken to in raw records, as no web server would.

usage: fastcgi_cases.py ECHO_PROGRAM RESPONDER_EXAMPLE

Web servers send well-formed requests one at a time; these cases send what
they never do, or do only when things go wrong: many requests of every kind
on one kept connection, each compared with what the same program writes as
CGI for the same parameters and input; a body that arrives after a pause;
bytes that are not FastCGI records; clients that go away mid-body and
mid-response; SIGTERM with a request in hand and while idle. The responder
(started by spawn-fcgi) must be the same process throughout, until SIGTERM.
"""

import os
import signal
import socket
import struct
import subprocess
import sys
import time

from webserver import Failure, Responder, make_workdir, page

HEADER = b"Content-type: text/html\r\n\r\n"

BEGIN, PARAMS, STDIN, STDOUT, END = 1, 4, 5, 6, 3


def record(kind, content=b"", rid=1):
    out = b""
    while True:
        part, content = content[:65535], content[65535:]
        pad = -len(part) % 8
        out += struct.pack(">BBHHBx", 1, kind, rid, len(part), pad) + part + b"\0" * pad
        if not content:
            return out


def pairs(params):
    out = b""
    for name, value in params.items():
        for x in (name, value):
            out += bytes([len(x)]) if len(x) < 128 else struct.pack(">I", len(x) | 1 << 31)
        out += name + value
    return out


def request(params, body=b"", keep=True, end_input=True):
    """BEGIN_REQUEST (responder role), the parameters, the input stream."""
    raw = record(BEGIN, struct.pack(">HB5x", 1, keep))
    raw += (record(PARAMS, pairs(params)) if params else b"") + record(PARAMS)
    raw += record(STDIN, body) if body else b""
    return raw + (record(STDIN) if end_input else b"")


def response(sock):
    """The STDOUT bytes up to END_REQUEST; None when the connection ends first."""
    buf, out = b"", b""

    def take(n):
        nonlocal buf
        while len(buf) < n:
            chunk = sock.recv(1 << 16)
            if not chunk:
                raise EOFError
            buf += chunk
        taken, buf = buf[:n], buf[n:]
        return taken
    try:
        while True:
            _, kind, _, length, pad = struct.unpack(">BBHHBx", take(8))
            content = take(length + pad)[:length]
            if kind == STDOUT:
                out += content
            elif kind == END:
                return out
    except (EOFError, ConnectionResetError):
        return None


def env(method=None, **params):
    p = {b"REQUEST_METHOD": method.encode()} if method else {}
    p.update({k.encode(): v for k, v in params.items()})
    return p


TAIL = ("tail=<1>", "two")
ONE_MIB = bytes(range(256)) * 4096
# One table of requests: parameters and input. The kept-connection case sends
# them in this order, so each follows one of another kind: a POST after a GET,
# a POST after a PUT whose body went unread, a GET after a 1 MiB body, a
# request after one whose input was cut short or ran past CONTENT_LENGTH.
REQUESTS = [
    ("GET", env("GET", QUERY_STRING=b"a=1<b&c"), b""),
    ("POST after GET", env("POST", CONTENT_LENGTH=b"9"), b"name=<Ann"),
    ("PUT with an unread body", env("PUT", QUERY_STRING=b"q=1", CONTENT_LENGTH=b"6"), b"body<x"),
    ("POST after PUT", env("POST", CONTENT_LENGTH=b"3"), b"b=2"),
    ("no method: command-line tail", env(), b""),
    ("HEAD", env("HEAD", QUERY_STRING=b"h<1"), b""),
    ("1 MiB body", env("POST", CONTENT_LENGTH=b"%d" % len(ONE_MIB)), ONE_MIB),
    ("GET without a query string", env("GET"), b""),
    ("body past CONTENT_LENGTH", env("POST", CONTENT_LENGTH=b"4"), b"abcdefgh"),
    ("body short of CONTENT_LENGTH", env("POST", CONTENT_LENGTH=b"100"), b"short<"),
    ("opt-out", env("POST", CONTENT_LENGTH=b"16"), b"nosanitize=1&<b>"),
    ("lower-case method", env("get", QUERY_STRING=b"x"), b""),
    ("empty POST", env("POST", CONTENT_LENGTH=b"0"), b""),
]


def as_cgi(program, params, body):
    """What the program writes as CGI for the same parameters and input."""
    environ = {k.decode(): v.decode("latin-1") for k, v in params.items()}
    return subprocess.run([program, *TAIL], input=body, env=environ, capture_output=True,
                          timeout=30).stdout


class Case:
    """One responder, one check; problems collected, not raised."""

    def __init__(self, responder):
        self.r, self.problems = responder, []

    def expect(self, label, got, want):
        if got != want:
            self.problems.append(f"{label}: got {None if got is None else got[:150]!r},"
                                 f" want {None if want is None else want[:150]!r}")


def kept_connection(c, program):
    cgi = [as_cgi(program, p, b) for _, p, b in REQUESTS]
    with c.r.connect() as s:
        for _ in range(8):
            for (label, params, body), want in zip(REQUESTS, cgi):
                s.sendall(request(params, body))
                c.expect(label, response(s), want)
    return f"{8 * len(REQUESTS)} requests on one kept connection, each the CGI bytes"


def late_body(c, program):
    """The server sends the parameters, then the body a moment later; the
    program answers a PUT without reading it, and the next request on the
    connection must not take those records for its own."""
    put = env("PUT", QUERY_STRING=b"q=1", CONTENT_LENGTH=b"70000")
    with c.r.connect() as s:
        s.sendall(request(put, end_input=False))
        time.sleep(0.2)
        s.sendall(record(STDIN, b"<" * 70000) + record(STDIN))
        c.expect("PUT", response(s), HEADER + page(b"q=1"))
        s.sendall(request(env("POST", CONTENT_LENGTH=b"3"), b"a<b"))
        c.expect("POST after it", response(s), HEADER + page(b"a&lt;b"))
    return "a body that arrives after the answer began, then a POST"


def garbage(c, program):
    """Bytes that are not FastCGI records cost their connection only."""
    junk = [b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", b"\x02" + b"\0" * 15,
            record(STDIN, b"no request begun"), struct.pack(">BBHHBx", 1, BEGIN, 1, 65535, 0),
            request(env("GET"))[:13]]
    for i, raw in enumerate(junk):
        with c.r.connect(5) as s:
            s.sendall(raw)
            s.shutdown(socket.SHUT_WR)
            try:
                got = s.recv(1 << 16)
            except (ConnectionResetError, socket.timeout):
                got = b"(timeout)"
            if got:
                c.problems.append(f"garbage {i}: answered {got[:60]!r}")
        with c.r.connect() as s:
            s.sendall(request(env("GET", QUERY_STRING=b"after")))
            c.expect(f"request after garbage {i}", response(s), HEADER + page(b"after"))
    with c.r.connect() as s:  # garbage after a good request on a kept connection
        s.sendall(request(env("GET", QUERY_STRING=b"x")))
        c.expect("request before garbage", response(s), HEADER + page(b"x"))
        s.sendall(b"\xff" * 64)
    with c.r.connect() as s:
        s.sendall(request(env("GET", QUERY_STRING=b"y")))
        c.expect("request after kept garbage", response(s), HEADER + page(b"y"))
    return f"{len(junk) + 1} connections of garbage, each followed by a request"


def clients_gone(c, program):
    with c.r.connect() as s:  # mid-body
        s.sendall(request(env("POST", CONTENT_LENGTH=b"100000"), b"x" * 5000, end_input=False))
    big = ONE_MIB * 4
    with c.r.connect() as s:  # mid-response, the connection reset
        s.sendall(request(env("POST", CONTENT_LENGTH=b"%d" % len(big)), big))
        s.recv(100)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    with c.r.connect() as s:
        s.sendall(request(env("POST", CONTENT_LENGTH=b"5"), b"a<b<c"))
        c.expect("request after clients gone", response(s), HEADER + page(b"a&lt;b&lt;c"))
    return "clients gone mid-body and mid-response, then a request"


def sigterm_in_request(c, program):
    """SIGTERM while the body arrives: the whole body is echoed, then the
    responder ends and takes no more connections."""
    with c.r.connect() as s:
        s.sendall(request(env("POST", CONTENT_LENGTH=b"6"), end_input=False) +
                  record(STDIN, b"abc"))
        time.sleep(0.2)
        c.r.proc.send_signal(signal.SIGTERM)
        time.sleep(0.2)
        s.sendall(record(STDIN, b"d<f") + record(STDIN))
        c.expect("request in hand at SIGTERM", response(s), HEADER + page(b"abcd&lt;f"))
    try:
        c.r.proc.wait(5)
    except subprocess.TimeoutExpired:
        c.problems.append("still running 5 s after the request in hand")
    return "SIGTERM with a request in hand"


def sigterm_idle(c, program):
    """SIGTERM while a kept connection waits idle: the responder ends at once."""
    with c.r.connect() as s:
        s.sendall(request(env("GET", QUERY_STRING=b"x")))
        c.expect("request before", response(s), HEADER + page(b"x"))
        started = time.monotonic()
        c.r.proc.send_signal(signal.SIGTERM)
        try:
            c.r.proc.wait(1)
        except subprocess.TimeoutExpired:
            c.problems.append("still running 1 s after SIGTERM with an idle kept connection")
        if c.r.proc.returncode not in (0, None):
            c.problems.append(f"ended with {c.r.proc.returncode}")
    return f"SIGTERM while idle: ended after {time.monotonic() - started:.2f} s"


def web_server_addrs(c, program):
    """FCGI_WEB_SERVER_ADDRS names the servers that may connect: a
    connection from another address is closed unanswered."""
    with c.r.connect() as s:
        s.sendall(request(env("GET", QUERY_STRING=b"x")))
        c.expect("from an address not listed", response(s), None)
    return "FCGI_WEB_SERVER_ADDRS turns away other addresses"


def header_each_request(c, program):
    """The example writes through write_with_header, which puts the CGI
    header out once per request: every request gets it, exactly once."""
    cases = [(env("GET", QUERY_STRING=b"name=Ann&x=1"), b"", b"Hello, Ann.\r\n2 fields\r\n"),
             (env("POST", CONTENT_LENGTH=b"8"), b"name=Bob", b"Hello, Bob.\r\n1 fields\r\n"),
             (env("GET"), b"", b"Hello, stranger.\r\n0 fields\r\n")]
    with c.r.connect() as s:
        for params, body, text in cases * 3:
            cgi = as_cgi(program, params, body)
            c.expect("example as CGI", cgi, HEADER + text)
            s.sendall(request(params, body))
            c.expect("example as FastCGI", response(s), HEADER + text)
    return "the responder example: one header per request, as CGI and FastCGI"


def run(program, case, name):
    folder = make_workdir(f"cgiecho-fcgi-{case.__name__}-")
    environ = dict(os.environ, FCGI_WEB_SERVER_ADDRS="127.0.0.2,10.0.0.1")
    with Responder(program, folder, tcp=case is not garbage, tail=TAIL, name=name,
                   env=environ if case is web_server_addrs else None) as r:
        c = Case(r)
        what = case(c, program)
        if case not in (sigterm_in_request, sigterm_idle) and r.proc.poll() is not None:
            c.problems.append(f"the responder ended with {r.proc.returncode}")
    print(f"{'FAIL' if c.problems else 'ok  '} {what}")
    for p in c.problems[:10]:
        print(f"       {p}")
    return bool(c.problems)


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    echo, example = argv[1], argv[2]
    try:
        failed = sum(run(echo, case, "cgiecho") for case in (
            kept_connection, late_body, garbage, clients_gone, sigterm_in_request, sigterm_idle,
            web_server_addrs))
        failed += run(example, header_each_request, "responder")
    except Failure as e:
        print(f"FAIL: {e}")
        return 1
    print(f"{failed} case(s) failed" if failed else "every case passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
