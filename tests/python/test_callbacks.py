"""A progress callback that uses its own board: closing it or any other
call on it raises SessionBusy there (the board is in the flash that called
back), never frees the session under the flash. Left uncaught, the
exception stops the flash safely (the board stays in its bootloader with
byte 0 erased) and is raised by flash; caught, the flash goes on."""

import pytest

import kestrane
from conftest import random_image

ERASED = 0xFF


def test_closing_the_board_from_its_progress_callback_raises_session_busy(uart_boards):
    boards = uart_boards(1)
    data = random_image(6000, 40)
    with kestrane.open(port=boards.ports[0]) as board:
        def closes(phase: str, done: int, total: int) -> None:
            if phase == "write" and done >= 2048:
                board.close()
        with pytest.raises(kestrane.SessionBusy) as raised:
            board.flash(data, progress=closes)
        assert isinstance(raised.value, kestrane.Error) and raised.value.name == "session-busy"
        # Still open, and stopped where the callback raised: nothing of the
        # image's end written, page 0 erased.
        board.identify()
        with pytest.raises(kestrane.Mismatch):
            board.verify(data)
    with pytest.raises(ValueError):  # closed by the with block, once
        board.identify()
    with kestrane.open(port=boards.ports[0]):  # the port was let go
        pass
    flash = boards.flash_of(1)
    assert flash[0] == ERASED and set(flash[4096:len(data)]) == {ERASED}
    assert "mode bootloader" in boards.state_of(1).splitlines()


def test_every_call_on_its_own_board_from_a_callback_raises_session_busy_and_the_flash_goes_on(uart_boards):
    boards = uart_boards(1)
    data = random_image(5000, 41)
    refused = []
    with kestrane.open(port=boards.ports[0]) as board:
        calls = [board.close, board.identify, board.run, lambda: board.verify(data), lambda: board.lock(pages=1),
                 lambda: board.flash(data)]

        def uses_its_board(phase: str, done: int, total: int) -> None:
            if calls:
                call = calls.pop()
                with pytest.raises(kestrane.SessionBusy) as raised:
                    call()
                refused.append(raised.value)
        result = board.flash(data, progress=uses_its_board, run=False)
        assert len(refused) == 6 and result.bytes_written >= len(data)
        assert board.verify(data).commands > 0 and board.identify().name == "EFM8BB31F64G-QFN32"
    assert all(error.code == -20 and "under way" in str(error) for error in refused)
    assert "lock FF" in boards.state_of(1).splitlines()  # the lock from the callback never reached the chip
