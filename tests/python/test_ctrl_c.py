"""Ctrl-C during a render in the main thread: a child interpreter renders a long clip and gets SIGINT."""

import json
import os
import select
import signal
import time

import demo
import pytest

import velmora
from conftest import ROOT, children, python_child

CHILD = """
import sys
sys.path.insert(0, sys.argv[1] + "/scripts")
import demo, velmora
avatar = velmora.open(sys.argv[2])
n = 0
try:
    for frame in avatar.render(demo.speech_like(30.0)):
        n += 1
        print("frame", n, flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt after", n, flush=True)
print("again", sum(1 for _ in avatar.render(demo.speech_like(1.0))), flush=True)
avatar.close()
"""


class Output:
    """The child's output lines, read straight from the pipe (nothing waits in a buffer of ours unseen)."""

    def __init__(self, child):
        self.child, self.lines, self.partial = child, [], b""

    def until(self, done=None, quiet=None):
        """Reads until a line satisfies `done`, or until the child has been quiet for `quiet` seconds."""
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            if not select.select([self.child.stdout], [], [], quiet or 1.0)[0]:
                if quiet:
                    return
                continue
            data = os.read(self.child.stdout.fileno(), 65536)
            if not data:
                break
            *whole, self.partial = (self.partial + data).split(b"\n")
            whole = [line.decode() for line in whole]
            self.lines += whole
            if done and any(done(line) for line in whole):
                return
        pytest.fail(f"the child ended or hung after {self.lines[-3:]}: {self.child.stderr.read()[-2000:]}")


@pytest.mark.parametrize("host", ["running", "stopped"])
def test_ctrl_c_raises_keyboard_interrupt_and_leaves_a_clean_engine(host, mirel2_avatar):
    child = python_child(CHILD, str(ROOT), mirel2_avatar)
    out = Output(child)
    try:
        out.until(lambda line: line.startswith("frame"))
        if host == "stopped":
            # The render then waits inside the engine for frames that do not come: Ctrl-C must end that wait,
            # so that no frame comes out after it, even once the host goes on.
            (tarnhost,) = children(child.pid, "tarnhost")
            os.kill(tarnhost, signal.SIGSTOP)
            out.until(quiet=0.5)
        frames_before = sum(line.startswith("frame") for line in out.lines)
        os.killpg(child.pid, signal.SIGINT)  # to the whole group, as a terminal sends Ctrl-C
        if host == "stopped":
            time.sleep(0.5)
            try:
                os.kill(tarnhost, signal.SIGCONT)
            except ProcessLookupError:
                pass  # the interrupt did not wait for it: it was ended, and the next render starts a new one
        out.until(lambda line: line.startswith("again"))
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
    interrupted = [int(line.split()[-1]) for line in out.lines if line.startswith("KeyboardInterrupt after")]
    assert interrupted and interrupted[0] < 601, out.lines
    if host == "stopped":
        assert interrupted[0] == frames_before
    assert out.lines[-1] == "again 21"  # the same avatar renders on, from a clean stream


def test_a_keyboard_interrupt_in_the_audio_source_comes_out_as_it_is(fixture_avatar):
    def source():
        yield b"\0\0" * 6400
        raise KeyboardInterrupt

    with velmora.open(fixture_avatar) as a:
        with pytest.raises(KeyboardInterrupt):
            list(a.render(source()))  # not as Failed, as an Exception of the source would
        assert len(list(a.render(b"\0\0" * 16000))) == 25


def test_the_applications_wakeup_fd_gets_its_signals_and_is_given_back(fixture_avatar):
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    os.set_blocking(write_end, False)
    before = signal.set_wakeup_fd(write_end)
    handled = []
    signal.signal(signal.SIGUSR1, lambda *_: handled.append(True))
    try:
        with velmora.open(fixture_avatar) as a:
            frames = a.render(b"\0\0" * 16000)
            next(frames)  # the render holds the wakeup fd from here on
            os.kill(os.getpid(), signal.SIGUSR1)
            deadline = time.monotonic() + 30
            got = b""
            while not got and time.monotonic() < deadline:
                time.sleep(0.01)
                try:
                    got = os.read(read_end, 16)
                except BlockingIOError:
                    pass
            assert got == bytes([signal.SIGUSR1]) and handled  # passed on, and handled as usual
            child = os.fork()
            if child == 0:  # a child forked during the render has the application's fd again
                os._exit(0 if signal.set_wakeup_fd(-1) == write_end else 1)
            assert os.waitpid(child, 0)[1] == 0
            assert len(list(frames)) == 24
        assert signal.set_wakeup_fd(write_end) == write_end  # given back once the render ended
    finally:
        signal.set_wakeup_fd(before)
        signal.signal(signal.SIGUSR1, signal.SIG_DFL)
        os.close(read_end)
        os.close(write_end)


def test_a_fork_inside_a_render_leaves_both_processes_rendering(fixture_avatar):
    forked = []

    def source():  # pulled inside the render call, while Ctrl-C is watched for it
        yield b"\0\0" * 6400
        forked.append(os.fork())
        yield b"\0\0" * 9600

    with velmora.open(fixture_avatar) as a:
        try:
            counts = [len(list(a.render(source()))), len(list(a.render(b"\0\0" * 16000)))]
        except BaseException as e:
            counts = repr(e)
        if forked == [0]:  # the child: it must not go on into pytest
            os._exit(0 if counts == [25, 25] else 1)
    assert os.waitpid(forked[0], 0)[1] == 0
    assert counts == [25, 25]


def slow_avatar(path, load_seconds):
    """A mirel-2 avatar whose model takes `load_seconds` to load in the render host."""
    demo.make_bundle(str(path))
    make_slow(path, load_seconds)
    return str(path)


def make_slow(path, load_seconds):
    model = path / "combined_litert.tflite"
    model.write_text(json.dumps(dict(json.loads(model.read_text()), load_seconds=load_seconds)))


def host_of(pid):
    """The render host that `pid` started, once it runs."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        hosts = children(pid, "tarnhost")
        if hosts:
            return hosts[0]
        time.sleep(0.01)
    pytest.fail("no render host started")


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_while_the_host_starts_ends_the_command_by_it_at_once(sig, tmp_path):
    avatar = slow_avatar(tmp_path / "slow", 5)
    audio = tmp_path / "speech.wav"
    demo.write_wav(str(audio), demo.speech_like(1.0))
    child = python_child("import sys, velmora.__main__ as m; sys.exit(m.main())",
                         "render", avatar, str(audio), "-o", str(tmp_path / "out.mp4"))
    try:
        host_of(child.pid)
        time.sleep(0.5)
        sent = time.monotonic()
        os.kill(child.pid, sig)
        status = child.wait(timeout=30)
        took = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
    assert status == -sig, child.stderr.read()
    assert took < 1.5, took
    assert child.stderr.read() == b"velmora: opening the avatar was cancelled\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["slow", "speech.wav"]


REPLACING = """
import sys
sys.path.insert(0, sys.argv[1] + "/scripts")
import demo, velmora
avatar = velmora.open(sys.argv[2])
try:
    print("rendering", flush=True)
    for frame in avatar.render(demo.speech_like(30.0)):
        pass
except KeyboardInterrupt:
    print("interrupted", flush=True)
print("starting a new host", flush=True)
try:
    print("rendered", sum(1 for _ in avatar.render(demo.speech_like(1.0))), flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
avatar.close()
"""


def test_ctrl_c_while_a_render_starts_a_new_host_comes_out_at_once(tmp_path):
    avatar = tmp_path / "bundle"
    demo.make_bundle(str(avatar))
    child = python_child(REPLACING, str(ROOT), str(avatar))
    out = Output(child)
    try:
        out.until(lambda line: line == "rendering")
        # The host stops answering, so the interrupt ends it; its successor then takes 5 s to load.
        os.kill(host_of(child.pid), signal.SIGSTOP)
        make_slow(avatar, 5)
        time.sleep(0.3)
        os.kill(child.pid, signal.SIGINT)
        out.until(lambda line: line == "starting a new host")
        host_of(child.pid)
        time.sleep(0.5)
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        out.until(lambda line: line in ("KeyboardInterrupt", "rendered"))
        took = time.monotonic() - sent
        assert child.wait(timeout=30) == 0, child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
    assert out.lines[-1] == "KeyboardInterrupt"
    assert took < 1.5, took
    assert not children(child.pid, "tarnhost")


HANDLER = """
import signal, sys, velmora
class Stop(Exception):
    pass
def stop(*_):
    raise Stop()
signal.signal(signal.SIGUSR1, stop)
try:
    velmora.open(sys.argv[1])
    print("opened", flush=True)
except Stop:
    print("Stop", flush=True)
"""


def test_what_a_signal_handler_raises_while_the_host_starts_comes_out_of_open(tmp_path):
    # The handler runs when the host's first lines after the load are logged, in Python's logging: what it
    # raises there ends the start and comes out of open().
    child = python_child(HANDLER, slow_avatar(tmp_path / "slow", 1))
    out = Output(child)
    try:
        host_of(child.pid)
        os.kill(child.pid, signal.SIGUSR1)
        out.until(lambda line: line in ("Stop", "opened"))
        assert child.wait(timeout=30) == 0, child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
    assert out.lines == ["Stop"]
