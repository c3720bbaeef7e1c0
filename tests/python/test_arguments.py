"""Arguments the C structures cannot hold: numbers beyond their fields,
negative ones, NaN and infinities, a bool for a number, and paths or ports
with a NUL in them. ctypes would wrap the numbers and C would cut the text
at the NUL, so each would flash or open something other than what was
asked; each raises ValueError before anything is opened or sent, which the
simulator's log shows."""

import math
import random

import pytest

import kestrane
from kestrane import _native as native
from conftest import random_image

UINT32_LIMIT = 2 ** 32


def out_of_range(rng: random.Random, low: int, high: int) -> list:
    """Integers just outside [low, high], and far outside, on both sides."""
    far = [rng.randrange(high + 1, high + 2 ** 70), -rng.randrange(1, 2 ** 70) + min(low, 0)]
    return [low - 1, high + 1, UINT32_LIMIT + high, *far]


def test_numbers_that_would_wrap_are_refused_before_the_port_is_opened(uart_boards):
    boards = uart_boards(1)
    rng = random.Random(7)
    bad = ([("baud", UINT32_LIMIT + 115200), ("timeout", -1)] + [("baud", value) for value in out_of_range(rng, 0, UINT32_LIMIT - 1)]
           + [("baud", True), ("baud", False)]
           + [("timeout", value) for value in (-1, -0.5, 0, math.nan, math.inf, -math.inf, True, UINT32_LIMIT)])
    for name, value in bad:
        with pytest.raises(ValueError):
            kestrane.open(port=boards.ports[0], **{name: value})
    for wrong in ("115200", None, b"1", 115200.0):
        with pytest.raises(TypeError):
            kestrane.open(port=boards.ports[0], baud=wrong)
    for wrong in ("2", None):
        with pytest.raises(TypeError):
            kestrane.open(port=boards.ports[0], timeout=wrong)
    assert not boards.log.exists() or boards.log.read_text() == "", "something reached the board"


def test_a_path_or_port_with_a_nul_is_refused_rather_than_cut(uart_boards, tmp_path):
    boards = uart_boards(1)
    for port in (boards.ports[0] + "\0", boards.ports[0] + "\0/other", "\0"):
        with pytest.raises(ValueError):
            kestrane.open(port=port)
    with pytest.raises(ValueError):
        kestrane.open(device=boards.ports[0] + "\0")
    assert not boards.log.exists() or boards.log.read_text() == "", "the port was opened"
    image = tmp_path / "fw.bin"
    image.write_bytes(random_image(100, 1))
    for path in (f"{image}\0", f"{image}\0.hex", str(image).encode() + b"\0"):
        with pytest.raises(ValueError):
            kestrane.load(path)


def test_flash_options_that_would_wrap_are_refused_before_anything_is_sent(uart_boards):
    boards = uart_boards(1)
    rng = random.Random(8)
    data = random_image(1000, 2)
    bad = ([("write_size", UINT32_LIMIT + 32)] + [("write_size", value) for value in out_of_range(rng, 0, UINT32_LIMIT - 1)]
           + [("write_size", True)]
           + [("lock_pages", value) for value in out_of_range(rng, 0, 255)] + [("lock_pages", True)])
    with kestrane.open(port=boards.ports[0]) as board:
        boards.wait_for_log("1 trained")
        for name, value in bad:
            with pytest.raises(ValueError):
                board.flash(data, **{name: value})
        for name, wrong in (("write_size", 32.0), ("write_size", "32"), ("lock_pages", 3.0)):
            with pytest.raises(TypeError):
                board.flash(data, **{name: wrong})
        with pytest.raises(ValueError):
            board.lock(pages=True)
    records = [line for line in boards.log.read_text().splitlines() if " record " in line]
    assert records == [], "a refused flash sent something"
    assert set(boards.flash_of(1)[:len(data)]) == {0xFF}


def test_numbers_the_fields_hold_reach_the_library_as_given(uart_boards):
    boards = uart_boards(1)
    count = native.ctypes.c_size_t()
    table = native.lib.efm8_baud_rates(native.ctypes.byref(count))
    rates = [table[i] for i in range(count.value)]
    rng = random.Random(9)
    for _ in range(6):
        # A time below a millisecond is still a time: 1 ms, never 0.
        timeout = rng.choice([1e-9, 0.0004, rng.uniform(0.001, 5), rng.randrange(1, 100)])
        with kestrane.open(port=boards.ports[0], baud=rng.choice(rates), timeout=timeout) as board:
            if timeout >= 1:  # a reply is only sure to come in time with time to spare
                assert board.identify().name == "EFM8BB31F64G-QFN32"
    with pytest.raises(kestrane.UsageError):  # held by the field, refused by the library in its words
        kestrane.open(port=boards.ports[0], baud=9600)
