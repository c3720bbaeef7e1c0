"""Flash Silicon Labs EFM8 microcontrollers through their factory bootloaders.

A thin layer over libkestrane (the C library kestrane-cli is built on)::

    import kestrane

    image = kestrane.load("firmware.hex")
    with kestrane.open(port="/dev/ttyUSB0", baud=115200) as board:
        part = board.identify()
        result = board.flash(image, progress=lambda phase, done, total: print(phase, done, total))

kestrane.boards() lists the USB bootloaders (EFM8UB1, UB2, UB3), and
kestrane.ports() the serial ports for the UART bootloaders. Every failure
raises a subclass of kestrane.Error. No call holds the GIL while it talks to
a board, so boards opened in several threads flash at once; one board is
driven by one call at a time.
"""

import os
import threading
from dataclasses import dataclass
from typing import Callable, Optional, Union

from . import _native as native
from .errors import (BadImage, Busy, Error, LineBusy, Mismatch, NoBoard, NoLine, NoPermission, NotAPort, Refused,
                     TransferFailed, Unreadable, UsageError, WrongPart, kind_of)

__all__ = ["boards", "ports", "parts", "load", "open", "Board", "Image", "Part", "Result", "Device", "Port",
           "Error", "NoBoard", "NotAPort", "Busy", "NoPermission", "TransferFailed", "Refused", "Mismatch", "WrongPart",
           "BadImage", "Unreadable", "UsageError", "NoLine", "LineBusy", "version"]

_lib = native.lib
_INTERFACES = {1: "usb", 2: "uart", 3: "smbus"}
_PHASES = {0: "compare", 1: "write", 2: "verify"}
_FORMATS = {1: "binary", 2: "intel-hex", 3: "srecord", 4: "boot-records"}
_LEAVE_AS_IS = 0xFF  # a lock command's byte that changes nothing
_MESSAGE_SIZE = 512

Progress = Callable[[str, int, int], object]


def version() -> str:
    """The version of the libkestrane loaded, e.g. "1.1.0"."""
    return _lib.efm8_version_string().decode()


__version__ = version()


def _text(raw: Optional[bytes]) -> str:
    return raw.decode(errors="replace") if raw else ""


def _error(result: int, report: native.Report, where: str = "") -> Error:
    words = native.ctypes.create_string_buffer(_MESSAGE_SIZE)
    _lib.efm8_describe(native.ctypes.byref(report), words, _MESSAGE_SIZE)
    command = _lib.efm8_command_name(report.command) if report.command else None
    pages = tuple(page for page in range(native.MAX_PAGES) if report.differ[page // 8] >> (page % 8) & 1)
    name = _text(_lib.efm8_result_name(result))
    return kind_of(name)(result, name, where + _text(words.value), _text(command) or None,
                         report.address if command else None, report.reply if report.reply >= 0 else None, pages)


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
    return Result(part, report.commands, report.bytes_written, report.pages_skipped, bool(report.locked),
                  report.lock_value if report.lock_value >= 0 else None,
                  report.signature_value if report.signature_value >= 0 else None)


def _part(entry: native.PartEntry, version: Optional[int] = None) -> Part:
    family = entry.family.contents
    return Part(_text(entry.name), _text(family.name), entry.id, entry.flash_size, entry.app_limit,
                family.page_size, _INTERFACES.get(entry.interface, "unknown"), version)


def parts() -> list[Part]:
    """Every EFM8 part of the library's table."""
    count = native.c_size_t()
    table = _lib.efm8_parts(native.ctypes.byref(count))
    return [_part(table[i]) for i in range(count.value)]


def _listed(call: Callable, entry: type) -> list:
    room = 16
    while True:
        entries = (entry * room)()
        count = call(entries, room)
        if count <= room:
            return list(entries[:max(count, 0)])
        room = count


def boards() -> list[Device]:
    """The USB bootloaders attached, sorted by path."""
    return [Device(_text(d.path), _text(d.family), d.vendor_id, d.product_id)
            for d in _listed(_lib.efm8_list, native.Device)]


def ports() -> list[Port]:
    """This machine's serial ports, sorted by path; none is opened."""
    return [Port(_text(p.path), p.vendor_id, p.product_id, _text(p.manufacturer), _text(p.product), _text(p.serial))
            for p in _listed(_lib.efm8_list_ports, native.Port)]


class Image:
    """A firmware file loaded: its bytes from address 0 (gaps 0xFF) and what
    a boot-record file asks besides: the part ids it is meant for, its CRC
    checks as (start, end, crc), its lock as (signature, lock byte), and
    whether it starts the application."""

    def __init__(self, handle: native.c_void_p, path: str):
        self._handle = handle
        self.path = path
        self.format: str = _FORMATS.get(_lib.efm8_image_format(handle), "binary")
        count = native.c_uint32()
        data = _lib.efm8_image_bytes(handle, native.ctypes.byref(count))
        self.data: bytes = native.ctypes.string_at(data, count.value)
        many = native.c_size_t()
        ids = _lib.efm8_image_ids(handle, native.ctypes.byref(many))
        self.ids: tuple[int, ...] = tuple(ids[i] for i in range(many.value))
        checks = _lib.efm8_image_checks(handle, native.ctypes.byref(many))
        self.checks: tuple[tuple[int, int, int], ...] = tuple(
            (checks[i].start, checks[i].end, checks[i].crc) for i in range(many.value))
        signature, lock = native.c_uint8(), native.c_uint8()
        has_lock = _lib.efm8_image_lock(handle, native.ctypes.byref(signature), native.ctypes.byref(lock))
        self.lock: Optional[tuple[int, int]] = (signature.value, lock.value) if has_lock else None
        self.runs: bool = bool(_lib.efm8_image_runs(handle))

    def __len__(self) -> int:
        return len(self.data)

    def __repr__(self) -> str:
        return f"<kestrane.Image {self.path!r}: {self.format}, {len(self.data)} bytes>"

    def __del__(self) -> None:
        handle, self._handle = getattr(self, "_handle", None), None
        if handle:
            _lib.efm8_image_free(handle)


def load(path: Union[str, os.PathLike]) -> Image:
    """Reads a raw binary, Intel HEX, S-record or boot-record file, told
    apart by its content. Raises BadImage (naming the line or offset) or
    Unreadable."""
    name = os.fspath(path)
    handle = native.c_void_p()
    message = native.ctypes.create_string_buffer(_MESSAGE_SIZE)
    result = _lib.efm8_image_load(os.fsencode(name), native.ctypes.byref(handle), message, _MESSAGE_SIZE)
    if result != 0:
        kind = _text(_lib.efm8_result_name(result))
        raise kind_of(kind)(result, kind, _text(message.value))
    return Image(handle, name)


class Board:
    """A board in its bootloader, opened by open(). Close it, or use it in a
    with block; each call talks to the board while no other call on it runs."""

    def __init__(self, session: native.c_void_p):
        self._session = session
        self._lock = threading.RLock()
        self._in_call = False
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

    def close(self) -> None:
        """Lets the board go; it stays in its bootloader unless it was run."""
        with self._lock:
            session, self._session = getattr(self, "_session", None), None
            if session:
                _lib.efm8_close(session)

    def _call(self, call: Callable[[native.Report], int]) -> native.Report:
        report = native.sized(native.Report)
        with self._lock:
            if self._session is None:
                raise ValueError("the board is closed")
            if self._in_call:
                raise RuntimeError("a call on this board is under way (a progress callback may not use its board)")
            self._in_call = True
            try:
                result = call(report)
            finally:
                self._in_call = False
        if result != 0:
            raise _error(result, report, self.path + ": ")
        return report

    def identify(self) -> Part:
        """Names the board's part and its bootloader's version."""
        identity = native.sized(native.Identity)
        self._call(lambda report: _lib.efm8_identify(self._session, native.ctypes.byref(identity),
                                                     native.ctypes.byref(report)))
        version = identity.version if identity.version >= 0 else None
        if identity.part:
            return _part(identity.part.contents, version)
        family = _text(identity.family.contents.name) if identity.family else "unknown"
        return Part(family, family, 0, 0, identity.app_limit, identity.page_size, self.interface, version)

    def flash(self, image: Union[Image, bytes, bytearray], verify: bool = True, delta: bool = False,
              lock_pages: Optional[int] = None, progress: Optional[Progress] = None, *, run: bool = True,
              safe_order: bool = True, skip_blank: bool = True, write_size: int = 0) -> Result:
        """Erases and writes the pages the image spans, verifies them by CRC,
        and starts the application (run=False: the board stays in its
        bootloader). An Image is flashed as its file asks: a boot-record
        file's parts are checked first, its checks made and its lock
        programmed after the verify. lock_pages=n locks pages 0 to n-1
        against a debugger once the flash is verified, for good.
        progress(phase, done, total) is called with phase "compare", "write"
        or "verify" and done never decreasing; an exception it raises is
        raised once the flash is over."""
        options = native.sized(native.Options)
        _lib.efm8_init_options(native.ctypes.byref(options), native.ctypes.sizeof(options))
        options.verify, options.delta, options.run = int(verify), int(delta), int(run)
        options.safe_order, options.skip_blank, options.write_size = int(safe_order), int(skip_blank), write_size
        if lock_pages is not None:
            options.lock, options.lock_signature = 1, _LEAVE_AS_IS
            options.lock_byte = _lib.efm8_lock_byte_for(_pages(lock_pages))
        raised: list[BaseException] = []
        if progress is not None:
            def hook(_user: object, phase: int, done: int, total: int) -> None:
                if not raised:
                    try:
                        progress(_PHASES.get(phase, "write"), done, total)
                    except BaseException as error:  # raised once the library's call returns
                        raised.append(error)
            options.progress = native.PROGRESS(hook)
        if isinstance(image, Image):
            report = self._call(lambda report: _lib.efm8_flash_image(
                self._session, image._handle, native.ctypes.byref(options), native.ctypes.byref(report)))
        else:
            data = (native.c_uint8 * len(image)).from_buffer_copy(image)
            report = self._call(lambda report: _lib.efm8_flash(
                self._session, data, len(image), native.ctypes.byref(options), native.ctypes.byref(report)))
        if raised:
            raise raised[0]
        return _result(report)

    def verify(self, image: Union[Image, bytes, bytearray]) -> Result:
        """Compares the board's flash with the image by CRC, writing
        nothing; raises Mismatch naming the pages that differ."""
        if isinstance(image, Image):
            report = self._call(lambda report: _lib.efm8_verify_image(self._session, image._handle,
                                                                      native.ctypes.byref(report)))
        else:
            data = (native.c_uint8 * len(image)).from_buffer_copy(image)
            report = self._call(lambda report: _lib.efm8_verify(self._session, data, len(image),
                                                                native.ctypes.byref(report)))
        return _result(report)

    def lock(self, pages: int) -> Result:
        """Locks pages 0 to pages-1 against reading by a debugger, for good:
        flash bits only clear. The result holds the bytes read back."""
        lock_byte = _lib.efm8_lock_byte_for(_pages(pages))
        return _result(self._call(lambda report: _lib.efm8_lock(self._session, _LEAVE_AS_IS, lock_byte,
                                                                native.ctypes.byref(report))))

    def run(self) -> None:
        """Starts the application; the board leaves its bootloader."""
        self._call(lambda report: _lib.efm8_run(self._session, native.ctypes.byref(report)))


def _pages(pages: int) -> int:
    if not 0 <= pages <= 255:
        raise ValueError(f"pages to lock must be 0 to 255, not {pages}")
    return pages


def open(device: Optional[Union[str, Device]] = None, *, port: Optional[str] = None, baud: int = 115200,
         timeout: float = 2.0) -> Board:
    """Opens a board: the USB bootloader at device (a path from boards(), or
    None for the only one attached), or the board on a serial port, at a
    baud rate from 57600 to 460800, waiting up to timeout seconds for each
    reply. Raises NoBoard, Busy, NoPermission or UsageError."""
    session = native.c_void_p()
    if port is not None:
        if device is not None:
            raise ValueError("open() takes a device or a port, not both")
        settings = native.sized(native.PortSettings)
        _lib.efm8_init_port_settings(native.ctypes.byref(settings), native.ctypes.sizeof(settings))
        settings.baud, settings.timeout_ms = baud, max(1, round(timeout * 1000))
        where = port
        result = _lib.efm8_open_port(os.fsencode(port), native.ctypes.byref(settings), native.ctypes.byref(session))
    else:
        path = device.path if isinstance(device, Device) else device
        where = path or "USB"
        result = _lib.efm8_open(os.fsencode(path) if path else None, native.ctypes.byref(session))
    if result != 0:
        report = native.sized(native.Report)
        _lib.efm8_last_failure(native.ctypes.byref(report))
        report.result = result
        raise _error(result, report, where + ": ")
    return Board(session)
