"""What a failed call raises: one class per kind of result.

The kind comes from the library's own table of results (efm8_result_name),
so the module names every failure as kestrane-cli does.
"""

from typing import ClassVar, Dict, Iterator, Optional, Tuple, Type


class Error(Exception):
    """A call that failed.

    code is the library's result code (negative), name its name in the
    library's table ("transfer-failed"), words the library's one line on
    what went wrong. command ("write"), address and reply (the bootloader's
    reply byte) say where, when a command failed; pages, for a mismatch,
    which pages differ.
    """

    result_name: ClassVar[str] = ""

    def __init__(self, code: int, name: str, words: str, command: Optional[str] = None,
                 address: Optional[int] = None, reply: Optional[int] = None, pages: Tuple[int, ...] = ()):
        super().__init__(words)
        self.code = code
        self.name = name
        self.words = words
        self.command = command
        self.address = address
        self.reply = reply
        self.pages = pages


class NoBoard(Error):
    """No bootloader attached, none at the path given, or no such port."""
    result_name = "no-device"


class NotAPort(NoBoard):
    """The path is not a serial port: a file, a folder, another kind of device."""
    result_name = "not-a-port"


class Busy(Error):
    """Another program has the port open."""
    result_name = "busy"


class NoLine(Error):
    """A reset, boot or trigger line that cannot be driven: no RTS or DTR, no such GPIO chip or line."""
    result_name = "no-line"


class LineBusy(Error):
    """Another program holds the GPIO line."""
    result_name = "line-busy"


class NoPermission(Error):
    """The bootloader or port is there, but this user may not open it."""
    result_name = "no-permission"


class TransferFailed(Error):
    """A transfer failed or no reply came in time; nothing was sent after it."""
    result_name = "transfer-failed"


class Refused(Error):
    """The bootloader refused a command; nothing was sent after it."""
    result_name = "refused"


class Mismatch(Error):
    """The chip's flash does not match the image (pages: which differ)."""
    result_name = "mismatch"


class WrongPart(Error):
    """The board is not one of the parts the image is meant for."""
    result_name = "wrong-part"


class BadImage(Error):
    """Not a usable image: a file that does not parse, or too large for the part."""
    result_name = "bad-image"


class Unreadable(Error):
    """A firmware file that could not be opened or read."""
    result_name = "unreadable"


class UsageError(Error):
    """Options the library does not take, or several boards and none chosen."""
    result_name = "usage"


def _kinds(of: Type[Error]) -> Iterator[Type[Error]]:
    for kind in of.__subclasses__():
        yield kind
        yield from _kinds(kind)


_BY_NAME: Dict[str, Type[Error]] = {kind.result_name: kind for kind in _kinds(Error)}


def kind_of(name: str) -> Type[Error]:
    """The class for a result's name; Error itself for one it does not know."""
    return _BY_NAME.get(name, Error)
