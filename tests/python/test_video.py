"""Rendering into a video file: render(audio, out_mp4=...) and python3 -m velmora, which must answer as the
velmora program does."""

import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import velmora
from conftest import BUILD, CHILD_PRELOAD, session_folder, speech

import demo
from velmora.__main__ import default_output, progress_line


def tone_wav(path, seconds):
    demo.write_wav(str(path), (0.25 * np.sin(np.arange(int(seconds * 16000)) * 0.0864)).astype(np.float32))
    return str(path)


@pytest.fixture
def scene(tmp_path, monkeypatch):
    """A folder with a fixture avatar and a second of speech, as the working folder."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "face.v1").write_text("vantor1-fixture 16 16\n")
    tone_wav(tmp_path / "speech.wav", 1.0)
    return tmp_path


def made(folder):
    return sorted(set(os.listdir(folder)) - {"face.v1", "speech.wav", "junk.bin", "noise.wav", "cut.mp4", "folder"})


def test_a_render_into_a_video_returns_its_frames_and_reports_progress(scene, fixture_avatar):
    seen = []
    with velmora.open(fixture_avatar) as a:
        expected = len(list(a.render(scene / "speech.wav")))
        assert a.render(scene / "speech.wav", out_mp4=scene / "a.mp4", progress=seen.append) == expected == 25
    assert made(scene) == ["a.mp4"] and os.path.getsize(scene / "a.mp4") > 0
    assert [p.frames for p in seen] == list(range(1, 26))
    assert isinstance(seen[-1], velmora.WriteProgress) and seen[-1].total_seconds == pytest.approx(1.0)


def test_a_render_into_a_video_that_fails_leaves_no_file(scene, fixture_avatar):
    def stop_at_three(p):
        if p.frames == 3:
            raise LookupError("enough")

    with velmora.open(fixture_avatar) as a:
        with pytest.raises(LookupError, match="^enough$"):  # the callback's very exception
            a.render(speech(1.0), out_mp4="a.mp4", progress=stop_at_three)
        with pytest.raises(velmora.Failed, match="^could not read that audio$"):
            a.render(str(scene / "face.v1"), out_mp4="b.mp4")
        with pytest.raises(TypeError):
            a.render(speech(1.0), progress=print)  # progress is for a video
    assert made(scene) == []


def test_a_video_never_replaces_its_own_audio_or_avatar(scene, fixture_avatar):
    (scene / "own.v1").write_text("vantor1-fixture 16 16\n")
    audio = (scene / "speech.wav").read_bytes()
    with velmora.open(scene / "own.v1") as a:
        with pytest.raises(velmora.Failed, match="^could not write that video$") as refused:
            a.render(scene / "speech.wav", out_mp4=scene / "speech.wav")
        assert str(refused.value.detail).endswith("' is the audio file of this render")
        with pytest.raises(velmora.Failed, match="^could not write that video$") as refused:
            a.render(scene / "speech.wav", out_mp4="own.v1")
        assert str(refused.value.detail) == "'own.v1' is the file of the avatar being rendered"
    assert (scene / "speech.wav").read_bytes() == audio
    assert (scene / "own.v1").read_text() == "vantor1-fixture 16 16\n"
    assert made(scene) == ["own.v1"]


def test_a_video_never_goes_into_a_folder_avatar(scene):
    bundle = session_folder(scene / "bundle", width=16, height=16)
    (scene / "bundle" / "canon.bin").write_text("canon")
    os.symlink("bundle/canon.bin", scene / "canon.mp4")
    with velmora.open(bundle) as a:
        for target in ["bundle/canon.bin", "canon.mp4", "bundle/new.mp4"]:
            with pytest.raises(velmora.Failed, match="^could not write that video$") as refused:
                a.render(scene / "speech.wav", out_mp4=target)
            assert f"is inside the folder of the avatar being rendered, '{bundle}'" in str(refused.value.detail)
    assert sorted(os.listdir(bundle)) == ["canon.bin", "manifest.json"]
    assert (scene / "bundle" / "canon.bin").read_text() == "canon"


def run_both(args, cwd):
    """(status, stdout, stderr) of the velmora program and of python3 -m velmora, its name there as the program's."""
    child_env = dict(os.environ, **({"LD_PRELOAD": CHILD_PRELOAD} if CHILD_PRELOAD else {}))
    def same_words(text):  # temporary file names hold the process id
        return re.sub(r"\.[0-9]+\.([0-9]+)\.part", r".<pid>.\1.part", text.replace("python3 -m velmora", "velmora"))

    runs = []
    for command in ([str(BUILD / "bin" / "velmora")], [sys.executable, "-m", "velmora"]):
        r = subprocess.run(command + args, cwd=cwd, capture_output=True, text=True, env=child_env)
        runs.append((r.returncode, same_words(r.stdout), same_words(r.stderr)))
        for name in made(cwd):
            os.remove(cwd / name)
    return runs


CLI_CASES = [
    [], ["paint", "a", "b"], ["render"], ["render", "a"], ["render", "a", "b", "c"], ["render", "a", "b", "-o"],
    ["render", "a", "b", "--output="], ["render", "a", "b", "--loud"], ["--help"], ["render", "a", "--help"],
    ["render", "face.v1", "speech.wav"], ["render", "face.v1", "speech.wav", "-o", "talk.mp4", "--quiet"],
    ["render", "none.v1", "speech.wav"], ["render", "junk.bin", "speech.wav"], ["render", "face.v1", "noise.wav"],
    ["render", "face.v1", "speech.wav", "-o", "no/o.mp4"], ["render", "face.v1", "speech.wav", "-o", "speech.wav"],
    ["render", "face.v1", "speech.wav", "-o", "face.v1"],
    ["render", "face.v1", "speech.wav", "-o", "talk.mkv"], ["render", "face.v1", "speech.wav", "--output=talk"],
    ["render", "face.v1", "speech.wav", "-o", "Talk.MP4"], ["render", "face.v1", "cut.mp4", "-o", "o.mp4"],
    ["render", "face.v1", "cut.mp4", "-o", "cut.mp4"],
    ["render", "folder", "speech.wav"],
]


@pytest.mark.parametrize("args", CLI_CASES, ids=" ".join)
def test_the_python_command_answers_as_the_program_does(args, scene):
    (scene / "junk.bin").write_text("junk")
    (scene / "noise.wav").write_bytes(b"RIFF....")
    (scene / "cut.mp4").write_bytes(b"\0\0\0\x18ftypmp42\0\0\0\0mp42isom" + b"x" * 3000)  # two lines of FFmpeg's
    (scene / "folder").mkdir()
    program, python = run_both(args, scene)
    assert python == program
    assert made(scene) == []


def test_progress_lines_and_default_names():
    assert progress_line(velmora.WriteProgress(50, 2.0, 10.0, 4.0)) == \
        "velmora: 50 frames, 2.0 of 10.0 s audio, 12.5 fps, about 16 s left"
    assert progress_line(velmora.WriteProgress(1, 0.04, 600.0, 2.0)) == \
        "velmora: 1 frame, 0.0 of 600.0 s audio, 0.5 fps, about 8:19:58 left"
    assert progress_line(velmora.WriteProgress(25, 1.0, None, 0.5)) == "velmora: 25 frames, 1.0 s audio, 50.0 fps"
    assert [default_output(a) for a in ("speech.wav", "/home/a/talk.take2.mp3", "clips/plain")] == \
        ["speech.mp4", "talk.take2.mp4", "plain.mp4"]


def test_the_time_left_shows_once_the_pace_since_the_first_report_means_something():
    first = velmora.WriteProgress(1, 0.04, 30.0, 3.0)  # after 3 s of start-up
    cases = [
        (first, first, "velmora: 1 frame, 0.0 of 30.0 s audio, 0.3 fps"),
        (first, velmora.WriteProgress(10, 0.4, 30.0, 3.5), "velmora: 10 frames, 0.4 of 30.0 s audio, 2.9 fps"),
        (first, velmora.WriteProgress(31, 1.24, 30.0, 5.0),
         "velmora: 31 frames, 1.2 of 30.0 s audio, 6.2 fps, about 48 s left"),
        (first, velmora.WriteProgress(101, 4.04, 30.0, 4.5),
         "velmora: 101 frames, 4.0 of 30.0 s audio, 22.4 fps, about 10 s left"),
        (first, velmora.WriteProgress(751, 30.0, 30.0, 9.0),
         "velmora: 751 frames, 30.0 of 30.0 s audio, 83.4 fps, about 0 s left"),
        (velmora.WriteProgress(1, 0.04, None, 3.0), velmora.WriteProgress(251, 10.04, None, 9.0),
         "velmora: 251 frames, 10.0 s audio, 27.9 fps"),
    ]
    assert [progress_line(now, since) for since, now, _ in cases] == [line for _, _, line in cases]


def on_terminal(args, cwd, on_output=None, **env):
    """Runs python3 -m velmora with its standard error on a terminal, with `env` over this environment: (status,
    what the terminal got)."""
    master, slave = pty.openpty()
    child_env = dict(os.environ, **({"LD_PRELOAD": CHILD_PRELOAD} if CHILD_PRELOAD else {}), **env)
    child = subprocess.Popen([sys.executable, "-m", "velmora"] + args, cwd=cwd, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=slave, env=child_env, start_new_session=True)
    os.close(slave)
    terminal = b""
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:  # EIO once the child has gone
            break
        if not data:
            break
        terminal += data
        if on_output:
            on_output(child, terminal.decode())
    os.close(master)
    return child.wait(), terminal.decode()


def test_progress_shows_on_a_terminal_only_and_not_with_quiet(scene):
    tone_wav(scene / "speech.wav", 2.0)
    status, terminal = on_terminal(["render", "face.v1", "speech.wav", "-o", "a.mp4"], scene)
    assert status == 0
    assert terminal.startswith("\rvelmora: 1 frame, 0.0 of 2.0 s audio, "), terminal
    assert "\rvelmora: 50 frames, 2.0 of 2.0 s audio, " in terminal and " left" in terminal
    assert on_terminal(["render", "face.v1", "speech.wav", "-o", "b.mp4", "--quiet"], scene) == (0, "")


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["SIGINT", "SIGTERM", "SIGHUP"])
def test_an_interrupted_command_removes_its_file_and_ends_by_the_signal(sig, scene):
    # Large frames and ten minutes of audio: still rendering when the first progress line comes.
    (scene / "face.v1").write_text("vantor1-fixture 1280 720\n")
    tone_wav(scene / "speech.wav", 600.0)
    sent = []

    def interrupt(child, text):
        if not sent and " frame" in text:
            child.send_signal(sig)
            sent.append(sig)

    status, terminal = on_terminal(["render", "face.v1", "speech.wav", "-o", "o.mp4"], scene, interrupt)
    assert sent and status == -sig
    assert "velmora: the render was cancelled\r\n" in terminal, terminal
    assert made(scene) == []


# (the render host's mode, options, interrupted, status, the end of the terminal's text, its whole lines)
LIBRARY_LOG_CASES = {
    "interrupted": ("hang-after=2", [], True, -signal.SIGINT, "\r\x1b[Kvelmora: the render was cancelled\r\n", 1),
    "host outlived its input": ("no-exit", [], False, 0, "\nvelmora: the render host was still running 0.5 s after "
                                "its input closed; SIGTERM ended it\r\n", 2),
    "quiet": ("no-exit", ["-q"], False, 0, "", 0),
}


@pytest.mark.parametrize("case", list(LIBRARY_LOG_CASES))
def test_the_librarys_warnings_show_unless_interrupted_or_quiet(case, scene, mirel2_avatar):
    """As the velmora program: no warning after an interrupt (a one-shot command has no next render for a new
    host) or with --quiet. The render host is a fake, run by a copy of the library, which takes the host of its
    own folder."""
    mode, options, interrupt, status, ending, lines = LIBRARY_LOG_CASES[case]
    shutil.copy(BUILD / "bin" / "libvelmora.so.1", scene)
    host = scene / "tarnhost"
    host.write_text(f'#!/bin/sh\nFAKE_HOST_MODE={mode} exec "{BUILD / "bin" / "fake_render_host"}" "$@"\n')
    host.chmod(0o755)
    tone_wav(scene / "speech.wav", 3.0)
    sent = []

    def interrupt_once(child, text):
        if interrupt and not sent and " frame" in text:
            child.send_signal(signal.SIGINT)
            sent.append(True)

    got, terminal = on_terminal(["render", mirel2_avatar, "speech.wav", "-o", "talk.mp4", *options], scene,
                                interrupt_once, LD_LIBRARY_PATH=str(scene))
    assert (got, terminal.endswith(ending), terminal.count("\n")) == (status, True, lines), terminal


def test_the_command_started_with_sigchld_ignored_renders_a_wav(scene):
    """A supervisor that ignores SIGCHLD passes that on to the programs it starts."""
    child_env = dict(os.environ, **({"LD_PRELOAD": CHILD_PRELOAD} if CHILD_PRELOAD else {}))
    r = subprocess.run(["/usr/bin/env", "--ignore-signal=CHLD", sys.executable, "-m", "velmora", "render", "face.v1",
                        "speech.wav", "-o", "talk.mp4"], cwd=scene, capture_output=True, text=True, env=child_env)
    assert (r.returncode, r.stdout, r.stderr) == (0, "velmora: wrote 25 frames to talk.mp4\n", "")


def test_closing_the_terminal_removes_the_unfinished_file_and_ends_the_command_by_sighup(scene):
    (scene / "face.v1").write_text("vantor1-fixture 1280 720\n")
    tone_wav(scene / "speech.wav", 600.0)  # still rendering when the first progress line comes
    child_env = dict(os.environ, **({"LD_PRELOAD": CHILD_PRELOAD} if CHILD_PRELOAD else {}))
    pid, master = pty.fork()  # the terminal becomes the child's own
    if pid == 0:
        try:
            os.execve(sys.executable, [sys.executable, "-m", "velmora", "render", "face.v1", "speech.wav", "-o",
                                       "o.mp4"], child_env)
        finally:
            os._exit(127)
    terminal = b""
    while b" frame" not in terminal:
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        if not data:
            break
        terminal += data
    os.close(master)  # the terminal hangs up
    status = os.waitpid(pid, 0)[1]
    assert b" frame" in terminal, terminal
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGHUP, status
    assert made(scene) == []


RENDER_INTO = """
import sys, velmora
with velmora.open(sys.argv[1]) as avatar:
    try:
        print("wrote", avatar.render(sys.argv[2], out_mp4=sys.argv[3]), flush=True)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
"""

# Which fsync of the commit a slow disk holds up, and whether the video is in place by then.
SLOW_COMMIT = {"before the rename": ("file", False), "after the rename": ("folder", True)}


@pytest.mark.parametrize("runner", ["python3 -m velmora", "render(out_mp4=...)"])
@pytest.mark.parametrize("when", list(SLOW_COMMIT))
def test_ctrl_c_during_a_slow_commit_keeps_the_old_file_or_writes_the_video_and_says_which(when, runner, scene,
                                                                                           tmp_path_factory):
    slow, written = SLOW_COMMIT[when]
    mark = tmp_path_factory.mktemp("marks") / "syncing"
    (scene / "out.mp4").write_text("an earlier video")
    preload = " ".join(filter(None, [CHILD_PRELOAD, str(BUILD / "bin" / "slow_fsync.so")]))
    child_env = dict(os.environ, LD_PRELOAD=preload, SLOW_FSYNC_ON=slow, SLOW_FSYNC_SECONDS="1.5",
                     SLOW_FSYNC_MARK=str(mark))
    command = runner == "python3 -m velmora"
    args = ["-m", "velmora", "render", "face.v1", "speech.wav", "-o", "out.mp4"] if command else \
        ["-c", RENDER_INTO, "face.v1", "speech.wav", "out.mp4"]
    child = subprocess.Popen([sys.executable, *args], cwd=scene, env=child_env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 60
        while not mark.exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    assert mark.exists()
    if written:
        said = (0, b"velmora: wrote 25 frames to out.mp4\n", b"") if command else (0, b"wrote 25\n", b"")
        assert (scene / "out.mp4").read_bytes()[4:8] == b"ftyp"
    else:
        said = (-signal.SIGINT, b"", b"velmora: the render was cancelled\n") if command else \
            (0, b"KeyboardInterrupt\n", b"")
        assert (scene / "out.mp4").read_text() == "an earlier video"
    assert (child.returncode, out, err) == said
    assert made(scene) == ["out.mp4"]
