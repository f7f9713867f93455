"""The one runner of every case file: a line for each check, `ok` or
`FAIL` with what was wrong under it, then `N passed, N failed`; the exit
status 1 when a check failed, 2 for a command line that fits no form."""

import sys


class Failure(Exception):
    """What stops a case: the server, the responder or a tool is not there
    or not as it must be."""


class Usage(Exception):
    """The command line fits none of the file's forms."""


counts = {"passed": 0, "failed": 0}


def check(what, problems=(), limit=10):
    """One check's line, and the first `limit` problems under it: True when
    it failed."""
    problems = list(problems)
    print(f"{'FAIL' if problems else 'ok  '} {what}", flush=True)
    for p in problems[:limit]:
        print(f"       {p}")
    counts["failed" if problems else "passed"] += 1
    return bool(problems)


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
