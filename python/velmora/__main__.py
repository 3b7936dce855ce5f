"""python3 -m velmora: renders an avatar speaking an audio file into an MP4 (see --help).

The same command as the velmora program, on the same video writer: its options, messages, progress lines and
exit statuses, with this command's name in the help and in the hint of a usage fault.
"""

import logging
import os
import re
import signal
import sys

from ._errors import AvatarError
from ._open import open as open_avatar

PROG = "python3 -m velmora"

HELP = f"""usage: {PROG} render <avatar> <audio> [-o OUT.mp4] [--quiet]
       {PROG} --help

Renders the avatar speaking the audio into an MP4 video (H.264 video, AAC audio).

  <avatar>           an avatar on this machine: an avatar file or an unpacked avatar folder
  <audio>            the speech: one audio or video file (WAV, MP3, FLAC, Ogg, M4A, MP4,
                     WebM, AAC, AIFF, ...); a playlist or a list of files is refused
  -o, --output FILE  the video to write; default: the audio's file name with .mp4, in the
                     working folder (speech.wav gives speech.mp4). An existing file is
                     replaced only once the new video is complete; a symbolic link keeps
                     pointing at the new video. The video is always an MP4: a name that
                     does not end in .mp4 is refused (status 2). An MP4 needs a regular
                     file it can seek in: a FIFO, a device or a socket is refused, and so
                     are the audio, the avatar, and any name inside an avatar folder.
  -q, --quiet        no progress, no summary and no warnings
  -h, --help         this text

While it renders, progress (frames, seconds of audio done, frames a second, and the time left
once 2 s or a tenth of the audio have been rendered) is shown on standard error when that is a
terminal. Exit status: 0 when the video is written, 1 when the render fails, 2 for a wrong
command line. Interrupted by SIGINT (Ctrl-C), SIGTERM or SIGHUP (its terminal closed), it
removes its unfinished file, leaves an existing one as it was, and ends by that signal,
which a shell shows as status 130, 143 or 129. More of these signals while it stops (a closed
terminal sends two, a second Ctrl-C) change nothing: it still cleans up, within a fraction of
a second, and ends by the first. A signal that comes once the finished video has been renamed
onto its name cancels nothing: the video is written (status 0).
"""

OK, FAILED, USAGE = 0, 1, 2
PROGRESS_EVERY_S = 0.25
# The time left is estimated from the pace over at least this much rendering or this share of the audio:
# the first frames come after the engine's start-up and tell little of its pace.
ESTIMATE_AFTER_S = 2.0
ESTIMATE_AFTER_SHARE = 0.1
# Signals that stop a render (the file in progress is removed) instead of ending the process at once.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class UsageFault(Exception):
    pass


class Options:
    def __init__(self):
        self.help = self.quiet = False
        self.avatar = self.audio = self.output = ""


def parse(args):
    o = Options()
    if not args:
        raise UsageFault("no command given")
    if args[0] in ("-h", "--help"):
        o.help = True
        return o
    if args[0] != "render":
        raise UsageFault(f"unknown command '{args[0]}'")
    positional = []
    options_end = False
    i = 1
    while i < len(args):
        a = args[i]
        if options_end or not a.startswith("-") or a == "-":
            positional.append(a)
        elif a == "--":
            options_end = True
        elif a in ("-h", "--help"):
            o.help = True
        elif a in ("-q", "--quiet"):
            o.quiet = True
        elif a in ("-o", "--output"):
            if i + 1 == len(args) or not args[i + 1]:
                raise UsageFault(f"{a} needs a file name")
            i += 1
            o.output = args[i]
        elif a.startswith("--output="):
            o.output = a[len("--output="):]
            if not o.output:
                raise UsageFault("--output needs a file name")
        else:
            raise UsageFault(f"unknown option '{a}'")
        i += 1
    if o.help:
        return o
    if not positional:
        raise UsageFault("missing <avatar> and <audio>")
    if len(positional) == 1:
        raise UsageFault("missing <audio>")
    if len(positional) > 2:
        raise UsageFault(f"unexpected argument '{positional[2]}'")
    o.avatar, o.audio = positional
    return o


def default_output(audio):
    """The audio's file name with its extension replaced by .mp4, in the working folder."""
    return os.path.splitext(os.path.basename(audio))[0] + ".mp4"


def mp4_name(output):
    """The writer makes an MP4 whatever the name says, so only an .mp4 name (in any case) is taken."""
    return os.path.splitext(output)[1].lower() == ".mp4"


def duration_text(s):
    whole = int(s + 0.5)
    if whole < 60:
        return f"{whole} s"
    if whole < 3600:
        return f"{whole // 60}:{whole % 60:02d}"
    return f"{whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d}"


def progress_line(p, since=None):
    """Frames, seconds of audio done (of the total when known), frames a second, and the time left at the pace
    since `since` (an earlier report of the same render; by default its start), once that pace is measured over
    ESTIMATE_AFTER_S of rendering or ESTIMATE_AFTER_SHARE of the audio."""
    fps = p.frames / p.elapsed_seconds if p.elapsed_seconds > 0 else 0.0
    frames = "frame" if p.frames == 1 else "frames"
    if p.total_seconds is None:
        return f"velmora: {p.frames} {frames}, {p.seconds:.1f} s audio, {fps:.1f} fps"
    line = f"velmora: {p.frames} {frames}, {p.seconds:.1f} of {p.total_seconds:.1f} s audio, {fps:.1f} fps"
    audio = p.seconds - (since.seconds if since is not None else 0.0)
    spent = p.elapsed_seconds - (since.elapsed_seconds if since is not None else 0.0)
    if audio > 0 and spent > 0 and (spent >= ESTIMATE_AFTER_S or audio >= ESTIMATE_AFTER_SHARE * p.total_seconds):
        left = max(0.0, p.total_seconds - p.seconds) * spent / audio
        line += f", about {duration_text(left)} left"
    return line


def put(err, text):
    """Writes `text` to standard error, which may be a terminal that has gone (closed: SIGHUP): what cannot be
    written is dropped, as the velmora program drops it, and the command ends as it would have."""
    try:
        err.write(text)
        err.flush()
    except OSError:
        pass


class ProgressView:
    """The progress line on a terminal, redrawn in place at most every PROGRESS_EVERY_S."""

    def __init__(self, err, on):
        self.err, self.on, self.shown_at, self.last = err, on, 0.0, None
        self.drawn = False  # the progress is on the current line
        self.first = None  # the pace of the time left is taken from here

    def show(self, p):
        if not self.on:
            return
        if self.first is None:
            self.first = p
        self.last = p
        if self.drawn and p.elapsed_seconds - self.shown_at < PROGRESS_EVERY_S:
            return
        self._draw(p)
        self.shown_at = p.elapsed_seconds

    def finish(self):
        """Leaves the latest state on its own line."""
        if self.drawn:
            self._draw(self.last)
            put(self.err, "\n")
            self.drawn = False

    def clear(self):
        """Clears the line, so that an error starts on a clean one."""
        if self.drawn:
            put(self.err, "\r\x1b[K")
            self.drawn = False

    def note(self, line):
        """`line` on a line of its own; the progress comes back below it at the next report."""
        self.clear()
        put(self.err, line + "\n")

    def _draw(self, p):
        put(self.err, f"\r{progress_line(p, self.first)}\x1b[K")
        self.drawn = True


class LibraryLog(logging.Handler):
    """The library's warnings (its "velmora" logger) into the view, each on a line of its own: none with --quiet,
    and none once a stop was asked, as the render then ends with the one line that says it was cancelled (what
    the library says of the render host it had to stop, and of the next render, is for applications that render
    on)."""

    def __init__(self, view, quiet, stopping):
        super().__init__(logging.WARNING)
        self.view, self.quiet, self.stopping = view, quiet, stopping

    def emit(self, record):
        if not self.quiet and not self.stopping():
            self.view.note(one_line(record.getMessage()))


def one_line(text):
    """Errors and details may hold several lines (FFmpeg's, a child's standard error); an error is one line. The
    lines are kept apart by "; ", or by a blank after a line that ends in a colon and so introduces the next;
    blank lines and the blanks around each line are dropped."""
    out = ""
    for line in re.split("[\r\n]", text):
        line = line.strip(" \t")
        if not line:
            continue
        if out:
            out += " " if out.endswith(":") else "; "
        out += line
    return out


def say_error(err, text):
    put(err, f"velmora: {one_line(text)}\n")


def error_text(e):
    """An error with its detail, as the velmora program shows them."""
    if not isinstance(e, AvatarError) or e.detail is None:
        return str(e)
    detail = e.detail
    # A file error of the library keeps its own text as strerror.
    text = detail.strerror if isinstance(detail, OSError) and detail.strerror else str(detail)
    return f"{e} ({one_line(text)})"


def run(args, out=sys.stdout, err=sys.stderr, err_is_terminal=False, stopping=lambda: False):
    """Runs the command line `args` and returns its exit status; KeyboardInterrupt when a signal stopped it,
    after the message. Every error is one line on `err`, and so is each warning the library logs meanwhile (none
    with --quiet, none once `stopping()` is true). A KeyboardInterrupt that comes once the render has put its
    video in place cancels nothing: the command reports the video as written."""
    try:
        o = parse(args)
    except UsageFault as fault:
        say_error(err, f"{fault} (see {PROG} --help)")
        return USAGE
    if o.help:
        out.write(HELP)
        out.flush()
        return OK
    o.output = o.output or default_output(o.audio)
    # Only what the words show is a usage fault. What the files refuse as the video (the audio, the avatar, a
    # FIFO, ...) is the library's refusal, a failure like the others, from the one place that knows them all.
    if not mp4_name(o.output):
        say_error(err, f"the video is written as MP4, so its name must end in .mp4, not '{o.output}' "
                       f"(see {PROG} --help)")
        return USAGE

    view = ProgressView(err, err_is_terminal and not o.quiet)
    library_log = LibraryLog(view, o.quiet, stopping)
    logging.getLogger("velmora").addHandler(library_log)
    frames = None
    opened = False
    try:
        try:
            with open_avatar(o.avatar) as avatar:
                opened = True
                frames = avatar.render(o.audio, out_mp4=o.output, progress=view.show)
                view.finish()  # before the avatar closes, which may log what became of its engine
        except KeyboardInterrupt:
            if frames is None:
                raise
            view.finish()  # the video is in place (the avatar was closed on the way out)
    except KeyboardInterrupt:
        # Another stop signal (a closed terminal's second SIGHUP, SIGHUP after SIGTERM) raises KeyboardInterrupt
        # again at the next call: it is the same stop, which still says it was cancelled, or that the video is
        # in place.
        if frames is None:
            try:
                view.clear()
            finally:
                say_error(err, "the render was cancelled" if opened else "opening the avatar was cancelled")
            raise
        view.finish()
    except Exception as e:  # noqa: BLE001  (every failure is one line and status 1)
        view.clear()
        say_error(err, error_text(e))
        return FAILED
    finally:
        logging.getLogger("velmora").removeHandler(library_log)
    if not o.quiet:
        out.write(f"velmora: wrote {frames} frames to {o.output}\n")
        out.flush()
    return OK


class SignalStop:
    """While it lives, SIGINT, SIGTERM and SIGHUP raise KeyboardInterrupt, which stops a render in progress (its
    file is removed), and the signal that came is kept: the wakeup fd set here gets every signal's number. A
    signal the program was started to ignore stays ignored."""

    def __init__(self):
        self.first = None
        self.read_end, write_end = os.pipe()
        os.set_blocking(self.read_end, False)
        os.set_blocking(write_end, False)
        self.write_end = write_end
        self.previous_fd = signal.set_wakeup_fd(write_end)
        self.previous = {}
        for sig in STOP_SIGNALS:
            if signal.getsignal(sig) not in (signal.SIG_IGN, None):
                self.previous[sig] = signal.signal(sig, signal.default_int_handler)

    def caught(self):
        """The first stop signal that came, or None."""
        while self.first is None:
            try:
                data = os.read(self.read_end, 4096)
            except BlockingIOError:
                break
            if not data:
                break
            self.first = next((sig for sig in data if sig in STOP_SIGNALS), None)
        return self.first

    def close(self):
        for sig, handler in self.previous.items():
            signal.signal(sig, handler)
        signal.set_wakeup_fd(self.previous_fd)
        os.close(self.read_end)
        os.close(self.write_end)


def main(args=None):
    # A supervisor that ignores SIGCHLD passes that on; the children the library starts are waited for.
    signal.signal(signal.SIGCHLD, signal.SIG_DFL)
    stop = SignalStop()
    try:
        return run(sys.argv[1:] if args is None else args, err_is_terminal=sys.stderr.isatty(),
                   stopping=lambda: stop.caught() is not None)
    except KeyboardInterrupt:
        sig = stop.caught() or signal.SIGINT
    finally:
        stop.close()
    # Ended as the signal asked, once the unfinished file is gone: the caller sees the signal (also when the
    # terminal has gone and nothing more can be written).
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except OSError:
            pass
    signal.signal(sig, signal.SIG_DFL)
    os.kill(os.getpid(), sig)
    return FAILED


if __name__ == "__main__":
    sys.exit(main())
