"""What a failed call raises: one class per kind of result.

The kind comes from the library's own table of results (efm8_result_name),
so the module names every failure as kestrane-cli does. Names that mean
the same to a caller share a class: "image-size" is a BadImage as
"bad-image" is, "open-failed" a TransferFailed, and so on.

Every failure is an OSError, as pyserial's are, so that code which already
handles a port that went away handles a board that did: errno is the
system's error where the library saw one (else None), and str() is the
library's own line on what went wrong.
"""

import os
from typing import Any, ClassVar, Dict, Iterator, Optional, Tuple, Type


class Error(OSError):
    """A call that failed.

    code is the library's result code (negative), name its name in the
    library's table ("transfer-failed"), words the library's one line on
    what went wrong. command ("write"), address and reply (the bootloader's
    reply byte) say where, when a command failed; pages, for a mismatch,
    which pages differ. errno is the system's error behind it, where there
    was one, and filename the port or path the call named, if any.
    """

    result_names: ClassVar[Tuple[str, ...]] = ()
    #: The first of result_names, as earlier versions of the module had it.
    result_name: ClassVar[str] = ""

    def __init__(self, code: int, name: str, words: str, command: Optional[str] = None,
                 address: Optional[int] = None, reply: Optional[int] = None, pages: Tuple[int, ...] = (),
                 *, os_error: Optional[int] = None, path: Optional[str] = None):
        super().__init__(words)
        self.code = code
        self.name = name
        self.words = words
        self.command = command
        self.address = address
        self.reply = reply
        self.pages = pages
        if os_error:
            self.errno = os_error
            self.strerror = os.strerror(os_error)
        if path is not None:
            self.filename = path

    def __str__(self) -> str:
        # OSError would put "[Errno N]" before the words once errno is set.
        return self.words

    def __reduce__(self) -> Tuple[Any, ...]:
        # OSError's own would rebuild from args, which hold the words alone.
        return (_rebuild, (type(self), self.code, self.name, self.words, self.command, self.address, self.reply,
                           self.pages, self.errno, self.filename))


def _rebuild(kind: Type[Error], code: int, name: str, words: str, command: Optional[str],
             address: Optional[int], reply: Optional[int], pages: Tuple[int, ...], os_error: Optional[int],
             path: Optional[str]) -> Error:
    return kind(code, name, words, command, address, reply, pages, os_error=os_error, path=path)


class NoBoard(Error):
    """No bootloader attached, none at the path given, or no such port."""
    result_names = ("no-device",)


class NoBoardAtPath(NoBoard, FileNotFoundError):
    """Nothing at the port or USB path the call named: a FileNotFoundError
    too, as opening a missing file is."""


class NotAPort(NoBoard):
    """The path is not a serial port: a file, a folder, another kind of
    device. Something is there, so it is no FileNotFoundError."""
    result_names = ("not-a-port",)


class Busy(Error):
    """Another program has the port open."""
    result_names = ("busy",)


class NoLine(Error):
    """A reset, boot or trigger line that cannot be driven: no RTS or DTR, no such GPIO chip or line."""
    result_names = ("no-line",)


class LineBusy(Error):
    """Another program holds the GPIO line."""
    result_names = ("line-busy",)


class NoPermission(Error, PermissionError):
    """The bootloader, port or GPIO chip is there, but this user may not open it."""
    result_names = ("no-permission", "line-no-permission")


class TransferFailed(Error):
    """A transfer failed or no reply came in time, or the board is there but
    could not be opened; nothing was sent after it."""
    result_names = ("transfer-failed", "open-failed")


class Refused(Error):
    """The bootloader refused a command; nothing was sent after it."""
    result_names = ("refused",)


class Mismatch(Error):
    """The chip's flash does not match the image (pages: which differ)."""
    result_names = ("mismatch",)


class WrongPart(Error):
    """The board is not one of the parts the image is meant for."""
    result_names = ("wrong-part",)


class BadImage(Error):
    """Not a usable image: a file that does not parse, or one empty or too
    large for the part."""
    result_names = ("bad-image", "image-size")


class Unreadable(Error):
    """A firmware file that could not be opened or read."""
    result_names = ("unreadable",)


class UsageError(Error):
    """Options the library does not take, several boards and none chosen, or
    an argument it refused. ("usage" is what libkestrane 1.0 called them.)"""
    result_names = ("several-boards", "options", "argument", "usage")


class SessionBusy(Error):
    """The board is already in a call: from a callback of that call (a
    progress callback that uses its own board), or from another thread."""
    result_names = ("session-busy",)


class Cancelled(Error):
    """A flash stopped because it was asked to; with the safe order the board
    is left in its bootloader with byte 0 erased."""
    result_names = ("cancelled",)


class OutOfMemory(Error):
    """The system could not give the memory, or a thread, that a call needed."""
    result_names = ("memory",)


def _kinds(of: Type[Error]) -> Iterator[Type[Error]]:
    for kind in of.__subclasses__():
        yield kind
        yield from _kinds(kind)


_BY_NAME: Dict[str, Type[Error]] = {}
for _kind in _kinds(Error):
    _kind.result_name = _kind.result_names[0] if _kind.result_names else ""
    for _name in _kind.__dict__.get("result_names", ()):
        _BY_NAME[_name] = _kind


def kind_of(name: str, path_named: bool = False) -> Type[Error]:
    """The class for a result's name; Error itself for one it does not know.
    path_named: the call named a port or USB path, so that nothing found
    there is a FileNotFoundError too."""
    kind = _BY_NAME.get(name, Error)
    if kind is NoBoard and path_named:
        return NoBoardAtPath
    return kind

