"""Fixtures of the Python package's tests: an avatar of each family, speech, the C++ API's render of the same
audio, and child Python processes. Run by scripts/test through scripts/python, which puts the build tree's
package first on the path."""

import hashlib
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import velmora

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(velmora.__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))
import demo  # noqa: E402  (the demo avatar and speech-like audio)

# A sanitizer build's runtime is preloaded into this interpreter; child interpreters need it too, the programs
# the library starts (tarnhost, ffmpeg) do not.
CHILD_PRELOAD = os.environ.pop("LD_PRELOAD", None)


@pytest.fixture(scope="session", autouse=True)
def avatar_cache(tmp_path_factory):
    os.environ["VELMORA_CACHE_DIR"] = str(tmp_path_factory.mktemp("cache"))


def speech(seconds):
    """Speech-like float32 samples in [-0.3, 0.3], voiced from the start."""
    return demo.speech_like(seconds + 0.15)[int(0.15 * 16000):]


@pytest.fixture
def fixture_avatar(tmp_path):
    path = tmp_path / "face.v1"
    path.write_text("vantor1-fixture 4 2\n")
    return str(path)


def session_folder(path, **manifest):
    path.mkdir()
    (path / "manifest.json").write_text(json.dumps({"engine": "vantor2-light", **manifest}))
    return str(path)


@pytest.fixture
def session_avatar(tmp_path):
    return session_folder(tmp_path / "light", width=8, height=6)


@pytest.fixture(scope="session")
def mirel2_avatar(tmp_path_factory):
    return demo.make_bundle(str(tmp_path_factory.mktemp("mirel2") / "bundle"))


def digests(frames):
    """(shape, SHA-256 of the pixels) of each frame."""
    return [(tuple(f.shape), hashlib.sha256(f).hexdigest()) for f in frames]


def cpp_digests(avatar, items, stream=False):
    """The same as digests(), of a render through the C++ API (velmora_frames; items as it takes them)."""
    args = [str(BUILD / "bin" / "velmora_frames"), avatar] + (["--stream"] if stream else []) + items
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    rows = [line.split() for line in out.splitlines()]
    return [((int(h), int(w), int(c)), digest) for h, w, c, _index, digest in rows]


def children(pid, name):
    """Process ids of the children of `pid` whose program is `name`."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        if ppid == pid and comm == name:
            found.append(int(entry.name))
    return found


def python_child(code, *args, **env):
    """A child interpreter running `code` with this one's set-up; its output piped, unbuffered. It leads a
    session of its own, so os.killpg(child.pid, sig) reaches it and what it started, as a terminal's Ctrl-C
    reaches its foreground job."""
    child_env = dict(os.environ, **env)
    if CHILD_PRELOAD:
        child_env["LD_PRELOAD"] = CHILD_PRELOAD
    return subprocess.Popen([sys.executable, "-c", code, *args], env=child_env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, bufsize=0, start_new_session=True)


def write_samples(path, samples):
    """Raw samples in the machine's order, as velmora_frames reads them; returns its item text."""
    kind = {np.dtype(np.int16): "i16", np.dtype(np.float32): "f32", np.dtype(np.float64): "f64"}[samples.dtype]
    np.ascontiguousarray(samples).tofile(path)
    return f"{kind}:{path}"


def write_pcm(path, data):
    pathlib.Path(path).write_bytes(bytes(data))
    return f"pcm:{path}"
