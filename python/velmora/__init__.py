"""Talking-avatar video frames from speech, rendered on this machine.

    import velmora
    with velmora.open("avatar.imx") as avatar:
        for frame in avatar.render("speech.wav"):  # numpy uint8 arrays (rows, columns, 3)
            ...

``avatar.render(audio, out_mp4="out.mp4")`` writes an MP4 instead; ``python3 -m velmora render`` does so from
the command line.

The library routes the FFmpeg libraries' log callback, for the whole process, to the "velmora" logger at debug
level, from the first video it writes or audio file it decodes in-process on.
"""

import collections.abc

from ._errors import AvatarError, Failed, InvalidAvatar, NotSupported, Outdated, refuse
from ._open import Avatar, Frames, RenderStats, WriteProgress, open

collections.abc.Generator.register(Frames)

__all__ = [
    "open",
    "Avatar",
    "Frames",
    "RenderStats",
    "WriteProgress",
    "AvatarError",
    "InvalidAvatar",
    "NotSupported",
    "Failed",
    "Outdated",
    "refuse",
]
