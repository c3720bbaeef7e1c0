"""The production test of docs/examples, run by pytest as a bench would run
it, against a simulated board: a pass, then a board of another family."""

import csv
import os
import subprocess
import sys
from pathlib import Path

from conftest import intel_hex, random_image

EXAMPLE = Path(__file__).resolve().parents[2] / "docs" / "examples" / "test_production.py"


def run_example(port: str, firmware: Path, results: Path, family: str = "EFM8BB3") -> int:
    environment = dict(os.environ, KESTRANE_PORT=port, KESTRANE_FIRMWARE=str(firmware),
                       KESTRANE_RESULTS=str(results), KESTRANE_FAMILY=family)
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(EXAMPLE)],
                          env=environment, capture_output=True, text=True).returncode


def test_the_example_flashes_checks_and_writes_a_result(uart_boards, tmp_path):
    boards = uart_boards(2)  # the first leaves its bootloader once it passed
    data = random_image(6000, 30)
    firmware = tmp_path / "firmware.hex"
    firmware.write_text(intel_hex(data))
    results = tmp_path / "results.csv"
    assert run_example(boards.ports[0], firmware, results) == 0
    assert run_example(boards.ports[1], firmware, results, family="EFM8LB1") == 1
    rows = list(csv.DictReader(results.open()))
    assert [(row["part"], row["result"]) for row in rows] == [("EFM8BB31F64G-QFN32", "pass"),
                                                              ("EFM8BB31F64G-QFN32", "fail")]
    assert int(rows[0]["bytes"]) >= len(data) and "EFM8LB1" in rows[1]["detail"]
    assert boards.flash_of(1)[:len(data)] == data
    assert "mode application" in boards.state_of(1) and "mode bootloader" in boards.state_of(2)
