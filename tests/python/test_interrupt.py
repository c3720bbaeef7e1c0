"""Ctrl-C during Board.flash: a KeyboardInterrupt within one record, the
board left in its bootloader with byte 0 erased (so it never starts half an
image), and its port free again. Each case runs flash_interrupted.py in a
process of its own against a board that spends 5 ms on each transfer, so
that the flash is still writing when the signal comes."""

import signal
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import random_image

SCRIPT = Path(__file__).with_name("flash_interrupted.py")
SIZE = 16384
WRITE_SIZE = 128  # the UART transports' default
ERASED = 0xFF


def interrupted(boards, how: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(SCRIPT), how, boards.ports[0], str(boards.log), str(SIZE)],
                          capture_output=True, text=True, timeout=120)


def signalled_at(run: subprocess.CompletedProcess) -> int:
    lines = [line for line in run.stdout.splitlines() if line.startswith("signalled ")]
    assert len(lines) == 1, run.stdout + run.stderr
    return int(lines[0].split()[1])


def check_stopped_by_the_interrupt(boards, run: subprocess.CompletedProcess) -> bytes:
    """What every case shares: the interpreter ended as Ctrl-C ends it, the
    port was opened again before that, and the board stayed in its
    bootloader with byte 0 erased and the image's end never written."""
    assert run.returncode == -signal.SIGINT, (run.returncode, run.stdout, run.stderr)
    assert "Exception ignored" not in run.stderr, run.stderr
    assert run.stderr.rstrip().endswith("KeyboardInterrupt") and "Traceback" in run.stderr, run.stderr
    assert "reopened" in run.stdout.splitlines() and "flashed" not in run.stdout.splitlines(), run.stdout
    flash = boards.flash_of(1)
    assert "mode bootloader" in boards.state_of(1).splitlines()
    assert flash[0] == ERASED
    assert set(flash[SIZE - 1024:SIZE]) == {ERASED}, "the flash went on to the image's end"
    return flash


def test_ctrl_c_sent_from_the_progress_callback_stops_the_flash_at_once(uart_boards):
    boards = uart_boards(1, "--latency", "5000:0:0")
    run = interrupted(boards, "callback")
    flash = check_stopped_by_the_interrupt(boards, run)
    done = signalled_at(run)
    data = random_image(SIZE, SIZE)
    # Page 0's first chunk is held back to the very end, so done (the bytes
    # written) reaches the address done + WRITE_SIZE. Not one record after
    # the callback that was interrupted, and the held chunk never written.
    end = done + WRITE_SIZE
    assert flash[WRITE_SIZE:end] == data[WRITE_SIZE:end]
    assert set(flash[end:SIZE]) == {ERASED}
    assert set(flash[:WRITE_SIZE]) == {ERASED}


def test_ctrl_c_while_the_library_waits_for_a_reply_stops_within_one_record(uart_boards):
    boards = uart_boards(1, "--latency", "5000:0:0")
    run = interrupted(boards, "thread")
    flash = check_stopped_by_the_interrupt(boards, run)
    done = signalled_at(run)
    # The record under way when the signal came may finish; none after it
    # (done reaches the address done + WRITE_SIZE, as above).
    assert set(flash[done + 2 * WRITE_SIZE:SIZE]) == {ERASED}


def test_ctrl_c_without_a_progress_callback_stops_the_flash_too(uart_boards):
    boards = uart_boards(1, "--latency", "5000:0:0")
    run = interrupted(boards, "no-callback")
    check_stopped_by_the_interrupt(boards, run)
