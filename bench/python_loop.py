"""What the Python package adds per frame: the same renders of the same avatar and audio, once as a C++ loop over
the public API (velmora_frames --time) and once as a Python loop over avatar.render(), each timed from the call
of render() to the end of its loop; the median render of each, after one render to warm up. The avatar is a
fixture avatar with small frames, whose engine costs little, so the difference is the binding's own cost.

    scripts/python build/rel bench/python_loop.py [--seconds 400] [--renders 9]
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


def cpp_loop(avatar, pcm_file, renders):
    """(frames, seconds) of each render."""
    out = subprocess.run([str(BUILD / "bin" / "velmora_frames"), "--time", str(renders), avatar, f"pcm:{pcm_file}"],
                         capture_output=True, text=True, check=True).stdout
    return [(int(n), float(s)) for n, s in (line.split() for line in out.splitlines())]


def python_loop(avatar, pcm, renders):
    timed = []
    with velmora.open(avatar) as a:
        for _ in range(renders):
            t0 = time.perf_counter()
            count = 0
            for _frame in a.render(pcm):
                count += 1
            timed.append((count, time.perf_counter() - t0))
    return timed


def per_frame_us(timed):
    return statistics.median(seconds / frames for frames, seconds in timed[1:]) * 1e6


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=400.0, help="audio per render (25 frames a second)")
    ap.add_argument("--renders", type=int, default=9)
    args = ap.parse_args()
    n = int(args.seconds * 16000)
    pcm = (8000 * np.sin(2 * np.pi * 220 * np.arange(n) / 16000)).astype(np.int16).tobytes()
    with tempfile.TemporaryDirectory() as d:
        pcm_file = os.path.join(d, "speech.pcm")
        pathlib.Path(pcm_file).write_bytes(pcm)
        avatar = os.path.join(d, "face.v1")
        pathlib.Path(avatar).write_text("vantor1-fixture 8 8\n")
        cpp = cpp_loop(avatar, pcm_file, args.renders + 1)
        py = python_loop(avatar, pcm, args.renders + 1)
        assert {n for n, _ in cpp} == {n for n, _ in py}, (cpp, py)
        c, p = per_frame_us(cpp), per_frame_us(py)
        print(f"{cpp[0][0]} frames per render: C++ loop {c:.2f} us/frame, Python loop {p:.2f} us/frame, "
              f"Python adds {p - c:.2f} us/frame (median of {args.renders} renders)")


if __name__ == "__main__":
    main()
