"""Errors as applications see them: the classes, the exact messages, and the details."""

import os
import sys

import numpy as np
import pytest

import demo
import velmora
from conftest import python_child, session_folder

AUDIO_TYPE = ("audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an "
              "iterable of those; got ")
AUDIO_DTYPE = "audio arrays must be int16, or float32/float64 in [-1, 1]; got "
CANNOT_RUN = ("that avatar cannot run on this machine. Render it in the cloud with the Oblera API "
              "(POST /v1/video/generate), or open it on Apple Silicon macOS or Linux.")
SERVICE = ("ABCDEFGHI1 names an avatar held by the service, and this package renders an avatar that is on this "
           "machine. Run `python -m velmora render ABCDEFGHI1 <audio>` to fetch it and render it here, or render it "
           "in the cloud with the Oblera API (POST /v1/video/generate).")


class BytesPath:
    def __fspath__(self):
        return b"face.v1"


def manifest(d, text):
    d.mkdir()
    (d / "manifest.json").write_text(text)
    return str(d)


# (source in the folder d, class, message, detail: a type, a text's start, or None)
OPEN_CASES = {
    "bytes": (lambda d: b"face.v1", TypeError, "open() takes the path of an avatar; got bytes", None),
    "None": (lambda d: None, TypeError, "open() takes the path of an avatar; got NoneType", None),
    "int": (lambda d: 3, TypeError, "open() takes the path of an avatar; got int", None),
    "path giving bytes": (lambda d: BytesPath(), TypeError, "open() takes the path of an avatar; got bytes", None),
    "empty": (lambda d: "", velmora.InvalidAvatar, "open() needs an avatar to open", None),
    "service code": (lambda d: "ABCDEFGHI1", velmora.NotSupported, SERVICE, None),
    "nothing there": (lambda d: "abcdefghi1", velmora.InvalidAvatar, "no avatar at abcdefghi1", None),
    "manifest not JSON": (lambda d: manifest(d / "a", "{"), velmora.InvalidAvatar, "that is not a usable avatar",
                          OSError),
    "manifest without engine": (lambda d: manifest(d / "a", '{"name": "x"}'), velmora.InvalidAvatar,
                                "that is not a usable avatar", OSError),
    "unknown family": (lambda d: manifest(d / "a", '{"engine": "vantor9"}'), velmora.NotSupported, CANNOT_RUN,
                       None),
    "session cannot start": (lambda d: session_folder(d / "a", width="x"), velmora.Failed,
                             "that avatar's session could not start", 'manifest.json: "width"'),
    "outdated": (lambda d: session_folder(d / "a", outdated="E12"), velmora.Outdated, "that avatar is outdated",
                 None),
}


@pytest.mark.parametrize("case", list(OPEN_CASES))
def test_open_refuses(case, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    source, cls, message, detail = OPEN_CASES[case]
    with pytest.raises(cls) as caught:
        velmora.open(source(tmp_path))
    check(caught.value, cls, message, detail)
    if case == "outdated":
        assert caught.value.code == "E12" and isinstance(caught.value, velmora.InvalidAvatar)
    if case == "manifest without engine":
        assert caught.value.detail.strerror == f'{tmp_path / "a"}: manifest.json names no engine (it has no "engine" key)'


def check(error, cls, message, detail):
    assert type(error) is cls and str(error) == message
    if not issubclass(cls, velmora.AvatarError):
        return
    if detail is None:
        assert error.detail is None
        return
    if isinstance(detail, str):
        assert isinstance(error.detail, str) and error.detail.startswith(detail)
    else:
        assert isinstance(error.detail, detail)
    assert error.__suppress_context__  # the detail rides inside: raised from None


def failing_stream():
    yield b"\0\0" * 640
    raise ValueError("the microphone went away")


# (audio made in the folder d, class, message, detail)
RENDER_CASES = {
    "int": (lambda d: 3, TypeError, AUDIO_TYPE + "int", None),
    "None": (lambda d: None, TypeError, AUDIO_TYPE + "NoneType", None),
    "int32 array": (lambda d: np.zeros(640, np.int32), TypeError, AUDIO_DTYPE + "int32", None),
    "big-endian int16 array": (lambda d: np.zeros(640, ">i2"), TypeError, AUDIO_DTYPE + ">i2", None),
    "missing file": (lambda d: str(d / "none.wav"), FileNotFoundError, "no audio at {d}/none.wav", None),
    "folder": (lambda d: d, FileNotFoundError, "{d} is a folder, not an audio file", None),
    "FIFO": (lambda d: fifo(d / "a.wav"), FileNotFoundError, "{d}/a.wav is a FIFO, not an audio file", None),
    "concat list": (lambda d: write(d / "a.wav", b"ffconcat version 1.0\nfile b.wav\n"), velmora.Failed,
                    "could not read that audio", "{d}/a.wav is a playlist or a list of other files"),
    "not audio": (lambda d: write(d / "a.wav", b"not audio at all"), velmora.Failed, "could not read that audio",
                  str),
    "stream item": (lambda d: [b"\0\0" * 640, 3], velmora.Failed, "the render stopped", TypeError),
    "stream error": (lambda d: failing_stream(), velmora.Failed, "the render stopped", ValueError),
}


def write(path, data):
    path.write_bytes(data)
    return str(path)


def fifo(path):
    os.mkfifo(path)
    return str(path)


@pytest.mark.parametrize("case", list(RENDER_CASES))
def test_render_refuses(case, tmp_path, fixture_avatar):
    audio, cls, message, detail = RENDER_CASES[case]
    with velmora.open(fixture_avatar) as a:
        frames = a.render(audio(tmp_path))  # nothing is checked before the first frame is asked for
        with pytest.raises(cls) as caught:
            list(frames)
    check(caught.value, cls, message.format(d=tmp_path), detail.format(d=tmp_path) if isinstance(detail, str) else detail)
    if case == "stream item":
        assert str(caught.value.detail) == AUDIO_TYPE + "int"
    if case == "stream error":  # the very exception the application's iterator raised
        assert str(caught.value.detail) == "the microphone went away" and caught.value.detail.__traceback__


def test_a_closed_avatar_refuses_to_render(fixture_avatar):
    a = velmora.open(fixture_avatar)
    a.close()
    frames = a.render(b"\0\0" * 640)
    with pytest.raises(velmora.Failed) as caught:
        next(frames)
    check(caught.value, velmora.Failed, "this avatar is closed", None)


WITHOUT_NUMPY = """
import os
import sys

class NotInstalled:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "numpy":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, NotInstalled())
import velmora
with velmora.open(sys.argv[1]) as a:
    print(a.render(sys.argv[2], out_mp4=sys.argv[3]), "frames written")
    try:
        next(a.render(sys.argv[2]))
    except ImportError as e:
        print(e)
        print("cause:", e.__cause__)
"""


def test_frames_without_numpy_say_so_and_a_video_needs_none(fixture_avatar, tmp_path):
    demo.write_wav(str(tmp_path / "speech.wav"), np.zeros(16000, np.float32))
    child = python_child(WITHOUT_NUMPY, fixture_avatar, str(tmp_path / "speech.wav"), str(tmp_path / "a.mp4"))
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.decode().splitlines() == [
        "25 frames written",
        f"frames are NumPy arrays, and NumPy cannot be loaded in this Python ({sys.executable}): install NumPy for "
        "it (Debian's python3-numpy is for /usr/bin/python3)",
        "cause: No module named 'numpy'",
    ]


HIDDEN_NUMPY = {
    "a finder that refuses it": """
class NotInstalled:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "numpy":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, NotInstalled())
""",
    "None in sys.modules": 'sys.modules["numpy"] = None\n',
}

# The frame that cannot be converted ends its render before the ImportError comes out, so the next render into a
# video gets its own frames alone.
AFTER_A_FRAME_WITHOUT_NUMPY = """
import velmora
with velmora.open(sys.argv[1]) as a:
    frames = a.render(sys.argv[2])
    try:
        next(frames)
    except ImportError as e:
        print(str(e).partition(" (")[0])
    print(a.render(sys.argv[2], out_mp4=sys.argv[3]), "frames written")
    print(list(frames))
"""


@pytest.mark.parametrize("hiding", list(HIDDEN_NUMPY))
@pytest.mark.parametrize("family, frames", [("fixture", 25), ("mirel2", 21)])
def test_a_frame_that_cannot_be_converted_ends_its_render(hiding, family, frames, fixture_avatar, mirel2_avatar,
                                                          tmp_path):
    demo.write_wav(str(tmp_path / "speech.wav"), np.zeros(16000, np.float32))
    avatar = fixture_avatar if family == "fixture" else mirel2_avatar
    code = "import sys\n" + HIDDEN_NUMPY[hiding] + AFTER_A_FRAME_WITHOUT_NUMPY
    child = python_child(code, avatar, str(tmp_path / "speech.wav"), str(tmp_path / "a.mp4"))
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.decode().splitlines() == ["frames are NumPy arrays, and NumPy cannot be loaded in this Python",
                                         f"{frames} frames written", "[]"]
