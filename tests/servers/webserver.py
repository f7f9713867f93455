"""Real web servers in front of the echo program: start, request, stop.

Every server here listens on 127.0.0.1 only, on a port picked when it starts,
with its configuration, logs and sockets in a temporary folder. Requests go
out as raw bytes over a socket so that a test decides every byte of the
request line, including bytes that ordinary clients refuse to send; the
request builders (request_bytes, multipart) make them.

Each server runs the program as CGI, or, given `fastcgi`, talks FastCGI to it:
lighttpd starts its own responders (mod_fastcgi, bin-path); nginx and Apache
reach responders that spawn-fcgi started (procs.Responder), over a Unix
socket or TCP on 127.0.0.1.
"""

import os
import shutil
import socket
import time

from procs import START_TIMEOUT, Responder, descendants, free_port, launch, require, stop, web_server_user
from runner import Failure, make_workdir

PAGE_HEAD = (b'<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.0 Transitional//EN">\r\n'
             b"<html><body>")
PAGE_TAIL = b"\r\n</body></html>"
SCRIPT = "/cgi-bin/cgiecho"


def page(shown):
    """The body a browser receives when the page shows `shown`."""
    return PAGE_HEAD + shown + PAGE_TAIL


def sanitised(data):
    return data if data.startswith(b"nosanitize=1") else data.replace(b"<", b"&lt;")


class NoResponse(Failure):
    """The server closed the connection without a byte of response."""


def install_program(program, folder, name="cgiecho"):
    os.makedirs(folder, mode=0o755, exist_ok=True)
    target = os.path.join(folder, name)
    shutil.copyfile(program, target)
    os.chmod(target, 0o755)
    return target


def wait_listening(port, proc, log_hint):
    deadline = time.monotonic() + START_TIMEOUT
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise Failure(f"server exited with {proc.returncode} at start-up; {log_hint()}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise Failure(f"server not listening on port {port} after {START_TIMEOUT} s; {log_hint()}")


class Response:
    def __init__(self, status, headers, body, complete=True):
        self.complete = complete  # False: the server cut the response short
        self.status = status
        self.headers = headers  # lower-case name -> list of values
        self.body = body

    def header(self, name):
        values = self.headers.get(name.lower(), [])
        return values[0] if values else None


def _dechunk(data):
    """The body and whether its framing was complete (the zero-size last chunk seen)."""
    body, rest = b"", data
    while True:
        line, sep, rest = rest.partition(b"\r\n")
        if not sep or not line.split(b";")[0].strip():
            return body, False
        size = int(line.split(b";")[0], 16)
        if size == 0:
            return body, True
        body += rest[:size]
        if len(rest) < size + 2:
            return body, False
        rest = rest[size + 2:]


def request_bytes(port, method, target, body=None, chunked=False, headers=(), close=True, raw_body=None):
    """raw_body: sent as it is, after `headers` (which then say its type)
    and its Content-Length."""
    head = [b"%s %s HTTP/1.1" % (method.encode(), target), b"Host: 127.0.0.1:%d" % port]
    head += [b"Connection: close"] if close else []
    head += [h.encode() for h in headers]
    payload = b""
    if body is not None and chunked:
        head.append(b"Transfer-Encoding: chunked")
        payload = b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body) if body else b"0\r\n\r\n"
    elif body is not None:
        head.append(b"Content-Type: application/x-www-form-urlencoded")
        head.append(b"Content-Length: %d" % len(body))
        payload = body
    elif raw_body is not None:
        head.append(b"Content-Length: %d" % len(raw_body))
        payload = raw_body
    return b"\r\n".join(head) + b"\r\n\r\n" + payload


def multipart(parts, boundary=b"b0undary"):
    """A multipart/form-data body and its Content-Type. parts: (name,
    filename or None, content type or None, data)."""
    body = b""
    for name, filename, ctype, data in parts:
        body += b"--" + boundary + b'\r\nContent-Disposition: form-data; name="' + name + b'"'
        body += b'; filename="' + filename + b'"' if filename is not None else b""
        body += b"\r\nContent-Type: " + ctype if ctype is not None else b""
        body += b"\r\n\r\n" + data + b"\r\n"
    return body + b"--" + boundary + b"--\r\n", f"multipart/form-data; boundary={boundary.decode()}"


def parse_head(data):
    head_end = data.find(b"\r\n\r\n")
    if head_end < 0:
        raise Failure(f"no complete response head: {data[:200]!r}")
    lines = data[:head_end].split(b"\r\n")
    status = int(lines[0].split()[1])
    parsed = {}
    for line in lines[1:]:
        name, _, value = line.partition(b":")
        parsed.setdefault(name.strip().lower().decode("latin-1"), []).append(
            value.strip().decode("latin-1"))
    return status, parsed, head_end + 4


def exchange(port, method, target, body=None, chunked=False, headers=(), timeout=60.0, raw_body=None):
    """One HTTP/1.1 request with Connection: close; the whole response."""
    raw = request_bytes(port, method, target, body, chunked, headers, raw_body=raw_body)
    received = bytearray()
    deadline = time.monotonic() + timeout
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(raw)
        except (BrokenPipeError, ConnectionResetError):
            pass  # a server may answer and close before it takes the whole body
        while time.monotonic() < deadline and len(received) < 64 << 20:
            try:
                chunk = s.recv(1 << 16)
            except ConnectionResetError:
                break
            if not chunk:
                break
            received += chunk
    data = bytes(received)
    if not data:
        raise NoResponse("the server closed the connection without a response")
    status, parsed, start = parse_head(data)
    rest = data[start:]
    if method == "HEAD":
        return Response(status, parsed, rest)
    if "chunked" in ",".join(parsed.get("transfer-encoding", [])).lower():
        return Response(status, parsed, *_dechunk(rest))
    if "content-length" in parsed:
        return Response(status, parsed, rest, len(rest) == int(parsed["content-length"][0]))
    return Response(status, parsed, rest)


class KeepAlive:
    """Requests one after another on one HTTP/1.1 connection."""

    def __init__(self, port, timeout=30.0):
        self.port = port
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()

    def _more(self):
        chunk = self.sock.recv(1 << 16)
        if not chunk:
            raise NoResponse("the server closed the kept connection")
        self.buf += chunk

    def _take(self, n):
        while len(self.buf) < n:
            self._more()
        taken, self.buf = self.buf[:n], self.buf[n:]
        return taken

    def _line(self):
        while b"\r\n" not in self.buf:
            self._more()
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line

    def exchange(self, method, target, body=None, chunked=False):
        self.sock.sendall(request_bytes(self.port, method, target, body, chunked, close=False))
        while b"\r\n\r\n" not in self.buf:
            self._more()
        status, headers, start = parse_head(self.buf)
        self.buf = self.buf[start:]
        r = Response(status, headers, b"")
        if method == "HEAD" or status in (204, 304):
            return r
        if "chunked" in ",".join(headers.get("transfer-encoding", [])).lower():
            while True:
                size = int(self._line().split(b";")[0], 16)
                if size == 0:
                    self._line()
                    return r
                r.body += self._take(size)
                self._take(2)
        if "content-length" not in headers:
            raise Failure(f"no length on a kept connection: {headers}")
        r.body = self._take(int(headers["content-length"][0]))
        return r


class Server:
    """A running server; subclasses write the configuration and the command."""
    name = "server"

    def __init__(self, program):
        self.program = os.path.abspath(program)
        self.dir = make_workdir(f"cgiecho-{self.name}-")
        self.procs = []
        self.port = None

    def logs(self, tail=None):
        """Every log in the server's folder (the last `tail` bytes of each),
        each after a line that names it."""
        logs = []
        for entry in sorted(os.listdir(self.dir)):
            if entry.endswith(".log"):
                with open(os.path.join(self.dir, entry), "rb") as f:
                    logs.append(f"--- {entry}\n" + f.read()[-tail if tail else 0:].decode("latin-1"))
        return "\n".join(logs)

    def log_hint(self):
        return self.logs(2000) or "no logs"

    def __enter__(self):
        last = None
        for _ in range(3):  # another test may take the port between pick and bind
            self.port = free_port()
            try:
                self.start()
                wait_listening(self.port, self.procs[-1], self.log_hint)
                return self
            except Failure as e:
                last = e
                self.stop_all()
        raise last

    def __exit__(self, *exc):
        self.stop_all()
        shutil.rmtree(self.dir, ignore_errors=True)

    def stop_all(self):
        for proc in reversed(self.procs):
            stop(proc)
        self.procs = []

    def spawn(self, argv, **kwargs):
        proc = launch(argv, os.path.join(self.dir, f"{os.path.basename(argv[0])}-out.log"), **kwargs)
        self.procs.append(proc)
        return proc


class Lighttpd(Server):
    name = "lighttpd"

    def __init__(self, program, scripts=None, extra_config="", fastcgi=False, max_procs=1,
                 env=None, responder_env=None):
        super().__init__(program)
        # env: variables the configuration sets for each request (mod_setenv:
        # the CGI environment, or FastCGI parameters); responder_env: the
        # FastCGI responders' own environment (bin-environment).
        self.env, self.responder_env = env or {}, responder_env or {}
        # name in /cgi-bin/ -> program file; the echo program is always there
        self.scripts = {"cgiecho": self.program, **(scripts or {})}
        self.extra_config = extra_config
        # FastCGI: lighttpd starts max_procs responders of each program
        # itself (bin-path), each on a Unix socket of its own.
        self.fastcgi, self.max_procs = fastcgi, max_procs

    def responders(self, name="cgiecho"):
        """The pids of the responders lighttpd started for /cgi-bin/NAME."""
        path = os.path.join(self.dir, "htdocs", "cgi-bin", name)
        found = []
        for pid in descendants(self.procs[-1].pid):
            try:
                if os.readlink(f"/proc/{pid}/exe") == path:
                    found.append(pid)
            except OSError:
                pass
        return sorted(found)

    def start(self):
        require("lighttpd")
        htdocs = os.path.join(self.dir, "htdocs")
        for name, program in self.scripts.items():
            install_program(program, os.path.join(htdocs, "cgi-bin"), name)
        conf = os.path.join(self.dir, "lighttpd.conf")
        handlers = """$HTTP["url"] =~ "^/cgi-bin/" {
  cgi.assign = ("" => "")
}"""
        if self.fastcgi:
            bin_env = ", ".join(f'"{k}" => "{v}"' for k, v in self.responder_env.items())
            bin_env = f'"bin-environment" => ({bin_env}), ' if bin_env else ""
            handlers = "fastcgi.server = (" + ",\n".join(
                f""""/cgi-bin/{name}" => (("socket" => "{self.dir}/{name}.sock",
    "bin-path" => "{htdocs}/cgi-bin/{name}", "max-procs" => {self.max_procs},
    {bin_env}"check-local" => "disable"))""" for name in self.scripts) + ")"
        if self.env:
            handlers += "\nsetenv.add-environment = (" + ", ".join(
                f'"{k}" => "{v}"' for k, v in self.env.items()) + ")"
        with open(conf, "w") as f:
            f.write(f"""
server.modules = ("mod_setenv", "mod_cgi", "mod_fastcgi")
server.document-root = "{htdocs}"
server.bind = "127.0.0.1"
server.port = {self.port}
server.errorlog = "{self.dir}/error.log"
server.max-request-size = 8192
mimetype.assign = (".html" => "text/html")
{handlers}
{self.extra_config}
""")
        self.spawn([require("lighttpd"), "-D", "-f", conf])


class Apache(Server):
    name = "apache"
    binary = "/usr/sbin/apache2"
    modules = "/usr/lib/apache2/modules"

    def __init__(self, program, fastcgi=False, env=None, responder_env=None, scripts=None):
        super().__init__(program)
        # FastCGI: mod_proxy_fcgi to one spawn-fcgi responder over TCP,
        # connections reused between requests. env: variables set with
        # SetEnv (the CGI environment, or FastCGI parameters);
        # responder_env: added to the responder's own environment.
        # scripts: more programs in /cgi-bin/ as CGI, name -> program file.
        self.scripts = {"cgiecho": self.program, **(scripts or {})}
        self.fastcgi = fastcgi
        self.responder = None
        self.env, self.responder_env = env or {}, responder_env or {}

    def start(self):
        require(self.binary)
        htdocs = os.path.join(self.dir, "htdocs")
        cgi_bin = os.path.join(self.dir, "cgi-bin")
        os.makedirs(htdocs, mode=0o755, exist_ok=True)
        for name, program in self.scripts.items():
            install_program(program, cgi_bin, name)
        modules = ["mpm_event", "authz_core", "alias", "cgid", "env"]
        proxy = ""
        if self.fastcgi:
            if self.responder is None:
                environ = dict(os.environ, **self.responder_env) if self.responder_env else None
                self.responder = Responder(self.program, self.dir, tcp=True, env=environ).start()
            modules += ["proxy", "proxy_fcgi"]
            proxy = f'ProxyPass "{SCRIPT}" "fcgi://{self.responder.address()}/" enablereuse=on'
        load = "\n".join(f"LoadModule {m}_module {self.modules}/mod_{m}.so" for m in modules)
        set_env = "\n".join(f'SetEnv {k} "{v}"' for k, v in self.env.items())
        conf = os.path.join(self.dir, "httpd.conf")
        with open(conf, "w") as f:
            f.write(f"""
ServerRoot "{self.dir}"
{load}
Listen 127.0.0.1:{self.port}
ServerName 127.0.0.1
PidFile "{self.dir}/httpd.pid"
DefaultRuntimeDir "{self.dir}"
Mutex file:{self.dir} default
ErrorLog "{self.dir}/error.log"
LogLevel warn
User www-data
Group www-data
StartServers 1
ServerLimit 1
ThreadsPerChild 8
MaxRequestWorkers 8
ScriptSock "{self.dir}/cgid.sock"
DocumentRoot "{htdocs}"
ScriptAlias /cgi-bin/ "{cgi_bin}/"
<Directory "{cgi_bin}">
  Options +ExecCGI
  Require all granted
</Directory>
{proxy}
{set_env}
""")
        self.spawn([self.binary, "-d", self.dir, "-f", conf, "-D", "FOREGROUND"])

    def stop_all(self):
        super().stop_all()
        if self.responder:
            stop(self.responder.proc)
            self.responder = None


def nginx_conf(folder, http, connections=64):
    """Writes nginx.conf in `folder`, with `http` in its http block: nginx in
    the foreground, one worker process, its pid, error log and temporary
    files in `folder`; the file's path."""
    temp = "\n  ".join(f"{kind}_temp_path {folder}/{kind}_temp;"
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    conf = os.path.join(folder, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""
daemon off;
master_process on;
worker_processes 1;
user www-data www-data;
pid {folder}/nginx.pid;
error_log {folder}/error.log warn;
events {{ worker_connections {connections}; }}
http {{
  access_log off;
  {temp}{http}
}}
""")
    return conf


class Nginx(Server):
    name = "nginx"

    def __init__(self, program, fastcgi=None, tails=((),), env=None, responder_env=None, responder=Responder,
                 idle_seconds=None, scripts=None):
        super().__init__(program)
        # scripts: more programs in /cgi-bin/ as CGI, name -> program file.
        self.scripts = {"cgiecho": self.program, **(scripts or {})}
        # fastcgi "unix" or "tcp": one responder per entry of tails (its
        # command-line tail), all in one upstream with kept connections,
        # each made by responder(program, folder, tcp, tail, name, env=...)
        # (by default spawn-fcgi's); None: the program as CGI through
        # fcgiwrap. env: variables set with fastcgi_param (fcgiwrap makes
        # them the CGI environment); responder_env: added to the responders'
        # own. idle_seconds: how long an unused kept connection stays open
        # (nginx's default: 60).
        self.fastcgi, self.tails, self.make_responder = fastcgi, tails, responder
        self.env, self.responder_env = env or {}, responder_env or {}
        self.idle_seconds = idle_seconds
        self.responders = []

    def stop_all(self):
        super().stop_all()
        for r in self.responders:
            stop(r.proc)
        self.responders = []

    def start(self):
        nginx = require("nginx")
        htdocs = os.path.join(self.dir, "htdocs")
        for name, program in self.scripts.items():
            install_program(program, os.path.join(htdocs, "cgi-bin"), name)
        if self.fastcgi:
            if not self.responders:
                environ = dict(os.environ, **self.responder_env) if self.responder_env else None
                self.responders = [self.make_responder(self.program, self.dir, self.fastcgi == "tcp", tail,
                                                       f"responder{i}", env=environ).start()
                                   for i, tail in enumerate(self.tails)]
            servers = " ".join(f"server {r.address()};" for r in self.responders)
            idle = f" keepalive_timeout {self.idle_seconds}s;" if self.idle_seconds else ""
            upstream = f"upstream responders {{ {servers} keepalive 4;{idle} }}"
            backend = "responders;\n    fastcgi_keep_conn on"
        else:
            fcgiwrap = require("fcgiwrap")
            sock = os.path.join(self.dir, "fcgiwrap.sock")
            if os.path.exists(sock):
                os.unlink(sock)  # left by an attempt on a port that was taken
            self.spawn([fcgiwrap, "-c", "4", "-s", f"unix:{sock}"])
            deadline = time.monotonic() + START_TIMEOUT
            while not os.path.exists(sock):
                if time.monotonic() > deadline or self.procs[-1].poll() is not None:
                    raise Failure(f"fcgiwrap did not create its socket; {self.log_hint()}")
                time.sleep(0.05)
            uid, gid, mode = web_server_user()[1]
            os.chown(sock, uid, gid)
            os.chmod(sock, mode)
            upstream, backend = "", f"unix:{sock}"
        params = [(k, v) for k, v in (
            ("SCRIPT_FILENAME", f"{htdocs}$fastcgi_script_name"),
            ("SCRIPT_NAME", "$fastcgi_script_name"),
            ("QUERY_STRING", "$query_string"),
            ("REQUEST_METHOD", "$request_method"),
            ("CONTENT_TYPE", "$content_type"),
            ("CONTENT_LENGTH", "$content_length"),
            ("REQUEST_URI", "$request_uri"),
            ("DOCUMENT_ROOT", "$document_root"),
            ("SERVER_PROTOCOL", "$server_protocol"),
            ("GATEWAY_INTERFACE", "CGI/1.1"),
            ("SERVER_SOFTWARE", "nginx"),
            ("REMOTE_ADDR", "$remote_addr"),
            ("SERVER_ADDR", "$server_addr"),
            ("SERVER_PORT", "$server_port"),
            ("SERVER_NAME", "$server_name"))] + [(k, f'"{v}"') for k, v in self.env.items()]
        # The same request without REQUEST_METHOD: the responder shows its
        # command-line tail, so a client sees which responder answered.
        tail_params = "\n    ".join(f"fastcgi_param {k} {v};" for k, v in params
                                     if k != "REQUEST_METHOD")
        params = "\n    ".join(f"fastcgi_param {k} {v};" for k, v in params)
        conf = nginx_conf(self.dir, f"""
  {upstream}
  client_max_body_size 8m;
  client_body_buffer_size 2m;
  server {{
    listen 127.0.0.1:{self.port};
    # SERVER_NAME is $server_name, "" without this line; the other servers
    # pass 127.0.0.1 too.
    server_name 127.0.0.1;
    root {htdocs};
    location /cgi-bin/ {{
    fastcgi_pass {backend};
    {params}
    }}
    location = /responder {{
    fastcgi_pass {backend};
    {tail_params}
    }}
  }}""")
        self.spawn([nginx, "-p", self.dir + "/", "-c", conf, "-e", f"{self.dir}/error.log"])


# The servers a test names: the program as CGI, or a FastCGI responder.
SERVERS = {
    "lighttpd": (Lighttpd, {}), "apache": (Apache, {}), "nginx": (Nginx, {}),
    "lighttpd-fastcgi": (Lighttpd, {"fastcgi": True}), "apache-fastcgi": (Apache, {"fastcgi": True}),
    "nginx-fastcgi-unix": (Nginx, {"fastcgi": "unix"}), "nginx-fastcgi-tcp": (Nginx, {"fastcgi": "tcp"}),
}


def serve(name, program, **options):
    """The server SERVERS names, in front of `program`, with `options` for
    its class (env, responder_env, scripts)."""
    kind, fixed = SERVERS[name]
    return kind(program, **fixed, **options)
