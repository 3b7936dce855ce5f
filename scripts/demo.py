"""The demo's client side: a demo avatar bundle, a few seconds of speech-like audio, and one render-stream session
with tarnhost through its real stdin/stdout protocol. Run by scripts/demo with /usr/bin/python3 (Debian's NumPy).

The bundle's models are files of the LiteRT stand-in (tests/standins/litert), not a trained avatar: the frames
show the canon latent and the audio moving through the host's whole pipeline, not a face.
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import threading
import time
import wave
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "standins", "litert"))
import standin_models  # noqa: E402

SR = 16000
FPS = 20
SPF = SR // FPS  # samples of audio per frame
FH, FW = 720, 416  # a frame is 416 pixels wide and 720 high
FRAME_BYTES = FH * FW * 3
LC, LH, LW = 16, 90, 52
STEP_FLUSH = 0xFFFFFFFF


# ---- the demo avatar --------------------------------------------------------------------------------------------


def canon_latent():
    """A simple face drawn in every latent channel: an oval, two eyes and a mouth, in [-0.5, 0.5]."""
    y, x = np.mgrid[0:LH, 0:LW].astype(np.float32)
    cy, cx = LH * 0.5, LW * 0.5
    face = ((y - cy) / (LH * 0.42)) ** 2 + ((x - cx) / (LW * 0.42)) ** 2 <= 1.0
    eyes = (((y - LH * 0.38) / 4.0) ** 2 + ((np.abs(x - cx) - LW * 0.17) / 3.5) ** 2) <= 1.0
    mouth = (np.abs(y - LH * 0.68) <= 2.5) & (np.abs(x - cx) <= LW * 0.2)
    img = np.where(face, 0.35, -0.45).astype(np.float32)
    img[eyes | mouth] = -0.5
    return np.broadcast_to(img, (LC, LH, LW)).astype("<f4")


def color_table():
    """A warm tint: red lifted, blue lowered, as a 3 x 256 lookup table."""
    v = np.arange(256, dtype=np.float64) / 255.0
    rows = [v ** 0.8, v ** 1.0, v ** 1.25]
    return {"lut": [[int(round(255 * c)) for c in row] for row in rows]}


def make_bundle(path):
    os.makedirs(path, exist_ok=True)
    canon_latent().tofile(os.path.join(path, "canon.bin"))
    standin_models.write_model(os.path.join(path, "combined_litert.tflite"), standin_models.combined_signatures())
    with open(os.path.join(path, "color.json"), "w", encoding="utf-8") as f:
        json.dump(color_table(), f)
    with open(os.path.join(path, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump({"engine": "mirel2", "note": "demo avatar on the LiteRT stand-in"}, f)
    return path


# ---- speech-like audio ------------------------------------------------------------------------------------------

VOWELS = {  # formant frequencies (Hz) of a few vowels
    "a": (730, 1090, 2440), "e": (530, 1840, 2480), "i": (270, 2290, 3010),
    "o": (570, 840, 2410), "u": (300, 870, 2240),
}


def speech_like(seconds, seed=7):
    """Syllables of voiced sound (a glottal harmonic series shaped by vowel formants) with a falling and rising
    pitch, short noise bursts for consonants, and pauses between words."""
    rng = np.random.default_rng(seed)
    n = int(seconds * SR)
    t = np.arange(n) / SR
    f0 = 125 + 25 * np.sin(2 * np.pi * 0.7 * t) + 10 * np.sin(2 * np.pi * 3.1 * t)
    phase = 2 * np.pi * np.cumsum(f0) / SR
    env = np.zeros(n)
    formants = np.zeros((n, 3))
    at = int(0.15 * SR)
    names = list(VOWELS)
    while at < n:
        for _ in range(int(rng.integers(2, 5))):  # a word of 2 to 4 syllables
            length = int(rng.uniform(0.14, 0.26) * SR)
            end = min(n, at + length)
            env[at:end] = np.sin(np.pi * np.arange(end - at) / length) ** 0.6
            formants[at:end] = VOWELS[names[int(rng.integers(len(names)))]]
            at = end
        at += int(rng.uniform(0.12, 0.3) * SR)  # a pause between words
    formants[env == 0] = VOWELS["a"]
    voiced = np.zeros(n)
    for k in range(1, 40):
        fk = k * f0
        amp = sum(np.exp(-0.5 * ((fk - formants[:, j]) / (60 + 40 * j)) ** 2) / (1 + j) for j in range(3))
        voiced += amp / k ** 0.5 * np.sin(k * phase)
    onsets = np.flatnonzero(np.diff((env > 0).astype(np.int8)) == 1)
    noise = np.zeros(n)
    for o in onsets:
        m = min(n - o, int(0.025 * SR))
        noise[o:o + m] = rng.standard_normal(m) * np.linspace(1, 0, m)
    x = voiced * env + 0.15 * noise
    return (0.3 * x / np.max(np.abs(x))).astype("<f4")


# ---- the protocol -----------------------------------------------------------------------------------------------


def read_exact(f, n):
    buf = b""
    while len(buf) < n:
        part = f.read(n - len(buf))
        if not part:
            raise EOFError(f"tarnhost's output ended after {len(buf)} of {n} bytes")
        buf += part
    return buf


def render(tarnhost, bundle, pcm, step_samples=1600):
    """One session: the hello line, the audio in steps, a flush; returns (hello, frames as (index, bytes))."""
    proc = subprocess.Popen([tarnhost, "render-stream", bundle], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    frames, result = [], {}

    def reader():
        # Served beside the writer, so that neither side can block the other.
        try:
            line = proc.stdout.readline()
            if not line.startswith(b"READY "):
                raise RuntimeError(f"no hello line from tarnhost (got {line[:80]!r})")
            result["hello"] = json.loads(line[6:])
            while True:
                (index,) = struct.unpack("<i", read_exact(proc.stdout, 4))
                if index == -1:
                    return
                frames.append((index, read_exact(proc.stdout, FRAME_BYTES)))
        except Exception as e:  # reported by the caller
            result["error"] = e

    t = threading.Thread(target=reader)
    t.start()
    try:
        for at in range(0, len(pcm), step_samples):
            step = pcm[at:at + step_samples]
            proc.stdin.write(struct.pack("<I", len(step)) + step.tobytes())
        proc.stdin.write(struct.pack("<I", STEP_FLUSH))
        proc.stdin.flush()
    except BrokenPipeError:
        pass  # the host ended early: its status and stderr say why
    t.join()
    try:
        proc.stdin.close()
    except BrokenPipeError:
        pass
    status = proc.wait()
    if "error" in result or status != 0:
        raise SystemExit(f"demo: tarnhost failed (exit status {status}): {result.get('error', 'see its log above')}")
    return result["hello"], frames


# ---- output -----------------------------------------------------------------------------------------------------


def write_png(path, rgb):
    """An 8-bit RGB PNG of a (height, width, 3) uint8 array."""
    h, w, _ = rgb.shape
    raw = b"".join(b"\x00" + rgb[y].tobytes() for y in range(h))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        f.write(chunk(b"IEND", b""))


def write_wav(path, pcm):
    """The same audio as a 16-bit mono WAV file, as an application would hand it to the Avatar API."""
    s16 = (np.clip(pcm, -1.0, 1.0) * 32767.0).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(SR)
        w.writeframes(s16.tobytes())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", help="folder holding tarnhost and the LiteRT stand-in")
    ap.add_argument("--out", required=True, help="folder for the bundle, the audio and the frames")
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--inputs-only", action="store_true", help="write the bundle and the audio, render nothing")
    args = ap.parse_args()
    if not args.bin and not args.inputs_only:
        ap.error("--bin is needed to render")

    print("demo: this runs tarnhost on the LiteRT STAND-IN (tests/standins/litert), not the real LiteRT runtime;")
    print("      its models are stand-in files, so the frames show the pipeline at work, not a real face.")
    os.makedirs(args.out, exist_ok=True)
    bundle = make_bundle(os.path.join(args.out, "bundle"))
    pcm = speech_like(args.seconds)
    pcm.tofile(os.path.join(args.out, "speech.f32"))
    write_wav(os.path.join(args.out, "speech.wav"), pcm)
    print(f"demo: bundle {bundle}; {len(pcm) / SR:.2f} s of speech-like audio")
    if args.inputs_only:
        return

    started = time.monotonic()
    hello, frames = render(os.path.join(args.bin, "tarnhost"), bundle, pcm)
    took = time.monotonic() - started
    print(f"demo: hello {json.dumps(hello)}")
    indices = [i for i, _ in frames]
    slots = -(-len(pcm) // SPF)
    print(f"demo: {len(frames)} frame records from tarnhost (indices {indices[0]}..{indices[-1]}) in {took:.2f} s "
          f"including model load")
    print(f"demo: the counts for {len(pcm) / SR:.2f} s of audio ({len(pcm)} samples, {SPF} a frame at {FPS} fps):")
    print(f"demo: {slots:5d}  frame slots in the audio ({SPF} samples each, a partial last one counted)")
    print(f"demo: {len(frames):5d}  frame records tarnhost sent: the stream's first frame twice, and "
          f"{len(frames) - slots - 1} past the audio's end, as its flush renders whole chunks of 32 frames")
    print(f"demo: {slots + 1:5d}  frames the Avatar API gives for it (render_wav and velmora below): the audio's "
          f"{slots} and the repeated first frame")
    print(f"demo:        demo.mp4 (velmora below) holds those {slots + 1} frames ({(slots + 1) / FPS:.2f} s) and the "
          f"{len(pcm) / SR:.2f} s of speech, both from 0 s: as its first two frames are one picture, the picture "
          f"runs one frame ({1000 // FPS} ms) behind the speech")
    frame_dir = os.path.join(args.out, "frames")
    os.makedirs(frame_dir, exist_ok=True)
    for k in sorted({0, len(frames) // 3, 2 * len(frames) // 3, len(frames) - 1}):
        index, data = frames[k]
        path = os.path.join(frame_dir, f"frame_{index:04d}.png")
        write_png(path, np.frombuffer(data, np.uint8).reshape(FH, FW, 3))
        print(f"demo: wrote {path}")
    with open(os.path.join(args.out, "frame_count.txt"), "w", encoding="utf-8") as f:
        f.write(f"{len(frames)}\n")


if __name__ == "__main__":
    main()
