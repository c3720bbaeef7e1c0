"""The kestrane module against boards with UART bootloaders behind
pseudo-terminals: a flash and what it leaves, a mismatch, every kind of
failure, progress, boards from several threads at once with the GIL let go,
and a callback that raises."""

import os
import subprocess
import threading
from pathlib import Path

import pytest

import kestrane
from conftest import intel_hex, random_image

BB3 = "EFM8BB31F64G-QFN32"


def image_file(folder: Path, data: bytes, name: str = "fw.hex") -> Path:
    path = folder / name
    path.write_text(intel_hex(data))
    return path


def test_a_flash_leaves_the_image_verified_and_started(uart_boards, tmp_path):
    boards = uart_boards(1)
    data = random_image(9000, 1)
    image = kestrane.load(image_file(tmp_path, data))
    assert (image.format, image.data, image.ids, image.lock, image.runs) == ("intel-hex", data, (), None, True)
    seen = []
    with kestrane.open(port=boards.ports[0], baud=230400) as board:
        part = board.identify()
        assert (part.name, part.family, part.interface) == (BB3, "EFM8BB3", "uart")
        assert (part.flash_size, part.page_size) == (65536, 512)
        assert 0 < part.limit <= part.flash_size and part.bootloader_version is not None
        result = board.flash(image, progress=lambda phase, done, total: seen.append((phase, done, total)))
        assert result.part == BB3 and result.bytes_written >= len(data) and not result.locked
    dones = [done for _, done, _ in seen]
    assert dones == sorted(dones) and dones[-1] == len(data)
    assert {total for _, _, total in seen} == {len(data)} and {"write", "verify"} <= {p for p, _, _ in seen}
    assert boards.flash_of(1)[:len(data)] == data
    assert "mode application" in boards.state_of(1)


def test_a_mismatch_names_the_pages_that_differ(uart_boards):
    boards = uart_boards(1)
    data = random_image(3000, 2)
    changed = bytearray(data)
    changed[1500] ^= 0x01  # page 2 of 512-byte pages
    with kestrane.open(port=boards.ports[0]) as board:
        board.flash(data, run=False)
        assert board.verify(data).commands > 0
        with pytest.raises(kestrane.Mismatch) as raised:
            board.verify(bytes(changed))
    error = raised.value
    assert isinstance(error, kestrane.Error)
    assert (error.code, error.name, error.pages) == (-5, "mismatch", (2,))
    assert "differs from the image in 1 page" in str(error)


def convert(source: Path, out: Path, *options: str) -> Path:
    subprocess.run([os.environ["KESTRANE_CLI"], "convert", str(source), "-o", str(out), *options], check=True,
                   capture_output=True)
    return out


def test_every_failure_raises_its_own_error(uart_boards, tmp_path):
    data = random_image(2000, 3)
    missing = str(tmp_path / "ttyNONE")
    with pytest.raises(kestrane.NoBoard) as raised:
        kestrane.open(port=missing)
    assert raised.value.name == "no-device" and str(raised.value).startswith(missing + ": ")
    # A path that leads to no device says so, not that no bootloader answers.
    assert "no such port" in str(raised.value) and "bootloader" not in str(raised.value)
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    with pytest.raises(kestrane.NoBoard) as raised:
        kestrane.open(port=str(tmp_path / "loop"))
    assert raised.value.name == "no-device" and "no such port" in str(raised.value)
    (tmp_path / "file").write_text("")
    with pytest.raises(kestrane.NotAPort) as raised:  # a NoBoard too
        kestrane.open(port=str(tmp_path / "file"))
    assert isinstance(raised.value, kestrane.NoBoard) and raised.value.code == -14

    boards = uart_boards(1)
    with kestrane.open(port=boards.ports[0]):
        with pytest.raises(kestrane.Busy):
            kestrane.open(port=boards.ports[0])
    with pytest.raises(kestrane.UsageError):
        kestrane.open(port=boards.ports[0], baud=9600)

    with kestrane.open(port=boards.ports[0]) as board:
        with pytest.raises(kestrane.BadImage) as raised:  # larger than the part's application area
            board.flash(bytes(70000))
        assert raised.value.code == -2
        bb1 = convert(image_file(tmp_path, data), tmp_path / "fw.efm8", "--id", "3001")
        with pytest.raises(kestrane.WrongPart):
            board.flash(kestrane.load(bb1))

    broken = intel_hex(data).splitlines(keepends=True)
    broken[1] = broken[1][:-3] + "%02X\n" % (int(broken[1][-3:-1], 16) ^ 1)
    (tmp_path / "bad.hex").write_text("".join(broken))
    with pytest.raises(kestrane.BadImage) as raised:
        kestrane.load(tmp_path / "bad.hex")
    assert "bad.hex: line 2" in str(raised.value) and raised.value.code == -12
    with pytest.raises(kestrane.Unreadable):
        kestrane.load(tmp_path / "none.hex")

    silent = uart_boards(1, "--silent", "0")
    with kestrane.open(port=silent.ports[0], timeout=0.2) as board:
        with pytest.raises(kestrane.TransferFailed) as raised:
            board.identify()
    assert raised.value.command == "identify" and raised.value.reply is None

    refusing = uart_boards(1, "--answer", "0:41")
    with kestrane.open(port=refusing.ports[0]) as board:
        with pytest.raises(kestrane.Refused) as raised:
            board.run()
    assert (raised.value.command, raised.value.address, raised.value.reply) == ("run application", 0, 0x41)


def test_a_lock_is_programmed_after_the_verify_and_read_back(uart_boards):
    boards = uart_boards(1)
    with kestrane.open(port=boards.ports[0]) as board:
        result = board.flash(random_image(1000, 4), lock_pages=3, run=False)
        assert result.locked and result.lock_byte == 0xFC and result.signature_byte == 0xA5
        assert board.lock(pages=5).lock_byte == 0xF8  # bits only clear: 3 pages and 5 make 0xF8
        with pytest.raises(ValueError):
            board.lock(pages=256)
    assert "lock F8" in boards.state_of(1)


def test_four_boards_flash_from_four_threads_at_once(uart_boards):
    boards = uart_boards(4)
    images = [random_image(12000, 10 + n) for n in range(4)]
    started = threading.Barrier(4, timeout=30)
    order = []  # (board, "first" or "last"), as the calls came
    record = threading.Lock()
    errors = []

    def flash(n: int) -> None:
        def progress(phase: str, done: int, total: int) -> None:
            with record:
                first = not any(board == n for board, _ in order)
                if first or done == total and phase == "verify":
                    order.append((n, "first" if first else "last"))
            if first:
                started.wait()  # each flash is under way before any goes on
        try:
            with kestrane.open(port=boards.ports[n]) as board:
                board.flash(images[n], progress=progress)
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=flash, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    firsts = [at for at, (_, kind) in enumerate(order) if kind == "first"]
    lasts = [at for at, (_, kind) in enumerate(order) if kind == "last"]
    assert len(firsts) == 4 and len(lasts) == 4 and max(firsts) < min(lasts)
    for n in range(4):
        assert boards.flash_of(n + 1)[:len(images[n])] == images[n]


def test_no_call_holds_the_gil_while_it_waits_for_a_board(uart_boards):
    # The silent board keeps its caller waiting 5 s for a reply: if that
    # call held the GIL, this thread could not flash the other board until
    # it came back.
    silent = uart_boards(1, "--silent", "0")
    other = uart_boards(1)
    waited = []

    def wait_for_silence() -> None:
        with kestrane.open(port=silent.ports[0], timeout=5.0) as board:
            try:
                board.identify()
            except kestrane.TransferFailed as error:
                waited.append(error)

    thread = threading.Thread(target=wait_for_silence)
    thread.start()
    silent.wait_for_log("1 silent")  # its call is in the library, waiting
    with kestrane.open(port=other.ports[0]) as board:
        board.flash(random_image(4000, 5))
    assert thread.is_alive() and not waited
    thread.join()
    assert len(waited) == 1


def test_an_exception_from_the_progress_callback_stops_the_flash_and_is_raised(uart_boards):
    boards = uart_boards(1)
    data = random_image(3000, 6)
    with kestrane.open(port=boards.ports[0]) as board:
        calls = []

        def raises(phase: str, done: int, total: int) -> None:
            calls.append(done)
            if done >= 1024:
                raise KeyError("from progress")
        with pytest.raises(KeyError):
            board.flash(data, progress=raises)
        assert calls[-1] == 1024  # never called again once it raised
        with pytest.raises(kestrane.Mismatch):  # stopped there: the rest never written
            board.verify(data)
    with pytest.raises(ValueError):
        board.identify()
    flash = boards.flash_of(1)
    assert flash[0] == 0xFF and set(flash[2048:len(data)]) == {0xFF}
    assert "mode bootloader" in boards.state_of(1).splitlines()  # not started with half an image


def test_stopped_while_delta_compares_the_chip_s_flash_is_as_it_was(uart_boards):
    boards = uart_boards(1)
    old, new = random_image(3000, 60), random_image(3000, 61)
    with kestrane.open(port=boards.ports[0]) as board:
        board.flash(old, run=False)
        phases = []

        def stops(phase: str, done: int, total: int) -> None:
            phases.append(phase)
            if phases.count("compare") == 3:
                raise RuntimeError("stop")
        with pytest.raises(RuntimeError):
            board.flash(new, delta=True, progress=stops)
        assert set(phases) == {"compare"}
        board.verify(old)  # nothing erased before the first write
    assert "mode bootloader" in boards.state_of(1).splitlines()


def test_the_part_table_and_ports():
    table = {part.name: part for part in kestrane.parts()}
    assert table[BB3].flash_size == 65536 and table[BB3].interface == "uart"
    assert table["EFM8UB10F16G-QFN28"].interface == "usb"
    assert all(isinstance(port.path, str) for port in kestrane.ports())
    assert kestrane.__version__ == kestrane.version()
