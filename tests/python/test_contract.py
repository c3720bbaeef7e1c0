"""The module as the C library's contract and Python's habits have it: its
ctypes structures laid out as the C compiler lays out the headers', every
result of the library raised as a class of its own that is an OSError, the
progress phase typed, flash's flags keyword-only, firmware parsed from
memory as from a file, and a lock that would disable the bootloader flashed
only when allowed."""

import errno
import inspect
import os
import pickle
import random
import subprocess
from pathlib import Path

import pytest

import kestrane
from kestrane import _native as native
from conftest import intel_hex, random_image

ERASED = 0xFF


def c_layout() -> dict:
    """{"efm8_options": 104, "efm8_options.progress_cancel": 88, ...} from
    the C program built against the headers."""
    out = subprocess.run([os.environ["KESTRANE_STRUCT_SIZES"]], capture_output=True, text=True, check=True).stdout
    return {name: int(number) for name, number in (line.split() for line in out.splitlines())}


def test_each_structure_is_laid_out_as_the_c_compiler_lays_it_out():
    layout = c_layout()
    assert {name for name in layout if "." not in name} == set(native.STRUCTURES)
    for c_name, structure in native.STRUCTURES.items():
        assert native.ctypes.sizeof(structure) == layout[c_name], c_name
        fields = [field[0] for field in structure._fields_]
        assert {f"{c_name}.{field}" for field in fields} == {name for name in layout
                                                                 if name.startswith(c_name + ".")}, c_name
        for field in fields:
            assert getattr(structure, field).offset == layout[f"{c_name}.{field}"], f"{c_name}.{field}"


# Every result the library can return, by code, and the class a caller
# catches it as: names that mean the same to a caller share one.
EXPECTED = {
    -1: kestrane.NoBoard, -2: kestrane.BadImage, -3: kestrane.TransferFailed, -4: kestrane.Refused,
    -5: kestrane.Mismatch, -6: kestrane.UsageError, -7: kestrane.NoPermission, -8: kestrane.TransferFailed,
    -9: kestrane.UsageError, -10: kestrane.Busy, -11: kestrane.WrongPart, -12: kestrane.BadImage,
    -13: kestrane.Unreadable, -14: kestrane.NotAPort, -15: kestrane.NoLine, -16: kestrane.LineBusy,
    -17: kestrane.NoPermission, -18: kestrane.UsageError, -19: kestrane.OutOfMemory, -20: kestrane.SessionBusy,
    -21: kestrane.Cancelled,
}


def test_every_result_of_the_library_is_raised_as_its_own_kind_of_oserror():
    lib = native.lib
    named = {}
    for code in range(-40, 0):
        name = lib.efm8_result_name(code).decode()
        if name != "unknown":
            named[code] = name
    assert set(named) == set(EXPECTED), "a result the module does not know, or one gone"
    for code, name in named.items():
        kind = kestrane.errors.kind_of(name)
        assert kind is EXPECTED[code], (code, name)
        assert name in kind.result_names and kind.result_name == kind.result_names[0]
        error = kind(code, name, f"words for {name}")
        assert isinstance(error, kestrane.Error) and isinstance(error, OSError)
        assert str(error) == f"words for {name}" and error.errno is None
        assert isinstance(error, PermissionError) == (kind is kestrane.NoPermission)
        assert not isinstance(error, FileNotFoundError)
        at_path = kestrane.errors.kind_of(name, path_named=True)
        assert isinstance(at_path(code, name, ""), FileNotFoundError) == (code == -1)
        assert issubclass(at_path, kind)
    # The production line's results, which the library never returns.
    assert kestrane.errors.kind_of(lib.efm8_result_name(-100).decode()) is kestrane.Error


def test_an_error_keeps_the_system_s_errno_and_the_library_s_words_and_survives_pickling(uart_boards, tmp_path):
    missing = str(tmp_path / "ttyNONE")
    with pytest.raises(FileNotFoundError) as raised:
        kestrane.open(port=missing)
    error = raised.value
    assert isinstance(error, kestrane.NoBoard) and error.name == "no-device"
    # libkestrane 1.1 keeps no errno for a port that failed to open.
    assert error.errno in (None, errno.ENOENT) and error.filename == missing
    assert str(error).startswith(missing + ": ") and "Errno" not in str(error)
    (tmp_path / "file").write_text("")
    with pytest.raises(kestrane.NotAPort) as raised:  # something is there: no FileNotFoundError
        kestrane.open(port=str(tmp_path / "file"))
    assert not isinstance(raised.value, FileNotFoundError)
    not_a_port = raised.value
    silent = uart_boards(1, "--silent", "0")
    with kestrane.open(port=silent.ports[0], timeout=0.2) as board:
        with pytest.raises(OSError) as raised:  # no reply in time
            board.identify()
    timed_out = raised.value
    assert isinstance(timed_out, kestrane.TransferFailed) and timed_out.errno == errno.ETIMEDOUT
    assert timed_out.filename == silent.ports[0] and str(timed_out).startswith(silent.ports[0] + ": ")
    for original in (error, not_a_port, timed_out,
                     kestrane.Mismatch(-5, "mismatch", "differs", "verify", 0x200, 0x43, (1,))):
        copy = pickle.loads(pickle.dumps(original))
        assert type(copy) is type(original) and str(copy) == str(original)
        assert (copy.code, copy.name, copy.command, copy.address, copy.reply, copy.pages, copy.errno,
                copy.filename) == (original.code, original.name, original.command, original.address,
                                   original.reply, original.pages, original.errno, original.filename)


def test_progress_is_told_a_phase_that_reads_as_its_name(uart_boards):
    boards = uart_boards(1)
    data = random_image(3000, 50)
    seen = []
    with kestrane.open(port=boards.ports[0]) as board:
        board.flash(data, delta=True, run=False, progress=lambda phase, done, total: seen.append(phase))
    assert set(seen) == {kestrane.Phase.COMPARE, kestrane.Phase.WRITE, kestrane.Phase.VERIFY}
    for phase in seen:
        assert isinstance(phase, kestrane.Phase) and isinstance(phase, str)
        assert phase == phase.value and str(phase) == phase.value and f"{phase}" == phase.value
        assert phase in ("compare", "write", "verify")


def test_the_flags_of_flash_are_keyword_only(uart_boards):
    parameters = list(inspect.signature(kestrane.Board.flash).parameters.values())
    assert [p.name for p in parameters[:2]] == ["self", "image"]
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in parameters[2:])
    boards = uart_boards(1)
    with kestrane.open(port=boards.ports[0]) as board:
        with pytest.raises(TypeError):
            board.flash(random_image(100, 51), False)  # once verify; now refused rather than guessed
    assert not [line for line in boards.log.read_text().splitlines() if " record " in line]


def test_an_image_parsed_from_memory_is_the_image_loaded_from_its_file(tmp_path):
    rng = random.Random(52)
    for size in (1, 100, 512, 4097, rng.randrange(2, 60000), rng.randrange(2, 60000)):
        data = random_image(size, rng.randrange(1 << 30))
        for name, content in (("fw.bin", data), ("fw.hex", intel_hex(data).encode())):
            (tmp_path / name).write_bytes(content)
            loaded = kestrane.load(tmp_path / name)
            for given in (content, bytearray(content), memoryview(content)):
                parsed = kestrane.Image.parse(given, name)
                assert (parsed.data, parsed.format, parsed.ids, parsed.lock, parsed.runs) == \
                    (loaded.data, loaded.format, loaded.ids, loaded.lock, loaded.runs)
                assert parsed.path is None and parsed.name == name and loaded.path == str(tmp_path / name)
    broken = intel_hex(random_image(300, 53)).splitlines(keepends=True)
    broken[1] = broken[1][:-3] + "%02X\n" % (int(broken[1][-3:-1], 16) ^ 1)
    with pytest.raises(kestrane.BadImage) as raised:
        kestrane.Image.parse("".join(broken).encode(), "board.hex")
    assert str(raised.value).startswith("board.hex: line 2")
    with pytest.raises(kestrane.BadImage) as raised:
        kestrane.Image.parse(b"")
    with pytest.raises(ValueError):
        kestrane.Image.parse(b"\x02\x00", "fw\0.hex")
    with pytest.raises(TypeError):
        kestrane.Image.parse("text is no firmware")  # type: ignore[arg-type]


def disabling_image(tmp_path: Path, data: bytes) -> bytes:
    """Boot records whose lock record's signature byte is 0x00, which would
    disable the bootloader for good."""
    (tmp_path / "fw.bin").write_bytes(data)
    subprocess.run([os.environ["KESTRANE_CLI"], "convert", str(tmp_path / "fw.bin"), "-o", str(tmp_path / "fw.efm8"),
                    "--lock-pages", "3"], check=True, capture_output=True)
    records = (tmp_path / "fw.efm8").read_bytes()
    lock = bytes([0x24, 0x03, 0x35, 0xFF, 0xFC])
    assert records.count(lock) == 1
    return records.replace(lock, bytes([0x24, 0x03, 0x35, 0x00, 0xFC]))


def test_a_lock_that_disables_the_bootloader_is_flashed_only_when_allowed(uart_boards, tmp_path):
    data = random_image(1500, 54)
    image = kestrane.Image.parse(disabling_image(tmp_path, data), "fw.efm8")
    assert image.lock == (0x00, 0xFC)
    boards = uart_boards(1)
    with kestrane.open(port=boards.ports[0]) as board:
        with pytest.raises(kestrane.UsageError) as raised:
            board.flash(image)
        assert raised.value.name == "options" and "disables the bootloader" in str(raised.value)
        assert not [line for line in boards.log.read_text().splitlines() if " record " in line]
        result = board.flash(image, allow_disable_bootloader=True)
    assert result.locked and result.signature_byte == 0x00
    state = boards.state_of(1).splitlines()
    assert "signature 00" in state and "lock FC" in state
    assert boards.flash_of(1)[:len(data)] == data
