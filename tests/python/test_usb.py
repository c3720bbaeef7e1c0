"""The kestrane module over the real hidapi and libusb, against bootloaders
the USB stand-in emulates (run under umockdev-wrapper): listing, a flash and
a mismatch, several boards, a board this user may not open (a
PermissionError), and one gone (a FileNotFoundError, its path named)."""

import pytest

import kestrane
from conftest import random_image


def test_usb_bootloaders_are_listed_opened_flashed_and_verified(usb):
    first, second = usb.attach(0xEAC9), usb.attach(0xEACA)
    listed = kestrane.boards()
    assert [board.family for board in listed] == ["EFM8UB1", "EFM8UB2"]
    assert all(board.vendor_id == 0x10C4 for board in listed)
    with pytest.raises(kestrane.UsageError):  # several, none chosen
        kestrane.open()

    data = random_image(7000, 20)
    seen = []
    with kestrane.open(listed[0]) as board:
        assert board.interface == "usb" and board.path == listed[0].path
        part = board.identify()
        assert part.family == "EFM8UB1" and part.interface == "usb" and part.page_size == 512
        result = board.flash(data, run=False, progress=lambda phase, done, total: seen.append(done))
        assert result.bytes_written >= len(data) and result.commands > 0
        changed = bytearray(data)
        changed[0x1234] ^= 0x80
        with pytest.raises(kestrane.Mismatch) as raised:
            board.verify(bytes(changed))
    assert raised.value.pages == (0x1234 // 512,)
    assert seen == sorted(seen) and seen[-1] == len(data)
    assert usb.flash_of(first)[:len(data)] == data
    with kestrane.open(device=listed[1].path) as board:
        assert board.identify().family == "EFM8UB2"
    usb.lib.usbsim_detach(first)
    usb.lib.usbsim_detach(second)


def test_a_bootloader_this_user_may_not_open_and_one_gone(usb):
    index = usb.attach()
    path = kestrane.boards()[0].path
    usb.lib.usbsim_deny_access(index)
    usb.lib.usbsim_drop_file_override()  # as a user without the udev rule
    try:
        with pytest.raises(kestrane.NoPermission) as raised:
            kestrane.open(device=path)
    finally:
        usb.lib.usbsim_restore_file_override()
    assert raised.value.name == "no-permission" and isinstance(raised.value, PermissionError)
    assert raised.value.filename == path
    usb.lib.usbsim_detach(index)
    assert kestrane.boards() == []
    with pytest.raises(FileNotFoundError) as gone:  # a path was named, and nothing is there
        kestrane.open(device=path)
    assert isinstance(gone.value, kestrane.NoBoard) and gone.value.filename == path
    with pytest.raises(kestrane.NoBoard) as none:  # none named: nothing to be found at a path
        kestrane.open()
    assert not isinstance(none.value, FileNotFoundError)
