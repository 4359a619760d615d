#!/usr/bin/env python3
"""Times commands in turn, one run of each per round, so that a machine that
gets busier or quieter partway through weighs on all of them alike.

    alternate.py ROUNDS COMMAND...   (each COMMAND one shell-split string)

Prints, for each command in order, its minimum and median in seconds.
"""
import os
import shlex
import statistics
import sys
import time


def run_once(argv):
    devnull = os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1),
                                       (os.POSIX_SPAWN_DUP2, devnull, 2)])
    os.waitpid(pid, 0)
    took = time.perf_counter() - start
    os.close(devnull)
    return took


def main():
    rounds = int(sys.argv[1])
    commands = [shlex.split(c) for c in sys.argv[2:]]
    times = [[] for _ in commands]
    for argv in commands:  # a warm-up run of each
        run_once(argv)
    for _ in range(rounds):
        for i, argv in enumerate(commands):
            times[i].append(run_once(argv))
    for t in times:
        print("%.4f %.4f" % (min(t), statistics.median(t)))


main()
