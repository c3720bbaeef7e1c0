"""A board in its bootloader: opened, identified, flashed, verified, locked
and started, one call at a time."""

import ctypes
import os
import threading
from typing import Any, Callable, Optional, Tuple, Union

from . import _native as native
from ._common import (_INTERFACES, _LEAVE_AS_IS, _MESSAGE_SIZE, _PHASES, _TIMEOUT_MAX_MS, Buffer, Device, Part, Phase,
                      Progress, Result, _c_text, _content, _error, _flag, _integer, _lib, _milliseconds, _part, _PathArg,
                      _result, _text)
from ._interrupt import Watch, interrupts_to
from .errors import SessionBusy, kind_of
from .image import Image


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
    # One line however it is written: "gpiochip0" or "/dev/gpiochip0",
    # active high or not.
    if reset is not None and boot is not None and _lib.efm8_same_line(ctypes.byref(entry.reset),
                                                                      ctypes.byref(entry.boot)):
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
