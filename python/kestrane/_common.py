"""What the module's parts share: the library loaded, its words, the checks
every argument goes through before it reaches the library, and the plain
values calls return."""

import ctypes
import enum
import math
import numbers
import operator
import os
from dataclasses import dataclass
from typing import Callable, Optional, Union

from . import _native as native
from .errors import Error, kind_of


_lib = native.lib
_INTERFACES = {1: "usb", 2: "uart", 3: "smbus"}
_FORMATS = {1: "binary", 2: "intel-hex", 3: "srecord", 4: "boot-records"}
_LEAVE_AS_IS = 0xFF  # a lock command's byte that changes nothing
_MESSAGE_SIZE = 512
# What a port's reply time-out field holds.
_TIMEOUT_MAX_MS = 2 ** 32 - 1

_PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Buffer = Union[bytes, bytearray, memoryview]


class Phase(str, enum.Enum):
    """Where a flash is, as progress is told it. A str, so that
    `phase == "write"` and print(phase) read as the phase's name."""
    COMPARE = "compare"  # delta: asking the chip which pages already hold the image
    WRITE = "write"
    VERIFY = "verify"

    def __str__(self) -> str:
        return str(self.value)

    def __format__(self, how: str) -> str:
        return format(str(self.value), how)


_PHASES = {0: Phase.COMPARE, 1: Phase.WRITE, 2: Phase.VERIFY}

#: progress(phase, done, total): done never decreases within a flash, and
#: the write phase ends with done == total, the image's length.
Progress = Callable[[Phase, int, int], object]


def _text(raw: Optional[bytes]) -> str:
    return raw.decode(errors="replace") if raw else ""



# Arguments are checked here, before anything is opened or sent: ctypes
# would wrap a number its C field cannot hold and C would cut a text at its
# first NUL, each silently asking for something else. What the fields can
# hold is left to the library, which refuses what it does not take
# (UsageError) in its own words.

def _integer(value: object, what: str, low: int, high: int) -> int:
    if isinstance(value, bool):  # an int to Python, but never meant as a number
        raise ValueError(f"{what} takes a number, not {value!r}")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} takes an integer, not {type(value).__name__}") from None
    if not low <= number <= high:
        raise ValueError(f"{what} must be {low} to {high}, not {number}")
    return number


def _flag(value: object, what: str) -> int:
    if isinstance(value, bool) or (isinstance(value, int) and value in (0, 1)):
        return int(value)
    raise TypeError(f"{what} takes True or False, not {value!r}")


def _milliseconds(value: object, what: str, low: int, high: int) -> int:
    """Seconds as whole milliseconds, rounded up (so that a positive time is
    never 0), from low to high."""
    if isinstance(value, bool):
        raise ValueError(f"{what} takes seconds, not {value!r}")
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{what} takes seconds as a number, not {type(value).__name__}")
    seconds = float(value)
    if math.isnan(seconds) or seconds < 0:
        raise ValueError(f"{what} must be a time of 0 s or more, not {value!r}")
    if math.isinf(seconds):
        milliseconds: float = seconds
    else:
        # Rounded to the microsecond first: 0.3 s is 300 ms, not 301.
        milliseconds = math.ceil(round(seconds * 1000, 3))
        if seconds > 0:
            milliseconds = max(1, milliseconds)
    if not low <= milliseconds <= high:
        raise ValueError(f"{what} must be {low / 1000:g} s to {high / 1000:g} s, not {value!r}")
    return int(milliseconds)


def _c_text(value: _PathArg, what: str) -> bytes:
    """A path or text as C takes it: NUL-terminated, so with no NUL inside."""
    encoded = os.fsencode(value)
    if b"\0" in encoded:
        raise ValueError(f"{what} has a NUL byte in it: {value!r}")
    return encoded


def _content(data: Buffer, what: str = "image") -> "ctypes.Array[ctypes.c_uint8]":
    """Bytes of the caller's in a ctypes array of their own, whose length a
    uint32_t holds."""
    try:
        view = memoryview(data).cast("B")
    except TypeError:
        raise TypeError(f"{what} takes an Image or bytes, not {type(data).__name__}") from None
    _integer(len(view), f"the length of {what}", 0, native.UINT32_MAX)
    return (ctypes.c_uint8 * len(view)).from_buffer_copy(view)


def _error(result: int, report: native.Report, prefix: str = "", path: Optional[str] = None) -> Error:
    """The exception for a failed call: its class by the result's name, its
    words the library's. path: the port or USB path the call named."""
    words = ctypes.create_string_buffer(_MESSAGE_SIZE)
    _lib.efm8_describe(ctypes.byref(report), words, _MESSAGE_SIZE)
    command = _lib.efm8_command_name(report.command) if report.command else None
    pages = tuple(page for page in range(native.MAX_PAGES) if report.differ[page // 8] >> (page % 8) & 1)
    name = _text(_lib.efm8_result_name(result))
    said = _text(words.value)
    # What the transport said, where the library's line leaves it out (as
    # it does for a line that cannot be driven, which it names there).
    detail = _text(report.transport_error)
    if detail and detail not in said:
        said += ": " + detail
    reply = int(report.reply)
    return kind_of(name, path is not None)(
        result, name, prefix + said, _text(command) or None, int(report.address) if command else None,
        reply if reply >= 0 else None, pages, os_error=int(report.os_error) or None, path=path)


@dataclass(frozen=True)
class Device:
    """A USB bootloader: its path (what tells two boards apart) and family."""
    path: str
    family: str
    vendor_id: int
    product_id: int


@dataclass(frozen=True)
class Port:
    """A serial port, and the USB adapter behind it where there is one."""
    path: str
    vendor_id: int
    product_id: int
    manufacturer: str
    product: str
    serial: str


@dataclass(frozen=True)
class Part:
    """A part: from the part table, or as identify found it on a board.

    limit is the first address the application may not use; 0 (as are id
    and flash_size) for a part the table does not know. bootloader_version
    is the bootloader's version byte (0x90 is 1.0), None from the table.
    """
    name: str
    family: str
    id: int
    flash_size: int
    limit: int
    page_size: int
    interface: str
    bootloader_version: Optional[int] = None


@dataclass(frozen=True)
class Result:
    """What a flash, verify or lock did: the commands it sent, the data bytes
    it carried, the pages delta found unchanged, and the lock and signature
    bytes as read back after a lock (None when not locked or not readable)."""
    part: Optional[str]
    commands: int
    bytes_written: int
    pages_skipped: int
    locked: bool
    lock_byte: Optional[int]
    signature_byte: Optional[int]


def _result(report: native.Report) -> Result:
    part = _text(report.part.contents.name) if report.part else None
    lock_value, signature_value = int(report.lock_value), int(report.signature_value)
    return Result(part, int(report.commands), int(report.bytes_written), int(report.pages_skipped),
                  bool(report.locked), lock_value if lock_value >= 0 else None,
                  signature_value if signature_value >= 0 else None)


def _part(entry: native.PartEntry, version: Optional[int] = None) -> Part:
    family = entry.family.contents
    return Part(_text(entry.name), _text(family.name), int(entry.id), int(entry.flash_size), int(entry.app_limit),
                int(family.page_size), _INTERFACES.get(entry.interface, "unknown"), version)
