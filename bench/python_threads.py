"""Four boards flashed from four Python threads against one board alone.

Boards with UART bootloaders behind pseudo-terminals (uart_sim --latency),
each spending the time a chip on a 115200-baud line would: every byte either
way takes its 10 bits on the line (the board paces it), each record a
turnaround of 20 us (10 on the record, 10 on its reply), each page erase
5.35 ms and each byte written 20 us. The kestrane module lets the GIL go in
every call, so four boards should take about as long as one: the target is
at most 1.3 times.

    python3 bench/python_threads.py BUILD-DIR [--small]

--small (as CI runs it): a 2 KB image, once, the target not held.
"""

import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

TRANSFER_US = 10  # charged on the record and again on its reply
ERASE_US = 5350
BYTE_US = 20      # each byte written
SMALL = "--small" in sys.argv[1:]
IMAGE_SIZE = 2 * 1024 if SMALL else 16 * 1024
ROUNDS = 1 if SMALL else 3

arguments = [argument for argument in sys.argv[1:] if argument != "--small"]
build = Path(arguments[0] if arguments else "build").resolve()
os.environ.setdefault("KESTRANE_LIBRARY", str(build / "libkestrane.so.1"))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
import kestrane  # noqa: E402  (after the library's path is set)


def flash_all(ports: list[str], image: bytes) -> float:
    errors: list[BaseException] = []

    def flash(port: str) -> None:
        try:
            with kestrane.open(port=port) as board:
                board.flash(image, run=False)
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=flash, args=(port,)) for port in ports]
    start = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return time.monotonic() - start


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        sim = subprocess.Popen([str(build / "sim" / "uart_sim"), "--links", folder, "--boards", "4", "--latency",
                                f"{TRANSFER_US}:{ERASE_US}:{BYTE_US}"], stdout=subprocess.PIPE, text=True)
        try:
            if not select.select([sim.stdout], [], [], 30)[0] or sim.stdout.readline().strip() != "ready":
                raise SystemExit("uart_sim did not start")
            ports = [f"{folder}/ttySIM{n}" for n in range(1, 5)]
            rng = random.Random(1)
            image = bytes([0x02]) + bytes(rng.getrandbits(8) for _ in range(IMAGE_SIZE - 1))
            one = min(flash_all(ports[:1], image) for _ in range(ROUNDS))
            four = min(flash_all(ports, image) for _ in range(ROUNDS))
        finally:
            sim.send_signal(signal.SIGTERM)
            sim.wait(30)
    ratio = four / one
    print(f"python_threads: {IMAGE_SIZE} bytes, one board {one:.3f} s, four boards from four threads "
          f"{four:.3f} s: {ratio:.2f}x one board's time (target <= 1.3x) on {os.cpu_count()} cores")
    if ratio > 1.3 and not SMALL:
        raise SystemExit(1)


main()
