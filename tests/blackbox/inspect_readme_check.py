#!/usr/bin/env python3
"""The inspector's documented example, run as it is written.

usage: inspect_readme_check.py PAGE INSPECTOR

Takes each `$ ` command of the page (docs/inspector.md), runs it with the
built program in place of build/cgiecho-inspect and nothing else in the
environment, and compares the answer byte for byte with the block after it
(CR LF after each header line, one LF after the JSON).
"""

import re
import subprocess
import sys


def main(page, program):
    text = open(page, encoding="utf-8").read()
    blocks = re.findall(r"```[a-z]*\n(.*?)```", text, re.S)
    examples = [(b, blocks[i + 1]) for i, b in enumerate(blocks[:-1]) if b.startswith("$ ")]
    if not examples:
        print(f"FAIL {page} shows no `$ ` example")
        return 1
    failed = 0
    for command, shown in examples:
        command = command[2:].strip()
        head, _, report = shown.partition("\n\n")
        want = (head.replace("\n", "\r\n") + "\r\n\r\n" + report).encode()
        got = subprocess.run(["sh", "-c", command.replace("build/cgiecho-inspect", program)],
                             env={"PATH": "/usr/bin:/bin"}, capture_output=True, timeout=30).stdout
        if got != want:
            print(f"FAIL the page's example {command!r} answers\n{got!r}\nnot\n{want!r}")
            failed += 1
    if failed:
        return 1
    print(f"ok   the {len(examples)} examples of {page} answer as shown")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
