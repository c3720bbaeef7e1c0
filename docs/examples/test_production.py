"""A production test for one bench: each board is identified, flashed,
checked and started, and a line for it goes into a CSV file, passed or not.

    KESTRANE_PORT=/dev/ttyUSB0 KESTRANE_FIRMWARE=firmware.hex pytest test_production.py

KESTRANE_FAMILY names the family the bench makes (EFM8BB3 by default),
KESTRANE_RESULTS the CSV file (results.csv). For a board on USB, open it
with kestrane.open() instead, or kestrane.open(device=PATH) for one of several.
"""

import csv
import datetime
import os
from pathlib import Path

import pytest

import kestrane

PORT = os.environ.get("KESTRANE_PORT", "/dev/ttyUSB0")
FIRMWARE = os.environ.get("KESTRANE_FIRMWARE", "firmware.hex")
FAMILY = os.environ.get("KESTRANE_FAMILY", "EFM8BB3")
RESULTS = Path(os.environ.get("KESTRANE_RESULTS", "results.csv"))
COLUMNS = ["time", "port", "part", "image", "bytes", "result", "detail"]


@pytest.fixture(scope="module")
def image() -> kestrane.Image:
    return kestrane.load(FIRMWARE)


@pytest.fixture
def board():
    with kestrane.open(port=PORT) as board:
        yield board


def record(**row: object) -> None:
    new = not RESULTS.exists()
    with RESULTS.open("a", newline="") as results:
        writer = csv.DictWriter(results, COLUMNS)
        if new:
            writer.writeheader()
        writer.writerow({"time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
                         "port": PORT, "image": FIRMWARE, **row})


def test_board(board: kestrane.Board, image: kestrane.Image) -> None:
    part = None
    try:
        part = board.identify()
        assert part.family == FAMILY, f"a {part.name} on the bench that makes {FAMILY}"
        assert len(image) <= part.limit, f"the image does not fit the {part.name}"
        result = board.flash(image, run=False)
        board.verify(image)  # read back once more before the board leaves its bootloader
        board.run()
    except (kestrane.Error, AssertionError) as failure:
        record(part=part.name if part else "", bytes=0, result="fail", detail=str(failure))
        raise
    record(part=part.name, bytes=result.bytes_written, result="pass", detail="")
