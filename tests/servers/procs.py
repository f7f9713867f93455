"""The processes the cases start: tools found or the test failed, a
process started with its output in a log, stopped with whatever it
started; FastCGI responders (spawn-fcgi's, or listening by themselves) and
a pool of workers, each on 127.0.0.1 or a socket path."""

import concurrent.futures
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import time

import fcgi
from runner import Failure

START_TIMEOUT = 20.0


def require(tool):
    """A missing tool fails the test: it must never pass by skipping."""
    path = shutil.which(tool) or (tool if os.access(tool, os.X_OK) else None)
    if not path:
        raise Failure(f"required tool not found: {tool} (run scripts/deps.sh)")
    return path


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def web_server_user():
    """The owner and mode a Unix socket gets so that the servers' workers
    (www-data, when the tests run as root) may connect and other users may
    not: as spawn-fcgi's options, and as (uid, gid, mode) for a chown."""
    if os.geteuid() == 0:
        www = pwd.getpwnam("www-data")
        return ["-U", "www-data", "-G", "www-data", "-M", "0660"], (www.pw_uid, www.pw_gid, 0o660)
    return ["-M", "0600"], (-1, -1, 0o600)  # the servers then run as this user too


def wine_environment(**extra):
    """The environment a Windows program runs in under Wine: this one (with
    the WINEPREFIX and WINEARCH the caller chose), less what Wine prints."""
    return dict(os.environ, WINEDEBUG="-all", **extra)


def launch(argv, log, stdin=subprocess.DEVNULL, stdout=None, **options):
    """argv started with its standard error, and its output unless `stdout`
    says otherwise, appended to the file `log`."""
    with open(log, "ab") as out:
        return subprocess.Popen(argv, stdin=stdin, stdout=out if stdout is None else stdout, stderr=out, **options)


def in_threads(calls):
    """Each call in a thread of its own, all at once: their results."""
    with concurrent.futures.ThreadPoolExecutor(len(calls)) as ex:
        return [f.result() for f in [ex.submit(c) for c in calls]]


def descendants(pid):
    """Every live process below pid, found through /proc parent links."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(b")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def alive(pid):
    """True while pid is a process that has not ended (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            data = f.read()
    except OSError:
        return False
    return data[data.rindex(b")") + 2:][:1] != b"Z"


def stop(proc, grace=10.0):
    """Ends a process that this test started, and whatever it started."""
    if proc is None or proc.poll() is not None:
        return
    below = descendants(proc.pid)
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)
    for pid in below:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def wait_for(condition, what, timeout=START_TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise Failure(f"{what} after {timeout} s")
        time.sleep(0.02)


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])


class Responder:
    """The program as a FastCGI responder, started by spawn-fcgi in the
    foreground (so the process is the responder itself) on a Unix socket in
    `folder`, or with tcp=True on a free port of 127.0.0.1 (tcp="::1": of
    IPv6's loopback; tcp="::ffff:127.0.0.1": an IPv6 socket that IPv4
    clients of 127.0.0.1 reach); `tail` is its command line after the
    program name; `preexec_fn` runs in the child before spawn-fcgi starts.
    Stopped with SIGTERM to its pid."""

    def __init__(self, program, folder, tcp=False, tail=(), name="responder", env=None, preexec_fn=None):
        self.program, self.tail = os.path.abspath(program), list(tail)
        self.env, self.preexec_fn = env, preexec_fn
        self.folder, self.name = folder, name
        self.tcp = "127.0.0.1" if tcp is True else tcp
        self.proc = None
        self.port = self.path = None

    def address(self):
        """As nginx's fastcgi_pass and Python's socket module write it."""
        return f"127.0.0.1:{self.port}" if self.tcp else f"unix:{self.path}"

    def connect(self, timeout=30.0):
        return fcgi.connect((self.tcp.replace("::ffff:", ""), self.port) if self.tcp else self.path, timeout)

    def log(self):
        return os.path.join(self.folder, f"{self.name}.log")

    def start(self):
        spawn = require("spawn-fcgi")
        where = []
        if self.tcp:
            self.port = free_port(self.tcp)
            where = ["-a", self.tcp, "-p", str(self.port)]
        else:
            self.path = os.path.join(self.folder, f"{self.name}.sock")
            if os.path.exists(self.path):
                os.unlink(self.path)
            where = ["-s", self.path, *web_server_user()[0]]
        self.proc = launch([spawn, "-n", *where, "--", self.program, *self.tail], self.log(),
                           env=self.env, preexec_fn=self.preexec_fn)
        self.wait_listening()
        return self

    def wait_listening(self, timeout=START_TIMEOUT):
        def listening():
            if self.proc.poll() is not None:
                raise Failure(f"responder {self.name} ended with {self.proc.returncode}")
            try:
                self.connect(1).close()
                return True
            except OSError:
                return False
        wait_for(listening, f"responder {self.name} not listening", timeout)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        stop(self.proc)


class ListeningResponder(Responder):
    """The program as a FastCGI responder that listens by itself:
    CGIECHO_LISTEN=127.0.0.1:PORT on a free port (tcp="::1": [::1]:PORT), or
    with tcp=False a socket path in `folder`. With a loader, a Windows build
    under Wine (TCP only). Stopped like the others, with SIGTERM (under Wine
    it ends the process)."""

    def __init__(self, program, folder, tcp=True, tail=(), name="responder", env=None, loader=None):
        super().__init__(program, folder, tcp=tcp, tail=tail, name=name, env=env)
        self.loader = require(loader) if loader else None

    def start(self):
        if self.tcp:
            self.port = free_port(self.tcp)
            where = f"[{self.tcp}]:{self.port}" if ":" in self.tcp else f"{self.tcp}:{self.port}"
        else:
            self.path = where = os.path.join(self.folder, f"{self.name}.sock")
        environ = dict(self.env or (wine_environment() if self.loader else os.environ), CGIECHO_LISTEN=where)
        self.proc = launch([*([self.loader] if self.loader else []), self.program, *self.tail], self.log(),
                           env=environ)
        self.wait_listening(120)  # Wine's first start in a prefix takes a while
        return self


STATUS = "/pool-status"
# What the pool's environment never inherits from the one running the tests.
OWN = ("NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES")


class Pool:
    """The program as a pool's master, listening on a free port of
    127.0.0.1 (or as `listen` says), with the status page on; with
    workers=0, a responder of one process. `pass_fds` are left open to it,
    as a launcher's shell may leave them."""

    def __init__(self, program, folder, workers=2, listen=None, command=None, pass_fds=(), **settings):
        self.program, self.folder, self.workers, self.pass_fds = program, folder, workers, pass_fds
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("CGIECHO_") and k not in OWN}
        if workers:
            self.env.update(CGIECHO_WORKERS=str(workers), CGIECHO_STATUS_PATH=STATUS)
        self.port = free_port()
        self.path = None
        if listen is None:
            self.env["CGIECHO_LISTEN"] = f"127.0.0.1:{self.port}"
        elif listen:
            self.path = self.env["CGIECHO_LISTEN"] = listen
        self.env.update(settings)
        self.command = command or [program]
        self.cwd = None
        self.proc = None
        self.seen = set()
        self.log_path = os.path.join(folder, "pool.log")

    def __enter__(self):
        self.proc = launch(self.command, self.log_path, env=self.env, cwd=self.cwd, pass_fds=self.pass_fds)
        self.seen.add(self.proc.pid)
        self.wait_workers(self.workers)
        return self

    def __exit__(self, *exc):
        self.stop_all()

    def address(self):
        return self.path or ("127.0.0.1", self.port)

    def connect(self, timeout):
        return fcgi.connect(self.address(), timeout)

    def ask(self, timeout=15.0, **params):
        """The answer to one GET on a connection of its own; None when the
        connection ends without one."""
        params.setdefault("SCRIPT_NAME", b"/app")
        with self.connect(timeout) as s:
            return fcgi.ask(s, fcgi.env("GET", **params), keep=False)

    def status(self):
        answer = self.ask(SCRIPT_NAME=STATUS.encode())
        if answer is None:
            raise Failure("no status page")
        head, _, body = answer.partition(b"\r\n\r\n")
        self.last_head = head
        figures = json.loads(body)
        self.seen.update(p["pid"] for p in figures["processes"])
        return figures

    def pids(self):
        return sorted(p["pid"] for p in self.status()["processes"])

    def wait_workers(self, count, timeout=20.0):
        def ready():
            if self.proc.poll() is not None:
                raise Failure(f"the pool ended with {self.proc.returncode}: {self.log()}")
            try:
                if not count:  # one process: it serves once it listens
                    self.connect(1).close()
                    return True
                return self.status()["workers"] >= count
            except (OSError, Failure, ValueError):
                return False
        wait_for(ready, f"{count} workers not serving", timeout)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("latin-1")

    def stop(self, sig=signal.SIGTERM, timeout=20.0):
        self.seen.update(descendants(self.proc.pid))
        self.proc.send_signal(sig)
        return self.proc.wait(timeout)

    def left(self):
        """The processes of the pool still running."""
        return [p for p in self.seen if alive(p)]

    def stop_all(self):
        """Ends the pool (its own graceful stop first) and checks that no
        process of it is left; one that is left is killed and reported."""
        if self.proc.poll() is None:
            try:
                self.stop()
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.left():
            time.sleep(0.05)
        left = self.left()
        for p in left:
            try:
                os.kill(p, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if left:
            raise Failure(f"processes left behind: {left}")


def wine_processes(exe):
    """The Unix pids of the processes running the Windows program `exe`."""
    names = {exe.lower(), ("z:" + exe.replace("/", "\\")).lower()}
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                first = f.read().split(b"\0")[0].decode("latin-1").lower()
        except OSError:
            continue
        if first in names and alive(int(entry)):
            found.append(int(entry))
    return found


class WinePool(Pool):
    """The Windows program as a pool's master under Wine; the pids the
    status page shows are Windows ones, so what is left at the end is found
    by the program's path instead."""

    def __init__(self, loader, exe, folder, workers=2, **settings):
        super().__init__(exe, folder, workers=workers, **settings)
        own = {k: v for k, v in self.env.items() if k.startswith("CGIECHO_")}
        self.env = {k: v for k, v in wine_environment().items() if not k.startswith("CGIECHO_")}
        self.env.update(own, **settings)
        self.command = [loader, exe]

    def __enter__(self):
        if wine_processes(self.program):
            raise Failure(f"processes of {self.program} running before the case")
        # A host (fcgi_pipe_host event) takes its commands on standard input.
        self.proc = launch(self.command, self.log_path, stdin=subprocess.PIPE, env=self.env)
        self.wait_workers(self.workers)
        return self

    def status(self):
        seen = set(self.seen)
        figures = super().status()
        self.seen = seen  # Windows pids name no process here
        return figures

    def stop(self, sig=signal.SIGINT, timeout=20.0):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout)

    def left(self):
        return wine_processes(self.program)
