#!/usr/bin/env python3
"""The README's inspector example, run as it is written.

usage: inspect_readme_check.py README INSPECTOR

Takes the first `$ ` command of the section "The inspector", runs it with
the built program in place of build/cgiecho-inspect and nothing else in the
environment, and compares the answer byte for byte with the block after it
(CR LF after each header line, one LF after the JSON).
"""

import re
import subprocess
import sys


def main(readme, program):
    text = open(readme, encoding="utf-8").read()
    section = text[text.index("\n## The inspector"):]
    section = section[:section.index("\n## ", 1)]
    blocks = re.findall(r"```[a-z]*\n(.*?)```", section, re.S)
    command = next(b for b in blocks if b.startswith("$ "))[2:].strip()
    shown = blocks[blocks.index(next(b for b in blocks if b.startswith("$ "))) + 1]
    head, _, report = shown.partition("\n\n")
    want = (head.replace("\n", "\r\n") + "\r\n\r\n" + report).encode()
    got = subprocess.run(["sh", "-c", command.replace("build/cgiecho-inspect", program)],
                         env={"PATH": "/usr/bin:/bin"}, capture_output=True, timeout=30).stdout
    if got != want:
        print(f"FAIL the README's example answers\n{got!r}\nnot\n{want!r}")
        return 1
    print("ok   the README's inspector example answers as shown")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
