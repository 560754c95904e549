#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# A stack of 20 A4 pages (300 dpi, colour and line art) from torvane-sim's
# feeder at its default image data rate (USB 2.0), to a PDF and to one PNM per
# page: wall time and CPU time of torvane-scan for each, and the share of its
# CPU time the PDF's encoding takes (PDF CPU minus PNM CPU, over PDF CPU).
# Usage: bench/stack_bench.py [PAGES]   (after building torvane-scan and torvane-sim)
import os
import resource
import subprocess
import sys
import tempfile
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
bin_dir = os.path.join(root, "build", "default", "bin")
pages = int(sys.argv[1]) if len(sys.argv) > 1 else 20


def scan(work, env, sim, args):
    """One stack through torvane-scan: (wall seconds, CPU seconds)."""
    sim.stdin.write("empty\nload " + " ".join(["chart"] * pages) + "\n")
    sim.stdin.flush()
    time.sleep(0.5)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run([os.path.join(bin_dir, "torvane-scan"), "-q", "--batch", "-r", "300"] + args,
                   env=env, cwd=work, check=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    with tempfile.TemporaryDirectory() as work:
        env = dict(os.environ, TORVANE_DEVICE_DIR=os.path.join(work, "dev"),
                   TORVANE_INSTANCE="stackbench%d" % os.getpid())
        sim = subprocess.Popen([os.path.join(bin_dir, "torvane-sim"), "--dir", env["TORVANE_DEVICE_DIR"],
                                "--quiet", "--feeder", "chart"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True, env=env)
        sim.stdout.readline()  # the ready line
        try:
            print("%d A4 pages at 300 dpi, simulator at %s" % (pages, "its default rate (USB 2.0)"))
            for mode in ("color", "lineart"):
                pdf = scan(work, env, sim, ["-m", mode, "-o", "stack.pdf"])
                pnm = scan(work, env, sim, ["-m", mode, "-o", "page-%03d.pnm"])
                share = (pdf[1] - pnm[1]) / pdf[1] if pdf[1] > 0 else 0
                print("%-8s PDF %6.2f s wall %6.2f s CPU | PNM %6.2f s wall %6.2f s CPU | "
                      "PDF/PNM wall %.3f, encoder %.0f%% of the PDF run's CPU"
                      % (mode, pdf[0], pdf[1], pnm[0], pnm[1], pdf[0] / pnm[0], 100 * share))
        finally:
            sim.stdin.close()
            sim.wait()
            for name in os.listdir("/dev/shm"):
                if name.startswith("TQX5800") and env["TORVANE_INSTANCE"] in name:
                    os.remove(os.path.join("/dev/shm", name))


main()
