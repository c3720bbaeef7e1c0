"""Stopping a flash from Python: an exception from the caller's progress
callback, or Ctrl-C.

The library calls a progress_cancel hook between two records and stops
before the next one when it returns non-zero. An exception cannot cross
the C library, so the hook keeps the first one raised and asks the flash
to stop; Board.flash raises it once the library has returned.

SIGINT needs more: Python runs a signal handler at the start of whatever
Python code the main thread runs next, which during a flash is the hook,
possibly before any try block in it; the default handler's
KeyboardInterrupt would then be lost as "Exception ignored" and the flash
would go on. So while a flash runs on the main thread, SIGINT goes to a
handler of this module that never raises: it calls the handler it
replaced (so that a program's own handler still decides what Ctrl-C
means), keeps what that raises for the flash under way, and the hook then
stops the flash.
"""

import contextlib
import signal
import threading
from types import FrameType
from typing import Any, Callable, Dict, Iterator, List, Optional


class Watch:
    """One flash's hook and what is to be raised once it is over."""

    def __init__(self, progress: Optional[Callable[[Any, int, int], object]], phases: Dict[int, Any],
                 other: Any):
        self._progress = progress
        self._phases = phases
        self._other = other
        self.raised: Optional[BaseException] = None

    def stop_with(self, error: BaseException) -> None:
        """The flash stops at its next record and error is raised; the
        first error is kept."""
        if self.raised is None:
            self.raised = error

    def hook(self, _user: object, phase: int, done: int, total: int) -> int:
        """progress_cancel: non-zero stops the flash."""
        if self.raised is not None:
            return 1
        if self._progress is not None:
            try:
                self._progress(self._phases.get(phase, self._other), done, total)
            except BaseException as error:  # raised by Board.flash once the library has returned
                self.stop_with(error)
        return 1 if self.raised is not None else 0

    def raise_pending(self) -> None:
        if self.raised is not None:
            raised, self.raised = self.raised, None
            raise raised


# The flashes under way on the main thread, innermost last (a callback may
# flash another board), and the SIGINT handler this module replaced.
_watching: List[Watch] = []
_replaced: Any = None


def _on_interrupt(number: int, frame: Optional[FrameType]) -> None:
    try:
        if callable(_replaced):
            _replaced(number, frame)
    except BaseException as error:
        if not _watching:  # installed only while a flash is under way: never so
            raise
        # The innermost flash stops; what it raises stops the flash whose
        # callback it ran in.
        _watching[-1].stop_with(error)


@contextlib.contextmanager
def interrupts_to(watch: Watch) -> Iterator[None]:
    """SIGINT on the main thread kept for watch while the block runs. Left
    alone on other threads (SIGINT goes to the main thread only), and where
    Python has no handler of its own to chain to (SIG_IGN, SIG_DFL, or one
    set outside Python)."""
    global _replaced
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    # Watched before the handler goes in, so that it always has a flash to
    # keep a SIGINT for.
    _watching.append(watch)
    previous: Any = None
    installed = False
    try:
        previous = signal.getsignal(signal.SIGINT)
        installed = callable(previous) and previous is not _on_interrupt
        if installed:
            _replaced = previous
            signal.signal(signal.SIGINT, _on_interrupt)
        yield
    finally:
        try:
            # Put back first: a SIGINT not yet handled then goes to the
            # replaced handler, outside any hook, rather than to nothing.
            if installed:
                signal.signal(signal.SIGINT, previous)
                _replaced = None
        finally:
            _watching.pop()
