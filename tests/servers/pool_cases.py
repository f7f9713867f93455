#!/usr/bin/env python3
"""A pool of worker processes (CGIECHO_WORKERS) spoken to in raw FastCGI
records on 127.0.0.1.

usage: pool_cases.py PROBE_RESPONDER ECHO_PROGRAM

One table of cases, each against a pool of its own, started from a copy of
the probe responder (tests/servers/probe_responder.cpp), whose handler can
be told to wait, crash or hang: a worker that crashes or is killed
mid-request, a hung request ended by CGIECHO_REQUEST_TIMEOUT, recycling
after CGIECHO_MAX_REQUESTS, reload under load with the program file
replaced first (by the echo program, and back), a reload whose workers
cannot start, stop by SIGTERM, SIGINT and SIGUSR1 with requests in hand,
the stop timeout, restart back-off (its lines one a second), a listener
that a handler shuts down (the master ends, status 1), what a worker
starts with (no systemd variable, figures sealed), socket activation through
systemd-socket-activate with a notification socket the test reads, the
status page, dropping to a user with the socket's mode and group, a
socket path in a folder all may write (its group and mode given, under
strace, through a private folder's descriptor only), what a program that
a handler starts inherits (single responders and workers, as root and
dropped to a user), the example systemd units checked by systemd-analyze;
then a
table of bad values, each of which must end the program at start with
status 2 and a line that names the variable. Every case is bounded in
time; every process a case starts (the master and each worker it saw) must
be gone when the case ends.

windows() is the Windows table, which fastcgi_cases.py --wine runs: the
crash (an access violation), the hung request, recycling, Ctrl+C and the
web server's shutdown event with requests in hand, the stop timeout, the
master killed, restart back-off, and bad values.
"""

import concurrent.futures
import grp
import itertools
import json
import os
import pwd
import re
import shutil
import signal
import socket
import stat
import subprocess
import threading
import time

import fcgi
from procs import (OWN, STATUS, ListeningResponder, Pool, WinePool, alive, descendants, free_port, in_threads,
                   require, wait_for, wine_environment, wine_processes)
from runner import Failure, Usage, check, in_folder, main
from webserver import Nginx, exchange

# The master's lines start with its own program name.
MASTER = r"[^\s:]+"


def worker_line(pool, how, script):
    """The pids of the line the master writes for a worker that ended
    mid-request, once it is there (the connection may close just before
    the master hears of the end)."""
    pattern = rf"^{MASTER}: worker (\d+) {re.escape(how)} while serving GET {re.escape(script)}; replaced$"
    wait_for(lambda: re.search(pattern, pool.log(), re.M), f"no line that a worker {how}: {pool.log()}", 10)
    return [int(p) for p in re.findall(pattern, pool.log(), re.M)]


def wait_busy(pool, count):
    """Until `count` requests other than the status page's are in hand (a
    worker that has just answered the page may still count as busy)."""
    def held():
        return sum(p["state"] == "busy" and p["script"] != STATUS for p in pool.status()["processes"]) >= count
    wait_for(held, f"{count} requests not in hand", 10)


# The cases. Each gets a work folder and the programs, and returns what it
# checked; a fault is a Failure (or an AssertionError) with what was seen.

def crashes_in(pool, end, how):
    """A crash (PROBE_END=`end`, logged as `how`) and an exit, each beside
    a request of another worker."""
    with concurrent.futures.ThreadPoolExecutor(1) as ex:
        slow = ex.submit(pool.ask, PROBE_SLEEP_MS=b"1500", SCRIPT_NAME=b"/slow")
        wait_busy(pool, 1)
        crashed = pool.ask(PROBE_END=end, SCRIPT_NAME=b"/crash", QUERY_STRING=b"token=secret")
        exited = pool.ask(PROBE_END=b"exit", SCRIPT_NAME=b"/exit\xe2\x80\xa8\xc2\x9b")  # U+2028, a C1 CSI
        assert crashed is None and exited is None, f"a crashed request was answered: {crashed!r} {exited!r}"
        assert slow.result().endswith(b"done\r\n"), "the request beside the crash was cut"
    pool.wait_workers(2)
    assert len(worker_line(pool, how, "/crash")) == 1, pool.log()
    assert len(worker_line(pool, "exited with status 3", r"/exit\xe2\x80\xa8\xc2\x9b")) == 1, pool.log()
    assert "secret" not in pool.log(), "the query string reached the log"
    figures = pool.status()
    assert figures["crashed"] == 2, figures
    assert pool.ask(PROBE_SLEEP_MS=b"1").endswith(b"done\r\n")


def crash(folder, probe, echo):
    with Pool(probe, folder, workers=2) as pool:
        crashes_in(pool, b"abort", "ended by signal 6 (SIGABRT)")
    return "a crash or an exit costs its own request; one line each; replaced"


def killed(folder, probe, echo):
    # Under spawn-fcgi, which hands the listening socket over on standard input.
    pool = Pool(probe, folder, workers=2, listen=False)
    pool.command = [require("spawn-fcgi"), "-n", "-a", "127.0.0.1", "-p", str(pool.port), "--", probe]
    with pool:
        with concurrent.futures.ThreadPoolExecutor(1) as ex:
            slow = ex.submit(pool.ask, PROBE_SLEEP_MS=b"5000", SCRIPT_NAME=b"/slow")
            wait_busy(pool, 1)
            busy = [p["pid"] for p in pool.status()["processes"] if p["state"] == "busy" and p["script"] == "/slow"]
            os.kill(busy[0], signal.SIGKILL)
            assert slow.result() is None, "a killed worker's request was answered"
        pool.wait_workers(2)
        assert worker_line(pool, "ended by signal 9 (SIGKILL)", "/slow") == busy, pool.log()
        assert pool.ask(PROBE_SLEEP_MS=b"1").endswith(b"done\r\n")
    return "under spawn-fcgi, a worker killed mid-request is logged and replaced"


def behind_nginx(folder, probe, echo):
    """As a user runs it: nginx in front (a new connection per request), the
    probe told what to do by the query string."""
    params = {"PROBE_END": "$arg_end", "PROBE_SLEEP_MS": "$arg_ms", "PROBE_PID": "1"}
    settings = {"CGIECHO_WORKERS": "2", "CGIECHO_REQUEST_TIMEOUT": "1", "CGIECHO_STATUS_PATH": "/cgi-bin/status"}
    with Nginx(probe, fastcgi="tcp", responder=ListeningResponder, env=params, responder_env=settings) as nginx:
        master = nginx.responders[0].proc.pid
        ours = {master}

        def get(query):
            answer = exchange(nginx.port, "GET", b"/cgi-bin/cgiecho?" + query, timeout=20)
            ours.update(int(p) for p in re.findall(rb"pid=(\d+)", answer.body))
            return answer
        with concurrent.futures.ThreadPoolExecutor(1) as ex:
            slow = ex.submit(get, b"ms=900")  # under the timeout of 1 s
            time.sleep(0.2)
            crashed, hung = get(b"end=abort"), get(b"end=hang")
            assert crashed.status == 502 and hung.status == 502, (crashed.status, hung.status)
            assert slow.result().status == 200 and slow.result().body.endswith(b"done\r\n"), slow.result().body
        # The master counts a worker when it has seen it end, a moment
        # after the web server saw its connection close.
        def counted():
            status = exchange(nginx.port, "GET", b"/cgi-bin/status", timeout=20)
            assert status.status == 200 and status.header("cache-control") == "no-store", status.headers
            figures = json.loads(status.body)
            return (figures["crashed"], figures["timed_out"]) == (1, 1) or figures
        wait_for(lambda: counted() is True, "the crash and the hang not counted once each", 5)
        ours.update(descendants(master))
    wait_for(lambda: not any(alive(p) for p in ours), "processes left behind", 10)
    return "behind nginx: a crash and a hang answer 502, the request beside them 200; the status page"


def master_killed(folder, probe, echo):
    with Pool(probe, folder, workers=3, CGIECHO_BACKLOG="37") as pool:
        listening = subprocess.run([require("ss"), "-ltnH", f"sport = :{pool.port}"], capture_output=True,
                                   text=True, timeout=10).stdout.split()
        assert listening[:3] == ["LISTEN", "0", "37"], listening
        workers = pool.pids()
        with concurrent.futures.ThreadPoolExecutor(1) as ex:
            slow = ex.submit(pool.ask, PROBE_SLEEP_MS=b"1000")
            wait_busy(pool, 1)
            pool.proc.kill()
            pool.proc.wait(5)
            # Each worker is told (SIGTERM) and answers what it holds.
            assert slow.result().endswith(b"done\r\n")
        wait_for(lambda: not any(alive(p) for p in workers), "workers outlived their master", 10)
    return "CGIECHO_BACKLOG=37 on the socket; the master killed: its workers answer and end"


def hung_in(pool, how):
    """A hung request under CGIECHO_REQUEST_TIMEOUT=1, its end logged as
    `how`: the seconds it took."""
    began = time.monotonic()
    assert pool.ask(PROBE_END=b"hang", SCRIPT_NAME=b"/hang") is None, "a hung request was answered"
    took = time.monotonic() - began
    assert 0.9 <= took <= 4, f"ended after {took:.1f} s"
    pool.wait_workers(2)
    assert len(worker_line(pool, how, "/hang")) == 1, pool.log()
    figures = pool.status()
    assert (figures["timed_out"], figures["crashed"]) == (1, 0), figures
    # A request under the timeout is left alone.
    assert pool.ask(PROBE_SLEEP_MS=b"300").endswith(b"done\r\n")
    return f"a hung request ended after {took:.1f} s (CGIECHO_REQUEST_TIMEOUT=1)"


def hung(folder, probe, echo):
    with Pool(probe, folder, workers=2, CGIECHO_REQUEST_TIMEOUT="1") as pool:
        return hung_in(pool, "ended by signal 9 (SIGKILL)")


def recycled_in(pool):
    """10 requests to one worker under CGIECHO_MAX_REQUESTS=3: the pids
    that answered."""
    pids = []
    for _ in range(10):
        answer = pool.ask(PROBE_PID=b"1")
        assert answer is not None and answer.endswith(b"done\r\n"), f"request lost: {answer!r}"
        pids.append(int(re.search(rb"pid=(\d+)", answer).group(1)))
    # The first worker answered the status page at start too.
    runs = [len(list(group)) for _, group in itertools.groupby(pids)]
    assert runs == [2, 3, 3, 2], pids
    wait_for(lambda: pool.status()["recycled"] >= 3, "recycled workers not counted", 10)
    assert not re.search(rf"^{MASTER}: worker", pool.log(), re.M), pool.log()
    return pids


def recycling(folder, probe, echo):
    with Pool(probe, folder, workers=1, CGIECHO_MAX_REQUESTS="3") as pool:
        pool.seen.update(recycled_in(pool))
    return "a worker leaves after 3 requests, none lost"


def load(pool, seconds, stop):
    """Requests on a new connection each from 4 threads until `stop` is
    set (at most `seconds`): (answers, failures)."""
    def one_thread():
        answers, failures = 0, []
        end = time.monotonic() + seconds
        while not stop.is_set() and time.monotonic() < end:
            try:
                answer = pool.ask(PROBE_SLEEP_MS=b"20", timeout=10)
            except OSError as e:
                answer = e
            if isinstance(answer, bytes) and answer.startswith(b"Content-"):
                answers += 1
            else:
                failures.append(answer)
        return answers, failures
    return in_threads([one_thread] * 4)


def reload_under_load(folder, probe, echo):
    app = os.path.join(folder, "app")
    shutil.copyfile(probe, app)
    os.chmod(app, 0o755)
    with Pool(app, folder, workers=3) as pool:
        master = pool.proc.pid
        stop = threading.Event()
        with concurrent.futures.ThreadPoolExecutor(1) as ex:
            loaded = ex.submit(load, pool, 20, stop)
            try:
                for reloads, program in enumerate((echo, probe, echo), 1):
                    time.sleep(0.5)
                    # As a package manager replaces a file: a new one renamed over it.
                    shutil.copyfile(program, app + ".new")
                    os.chmod(app + ".new", 0o755)
                    os.rename(app + ".new", app)
                    pool.proc.send_signal(signal.SIGHUP)
                    wait_for(lambda: pool.status()["reloads"] >= reloads, f"reload {reloads} not done", 15)
                time.sleep(0.5)
            finally:
                stop.set()
            results = loaded.result()
        answers = sum(a for a, _ in results)
        failures = [f for _, fs in results for f in fs]
        assert not failures, f"{len(failures)} of {answers + len(failures)} requests failed: {failures[:3]}"
        assert answers > 20, f"only {answers} requests answered"
        assert pool.proc.pid == master and pool.proc.poll() is None
        assert b"done\r\n" not in pool.ask(PROBE_SLEEP_MS=b"1"), "the old program still answers"
        assert not re.search(rf"^{MASTER}: worker", pool.log(), re.M) and "reload failed" not in pool.log(), pool.log()
    return f"3 reloads under load, the file replaced first: {answers} answered, none lost, master kept its pid"


def program_paths(folder, probe, echo):
    """Workers start from argv[0] made absolute when the program started: a
    relative path, a bare name found along PATH (in an absolute folder or a
    relative one), and a symbolic link that a deployment switches before the
    reload."""
    for release, program in (("one", probe), ("two", echo)):
        os.makedirs(os.path.join(folder, release))
        shutil.copyfile(program, os.path.join(folder, release, "app"))
        os.chmod(os.path.join(folder, release, "app"), 0o755)
    os.symlink("one", os.path.join(folder, "current"))
    starts = [(["current/app"], None), (["app"], os.path.join(folder, "current")), (["app"], "current")]
    for command, path in starts:
        pool = Pool(probe, folder, workers=2, command=command)
        pool.cwd = folder
        if path:
            pool.env["PATH"] = path + ":" + pool.env.get("PATH", "/usr/bin")
        with pool:
            # The starting folder no longer matters once the program runs.
            assert pool.ask(PROBE_SLEEP_MS=b"1").endswith(b"done\r\n")
            os.symlink("two", os.path.join(folder, "next"))
            os.rename(os.path.join(folder, "next"), os.path.join(folder, "current"))
            pool.proc.send_signal(signal.SIGHUP)
            wait_for(lambda: pool.status()["reloads"] == 1, f"{command}: reload not done: {pool.log()}", 15)
            wait_for(lambda: b"done\r\n" not in pool.ask(PROBE_SLEEP_MS=b"1"), "the old release still answers", 10)
        os.unlink(os.path.join(folder, "current"))
        os.symlink("one", os.path.join(folder, "current"))
    return ("started as current/app and as a bare name on PATH, absolute or relative; a switched link is what a "
            "reload runs")


def reload_fails(folder, probe, echo):
    die = os.path.join(folder, "die")
    app = os.path.join(folder, "app")
    shutil.copyfile(probe, app)
    os.chmod(app, 0o755)
    hang = os.path.join(folder, "hang")
    failures = [
        # The file gone, as in the middle of an upgrade.
        (lambda: os.rename(app, app + ".away"), lambda: os.rename(app + ".away", app),
         rf"cannot open {re.escape(app)}: No such file or directory"),
        # A new version that ends at start.
        (lambda: open(die, "w").close(), lambda: os.unlink(die),
         r"the new worker \d+ exited with status 3 before it could serve"),
        # One that never gets ready.
        (lambda: open(hang, "w").close(), lambda: os.unlink(hang),
         r"its workers did not start within CGIECHO_RELOAD_TIMEOUT \(1 s\)"),
    ]
    with Pool(app, folder, workers=2, PROBE_DIE_FILE=die, PROBE_HANG_FILE=hang, CGIECHO_RELOAD_TIMEOUT="1") as pool:
        before = pool.pids()
        for make, mend, why in failures:
            make()
            pool.proc.send_signal(signal.SIGHUP)
            line = rf"^{MASTER}: reload failed: {why}; the running workers go on serving$"
            wait_for(lambda: re.search(line, pool.log(), re.M), f"no line {line!r}", 15)
            assert pool.pids() == before, "the old workers did not go on"
            assert pool.ask(PROBE_SLEEP_MS=b"1").endswith(b"done\r\n")
            mend()
        pool.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: pool.status()["reloads"] == 1, "the next reload not done", 15)
        wait_for(lambda: not set(pool.pids()) & set(before), "old workers left after a reload", 10)
    return ("a reload without its file, one whose workers end at start and one whose workers never get ready "
            "leave the old workers serving; the next one works")


def stopped_in_hand(pool, sig):
    """`sig` to the master with 2 requests in hand."""
    asks = [lambda: pool.ask(PROBE_SLEEP_MS=b"1500", SCRIPT_NAME=b"/slow")] * 2
    with concurrent.futures.ThreadPoolExecutor(2) as ex:
        slow = [ex.submit(a) for a in asks]
        wait_busy(pool, 2)
        assert pool.stop(sig, timeout=15) == 0, "the master did not exit 0"
        answers = [f.result() for f in slow]
    assert all(a is not None and a.endswith(b"done\r\n") for a in answers), answers
    try:
        pool.connect(2).close()
        raise Failure("still listening after the stop")
    except ConnectionRefusedError:
        pass


def stop_in_hand(sig):
    def case(folder, probe, echo):
        with Pool(probe, folder, workers=3) as pool:
            stopped_in_hand(pool, sig)
        return f"{signal.Signals(sig).name} with 2 requests in hand: both answered, exit 0"
    case.__name__ = f"stop_{signal.Signals(sig).name}"
    return case


def stop_timed_out(pool):
    """A stop under CGIECHO_STOP_TIMEOUT=1 with a hung request in hand."""
    with concurrent.futures.ThreadPoolExecutor(1) as ex:
        hang = ex.submit(pool.ask, PROBE_END=b"hang")
        wait_busy(pool, 1)
        began = time.monotonic()
        assert pool.stop() == 0
        took = time.monotonic() - began
        assert hang.result() is None
    assert 0.9 <= took <= 5, f"stopped after {took:.1f} s"
    return f"CGIECHO_STOP_TIMEOUT=1 ends a hung request: stopped after {took:.1f} s"


def stop_timeout(folder, probe, echo):
    with Pool(probe, folder, workers=2, CGIECHO_STOP_TIMEOUT="1") as pool:
        return stop_timed_out(pool)


def backed_off(pool, die, end_workers):
    """The file `die` made (a new worker that finds it ends with status 3),
    the workers ended by `end_workers`: the restarts in the next 3 s."""
    open(die, "w").close()
    end_workers()
    time.sleep(3)
    # Lines of one way of ending come one a second, with a count of the rest.
    log = pool.log()
    starts = len(re.findall(rf"^{MASTER}: worker \d+ exited with status 3; replaced$", log, re.M)) + sum(
        int(n) for n in re.findall(rf"^{MASTER}: (\d+) more workers ended the same way: exited with status 3 ", log, re.M))
    assert 3 <= starts <= 20, f"{starts} failed starts in 3 s: {log}"
    assert len(log.splitlines()) <= 12, f"{len(log.splitlines())} lines in 3 s: {log}"
    os.unlink(die)
    pool.wait_workers(2, timeout=10)
    assert pool.ask(PROBE_SLEEP_MS=b"1").endswith(b"done\r\n")
    return f"workers that end at start: {starts} restarts in 3 s, then back to serving"


def backoff(folder, probe, echo):
    die = os.path.join(folder, "die")
    with Pool(probe, folder, workers=2, PROBE_DIE_FILE=die) as pool:
        return backed_off(pool, die, lambda: [os.kill(pid, signal.SIGKILL) for pid in pool.pids()])


def listener_shut(kind):
    """A handler shuts the listening socket down, for every process that
    holds it: the master ends with status 1 and says why once, without
    starting workers that cannot serve as fast as they fail."""
    def case(folder, probe, echo):
        listen = os.path.join(folder, "pool.sock") if kind == "unix" else None
        with Pool(probe, folder, workers=2, listen=listen) as pool:
            answer = pool.ask(PROBE_END=b"shutdown")
            assert answer is not None and answer.endswith(b"done\r\n"), f"the request in hand was cut: {answer!r}"
            began = time.monotonic()
            status = pool.proc.wait(10)
            took = time.monotonic() - began
            lines = pool.log().splitlines()
            assert status == 1, f"exit status {status}: {lines}"
            said = [l for l in lines if re.match(rf"{MASTER}: the listening socket no longer accepts connections", l)]
            assert len(said) == 1, lines
            assert len(lines) <= 20, f"{len(lines)} lines: {lines}"
        return f"{kind}: a handler shuts the listener down: status 1 after {took:.1f} s, {len(lines)} lines"
    case.__name__ = f"listener_shut_{kind}"
    return case


def worker_given(folder, probe, echo):
    """What a worker starts with: none of systemd's variables (the master
    still notifies), and shared figures that no one who holds their
    descriptor can shrink or grow under the master."""
    notes = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notes.bind(os.path.join(folder, "notify"))
    notes.settimeout(15)
    settings = dict(NOTIFY_SOCKET=notes.getsockname(), LISTEN_FDS="1", LISTEN_PID="1", LISTEN_FDNAMES="web")
    try:
        with Pool(probe, folder, workers=2, **settings) as pool:
            assert notes.recv(4096).startswith(b"READY=1\n"), "the master did not notify"
            answer = pool.ask(PROBE_OWN_ENV=",".join(OWN).encode())
            assert answer is not None and b"".join(b" %s unset" % n.encode() for n in OWN) in answer, answer
            master = f"/proc/{pool.proc.pid}/fd"
            memfd = next(n for n in os.listdir(master) if os.readlink(f"{master}/{n}").startswith("/memfd:cgiecho-pool"))
            shared = os.open(f"{master}/{memfd}", os.O_RDWR)
            try:
                for size in (0, 1 << 30):
                    try:
                        os.ftruncate(shared, size)
                        raise Failure(f"the shared figures were resized to {size}")
                    except PermissionError:
                        pass
            finally:
                os.close(shared)
            assert pool.ask(PROBE_SLEEP_MS=b"1").endswith(b"done\r\n")
    finally:
        notes.close()
    return "workers get no NOTIFY_SOCKET or LISTEN_*, the master still notifies; the figures cannot be resized"


def activation(folder, probe, echo):
    tool = require("systemd-socket-activate")
    path = os.path.join(folder, "notify")
    notes = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notes.bind(path)
    notes.settimeout(15)
    pool = Pool(probe, folder, workers=2, listen=False, NOTIFY_SOCKET=path)
    # The tool passes on only the variables it is told to.
    passed = [x for k in ("PATH", "CGIECHO_WORKERS", "CGIECHO_STATUS_PATH", "NOTIFY_SOCKET") for x in ("-E", k)]
    pool.command = [tool, "-l", f"127.0.0.1:{pool.port}", *passed, probe]
    with pool:
        def note():
            """The next note but those of the figures alone, sent now and then."""
            while True:
                said = notes.recv(4096).decode()
                if not said.startswith("STATUS="):
                    return said
        first = note()
        assert first.startswith("READY=1\nSTATUS=2 workers"), first
        pool.proc.send_signal(signal.SIGHUP)
        reloading = note()
        assert re.fullmatch(r"RELOADING=1\nMONOTONIC_USEC=\d+", reloading), reloading
        assert note().startswith("READY=1\n")
        assert pool.status()["reloads"] == 1
        assert pool.stop() == 0
        assert note() == "STOPPING=1"
    notes.close()
    # Two sockets: the program takes one only, and says so.
    ports = [free_port(), free_port()]
    two = subprocess.Popen([tool, *(x for p in ports for x in ("-l", f"127.0.0.1:{p}")), "-E", "CGIECHO_WORKERS",
                            probe], env=pool.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
    try:
        def started():
            try:
                fcgi.connect(("127.0.0.1", ports[0]), 1).close()
                return True
            except OSError:
                return False
        wait_for(started, "systemd-socket-activate not listening", 10)
        _, said = two.communicate(timeout=10)
    finally:
        if two.poll() is None:
            two.kill()
            two.wait(5)
    assert two.returncode == 2 and b"LISTEN_FDS=2: one socket only" in said, (two.returncode, said)
    return "a socket from systemd-socket-activate; READY, RELOADING, READY, STOPPING; two sockets refused"


def status_page(folder, probe, echo):
    with Pool(probe, folder, workers=2) as pool:
        with concurrent.futures.ThreadPoolExecutor(1) as ex:
            slow = ex.submit(pool.ask, PROBE_SLEEP_MS=b"1500", SCRIPT_NAME=b"/slow", QUERY_STRING=b"key=secret")
            wait_busy(pool, 1)
            time.sleep(1.1)
            figures = pool.status()
            assert slow.result().endswith(b"done\r\n")
        head = pool.last_head.lower()
        assert b"cache-control: no-store" in head and b"content-type: application/json" in head, head
        keys = ["start_time", "workers", "busy", "idle", "max_busy", "all_busy_count", "accepted", "answered",
                "crashed", "timed_out", "recycled", "reloads", "processes"]
        assert list(figures) == keys, list(figures)
        assert (figures["workers"], figures["busy"], figures["idle"]) == (2, 2, 0), figures
        assert abs(figures["start_time"] - time.time()) < 60
        slow_one = [p for p in figures["processes"] if p.get("script") == "/slow"]
        assert len(slow_one) == 1 and slow_one[0]["method"] == "GET" and slow_one[0]["seconds"] >= 1, figures
        assert "secret" not in json.dumps(figures)
        after = pool.status()
        assert after["answered"] >= 2 and after["max_busy"] == 2 and after["all_busy_count"] >= 1, after
    return "the status page: every figure, the request in hand, no query string"


def ids(pid):
    """The user, the group and the groups a process runs with."""
    with open(f"/proc/{pid}/status") as f:
        fields = dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)
    return int(fields["Uid"].split()[0]), int(fields["Gid"].split()[0]), [int(g) for g in fields["Groups"].split()]


def uid(pid):
    return ids(pid)[0]


def user_drop(folder, probe, echo):
    app = os.path.join(folder, "app")
    shutil.copyfile(probe, app)
    os.chmod(app, 0o755)
    sock = os.path.join(folder, "pool.sock")
    if os.geteuid() != 0:
        # Only root can become another user: the refusal is what is left to check.
        result = subprocess.run([app], env=dict(CGIECHO_LISTEN=sock, CGIECHO_USER="root"),
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=10)
        assert result.returncode == 2 and b"CGIECHO_USER=root" in result.stderr, result
        return "not root: a change of user is refused"
    nobody, nogroup = pwd.getpwnam("nobody"), grp.getgrnam("nogroup")
    with Pool(app, folder, workers=2, listen=sock, CGIECHO_USER="nobody", CGIECHO_LISTEN_GROUP="nogroup",
              CGIECHO_LISTEN_MODE="0660") as pool:
        seen = os.stat(sock)
        assert stat.S_IMODE(seen.st_mode) == 0o660 and seen.st_gid == nogroup.gr_gid, oct(seen.st_mode)

        assert all(ids(p) == (nobody.pw_uid, nogroup.gr_gid, [nogroup.gr_gid]) for p in pool.pids())
        assert uid(pool.proc.pid) == 0
        with open(f"/proc/{pool.proc.pid}/status") as f:
            caps = {k: int(v, 16) for k, v in (line.split(":") for line in f if line.startswith("Cap"))}
        # CAP_KILL, CAP_SETGID and CAP_SETUID, and nothing else.
        assert caps["CapEff"] == caps["CapPrm"] == 0xE0 and caps["CapInh"] == 0, caps
        # A reload still starts workers as the user.
        pool.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: pool.status()["reloads"] == 1, "reload not done", 15)
        wait_for(lambda: len(pool.pids()) == 2, "the old workers did not leave", 15)
        assert all(uid(p) == nobody.pw_uid for p in pool.pids())
        assert pool.ask(PROBE_SLEEP_MS=b"1").endswith(b"done\r\n")
    # A responder of one process changes user once its socket is open; a
    # user number no account file lists (a directory service's) takes its
    # group from CGIECHO_GROUP.
    environment = {k: v for k, v in os.environ.items() if not k.startswith("CGIECHO_")}
    unlisted = next(n for n in itertools.count(4242) if not any(e.pw_uid == n for e in pwd.getpwall()))
    with ListeningResponder(app, folder, tcp=False, name="single",
                            env=dict(environment, CGIECHO_USER=str(unlisted), CGIECHO_GROUP=str(unlisted + 1))) as r:
        with r.connect() as s:
            answer = fcgi.ask(s, fcgi.env("GET", PROBE_SLEEP_MS=b"1"), keep=False)
        assert answer is not None and answer.endswith(b"done\r\n"), answer
        assert ids(r.proc.pid) == (unlisted, unlisted + 1, [unlisted + 1])
    assert not alive(r.proc.pid)
    return ("workers run as nobody:nogroup, the master as root with 3 privileges; the socket 0660, group nogroup; "
            "a single responder runs as a user number no account file lists")


def socket_made_aside(folder, probe, echo):
    """A socket path in a folder that every user may write (no sticky bit):
    its group and mode are given in a folder of the responder's own, through
    that folder's descriptor, never by a name that another user could swap
    for a link; it appears with both, and nothing is left beside it."""
    shared = os.path.join(folder, "shared")
    os.mkdir(shared)
    os.chmod(shared, 0o777)
    sock, trace = os.path.join(shared, "app.sock"), os.path.join(folder, "trace")
    group = grp.getgrnam("nogroup").gr_gid if os.geteuid() == 0 else os.getgid()
    changes = "chown,fchown,lchown,fchownat,chmod,fchmod,fchmodat"
    strace = [require("strace"), "-qq", "-o", trace, "-e", f"trace={changes}", probe]
    with Pool(probe, folder, workers=0, listen=sock, command=strace, CGIECHO_LISTEN_GROUP=str(group),
              CGIECHO_LISTEN_MODE="0640") as pool:
        seen = os.stat(sock)
        assert stat.S_ISSOCK(seen.st_mode) and stat.S_IMODE(seen.st_mode) == 0o640 and seen.st_gid == group, seen
        assert os.listdir(shared) == ["app.sock"], os.listdir(shared)
        assert pool.ask(PROBE_SLEEP_MS=b"1").endswith(b"done\r\n")
        # strace passes no SIGTERM on: the responder is stopped itself.
        for pid in descendants(pool.proc.pid):
            os.kill(pid, signal.SIGTERM)
        pool.proc.wait(10)
    calls = [line for line in open(trace).read().splitlines() if re.match(r"\w+\(", line)]
    assert calls and all(re.match(r'f(chown|chmod)at\(\d+, "socket", ', c) for c in calls), calls
    return f"a socket in a folder all may write: {len(calls)} changes, each through a private folder's descriptor"


# How a handler's process is started; whether it changes user (a root-only
# file is left open to it then, as a launcher's `9<file` would).
HANDLER_STARTS = [("a single responder", 0, False), ("a pool's worker", 2, False),
                  ("a single responder as nobody", 0, True), ("a pool's worker as nobody", 2, True)]


def handler_descriptors(folder, probe, echo):
    """What a program that a handler starts (popen, as system() does)
    inherits: standard input /dev/null and the handler's output and error,
    never the listening socket; and what the handler's process holds: a
    descriptor its root launcher left open is closed before it runs as the
    user."""
    app = os.path.join(folder, "app")
    shutil.copyfile(probe, app)
    os.chmod(app, 0o755)
    secret = os.path.join(folder, "secret")
    with open(secret, "w") as f:
        f.write("root only")
    os.chmod(secret, 0o600)
    rows = [row for row in HANDLER_STARTS if os.geteuid() == 0 or not row[2]]
    for label, workers, drops in rows:
        left = [os.open(secret, os.O_RDONLY)] if drops else []
        user = {"CGIECHO_USER": "nobody"} if drops else {}
        try:
            with Pool(app, folder, workers=workers, pass_fds=left, **user) as pool:
                answer = pool.ask(PROBE_FDS=b"1", PROBE_PID=b"1")
                assert answer is not None and answer.endswith(b"done\r\n"), (label, answer)
                pid = int(re.search(rb"pid=(\d+)", answer).group(1))
                held = {os.readlink(f"/proc/{pid}/fd/{n}") for n in os.listdir(f"/proc/{pid}/fd")}
        finally:
            for fd in left:
                os.close(fd)
        child = dict(e.split(":", 1) for e in re.search(rb"fds=(.*)\r\n", answer).group(1).decode().split())
        assert sorted(child) == ["0", "1", "2"] and child["0"] == "/dev/null", (label, child)
        assert secret not in held, (label, held)
    return f"{len(rows)} starts: a handler's child holds /dev/null, its output and error only; no root-only file"


def units(folder, probe, echo):
    """The example units of docs/systemd, as systemd would load them, with
    the probe for the program."""
    tool = require("systemd-analyze")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "systemd")
    names = ("cgiecho.socket", "cgiecho.service")
    for name in names:
        with open(os.path.join(source, name)) as f:
            text = f.read()
        with open(os.path.join(folder, name), "w") as f:
            f.write(text.replace("ExecStart=/usr/bin/cgiecho", f"ExecStart={probe}"))
    result = subprocess.run([tool, "verify", *names], cwd=folder, capture_output=True, timeout=60)
    assert result.returncode == 0 and not result.stderr.strip(), result
    return "the example .socket and .service pass systemd-analyze verify"


def readme_example(folder, probe, echo):
    """The README's pool, with its own settings, on the echo program."""
    page = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")).read()
    block = re.search(r"\n## A pool of workers\n.*?```sh\n(.*?)```", page, re.S).group(1)
    command = block.replace("\\\n", " ").splitlines()[0]
    settings = dict(re.findall(r"(CGIECHO_\w+)=(\S+)", command))
    assert command.rstrip(" &").endswith("build/cgiecho") and "kill -HUP $!" in block and "kill -TERM $!" in block, block
    del settings["CGIECHO_LISTEN"]  # a free port of the test's instead
    with Pool(echo, folder, workers=int(settings.pop("CGIECHO_WORKERS")), **settings) as pool:
        page = pool.ask(QUERY_STRING=b"name=Ann&note=a%3Cb")
        assert page.startswith(b"Content-type: text/html\r\n\r\n") and b"<body>name=Ann&note=a%3Cb\r\n" in page, page
        pool.proc.send_signal(signal.SIGHUP)
        wait_for(lambda: pool.status()["reloads"] == 1, "the README's reload did not happen", 20)
        assert pool.stop() == 0
    return f"the README's pool ({len(settings) + 1} settings) answers, reloads and stops with status 0"


CASES = [crash, behind_nginx, killed, master_killed, hung, recycling, reload_under_load, program_paths, reload_fails, *map(stop_in_hand, (
    signal.SIGTERM, signal.SIGINT, signal.SIGUSR1)), stop_timeout, backoff, *map(listener_shut, ("tcp", "unix")),
         worker_given, activation, units, status_page, user_drop, socket_made_aside, handler_descriptors, readme_example]

# A value that is not one ends the program at start, status 2, with a line
# that names the variable and the value.
BAD_VALUES = [
    {"CGIECHO_WORKERS": "many"},
    {"CGIECHO_WORKERS": "0"},
    {"CGIECHO_WORKERS": "99999"},
    {"CGIECHO_WORKERS": "2", "CGIECHO_REQUEST_TIMEOUT": "-1"},
    {"CGIECHO_WORKERS": "2", "CGIECHO_MAX_REQUESTS": "0"},
    {"CGIECHO_WORKERS": "2", "CGIECHO_STOP_TIMEOUT": "3601"},
    {"CGIECHO_WORKERS": "2", "CGIECHO_RELOAD_TIMEOUT": "0"},
    {"CGIECHO_LISTEN_MODE": "0999"},
    {"CGIECHO_BACKLOG": "lots"},
    {"CGIECHO_USER": "no-such-user-of-cgiecho"},
    {"CGIECHO_USER": "4294967295"},
    {"CGIECHO_USER": str(next(n for n in itertools.count(4242) if not any(e.pw_uid == n for e in pwd.getpwall())))},
    {"CGIECHO_LISTEN_GROUP": "no-such-group-of-cgiecho"},
    {"CGIECHO_USER": "root", "CGIECHO_GROUP": "no-such-group-of-cgiecho"},
    {"CGIECHO_REQUEST_TIMEOUT": "5"},
    {"CGIECHO_WORKERS": "2", "CGIECHO_STATUS_PATH": "status"},
]


def bad_values(command, table=BAD_VALUES, base=os.environ):
    problems = []
    for settings in table:
        named = list(settings.items())[-1]
        environment = {k: v for k, v in base.items() if not k.startswith("CGIECHO_") and k not in OWN}
        environment.update(settings, CGIECHO_LISTEN=f"127.0.0.1:{free_port()}")
        result = subprocess.run(command, env=environment, stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        line = f"FastCGI responder: {named[0]}={named[1]}: "
        if result.returncode != 2 or line.encode() not in result.stderr:
            problems.append(f"{settings}: status {result.returncode}, {result.stderr!r}")
    return problems


def wine_crash(loader, folder, probe):
    with WinePool(loader, probe, folder) as pool:
        crashes_in(pool, b"segv", "ended by exception 0xC0000005 (access violation)")
        # Wine's debugger, had it started, would have printed its report.
        assert "nhandled exception" not in pool.log(), pool.log()
    return "an access violation and an exit cost their own request; one line each; replaced, no debugger"


def wine_hung(loader, folder, probe):
    with WinePool(loader, probe, folder, CGIECHO_REQUEST_TIMEOUT="1") as pool:
        return hung_in(pool, "was ended over CGIECHO_REQUEST_TIMEOUT=1")


def wine_recycling(loader, folder, probe):
    with WinePool(loader, probe, folder, workers=1, CGIECHO_MAX_REQUESTS="3") as pool:
        recycled_in(pool)
    return "a worker leaves after 3 requests, none lost"


def wine_stop_in_hand(loader, folder, probe):
    with WinePool(loader, probe, folder, workers=3) as pool:
        stopped_in_hand(pool, signal.SIGINT)
    return "Ctrl+C with 2 requests in hand: both answered, exit 0"


def wine_stop_timeout(loader, folder, probe):
    with WinePool(loader, probe, folder, CGIECHO_STOP_TIMEOUT="1") as pool:
        return stop_timed_out(pool)


def wine_master_killed(loader, folder, probe):
    with WinePool(loader, probe, folder, workers=3) as pool:
        assert len(wine_processes(probe)) == 4, wine_processes(probe)
        pool.proc.kill()
        pool.proc.wait(5)
        wait_for(lambda: not wine_processes(probe), "workers outlived their master", 10)
    return "the master killed: its job object ends the workers"


def wine_backoff(loader, folder, probe):
    die = os.path.join(folder, "die")
    # The probe looks for the file by its Windows name.
    with WinePool(loader, probe, folder, PROBE_DIE_FILE="z:" + die.replace("/", "\\")) as pool:
        return backed_off(pool, die, lambda: [pool.ask(PROBE_END=b"exit") for _ in range(2)])


def wine_shutdown_event(loader, folder, probe, host):
    """Started as a Windows web server starts a responder, with the event
    it sets to ask it to end."""
    pool = WinePool(loader, probe, folder, workers=2)
    pool.command = [loader, host, "event", probe]
    with pool:
        with concurrent.futures.ThreadPoolExecutor(1) as ex:
            slow = ex.submit(pool.ask, PROBE_SLEEP_MS=b"1500", SCRIPT_NAME=b"/slow")
            wait_busy(pool, 1)
            pool.proc.stdin.write(b"stop\n")
            pool.proc.stdin.flush()
            wait_for(lambda: re.search(r"^exited \d+", pool.log(), re.M), "the master did not end", 15)
            assert slow.result().endswith(b"done\r\n"), "the request in hand was cut"
        assert re.search(r"^exited 0\r?$", pool.log(), re.M), pool.log()
        pool.proc.stdin.close()
        pool.proc.wait(10)
    return "the web server's shutdown event with a request in hand: answered, exit 0"


WINDOWS_CASES = [wine_crash, wine_hung, wine_recycling, wine_stop_in_hand, wine_stop_timeout, wine_master_killed,
                 wine_backoff, wine_shutdown_event]

# Windows: the shared settings refused the same way, and the POSIX-only ones.
POSIX_ONLY = {"CGIECHO_USER", "CGIECHO_GROUP", "CGIECHO_LISTEN_GROUP", "CGIECHO_LISTEN_MODE"}
BAD_VALUES_WINDOWS = [row for row in BAD_VALUES if not POSIX_ONLY & row.keys()] + [
    {"CGIECHO_USER": "someone"}, {"CGIECHO_LISTEN_GROUP": "staff"}, {"CGIECHO_LISTEN_MODE": "0660"},
    {"CGIECHO_WORKERS": "2", "CGIECHO_RELOAD_TIMEOUT": "60"}]


def run_table(cases, label, call):
    """Each case in a work folder of its own, `call(case, folder)` giving
    what it checked."""
    for case in cases:
        in_folder(f"{label}{case.__name__}", lambda folder: call(case, folder), f"cgiecho-pool-{case.__name__}-",
                  logs=["pool.log"])


def windows(loader, probe, host):
    """The Windows table, then its bad values. `host` is
    tests/servers/fcgi_pipe_host.cpp's program."""
    label = "pool under Wine, "
    run_table(WINDOWS_CASES, label, lambda case, folder: case(
        loader, folder, probe, *((host,) if case is wine_shutdown_event else ())))
    problems = bad_values([loader, probe], BAD_VALUES_WINDOWS, wine_environment())
    left = wine_processes(probe)
    if left:
        problems.append(f"left running: {left}")
    check(f"{label}bad values: {len(BAD_VALUES_WINDOWS)} refused with status 2", problems)


def cases(args):
    if len(args) != 2:
        raise Usage
    probe, echo = map(os.path.abspath, args)
    run_table(CASES, "", lambda case, folder: case(folder, probe, echo))
    check(f"bad values: {len(BAD_VALUES)} refused with status 2", bad_values([probe]))


if __name__ == "__main__":
    main(cases, __doc__)
