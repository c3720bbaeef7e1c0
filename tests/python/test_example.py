"""The production test of docs/examples, run by pytest as a bench would run
it, against a simulated board: a pass, then a board of another family."""

import csv
import os
import subprocess
import sys
from pathlib import Path

from conftest import intel_hex, random_image

TOP = Path(__file__).resolve().parents[2]
EXAMPLE = TOP / "docs" / "examples" / "test_production.py"


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


def test_the_readmes_example_flashes_a_board(uart_boards, tmp_path):
    readme = (TOP / "README.md").read_text()
    section = readme[readme.index("## Using Kestrane from C and Python"):]
    code = section[section.index("```python\n") + len("```python\n"):]
    (tmp_path / "example.py").write_text(code[:code.index("```")])
    boards = uart_boards(1)
    data = random_image(5000, 31)
    (tmp_path / "fw.hex").write_text(intel_hex(data))
    run = subprocess.run([sys.executable, str(tmp_path / "example.py"), boards.ports[0], str(tmp_path / "fw.hex")],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "EFM8BB31F64G-QFN32: 65536 bytes of flash" in run.stdout and "verify 5000 5000" in run.stdout
    assert boards.flash_of(1)[:len(data)] == data
    missing = subprocess.run([sys.executable, str(tmp_path / "example.py"), str(tmp_path / "ttyNONE"),
                              str(tmp_path / "fw.hex")], capture_output=True, text=True)
    assert missing.returncode == 1 and missing.stderr.startswith("no-device: ")
