"""The package's errors.

``AvatarError`` and its kinds are what application code catches. Each carries a message for the user
(``str(error)``) and, separately, a technical ``detail``: None, a text, or the exception behind it.
"""


class AvatarError(Exception):
    """Base of the package's errors: a message for the user and a technical ``detail``."""

    def __init__(self, message, detail=None):
        super().__init__(message)
        self.detail = detail

    def __reduce__(self):
        return (type(self), (self.args[0], self.detail))


class InvalidAvatar(AvatarError):
    """The avatar is missing, empty or unusable."""


class NotSupported(AvatarError):
    """This machine cannot run the avatar, or the source names an avatar held by the service."""


class Failed(AvatarError):
    """Preparing the avatar, reading the audio or rendering went wrong, or the avatar is closed."""


class Outdated(InvalidAvatar):
    """An engine reported the avatar as outdated; ``code`` is the engine's own code for it."""

    def __init__(self, message, code, detail=None):
        super().__init__(message, detail)
        self.code = code

    def __reduce__(self):
        return (type(self), (self.args[0], self.code, self.detail))


_Outdated = Outdated


def refuse(cls, message, detail):
    """The error to raise: a ``cls`` with ``message`` and ``detail``; builds it and does nothing else.

    Use it as ``raise refuse(Failed, message, detail) from None``.
    """
    return cls(message, detail)
