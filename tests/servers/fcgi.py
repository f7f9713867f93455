"""A FastCGI client that speaks raw records, as no web server would: what
a request's records hold is the caller's to choose, down to the byte."""

import socket
import struct
import subprocess

# The CGI header of the echo program's page.
HEADER = b"Content-type: text/html\r\n\r\n"

BEGIN, PARAMS, STDIN, STDOUT, END = 1, 4, 5, 6, 3


def connect(address, timeout=30.0):
    """A stream socket to a Unix socket's path, or to (host, port)."""
    if isinstance(address, str):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(timeout)
        try:
            s.connect(address)
        except OSError:
            s.close()
            raise
        return s
    return socket.create_connection(address, timeout=timeout)


def record(kind, content=b"", rid=1):
    out = b""
    while True:
        part, content = content[:65535], content[65535:]
        pad = -len(part) % 8
        out += struct.pack(">BBHHBx", 1, kind, rid, len(part), pad) + part + b"\0" * pad
        if not content:
            return out


def pairs(params):
    """A dict, or a list of (name, value) in which a name may come twice."""
    out = b""
    for name, value in (params.items() if isinstance(params, dict) else params):
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


def ask(sock, params, body=b"", **options):
    """One request on `sock` and its answer, as response() gives it."""
    sock.sendall(request(params, body, **options))
    return response(sock)


def as_cgi(program, params, body=b"", tail=()):
    """What the program writes as CGI for the same parameters and input."""
    environ = {k.decode(): v.decode("latin-1") for k, v in params.items()}
    return subprocess.run([program, *tail], input=body, env=environ, capture_output=True, timeout=30).stdout


def env(method=None, **params):
    p = {b"REQUEST_METHOD": method.encode()} if method else {}
    p.update({k.encode(): v for k, v in params.items()})
    return p
