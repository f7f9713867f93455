#!/usr/bin/env python3
"""`make demo`'s script: serves the form page, the echo program and the upload
example, stops on Ctrl+C.

usage: demo_test.py DEMO_SH PROGRAM UPLOAD

Once as CGI, once with DEMO_FASTCGI=1, where one responder process must
answer every request and end with the demo.
"""

import html
import html.parser
import os
import re
import select
import signal
import subprocess
import time
import urllib.parse

from procs import descendants, free_port, stop
from runner import Failure, Usage, check, main
from webserver import exchange, multipart, page


class FormReader(html.parser.HTMLParser):
    """The form's controls in document order, as (tag, attributes)."""

    def __init__(self):
        super().__init__()
        self.controls, self.action, self.form, self.links = [], None, {}, []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.action, self.form = a.get("action"), a
        elif tag == "a":
            self.links.append(a.get("href"))
        elif tag in ("input", "textarea", "select", "button"):
            self.controls.append((tag, a))


def check_form(body):
    reader = FormReader()
    reader.feed(body.decode("utf-8"))
    named = [(t, a) for t, a in reader.controls if a.get("name")]
    problems = []
    if not named or named[0][1] != {"type": "checkbox", "name": "nosanitize", "value": "1"}:
        problems.append(f"the first field is not the nosanitize=1 checkbox: {named[:1]}")
    kinds = {(t, a.get("type")) for t, a in reader.controls}
    for want in (("input", "text"), ("textarea", None), ("select", None), ("input", "checkbox")):
        if want not in kinds:
            problems.append(f"no {want} control in the form")
    methods = {a.get("formmethod") for t, a in reader.controls if t == "button"}
    if not {"get", "post"} <= methods:
        problems.append(f"submit buttons for GET and POST missing: {methods}")
    return reader.action, problems


UPLOAD_PATH = "/cgi-bin/upload"


def check_upload(port, folder, front):
    """The front page links the file drop; its form posts files, which are
    kept in the demo's folder and listed, escaped, for this client only."""
    problems = []
    reader = FormReader()
    reader.feed(front.decode("utf-8"))
    if UPLOAD_PATH not in reader.links:
        problems.append(f"the front page does not link {UPLOAD_PATH}")
    page = exchange(port, "GET", UPLOAD_PATH.encode())
    reader = FormReader()
    reader.feed(page.body.decode("utf-8"))
    controls = {(t, a.get("type"), a.get("name"), "multiple" in a) for t, a in reader.controls}
    if page.status != 200 or reader.action != UPLOAD_PATH or \
            reader.form.get("enctype") != "multipart/form-data" or \
            not {("select", None, "tags", True), ("input", "file", "files", True)} <= controls:
        problems.append(f"upload page: {page.status}, form {reader.action} {controls}")
    sent = {b"a.bin": bytes(range(256)) * 40, b"<i>&amp;.txt": b"x\0y"}
    body, ctype = multipart([(b"title", None, None, b"<b>hi</b>"), (b"tags", None, None, b"photos"),
                             (b"tags", None, None, b"music")] +
                            [(b"files", name, b"application/octet-stream", data) for name, data in sent.items()],
                            b"XdemoX")
    post = exchange(port, "POST", UPLOAD_PATH.encode(), raw_body=body, headers=[f"Content-Type: {ctype}"])
    location = post.headers.get("location", [""])[0]
    cookie = post.headers.get("set-cookie", [""])[0].split(";")[0]
    if post.status != 303 or location != f"http://127.0.0.1:{port}{UPLOAD_PATH}" or \
            not re.fullmatch(r"drop_id=[0-9a-f]{32}", cookie):
        problems.append(f"POST: {post.status} Location {location!r} cookie {cookie!r}")
        return problems
    kept = sorted(open(os.path.join(folder, n), "rb").read() for n in os.listdir(folder) if n.endswith(".upload"))
    if kept != sorted(sent.values()):
        problems.append(f"kept {len(kept)} files, not the bytes sent")
    listed = exchange(port, "GET", UPLOAD_PATH.encode(), headers=[f"Cookie: {cookie}"]).body.decode("utf-8")
    for name, data in sent.items():
        row = f"<td>{html.escape(name.decode())}</td><td>application/octet-stream</td><td>{len(data)}</td>"
        if row not in listed:
            problems.append(f"the list lacks {row}")
    for text in ("<td>&lt;b&gt;hi&lt;/b&gt;</td>", "<td>photos</td>", "<td>music</td>"):
        if text not in listed:
            problems.append(f"the list lacks {text}")
    other = exchange(port, "GET", UPLOAD_PATH.encode()).body.decode("utf-8")
    if 'id="none"' not in other:
        problems.append("a client without the cookie sees another's uploads")
    return problems


def program_name(pid):
    # A process may end between the listing and the look (a CGI run of
    # the upload example's page, say): it is nobody's responder then.
    try:
        return os.path.basename(os.readlink(f"/proc/{pid}/exe"))
    except OSError:
        return None


def responders(pid):
    return sorted(p for p in descendants(pid) if program_name(p) == "cgiecho")


def cases(args):
    if len(args) != 3:
        raise Usage
    for fastcgi in (False, True):
        check(f"the demo as {'FastCGI' if fastcgi else 'CGI'}", demo_run(*args, fastcgi), limit=None)


def demo_run(demo, program, upload, fastcgi):
    env = dict(os.environ, DEMO_PORT=str(free_port()), DEMO_FASTCGI=str(int(fastcgi)))
    proc = subprocess.Popen([demo, program, upload], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            env=env)
    problems = []
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 20)
        line = proc.stdout.readline().decode() if ready else ""
        print(line.strip())
        if "http://127.0.0.1:" not in line:
            raise Failure(f"demo printed no address: {line!r}")
        port = int(line.split("http://127.0.0.1:")[1].split("/")[0])
        line = proc.stdout.readline().decode()
        print(line.strip())
        if "files kept in " not in line:
            raise Failure(f"demo printed no upload folder: {line!r}")
        folder = line.split("files kept in ")[1].strip()

        front = exchange(port, "GET", b"/")
        if front.status != 200:
            raise Failure(f"form page: status {front.status}")
        action, problems = check_form(front.body)
        problems += check_upload(port, folder, front.body)
        before = responders(proc.pid)

        # What a browser sends for the form with the opt-out ticked, and without.
        fields = [("name", "Ann Lee"), ("note", 'Try <b>bold</b> & "quotes"'),
                  ("colour", "green"), ("subscribe", "yes")]
        for ticked in (True, False):
            data = urllib.parse.urlencode([("nosanitize", "1")] * ticked + fields).encode()
            get = exchange(port, "GET", action.encode() + b"?" + data)
            post = exchange(port, "POST", action.encode(), body=data)
            for method, r in (("GET", get), ("POST", post)):
                if (r.status, r.body) != (200, page(data)):
                    problems.append(f"{method} nosanitize={ticked}: {r.status} {r.body[:200]!r}")
        # A raw '<' in a body shows whether the opt-out works end to end.
        for body, shown in ((b"nosanitize=1&x=<b>", b"nosanitize=1&x=<b>"),
                            (b"x=<b>", b"x=&lt;b>")):
            r = exchange(port, "POST", action.encode(), body=body)
            if r.body != page(shown):
                problems.append(f"POST {body!r}: {r.body[:200]!r}")

        after = responders(proc.pid)
        if fastcgi and (len(before) != 1 or after != before):
            problems.append(f"responders {before} before the requests, {after} after")
        if not fastcgi and before:
            problems.append(f"a cgiecho process waits between requests: {before}")
        server = descendants(proc.pid)
        proc.send_signal(signal.SIGINT)  # what Ctrl+C sends
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            problems.append("demo still running 10 s after Ctrl+C")
        time.sleep(0.2)
        left = [pid for pid in server if os.path.exists(f"/proc/{pid}")
                and open(f"/proc/{pid}/stat").read().split()[2] != "Z"]
        if left:
            problems.append(f"processes left after Ctrl+C: {left}")
            for pid in left:
                os.kill(pid, signal.SIGKILL)
    except Failure as e:
        problems.append(str(e))
    finally:
        stop(proc)
    return problems


if __name__ == "__main__":
    main(cases, __doc__)
