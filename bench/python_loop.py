"""What the Python package adds per frame: the same render of the same avatar and audio, once as a C++ loop over
the public API (velmora_frames --time) and once as a Python loop over avatar.render(), each timed from the call
of render() to the end of the loop, median of several runs. The avatar is a fixture avatar, whose engine costs
little, so the difference is the binding's own cost.

    scripts/python build/rel bench/python_loop.py [--seconds 400] [--runs 7]
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy as np

import velmora

BUILD = pathlib.Path(velmora.__file__).resolve().parents[2]


def cpp_loop(avatar, pcm_file):
    out = subprocess.run([str(BUILD / "bin" / "velmora_frames"), "--time", avatar, f"pcm:{pcm_file}"],
                         capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), float(out[1])


def python_loop(avatar, pcm):
    with velmora.open(avatar) as a:
        t0 = time.perf_counter()
        count = 0
        for _frame in a.render(pcm):
            count += 1
        return count, time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=400.0, help="audio per render (25 frames a second)")
    ap.add_argument("--runs", type=int, default=7)
    args = ap.parse_args()
    n = int(args.seconds * 16000)
    pcm = (8000 * np.sin(2 * np.pi * 220 * np.arange(n) / 16000)).astype(np.int16).tobytes()
    with tempfile.TemporaryDirectory() as d:
        pcm_file = os.path.join(d, "speech.pcm")
        pathlib.Path(pcm_file).write_bytes(pcm)
        for width, height in ((8, 8), (416, 720)):
            avatar = os.path.join(d, f"face-{width}x{height}.v1")
            pathlib.Path(avatar).write_text(f"vantor1-fixture {width} {height}\n")
            cpp, py = [], []
            for _ in range(args.runs):
                frames, seconds = cpp_loop(avatar, pcm_file)
                cpp.append(seconds / frames)
                py_frames, seconds = python_loop(avatar, pcm)
                assert py_frames == frames, (py_frames, frames)
                py.append(seconds / py_frames)
            c, p = statistics.median(cpp) * 1e6, statistics.median(py) * 1e6
            print(f"{width}x{height} frames, {frames} per render: C++ loop {c:.2f} us/frame, Python loop {p:.2f} "
                  f"us/frame, Python adds {p - c:.2f} us/frame (median of {args.runs})")


if __name__ == "__main__":
    main()
