#!/usr/bin/env python3
"""A FastCGI responder spoken to in raw records, as no web server would.

usage: fastcgi_cases.py ECHO_PROGRAM RESPONDER_EXAMPLE PROBE_RESPONDER INSPECTOR
       fastcgi_cases.py --wine LOADER PIPE_HOST WINDOWS_PROGRAM WINDOWS_INSPECTOR WINDOWS_PROBE

Web servers send well-formed requests one at a time; these cases send what
they never do, or do only when things go wrong: many requests of every kind
on one kept connection, each compared with what the same program writes as
CGI for the same parameters and input; a body that arrives after a pause;
bytes that are not FastCGI records; clients that go away mid-body and
mid-response; SIGTERM and SIGUSR1 with a request in hand (its body
arriving, its handler at work) and SIGTERM while idle; more
connections than the responder keeps, and more than it has descriptors for;
peers that FCGI_WEB_SERVER_ADDRS does not list; a standard input that does
not listen; capture settings in a request's parameters, which count for
nothing; a parameter sent twice (the inspector shows the last); TCP
listeners that other hosts could reach, which the responder warns of
unless FCGI_WEB_SERVER_ADDRS is set (started, read and stopped: no test
connects to them). The responder (started by spawn-fcgi) must be the same
process throughout, until SIGTERM; the probe responder's handler throws
or sleeps. The same
cases, and values that name no listener, with CGIECHO_LISTEN on TCP
(IPv4 and IPv6) and on a socket path.

With --wine, a Windows build under Wine, started as Windows web servers
start it (PIPE_HOST is tests/servers/fcgi_pipe_host.cpp): as IIS and
mod_fcgid start a responder, the listening end of a named pipe on standard
input, where the shutdown event plays SIGTERM; with CGIECHO_LISTEN on a
pipe of its own and on TCP; and as CGI with every kind of standard handle,
which must stay CGI. Each FastCGI answer is compared with what the same
Windows program writes as CGI; the inspector (cgiecho-inspect.exe) answers
the kept-connection table on a named pipe the same way. Then the pool of
workers on TCP (pool_cases.py's Windows table) with the probe responder
(WINDOWS_PROBE), and a pool asked for on a named pipe, which serves as one
process and says so.
"""

import os
import queue
import resource
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time

import fcgi
import pool_cases
from fcgi import BEGIN, HEADER, STDIN, ask, connect, env, record, request, response
from procs import ListeningResponder, Responder, free_port, launch, require, wait_for, wine_environment
from runner import Failure, Usage, check, main, make_workdir
from webserver import page

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
    return fcgi.as_cgi(program, params, body, TAIL)


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
                c.expect(label, ask(s, params, body), want)
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
        c.expect("POST after it", ask(s, env("POST", CONTENT_LENGTH=b"3"), b"a<b"), HEADER + page(b"a&lt;b"))
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
            c.expect(f"request after garbage {i}", ask(s, env("GET", QUERY_STRING=b"after")), HEADER + page(b"after"))
    with c.r.connect() as s:  # garbage after a good request on a kept connection
        c.expect("request before garbage", ask(s, env("GET", QUERY_STRING=b"x")), HEADER + page(b"x"))
        s.sendall(b"\xff" * 64)
    with c.r.connect() as s:
        c.expect("request after kept garbage", ask(s, env("GET", QUERY_STRING=b"y")), HEADER + page(b"y"))
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
        c.expect("request after clients gone", ask(s, env("POST", CONTENT_LENGTH=b"5"), b"a<b<c"),
                 HEADER + page(b"a&lt;b&lt;c"))
    return "clients gone mid-body and mid-response, then a request"


def stop_in_request(c, program, sig=signal.SIGTERM):
    """SIGTERM (or SIGUSR1) while the body arrives: the whole body is
    echoed, then the responder ends with 0 and takes no more connections."""
    with c.r.connect() as s:
        s.sendall(request(env("POST", CONTENT_LENGTH=b"6"), end_input=False) +
                  record(STDIN, b"abc"))
        time.sleep(IN_HAND_SECONDS)
        c.r.proc.send_signal(sig)
        time.sleep(0.2)
        s.sendall(record(STDIN, b"d<f") + record(STDIN))
        c.expect(f"request in hand at {sig.name}", response(s), HEADER + page(b"abcd&lt;f"))
    ended(c, 5)
    return f"{sig.name} with a request in hand"


def sigterm_in_request(c, program):
    return stop_in_request(c, program)


def sigusr1_in_request(c, program):
    return stop_in_request(c, program, signal.SIGUSR1)


def ended(c, seconds):
    """The responder ends within `seconds`, with 0."""
    try:
        c.r.proc.wait(seconds)
    except subprocess.TimeoutExpired:
        c.problems.append(f"still running {seconds} s after the request in hand")
        return
    if c.r.proc.returncode != 0:
        c.problems.append(f"ended with {c.r.proc.returncode}, not 0")


def stop_in_handler(c, program):
    """SIGTERM or SIGUSR1 while the handler is at work (the probe's takes a
    second): the request is answered whole, then the responder ends with 0.
    libfcgi's own SIGUSR1 handler would let the responder go on."""
    sig = signal.SIGUSR1 if c.r.name.endswith("SIGUSR1") else signal.SIGTERM
    with c.r.connect() as s:
        s.sendall(request(env("GET", QUERY_STRING=b"q", PROBE_NAME=b"QUERY_STRING", PROBE_SLEEP_MS=b"1000")))
        time.sleep(0.3)
        c.r.proc.send_signal(sig)
        c.expect(f"request in hand at {sig.name}", response(s), HEADER + b"[q]\r\ndone\r\n")
    ended(c, 5)
    return f"{sig.name} while the handler runs"


def sigterm_idle(c, program):
    """SIGTERM while a kept connection waits idle: the responder ends at once."""
    with c.r.connect() as s:
        c.expect("request before", ask(s, env("GET", QUERY_STRING=b"x")), HEADER + page(b"x"))
        started = time.monotonic()
        c.r.proc.send_signal(signal.SIGTERM)
        try:
            c.r.proc.wait(1)
        except subprocess.TimeoutExpired:
            c.problems.append("still running 1 s after SIGTERM with an idle kept connection")
        if c.r.proc.returncode not in (0, None):
            c.problems.append(f"ended with {c.r.proc.returncode}")
    return f"SIGTERM while idle: ended after {time.monotonic() - started:.2f} s"


# Where the responder listens, FCGI_WEB_SERVER_ADDRS, whether it answers.
# "::ffff:127.0.0.1" is an IPv6 socket that IPv4 clients of 127.0.0.1 reach:
# they show as ::ffff:127.0.0.1 and are matched as 127.0.0.1.
WEB_SERVER_ADDRS = [
    ("127.0.0.1", "127.0.0.2,10.0.0.1", False),
    ("127.0.0.1", "10.0.0.1, 127.0.0.1", True),
    ("::1", "127.0.0.1", False),
    ("::1", "127.0.0.1,::1", True),
    ("::1", "0:0::1", True),
    ("::ffff:127.0.0.1", "127.0.0.1", True),
    ("::ffff:127.0.0.1", "127.0.0.2,::1", False),
]


def web_server_addrs(program, start=None, families=("127.0.0.1", "::1", "::ffff:127.0.0.1")):
    """FCGI_WEB_SERVER_ADDRS names the servers that may connect: a
    connection from any other address, IPv4 or IPv6, is closed unanswered,
    and one from a listed address is served. The rows listening where
    `families` names, on responders spawn-fcgi starts or that
    start(folder, where, listed) starts."""
    problems = []
    rows = [row for row in WEB_SERVER_ADDRS if row[0] in families]
    for where, listed, served in rows:
        label = f"from {where} with FCGI_WEB_SERVER_ADDRS={listed}"
        folder = make_workdir("cgiecho-fcgi-addrs-")
        try:
            with (start(folder, where, listed) if start else
                  Responder(program, folder, tcp=where, tail=TAIL,
                            env=dict(os.environ, FCGI_WEB_SERVER_ADDRS=listed))) as r:
                with r.connect() as s:
                    got = ask(s, env("GET", QUERY_STRING=b"x"))
        except Failure as e:  # a host without IPv6's loopback fails here, loudly
            problems.append(f"{label}: {e}")
            continue
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        want = HEADER + page(b"x") if served else None
        if got != want:
            problems.append(f"{label}: got {got!r}, want {want!r}")
    return f"FCGI_WEB_SERVER_ADDRS listening on {', '.join(families)}, {len(rows)} rows", problems


def cannot_start(program):
    """Standard input a socket that does not listen: the responder says why
    on standard error and ends with a failure status, never 0 in silence
    (a server would start it again and again with no trace)."""
    problems = []
    for family in (socket.AF_INET, socket.AF_UNIX):
        with socket.socket(family, socket.SOCK_STREAM) as s:
            run = subprocess.run([program], stdin=s.fileno(), capture_output=True, timeout=10)
        if run.returncode == 0 or b"listen" not in run.stderr:
            problems.append(f"family {family}: exit {run.returncode}, standard error {run.stderr!r}")
    return "a responder that cannot start says why and fails", problems


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def descriptors_run_out(c, program):
    """With 16 descriptors and 40 connections held open, accept() fails for
    lack of descriptors while the listening socket stays readable: the
    responder waits without spinning, and takes the waiting connections
    once others close."""
    held = [c.r.connect() for _ in range(40)]
    time.sleep(0.5)
    before = cpu_seconds(c.r.proc.pid)
    time.sleep(2)
    used = cpu_seconds(c.r.proc.pid) - before
    if used > 0.2:
        c.problems.append(f"{used:.2f} s of CPU in 2 s with idle connections and no descriptors left")
    for s in held[:-1]:
        s.close()
    with held[-1] as s:
        c.expect("the last connection, once others closed", ask(s, env("GET", QUERY_STRING=b"last")),
                 HEADER + page(b"last"))
    return f"out of descriptors: {used:.2f} s of CPU in 2 s idle"


def closed(sock):
    sock.settimeout(5)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def connection_cap(c, program):
    """256 connections, each served once, oldest first; then, with the
    responder stopped, one of them closed by its client and two more whose
    requests are in before the responder takes them. The closed one goes
    first, then the one idle the longest; never a newcomer with its request
    in hand, and never a live connection while a dead one is kept."""
    cap = 256
    get = request(env("GET", QUERY_STRING=b"x"))
    first = [c.r.connect() for _ in range(cap)]
    for s in first:
        s.sendall(get)
        c.expect("a request below the cap", response(s), HEADER + page(b"x"))
    c.r.proc.send_signal(signal.SIGSTOP)
    try:
        first[5].close()
        late = [c.r.connect() for _ in range(2)]
        for s in late:
            s.sendall(request(env("GET", QUERY_STRING=b"late")))
        time.sleep(0.2)
    finally:
        c.r.proc.send_signal(signal.SIGCONT)
    for i, s in enumerate(late):
        c.expect(f"newcomer {i} with its request in hand", response(s), HEADER + page(b"late"))
    if not closed(first[0]):
        c.problems.append("connection 0, idle the longest, still open")
    for i in (1, 2):
        first[i].sendall(get)
        c.expect(f"connection {i}, kept while a closed one went", response(first[i]), HEADER + page(b"x"))
    for s in first + late:
        s.close()
    return f"{cap} connections and two more: a closed one and the one idle the longest go"


def probe(c, program):
    """A variable name with "=" names nothing, as under CGI (a lookup by the
    first bytes of "NAME=value" would find QUERY_STRING's value); a handler
    that throws costs its own request only."""
    rows = [("a name with '='", b"query_string=x", b"[]"),
            ("a name", b"query_string", b"[X=leak]")]
    with c.r.connect() as s:
        for label, name, shown in rows:
            params = env("GET", QUERY_STRING=b"X=leak", PROBE_NAME=name)
            want = HEADER + shown + b"\r\ndone\r\n"
            c.expect(f"{label} as CGI", as_cgi(program, params, b""), want)
            c.expect(label, ask(s, params), want)
        thrown = env("GET", QUERY_STRING=b"q", PROBE_NAME=b"query_string", PROBE_THROW=b"1")
        c.expect("a handler that throws", ask(s, thrown), HEADER + b"[q]\r\n")
        c.expect("the request after it", ask(s, env("GET", QUERY_STRING=b"q", PROBE_NAME=b"query_string")),
                 HEADER + b"[q]\r\ndone\r\n")
    return "names with '=' and a handler that throws"


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
            c.expect("example as FastCGI", ask(s, params, body), HEADER + text)
    return "the responder example: one header per request, as CGI and FastCGI"


def captures(folder):
    return {f for f in os.listdir(folder) if f.endswith(".capture")}


# Capture settings a request carries, and how many captures each leaves in
# the responder's own folder: a request's parameters never choose where
# files go, what they keep, or how many there may be.
CAPTURE_SETTINGS = [
    ("no settings in the request", {}, 1),
    ("a request naming another folder", {b"CGIECHO_CAPTURE_DIR": None}, 1),
    ("a request asking for a cap of none", {b"CGIECHO_CAPTURE_MAX": b"0"}, 1),
    ("a request asking for its secrets", {b"CGIECHO_CAPTURE_SECRETS": b"1"}, 1),
    ("a request asking for a limit that is no number", {b"CGIECHO_CAPTURE_MAX_BODY": b"lots"}, 1),
]


def capture_settings(c, program):
    """With CGIECHO_CAPTURE_DIR in the responder's own environment, each
    request is captured there, whatever capture settings its parameters
    hold; with none there, a request that sets the folder is not captured.
    Nothing lands in the folder a request names, and no capture holds the
    request's cookie."""
    own = (c.r.env or {}).get("CGIECHO_CAPTURE_DIR")
    elsewhere = make_workdir("cgiecho-fcgi-elsewhere-")
    try:
        with c.r.connect() as s:
            for label, settings, new in CAPTURE_SETTINGS:
                before = captures(own) if own else set()
                params = env("POST", CONTENT_LENGTH=b"3", HTTP_COOKIE=b"sid=s3cr3t")
                params.update({k: v if v is not None else elsewhere.encode() for k, v in settings.items()})
                c.expect(label, ask(s, params, b"a<b"), HEADER + page(b"a&lt;b"))
                made = sorted(captures(own) - before) if own else []
                if len(made) != (new if own else 0):
                    c.problems.append(f"{label}: {len(made)} new captures in the responder's folder")
                for f in made:
                    with open(os.path.join(own, f), "rb") as kept:
                        if b"s3cr3t" in kept.read():
                            c.problems.append(f"{label}: the capture holds the cookie")
                if os.listdir(elsewhere):
                    c.problems.append(f"{label}: a capture landed in the folder the request named")
                    for f in os.listdir(elsewhere):
                        os.unlink(os.path.join(elsewhere, f))
    finally:
        shutil.rmtree(elsewhere, ignore_errors=True)
    where = "the responder's own folder" if own else "no folder of its own"
    return f"capture settings in {len(CAPTURE_SETTINGS)} requests' parameters, {where}: the responder's own rule"


def descriptors(n):
    return lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (n, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


def parameter_twice(c, program, lower=False):
    """A parameter sent twice (nginx sends both when a configuration sets
    one twice): the inspector's headers show it once, with the value sent
    last, as every lookup finds it. With lower=True (Windows, where names
    match in any case) the last one is spelled in lower case among the
    others."""
    sent = [(b"REQUEST_METHOD", b"GET"), (b"HTTP_X_TWICE", b"first"), (b"QUERY_STRING", b"a=1"),
            (b"HTTP_X_TWICE", b"second"), (b"HTTP_ACCEPT", b"*/*")]
    if lower:
        sent += [(b"query_string", b"b=2")]
    with c.r.connect() as s:
        got = ask(s, sent)
    want = (b'{"method":"GET","query":"%s","args":[["%s","%s"]],"form":[],"cookies":[],"files":[],'
            b'"headers":[["Accept","*/*"],["X-Twice","second"]],' % ((b"b=2", b"b", b"2") if lower else (b"a=1", b"a", b"1")))
    body = None if got is None else got.split(b"\r\n\r\n", 1)[-1]
    if body is None or not body.startswith(want):
        c.problems.append(f"got {body!r}, want it to begin {want!r}")
    return "a parameter sent twice: one header, the value sent last"


def parameter_twice_any_case(c, program):
    return parameter_twice(c, program, lower=True)


STOPPING = (sigterm_in_request, sigusr1_in_request, stop_in_handler, sigterm_idle)


def run(program, case, name, start=None, **options):
    """One case against a responder of its own: spawn-fcgi's (with
    `options` for Responder), or start(folder, case)'s."""
    folder = make_workdir(f"cgiecho-fcgi-{case.__name__}-")
    responder = start(folder, case) if start else Responder(
        program, folder, tcp=case is not garbage, tail=TAIL, name=name, **options)
    with responder as r:
        pid = r.proc.pid
        c = Case(r)
        what = case(c, program)
        if case not in STOPPING and r.proc.poll() is not None:
            c.problems.append(f"the responder ended with {r.proc.returncode}")
        if r.proc.pid != pid:
            c.problems.append("another responder process")
    shutil.rmtree(folder, ignore_errors=True)
    check(f"{name}: {what}", c.problems)


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
        for name in list(environ):  # what a responder's request would not carry either
            if name in ("REQUEST_METHOD", "CONTENT_LENGTH", "QUERY_STRING") or name.startswith("HTTP_"):
                if name.encode() not in params:
                    environ.pop(name)
        # Now and then a start under Wine stalls before any of our code
        # runs (the same start answers in a second otherwise): such a start
        # is tried once more, so that only a start that stalls again fails.
        for attempt in (1, 2):
            try:
                done = subprocess.run([self.loader, self.host, "cgi", stdin, stdout, self.exe, *tail],
                                      input=body, env=environ, capture_output=True, timeout=60)
                return done.returncode, done.stdout
            except subprocess.TimeoutExpired:
                print(f"note: a CGI start ({stdin}, {stdout}) still running after 60 s (try {attempt})")
        raise Failure(f"a CGI start ({stdin}, {stdout}) still running after 60 s, twice")

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
        return connect(("127.0.0.1", self.port), timeout)

    def command(self, text):
        self.host_proc.stdin.write(text.encode() + b"\n")
        self.host_proc.stdin.flush()

    def __enter__(self):
        p = self.program
        how = ["listen", self.listen] if self.listen else ["serve"]
        self.host_proc = launch([p.loader, p.host, *how, p.exe, *self.tail], os.path.join(self.folder, "host.log"),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=wine_environment())

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
    for stdin, stdout in CGI_STARTS:
        code, out = program.start_cgi(stdin, stdout, params, body)
        expected = b"" if stdout != "pipe" else no_input if stdin in ("none", "null", "nul") else want
        check(f"CGI start, standard input {stdin}, output {stdout}: exit {code}, {len(out)} bytes",
              [] if code == 0 and out == expected else [f"got {out[:150]!r}, want {expected[:150]!r}"])


def other_loopback_refused(c, program):
    """Listening on 127.0.0.1 means that address only: 127.0.0.2 is refused."""
    try:
        connect(("127.0.0.2", c.r.port), 10).close()
        c.problems.append("a connection to 127.0.0.2 was taken")
    except OSError:
        pass
    with c.r.connect() as s:
        c.expect("a connection to 127.0.0.1", ask(s, env("GET", QUERY_STRING=b"x")), HEADER + page(b"x"))
    return "CGIECHO_LISTEN=127.0.0.1:PORT takes that address only"


# Label, value, exit code: 2 for a value that is no listener address on the
# system, 1 for a listener that cannot be opened.
BAD_LISTEN = [("no port", "127.0.0.1", 2), ("port 0", "127.0.0.1:0", 2), ("port beyond 65535", "127.0.0.1:65536", 2),
              ("no host", ":9000", 2), ("IPv6 address unbracketed", "::1:9000", 2)]
BAD_LISTEN_WINDOWS = [("host that does not resolve", "no-such-host.invalid:9000", 1),
                      ("socket path on Windows", "/tmp/x.sock", 2), ("IPv6 address on Windows", "[::1]:9000", 2)]


def bad_listen_values(argv, rows, environ):
    """A CGIECHO_LISTEN the program cannot listen on ends it at once with a
    message naming the value, never a CGI answer or a wait. rows: label,
    value, exit code, and what must be true of the folder afterwards. The
    line escapes a backslash as every log line does."""
    for label, value, code, *after in rows:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                              env=dict(environ, CGIECHO_LISTEN=value), timeout=120)
        ok = done.returncode == code and not done.stdout and value.encode().replace(b"\\", b"\\x5c") in done.stderr
        ok &= all(holds() for holds in after)
        check(f"CGIECHO_LISTEN {label}: exit {done.returncode}, {done.stderr.strip()[:100]!r}",
              [] if ok else [f"want exit {code}, no output, the value named"])


# Where a responder listens, how it was started, FCGI_WEB_SERVER_ADDRS, and
# whether it warns at start that hosts other than this one can reach it.
# Nothing connects to these: each is started, stopped, and its standard
# error read.
REACHABLE = [
    ("0.0.0.0", "CGIECHO_LISTEN", None, True),
    ("::", "CGIECHO_LISTEN", None, True),
    ("0.0.0.0", "CGIECHO_LISTEN", "127.0.0.1", False),
    ("::", "CGIECHO_LISTEN", "::1", False),
    ("127.0.0.1", "CGIECHO_LISTEN", None, False),
    ("::1", "CGIECHO_LISTEN", None, False),
    ("socket", "CGIECHO_LISTEN", None, False),
    ("0.0.0.0", "spawn-fcgi", None, True),
    ("0.0.0.0", "spawn-fcgi", "10.0.0.1", False),
    ("127.0.0.1", "spawn-fcgi", None, False),
    ("::ffff:127.0.0.1", "spawn-fcgi", None, False),
    ("socket", "spawn-fcgi", None, False),
]
WARNING = b"warning: listening on "


def reachable_listeners(echo):
    """A responder whose TCP listener other hosts can reach, with no
    FCGI_WEB_SERVER_ADDRS, says so in one line on standard error at start,
    whether it opened the listener itself or spawn-fcgi handed it over. Each
    is stopped with SIGTERM: ending with 0 shows that its handler, set up
    before the warning is written, was in place, so the warning had its
    chance."""
    problems = []
    folder = make_workdir("cgiecho-fcgi-reachable-")
    try:
        for where, how, listed, warns in REACHABLE:
            environ = {k: v for k, v in os.environ.items() if k != "FCGI_WEB_SERVER_ADDRS"}
            if listed:
                environ["FCGI_WEB_SERVER_ADDRS"] = listed
            path = os.path.join(folder, "r.sock")
            port = 0 if where == "socket" else free_port(where)
            if how == "CGIECHO_LISTEN":
                environ["CGIECHO_LISTEN"] = (path if where == "socket" else
                                             f"[{where}]:{port}" if ":" in where else f"{where}:{port}")
                argv = [echo]
            else:
                argv = [require("spawn-fcgi"), "-n", *(["-s", path] if where == "socket" else
                                                       ["-a", where, "-p", str(port)]), "--", echo]
            label = f"{how} on {where}, FCGI_WEB_SERVER_ADDRS {listed or 'unset'}"
            for pause in (0.3, 1, 3, 10):  # a SIGTERM before the responder set up its handler kills it
                proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=environ)
                time.sleep(pause)
                proc.send_signal(signal.SIGTERM)
                try:
                    _, err = proc.communicate(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    _, err = proc.communicate()
                if proc.returncode != -signal.SIGTERM:
                    break
            if os.path.exists(path):
                os.unlink(path)
            lines = [line for line in err.splitlines() if WARNING in line]
            shown = b"[%s]" % where.encode() if ":" in where else where.encode()
            ok = proc.returncode == 0 and (
                len(lines) == 1 and b"%s:%d" % (shown, port) in lines[0] and b"FCGI_WEB_SERVER_ADDRS" in lines[0]
                if warns else not lines)
            if not ok:
                problems.append(f"{label}: exit {proc.returncode}, standard error {err[:300]!r}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return f"listeners other hosts can reach: {len(REACHABLE)} starts, each warned of or not", problems


# Windows: CGIECHO_LISTEN on TCP (IPv4 only there), FCGI_WEB_SERVER_ADDRS,
# whether the responder warns. A host name is looked up as libfcgi looks it
# up to listen.
REACHABLE_WINDOWS = [("0.0.0.0", None, True), ("0.0.0.0", "127.0.0.1", False), ("127.0.0.1", None, False),
                     ("localhost", None, False)]


def listening_on(port):
    """Whether a socket of this machine listens on TCP `port`, as
    /proc/net/tcp shows it (Wine's sockets are the host's)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if int(fields[1].rsplit(":", 1)[1], 16) == port and fields[3] == "0A":
                    return True
    return False


def reachable_listeners_windows(program):
    """The Windows build's warning, the same rule as on Linux. Under Wine
    no signal shows how far the start has got: each responder is stopped
    two seconds after its port listens (the warning follows at once), and
    the rows that warn show that this is time enough."""
    problems = []
    for where, listed, warns in REACHABLE_WINDOWS:
        port = free_port("127.0.0.1" if where == "localhost" else where)
        extra = {"CGIECHO_LISTEN": f"{where}:{port}"}
        if listed:
            extra["FCGI_WEB_SERVER_ADDRS"] = listed
        environ = {k: v for k, v in wine_environment(**extra).items()
                   if k != "FCGI_WEB_SERVER_ADDRS" or listed}
        proc = subprocess.Popen([program.loader, program.exe], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, env=environ)
        try:
            wait_for(lambda: listening_on(port) or proc.poll() is not None, f"{where}:{port} not listening", 120)
            time.sleep(2)
        finally:
            proc.kill()
            _, err = proc.communicate()
        lines = [line for line in err.splitlines() if WARNING in line]
        ok = (len(lines) == 1 and b"%s:%d" % (where.encode(), port) in lines[0] and
              b"FCGI_WEB_SERVER_ADDRS" in lines[0]) if warns else not lines
        if not ok:
            problems.append(f"CGIECHO_LISTEN={where}:{port}, FCGI_WEB_SERVER_ADDRS {listed or 'unset'}:"
                            f" standard error {err[:300]!r}")
    return f"listeners other hosts can reach: {len(REACHABLE_WINDOWS)} starts, each warned of or not", problems


def linux_listen(echo):
    """CGIECHO_LISTEN on Linux: the cases over TCP and a socket path, what
    may be replaced at the path and what not, and values that name no
    listener."""
    for case in (kept_connection, garbage, clients_gone, other_loopback_refused, sigterm_in_request,
                 sigusr1_in_request, sigterm_idle):
        run(echo, case, "CGIECHO_LISTEN", lambda folder, case: ListeningResponder(
            echo, folder, tcp=case is not garbage, tail=TAIL))
    folder = make_workdir("cgiecho-listen-")
    try:
        plain = os.path.join(folder, "plain")
        with open(plain, "w") as f:
            f.write("kept")
        with ListeningResponder(echo, folder, tcp=False, name="live") as live:
            rows = BAD_LISTEN + [
                ("named pipe on Linux", r"\\.\pipe\cgiecho", 2),
                ("host name (no resolver)", "localhost:9000", 1),
                ("address not on this machine", "192.0.2.1:9000", 1),
                ("a file at the path", plain, 1, lambda: open(plain).read() == "kept"),
                ("a socket someone listens on", live.path, 1, lambda: live.proc.poll() is None)]
            bad_listen_values([echo], rows, os.environ)
            answers(live, b"still", "CGIECHO_LISTEN: the socket someone listens on still answers")
        # The responder that listened there has ended: its socket is replaced.
        with ListeningResponder(echo, folder, tcp=False, name="live") as again:
            answers(again, b"again", "CGIECHO_LISTEN: a socket left by a responder that ended is replaced")
        # IPv6: that address only, not IPv4 beside it.
        with ListeningResponder(echo, folder, tcp="::1", name="v6") as v6:
            try:
                connect(("127.0.0.1", v6.port), 10).close()
                ipv4 = ["a connection to 127.0.0.1 was taken"]
            except OSError:
                ipv4 = []
            answers(v6, b"v6", "CGIECHO_LISTEN=[::1]:PORT answers there and on no IPv4 address", ipv4)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    what, problems = web_server_addrs(echo, lambda folder, where, listed: ListeningResponder(
        echo, folder, tcp=where, tail=TAIL, env=dict(os.environ, FCGI_WEB_SERVER_ADDRS=listed)),
        families=("127.0.0.1", "::1"))
    check(f"CGIECHO_LISTEN: {what}", problems)


def answers(responder, query, what, problems=()):
    """The check that a GET for `query` gets the page that shows it."""
    with responder.connect() as s:
        got = ask(s, env("GET", QUERY_STRING=query))
    want = HEADER + page(query)
    check(what, list(problems) + ([] if got == want else [f"got {got!r}, want {want!r}"]))


def pool_on_a_pipe(c, program):
    """CGIECHO_WORKERS on a named pipe (IIS may have it set for every
    program): one process serves, and says once why there is no pool."""
    kept_connection(c, program)
    with open(os.path.join(c.r.folder, "host.log"), "rb") as f:
        said = f.read().count(b"CGIECHO_WORKERS=2: a pool of workers needs a TCP listener")
    if said != 1:
        c.problems.append(f"the line that the pool needs TCP said {said} times")
    return "CGIECHO_WORKERS=2 on a named pipe: one process serves, and says so once"


def windows(loader, host, exe, inspector_exe, probe_exe):
    global IN_HAND_SECONDS
    IN_HAND_SECONDS = 3.0
    program = WindowsProgram(loader, host, exe)
    cgi_starts(program)
    inspector = WindowsProgram(loader, host, inspector_exe)
    for case in (kept_connection, parameter_twice_any_case):
        run(inspector, case, "the inspector on a named pipe", lambda folder, case: PipeHost(inspector, folder))
    check(*reachable_listeners_windows(program))
    for case in (kept_connection, late_body, garbage, clients_gone, sigterm_in_request, sigterm_idle):
        run(program, case, "named pipe on standard input", lambda folder, case: PipeHost(program, folder))
    pipe = r"\\.\pipe\cgiecho-listen-%d" % os.getpid()

    def own_pipe(folder, case):
        return PipeHost(program, folder, listen=pipe)
    for case in (kept_connection, sigterm_idle):
        run(program, case, "CGIECHO_LISTEN on a named pipe", own_pipe)
    os.environ["CGIECHO_WORKERS"] = "2"
    try:
        run(program, pool_on_a_pipe, "CGIECHO_LISTEN on a named pipe", own_pipe)
    finally:
        del os.environ["CGIECHO_WORKERS"]
    for case in (kept_connection, garbage, clients_gone, other_loopback_refused):
        run(program, case, "CGIECHO_LISTEN on TCP", lambda folder, case: ListeningResponder(
            exe, folder, tail=TAIL, loader=loader))
    # libfcgi's own filter, on the IPv4 listener the Windows build opens.
    what, problems = web_server_addrs(exe, lambda folder, where, listed: ListeningResponder(
        exe, folder, tcp=where, tail=TAIL, env=wine_environment(FCGI_WEB_SERVER_ADDRS=listed), loader=loader),
        families=("127.0.0.1",))
    check(f"CGIECHO_LISTEN on TCP: {what}", problems)
    bad_listen_values([program.loader, program.exe], BAD_LISTEN + BAD_LISTEN_WINDOWS, wine_environment())
    pool_cases.windows(program.loader, os.path.abspath(probe_exe), program.host)


def cases(args):
    if len(args) == 6 and args[0] == "--wine":
        return windows(*args[1:])
    if len(args) != 4:
        raise Usage
    echo, example, probe_program, inspector = args
    # Room for the connection cap's 258 connections on both ends.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard if hard < 4096 else 4096, hard))
    for case in (kept_connection, late_body, garbage, clients_gone, sigterm_in_request, sigusr1_in_request,
                 sigterm_idle, connection_cap):
        run(echo, case, "cgiecho")
    run(echo, descriptors_run_out, "cgiecho", preexec_fn=descriptors(16))
    own_captures = make_workdir("cgiecho-fcgi-captures-")
    try:
        run(echo, capture_settings, "cgiecho", env=dict(os.environ, CGIECHO_CAPTURE_DIR=own_captures))
    finally:
        shutil.rmtree(own_captures, ignore_errors=True)
    run(echo, capture_settings, "cgiecho",
        env={k: v for k, v in os.environ.items() if not k.startswith("CGIECHO_CAPTURE_")})
    for case in (web_server_addrs, cannot_start):
        check(*case(echo))
    run(example, header_each_request, "responder")
    run(probe_program, probe, "probe")
    for name in ("probe-SIGTERM", "probe-SIGUSR1"):
        run(probe_program, stop_in_handler, name)
    run(inspector, parameter_twice, "cgiecho-inspect")
    check(*reachable_listeners(echo))
    linux_listen(echo)


if __name__ == "__main__":
    main(cases, __doc__)
