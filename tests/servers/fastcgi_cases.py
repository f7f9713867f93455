#!/usr/bin/env python3
"""A FastCGI responder spoken to in raw records, as no web server would.

usage: fastcgi_cases.py ECHO_PROGRAM RESPONDER_EXAMPLE
       fastcgi_cases.py --wine LOADER PIPE_HOST WINDOWS_PROGRAM

Web servers send well-formed requests one at a time; these cases send what
they never do, or do only when things go wrong: many requests of every kind
on one kept connection, each compared with what the same program writes as
CGI for the same parameters and input; a body that arrives after a pause;
bytes that are not FastCGI records; clients that go away mid-body and
mid-response; SIGTERM with a request in hand and while idle. The responder
(started by spawn-fcgi) must be the same process throughout, until SIGTERM.

With --wine, a Windows build under Wine, started as Windows web servers
start it (PIPE_HOST is tests/servers/fcgi_pipe_host.cpp): as IIS and
mod_fcgid start a responder, the listening end of a named pipe on standard
input, where the shutdown event plays SIGTERM; with CGIECHO_LISTEN on a
pipe of its own and on TCP; and as CGI with every kind of standard handle,
which must stay CGI. Each FastCGI answer is compared with what the same
Windows program writes as CGI.
"""

import os
import queue
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

from webserver import (Failure, Responder, ListeningResponder, free_port, make_workdir, page, require,
                       wait_for, wine_environment)

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
# How long the responder may take to read a request's parameters, after
# which the request is in hand. Under Wine on a busy machine it can take
# seconds.
IN_HAND_SECONDS = 0.2
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
    # Names match as the system's environment matches them: exactly on
    # POSIX (no method: the command-line tail), in any case on Windows.
    ("parameter names in lower case", {b"request_method": b"POST", b"content_length": b"3"}, b"x<y"),
]


def as_cgi(program, params, body):
    """What the program writes as CGI for the same parameters and input."""
    if isinstance(program, WindowsProgram):
        return program.as_cgi(params, body)
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
        time.sleep(IN_HAND_SECONDS)
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


def run(program, case, name, start=None):
    """One case against a responder of its own: spawn-fcgi's, or start(folder, case)'s."""
    folder = make_workdir(f"cgiecho-fcgi-{case.__name__}-")
    environ = dict(os.environ, FCGI_WEB_SERVER_ADDRS="127.0.0.2,10.0.0.1")
    responder = start(folder, case) if start else Responder(
        program, folder, tcp=case is not garbage, tail=TAIL, name=name,
        env=environ if case is web_server_addrs else None)
    with responder as r:
        pid = r.proc.pid
        c = Case(r)
        what = case(c, program)
        if case not in (sigterm_in_request, sigterm_idle) and r.proc.poll() is not None:
            c.problems.append(f"the responder ended with {r.proc.returncode}")
        if r.proc.pid != pid:
            c.problems.append("another responder process")
    shutil.rmtree(folder, ignore_errors=True)
    print(f"{'FAIL' if c.problems else 'ok  '} {name}: {what}")
    for p in c.problems[:10]:
        print(f"       {p}")
    return bool(c.problems)


class WindowsProgram:
    """A Windows build and the Wine loader that runs it."""

    def __init__(self, loader, host, exe):
        self.loader, self.host, self.exe = require(loader), os.path.abspath(host), os.path.abspath(exe)
        self.cgi_pages = {}
        for f in (self.host, self.exe):
            if not os.path.isfile(f):
                raise Failure(f"not built: {f}")

    def start_cgi(self, stdin, stdout, params, body, tail=TAIL):
        """The program as CGI through the host: exit code and what it wrote."""
        environ = wine_environment(**{k.decode(): v.decode("latin-1") for k, v in params.items()})
        for name in ("REQUEST_METHOD", "CONTENT_LENGTH", "QUERY_STRING"):
            if name.encode() not in params:
                environ.pop(name, None)
        try:
            done = subprocess.run([self.loader, self.host, "cgi", stdin, stdout, self.exe, *tail],
                                  input=body, env=environ, capture_output=True, timeout=300)
        except subprocess.TimeoutExpired:
            raise Failure(f"a CGI start ({stdin}, {stdout}) still running after 300 s")
        return done.returncode, done.stdout

    def as_cgi(self, params, body):
        key = (tuple(params.items()), body)  # each start under Wine takes a while
        if key not in self.cgi_pages:
            self.cgi_pages[key] = self.start_cgi("anonymous", "pipe", params, body)[1]
        return self.cgi_pages[key]


class HostedProcess:
    """The responder behind the host, as the cases see a process: SIGTERM
    is the shutdown event, and the end is what the host reports."""

    def __init__(self, host):
        self.host, self.returncode = host, None
        self.pid = host.child_pid

    def send_signal(self, sig):
        assert sig == signal.SIGTERM
        self.host.command("stop")

    def poll(self):
        return self.wait(0, quiet=True)

    def wait(self, timeout=None, quiet=False):
        try:
            while self.returncode is None:
                line = self.host.lines.get(timeout=timeout)
                if line.startswith("exited "):
                    self.returncode = int(line.split()[1])
        except queue.Empty:
            if not quiet:
                raise subprocess.TimeoutExpired("responder", timeout)
        return self.returncode


class PipeHost:
    """The Windows program as a responder on a named pipe, through the
    host: handed the pipe on standard input (listen=None), or making it
    itself (listen=the pipe's name, as CGIECHO_LISTEN)."""

    def __init__(self, program, folder, listen=None, tail=TAIL):
        self.program, self.folder, self.listen, self.tail = program, folder, listen, tail
        self.lines = queue.Queue()

    def connect(self, timeout=30.0):
        return socket.create_connection(("127.0.0.1", self.port), timeout=timeout)

    def command(self, text):
        self.host_proc.stdin.write(text.encode() + b"\n")
        self.host_proc.stdin.flush()

    def __enter__(self):
        p = self.program
        how = ["listen", self.listen] if self.listen else ["serve"]
        log = open(os.path.join(self.folder, "host.log"), "ab")
        self.host_proc = subprocess.Popen([p.loader, p.host, *how, p.exe, *self.tail], stdin=subprocess.PIPE,
                                          stdout=subprocess.PIPE, stderr=log, env=wine_environment())

        def read():
            for line in self.host_proc.stdout:
                self.lines.put(line.decode().strip())
        threading.Thread(target=read, daemon=True).start()
        try:
            ready = self.lines.get(timeout=120).split()
        except queue.Empty:
            ready = []
        if ready[:1] != ["ready"]:
            self.__exit__()
            raise Failure(f"the pipe host did not start: {ready}")
        self.port, self.child_pid = int(ready[1]), int(ready[2])
        self.proc = HostedProcess(self)
        return self

    def __exit__(self, *exc):
        try:
            self.host_proc.stdin.close()  # the host ends the responder and itself
            self.host_proc.wait(30)
        except (OSError, subprocess.TimeoutExpired):
            self.host_proc.kill()
            self.host_proc.wait()


# Standard input and output of CGI starts, and whether the program's answer
# can be seen (with standard output closed it only has to end, as CGI does:
# taken for a responder, it would wait for connections).
CGI_STARTS = [
    ("anonymous", "pipe"), ("anonymous", "closed"), ("anonymous", "null"), ("none", "pipe"),
    ("null", "pipe"), ("none", "closed"), ("file", "pipe"), ("file", "closed"), ("nul", "pipe"),
    ("client", "pipe"), ("client", "closed"), ("inbound", "pipe"), ("inbound", "closed"),
]


def cgi_starts(program):
    """Every start that must stay CGI does: it answers as CGI and ends."""
    params, body = env("POST", CONTENT_LENGTH=b"5"), b"a<b&c"
    want = HEADER + page(b"a&lt;b&c")
    no_input = HEADER + page(b"")
    failed = 0
    for stdin, stdout in CGI_STARTS:
        code, out = program.start_cgi(stdin, stdout, params, body)
        expected = b"" if stdout != "pipe" else no_input if stdin in ("none", "null", "nul") else want
        ok = code == 0 and out == expected
        print(f"{'ok  ' if ok else 'FAIL'} CGI start, standard input {stdin}, output {stdout}:"
              f" exit {code}, {len(out)} bytes")
        if not ok:
            print(f"       got {out[:150]!r}, want {expected[:150]!r}")
        failed += not ok
    return failed


def other_loopback_refused(c, program):
    """Listening on 127.0.0.1 means that address only: 127.0.0.2 is refused."""
    try:
        socket.create_connection(("127.0.0.2", c.r.port), timeout=10).close()
        c.problems.append("a connection to 127.0.0.2 was taken")
    except OSError:
        pass
    with c.r.connect() as s:
        s.sendall(request(env("GET", QUERY_STRING=b"x")))
        c.expect("a connection to 127.0.0.1", response(s), HEADER + page(b"x"))
    return "CGIECHO_LISTEN=127.0.0.1:PORT takes that address only"


BAD_LISTEN = [("no port", "127.0.0.1"), ("port 0", "127.0.0.1:0"), ("port beyond 65535", "127.0.0.1:65536"),
              ("no host", ":9000"), ("IPv6 address unbracketed", "::1:9000")]
BAD_LISTEN_WINDOWS = [("host that does not resolve", "no-such-host.invalid:9000"),
                      ("socket path on Windows", "/tmp/x.sock")]


def bad_listen_values(argv, rows, environ):
    """A CGIECHO_LISTEN the program cannot listen on ends it at once with a
    message naming the value, never a CGI answer or a wait. rows: label,
    value, and what must be true of the folder afterwards (or None)."""
    failed = 0
    for label, value, *after in rows:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                              env=dict(environ, CGIECHO_LISTEN=value), timeout=120)
        ok = done.returncode in (1, 2) and not done.stdout and value.encode() in done.stderr
        ok &= all(check() for check in after)
        print(f"{'ok  ' if ok else 'FAIL'} CGIECHO_LISTEN {label}: exit {done.returncode},"
              f" {done.stderr.strip()[:100]!r}")
        failed += not ok
    return failed


def linux_listen(echo):
    """CGIECHO_LISTEN on Linux: the cases over TCP and a socket path, what
    may be replaced at the path and what not, and values that name no
    listener."""
    failed = 0
    for case in (kept_connection, garbage, clients_gone, other_loopback_refused, sigterm_in_request,
                 sigterm_idle):
        failed += run(echo, case, "CGIECHO_LISTEN", lambda folder, case: ListeningResponder(
            echo, folder, tcp=case is not garbage, tail=TAIL))
    folder = make_workdir("cgiecho-listen-")
    try:
        plain = os.path.join(folder, "plain")
        with open(plain, "w") as f:
            f.write("kept")
        with ListeningResponder(echo, folder, tcp=False, name="live") as live:
            rows = [(*row, ) for row in BAD_LISTEN] + [
                ("named pipe on Linux", r"\\.\pipe\cgiecho"),
                ("host name (no resolver)", "localhost:9000"),
                ("address not on this machine", "192.0.2.1:9000"),
                ("a file at the path", plain, lambda: open(plain).read() == "kept"),
                ("a socket someone listens on", live.path, lambda: live.proc.poll() is None)]
            failed += bad_listen_values([echo], rows, os.environ)
            with live.connect() as s:
                s.sendall(request(env("GET", QUERY_STRING=b"still")))
                ok = response(s) == HEADER + page(b"still")
            print(f"{'ok  ' if ok else 'FAIL'} CGIECHO_LISTEN: the socket someone listens on still answers")
            failed += not ok
        # The responder that listened there has ended: its socket is replaced.
        with ListeningResponder(echo, folder, tcp=False, name="live") as again:
            with again.connect() as s:
                s.sendall(request(env("GET", QUERY_STRING=b"again")))
                ok = response(s) == HEADER + page(b"again")
        print(f"{'ok  ' if ok else 'FAIL'} CGIECHO_LISTEN: a socket left by a responder that ended is replaced")
        failed += not ok
        # IPv6: that address only, not IPv4 beside it.
        with ListeningResponder(echo, folder, host="::1", name="v6") as v6:
            with v6.connect() as s:
                s.sendall(request(env("GET", QUERY_STRING=b"v6")))
                ok = response(s) == HEADER + page(b"v6")
            try:
                socket.create_connection(("127.0.0.1", v6.port), timeout=10).close()
                ok = False
            except OSError:
                pass
        print(f"{'ok  ' if ok else 'FAIL'} CGIECHO_LISTEN=[::1]:PORT answers there and on no IPv4 address")
        failed += not ok
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return failed


def windows(loader, host, exe):
    global IN_HAND_SECONDS
    IN_HAND_SECONDS = 3.0
    program = WindowsProgram(loader, host, exe)
    failed = cgi_starts(program)
    for case in (kept_connection, late_body, garbage, clients_gone, sigterm_in_request, sigterm_idle):
        failed += run(program, case, "named pipe on standard input",
                      lambda folder, case: PipeHost(program, folder))
    pipe = r"\\.\pipe\cgiecho-listen-%d" % os.getpid()
    for case in (kept_connection, sigterm_idle):
        failed += run(program, case, "CGIECHO_LISTEN on a named pipe",
                      lambda folder, case: PipeHost(program, folder, listen=pipe))
    environ = wine_environment(FCGI_WEB_SERVER_ADDRS="127.0.0.2,10.0.0.1")
    for case in (kept_connection, garbage, clients_gone, other_loopback_refused, web_server_addrs):
        failed += run(program, case, "CGIECHO_LISTEN on TCP", lambda folder, case: ListeningResponder(
            exe, folder, tail=TAIL, env=environ if case is web_server_addrs else None, loader=loader))
    return failed + bad_listen_values([program.loader, program.exe], BAD_LISTEN + BAD_LISTEN_WINDOWS,
                                      wine_environment())


def main(argv):
    if len(argv) == 5 and argv[1] == "--wine":
        try:
            failed = windows(*argv[2:])
        except Failure as e:
            print(f"FAIL: {e}")
            return 1
        print(f"{failed} case(s) failed" if failed else "every case passed")
        return 1 if failed else 0
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    echo, example = argv[1], argv[2]
    try:
        failed = sum(run(echo, case, "cgiecho") for case in (
            kept_connection, late_body, garbage, clients_gone, sigterm_in_request, sigterm_idle,
            web_server_addrs))
        failed += run(example, header_each_request, "responder")
        failed += linux_listen(echo)
    except Failure as e:
        print(f"FAIL: {e}")
        return 1
    print(f"{failed} case(s) failed" if failed else "every case passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
