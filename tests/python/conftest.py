"""Simulated boards for the kestrane module's tests.

uart_sim (KESTRANE_UART_SIM) runs boards with UART bootloaders behind
pseudo-terminals in a process of its own; the USB stand-in
(KESTRANE_USB_STAND_IN, under umockdev-wrapper) emulates USB bootloaders
inside this process, below the real hidapi and libusb.
"""

import ctypes
import os
import random
import select
import signal
import subprocess
import time
from pathlib import Path
from typing import Iterator, List

import pytest

STARTUP = 30.0  # seconds: a bound, never reached when all is well


class UartBoards:
    """Boards of one uart_sim process: ports[i] is board i+1's port."""

    def __init__(self, folder: Path, count: int, *options: str):
        self.folder = folder
        self.flash_out = folder / "flash"
        self.log = folder / "log"
        self.process = subprocess.Popen(
            [os.environ["KESTRANE_UART_SIM"], "--links", str(folder), "--boards", str(count), "--flash-out",
             str(self.flash_out), "--log", str(self.log), *options], stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], STARTUP)
        if not ready or self.process.stdout.readline().strip() != "ready":
            self.process.kill()
            raise RuntimeError("uart_sim did not start")
        self.ports: List[str] = [str(folder / f"ttySIM{n}") for n in range(1, count + 1)]
        self.stopped = False

    def stop(self) -> None:
        """Ends the boards; their flash is in the files flash_of reads."""
        if not self.stopped:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(STARTUP)
            self.process.stdout.close()
            self.stopped = True

    def flash_of(self, board: int) -> bytes:
        self.stop()
        return (self.flash_out if board == 1 else Path(f"{self.flash_out}.{board}")).read_bytes()

    def state_of(self, board: int) -> str:
        self.stop()
        return (Path(f"{self.flash_out}.state" if board == 1 else f"{self.flash_out}.{board}.state")).read_text()

    def wait_for_log(self, line: str) -> None:
        """Polls the boards' log, within a bound, for a line."""
        deadline = time.monotonic() + STARTUP
        while time.monotonic() < deadline:
            if self.log.exists() and line in self.log.read_text().splitlines():
                return
            time.sleep(0.01)
        raise TimeoutError(f"uart_sim never logged {line!r}")


@pytest.fixture
def uart_boards(tmp_path: Path) -> Iterator:
    """uart_boards(count, *uart_sim options) starts boards; all stop at the end."""
    started: List[UartBoards] = []

    def start(count: int = 1, *options: str) -> UartBoards:
        folder = tmp_path / f"sim{len(started)}"
        folder.mkdir()
        started.append(UartBoards(folder, count, *options))
        return started[-1]

    yield start
    for boards in started:
        boards.stop()


def random_image(size: int, seed: int) -> bytes:
    """Bytes that start as an 8051 program does, never as a boot-record file."""
    rng = random.Random(seed)
    return b"\x02" + bytes(rng.getrandbits(8) for _ in range(size - 1))


def intel_hex(data: bytes) -> str:
    def record(address: int, kind: int, payload: bytes) -> str:
        body = bytes([len(payload), address >> 8, address & 0xFF, kind]) + payload
        return ":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF) + "\n"
    return "".join(record(a, 0, data[a:a + 16]) for a in range(0, len(data), 16)) + record(0, 1, b"")


class UsbStandIn:
    """The emulated USB bootloaders of this process."""

    def __init__(self) -> None:
        self.lib = ctypes.CDLL(os.environ["KESTRANE_USB_STAND_IN"])
        self.lib.usbsim_flash.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_long]
        self.lib.usbsim_flash.restype = ctypes.c_long
        if self.lib.usbsim_start() != 0:
            raise RuntimeError("the USB stand-in needs umockdev-wrapper")

    def attach(self, product_id: int = 0xEAC9) -> int:
        return self.lib.usbsim_attach(product_id)

    def flash_of(self, index: int) -> bytes:
        buffer = ctypes.create_string_buffer(0x10000)
        count = self.lib.usbsim_flash(index, buffer, len(buffer))
        return buffer.raw[:count]


@pytest.fixture(scope="session")
def usb() -> Iterator[UsbStandIn]:
    if "KESTRANE_USB_STAND_IN" not in os.environ:
        pytest.skip("the USB stand-in runs in the python_usb test, under umockdev-wrapper")
    stand_in = UsbStandIn()
    yield stand_in
    stand_in.lib.usbsim_stop()
