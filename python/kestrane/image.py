"""Firmware files loaded into images, as the library reads them."""

import ctypes
import os
from typing import Optional, Tuple

from . import _native as native
from ._common import _FORMATS, _MESSAGE_SIZE, Buffer, _c_text, _content, _lib, _PathArg, _text
from .errors import kind_of


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
