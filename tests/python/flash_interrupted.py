"""A script that flashes a board and is sent SIGINT once the write phase is
under way, as a person pressing Ctrl-C would; run by test_interrupt.py in a
process of its own, since the signal ends it.

    flash_interrupted.py HOW PORT LOG SIZE

HOW says where the signal comes from: "callback" sends it from inside the
progress callback, "thread" from a helper thread once the callback said
writes had begun (the main thread then most likely waits in the library
for a reply), "no-callback" from a helper thread that watches the
simulator's LOG for a write record, with no progress callback at all.

Prints "signalled DONE" with the last progress seen before the signal, and
"reopened" once the port opened again after the KeyboardInterrupt, which it
then raises again so that the interpreter ends as it does on Ctrl-C.
"""

import os
import signal
import sys
import threading
import time
from pathlib import Path
from typing import List, Optional

import kestrane
from conftest import random_image

BOUND = 30.0  # seconds: never reached when all is well
STARTED_AT = 2048  # bytes written before the signal goes out

how, port, log, size = sys.argv[1], sys.argv[2], Path(sys.argv[3]), int(sys.argv[4])
data = random_image(size, size)
seen: List[int] = [0]
writing = threading.Event()


def signal_now() -> None:
    # What had been written, read with the signal sent at once: this thread
    # keeps the GIL from one to the other (see setswitchinterval below), so
    # no record is reported in between.
    done = seen[0]
    os.kill(os.getpid(), signal.SIGINT)
    print("signalled", done, flush=True)


def progress(phase: str, done: int, total: int) -> None:
    if phase != "write":
        return
    seen[0] = done
    if done >= STARTED_AT and not writing.is_set():
        writing.set()
        if how == "callback":
            signal_now()


def from_thread() -> None:
    if writing.wait(BOUND):
        signal_now()


def when_the_log_shows_a_write() -> None:
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        if log.exists() and "1 record 33" in log.read_text().splitlines():
            signal_now()
            return
        time.sleep(0.01)


helper: Optional[threading.Thread] = None
if how == "thread":
    # No thread is made to let the GIL go between two bytecodes: the main
    # thread takes it back only when the helper waits or writes.
    sys.setswitchinterval(BOUND)
    helper = threading.Thread(target=from_thread, daemon=True)
elif how == "no-callback":
    helper = threading.Thread(target=when_the_log_shows_a_write, daemon=True)
if helper is not None:
    helper.start()
try:
    with kestrane.open(port=port) as board:
        board.flash(data, progress=None if how == "no-callback" else progress)
    print("flashed", flush=True)
except KeyboardInterrupt:
    with kestrane.open(port=port):
        print("reopened", flush=True)
    raise
