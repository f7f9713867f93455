"""The one runner of every case file: a line for each check, `ok` or
`FAIL` with what was wrong under it, then `N passed, N failed`; the exit
status 1 when a check failed, 2 for a command line that fits no form."""

import os
import shutil
import subprocess
import sys
import tempfile


class Failure(Exception):
    """What stops a case: the server, the responder or a tool is not there
    or not as it must be."""


class Usage(Exception):
    """The command line fits none of the file's forms."""


counts = {"passed": 0, "failed": 0}
# What a case that raises has found, as against a fault of the test itself.
FAULTS = (Failure, AssertionError, OSError, subprocess.TimeoutExpired, ValueError)


def make_workdir(prefix, mode=0o755):
    # World-readable: servers that drop root privileges must reach the program.
    path = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
    os.chmod(path, mode)
    return path


def check(what, problems=(), limit=10):
    """One check's line, and the first `limit` problems under it: True when
    it failed."""
    problems = list(problems)
    print(f"{'FAIL' if problems else 'ok  '} {what}", flush=True)
    for p in problems[:limit]:
        print(f"       {p}")
    counts["failed" if problems else "passed"] += 1
    return bool(problems)


def in_folder(what, call, prefix, logs=()):
    """call(folder) in a work folder of its own, removed after: the check
    passes with what it returns (what it checked), or fails with what it
    raised and the end of each log (a path in the folder) there is."""
    folder = make_workdir(prefix)
    try:
        check(f"{what}: {call(folder)}")
    except FAULTS as e:
        tails = []
        for name in logs:
            if os.path.exists(os.path.join(folder, name)):
                with open(os.path.join(folder, name), "rb") as f:
                    tails.append(f"--- {name}\n" + f.read()[-3000:].decode("latin-1"))
        check(what, [f"{type(e).__name__}: {e}", *tails])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main(cases, usage):
    """Runs cases(arguments) with the command line's arguments; a Failure
    that ends it is one more failed check."""
    try:
        cases(sys.argv[1:])
    except Usage:
        print(usage, file=sys.stderr)
        sys.exit(2)
    except Failure as e:
        check("the cases stopped", [e])
    print(f"{counts['passed']} passed, {counts['failed']} failed")
    sys.exit(1 if counts["failed"] else 0)
