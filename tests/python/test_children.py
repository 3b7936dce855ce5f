"""The library's child processes (the render host, the ffmpeg decoder) under an application's own settings:
SIGCHLD ignored, a handler or a thread that reaps every child, a fork; and a stop while a file is decoded. Each runs in a
child interpreter, as these settings are the whole process's."""

import os
import pathlib
import shutil
import signal
import subprocess
import time

import demo
import pytest

import velmora
from conftest import ROOT, python_child, speech

APPLICATION = """
import os, signal, sys, threading, time
sys.path.insert(0, sys.argv[1] + "/scripts")
import demo, velmora
if sys.argv[2] == "ignored":
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
elif sys.argv[2] == "reaping handler":
    def reap_all(signum, frame):
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            pass
    signal.signal(signal.SIGCHLD, reap_all)
else:
    def reap():
        while True:
            try:
                os.waitpid(-1, 0)
            except ChildProcessError:
                time.sleep(0.001)
    threading.Thread(target=reap, daemon=True).start()
with velmora.open(sys.argv[3]) as avatar:
    print("frames", *(sum(1 for _ in avatar.render(path)) for path in sys.argv[5:]), flush=True)
try:
    velmora.open(sys.argv[4])
except velmora.InvalidAvatar as e:
    print("refused", e.detail, flush=True)
"""


@pytest.fixture(scope="module")
def speech_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("speech")
    wav, mp3 = folder / "speech.wav", folder / "speech.mp3"
    demo.write_wav(str(wav), speech(4.0))
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(wav), str(mp3)], check=True)
    return [str(wav), str(mp3)]


@pytest.mark.parametrize("handling", ["ignored", "reaping handler", "reaping thread"])
def test_sigchld_ignored_or_reaped_by_the_application_loses_no_audio_file_and_no_refusal(handling, mirel2_avatar,
                                                                               speech_files, tmp_path):
    refusing = tmp_path / "refusing"
    shutil.copytree(mirel2_avatar, refusing)
    (refusing / "canon.bin").unlink()
    with velmora.open(mirel2_avatar) as avatar:  # the counts with SIGCHLD at its default, here
        counts = [sum(1 for _ in avatar.render(path)) for path in speech_files]
    assert counts[0] == 81
    child = python_child(APPLICATION, str(ROOT), handling, mirel2_avatar, str(refusing), *speech_files)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.decode().splitlines() == [
        "frames " + " ".join(map(str, counts)),
        f"refused [tarnhost] FATAL: no canon.bin in {refusing} (per-identity canon latent required)",
    ]


SLOW_DECODER = """#!/bin/sh
trap 'echo yes > "$(dirname "$0")/cleaned"; exit 1' TERM
echo decoding > "$(dirname "$0")/started"
sleep 20 & wait $!
"""

DECODING = """
import sys, velmora
with velmora.open(sys.argv[1]) as avatar:
    try:
        for frame in avatar.render(sys.argv[2]):
            pass
        print("rendered", flush=True)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
"""


def slow_decoder(tmp_path):
    """A folder for PATH whose ffmpeg takes 20 s, notes its start and cleans up on SIGTERM."""
    folder = tmp_path / "bin"
    folder.mkdir()
    (folder / "ffmpeg").write_text(SLOW_DECODER)
    (folder / "ffmpeg").chmod(0o755)
    return folder


def wait_for(path):
    deadline = time.monotonic() + 30
    while not path.exists():
        assert time.monotonic() < deadline, f"no {path}"
        time.sleep(0.01)


def test_ctrl_c_while_a_file_is_decoded_comes_out_within_a_second(fixture_avatar, tmp_path):
    folder = slow_decoder(tmp_path)
    audio = tmp_path / "long.mp3"
    audio.write_bytes(b"x")
    child = python_child(DECODING, fixture_avatar, str(audio), PATH=f"{folder}:{os.environ['PATH']}")
    try:
        wait_for(folder / "started")
        time.sleep(0.3)
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=30)
        took = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
    assert out == b"KeyboardInterrupt\n", err
    assert took < 1.5, took
    assert (folder / "cleaned").read_text() == "yes\n"


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_while_the_command_decodes_ends_it_by_the_signal_within_a_second(sig, fixture_avatar, tmp_path):
    folder = slow_decoder(tmp_path)
    audio = tmp_path / "long.mp3"
    audio.write_bytes(b"x")
    child = python_child("import sys, velmora.__main__ as m; sys.exit(m.main())", "render", fixture_avatar,
                         str(audio), "-o", str(tmp_path / "out.mp4"), PATH=f"{folder}:{os.environ['PATH']}")
    try:
        wait_for(folder / "started")
        time.sleep(1.0)
        sent = time.monotonic()
        os.kill(child.pid, sig)
        status = child.wait(timeout=30)
        took = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
    assert status == -sig, child.stderr.read()
    assert took < 1.5, took
    assert (folder / "cleaned").read_text() == "yes\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bin", "face.v1", "long.mp3"]


FORKING = """
import os, sys, time
sys.path.insert(0, sys.argv[1] + "/scripts")
import demo, velmora
avatar = velmora.open(sys.argv[2])
frames = avatar.render(demo.speech_like(4.0))
n = 0
for frame in frames:
    n += 1
    if n == 30:
        break
pid = os.fork()
if pid == 0:
    for render in (lambda: next(frames), lambda: sum(1 for _ in avatar.render(demo.speech_like(1.0)))):
        try:
            render()
            print("the child rendered", flush=True)
        except velmora.Failed as e:
            print("the child was refused:", e, flush=True)
    sys.exit(0)  # its copies of the stream cut short and of the avatar go with it
os.waitpid(pid, 0)
start = time.monotonic()
n += sum(1 for _ in frames)
print("the parent rendered", n, time.monotonic() - start < 10, flush=True)
start = time.monotonic()
avatar.close()
print("closed", time.monotonic() - start < 2, flush=True)
"""


def test_a_child_forked_mid_render_never_drives_the_parents_host(mirel2_avatar):
    child = python_child(FORKING, str(ROOT), mirel2_avatar)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.decode().splitlines() == [
        "the child was refused: this avatar renders only in the process that opened it",
        "the child was refused: this avatar renders only in the process that opened it",
        "the parent rendered 81 True",
        "closed True",
    ]
    assert b"velmora:" not in err, err  # no warning of a host that did not end by itself
