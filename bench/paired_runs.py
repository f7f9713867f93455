#!/usr/bin/env python3
"""One GET request of two CGI programs, run alternately, each pair in turn
starting with the other program, so that a machine whose load drifts
weighs on both alike.

usage: paired_runs.py PROGRAM_A PROGRAM_B PAIRS [NAME=VALUE ...]

Prints the median wall time of each (fork, exec, run, exit, in
microseconds) and the median of the pairs' ratios B / A; the last line is
that ratio alone.
"""
import os
import statistics
import sys
import time


def main(argv):
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    a, b, pairs = argv[1], argv[2], int(argv[3])
    env = {"REQUEST_METHOD": "GET", "QUERY_STRING": "name=Ann&note=hello+world&x=%3Cb%3E&y=a<b"}
    env.update(item.split("=", 1) for item in argv[4:])
    devnull = os.open(os.devnull, os.O_WRONLY)

    def run(program):
        start = time.perf_counter_ns()
        pid = os.posix_spawn(program, [program], env, file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
        os.waitpid(pid, 0)
        return time.perf_counter_ns() - start

    times_a, times_b, ratios = [], [], []
    for i in range(pairs):
        if i % 2:
            tb = run(b)
            ta = run(a)
        else:
            ta = run(a)
            tb = run(b)
        times_a.append(ta)
        times_b.append(tb)
        ratios.append(tb / ta)
    print(f"median us: {statistics.median(times_a) / 1e3:.1f} and {statistics.median(times_b) / 1e3:.1f};"
          f" median ratio of the pairs")
    print(f"{statistics.median(ratios):.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
