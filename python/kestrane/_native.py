"""libkestrane.so.1 through ctypes: its structures and calls.

ctypes releases the GIL for the length of every call into the library, so
boards driven from several threads flash at once; a progress callback takes
the GIL back for as long as it runs.

The library is found as the dynamic loader finds it (libkestrane.so.1), or
at the path in KESTRANE_LIBRARY, as the tests of a build tree set it.
"""

import ctypes
import os
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_int, c_int32, c_size_t, c_uint8,
                    c_uint16, c_uint32, c_void_p)

PATH_MAX = 256
MAX_PAGES = 128


class Family(Structure):
    _fields_ = [("name", c_char_p), ("device_id", c_uint8), ("page_size", c_uint16), ("interface", c_int),
                ("product_id", c_uint16), ("derivatives_documented", c_int)]


class PartEntry(Structure):
    _fields_ = [("name", c_char_p), ("family", POINTER(Family)), ("id", c_uint16), ("flash_size", c_uint32),
                ("app_limit", c_uint32), ("limit_inferred", c_int), ("lock_byte", c_uint32), ("interface", c_int)]


class Device(Structure):
    _fields_ = [("path", c_char * PATH_MAX), ("interface", c_int), ("vendor_id", c_uint16),
                ("product_id", c_uint16), ("family", c_char_p)]


class Port(Structure):
    _fields_ = [("path", c_char * PATH_MAX), ("vendor_id", c_uint16), ("product_id", c_uint16),
                ("manufacturer", c_char * 64), ("product", c_char * 64), ("serial", c_char * 64)]


class PortSettings(Structure):
    _fields_ = [("size", c_uint32), ("baud", c_uint32), ("timeout_ms", c_uint32)]


class Check(Structure):
    _fields_ = [("start", c_uint16), ("end", c_uint16), ("crc", c_uint16)]


PROGRESS = CFUNCTYPE(None, c_void_p, c_int, c_uint32, c_uint32)
IDENTIFIED = CFUNCTYPE(None, c_void_p, POINTER(PartEntry), POINTER(Family))


class Options(Structure):
    _fields_ = [("size", c_uint32), ("verify", c_int), ("delta", c_int), ("safe_order", c_int),
                ("skip_blank", c_int), ("run", c_int), ("write_size", c_uint32), ("progress", PROGRESS),
                ("progress_user", c_void_p), ("checks", POINTER(Check)), ("check_count", c_size_t),
                ("identified", IDENTIFIED), ("identified_user", c_void_p), ("lock", c_int), ("lock_signature", c_uint8), ("lock_byte", c_uint8)]


class Report(Structure):
    _fields_ = [("size", c_uint32), ("result", c_int32), ("interface", c_int), ("command", c_uint8),
                ("address", c_uint32), ("reply", c_int32), ("os_error", c_int32),
                ("transport_error", c_char * 128), ("part", POINTER(PartEntry)), ("family", POINTER(Family)),
                ("limit", c_uint32), ("commands", c_uint32), ("bytes_written", c_uint32), ("page_size", c_uint32),
                ("pages_skipped", c_uint32), ("pages_differ", c_uint32), ("differ", c_uint8 * (MAX_PAGES // 8)),
                ("locked", c_int), ("lock_value", c_int32), ("signature_value", c_int32)]


class Identity(Structure):
    _fields_ = [("size", c_uint32), ("part", POINTER(PartEntry)), ("family", POINTER(Family)),
                ("page_size", c_uint32), ("app_limit", c_uint32), ("version", c_int32)]


def sized(structure: type) -> Structure:
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
_PROTOTYPES = {
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
    "efm8_flash": (c_int32, [_SESSION, POINTER(c_uint8), c_uint32, POINTER(Options), POINTER(Report)]),
    "efm8_verify": (c_int32, [_SESSION, POINTER(c_uint8), c_uint32, POINTER(Report)]),
    "efm8_run": (c_int32, [_SESSION, POINTER(Report)]),
    "efm8_identify": (c_int32, [_SESSION, POINTER(Identity), POINTER(Report)]),
    "efm8_lock": (c_int32, [_SESSION, c_uint8, c_uint8, POINTER(Report)]),
    "efm8_lock_byte_for": (c_uint8, [c_uint32]),
    "efm8_describe": (c_int32, [POINTER(Report), c_char_p, c_size_t]),
    "efm8_last_failure": (c_int32, [POINTER(Report)]),
    "efm8_parts": (POINTER(PartEntry), [POINTER(c_size_t)]),
    "efm8_image_load": (c_int32, [c_char_p, POINTER(_IMAGE), c_char_p, c_size_t]),
    "efm8_image_free": (None, [_IMAGE]),
    "efm8_image_format": (c_int, [_IMAGE]),
    "efm8_image_bytes": (POINTER(c_uint8), [_IMAGE, POINTER(c_uint32)]),
    "efm8_image_ids": (POINTER(c_uint16), [_IMAGE, POINTER(c_size_t)]),
    "efm8_image_checks": (POINTER(Check), [_IMAGE, POINTER(c_size_t)]),
    "efm8_image_lock": (c_int, [_IMAGE, POINTER(c_uint8), POINTER(c_uint8)]),
    "efm8_image_runs": (c_int, [_IMAGE]),
    "efm8_flash_image": (c_int32, [_SESSION, _IMAGE, POINTER(Options), POINTER(Report)]),
    "efm8_verify_image": (c_int32, [_SESSION, _IMAGE, POINTER(Report)]),
}
for _name, (_returns, _takes) in _PROTOTYPES.items():
    _call = getattr(lib, _name)
    _call.restype = _returns
    _call.argtypes = _takes
