#!/usr/bin/env python3
"""`make demo`'s script: serves the form page and the echo program, stops on Ctrl+C.

usage: demo_test.py DEMO_SH PROGRAM

Once as CGI, once with DEMO_FASTCGI=1, where one responder process must
answer every request and end with the demo.
"""

import html.parser
import os
import select
import signal
import subprocess
import sys
import time
import urllib.parse

from webserver import Failure, descendants, exchange, free_port, page, stop


class FormReader(html.parser.HTMLParser):
    """The form's controls in document order, as (tag, attributes)."""

    def __init__(self):
        super().__init__()
        self.controls, self.action = [], None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.action = a.get("action")
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


def responders(pid):
    return sorted(p for p in descendants(pid) if os.path.basename(os.readlink(f"/proc/{p}/exe"))
                  == "cgiecho")


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    problems = []
    for fastcgi in (False, True):
        problems += [f"{'FastCGI' if fastcgi else 'CGI'}: {p}" for p in demo_run(*argv[1:], fastcgi)]
    for p in problems:
        print(f"FAIL {p}")
    print("demo passed" if not problems else f"{len(problems)} problem(s)")
    return 1 if problems else 0


def demo_run(demo, program, fastcgi):
    env = dict(os.environ, DEMO_PORT=str(free_port()), DEMO_FASTCGI=str(int(fastcgi)))
    proc = subprocess.Popen([demo, program], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            env=env)
    problems = []
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 20)
        line = proc.stdout.readline().decode() if ready else ""
        print(line.strip())
        if "http://127.0.0.1:" not in line:
            raise Failure(f"demo printed no address: {line!r}")
        port = int(line.split("http://127.0.0.1:")[1].split("/")[0])

        front = exchange(port, "GET", b"/")
        if front.status != 200:
            raise Failure(f"form page: status {front.status}")
        action, problems = check_form(front.body)
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
    sys.exit(main(sys.argv))
