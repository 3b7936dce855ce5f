"""A stop while a packed avatar is unpacked into the cache: Python's KeyboardInterrupt, and a signal to either
command line (or two, one after the other), end the call at once and leave nothing of the unpack in the cache."""

import os
import pathlib
import signal
import struct
import subprocess
import sys
import time
import zlib

import demo
import pytest

from conftest import BUILD, CHILD_PRELOAD, python_child

BIG = 3 << 30  # bytes of the big member: seconds of unpacking, far longer than a stop may take


def deflated_zeros(size):
    """Raw deflate of `size` zero bytes, one segment repeated (each ends in a full flush, so needs no history),
    and their CRC-32."""
    block = 1 << 20
    zeros = bytes(block)
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    segment = c.compress(zeros) + c.flush(zlib.Z_FULL_FLUSH)
    count, rest = divmod(size, block)
    last = zlib.compressobj(9, zlib.DEFLATED, -15)
    crc = 0
    for _ in range(count):
        crc = zlib.crc32(zeros, crc)
    crc = zlib.crc32(bytes(rest), crc)
    return segment * count + last.compress(bytes(rest)) + last.flush(), crc


def write_zip(path, members):
    """A zip archive of (name, method, data as stored, size, crc) entries."""
    out, central = b"", b""
    for name, method, data, size, crc in members:
        name = name.encode()
        fields = struct.pack("<HHHHHIIIHH", 20, 0, method, 0, 0x21, crc, len(data), size, len(name), 0)
        central += b"PK\x01\x02" + struct.pack("<H", 20) + fields + struct.pack("<HHHII", 0, 0, 0, 0, len(out)) + name
        out += b"PK\x03\x04" + fields + name + data
    end = struct.pack("<HHHHIIH", 0, 0, len(members), len(members), len(central), len(out), 0)
    path.write_bytes(out + central + b"PK\x05\x06" + end)
    return str(path)


@pytest.fixture(scope="module")
def big_avatar(tmp_path_factory):
    """A session avatar as a zip of a few MB that unpacks to 3 GiB."""
    manifest = b'{"engine": "vantor2-light"}'
    data, crc = deflated_zeros(BIG)
    return write_zip(tmp_path_factory.mktemp("big") / "big.zip",
                     [("manifest.json", 0, manifest, len(manifest), zlib.crc32(manifest)),
                      ("face/model.bin", 8, data, BIG, crc)])


def wait_for_the_unpack(cache, child):
    """Returns once the child is writing the big member into a temporary folder of the cache."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and child.poll() is None:
        for folder in (cache / "avatars").glob("*.tmp.*"):
            try:
                if (folder / "face" / "model.bin").stat().st_size > 1 << 20:
                    return
            except OSError:
                pass
        time.sleep(0.002)
    pytest.fail(f"no unpack seen: {child.stderr.read()[-2000:]}")


def left_in(cache):
    return sorted(p.name for p in (cache / "avatars").iterdir() if p.name != ".idx")


def taken(pid, sig):
    """Returns once no thread of `pid` has `sig` waiting: signals that wait together reach a process in no order it
    could see (the kernel keeps them as a set), so which came first means which was taken first."""
    def waiting(status, field):
        for line in status.read_text().splitlines():
            if line.startswith(field):
                return int(line[len(field):], 16) >> (sig - 1) & 1
        return 0
    proc = pathlib.Path(f"/proc/{pid}")
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            if not waiting(proc / "status", "ShdPnd:") and \
                    not any(waiting(task / "status", "SigPnd:") for task in (proc / "task").iterdir()):
                return
        except OSError:
            return  # it has ended
        time.sleep(0.0001)


def stopped(child, cache, sig, then=None):
    """Sends `sig` once the unpack is under way, and `then` 1 ms later when given: (exit status, seconds from the
    signal to the end)."""
    try:
        wait_for_the_unpack(cache, child)
        sent = time.monotonic()
        os.kill(child.pid, sig)
        if then is not None:
            taken(child.pid, sig)
            time.sleep(0.001)
            os.kill(child.pid, then)
        status = child.wait(timeout=120)
        return status, time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


OPEN = """
import sys, velmora
try:
    velmora.open(sys.argv[1])
    print("opened", flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
"""


def test_ctrl_c_during_the_unpack_raises_keyboard_interrupt_at_once(big_avatar, tmp_path):
    cache = tmp_path / "cache"
    child = python_child(OPEN, big_avatar, VELMORA_CACHE_DIR=str(cache))
    status, took = stopped(child, cache, signal.SIGINT)
    print(f"Ctrl-C during the unpack to KeyboardInterrupt: {took:.3f} s")
    assert (status, child.stdout.read()) == (0, b"KeyboardInterrupt\n"), child.stderr.read()
    assert took < 1.5, took
    assert left_in(cache) == []


# A signal alone; and a second one 1 ms after the first (a closed terminal's two SIGHUPs, a double Ctrl-C), which
# is part of the same stop.
SEQUENCES = [(signal.SIGINT, None), (signal.SIGTERM, None), (signal.SIGINT, signal.SIGINT),
             (signal.SIGTERM, signal.SIGHUP), (signal.SIGHUP, signal.SIGHUP)]


@pytest.mark.parametrize("sig,then", SEQUENCES,
                         ids=["-".join(signal.Signals(s).name for s in q if s is not None) for q in SEQUENCES])
@pytest.mark.parametrize("program", ["velmora", "python3 -m velmora"])
def test_a_signal_during_the_unpack_ends_the_command_by_it_at_once(program, sig, then, big_avatar, tmp_path):
    cache = tmp_path / "cache"
    audio = tmp_path / "speech.wav"
    demo.write_wav(str(audio), demo.speech_like(1.0))
    command = [str(BUILD / "bin" / "velmora")] if program == "velmora" else [sys.executable, "-m", "velmora"]
    env = dict(os.environ, VELMORA_CACHE_DIR=str(cache), **({"LD_PRELOAD": CHILD_PRELOAD} if CHILD_PRELOAD else {}))
    child = subprocess.Popen(command + ["render", big_avatar, str(audio), "-o", str(tmp_path / "out.mp4")],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    status, took = stopped(child, cache, sig, then)
    print(f"{program}: {signal.Signals(sig).name} during the unpack to the end: {took:.3f} s")
    assert status == -sig, child.stderr.read()
    assert took < 1.5, took
    said = child.stderr.read()
    assert said == b"velmora: opening the avatar was cancelled\n", said
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cache", "speech.wav"]
    assert left_in(cache) == []
