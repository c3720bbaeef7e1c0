"""libkestrane.so.1 through ctypes: its structures and calls.

ctypes releases the GIL for the length of every call into the library, so
boards driven from several threads flash at once; a progress callback takes
the GIL back for as long as it runs.

The library is found as the dynamic loader finds it (libkestrane.so.1), or
at the path in KESTRANE_LIBRARY, as the tests of a build tree set it.

Each structure mirrors its C declaration field for field (the tests hold
their sizes and offsets against the C compiler's). The annotations in the
class bodies are for type checkers only: ctypes reads _fields_.
"""

from __future__ import annotations

import ctypes
import os
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_int, c_int32, c_size_t, c_uint8,
                    c_uint16, c_uint32, c_void_p)
from typing import Any, Dict, List, Tuple, Type, TypeVar

PATH_MAX = 256
MAX_PAGES = 128
LINE_TEXT_MAX = 160
STEPS_MAX = 32
ENTER_COMMAND_MAX = 64
UINT32_MAX = 2 ** 32 - 1

# Result codes the module itself looks at.
OK = 0
ERR_SESSION_BUSY = -20
ERR_CANCELLED = -21

# enum efm8_line_kind
LINE_NONE = 0


class Family(Structure):
    name: bytes | None
    device_id: int
    page_size: int
    interface: int
    product_id: int
    derivatives_documented: int
    _fields_ = [("name", c_char_p), ("device_id", c_uint8), ("page_size", c_uint16), ("interface", c_int),
                ("product_id", c_uint16), ("derivatives_documented", c_int)]


class PartEntry(Structure):
    name: bytes | None
    family: ctypes._Pointer[Family]
    id: int
    flash_size: int
    app_limit: int
    limit_inferred: int
    lock_byte: int
    interface: int
    _fields_ = [("name", c_char_p), ("family", POINTER(Family)), ("id", c_uint16), ("flash_size", c_uint32),
                ("app_limit", c_uint32), ("limit_inferred", c_int), ("lock_byte", c_uint32), ("interface", c_int)]


class Device(Structure):
    path: bytes
    interface: int
    vendor_id: int
    product_id: int
    family: bytes | None
    _fields_ = [("path", c_char * PATH_MAX), ("interface", c_int), ("vendor_id", c_uint16),
                ("product_id", c_uint16), ("family", c_char_p)]


class Port(Structure):
    path: bytes
    vendor_id: int
    product_id: int
    manufacturer: bytes
    product: bytes
    serial: bytes
    _fields_ = [("path", c_char * PATH_MAX), ("vendor_id", c_uint16), ("product_id", c_uint16),
                ("manufacturer", c_char * 64), ("product", c_char * 64), ("serial", c_char * 64)]


class PortSettings(Structure):
    size: int
    baud: int
    timeout_ms: int
    _fields_ = [("size", c_uint32), ("baud", c_uint32), ("timeout_ms", c_uint32)]


class Check(Structure):
    start: int
    end: int
    crc: int
    _fields_ = [("start", c_uint16), ("end", c_uint16), ("crc", c_uint16)]


PROGRESS = CFUNCTYPE(None, c_void_p, c_int, c_uint32, c_uint32)
PROGRESS_CANCEL = CFUNCTYPE(c_int, c_void_p, c_int, c_uint32, c_uint32)
IDENTIFIED = CFUNCTYPE(None, c_void_p, POINTER(PartEntry), POINTER(Family))


class Options(Structure):
    size: int
    verify: int
    delta: int
    safe_order: int
    skip_blank: int
    run: int
    write_size: int
    progress: Any
    progress_user: int | None
    checks: ctypes._Pointer[Check]
    check_count: int
    identified: Any
    identified_user: int | None
    lock: int
    lock_signature: int
    lock_byte: int
    progress_cancel: Any
    allow_disable_bootloader: int
    _fields_ = [("size", c_uint32), ("verify", c_int), ("delta", c_int), ("safe_order", c_int),
                ("skip_blank", c_int), ("run", c_int), ("write_size", c_uint32), ("progress", PROGRESS),
                ("progress_user", c_void_p), ("checks", POINTER(Check)), ("check_count", c_size_t),
                ("identified", IDENTIFIED), ("identified_user", c_void_p), ("lock", c_int),
                ("lock_signature", c_uint8), ("lock_byte", c_uint8),
                # since 1.1
                ("progress_cancel", PROGRESS_CANCEL), ("allow_disable_bootloader", c_int)]


class Report(Structure):
    size: int
    result: int
    interface: int
    command: int
    address: int
    reply: int
    os_error: int
    transport_error: bytes
    part: ctypes._Pointer[PartEntry]
    family: ctypes._Pointer[Family]
    limit: int
    commands: int
    bytes_written: int
    page_size: int
    pages_skipped: int
    pages_differ: int
    differ: ctypes.Array[c_uint8]
    locked: int
    lock_value: int
    signature_value: int
    _fields_ = [("size", c_uint32), ("result", c_int32), ("interface", c_int), ("command", c_uint8),
                ("address", c_uint32), ("reply", c_int32), ("os_error", c_int32),
                ("transport_error", c_char * 128), ("part", POINTER(PartEntry)), ("family", POINTER(Family)),
                ("limit", c_uint32), ("commands", c_uint32), ("bytes_written", c_uint32), ("page_size", c_uint32),
                ("pages_skipped", c_uint32), ("pages_differ", c_uint32), ("differ", c_uint8 * (MAX_PAGES // 8)),
                ("locked", c_int), ("lock_value", c_int32), ("signature_value", c_int32)]


class Identity(Structure):
    size: int
    part: ctypes._Pointer[PartEntry]
    family: ctypes._Pointer[Family]
    page_size: int
    app_limit: int
    version: int
    _fields_ = [("size", c_uint32), ("part", POINTER(PartEntry)), ("family", POINTER(Family)),
                ("page_size", c_uint32), ("app_limit", c_uint32), ("version", c_int32)]


class Line(Structure):
    kind: int
    chip: bytes
    offset: int
    active_high: int
    _fields_ = [("kind", c_int), ("chip", c_char * LINE_TEXT_MAX), ("offset", c_uint32), ("active_high", c_int)]


class Step(Structure):
    kind: int
    value: int
    _fields_ = [("kind", c_int), ("value", c_uint32)]


class Entry(Structure):
    size: int
    reset: Line
    boot: Line
    steps: ctypes.Array[Step]
    step_count: int
    command: ctypes.Array[c_uint8]
    command_length: int
    command_baud: int
    command_wait_ms: int
    reset_after: int
    _fields_ = [("size", c_uint32), ("reset", Line), ("boot", Line), ("steps", Step * STEPS_MAX),
                ("step_count", c_size_t), ("command", c_uint8 * ENTER_COMMAND_MAX), ("command_length", c_size_t),
                ("command_baud", c_uint32), ("command_wait_ms", c_uint32), ("reset_after", c_int)]


#: Every structure of the library's headers, by its C name.
STRUCTURES: Dict[str, Type[Structure]] = {
    "efm8_family": Family, "efm8_part": PartEntry, "efm8_device": Device, "efm8_port": Port,
    "efm8_port_settings": PortSettings, "efm8_check": Check, "efm8_options": Options, "efm8_report": Report,
    "efm8_identity": Identity, "efm8_line": Line, "efm8_step": Step, "efm8_entry": Entry,
}

_Sized = TypeVar("_Sized", Options, PortSettings, Report, Identity, Entry)


def sized(structure: Type[_Sized]) -> _Sized:
    """A structure of the kind the library takes, its size field set."""
    made = structure()
    made.size = ctypes.sizeof(structure)
    return made


def _load() -> ctypes.CDLL:
    path = os.environ.get("KESTRANE_LIBRARY") or "libkestrane.so.1"
    try:
        return ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(f"kestrane needs libkestrane.so.1 (Debian package libkestrane1): {error}") from None


lib = _load()

_SESSION = c_void_p
_IMAGE = c_void_p
_PROTOTYPES: Dict[str, Tuple[Any, List[Any]]] = {
    "efm8_version": (c_uint32, []),
    "efm8_version_string": (c_char_p, []),
    "efm8_result_name": (c_char_p, [c_int32]),
    "efm8_strerror": (c_char_p, [c_int32]),
    "efm8_command_name": (c_char_p, [c_uint8]),
    "efm8_list": (c_int32, [POINTER(Device), c_int32]),
    "efm8_list_ports": (c_int32, [POINTER(Port), c_int32]),
    "efm8_open": (c_int32, [c_char_p, POINTER(_SESSION)]),
    "efm8_open_port": (c_int32, [c_char_p, POINTER(PortSettings), POINTER(_SESSION)]),
    "efm8_close": (None, [_SESSION]),
    "efm8_session_device": (POINTER(Device), [_SESSION]),
    "efm8_init_options": (None, [POINTER(Options), c_size_t]),
    "efm8_init_port_settings": (None, [POINTER(PortSettings), c_size_t]),
    "efm8_baud_rates": (POINTER(c_uint32), [POINTER(c_size_t)]),
    "efm8_flash": (c_int32, [_SESSION, POINTER(c_uint8), c_uint32, POINTER(Options), POINTER(Report)]),
    "efm8_verify": (c_int32, [_SESSION, POINTER(c_uint8), c_uint32, POINTER(Report)]),
    "efm8_run": (c_int32, [_SESSION, POINTER(Report)]),
    "efm8_ping": (c_int32, [_SESSION, POINTER(Report)]),
    "efm8_identify": (c_int32, [_SESSION, POINTER(Identity), POINTER(Report)]),
    "efm8_lock": (c_int32, [_SESSION, c_uint8, c_uint8, POINTER(Report)]),
    "efm8_lock_byte_for": (c_uint8, [c_uint32]),
    "efm8_describe": (c_int32, [POINTER(Report), c_char_p, c_size_t]),
    "efm8_last_failure": (c_int32, [POINTER(Report)]),
    "efm8_parts": (POINTER(PartEntry), [POINTER(c_size_t)]),
    "efm8_families": (POINTER(Family), [POINTER(c_size_t)]),
    "efm8_image_load": (c_int32, [c_char_p, POINTER(_IMAGE), c_char_p, c_size_t]),
    "efm8_image_parse": (c_int32, [POINTER(c_uint8), c_size_t, c_char_p, POINTER(_IMAGE), c_char_p, c_size_t]),
    "efm8_image_free": (None, [_IMAGE]),
    "efm8_image_format": (c_int, [_IMAGE]),
    "efm8_image_bytes": (POINTER(c_uint8), [_IMAGE, POINTER(c_uint32)]),
    "efm8_image_ids": (POINTER(c_uint16), [_IMAGE, POINTER(c_size_t)]),
    "efm8_image_checks": (POINTER(Check), [_IMAGE, POINTER(c_size_t)]),
    "efm8_image_lock": (c_int, [_IMAGE, POINTER(c_uint8), POINTER(c_uint8)]),
    "efm8_image_runs": (c_int, [_IMAGE]),
    "efm8_flash_image": (c_int32, [_SESSION, _IMAGE, POINTER(Options), POINTER(Report)]),
    "efm8_verify_image": (c_int32, [_SESSION, _IMAGE, POINTER(Report)]),
    "efm8_parse_line": (c_int32, [c_char_p, POINTER(Line), c_char_p, c_size_t]),
    "efm8_line_text": (None, [POINTER(Line), c_char_p, c_size_t]),
    "efm8_same_line": (c_int, [POINTER(Line), POINTER(Line)]),
    "efm8_init_entry": (None, [POINTER(Entry), c_size_t]),
    "efm8_parse_entry_sequence": (c_int32, [c_char_p, POINTER(Entry), c_char_p, c_size_t]),
    "efm8_open_port_entry": (c_int32, [c_char_p, POINTER(PortSettings), POINTER(Entry), POINTER(_SESSION),
                                       POINTER(Report)]),
}
for _name, (_returns, _takes) in _PROTOTYPES.items():
    _call = getattr(lib, _name)
    _call.restype = _returns
    _call.argtypes = _takes

