"""Hands-free entry from Python: boards whose application is running (flash
byte 0 programmed, powered on) brought into their bootloader by open()
before the flash, through RTS and DTR, GPIO lines, or the application's own
enter command; the lines released and the application started after.

A pseudo-terminal has no modem lines and this machine no GPIO chip, so the
RTS/DTR cases run in a process with the stand-in modem_seam preloaded and
the GPIO case in one whose libgpiod is the stand-in; both report each
change of a line to uart_sim over its wires socket, which logs it with a
stamp ("1 pin reset low STAMP"). Holds are read from those stamps, never
timed here."""

import os
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Tuple

import pytest

import kestrane
from conftest import random_image

APPLICATION = bytes([0x02, 0x00, 0x10, 0x75, 0x81, 0x20])  # byte 0 programmed: the chip starts it

FLASH_HANDS_FREE = """
import sys
import kestrane
from conftest import random_image

port, size, entry = sys.argv[1], int(sys.argv[2]), eval(sys.argv[3])
try:
    with kestrane.open(port=port, timeout=0.3) as board:  # no entry: the application does not answer
        board.identify()
    print("answered without entry")
except kestrane.TransferFailed:
    pass
for line in ("gpio:gpiochip9:17", "gpio:gpiochip0:99"):
    try:
        kestrane.open(port=port, reset=line)
    except kestrane.NoLine as error:
        print("no line:", error)
with kestrane.open(port=port, after_reset=True, **entry) as board:
    print("part:", board.identify().name)
    board.flash(random_image(size, size), run=False)
"""


def pins(log: Path) -> List[Tuple[str, str, int]]:
    """The pins' changes uart_sim logged: (pin, level, stamp in ns)."""
    return [(words[2], words[3], int(words[4])) for words in (line.split() for line in log.read_text().splitlines())
            if len(words) == 5 and words[1] == "pin"]


def holds_ms(changes: List[Tuple[str, str, int]]) -> Tuple[float, float]:
    """The last entry's holds, from the last run of boot asserted, reset
    asserted, reset released, boot released: reset asserted to released,
    and reset released to boot released."""
    entry = [("entry", "low"), ("reset", "low"), ("reset", "high"), ("entry", "high")]
    runs = [changes[at:at + 4] for at in range(len(changes) - 3)
            if [(pin, level) for pin, level, _ in changes[at:at + 4]] == entry]
    assert runs, f"no entry sequence among the lines' changes: {changes}"
    _, reset_low, reset_high, boot_high = (stamp for _, _, stamp in runs[-1])
    return (reset_high - reset_low) / 1e6, (boot_high - reset_high) / 1e6


def flash_hands_free(boards, environment: Dict[str, str], size: int, **entry: str) -> subprocess.CompletedProcess:
    run = subprocess.run([sys.executable, "-c", FLASH_HANDS_FREE, boards.ports[0], str(size), repr(entry)],
                         env=dict(os.environ, **environment), capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "answered without entry" not in run.stdout and "part: EFM8BB31F64G-QFN32" in run.stdout
    return run


def started_with(boards, size: int) -> None:
    """The board holds the image and runs it, as the pulse at close made it."""
    assert boards.flash_of(1)[:size] == random_image(size, size)
    assert "mode application" in boards.state_of(1).splitlines()


@pytest.fixture
def wired(uart_boards, tmp_path):
    """wired(reset, boot, environment): a programmed board, running, its
    pins on those lines."""
    (tmp_path / "app.bin").write_bytes(APPLICATION)
    wires = tmp_path / "wires"

    def start(reset: str, boot: str, environment: Dict[str, str]):
        boards = uart_boards(1, "--power-on", "--flash-in", str(tmp_path / "app.bin"), "--wires", str(wires),
                             "--reset-line", reset, "--boot-line", boot)
        return boards, dict(environment, KESTRANE_SIM_WIRES=str(wires))
    return start


def test_a_running_board_is_flashed_hands_free_over_rts_and_dtr(wired):
    preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), os.environ["KESTRANE_MODEM_SEAM"]]))
    boards, environment = wired("rts", "dtr", {"LD_PRELOAD": preload})
    flash_hands_free(boards, environment, 5000, reset="rts", boot="dtr")
    changes = pins(boards.log)
    reset_held, boot_held = holds_ms(changes)
    assert reset_held >= 10 and boot_held >= 50, (reset_held, boot_held)  # the default sequence's holds
    # After the flash: boot released, then a reset pulse, which starts the application.
    assert [(pin, level) for pin, level, _ in changes[-3:]] == [("entry", "high"), ("reset", "low"),
                                                                ("reset", "high")]
    started_with(boards, 5000)


def test_a_running_board_is_flashed_hands_free_over_gpio_with_a_sequence_of_its_own(wired, tmp_path):
    (tmp_path / "gpio").mkdir()
    (tmp_path / "gpio" / "gpiochip0").write_text("32\n")
    boards, environment = wired("gpio:gpiochip0:17", "gpio:gpiochip0:18",
                                {"LD_LIBRARY_PATH": os.environ["KESTRANE_GPIOD_DIR"],
                                 "KESTRANE_SIM_GPIO": str(tmp_path / "gpio")})
    run = flash_hands_free(boards, environment, 6000, reset="gpio:gpiochip0:17",
                           boot=f"gpio:{tmp_path}/gpio/gpiochip0:18",
                           entry_sequence="boot=1,reset=1,wait=30ms,reset=0,wait=80ms,boot=0")
    assert "gpio:gpiochip9:17: no GPIO chip gpiochip9" in run.stdout
    assert "gpiochip0 has no line 99 (it has 32)" in run.stdout
    reset_held, boot_held = holds_ms(pins(boards.log))
    assert reset_held >= 30 and boot_held >= 80, (reset_held, boot_held)
    started_with(boards, 6000)


def test_a_running_board_is_flashed_after_its_application_is_sent_its_enter_command(uart_boards, tmp_path):
    (tmp_path / "app.bin").write_bytes(APPLICATION)
    boards = uart_boards(1, "--power-on", "--flash-in", str(tmp_path / "app.bin"), "--enter-command", "55AA01")
    with pytest.raises(kestrane.TransferFailed):  # the application ignores anything else
        with kestrane.open(port=boards.ports[0], timeout=0.3, enter_command=b"\x55\xaa\x02", enter_wait=0.01) as board:
            board.identify()
    data = random_image(4000, 4000)
    with kestrane.open(port=boards.ports[0], enter_command=bytes.fromhex("55aa01"), enter_baud=115200) as board:
        board.flash(data)
    assert boards.flash_of(1)[:len(data)] == data
    assert "mode application" in boards.state_of(1).splitlines()


def test_an_entry_that_cannot_be_used_is_refused_before_the_port_is_opened(uart_boards):
    boards = uart_boards(1)
    port = boards.ports[0]
    refused_by_the_library = [
        (dict(reset="cts"), "reset: "), (dict(reset="gpio:gpiochip0"), "reset: "),
        (dict(reset="gpio:gpiochip0:x"), "reset: "),
        (dict(reset="rts", entry_sequence="reset=2"), "step 1, 'reset=2'"),
        (dict(reset="rts", entry_sequence="reset=1,wait=10"), "step 2, 'wait=10'"),
        (dict(reset="rts", entry_sequence="boot=1,reset=1"), "no boot line"),
        (dict(reset="rts", entry_sequence="wait=61s"), "step 1, 'wait=61s'"),
    ]
    for entry, words in refused_by_the_library:
        with pytest.raises(kestrane.UsageError) as raised:
            kestrane.open(port=port, **entry)
        assert words in str(raised.value), (entry, str(raised.value))
    refused_here = [dict(boot="dtr"), dict(after_reset=True), dict(entry_sequence="reset=1,reset=0"),
                    dict(reset="rts", boot="rts"), dict(reset="rts", boot="rts:active-high"),
                    dict(reset="gpio:gpiochip0:17", boot="gpio:/dev/gpiochip0:17"),
                    dict(enter_baud=57600), dict(enter_wait=0.5),
                    dict(enter_command=b""), dict(enter_command=bytes(65)), dict(reset="rts\0dtr"),
                    dict(enter_command=b"\x55", enter_wait=-1), dict(enter_command=b"\x55", enter_baud=2 ** 32)]
    for entry in refused_here:
        with pytest.raises(ValueError):
            kestrane.open(port=port, **entry)
    with pytest.raises(ValueError):  # USB has its own way in
        kestrane.open("/dev/bus/usb/001/002", reset="rts")
    assert not boards.log.exists() or boards.log.read_text() == "", "the port was opened"
