#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The driver's image routines beside Pillow on the same A4 colour pages (300 and 600 dpi).

Each case runs the driver's routine (build/default/bench/page_timer, chunk by
chunk as the read pipeline calls it) and Pillow's nearest operation on the
same pixels, alternating, on one core, and prints the best CPU time of each
(thread CPU time, so that a busy machine adds little) and their ratio
(Pillow time / driver time: above 1 the driver is faster).

    bench/pillow_compare.py [--timer PATH] [--rounds N] [--core N]

Needs Python 3 with Pillow (Debian's python3-pil).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from PIL import Image

# case name for page_timer, what it is, Pillow's operation on an RGB page,
# and the ratio the driver should reach.
CASES = [
    (300, "resample-300-100", "box 300->100 dpi vs Image.reduce(3)", lambda im: im.reduce(3), 1.5),
    (300, "resample-300-100", "box 300->100 dpi vs resize(BOX)",
     lambda im: im.resize((im.width // 3, im.height // 3), Image.BOX), 3.0),
    (300, "resample-300-75", "box 300->75 dpi vs Image.reduce(4)", lambda im: im.reduce(4), 1.5),
    (300, "resample-300-75", "box 300->75 dpi vs resize(BOX)",
     lambda im: im.resize((im.width // 4, im.height // 4), Image.BOX), 1.0),
    (600, "resample-600-200", "box 600->200 dpi vs Image.reduce(3)", lambda im: im.reduce(3), 1.5),
    (600, "resample-600-150", "box 600->150 dpi vs Image.reduce(4)", lambda im: im.reduce(4), 1.5),
    (300, "resample-300-200", "bilinear 300->200 dpi vs resize(BOX)",
     lambda im: im.resize((im.width * 2 // 3, im.height * 2 // 3), Image.BOX), 0.0),
    (300, "resample-300-150", "bilinear 300->150 dpi vs Image.reduce(2)", lambda im: im.reduce(2), 0.0),
    (300, "grey", "ColourLinesToGrey vs convert('L')", lambda im: im.convert("L"), 2.0),
    (300, "filters", "four model filters vs 3x3 SHARPEN filter",
     lambda im: im.filter(__import__("PIL.ImageFilter").ImageFilter.SHARPEN), 0.0),
]


def driver_seconds(timer, case, rounds):
    out = subprocess.run([timer, case, str(rounds)], check=True, capture_output=True, text=True)
    return float(out.stdout.split()[0])


def pillow_seconds(operation, image, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.thread_time()
        operation(image)
        best = min(best, time.thread_time() - start)
    return best


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timer", default=os.path.join(here, "..", "build", "default", "bench", "page_timer"))
    parser.add_argument("--rounds", type=int, default=5, help="alternations per case (best of each side)")
    parser.add_argument("--core", type=int, default=0, help="the one core both sides run on")
    args = parser.parse_args()

    if not os.access(args.timer, os.X_OK):
        sys.exit(f"{args.timer} not found: build it with cmake --build --preset default --target page_timer")
    # One core for both sides: the child inherits the affinity.
    os.sched_setaffinity(0, {args.core})

    images = {}
    with tempfile.TemporaryDirectory() as folder:
        for base in sorted({case[0] for case in CASES}):
            path = os.path.join(folder, f"page{base}.ppm")
            subprocess.run([args.timer, "write", path, str(base)], check=True)
            images[base] = Image.open(path)
            images[base].load()

    print(f"A4 RGB pages at 300 and 600 dpi, core {args.core}, "
          f"best of {args.rounds} alternations of 3 runs each")
    print(f"{'case':44} {'driver ms':>10} {'Pillow ms':>10} {'ratio':>7} {'target':>7}")
    for base, case, label, operation, target in CASES:
        ours = theirs = float("inf")
        for _ in range(args.rounds):
            ours = min(ours, driver_seconds(args.timer, case, 3))
            theirs = min(theirs, pillow_seconds(operation, images[base], 3))
        ratio = theirs / ours
        wanted = f"{target:.1f}" if target else "-"
        met = "" if not target else (" met" if ratio >= target else " NOT MET")
        print(f"{label:44} {ours * 1e3:10.2f} {theirs * 1e3:10.2f} {ratio:7.2f} {wanted:>7}{met}")


if __name__ == "__main__":
    main()
