#!/usr/bin/env python3
"""A pool of worker processes (CGIECHO_WORKERS) on each of three hosts
behind one nginx upstream, one host's whole pool killed under load.

usage: pool_hosts.py PROBE_RESPONDER

Each host is a network namespace of its own, joined to this one by a veth
pair on an address of 10.213.B.0/24 (B picked so that no address of the
machine is in it; no default route, so nothing leaves the machine), where
the probe responder (tests/servers/probe_responder.cpp) runs as a pool
that listens on port 9000 and serves nginx's address only. Where no
namespace can be made (no permission), the hosts are 127.0.0.2 to
127.0.0.4 instead, and the test says so. nginx, on 127.0.0.1, spreads
requests over the hosts in one upstream as docs/servers.md shows it, each
answer naming the host that answered (`$upstream_addr`) and the probe's pid.

A GET and a POST that take long are sent to the first host (a second
upstream of the same hosts, the others as backups); once it holds both,
GETs and POSTs from eight threads begin, and half a second later the first
host's whole pool (master and workers) is killed at once, as when a host
fails: every GET is answered 200, those the dead host held by another host;
a POST the dead host held is answered 502 (nginx does not pass a request
that may have had an effect on to another host), never a 200 cut short;
every other request is answered 200 with its whole body. The host's pool
started again gets requests again. Every process and namespace the test
makes is gone at the end, also when it fails.
"""

import atexit
import fcntl
import ipaddress
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time

from procs import Pool, alive, free_port, require, wait_for
from runner import Failure, Usage, in_folder, main
from webserver import Server, exchange, nginx_conf

HOSTS = 3
WORKERS = 3
PORT = 9000
CLIENTS = 8
# How long the probe's handler takes: the load's GETs and POSTs, and the
# GET and POST that the first host holds when it dies.
GET_MS, POST_MS, HELD_MS = 50, 100, 2500
# How long nginx leaves a host that failed alone before it tries it again.
FAIL_SECONDS = 1
# Bounds of the whole load: seconds, and requests per client thread.
LOAD_SECONDS, LOAD_REQUESTS = 12, 300


def ip(*args, check=True):
    return subprocess.run([require("ip"), *args], capture_output=True, text=True, timeout=10, check=check)


class Host:
    """Where one pool runs: `prefix` runs a command there, `addr:port` is
    its listener, `peer` the address nginx reaches it from."""

    def __init__(self, prefix, addr, port, peer):
        self.prefix, self.addr, self.port, self.peer = prefix, addr, port, peer

    def upstream(self):
        return f"{self.addr}:{self.port}"


class Network:
    """Three hosts as network namespaces, made and removed here, or three
    loopback addresses when namespaces cannot be made."""

    def __init__(self):
        tag = os.getpid()
        self.names = [f"cgiecho-{tag}-host{i}" for i in range(HOSTS)]
        self.links = [f"cgh{tag}r{i}" for i in range(HOSTS)]  # at most 15 bytes
        self.made = []
        self.hosts = []
        self.how = ""

    def subnet(self):
        """A /24 of 10.213.0.0/16 that no address or route of the machine is in."""
        taken = ip("-o", "addr").stdout + ip("route", "show", "table", "all").stdout
        free = [b for b in range(256) if f"10.213.{b}." not in taken]
        if not free:
            raise Failure("every /24 of 10.213.0.0/16 is in use")
        return ipaddress.ip_network(f"10.213.{random.choice(free)}.0/24")

    def __enter__(self):
        atexit.register(self.remove)
        try:
            for name in self.names:
                ip("netns", "add", name)
                self.made.append(name)
            # Held while a subnet is picked and taken, so that another run of
            # this test at the same time picks another.
            lock = os.open("/run/netns", os.O_RDONLY)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX)
                net = self.subnet()
                for i, (name, link) in enumerate(zip(self.names, self.links)):
                    # A /30 per host: this end .4i+1, the host's end .4i+2.
                    here, there = net[4 * i + 1], net[4 * i + 2]
                    ip("link", "add", link, "type", "veth", "peer", "name", "eth0", "netns", name)
                    ip("addr", "add", f"{here}/30", "dev", link)
                    ip("link", "set", link, "up")
                    inside = ["netns", "exec", name, "ip"]
                    ip(*inside, "addr", "add", f"{there}/30", "dev", "eth0")
                    ip(*inside, "link", "set", "eth0", "up")
                    ip(*inside, "link", "set", "lo", "up")
                    self.hosts.append(Host([require("ip"), "netns", "exec", name], str(there), PORT, str(here)))
            finally:
                os.close(lock)
            self.how = f"hosts in network namespaces on {net}"
        except subprocess.CalledProcessError as e:
            self.remove()
            self.hosts = [Host([], f"127.0.0.{i + 2}", free_port(f"127.0.0.{i + 2}"), "127.0.0.1")
                          for i in range(HOSTS)]
            self.how = f"no network namespace ({e.stderr.strip()}): hosts on 127.0.0.2 to 127.0.0.{HOSTS + 1}"
        print(self.how)
        return self

    def __exit__(self, *exc):
        self.remove()

    def remove(self):
        """Removes what it made (a namespace's end of a veth pair takes the
        other end with it); fails when a process or a name is left."""
        left = []
        for name in self.made:
            pids = ip("netns", "pids", name, check=False).stdout.split()
            for pid in pids:
                os.kill(int(pid), signal.SIGKILL)
            left += [f"process {p} in {name}" for p in pids]
            ip("netns", "del", name, check=False)
        for link in self.links:
            ip("link", "del", link, check=False)
        names = ip("netns", "list").stdout
        links = ip("-o", "link").stdout
        left += [n for n in self.made if n in names] + [link for link in self.links if link + "@" in links]
        self.made = []
        if left:
            raise Failure(f"left behind: {left}")


class HostPool(Pool):
    """The probe as a pool on a host, as a user starts it there."""

    def __init__(self, probe, folder, host):
        super().__init__(probe, folder, workers=WORKERS, listen=False)
        self.host = host
        self.env.update(CGIECHO_LISTEN=host.upstream(), FCGI_WEB_SERVER_ADDRS=host.peer)
        self.command = [*host.prefix, probe]

    def address(self):
        return self.host.addr, self.host.port

    def kill(self):
        """Ends the master and every worker at once, as when the host fails:
        the master stopped first, so that it starts no new worker and its
        end tells no worker to finish what it holds."""
        master = self.proc.pid
        os.kill(master, signal.SIGSTOP)
        # The workers are the master's only children, read from its own
        # entries: a scan of all /proc can take a second on a busy machine.
        workers = []
        for task in os.listdir(f"/proc/{master}/task"):
            with open(f"/proc/{master}/task/{task}/children") as f:
                workers += [int(p) for p in f.read().split()]
        self.seen.update(workers)
        for pid in workers + [master]:
            os.kill(pid, signal.SIGKILL)
        self.proc.wait(5)
        wait_for(lambda: not any(alive(p) for p in workers), "killed workers still running", 5)


class Front(Server):
    """nginx on 127.0.0.1 with the hosts in one upstream; /held/ goes to
    the first host while it is up, else to the others, so that the test
    can put requests in that host's hands."""
    name = "nginx-hosts"

    def __init__(self, probe, hosts):
        super().__init__(probe)
        self.hosts = hosts

    def start(self):
        def upstream(name, backup):
            servers = "".join(f"\n    server {h.upstream()} max_fails=1 fail_timeout={FAIL_SECONDS}s"
                              f"{' backup' if backup and i else ''};" for i, h in enumerate(self.hosts))
            return f"upstream {name} {{{servers}\n    keepalive 8;\n  }}"
        conf = nginx_conf(self.dir, f"""
  {upstream("hosts", False)}
  {upstream("first_host", True)}
  server {{
    listen 127.0.0.1:{self.port};
    fastcgi_keep_conn on;
    fastcgi_next_upstream error timeout;
    fastcgi_connect_timeout 2s;
    fastcgi_param REQUEST_METHOD $request_method;
    fastcgi_param SCRIPT_NAME $fastcgi_script_name;
    fastcgi_param QUERY_STRING $query_string;
    fastcgi_param CONTENT_TYPE $content_type;
    fastcgi_param CONTENT_LENGTH $content_length;
    fastcgi_param PROBE_NAME QUERY_STRING;
    fastcgi_param PROBE_PID 1;
    fastcgi_param PROBE_SLEEP_MS $arg_ms;
    add_header X-Upstream $upstream_addr always;
    location / {{ fastcgi_pass hosts; }}
    location /held/ {{ fastcgi_pass first_host; }}
  }}""", connections=256)
        self.spawn([require("nginx"), "-p", self.dir + "/", "-c", conf, "-e", f"{self.dir}/error.log"])


class Answer:
    def __init__(self, method, query, began, response, ended):
        self.method, self.query, self.began, self.ended = method, query, began, ended
        self.status = response.status if response else None
        self.complete = bool(response and response.complete)
        self.body = response.body if response else b""
        # Every host nginx tried, in order; the last one answered.
        self.upstreams = [u.strip() for u in (response.header("x-upstream") or "").split(",")] if response else []

    def __repr__(self):
        return (f"{self.method} ?{self.query} {self.status} via {self.upstreams}, "
                f"{self.began:.3f} to {self.ended:.3f}: {self.body[:40]!r}")


def ask(port, method, path, query):
    """One request through nginx on a new connection; a POST has a body."""
    began = time.monotonic()
    try:
        response = exchange(port, method, f"{path}?{query}".encode(),
                            body=query.encode() if method == "POST" else None, timeout=10)
    except (OSError, Failure):
        response = None
    return Answer(method, query, began, response, time.monotonic())


def start(calls):
    threads = [threading.Thread(target=c) for c in calls]
    for t in threads:
        t.start()
    return threads


def load(port, stop, answers):
    """Clients that send GETs and POSTs in turn until `stop` is set or
    their bounds are reached."""
    def client(n):
        end = time.monotonic() + LOAD_SECONDS
        for i in range(LOAD_REQUESTS):
            if stop.is_set() or time.monotonic() > end:
                return
            post = (n + i) % 2 == 1
            answers.append(ask(port, "POST" if post else "GET", "/app",
                               f"c={n}.{i}&ms={POST_MS if post else GET_MS}"))
    return start([lambda n=n: client(n) for n in range(CLIENTS)])


def send_held(port, answers):
    """A GET and a POST to /held/ (the first host) that take HELD_MS."""
    return start([lambda m=m: answers.append(ask(port, m, "/held/", f"held={m}&ms={HELD_MS}"))
                  for m in ("GET", "POST")])


def pid_of(answer):
    """The pid in a whole answer, which must be the probe's page for its
    own query, byte for byte; None when it is not."""
    m = re.fullmatch(rb"\[" + re.escape(answer.query.encode()) + rb"\] pid=(\d+)\r\ndone\r\n", answer.body)
    return int(m.group(1)) if m and answer.complete else None


def in_hand(pool):
    """The methods of the requests to /held/ that the pool holds now."""
    return {p["method"] for p in pool.status()["processes"] if p["state"] == "busy" and p["script"] == "/held/"}


def run(probe, network, folder):
    hosts = network.hosts
    pools = []
    stop = threading.Event()
    threads = []
    try:
        for i, host in enumerate(hosts):
            os.makedirs(os.path.join(folder, f"host{i}"))
            pools.append(HostPool(probe, os.path.join(folder, f"host{i}"), host).__enter__())
        # Which host each worker is on, as the answers name the pid.
        where = {pid: h.upstream() for pool, h in zip(pools, hosts) for pid in pool.pids()}
        dead = hosts[0].upstream()
        answers = []
        with Front(probe, hosts) as front:
            threads = send_held(front.port, answers)
            wait_for(lambda: in_hand(pools[0]) == {"GET", "POST"}, "the first host never held both", 8)
            threads += load(front.port, stop, answers)
            time.sleep(0.5)
            killing = time.monotonic()
            pools[0].kill()
            killed = time.monotonic()
            time.sleep(1)
            # The same host again: a new pool on the same address.
            restarted = time.monotonic()
            pools[0] = HostPool(probe, pools[0].folder, hosts[0]).__enter__()
            where.update((pid, dead) for pid in pools[0].pids())
            wait_for(lambda: sum(a.upstreams[-1:] == [dead] and a.began > restarted for a in answers) >= 3,
                     "the host started again got no requests", 5 + FAIL_SECONDS)
            stop.set()
            for t in threads:
                t.join(15)
            log = front.log_hint()
        problems = []
        # Every request the first host may have held when it died: the
        # deliberate two, and any of the load's that nginx gave it.
        held = [a for a in answers if a.began < killed and a.ended > killing and a.upstreams[:1] == [dead]]
        for a in answers:
            if a.status == 200:
                pid = pid_of(a)
                if pid is None:
                    problems.append(f"a 200 cut short or wrong: {a!r}")
                elif where.get(pid) != a.upstreams[-1]:
                    problems.append(f"answered by pid {pid} on {where.get(pid)}, nginx says {a.upstreams}")
            elif not (a.method == "POST" and a.status == 502 and a in held and a.upstreams == [dead]):
                problems.append(f"not a POST the dead host held, yet no 200: {a!r}")
        for a in answers:
            passed_on = a.status == 200 and len(a.upstreams) == 2
            if a.query.startswith("held=") and (a.upstreams[:1] != [dead] or passed_on != (a.method == "GET")):
                problems.append(f"the {a.method} the dead host held: {a!r}")
        if problems:
            raise Failure("\n".join(problems[:10]) + f"\n{len(problems)} problem(s); the kill from "
                          f"{killing:.3f} to {killed:.3f}; {log}")
        passed = sum(a.method == "GET" and len(a.upstreams) > 1 for a in held)
        failed = sum(a.status == 502 for a in held)
        after = sum(a.upstreams[-1:] == [dead] for a in answers if a.began > restarted)
        return (f"{len(answers)} requests; {len(held)} held by the host killed: {passed} GETs passed on to "
                f"another host and answered 200, {failed} POSTs answered 502; every other one 200 with its "
                f"whole body; {after} answered by the host started again")
    finally:
        stop.set()
        for t in threads:
            t.join(15)
        problems = []
        for pool in pools:
            try:
                pool.stop_all()
            except (Failure, OSError, subprocess.TimeoutExpired) as e:
                problems.append(repr(e))
        if problems and sys.exc_info()[0] is None:
            raise Failure(f"stopping the pools: {problems}")


def cases(args):
    if len(args) != 1:
        raise Usage
    probe = os.path.abspath(args[0])
    # Stopped by ctest's timeout: the namespaces and pools still go.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    def hosts(folder):
        with Network() as network:
            what = run(probe, network, folder)
        return what + "; no process and no namespace left behind"
    in_folder("pool_hosts", hosts, "cgiecho-pool-hosts-", logs=[f"host{i}/pool.log" for i in range(HOSTS)])


if __name__ == "__main__":
    main(cases, __doc__)
