"""Flash Silicon Labs EFM8 microcontrollers through their factory bootloaders.

A thin layer over libkestrane (the C library kestrane-cli is built on)::

    import kestrane

    image = kestrane.load("firmware.hex")
    with kestrane.open(port="/dev/ttyUSB0", baud=115200) as board:
        part = board.identify()
        result = board.flash(image, progress=lambda phase, done, total: print(phase, done, total))

kestrane.boards() lists the USB bootloaders (EFM8UB1, UB2, UB3), and
kestrane.ports() the serial ports for the UART bootloaders. Every failure
raises a subclass of kestrane.Error, an OSError. No call holds the GIL while
it talks to a board, so boards opened in several threads flash at once; one
board is driven by one call at a time.

Ctrl-C during a flash on the main thread raises KeyboardInterrupt within a
record, the board left in its bootloader and, once writing has begun, with
byte 0 erased (with the safe order, the default): never started with half
an image.
"""

import ctypes
import enum
import math
import numbers
import operator
import os
import threading
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Tuple, TypeVar, Union

from . import _native as native
from ._interrupt import Watch, interrupts_to
from .errors import (BadImage, Busy, Cancelled, Error, LineBusy, Mismatch, NoBoard, NoBoardAtPath, NoLine,
                     NoPermission, NotAPort, OutOfMemory, Refused, SessionBusy, TransferFailed, Unreadable,
                     UsageError, WrongPart, kind_of)

__all__ = ["boards", "ports", "parts", "load", "open", "Board", "Image", "Part", "Result", "Device", "Port",
           "Phase", "Progress", "Error", "NoBoard", "NoBoardAtPath", "NotAPort", "Busy", "NoPermission",
           "TransferFailed", "Refused", "Mismatch", "WrongPart", "BadImage", "Unreadable", "UsageError", "NoLine",
           "LineBusy", "SessionBusy", "Cancelled", "OutOfMemory", "version"]

_lib = native.lib
_INTERFACES = {1: "usb", 2: "uart", 3: "smbus"}
_FORMATS = {1: "binary", 2: "intel-hex", 3: "srecord", 4: "boot-records"}
_LEAVE_AS_IS = 0xFF  # a lock command's byte that changes nothing
_MESSAGE_SIZE = 512
# The serial transport keeps its timeout in a C int: a longer one would
# turn negative there and time every reply out at once.
_TIMEOUT_MAX_MS = 2 ** 31 - 1

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


def version() -> str:
    """The version of the libkestrane loaded, e.g. "1.1.0"."""
    return _text(_lib.efm8_version_string())


def _text(raw: Optional[bytes]) -> str:
    return raw.decode(errors="replace") if raw else ""


__version__ = version()


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


def parts() -> List[Part]:
    """Every EFM8 part of the library's table."""
    count = ctypes.c_size_t()
    table = _lib.efm8_parts(ctypes.byref(count))
    return [_part(table[i]) for i in range(count.value)]


_Listed = TypeVar("_Listed", native.Device, native.Port)


def _listed(call: Callable[..., int], entry: "type[_Listed]") -> List[_Listed]:
    room = 16
    while True:
        entries = (entry * room)()
        count = int(call(entries, room))
        if count <= room:
            return list(entries[:max(count, 0)])
        room = count


def boards() -> List[Device]:
    """The USB bootloaders attached, sorted by path."""
    return [Device(_text(d.path), _text(d.family), int(d.vendor_id), int(d.product_id))
            for d in _listed(_lib.efm8_list, native.Device)]


def ports() -> List[Port]:
    """This machine's serial ports, sorted by path; none is opened."""
    return [Port(_text(p.path), int(p.vendor_id), int(p.product_id), _text(p.manufacturer), _text(p.product),
                 _text(p.serial))
            for p in _listed(_lib.efm8_list_ports, native.Port)]


class Image:
    """A firmware file loaded: its bytes from address 0 (gaps 0xFF) and what
    a boot-record file asks besides: the part ids it is meant for, its CRC
    checks as (start, end, crc), its lock as (signature, lock byte), and
    whether it starts the application. path is the file it was loaded from
    (None for one parsed from memory), name what messages call it."""

    def __init__(self, handle: ctypes.c_void_p, path: Optional[str], name: Optional[str] = None):
        self._handle = handle
        self.path = path
        self.name: str = name if name is not None else path if path is not None else "image"
        self.format: str = _FORMATS.get(_lib.efm8_image_format(handle), "binary")
        count = ctypes.c_uint32()
        data = _lib.efm8_image_bytes(handle, ctypes.byref(count))
        self.data: bytes = ctypes.string_at(data, count.value)
        many = ctypes.c_size_t()
        ids = _lib.efm8_image_ids(handle, ctypes.byref(many))
        self.ids: Tuple[int, ...] = tuple(int(ids[i]) for i in range(many.value))
        checks = _lib.efm8_image_checks(handle, ctypes.byref(many))
        self.checks: Tuple[Tuple[int, int, int], ...] = tuple(
            (int(checks[i].start), int(checks[i].end), int(checks[i].crc)) for i in range(many.value))
        signature, lock = ctypes.c_uint8(), ctypes.c_uint8()
        has_lock = _lib.efm8_image_lock(handle, ctypes.byref(signature), ctypes.byref(lock))
        self.lock: Optional[Tuple[int, int]] = (signature.value, lock.value) if has_lock else None
        self.runs: bool = bool(_lib.efm8_image_runs(handle))

    @classmethod
    def parse(cls, data: Buffer, name: Optional[str] = None) -> "Image":
        """An image from a firmware file's content in memory, told apart by
        that content as load() tells files apart. name stands for the file
        in messages ("image" when None). Raises BadImage."""
        content = _content(data, "data")
        encoded = _c_text(name, "name") if name is not None else None
        handle = ctypes.c_void_p()
        message = ctypes.create_string_buffer(_MESSAGE_SIZE)
        result = _lib.efm8_image_parse(content, len(content), encoded, ctypes.byref(handle), message,
                                       _MESSAGE_SIZE)
        _raise_unless_loaded(result, message)
        return cls(handle, None, name)

    def __len__(self) -> int:
        return len(self.data)

    def __repr__(self) -> str:
        return f"<kestrane.Image {self.name!r}: {self.format}, {len(self.data)} bytes>"

    def __del__(self) -> None:
        handle, self._handle = getattr(self, "_handle", None), ctypes.c_void_p()
        if handle:
            _lib.efm8_image_free(handle)


def _raise_unless_loaded(result: int, message: "ctypes.Array[ctypes.c_char]") -> None:
    if result != native.OK:
        kind = _text(_lib.efm8_result_name(result))
        raise kind_of(kind)(result, kind, _text(message.value))


def load(path: _PathArg) -> Image:
    """Reads a raw binary, Intel HEX, S-record or boot-record file, told
    apart by its content. Raises BadImage (naming the line or offset) or
    Unreadable."""
    encoded = _c_text(path, "path")
    handle = ctypes.c_void_p()
    message = ctypes.create_string_buffer(_MESSAGE_SIZE)
    result = _lib.efm8_image_load(encoded, ctypes.byref(handle), message, _MESSAGE_SIZE)
    _raise_unless_loaded(result, message)
    return Image(handle, os.fsdecode(path))


# A call of the library on a session, handed the session and the report;
# it returns the library's result (an int, untyped as ctypes returns it).
_SessionCall = Callable[[ctypes.c_void_p, native.Report], Any]


class Board:
    """A board in its bootloader, opened by open(). Close it, or use it in a
    with block.

    Each call talks to the board while no other call on it runs: a call
    from another thread waits for the one under way. A call from within a
    call on the same board (a progress callback that uses its own board, or
    closes it) raises SessionBusy at once, since the board is busy with the
    call that is calling back.
    """

    def __init__(self, session: ctypes.c_void_p):
        self._session: Optional[ctypes.c_void_p] = session
        self._lock = threading.Lock()
        self._caller: Optional[int] = None  # the thread in a call on the board
        self._under_way = ""
        device = _lib.efm8_session_device(session).contents
        self.path: str = _text(device.path)
        self.interface: str = _INTERFACES.get(device.interface, "unknown")

    def __enter__(self) -> "Board":
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<kestrane.Board {self.path!r} over {self.interface}>"

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # at the interpreter's exit, what close needs may be gone already
            pass

    def _refuse_from_within(self, what: str) -> None:
        # The thread in a call is calling back: the session is busy, and
        # waiting for it would never end.
        if getattr(self, "_caller", None) == threading.get_ident():
            name = _text(_lib.efm8_result_name(native.ERR_SESSION_BUSY))
            raise SessionBusy(native.ERR_SESSION_BUSY, name,
                              f"{self.path}: {what}: {self._under_way} is under way on this board, which is "
                              f"calling back", path=self.path)

    def close(self) -> None:
        """Lets the board go; it stays in its bootloader unless it was run.
        Raises SessionBusy from a callback of a call on this board."""
        self._refuse_from_within("close")
        with self._lock:
            session, self._session = self._session, None
            if session:
                _lib.efm8_close(session)

    def _call(self, what: str, call: _SessionCall, watch: Optional[Watch] = None) -> Tuple[int, native.Report]:
        """The call on the session while this thread holds the board, and
        SIGINT on the main thread sent to watch for the length of it."""
        self._refuse_from_within(what)
        report = native.sized(native.Report)
        with self._lock:
            session = self._session
            if session is None:
                raise ValueError("the board is closed")
            self._caller, self._under_way = threading.get_ident(), what
            try:
                if watch is None:
                    result = int(call(session, report))
                else:
                    with interrupts_to(watch):
                        result = int(call(session, report))
            finally:
                self._caller = None
        return result, report

    def _checked(self, what: str, call: _SessionCall) -> native.Report:
        result, report = self._call(what, call)
        if result != native.OK:
            raise _error(result, report, self.path + ": ", self.path)
        return report

    def identify(self) -> Part:
        """Names the board's part and its bootloader's version."""
        identity = native.sized(native.Identity)
        self._checked("identify", lambda session, report: _lib.efm8_identify(
            session, ctypes.byref(identity), ctypes.byref(report)))
        version = int(identity.version) if identity.version >= 0 else None
        if identity.part:
            return _part(identity.part.contents, version)
        family = _text(identity.family.contents.name) if identity.family else "unknown"
        return Part(family, family, 0, 0, int(identity.app_limit), int(identity.page_size), self.interface, version)

    def flash(self, image: Union[Image, Buffer], *, verify: bool = True, delta: bool = False,
              lock_pages: Optional[int] = None, progress: Optional[Progress] = None, run: bool = True,
              safe_order: bool = True, skip_blank: bool = True, write_size: int = 0,
              allow_disable_bootloader: bool = False) -> Result:
        """Erases and writes the pages the image spans, verifies them by CRC,
        and starts the application (run=False: the board stays in its
        bootloader). An Image is flashed as its file asks: a boot-record
        file's parts are checked first, its checks made and its lock
        programmed after the verify. lock_pages=n locks pages 0 to n-1
        against a debugger once the flash is verified, for good.
        write_size: data bytes per command, 1 to 128 (0: the transport's
        default). A lock that would disable the bootloader for good (a
        boot-record file's) is refused with UsageError unless
        allow_disable_bootloader.

        progress(phase, done, total) is called between records with a
        Phase and done never decreasing. An exception it raises stops the
        flash before its next record and is raised by flash; so is
        KeyboardInterrupt on Ctrl-C, when flash runs on the main thread.
        Stopped so, the board stays in its bootloader; with safe_order
        (the default) byte 0 is erased from the first write on, so that
        the chip never starts half an image (stopped while delta compares,
        before any write, the chip's flash is as it was).
        """
        options = native.sized(native.Options)
        _lib.efm8_init_options(ctypes.byref(options), ctypes.sizeof(options))
        options.verify, options.delta = _flag(verify, "verify"), _flag(delta, "delta")
        options.run, options.safe_order = _flag(run, "run"), _flag(safe_order, "safe_order")
        options.skip_blank = _flag(skip_blank, "skip_blank")
        options.write_size = _integer(write_size, "write_size", 0, native.UINT32_MAX)
        options.allow_disable_bootloader = _flag(allow_disable_bootloader, "allow_disable_bootloader")
        if lock_pages is not None:
            options.lock, options.lock_signature = 1, _LEAVE_AS_IS
            options.lock_byte = _lib.efm8_lock_byte_for(_pages(lock_pages))
        if progress is not None and not callable(progress):
            raise TypeError(f"progress takes a callable, not {type(progress).__name__}")
        # The library is always handed a hook that can stop it, with or
        # without the caller's progress: Ctrl-C has to reach it either way.
        watch = Watch(progress, _PHASES, Phase.WRITE)
        hook = native.PROGRESS_CANCEL(watch.hook)
        options.progress_cancel = hook
        call: _SessionCall
        if isinstance(image, Image):
            handle = image._handle
            call = lambda session, report: _lib.efm8_flash_image(  # noqa: E731
                session, handle, ctypes.byref(options), ctypes.byref(report))
        else:
            data = _content(image)
            call = lambda session, report: _lib.efm8_flash(  # noqa: E731
                session, data, len(data), ctypes.byref(options), ctypes.byref(report))
        result, report = self._call("flash", call, watch)
        watch.raise_pending()
        if result != native.OK:
            raise _error(result, report, self.path + ": ", self.path)
        return _result(report)

    def verify(self, image: Union[Image, Buffer]) -> Result:
        """Compares the board's flash with the image by CRC, writing
        nothing; raises Mismatch naming the pages that differ."""
        if isinstance(image, Image):
            handle = image._handle
            return _result(self._checked("verify", lambda session, report: _lib.efm8_verify_image(
                session, handle, ctypes.byref(report))))
        data = _content(image)
        return _result(self._checked("verify", lambda session, report: _lib.efm8_verify(
            session, data, len(data), ctypes.byref(report))))

    def lock(self, pages: int) -> Result:
        """Locks pages 0 to pages-1 against reading by a debugger, for good:
        flash bits only clear. The result holds the bytes read back."""
        lock_byte = _lib.efm8_lock_byte_for(_pages(pages))
        return _result(self._checked("lock", lambda session, report: _lib.efm8_lock(
            session, _LEAVE_AS_IS, lock_byte, ctypes.byref(report))))

    def run(self) -> None:
        """Starts the application; the board leaves its bootloader."""
        self._checked("run", lambda session, report: _lib.efm8_run(session, ctypes.byref(report)))


def _pages(pages: int) -> int:
    return _integer(pages, "pages to lock", 0, 255)


def _entry(reset: Optional[str], boot: Optional[str], entry_sequence: Optional[str],
           enter_command: Optional[Buffer], after_reset: bool, enter_baud: Optional[int],
           enter_wait: Optional[float]) -> Optional[native.Entry]:
    """The hands-free entry open() was asked for, or None for none: the
    library reads the lines and the sequence, and says why it refuses one."""
    after = _flag(after_reset, "after_reset")
    if reset is None and boot is None and entry_sequence is None and enter_command is None and not after and \
            enter_baud is None and enter_wait is None:
        return None
    if boot is not None and reset is None:
        raise ValueError("boot needs reset: the entry pin is read when the chip comes out of reset")
    if after and reset is None:
        raise ValueError("after_reset needs reset: the application is started by a reset pulse")
    if entry_sequence is not None and reset is None:
        raise ValueError("entry_sequence drives the reset and boot lines: give them")
    if (enter_baud is not None or enter_wait is not None) and enter_command is None:
        raise ValueError("enter_baud and enter_wait are for enter_command")
    entry = native.sized(native.Entry)
    _lib.efm8_init_entry(ctypes.byref(entry), ctypes.sizeof(entry))
    why = ctypes.create_string_buffer(_MESSAGE_SIZE)
    for role, text, line in (("reset", reset, entry.reset), ("boot", boot, entry.boot)):
        if text is None:
            continue
        result = _lib.efm8_parse_line(_c_text(text, role), ctypes.byref(line), why, _MESSAGE_SIZE)
        if result != native.OK:
            _refuse_entry(result, f"{role}: {_text(why.value)}")
    if reset is not None and boot is not None and bytes(entry.reset) == bytes(entry.boot):
        raise ValueError("reset and boot need a line each")
    if entry_sequence is not None:
        result = _lib.efm8_parse_entry_sequence(_c_text(entry_sequence, "entry_sequence"),
                                                ctypes.byref(entry), why, _MESSAGE_SIZE)
        if result != native.OK:
            _refuse_entry(result, f"entry_sequence: {_text(why.value)}")
    if enter_command is not None:
        command = bytes(_content(enter_command, "enter_command"))
        if not 0 < len(command) <= native.ENTER_COMMAND_MAX:
            raise ValueError(f"enter_command takes 1 to {native.ENTER_COMMAND_MAX} bytes, not {len(command)}")
        ctypes.memmove(entry.command, command, len(command))
        entry.command_length = len(command)
    if enter_baud is not None:
        entry.command_baud = _integer(enter_baud, "enter_baud", 0, native.UINT32_MAX)
    if enter_wait is not None:
        entry.command_wait_ms = _milliseconds(enter_wait, "enter_wait", 0, native.UINT32_MAX)
    entry.reset_after = after
    return entry


def _refuse_entry(result: int, words: str) -> None:
    name = _text(_lib.efm8_result_name(result))
    raise kind_of(name)(result, name, words)


def open(device: Optional[Union[str, Device]] = None, *, port: Optional[_PathArg] = None, baud: int = 115200,
         timeout: float = 2.0, reset: Optional[str] = None, boot: Optional[str] = None,
         entry_sequence: Optional[str] = None, enter_command: Optional[Buffer] = None, after_reset: bool = False,
         enter_baud: Optional[int] = None, enter_wait: Optional[float] = None) -> Board:
    """Opens a board: the USB bootloader at device (a path from boards(), or
    None for the only one attached), or the board on a serial port, at a
    baud rate from 57600 to 460800, waiting up to timeout seconds for each
    reply. Raises NoBoard (a FileNotFoundError too where a path was named),
    Busy, NoPermission or UsageError.

    A board on a port whose application is running is brought into its
    bootloader first, hands-free, as these say:

    - reset, boot: the lines on the chip's reset and entry pins: "rts",
      "dtr" or "gpio:CHIP:OFFSET", each with ":active-high" behind a
      transistor stage. With both, boot is held through a reset pulse;
      with reset alone, a reset starts the bootloader only on a chip whose
      flash byte 0 is erased.
    - entry_sequence: the steps instead of the default, e.g.
      "boot=1,reset=1,wait=10ms,reset=0,wait=50ms,boot=0".
    - enter_command: the bytes the application takes as its way into the
      bootloader, sent at enter_baud (None: the port's) with enter_wait
      seconds after them (None: 0.1).
    - after_reset: when the board is closed, a reset pulse with boot
      released, so that the application starts whatever was done.

    NoLine, LineBusy and NoPermission say why a line could not be driven.
    """
    session = ctypes.c_void_p()
    if port is None:
        if _entry(reset, boot, entry_sequence, enter_command, after_reset, enter_baud, enter_wait) is not None:
            raise ValueError("reset, boot, entry_sequence, enter_command and after_reset are for a board on a "
                             "port")
        path = device.path if isinstance(device, Device) else device
        encoded = _c_text(path, "device") if path is not None else None
        result = _lib.efm8_open(encoded, ctypes.byref(session))
        if result != native.OK:
            report = native.sized(native.Report)
            _lib.efm8_last_failure(ctypes.byref(report))
            raise _error(result, report, (path or "USB") + ": ", path)
        return Board(session)
    if device is not None:
        raise ValueError("open() takes a device or a port, not both")
    encoded = _c_text(port, "port")
    settings = native.sized(native.PortSettings)
    _lib.efm8_init_port_settings(ctypes.byref(settings), ctypes.sizeof(settings))
    settings.baud = _integer(baud, "baud", 0, native.UINT32_MAX)
    settings.timeout_ms = _milliseconds(timeout, "timeout", 1, _TIMEOUT_MAX_MS)
    entry = _entry(reset, boot, entry_sequence, enter_command, after_reset, enter_baud, enter_wait)
    report = native.sized(native.Report)
    result = _lib.efm8_open_port_entry(encoded, ctypes.byref(settings),
                                       ctypes.byref(entry) if entry is not None else None,
                                       ctypes.byref(session), ctypes.byref(report))
    if result != native.OK:
        where = os.fsdecode(port)
        raise _error(result, report, where + ": ", where)
    return Board(session)
