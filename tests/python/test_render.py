"""Rendering through the Python package: every audio form against the C++ API, the real render host, frames over
the engine's buffers, stopping early, releasing, and renders in two threads."""

import collections.abc
import ctypes
import gc
import logging
import os
import pathlib
import signal
import threading
import time

import numpy as np
import pytest

import velmora
from conftest import children, cpp_digests, digests, session_folder, speech, write_pcm, write_samples

import demo


def s16(samples):
    return (np.clip(samples, -1.0, 1.0) * 32767.0).astype(np.int16)


# Each form: (Python audio, the C++ items of the same audio, stream?), from the clip `x` (float32) and a folder.
def bytes_form(x, d):
    return s16(x).tobytes(), [write_pcm(d / "a.pcm", s16(x).tobytes())], False


def strided_memoryview(x, d):
    interleaved = s16(x).reshape(2, -1).T  # not contiguous: its bytes are copied in row-major order
    return memoryview(interleaved), [write_pcm(d / "a.pcm", np.ascontiguousarray(interleaved).tobytes())], False


def fortran_float64(x, d):
    a = np.asfortranarray((x.astype(np.float64) * 4.0).reshape(-1, 8))  # beyond [-1, 1]: clipped
    return a, [write_samples(d / "a.f64", a)], False


def wav_file(x, d, as_path):
    path = d / "speech.wav"
    demo.write_wav(str(path), x)
    return (path if as_path else str(path)), [f"file:{path}"], False


def mixed_stream(x, d):
    parts = np.array_split(x, 4)
    demo.write_wav(str(d / "last.wav"), parts[3])
    audio = [s16(parts[0]).tobytes(), s16(parts[1]), parts[2], d / "last.wav"]
    items = [write_pcm(d / "0.pcm", audio[0]), write_samples(d / "1.i16", audio[1]),
             write_samples(d / "2.f32", audio[2]), f"file:{d / 'last.wav'}"]
    return audio, items, True


def generator_stream(x, d):
    chunks = [c.tobytes() for c in np.array_split(s16(x), 7)]
    return (c for c in chunks), [write_pcm(d / f"{i}.pcm", c) for i, c in enumerate(chunks)], True


FORMS = {
    "bytes": bytes_form,
    "bytearray": lambda x, d: (bytearray(s16(x).tobytes()),) + bytes_form(x, d)[1:],
    "strided memoryview": strided_memoryview,
    "int16 array 2-D": lambda x, d: (s16(x).reshape(-1, 2), [write_samples(d / "a.i16", s16(x))], False),
    "float32 array": lambda x, d: (x * 3.0, [write_samples(d / "a.f32", x * 3.0)], False),
    "float64 array in Fortran order": fortran_float64,
    "path as str": lambda x, d: wav_file(x, d, as_path=False),
    "path as os.PathLike": lambda x, d: wav_file(x, d, as_path=True),
    "list of mixed items": mixed_stream,
    "generator of bytes": generator_stream,
}


@pytest.mark.parametrize("family", ["fixture", "session"])
@pytest.mark.parametrize("form", list(FORMS))
def test_every_audio_form_gives_the_frames_of_the_cpp_api(form, family, tmp_path, fixture_avatar, session_avatar):
    avatar = fixture_avatar if family == "fixture" else session_avatar
    audio, items, stream = FORMS[form](speech(1.0), tmp_path)
    expected = cpp_digests(avatar, items, stream)
    assert len(expected) >= 20
    with velmora.open(avatar) as a:
        assert digests(a.render(audio)) == expected


def test_a_mirel2_avatar_renders_through_tarnhost(mirel2_avatar, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="velmora")
    x = speech(2.0)
    with velmora.open(pathlib.Path(mirel2_avatar)) as a:
        assert a.engine_id == "mirel2"
        frames = list(a.render(x))
        stats = a.render_stats
    assert [f.shape for f in frames] == [(720, 416, 3)] * 41  # 40 frame slots, the first frame twice
    assert digests(frames) == cpp_digests(mirel2_avatar, [write_samples(tmp_path / "a.f32", x)])
    assert isinstance(stats, velmora.RenderStats) and stats._fields == ("frames", "render_seconds", "render_fps")
    assert stats.frames == 41 and stats.render_fps == pytest.approx(41 / stats.render_seconds)
    # The render's line reaches Python's logging as its format and arguments.
    (line,) = [r for r in caplog.records if r.levelno == logging.INFO and r.name == "velmora"]
    assert line.msg == ("velmora: render %d frames in %.2f s = %.1f fps steady state (first audio push -> last "
                        "frame; model load excluded)")
    assert line.args == tuple(stats)


def test_frames_are_read_only_views_of_the_engines_buffer(fixture_avatar):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    with velmora.open(fixture_avatar) as a:
        frames = list(a.render(speech(1.0)))
    kept = [f.tobytes() for f in frames]
    for f in frames:
        assert f.dtype == np.uint8 and f.shape == (2, 4, 3)
        assert not f.flags.writeable and not f.flags.owndata and f.flags.c_contiguous
        assert type(f.base).__name__ == "PyCapsule"
        # The capsule holds the frame's shared pointer, whose first word is the address of the pixels.
        owner = get_pointer(f.base, b"velmora.frame")
        assert ctypes.c_void_p.from_address(owner).value == f.ctypes.data
        with pytest.raises(ValueError):
            f[0, 0, 0] = 1
        with pytest.raises(ValueError):
            f.setflags(write=True)
    # The arrays keep their pixels after the render, its generator and the avatar are gone.
    del a
    gc.collect()
    assert [f.tobytes() for f in frames] == kept


@pytest.fixture
def velmora_log(caplog):
    caplog.set_level(logging.DEBUG, logger="velmora")

    def count(text):
        return sum(text in r.getMessage() for r in caplog.records if r.name == "velmora")

    return count


RESET = "resetting the render host's stream"
HOST_EXIT = "after its input closed"


def test_an_early_stop_interrupts_the_engine_once_and_leaves_it_clean(mirel2_avatar, velmora_log):
    short = speech(1.0)
    with velmora.open(mirel2_avatar) as fresh:
        expected = digests(fresh.render(short))
    with velmora.open(mirel2_avatar) as a:
        frames = a.render(speech(3.0))
        assert [next(frames).shape for _ in range(3)] == [(720, 416, 3)] * 3
        frames.close()
        frames.close()
        assert velmora_log(RESET) == 1
        with pytest.raises(StopIteration):
            next(frames)
        assert a.render_stats is None  # a stopped render leaves no statistics
        assert digests(a.render(short)) == expected
        # A generator dropped in the middle is closed as well.
        dropped = a.render(speech(3.0))
        next(dropped)
        del dropped
        assert velmora_log(RESET) == 2
    assert velmora_log(RESET) == 2


def test_an_avatar_is_released_once(mirel2_avatar, velmora_log):
    with pytest.raises(ZeroDivisionError):  # leaving the block releases it, and lets the error through
        with velmora.open(mirel2_avatar) as a:
            assert not a.closed
            1 / 0
    assert a.closed and velmora_log(HOST_EXIT) == 1
    a.close()
    del a
    gc.collect()
    assert velmora_log(HOST_EXIT) == 1
    # Without a block: the last reference releases it.
    b = velmora.open(mirel2_avatar)
    del b
    gc.collect()
    assert velmora_log(HOST_EXIT) == 2


SUPERSEDED = "^this render was interrupted by a later render of the same avatar$"


@pytest.mark.parametrize("family", ["mirel2", "vantor1", "vantor2-light", "vantor2-golden"])
def test_a_later_render_gets_only_its_own_frames_while_an_earlier_one_is_live(family, mirel2_avatar, fixture_avatar,
                                                                               tmp_path):
    avatar = {"mirel2": mirel2_avatar, "vantor1": fixture_avatar,
              "vantor2-light": session_folder(tmp_path / "light", width=8, height=6),
              "vantor2-golden": session_folder(tmp_path / "golden", engine="vantor2-golden", width=6, height=4)}[family]
    clip, longer = s16(speech(1.0)).tobytes(), s16(speech(2.0)).tobytes()
    with velmora.open(avatar) as fresh:
        expected = digests(fresh.render(clip))
    with velmora.open(avatar) as a:
        assert a.engine_id == family
        # A frame stream, then a video.
        earlier = a.render(longer)
        next(earlier)
        assert a.render(clip, out_mp4=str(tmp_path / "talk.mp4")) == len(expected)
        with pytest.raises(velmora.Failed, match=SUPERSEDED):
            next(earlier)
        assert list(earlier) == []
        # Two frame streams, interleaved.
        first, second = a.render(longer), a.render(clip)
        next(first)
        got = [next(second)]
        with pytest.raises(velmora.Failed, match=SUPERSEDED):
            next(first)
        got += list(second)
        assert digests(got) == expected


def test_a_render_that_outlives_its_avatar(fixture_avatar, mirel2_avatar, velmora_log):
    with velmora.open(fixture_avatar) as a:
        started, unstarted = a.render(speech(1.0)), a.render(speech(1.0))
        next(started)
    for frames in (started, unstarted):
        with pytest.raises(velmora.Failed, match="^this avatar is closed$"):
            next(frames)
    # An avatar dropped without closing lives on in its render, and is released when that ends.
    a = velmora.open(mirel2_avatar)
    frames = a.render(speech(1.0))
    next(frames)
    del a
    gc.collect()
    assert velmora_log(HOST_EXIT) == 0
    assert len(list(frames)) == 20 and velmora_log(HOST_EXIT) == 1


def test_renders_of_two_avatars_in_two_threads_overlap(mirel2_avatar):
    # A's render host is stopped, so A's first frame waits in the engine until it is continued. B renders a
    # whole clip meanwhile: its Python code can only run if A's wait does not hold the GIL.
    a = velmora.open(mirel2_avatar)
    (host_a,) = children(os.getpid(), "tarnhost")
    b = velmora.open(mirel2_avatar)
    times = {}

    def render_a():
        frames = a.render(speech(2.0))
        times["a_waits"] = time.monotonic()
        next(frames)
        times["a_first"] = time.monotonic()
        times["a_count"] = 1 + sum(1 for _ in frames)

    def render_b():
        times["b_count"] = sum(1 for _ in b.render(speech(1.0)))
        times["b_done"] = time.monotonic()

    os.kill(host_a, signal.SIGSTOP)
    try:
        thread_a = threading.Thread(target=render_a)
        thread_a.start()
        while "a_waits" not in times:
            time.sleep(0.01)
        time.sleep(0.2)  # A is inside next(), waiting for its host
        with pytest.raises(RuntimeError, match="^this avatar is busy with another call"):
            a.close()  # one call of an avatar at a time: never under a render in progress
        thread_b = threading.Thread(target=render_b)
        thread_b.start()
        thread_b.join(timeout=60)
        assert times.get("b_count") == 21
    finally:
        os.kill(host_a, signal.SIGCONT)
        thread_a.join()
    assert times["a_waits"] < times["b_done"] < times["a_first"] and times["a_count"] == 41
    a.close()
    b.close()


def test_the_module_as_applications_see_it(fixture_avatar):
    assert velmora.Avatar.__doc__ == "An open avatar.  Get one from :func:`velmora.open`."
    assert velmora.RenderStats(1, 2.0, 0.5) == (1, 2.0, 0.5)
    assert velmora.open is velmora._open.open and velmora.AvatarError is velmora._open.AvatarError
    with pytest.raises(TypeError):
        velmora.Avatar()
    with velmora.open(fixture_avatar) as a:
        with pytest.raises(AttributeError):
            a.something = 1
        frames = a.render(b"\0\0" * 16000)
        assert iter(frames) is frames and isinstance(frames, collections.abc.Generator)
        next(frames)
        with pytest.raises(LookupError, match="thrown in"):
            frames.throw(LookupError("thrown in"))
        with pytest.raises(StopIteration):  # the render was closed on the way
            next(frames)
