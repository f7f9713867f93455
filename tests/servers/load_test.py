#!/usr/bin/env python3
"""10,000 requests through lighttpd with wrk, every body checked.

usage: load_test.py PROGRAM MINIMAL_CGI [REQUESTS]
       load_test.py --fastcgi PROGRAM MINIMAL_FASTCGI [REQUESTS]

With --fastcgi, lighttpd runs both as FastCGI responders (mod_fastcgi,
bin-path, two processes each), and the echo program's responders must come
out of the run as the same processes, their resident memory (VmRSS) grown
by less than 1 MiB each; they get twice REQUESTS between them, so that each
serves about REQUESTS.

The echo program and a minimal C CGI program that sends the same page are
served side by side. wrk runs for a fixed time, so a short first run measures
the rate and the second one lasts long enough for at least REQUESTS requests
(default 10,000); its script compares every response body with the expected
page. The test fails on any wrong byte, non-200 answer or socket error, or
when fewer requests were made. Throughput is printed for comparison only: it
depends on the machine and on what else runs.
"""

import math
import os
import re
import subprocess

from procs import require, vm_rss_kib, wait_for
from runner import Failure, Usage, check, main
from webserver import Lighttpd, page

QUERY = b"name=Ann+Lee&note=a%3Cb%3E&x=%C3%A9"
THREADS, CONNECTIONS = 2, 8
PROBE_SECONDS, MAX_SECONDS = 2, 200
RSS_GROWTH_LIMIT_KIB = 1024
HERE = os.path.dirname(os.path.abspath(__file__))


def hammer(wrk, port, script, expected_file, seconds, requests=0):
    url = f"http://127.0.0.1:{port}/cgi-bin/{script}?{QUERY.decode()}"
    out = subprocess.run(
        [wrk, f"-t{THREADS}", f"-c{CONNECTIONS}", f"-d{seconds}s", "--timeout", "10s",
         "-s", os.path.join(HERE, "load_check.lua"), url, "--", expected_file],
        capture_output=True, text=True, timeout=seconds + 60)
    if requests:
        print(out.stdout.rstrip())
    if out.returncode != 0:
        raise Failure(f"wrk exited with {out.returncode}: {out.stderr}")
    m = re.search(r"RESULT (.*)", out.stdout)
    if not m:
        raise Failure("wrk printed no RESULT line: the check script did not run")
    r = {k: int(v) for k, v in (kv.split("=") for kv in m.group(1).split())}
    problems = [f"{k}={r[k]}" for k in ("wrong_body", "non_200", "connect", "read", "write",
                                         "status", "timeout") if r[k]]
    if r["checked"] < requests:
        problems.append(f"only {r['checked']} of {requests} responses checked")
    for pattern in (r"Non-2xx or 3xx responses: \d+", r"Socket errors: .*"):
        problems += re.findall(pattern, out.stdout)
    return r["requests"] / (r["duration_us"] / 1e6), r, problems


def cases(args):
    fastcgi = args[:1] == ["--fastcgi"]
    args = args[fastcgi:]
    if len(args) not in (2, 3):
        raise Usage
    program, minimal = args[0], args[1]
    requests = int(args[2]) if len(args) == 3 else 10000
    wrk = require("wrk")
    with Lighttpd(program, scripts={"minimal": minimal}, fastcgi=fastcgi, max_procs=2) as server:
        if fastcgi:
            wait_for(lambda: len(server.responders()) == 2, "not two echo responders")
        rss_before = {pid: vm_rss_kib(pid) for pid in server.responders()}
        expected = os.path.join(server.dir, "expected.html")
        with open(expected, "wb") as f:
            f.write(page(QUERY))
        rates = {}
        for script in ("cgiecho", "minimal"):
            wanted = 2 * requests if fastcgi and script == "cgiecho" else requests
            print(f"--- {wanted} requests to /cgi-bin/{script} through lighttpd"
                  f" (wrk -t{THREADS} -c{CONNECTIONS})")
            probe, _, problems = hammer(wrk, server.port, script, expected, PROBE_SECONDS)
            # a third more time than the probe's rate needs, for a slower spell
            seconds = math.ceil(1.33 * wanted / max(probe, 1.0)) + 1
            if seconds > MAX_SECONDS:
                problems.append(f"{probe:.0f} requests/s: {wanted} requests would take"
                                f" more than {MAX_SECONDS} s")
                seconds = MAX_SECONDS
            print(f"probe: {probe:.0f} requests/s; main run of {seconds} s")
            rate, r, main_problems = hammer(wrk, server.port, script, expected, seconds, wanted)
            rates[script] = rate
            check(f"{script}: {r['checked']} responses checked byte for byte, {rate:.0f} requests/s",
                  problems + main_problems, limit=None)
        kind = "FastCGI" if fastcgi else "CGI"
        print(f"echo program: {rates['cgiecho']:.0f} requests/s;"
              f" minimal C {kind}: {rates['minimal']:.0f} requests/s"
              f" ({100 * rates['cgiecho'] / rates['minimal']:.0f} %)")
        for pid, before in rss_before.items():
            after = vm_rss_kib(pid) if pid in server.responders() else None
            grown = None if after is None else after - before
            check(f"responder {pid}: VmRSS {before} KiB before, {after} KiB after",
                  [] if grown is not None and grown < RSS_GROWTH_LIMIT_KIB else ["gone, or grown by 1 MiB or more"])


if __name__ == "__main__":
    main(cases, __doc__)
