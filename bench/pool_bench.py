#!/usr/bin/env python3
"""The worker pool (CGIECHO_WORKERS) under load, in one run, one table:

1. Throughput: the probe responder (tests/servers/probe_responder.cpp),
   whose handler waits 20 ms, as a pool of 32 workers behind nginx (a new
   FastCGI connection per request), wrk -c64: requests/s against the ideal
   32 / 0.02 s = 1,600 (target at least 90%), and every failure.
2. Reloads under that load: 10 SIGHUPs to the master 2.5 s apart; requests
   lost (non-200 answers, wrk socket errors, 502s in nginx's log) must be 0.
   Beside it, php-fpm (a private instance: static pool of 32 on a loopback
   port, its own pid and log files) running a script that waits 20 ms,
   behind the same nginx, the same load, 10 `kill -USR2` 2.5 s apart.
   Then the same load on a pool that recycles its workers
   (CGIECHO_MAX_REQUESTS, default 400): nothing lost either.
3. The echo program as a pool of 2 workers behind lighttpd (mod_fastcgi to
   the port the pool listens on), wrk -c8, against the same program as one
   process: alternating rounds, ratio pool / single (target at least 0.95).
4. Memory (Private_Clean + Private_Dirty of /proc/PID/smaps_rollup): each
   echo worker fresh and after 10,000 requests of its own (within 1 MiB),
   the master before, during and after the load (flat).

usage: bench/pool_bench.py [build dir, default build]
  (a Linux build with tests: cmake --preset linux && cmake --build --preset
   linux --target cgiecho_program cgiecho_probe_responder)
Knobs (environment): SECONDS_LOAD (default 25), ROUNDS (default 5),
SECONDS_EACH (default 10, per echo round), RELOADS (10), RELOAD_GAP (2.5),
MAX_REQUESTS (400),
PHP_FPM (default php-fpm8.2), PHP_CONTROL_TIMEOUTS (the values of
php-fpm's process_control_timeout to reload with, one run each: default
"0 10s", its default and a grace of 10 s).
Needs nginx, lighttpd, wrk, curl and php8.2-fpm. Exits 1 when a target is
missed. Everything it starts is stopped by pid and its folder removed;
the whole run is bounded (BENCH_LIMIT seconds, default 900).
"""
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
LOAD_CHECK = os.path.join(HERE, "..", "tests", "servers", "load_check.lua")
SECONDS_LOAD = int(os.environ.get("SECONDS_LOAD", "25"))
ROUNDS = int(os.environ.get("ROUNDS", "5"))
SECONDS_EACH = int(os.environ.get("SECONDS_EACH", "10"))
RELOADS = int(os.environ.get("RELOADS", "10"))
RELOAD_GAP = float(os.environ.get("RELOAD_GAP", "2.5"))
PHP_FPM = os.environ.get("PHP_FPM", "php-fpm8.2")
PHP_CONTROL_TIMEOUTS = os.environ.get("PHP_CONTROL_TIMEOUTS", "0 10s").split()
LIMIT = int(os.environ.get("BENCH_LIMIT", "900"))
WORKERS = 32
WAIT_MS = 20
ECHO_QUERY = "name=Ann+Lee&note=a%3Cb%3E&x=%C3%A9"
MEMORY_REQUESTS = 10000
MAX_REQUESTS = int(os.environ.get("MAX_REQUESTS", "400"))


class Timeout(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def private_kib(pid):
    """Private_Clean + Private_Dirty of a process, in KiB."""
    total = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                total += int(line.split()[1])
    return total


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        if int(stat[stat.rindex(")") + 2:].split()[1]) == pid:
            found.append(int(entry))
    return sorted(found)


class Processes:
    """Every process the run starts, stopped by pid at the end."""

    def __init__(self):
        self.started = []

    def start(self, name, argv, stop_signal=signal.SIGTERM, **kw):
        proc = subprocess.Popen(argv, **kw)
        self.started.append((name, proc, stop_signal))
        return proc

    def stop(self, proc):
        for i, (name, p, sig) in enumerate(self.started):
            if p is proc:
                del self.started[i]
                self._stop(name, p, sig)
                return

    @staticmethod
    def _stop(name, proc, sig):
        if proc.poll() is not None:
            return
        kids = children(proc.pid)
        proc.send_signal(sig)
        try:
            proc.wait(timeout=40)
        except subprocess.TimeoutExpired:
            print(f"{name} ({proc.pid}) did not stop; killed", file=sys.stderr)
            proc.kill()
            proc.wait()
        # Children that outlive their parent (none should) are ended by pid.
        deadline = time.monotonic() + 10
        for kid in kids:
            while os.path.exists(f"/proc/{kid}") and time.monotonic() < deadline:
                time.sleep(0.05)
            if os.path.exists(f"/proc/{kid}"):
                try:
                    os.kill(kid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def stop_all(self):
        while self.started:
            name, p, sig = self.started.pop()
            self._stop(name, p, sig)


def wait_ready(url, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(url, timeout=5) as r:
                if r.status == 200:
                    return r.read()
        except OSError:
            pass
        time.sleep(0.1)
    raise RuntimeError(f"{url} never answered 200")


def fetch(url):
    """The body of an answer as wrk's request would get it."""
    out = subprocess.run(["curl", "-sf", "-H", "User-Agent:", "-H", "Accept:", url],
                         capture_output=True, timeout=30, check=True)
    return out.stdout


def wrk(url, connections, seconds, body_file, during=None):
    """Runs wrk; `during` (a function) runs beside it. Returns the figures."""
    cmd = ["wrk", "-t2", f"-c{connections}", f"-d{seconds}s", "--timeout", "10s", "-s", LOAD_CHECK, url, "--",
           body_file]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    side = None
    if during is not None:
        side = threading.Thread(target=during)
        side.start()
    out, _ = proc.communicate(timeout=seconds + 60)
    if side is not None:
        side.join()
    text = out.decode(errors="replace")
    m = re.search(r"RESULT (.*)", text)
    rate = re.search(r"Requests/sec:\s+([\d.]+)", text)
    if m is None or rate is None or proc.returncode != 0:
        raise RuntimeError(f"wrk failed: {text}")
    fields = dict(kv.split("=") for kv in m.group(1).split())
    fields = {k: int(v) for k, v in fields.items()}
    fields["rate"] = float(rate.group(1))
    fields["socket_errors"] = sum(fields[k] for k in ("connect", "read", "write", "timeout"))
    fields["failed"] = fields["non_200"] + fields["wrong_body"] + fields["socket_errors"]
    return fields


class LogTail:
    """Counts the lines of an access log ('status upstream_status') added since the mark."""

    def __init__(self, path):
        self.path = path
        self.offset = 0

    def mark(self):
        self.offset = os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def statuses(self):
        counts = {}
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            for line in f:
                status = line.split()[0].decode()
                counts[status] = counts.get(status, 0) + 1
        return counts


def reloader(pid, sig):
    """RELOADS signals to pid, RELOAD_GAP apart, the first half a gap into the load."""
    def run():
        time.sleep(RELOAD_GAP / 2)
        for i in range(RELOADS):
            os.kill(pid, sig)
            if i + 1 < RELOADS:
                time.sleep(RELOAD_GAP)
    return run


def median(values):
    return statistics.median(values)


def main(argv):
    build = os.path.abspath(argv[1] if len(argv) > 1 else "build")
    echo = os.path.join(build, "cgiecho")
    probe = os.path.join(build, "tests", "servers", "cgiecho_probe_responder")
    for program in (echo, probe):
        if not os.access(program, os.X_OK):
            print(f"no {program}: build first (cmake --build --preset linux --target cgiecho_program "
                  "cgiecho_probe_responder)", file=sys.stderr)
            return 2
    for tool in ("nginx", "lighttpd", "wrk", "curl", PHP_FPM):
        if shutil.which(tool) is None:
            print(f"{tool} not found (apt-get install nginx lighttpd wrk curl php8.2-fpm)", file=sys.stderr)
            return 2

    def on_alarm(*_):
        raise Timeout(f"the run took more than {LIMIT} s")
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(LIMIT)
    work = tempfile.mkdtemp(prefix="cgiecho-pool-bench.")
    os.chmod(work, 0o755)
    procs = Processes()
    try:
        return run(work, procs, echo, probe)
    finally:
        signal.alarm(0)
        procs.stop_all()
        shutil.rmtree(work, ignore_errors=True)


def run(work, procs, echo, probe):
    rows = []   # (measurement, figure, target/ideal, ratio, verdict)
    fail = False
    loads = {}
    devnull = subprocess.DEVNULL

    # --- the probe pool and php-fpm behind nginx ---------------------------
    pool_port, php_port, nginx_port, recycle_port = free_port(), free_port(), free_port(), free_port()
    pool_log = open(os.path.join(work, "pool.err"), "wb")
    pool_env = dict(os.environ, CGIECHO_WORKERS=str(WORKERS), CGIECHO_LISTEN=f"127.0.0.1:{pool_port}",
                    CGIECHO_BACKLOG="1024", CGIECHO_STOP_TIMEOUT="30", CGIECHO_STATUS_PATH="/pool/status")
    pool = procs.start("probe pool", [probe], env=pool_env, stdin=devnull, stdout=devnull, stderr=pool_log)
    # The same pool recycling its workers (CGIECHO_MAX_REQUESTS), on a port
    # of its own; idle until its own run.
    recycle_env = dict(pool_env, CGIECHO_LISTEN=f"127.0.0.1:{recycle_port}", CGIECHO_MAX_REQUESTS=str(MAX_REQUESTS),
                       CGIECHO_STATUS_PATH="/recycle/status")
    recycle_log = open(os.path.join(work, "recycle.err"), "wb")
    recycler = procs.start("recycling pool", [probe], env=recycle_env, stdin=devnull, stdout=devnull,
                           stderr=recycle_log)

    www = os.path.join(work, "www")
    os.mkdir(www)
    os.chmod(www, 0o755)
    script = os.path.join(www, "page.php")
    with open(script, "w") as f:
        f.write("<?php\nusleep(20000);\nheader('Content-Type: text/html');\n"
                "echo \"<p>waited 20 ms</p>\\n\";\n")
    user = "root" if os.geteuid() == 0 else os.environ.get("USER", "nobody")

    def start_php(control_timeout):
        """A private php-fpm: its own config, pid and log files in the run's folder."""
        with open(os.path.join(work, "php-fpm.conf"), "w") as f:
            f.write(f"""[global]
pid = {work}/php-fpm.pid
error_log = {work}/php-fpm.log
daemonize = no
process_control_timeout = {control_timeout}

[bench]
user = {user}
listen = 127.0.0.1:{php_port}
listen.backlog = 1024
pm = static
pm.max_children = {WORKERS}
""")
        return procs.start("php-fpm", [PHP_FPM, "-F", "-R", "-n", "-y", f"{work}/php-fpm.conf", "-p", work],
                           stop_signal=signal.SIGQUIT, stdin=devnull, stdout=devnull, stderr=devnull)

    def php_reloads_logged():
        with open(os.path.join(work, "php-fpm.log"), "rb") as f:
            return f.read().count(b"Reloading in progress")

    php = start_php(PHP_CONTROL_TIMEOUTS[0])

    with open(os.path.join(work, "nginx.conf"), "w") as f:
        f.write(f"""worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log warn;
events {{ worker_connections 1024; }}
http {{
  client_body_temp_path {work}/nginx-body;
  fastcgi_temp_path {work}/nginx-fastcgi;
  proxy_temp_path {work}/nginx-proxy;
  uwsgi_temp_path {work}/nginx-uwsgi;
  scgi_temp_path {work}/nginx-scgi;
  log_format short '$status $upstream_status $request_time';
  server {{
    listen 127.0.0.1:{nginx_port};
    location /pool/ {{
      access_log {work}/pool-access.log short;
      include /etc/nginx/fastcgi_params;
      fastcgi_param PROBE_SLEEP_MS $arg_ms;
      fastcgi_pass 127.0.0.1:{pool_port};
    }}
    location /recycle/ {{
      access_log {work}/recycle-access.log short;
      include /etc/nginx/fastcgi_params;
      fastcgi_param PROBE_SLEEP_MS $arg_ms;
      fastcgi_pass 127.0.0.1:{recycle_port};
    }}
    location /php/ {{
      access_log {work}/php-access.log short;
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME {script};
      fastcgi_pass 127.0.0.1:{php_port};
    }}
  }}
}}
""")
    nginx = procs.start("nginx", ["nginx", "-p", work, "-e", f"{work}/nginx-error.log", "-c",
                                  f"{work}/nginx.conf", "-g", "daemon off;"], stop_signal=signal.SIGQUIT,
                        stdin=devnull, stdout=devnull, stderr=devnull)

    base = f"http://127.0.0.1:{nginx_port}"
    pool_url, php_url = f"{base}/pool/probe?ms={WAIT_MS}", f"{base}/php/page.php"
    wait_ready(pool_url)
    wait_ready(php_url)

    def master_state():
        return private_kib(pool.pid), len(os.listdir(f"/proc/{pool.pid}/fd"))
    master_start = master_state()
    pool_body, php_body = os.path.join(work, "pool.body"), os.path.join(work, "php.body")
    with open(pool_body, "wb") as f:
        f.write(fetch(pool_url))
    with open(php_body, "wb") as f:
        f.write(fetch(php_url))
    pool_access = LogTail(os.path.join(work, "pool-access.log"))
    recycle_url = f"{base}/recycle/probe?ms={WAIT_MS}"
    wait_ready(recycle_url)
    php_access = LogTail(os.path.join(work, "php-access.log"))

    def measured(name, url, body, access, during=None):
        access.mark()
        loads[name] = load_average()
        r = wrk(url, 64, SECONDS_LOAD, body, during)
        statuses = access.statuses()
        r["nginx_502"] = statuses.get("502", 0)
        # 499: wrk closed a connection at its end while the request was
        # still being served; wrk never counts those, so they are no loss.
        r["nginx_499"] = statuses.get("499", 0)
        r["nginx_failed"] = sum(v for k, v in statuses.items() if k not in ("200", "499"))
        # A 5xx that wrk saw is one request in both counts.
        r["lost"] = r["failed"] + max(0, r["nginx_failed"] - r["non_200"])
        print(f"{name}: {r['rate']:.0f}/s, {r['requests']} requests, non-200 {r['non_200']}, wrong body "
              f"{r['wrong_body']}, socket errors {r['socket_errors']}, nginx {statuses} (load {loads[name]})",
              flush=True)
        return r

    ideal = WORKERS / (WAIT_MS / 1000)
    print(f"== {WORKERS} workers, handler waits {WAIT_MS} ms, nginx, wrk -t2 -c64, {SECONDS_LOAD} s", flush=True)
    # The pool before and after php-fpm, so that both see the machine's
    # other work alike; the verdict takes the mean of the two.
    steady = measured("pool, steady", pool_url, pool_body, pool_access)
    php_steady = measured("php-fpm, steady", php_url, php_body, php_access)
    steady_again = measured("pool, steady again", pool_url, pool_body, pool_access)
    steady_rate = (steady["rate"] + steady_again["rate"]) / 2
    steady_lost = steady["lost"] + steady_again["lost"]
    ok = steady_rate >= 0.9 * ideal and steady_lost == 0
    fail |= not ok
    rows.append((f"pool of 32, 20 ms handler: requests/s (mean of {steady['rate']:,.0f} before php-fpm and "
                 f"{steady_again['rate']:,.0f} after)", f"{steady_rate:,.0f}",
                 f"ideal {ideal:,.0f}, target {0.9 * ideal:,.0f}", f"{steady_rate / ideal:.3f}",
                 "PASS" if ok else "MISS", f"{loads['pool, steady']}; {loads['pool, steady again']}"))
    rows.append(("  the same: failed requests (non-200, socket errors, nginx 5xx)", str(steady_lost),
                 "0", f"of {steady['requests'] + steady_again['requests']:,}", "PASS" if steady_lost == 0 else "MISS",
                 ""))
    rows.append(("php-fpm static 32, usleep(20000): requests/s", f"{php_steady['rate']:,.0f}",
                 f"ideal {ideal:,.0f}", f"{php_steady['rate'] / ideal:.3f}", "", loads["php-fpm, steady"]))

    master_steady = master_state()
    print(f"== the same load, {RELOADS} reloads {RELOAD_GAP} s apart", flush=True)
    reloaded = measured("pool, reloads", pool_url, pool_body, pool_access,
                        reloader(pool.pid, signal.SIGHUP))
    php_runs = []
    for i, control_timeout in enumerate(PHP_CONTROL_TIMEOUTS):
        if i > 0:
            procs.stop(php)
            php = start_php(control_timeout)
            wait_ready(php_url)
        logged = php_reloads_logged()
        name = f"php-fpm, reloads, process_control_timeout={control_timeout}"
        php_runs.append((control_timeout, measured(name, php_url, php_body, php_access,
                                                   reloader(php.pid, signal.SIGUSR2))))
        php_runs[-1][1]["reloads_logged"] = php_reloads_logged() - logged
        php_runs[-1][1]["load"] = loads[name]
    time.sleep(1)
    pool_log.flush()
    with open(os.path.join(work, "pool.err"), "rb") as f:
        pool_lines = f.read().decode(errors="replace").splitlines()
    failed_reloads = [l for l in pool_lines if "reload failed" in l or "ignored" in l]
    with urllib.request.urlopen(f"{base}/pool/status", timeout=10) as answer:
        pool_status = json.loads(answer.read())
    for line in pool_lines:
        print("  pool says:", line)
    master_reloaded = master_state()
    ok = reloaded["lost"] == 0 and not failed_reloads and pool_status["reloads"] == RELOADS
    fail |= not ok
    rows.append((f"pool, {RELOADS} SIGHUP reloads ({pool_status['reloads']} done): requests lost "
                 f"(non-200 {reloaded['non_200']}, socket {reloaded['socket_errors']}, nginx 502 "
                 f"{reloaded['nginx_502']})", str(reloaded["lost"]), "0",
                 f"of {reloaded['requests']:,}", "PASS" if ok else "MISS", loads["pool, reloads"]))
    rows.append(("  the same: requests/s during the reloads", f"{reloaded['rate']:,.0f}", f"ideal {ideal:,.0f}",
                 f"{reloaded['rate'] / ideal:.3f}", "", ""))
    growth = master_reloaded[0] - master_start[0]
    ok = growth <= 1024 and master_reloaded[1] == master_start[1]
    fail |= not ok
    rows.append(("pool master (32 workers): private memory, descriptors: start -> after the steady load "
                 f"-> after {pool_status['reloads']} reloads",
                 " -> ".join(f"{kib:,} KiB, {fds}" for kib, fds in (master_start, master_steady, master_reloaded)),
                 "flat", f"{growth:+,} KiB", "PASS" if ok else "MISS", ""))
    for control_timeout, r in php_runs:
        rows.append((f"php-fpm (process_control_timeout={control_timeout}), {RELOADS} USR2 reloads "
                     f"({r['reloads_logged']} logged): requests lost (non-200 {r['non_200']}, socket "
                     f"{r['socket_errors']}, nginx 502 {r['nginx_502']})", str(r["lost"]), "",
                     f"of {r['requests']:,}", "", r["load"]))
        rows.append(("  the same: requests/s during the reloads", f"{r['rate']:,.0f}",
                     f"ideal {ideal:,.0f}", f"{r['rate'] / ideal:.3f}", "", ""))
    name = f"pool, CGIECHO_MAX_REQUESTS={MAX_REQUESTS}"
    recycled = measured(name, recycle_url, pool_body, LogTail(os.path.join(work, "recycle-access.log")))
    with urllib.request.urlopen(f"{base}/recycle/status", timeout=10) as answer:
        recycle_status = json.loads(answer.read())
    ok = recycled["lost"] == 0 and recycle_status["recycled"] > 0 and recycle_status["crashed"] == 0
    fail |= not ok
    rows.append((f"pool, CGIECHO_MAX_REQUESTS={MAX_REQUESTS} ({recycle_status['recycled']} workers recycled): "
                 f"requests lost (non-200 {recycled['non_200']}, socket {recycled['socket_errors']}, nginx 502 "
                 f"{recycled['nginx_502']})", str(recycled["lost"]), "0", f"of {recycled['requests']:,}",
                 "PASS" if ok else "MISS", loads[name]))
    rows.append(("  the same: requests/s while recycling", f"{recycled['rate']:,.0f}", f"ideal {ideal:,.0f}",
                 f"{recycled['rate'] / ideal:.3f}", "", ""))
    recycle_log.flush()
    with open(os.path.join(work, "recycle.err"), "rb") as f:
        for line in f.read().decode(errors="replace").splitlines():
            print("  recycling pool says:", line)
    for p in (nginx, php, pool, recycler):
        procs.stop(p)

    # --- the echo program: pool of 2 against one process, behind lighttpd ---
    pool_port, single_port, http_port = free_port(), free_port(), free_port()
    echo_pool_env = dict(os.environ, CGIECHO_WORKERS="2", CGIECHO_LISTEN=f"127.0.0.1:{pool_port}",
                         CGIECHO_STATUS_PATH="/pool-status")
    single_env = dict(os.environ, CGIECHO_LISTEN=f"127.0.0.1:{single_port}")
    for name in ("CGIECHO_WORKERS", "CGIECHO_MAX_REQUESTS", "CGIECHO_REQUEST_TIMEOUT", "CGIECHO_STATUS_PATH"):
        single_env.pop(name, None)
    echo_pool = procs.start("echo pool", [echo], env=echo_pool_env, stdin=devnull, stdout=devnull,
                            stderr=devnull)
    # The master's memory before it has served: measured as soon as its
    # workers are up (below), before any request.
    single = procs.start("echo single", [echo], env=single_env, stdin=devnull, stdout=devnull, stderr=devnull)
    os.makedirs(os.path.join(work, "htdocs"))
    with open(os.path.join(work, "lighttpd.conf"), "w") as f:
        f.write(f"""server.modules = ("mod_fastcgi")
server.document-root = "{work}/htdocs"
server.bind = "127.0.0.1"
server.port = {http_port}
server.errorlog = "{work}/lighttpd-error.log"
fastcgi.server = (
  "/pool/cgiecho" => (("host" => "127.0.0.1", "port" => {pool_port}, "check-local" => "disable")),
  "/pool-status" => (("host" => "127.0.0.1", "port" => {pool_port}, "check-local" => "disable")),
  "/single/cgiecho" => (("host" => "127.0.0.1", "port" => {single_port}, "check-local" => "disable")))
""")
    # Workers fresh: before lighttpd (and so before any request) exists.
    deadline = time.monotonic() + 30
    while len(children(echo_pool.pid)) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    workers = children(echo_pool.pid)
    master_before = private_kib(echo_pool.pid)
    fresh = {pid: private_kib(pid) for pid in workers}
    lighttpd = procs.start("lighttpd", ["lighttpd", "-D", "-f", f"{work}/lighttpd.conf"], stdin=devnull,
                           stdout=devnull, stderr=devnull)
    base = f"http://127.0.0.1:{http_port}"
    urls = {"pool": f"{base}/pool/cgiecho?{ECHO_QUERY}", "single": f"{base}/single/cgiecho?{ECHO_QUERY}"}
    bodies = {}
    for name, url in urls.items():
        wait_ready(url)
        bodies[name] = os.path.join(work, f"echo-{name}.body")
        with open(bodies[name], "wb") as f:
            f.write(fetch(url))

    print(f"== echo program behind lighttpd, wrk -t2 -c8, {SECONDS_EACH} s each, {ROUNDS} rounds", flush=True)
    master_during = []
    sampling = threading.Event()

    def sample_master():
        while not sampling.wait(1.0):
            master_during.append(private_kib(echo_pool.pid))

    def counts():
        with urllib.request.urlopen(f"{base}/pool-status", timeout=10) as r:
            status = json.loads(r.read())
        return {p["pid"]: p["requests"] for p in status["processes"]}

    ratios, pool_rates, single_rates, echo_failed = [], [], [], 0
    loads["echo"] = load_average()
    sampler = threading.Thread(target=sample_master)
    sampler.start()
    try:
        # Memory: load the pool alone until each worker has answered
        # MEMORY_REQUESTS of its own (bounded in rounds), then the rounds.
        for _ in range(30):
            if all(counts().get(pid, 0) >= MEMORY_REQUESTS for pid in workers):
                break
            echo_failed += wrk(urls["pool"], 8, 2, bodies["pool"])["failed"]
        served_10k = counts()
        time.sleep(0.5)
        at_10k = {pid: private_kib(pid) for pid in workers if os.path.exists(f"/proc/{pid}")}
        for i in range(ROUNDS):
            order = ("pool", "single") if i % 2 == 0 else ("single", "pool")
            rates = {}
            for name in order:
                r = wrk(urls[name], 8, SECONDS_EACH, bodies[name])
                rates[name] = r["rate"]
                echo_failed += r["failed"]
            pool_rates.append(rates["pool"])
            single_rates.append(rates["single"])
            ratios.append(rates["pool"] / rates["single"])
            print(f"round {i + 1}: pool of 2 {rates['pool']:.0f}/s, one process {rates['single']:.0f}/s, "
                  f"ratio {ratios[-1]:.3f} (load {load_average()})", flush=True)
    finally:
        sampling.set()
        sampler.join()
    served = counts()
    time.sleep(0.5)
    after = {pid: private_kib(pid) for pid in workers if os.path.exists(f"/proc/{pid}")}
    master_after = private_kib(echo_pool.pid)

    ratio = median(ratios)
    ok = ratio >= 0.95 and echo_failed == 0
    fail |= not ok
    rows.append((f"echo program, lighttpd, wrk -c8: pool of 2 / one process, median of {ROUNDS} rounds "
                 f"({median(pool_rates):,.0f}/s against {median(single_rates):,.0f}/s)", f"{ratio:.3f}",
                 "at least 0.95", "range " + f"{min(ratios):.3f}-{max(ratios):.3f}",
                 "PASS" if ok else "MISS", loads["echo"]))
    rows.append(("  the same: failed requests", str(echo_failed), "0", "", "PASS" if echo_failed == 0 else "MISS",
                 ""))
    for pid in workers:
        if pid not in after or pid not in at_10k:
            rows.append((f"echo worker {pid}: gone before it was measured (recycled?)", "", "", "", "MISS", ""))
            fail = True
            continue
        growth = at_10k[pid] - fresh[pid]
        ok = abs(growth) <= 1024
        fail |= not ok
        rows.append((f"echo worker {pid}: private memory fresh -> after {served_10k.get(pid, 0):,} requests",
                     f"{fresh[pid]:,} -> {at_10k[pid]:,} KiB", "growth at most 1,024 KiB", f"{growth:+,} KiB",
                     "PASS" if ok else "MISS", ""))
        rows.append((f"  the same worker after {served.get(pid, 0):,} requests", f"{after[pid]:,} KiB", "",
                     f"{after[pid] - fresh[pid]:+,} KiB", "", ""))
    peak = max(master_during + [master_after])
    ok = peak - master_before <= 1024
    fail |= not ok
    rows.append(("echo master: private memory before -> during load (max of "
                 f"{len(master_during)} samples) -> after",
                 f"{master_before:,} -> {peak:,} -> {master_after:,} KiB", "flat",
                 f"{peak - master_before:+,} KiB", "PASS" if ok else "MISS", ""))
    for p in (lighttpd, single, echo_pool):
        procs.stop(p)

    cores = os.cpu_count()
    print()
    print(f"Pool bench, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {cores} cores shared by server, "
          "load generator and responder")
    print()
    print("| Measurement | Figure | Target / ideal | Ratio | Verdict | Load average |")
    print("|---|---:|---:|---:|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    return 1 if fail else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
