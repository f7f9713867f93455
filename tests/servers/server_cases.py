#!/usr/bin/env python3
"""The echo program behind a real web server, compared byte for byte.

usage: server_cases.py SERVER PROGRAM
       server_cases.py nginx-upstream PROGRAM
       server_cases.py wine PROGRAM WINDOWS_EXE WINE_LOADER [win32]
       server_cases.py nginx-fastcgi-wine WINDOWS_EXE WINE_LOADER [REQUESTS]

SERVER: lighttpd, apache or nginx running the program as CGI, or
lighttpd-fastcgi, apache-fastcgi, nginx-fastcgi-unix or nginx-fastcgi-tcp
talking FastCGI to it. The FastCGI variants also send the table over one
kept connection and from concurrent clients, and clients that go away.

Each row of the table is one request. What the browser must get back is
either the page around the shown data, or a refusal status: servers reject
some URLs before the program ever runs, and rewrite others (lighttpd
percent-encodes bytes in the query string that a URL must not hold raw), so
some rows expect a different result per server.

nginx-fastcgi-wine: a Windows build under Wine as a responder listening by
itself (CGIECHO_LISTEN=127.0.0.1:PORT) behind nginx: the table, the FastCGI
modes, then REQUESTS (default 10,000) requests with wrk, every body checked,
and the responder's resident memory flat.
"""

import math
import os
import random
import shutil
import subprocess
import time

import signal
import socket

from procs import ListeningResponder, in_threads, require, vm_rss_kib
from runner import Failure, Usage, check, main
from webserver import (SERVERS, SCRIPT, KeepAlive, Lighttpd, Nginx, NoResponse, exchange, page, request_bytes,
                       sanitised, serve)

ONE_MIB = random.Random(20240601).randbytes(1 << 20)  # every byte value, '<' and NUL included


class MayBeCut(bytes):
    """The page, but the server may cut the response short or drop it.

    Apache's mod_cgid passes the body over a socket; when the program ends
    without reading a body it was sent (a PUT, or a chunked POST that reaches
    it without CONTENT_LENGTH), the socket is reset and Apache sometimes ends
    the chunked response without its last chunk, or sends nothing at all.
    Whatever does arrive must still be the start of the right page.
    """


class Row:
    def __init__(self, label, method, target, body=None, chunked=False, want=b"", **per_server):
        self.label, self.method, self.target = label, method, target
        self.body, self.chunked = body, chunked
        self.want, self.per_server = want, per_server

    def expected(self, server):
        # "nginx-fastcgi-tcp" takes a row's nginx_fastcgi_tcp, nginx_fastcgi
        # or nginx value, the first that the row has.
        parts = server.split("-")
        for n in range(len(parts), 0, -1):
            key = "_".join(parts[:n])
            if key in self.per_server:
                return self.per_server[key]
        return self.want


def G(label, query, want=None, **per_server):
    """A GET whose query string is echoed as it is unless a server says otherwise."""
    return Row(label, "GET", SCRIPT.encode() + query, want=query[1:] if want is None else want,
               **per_server)


ROWS = [
    G("no query string", b"", b""),
    G("empty query string", b"?", b""),
    G("escapes and '+' stay encoded", b"?name=Ann+Lee&note=a%3Cb%3E%26c%25"),
    G("entities already present pass", b"?x=&lt;&gt;&amp;"),
    G("raw '<' is escaped", b"?note=a<b>&c=a<<b", b"note=a&lt;b>&c=a&lt;&lt;b",
      lighttpd=b"note=a%3Cb%3E&c=a%3C%3Cb"),
    G("opt-out lets raw markup through", b"?nosanitize=1&x=<i>hi</i>",
      lighttpd=b"nosanitize=1&x=%3Ci%3Ehi%3C/i%3E"),
    G("opt-out is exact-case", b"?NoSanitize=1&x=<i>", b"NoSanitize=1&x=&lt;i>",
      lighttpd=b"NoSanitize=1&x=%3Ci%3E"),
    G("opt-out counts only at the start", b"?x=<i>&nosanitize=1", b"x=&lt;i>&nosanitize=1",
      lighttpd=b"x=%3Ci%3E&nosanitize=1"),
    G("escaped NUL", b"?x=%00y", lighttpd=400),
    G("raw control byte", b"?x=\x01y", 400),
    G("raw tab", b"?x=\ty", 400),
    G("raw DEL", b"?x=\x7fy", 400),
    G("raw UTF-8", b"?x=\xc3\xa9", lighttpd=b"x=%C3%A9"),
    G("raw invalid UTF-8", b"?x=\xff", lighttpd=400),
    G("escaped invalid UTF-8", b"?x=%FF", lighttpd=400),
    G("malformed escapes", b"?x=%zz&y=%", lighttpd=b"x=%25zz&y=%25"),
    G("punctuation", b'?x="q"\\{}|^`', lighttpd=b"x=%22q%22%5C%7B%7D%7C%5E%60"),
    G("fragment", b"?x=a#frag", b"x=a", apache=400),
    G("query beyond 7915 bytes", b"?" + b"a" * 7916),
    G("over-long URL", b"?" + b"a" * 9000, lighttpd=431, apache=414, nginx=414),
    Row("HEAD answers like GET without the body", "HEAD", SCRIPT.encode() + b"?note=a%3Cb",
        want=b"note=a%3Cb"),
    Row("PUT takes the query string, not the body", "PUT", SCRIPT.encode() + b"?q=1",
        body=b"body=<x>", want=b"q=1", apache=MayBeCut(b"q=1"), apache_fastcgi=b"q=1"),
    Row("empty POST", "POST", SCRIPT.encode(), body=b"", want=b""),
    Row("small form body", "POST", SCRIPT.encode(), body=b"name=Ann&note=a<b>&c=a<<b",
        want=b"name=Ann&note=a&lt;b>&c=a&lt;&lt;b"),
    Row("body with NUL bytes", "POST", SCRIPT.encode(), body=b"a\0b\0\0<c\0",
        want=b"a\0b\0\0&lt;c\0"),
    Row("opt-out body", "POST", SCRIPT.encode(), body=b"nosanitize=1&x=<b>bold</b>",
        want=b"nosanitize=1&x=<b>bold</b>"),
    Row("marker prefix is not the marker", "POST", SCRIPT.encode(), body=b"nosanitize=&x=<b>",
        want=b"nosanitize=&x=&lt;b>"),
    Row("POST ignores the query string", "POST", SCRIPT.encode() + b"?q=<x>", body=b"b=1",
        want=b"b=1"),
    Row("1 MiB body", "POST", SCRIPT.encode(), body=ONE_MIB, want=sanitised(ONE_MIB)),
    # Apache hands a chunked body to a CGI program without CONTENT_LENGTH;
    # mod_proxy_fcgi reads it whole first and sends its length.
    Row("chunked body", "POST", SCRIPT.encode(), body=b"a=<b>", chunked=True,
        want=b"a=&lt;b>", apache=MayBeCut(b""), apache_fastcgi=b"a=&lt;b>"),
]


def answer(port, row, want, target=None, timeout=60.0):
    """The problems with the server's answer (none when it is as expected), and the answer."""
    try:
        r = exchange(port, row.method, target or row.target, body=row.body, chunked=row.chunked,
                     timeout=timeout)
    except NoResponse:
        if isinstance(want, MayBeCut):
            return ["(no response: dropped)"], None
        raise
    if isinstance(want, int):
        return ([] if r.status == want else [f"status {r.status}, want refusal {want}"]), r
    problems = []
    if r.status != 200:
        problems.append(f"status {r.status}, want 200: {r.body[:200]!r}")
    if (r.header("content-type") or "").lower() != "text/html":
        problems.append(f"content-type {r.header('content-type')!r}")
    expected = page(want)
    if row.method == "HEAD":
        if r.body:
            problems.append(f"HEAD response carries {len(r.body)} body bytes")
        length = r.header("content-length")
        if length is not None and int(length) != len(expected):
            problems.append(f"HEAD Content-Length {length}, the page has {len(expected)}")
    elif isinstance(want, MayBeCut) and not r.complete and expected.startswith(r.body):
        problems.append(f"(response cut after {len(r.body)} of {len(expected)} page bytes)")
    elif not r.complete:
        problems.append(f"response cut short after {len(r.body)} body bytes")
    elif r.body != expected:
        at = next((i for i, (a, b) in enumerate(zip(r.body, expected)) if a != b),
                  min(len(r.body), len(expected)))
        problems.append(f"body differs at byte {at} ({len(r.body)} bytes, want {len(expected)}):"
                        f" got {r.body[max(0, at - 20):at + 40]!r}"
                        f" want {expected[max(0, at - 20):at + 40]!r}")
    return problems, r


def run_rows(server_name, port, rows):
    for row in rows:
        want = row.expected(server_name)
        problems, _ = answer(port, row, want)
        notes = [p for p in problems if p.startswith("(")]  # tolerated, but worth seeing
        problems = [p for p in problems if not p.startswith("(")]
        shown = f"refused {want}" if isinstance(want, int) else "echoed"
        check(f"{server_name}: {row.label}: {shown} {' '.join(notes)}", problems)


def answered_rows(server_name):
    """The rows a server answers with a whole page, with what that page shows."""
    for row in ROWS:
        want = row.expected(server_name)
        if not isinstance(want, (int, MayBeCut)) and row.label != "over-long URL":
            yield row, want


def same_page(row, want, r):
    if r.status != 200:
        return f"{row.label}: status {r.status}"
    if r.body != (b"" if row.method == "HEAD" else page(want)):
        return f"{row.label}: {len(r.body)} bytes, starting {r.body[:120]!r}"
    return None


def kept_connection(server_name, port, rounds=3):
    """The table over one HTTP connection, several times over: a PUT whose
    body the program leaves unread, then a POST; a GET after a 1 MiB body;
    HEAD between them. Nothing of one request may show in the next."""
    problems, count = [], 0
    with KeepAlive(port) as conn:
        for _ in range(rounds):
            for row, want in answered_rows(server_name):
                problems += filter(None, [same_page(row, want, conn.exchange(
                    row.method, row.target, row.body, row.chunked))])
                count += 1
    return f"{count} requests on one kept connection", problems


def concurrent(server_name, port, clients=8, each=12):
    """Clients at once, each going through the table in its own order."""
    rows = list(answered_rows(server_name))

    def client(n):
        mine, problems = rows[n % len(rows):] + rows[:n % len(rows)], []
        for row, want in mine[:each]:
            try:
                problems.append(same_page(row, want, exchange(port, row.method, row.target, row.body, row.chunked)))
            except (Failure, OSError) as e:
                problems.append(f"{row.label}: {e!r}")
        return problems
    problems = [p for found in in_threads([lambda n=n: client(n) for n in range(clients)]) for p in found if p]
    return f"{clients} concurrent clients, {clients * each} requests", problems


def clients_that_go(server_name, port):
    """A client gone mid-body and one gone mid-response cost their own
    request only: the next requests are answered in full."""
    target = SCRIPT.encode()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request_bytes(port, "POST", target, body=b"x" * 100000)[:-60000])
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request_bytes(port, "POST", target, body=ONE_MIB))
        s.recv(100)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")  # reset
    problems = []
    for row, want in list(answered_rows(server_name))[:6]:
        problems += filter(None, [same_page(row, want, exchange(port, row.method, row.target,
                                                                  row.body, row.chunked))])
    return "clients gone mid-body and mid-response, then the table", problems


def fastcgi_modes(server_name, server):
    """The modes above; the responders must be the same processes at the end."""
    before = responder_pids(server)
    for mode in (kept_connection, concurrent, clients_that_go):
        what, problems = mode(server_name, server.port)
        check(f"{server_name}: {what}", problems)
    after = responder_pids(server)
    check(f"{server_name}: the same responders throughout",
          [] if before == after and after else [f"responders {before} before, {after} after"])


def responder_pids(server):
    if isinstance(server, Lighttpd):
        return server.responders()
    spawned = server.responders if isinstance(server, Nginx) else [server.responder]
    return sorted(r.proc.pid for r in spawned if r.proc.poll() is None)


def behind(server_name, program):
    with serve(server_name, program) as server:
        print(f"{server_name} on 127.0.0.1:{server.port}")
        run_rows(server_name, server.port, ROWS)
        if "fastcgi" in server_name:
            fastcgi_modes(server_name, server)


def nginx_upstream(program, requests=20):
    """Two responders (on other hosts in real life; here two ports of
    127.0.0.1) behind one nginx upstream: both take requests; with one
    stopped, the other serves every request."""
    tails = (("left",), ("right",))
    with Nginx(program, fastcgi="tcp", tails=tails) as server:
        print(f"nginx upstream of two responders on 127.0.0.1:{server.port}")

        def who(n):
            seen, problems = {}, []
            for _ in range(n):
                r = exchange(server.port, "GET", b"/responder")
                shown = r.body[len(page(b"")) - len(b"\r\n</body></html>"):-len(b"\r\n</body></html>")]
                if r.status != 200 or r.body != page(shown) or shown not in (b"left", b"right"):
                    problems.append(f"status {r.status}: {r.body[:160]!r}")
                seen[shown] = seen.get(shown, 0) + 1
            return seen, problems
        seen, problems = who(requests)
        check(f"both responders answer: {seen}", problems + ([] if len(seen) == 2 else ["not both"]))
        left = server.responders[0].proc
        left.send_signal(signal.SIGTERM)
        left.wait(10)
        seen, problems = who(requests)
        check(f"left stopped, right answers all: {seen}",
              problems + ([] if seen == {b"right": requests} else ["not right alone"]), limit=5)


WINE_ROWS = [
    G("escapes stay encoded", b"?name=Ann+Lee&note=a%3Cb%3E"),
    G("query beyond 7915 bytes", b"?" + b"b" * 8000),
    Row("form body with NUL and high bytes", "POST", SCRIPT.encode(),
        body=b"name=Ann&note=a<b>\0\xff\x80", want=b"name=Ann&note=a&lt;b>\0\xff\x80"),
    Row("64 KiB body, more than one read", "POST", SCRIPT.encode(), body=ONE_MIB[:65536],
        want=sanitised(ONE_MIB[:65536])),
]


def wine(program, exe, loader, arch="win64"):
    """A Windows build (x64, or 32-bit in a win32 prefix) under Wine behind
    lighttpd answers like the Linux build."""
    require(loader)
    if not os.path.isfile(exe):
        raise Failure(f"Windows build not found: {exe} (make windows / make windows32)")
    bits = "32" if arch == "win32" else "64"
    wineserver = next((p for p in (os.path.join(os.path.dirname(loader), n)
                                   for n in ("wineserver" + bits, "wineserver"))
                       if os.access(p, os.X_OK)), None) or require("wineserver")
    home = os.path.join("/tmp", f"cgiecho-wine-{os.getpid()}")
    prefix = os.path.join(home, "prefix")
    os.makedirs(home, mode=0o755)
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH=arch, HOME=home, WINEDEBUG="-all")
    try:
        # The first start of a prefix takes seconds; no request should pay for it.
        started = time.monotonic()
        subprocess.run([loader, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=240, check=True)
        print(f"wine prefix ready in {time.monotonic() - started:.1f} s")
        config = f"""
setenv.add-environment = ("WINEPREFIX" => "{prefix}", "WINEARCH" => "{arch}", "HOME" => "{home}",
                          "WINEDEBUG" => "-all", "PATH" => "/usr/bin:/bin")
$HTTP["url"] =~ "\\.exe$" {{
  cgi.assign = (".exe" => "{loader}")
}}
"""
        with Lighttpd(program, scripts={"cgiecho.exe": exe}, extra_config=config) as server:
            print(f"lighttpd with wine ({arch}) on 127.0.0.1:{server.port}")
            for row in WINE_ROWS:
                want = row.expected("lighttpd")
                problems, linux = answer(server.port, row, want)
                exe_target = row.target.replace(b"/cgiecho", b"/cgiecho.exe", 1)
                windows_problems, windows = answer(server.port, row, want, exe_target, 120.0)
                problems += [f"Windows build: {p}" for p in windows_problems]
                if windows.body != linux.body:
                    problems.append("the two builds' pages differ")
                check(f"wine: {row.label}: both builds, {len(linux.body)} identical bytes", problems)
    finally:
        subprocess.run([wineserver, "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        shutil.rmtree(home, ignore_errors=True)


def nginx_wine(exe, loader, requests=10000):
    """The Windows responder on TCP behind nginx, as nginx on Windows reaches it."""
    import load_test  # wrk and its check of every body

    def responder(program, folder, tcp, tail, name, env=None):
        return ListeningResponder(program, folder, tail=tail, name=name, env=env, loader=loader)
    name = "nginx-fastcgi-wine"
    # Kept connections idle for a second are closed, so that the responder's
    # memory is measured with the same threads each time (see settled).
    with Nginx(exe, fastcgi="tcp", responder=responder, idle_seconds=1) as server:
        print(f"nginx on 127.0.0.1:{server.port}, the Windows responder on {server.responders[0].address()}")
        run_rows(name, server.port, ROWS)
        fastcgi_modes(name, server)
        wrk = require("wrk")
        expected = os.path.join(server.dir, "expected.html")
        with open(expected, "wb") as f:
            f.write(page(load_test.QUERY))
        pid = server.responders[0].proc.pid

        def settled():
            """VmRSS and threads once nginx has closed the idle connections:
            each kept connection has a thread, and under Wine a thread holds
            about 1 MiB of its own."""
            time.sleep(3)
            with open(f"/proc/{pid}/status") as f:
                threads = int(next(line for line in f if line.startswith("Threads:")).split()[1])
            return vm_rss_kib(pid), threads
        rate, _, problems = load_test.hammer(wrk, server.port, "cgiecho", expected, load_test.PROBE_SECONDS)
        before = settled()  # after the probe: Wine's own start-up allocations are done
        # Runs of wrk until enough responses were checked: on a busy machine
        # the rate of one run says little of the next.
        checked, started = 0, time.monotonic()
        while checked < requests and time.monotonic() - started < load_test.MAX_SECONDS:
            seconds = math.ceil(1.5 * (requests - checked) / max(rate, 1.0)) + 1
            rate, r, more = load_test.hammer(wrk, server.port, "cgiecho", expected, seconds)
            problems += more
            checked += r["checked"]
        if checked < requests:
            problems.append(f"only {checked} of {requests} responses checked in {load_test.MAX_SECONDS} s")
        after = settled()
        if after[1] != before[1] or after[0] - before[0] >= load_test.RSS_GROWTH_LIMIT_KIB:
            problems.append(f"VmRSS {before[0]} KiB with {before[1]} threads before,"
                            f" {after[0]} KiB with {after[1]} after")
        check(f"{name}: {checked} responses checked byte for byte, {rate:.0f} requests/s; VmRSS {before[0]} KiB"
              f" before, {after[0]} KiB after ({before[1]} and {after[1]} threads)", problems)


def cases(args):
    if len(args) == 2 and args[0] in SERVERS:
        behind(*args)
    elif len(args) == 2 and args[0] == "nginx-upstream":
        nginx_upstream(args[1])
    elif len(args) in (3, 4) and args[0] == "nginx-fastcgi-wine":
        nginx_wine(args[1], args[2], *map(int, args[3:]))
    elif len(args) in (4, 5) and args[0] == "wine" and args[4:] in ([], ["win32"]):
        wine(*args[1:])
    else:
        raise Usage


if __name__ == "__main__":
    main(cases, __doc__)
