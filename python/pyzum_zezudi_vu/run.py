"""A run of one or more boards: each read on a thread of its own, every block checked and handed to the sinks,
until the blocks or seconds asked for are read, the run is stopped (Ctrl-C, SIGTERM, SIGHUP, `stop`), a board
goes quiet or a sink fails; then the blocks still queued are kept too, and each board ends in a result."""
from __future__ import annotations

import contextlib
import signal
import threading
import time

from .board import UDEV_HINT, NoBoardError, list_boards, open_board
from .result import ENDED_FAILED, ENDED_QUIET, BoardResult, RunResult

HEALTH_INTERVAL = 0.25  # seconds between the counters handed to the sinks while a board is read
_SLICE = 0.1            # longest wait for a block before the reader looks at its stop flag again
_TICK = 0.1             # how often the waiting thread calls `on_tick`
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def resolve_serials(serials=None, every=False):
    """The serial numbers a run should open: all listed ones (`every`), those given, or [None] for the first
    listed one (which `open_board` finds, or says what to check)."""
    if not every:
        return list(serials) if serials else [None]
    listed = list_boards()
    if not listed:
        raise NoBoardError("No PCB_ROQ board found: --all found nothing to capture. " + UDEV_HINT)
    return listed


@contextlib.contextmanager
def open_boards(serials, samples_count, timeout):
    """Opens every board of `serials` for the `with` block; each is stopped and let go on the way out."""
    with contextlib.ExitStack() as stack:
        yield [stack.enter_context(open_board(s, samples_count, timeout=timeout)) for s in serials]


class Run:
    """Reads opened `boards` into `sinks`: `blocks` blocks or `seconds` each, or until stopped.

    However it ends, what the boards decoded before it stopped goes to the sinks as well (the blocks still
    queued, the last one cut to its frames), up to the `blocks` asked for; what was decoded past those is
    counted in the result as not kept.
    """

    def __init__(self, boards, sinks=(), blocks=None, seconds=None):
        self.boards = list(boards)
        self.sinks = list(sinks)
        self.amount = (blocks, seconds)
        self.results = [BoardResult(b.serial_number, b.samples_count) for b in self.boards]
        self.signal = None
        self._stopping = threading.Event()
        self._readers = []
        self._begin = None

    # The main thread, once: the sinks begin, then every board's reader starts.
    def start(self):
        for sink in self.sinks:
            sink.begin(self.boards)
        self._begin = time.monotonic()
        for board, result in zip(self.boards, self.results):
            reader = threading.Thread(target=self._read, args=(board, result), daemon=True,
                                      name=f"run of {result.board}")
            self._readers.append(reader)
            reader.start()

    # Any thread (a signal handler too): every board ends after its block in hand.
    def stop(self, signum=None):
        if signum is not None and self.signal is None:
            self.signal = signum
        self._stopping.set()

    @property
    def running(self):
        return any(r.is_alive() for r in self._readers)

    @property
    def elapsed(self):
        return 0.0 if self._begin is None else time.monotonic() - self._begin

    # The main thread, once after `start`: waits for every board, closes the sinks, returns the result.
    def wait(self, on_tick=None):
        try:
            for reader in self._readers:
                while reader.is_alive():
                    reader.join(_TICK)
                    if on_tick:
                        on_tick(self.elapsed)
        finally:
            for result in self.results:  # before the sinks close: a file records how its run ended
                result.signal = self.signal
            self._close_sinks()
        for result in self.results:
            result.signal = self.signal
        return RunResult(self.results)

    def execute(self, on_tick=None):
        """Runs to the end; Ctrl-C, SIGTERM and SIGHUP stop it as `stop` does (a second Ctrl-C raises)."""
        with self._signals_stop():
            try:
                self.start()
            except BaseException:
                self.stop()
                for reader in self._readers:
                    reader.join()
                self._close_sinks()
                raise
            return self.wait(on_tick)

    @contextlib.contextmanager
    def _signals_stop(self):
        if threading.current_thread() is not threading.main_thread():
            yield
            return

        def note(signum, frame):
            if signum == signal.SIGINT and self.signal is not None:
                raise KeyboardInterrupt  # asked twice: whatever holds the run up is given up
            self.stop(signum)

        previous = {s: signal.signal(s, note) for s in STOP_SIGNALS}
        try:
            yield
        finally:
            for s, handler in previous.items():
                signal.signal(s, handler)

    def _close_sinks(self):
        for sink in self.sinks:
            try:
                sink.close()
            except Exception as e:
                for result in self.results:
                    if result.ended != ENDED_FAILED:
                        result.ended, result.error = ENDED_FAILED, str(e)

    def _hand_over(self, result, block):
        arrival_ns, arrival_utc_ns = time.monotonic_ns(), time.time_ns()
        result.blocks += 1
        result.check.feed(block)
        for sink in self.sinks:
            sink.take(result.board, block, arrival_ns, arrival_utc_ns)
        return arrival_ns / 1e9

    # The board's own thread: reads until the run ends, keeps what is still queued, leaves its result.
    def _read(self, board, result):
        count, seconds = self.amount
        before = board.health()
        begin = heard = time.monotonic()
        end = None if seconds is None else begin + seconds
        next_health = begin + HEALTH_INTERVAL
        stopped = None
        try:
            board.start()
            while not self._stopping.is_set() and (count is None or result.blocks < count):
                now = time.monotonic()
                if end is not None and now >= end:
                    break
                block = board.next_block(timeout=_SLICE if end is None else min(_SLICE, end - now))
                if block is None:
                    if board.timeout is not None and time.monotonic() - heard >= board.timeout:
                        result.ended = ENDED_QUIET
                        result.error = (f"no block from board {result.board!r} within {board.timeout} s: "
                                        "is it streaming?")
                        break
                    continue
                heard = self._hand_over(result, block)
                if heard >= next_health:
                    next_health = heard + HEALTH_INTERVAL
                    for sink in self.sinks:
                        sink.refresh(result.board, board.health().since(before))
            stopped = time.monotonic()
            board.stop()  # at once: the block in hand is handed over partly filled, and counted
            for block in board.queued_blocks():
                if count is None or result.blocks < count:
                    self._hand_over(result, block)
                else:
                    result.not_kept += len(block)
        except Exception as e:
            result.ended, result.error = ENDED_FAILED, str(e) or type(e).__name__
            self.stop()  # one board's failure (a full disk) ends the run of every board
            board.stop()
        result.seconds = (stopped or time.monotonic()) - begin
        result.health = board.health().since(before)
        for sink in self.sinks:
            try:
                sink.end(result)
            except Exception as e:
                if result.ended != ENDED_FAILED:
                    result.ended, result.error = ENDED_FAILED, str(e) or type(e).__name__


def run_boards(serials, samples_count, timeout, sinks=(), blocks=None, seconds=None, on_tick=None):
    """Opens the boards of `serials`, runs them into `sinks` to the end and closes them: a `RunResult`."""
    with open_boards(serials, samples_count, timeout) as boards:
        return Run(boards, sinks, blocks, seconds).execute(on_tick)
