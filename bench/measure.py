#!/usr/bin/env python3
"""Runs one command and prints its wall time in seconds, the peak resident set
size (KiB) of the largest process among it and its descendants, and the CPU
time (user + system, seconds) of it and its descendants.

usage: measure.py COMMAND [ARGS...]
Standard input is /dev/null; the command's output goes to /dev/null unless
MEASURE_LOG names a file. Exits with the command's status.
"""
import os
import resource
import subprocess
import sys
import time


def main():
    log = os.environ.get("MEASURE_LOG")
    out = open(log, "ab") if log else subprocess.DEVNULL
    start = time.perf_counter()
    status = subprocess.call(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    elapsed = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    print(f"{elapsed:.4f} {usage.ru_maxrss} {usage.ru_utime + usage.ru_stime:.4f}")
    sys.exit(status)


if __name__ == "__main__":
    main()
