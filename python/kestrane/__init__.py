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
from typing import Callable, List, TypeVar

from . import _native as native
from ._common import Device, Part, Phase, Port, Progress, Result, _lib, _part, _text
from .board import Board, open
from .errors import (BadImage, Busy, Cancelled, Error, LineBusy, Mismatch, NoBoard, NoBoardAtPath, NoLine,
                     NoPermission, NotAPort, OutOfMemory, Refused, SessionBusy, TransferFailed, Unreadable,
                     UsageError, WrongPart)
from .image import Image, load


__all__ = ["boards", "ports", "parts", "load", "open", "Board", "Image", "Part", "Result", "Device", "Port",
           "Phase", "Progress", "Error", "NoBoard", "NoBoardAtPath", "NotAPort", "Busy", "NoPermission",
           "TransferFailed", "Refused", "Mismatch", "WrongPart", "BadImage", "Unreadable", "UsageError", "NoLine",
           "LineBusy", "SessionBusy", "Cancelled", "OutOfMemory", "version"]


def version() -> str:
    """The version of the libkestrane loaded, e.g. "1.1.0"."""
    return _text(_lib.efm8_version_string())


__version__ = version()


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
