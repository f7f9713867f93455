#!/usr/bin/env python3
"""The example programs behind lighttpd, driven by curl, as CGI and as
FastCGI responders.

feedback (cgiecho-feedback): a good submission kept byte for byte under the
program's own names and answered with a 303 to its own absolute URL and a
cookie that fills the form in next time (a non-ASCII name included); the
program's rules refused together on one 400 page; other methods 405; HEAD
without a body; the folder from the process's own environment only, never
from a request's parameters.

json (cgiecho-json-example): sums, shapes refused, 415 and 405, a NUL byte
kept inside a string and invalid UTF-8 refused, a body over the example's
own limit of 1 MiB, or over the server's CGIECHO_MAX_BODY in its place,
answered as JSON, a body past CGIECHO_MEMORY read from its temp file.

usage: example_cases.py feedback|json PROGRAM
"""

import html
import json
import os
import re
import shutil
import subprocess
import tempfile
import urllib.parse

from procs import require
from runner import Failure, Usage, check, main, make_workdir
from webserver import Lighttpd

DIR = "CGIECHO_FEEDBACK_DIR"
KEPT = re.compile(r"[0-9a-f]{32}\.(feedback|attachment)")
BINARY = bytes(range(256)) * 40 + b"\0\r\n--"   # NUL bytes, CR LF and a dash pair inside
NAME = 'Zoë "李" <b>&amp;'                       # UTF-8, and every byte that needs escaping


def curl(port, args, data=None, target="/cgi-bin/feedback"):
    """status, headers (lower-case name -> values), body."""
    done = subprocess.run([require("curl"), "-s", "-S", "-i", "-H", "Expect:", *args,
                           f"http://127.0.0.1:{port}{target}"],
                          input=data, capture_output=True, timeout=60)
    if done.returncode != 0:
        raise Failure(f"curl {args}: {done.stderr.decode(errors='replace')}")
    head, _, body = done.stdout.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers.setdefault(name.strip().lower(), []).append(value.strip())
    return int(lines[0].split()[1]), headers, body


def form(work, name="Ann", email="ann@example.test", topics=("bugs",), message="Hello\r\nthere",
         attachment=None):
    """curl arguments for a multipart POST; attachment: (filename, bytes)."""
    args = ["--form-string", f"name={name}", "--form-string", f"email={email}",
            "--form-string", f"message={message}"]
    for t in topics:
        args += ["--form-string", f"topic={t}"]
    if attachment:
        path = os.path.join(work, "upload.bin")
        with open(path, "wb") as f:
            f.write(attachment[1])
        quoted = attachment[0].replace("\\", "\\\\").replace('"', '\\"')
        args += ["-F", f'attachment=@{path};filename="{quoted}";type=application/octet-stream']
    return args


def feedback_rows():
    # what, the form's fields over form()'s, status, lines the page lists,
    # (client filename as sent, bytes kept) or None
    four = ("website", "bugs", "ideas", "other")
    return [
        ("a good submission", {"attachment": ("notes.bin", BINARY)}, 303, [], ("notes.bin", BINARY)),
        ("no attachment, no topic", {"topics": ()}, 303, [], None),
        ("a filename with a double quote", {"attachment": ('say "hi".txt', b"hi\n")}, 303, [],
         ("say %22hi%22.txt", b"hi\n")),
        ("a non-ASCII name", {"name": NAME}, 303, [], None),
        ("a file of 100 KiB", {"attachment": ("full.bin", b"x" * (100 << 10))}, 303, [],
         ("full.bin", b"x" * (100 << 10))),
        ("a file of 101 KiB", {"attachment": ("big.bin", b"x" * (101 << 10))}, 400,
         ["attachment: a file of at most 100 KiB"], None),
        ("no name, no @, four topics", {"name": "", "email": "nobody", "topics": four}, 400,
         ["name is required", 'email: an address has an "@" in it', "topic: pick at most 3"],
         None),
        ("no email at all", {"email": ""}, 400, ["email is required"], None),
    ]


def check_submission(port, https, work, folder, what, fields, status, errors, kept):
    problems = []
    before = sorted(os.listdir(folder))
    got, headers, body = curl(port, form(work, **fields))
    page = body.decode("utf-8", "replace")
    new = [n for n in sorted(os.listdir(folder)) if n not in before]
    if got != status:
        return [f"{what}: {got} {page[:300]!r}, expected {status}"]
    if status == 400:
        listed = [html.unescape(li) for li in re.findall(r"<li>(.*?)</li>", page)]
        if listed != errors:
            problems.append(f"{what}: the page lists {listed}, expected {errors}")
        if new:
            problems.append(f"{what}: a refused submission left {new}")
        return problems
    location = headers.get("location", [""])[0]
    if location != f"{'https' if https else 'http'}://127.0.0.1:{port}/cgi-bin/feedback?thanks=1":
        problems.append(f"{what}: Location {location!r}")
    cookies = [c for c in headers.get("set-cookie", []) if c.startswith("feedback_name=")]
    if len(cookies) != 1 or "; HttpOnly" not in cookies[0] or "; Path=/cgi-bin/feedback" not in cookies[0] or \
            (https and "; Secure" not in cookies[0]):
        problems.append(f"{what}: Set-Cookie {headers.get('set-cookie')}")
    else:
        # The browser sends the cookie back as it came; the form shows the
        # name exactly, escaped.
        cookie = cookies[0].split(";")[0]
        _, _, again = curl(port, ["-H", f"Cookie: {cookie}"])
        want = f'id="name" name="name" value="{html.escape(fields.get("name", "Ann"))}"'
        if want.encode() not in again:
            problems.append(f"{what}: the form lacks {want!r}: {again[:600]!r}")
    records = [n for n in new if n.endswith(".feedback")]
    attachments = [n for n in new if n.endswith(".attachment")]
    if not all(KEPT.fullmatch(n) for n in new) or len(records) != 1 or len(attachments) != (1 if kept else 0):
        return problems + [f"{what}: the folder got {new}"]
    record = open(os.path.join(folder, records[0]), "rb").read()
    if kept:
        if open(os.path.join(folder, attachments[0]), "rb").read() != kept[1]:
            problems.append(f"{what}: the attachment kept differs from the one sent")
        line = f"attachment: {attachments[0]} {len(kept[1])} {urllib.parse.quote(kept[0], safe='')}\n"
        if line.encode() not in record:
            problems.append(f"{what}: the record lacks {line!r}: {record[:300]!r}")
    if not record.endswith(b"\n\nHello\r\nthere"):
        problems.append(f"{what}: the record's message: {record[-40:]!r}")
    return problems


def feedback(program):
    work = tempfile.mkdtemp(prefix="cgiecho-feedback-test-")
    folder, asked = make_workdir("cgiecho-feedback-"), make_workdir("cgiecho-feedback-asked-")
    # how it runs, the configuration's variables (each request's), the
    # responders' own environment
    setups = [
        ("CGI", False, {DIR: folder}, {}),
        # A request parameter names another folder: the responder's own wins.
        ("FastCGI", True, {DIR: asked}, {DIR: folder}),
        # Behind a server that says the request came over HTTPS: the
        # redirect stays there, and the cookie is Secure.
        ("CGI, HTTPS", False, {DIR: folder, "HTTPS": "on"}, {}),
    ]
    try:
        for how, fastcgi, env, own in setups:
            with Lighttpd(program, scripts={"feedback": program}, fastcgi=fastcgi, env=env,
                          responder_env=own) as server:
                port = server.port
                for what, fields, status, errors, kept in feedback_rows():
                    check(f"{how}: {what}",
                          check_submission(port, "HTTPS" in env, work, folder, what, fields, status, errors, kept))
                # Methods: (method, status, Allow, whether a body comes)
                problems = []
                for method, status, allow, has_body in (("PUT", 405, "GET, HEAD, POST", True),
                                                         ("DELETE", 405, "GET, HEAD, POST", True),
                                                         ("HEAD", 200, None, False), ("GET", 200, None, True)):
                    got, headers, body = curl(port, ["-X", method] if method != "HEAD" else ["-I"])
                    if got != status or headers.get("allow", [None])[0] != allow or bool(body) != has_body:
                        problems.append(f"{how}: {method}: {got} {headers} {body[:200]!r}")
                _, _, thanks = curl(port, [], target="/cgi-bin/feedback?thanks=1")
                if b'id="thanks"' not in thanks:
                    problems.append(f"{how}: ?thanks=1 shows no thanks: {thanks[:300]!r}")
                check(f"{how}: other methods, HEAD, GET and the thanks", problems)
        # No folder of the process's own: a request's parameter does not
        # stand in for it; a folder that is not there is a clear 500 too.
        for how, fastcgi, env, own, text in (
                ("FastCGI, no own folder", True, {DIR: asked}, {}, "No feedback folder is configured"),
                ("CGI, a folder not there", False, {DIR: folder + "/gone"}, {}, "is not a folder")):
            with Lighttpd(program, scripts={"feedback": program}, fastcgi=fastcgi, env=env,
                          responder_env=own) as server:
                got, _, body = curl(server.port, form(work))
                # lighttpd passes a program's standard error on as its own.
                log = server.logs()
            # The line names the program as the server runs it.
            said = any(text in line.partition("feedback: ")[2] for line in log.splitlines())
            ok = got == 500 and text.encode() in body and said
            check(how, [] if ok else [f"{got} {body[:300]!r}; log {log[-400:]!r}"])
        check("a request's parameter puts no feedback in a folder of its own",
              [f"it holds {sorted(os.listdir(asked))}"] if os.listdir(asked) else [])
    finally:
        for d in (work, folder, asked):
            shutil.rmtree(d, ignore_errors=True)


def json_rows(limit):
    # what, content type, body, status, answer (parsed), or the error code;
    # `limit`: the body's limit in effect
    big = b'{"numbers":[' + b",".join(b"1" for _ in range(1500)) + b"]}"  # past CGIECHO_MEMORY

    def ones(what, size):
        """{"numbers":[1,1,...]} padded with a blank to `size` bytes: summed
        within the limit, refused past it."""
        n = (size - 13) // 2
        body = (b'{"numbers":[' + b",".join([b"1"] * n) + b"]}").ljust(size)
        if size > limit:
            return what, "application/json", body, 413, "body_too_large"
        return what, "application/json", body, 200, {"count": n, "sum": n}

    return [
        ("whole numbers", "application/json", b'{"numbers":[1,2,3]}', 200, {"count": 3, "sum": 6}),
        ("a fraction", "application/json", b'{"numbers":[1,2.5]}', 200, {"count": 2, "sum": 3.5}),
        ("none", "Application/JSON; charset=utf-8", b'{"numbers":[]}', 200, {"count": 0, "sum": 0}),
        ("past 64 bits", "application/json", b'{"numbers":[9223372036854775807,1]}', 200,
         {"count": 2, "sum": 9223372036854775808.0}),
        ("a NUL escaped in a string", "application/json", b'{"numbers":[],"label":"a\\u0000b"}', 200,
         {"count": 0, "sum": 0, "label": "a\0b"}),
        ("a body in a temp file", "application/json", big, 200, {"count": 1500, "sum": 1500}),
        ("a raw NUL in a string", "application/json", b'{"numbers":[],"label":"a\0b"}', 400, "malformed_json"),
        ("invalid UTF-8", "application/json", b'{"numbers":[],"label":"\xff\xfe"}', 400, "malformed_json"),
        ("cut short", "application/json", b'{"numbers":[1,', 400, "malformed_json"),
        ("no body", "application/json", b"", 400, "malformed_json"),
        ("not a list", "application/json", b'{"numbers":"1"}', 400, "bad_shape"),
        ("a list alone", "application/json", b"[1,2]", 400, "bad_shape"),
        ("a string among numbers", "application/json", b'{"numbers":[1,"2"]}', 400, "bad_shape"),
        ("a sum past every double", "application/json", b'{"numbers":[1e308,1e308]}', 400, "sum_out_of_range"),
        ("text/plain", "text/plain", b'{"numbers":[1]}', 415, "unsupported_media_type"),
        ("a form", "application/x-www-form-urlencoded", b"numbers=1", 415, "unsupported_media_type"),
        ones("past 4096 bytes", 6015),
        ones("at 1 MiB", 1 << 20),
        ones("past 1 MiB", (1 << 20) + 1),
    ]


def json_api(program):
    # how, fastcgi, the server's CGIECHO_MAX_BODY (None: the example's own 1 MiB)
    for how, fastcgi, max_body in (("CGI", False, 4096), ("FastCGI", True, 4096),
                                   ("CGI, the example's own limit", False, None),
                                   ("CGI, a server's limit over the example's", False, 2 << 20)):
        limits = {"CGIECHO_MEMORY": "64", **({"CGIECHO_MAX_BODY": str(max_body)} if max_body else {})}
        with Lighttpd(program, scripts={"api": program}, fastcgi=fastcgi, env=limits) as server:
            rows = [(what, ["-X", "POST", "-H", f"Content-Type: {ctype}", "--data-binary", "@-"], body, status, want)
                    for what, ctype, body, status, want in json_rows(max_body or 1 << 20)]
            rows.append(("GET", [], None, 405, "method_not_allowed"))
            for what, args, body, status, want in rows:
                got, headers, answer = curl(server.port, args, data=body, target="/cgi-bin/api")
                try:
                    parsed = json.loads(answer)
                except ValueError:
                    parsed = None
                ok = got == status and headers.get("content-type") == ["application/json"]
                if isinstance(want, dict):
                    ok = ok and parsed == want and type(parsed["sum"]) is type(want["sum"])
                else:
                    ok = ok and isinstance(parsed, dict) and parsed.get("error") == want and "message" in parsed
                if status == 405:
                    ok = ok and headers.get("allow") == ["POST"]
                check(f"{how}: {what}", [] if ok else [f"{got} {headers} {answer[:300]!r}, expected {status} {want}"])


def cases(args):
    if len(args) != 2 or args[0] not in ("feedback", "json"):
        raise Usage
    (feedback if args[0] == "feedback" else json_api)(args[1])


if __name__ == "__main__":
    main(cases, __doc__)
