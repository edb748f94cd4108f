"""A capture of one or more boards into one HDF5 file (or none): one reading thread per board, each block stamped
with its arrival time on the host, the counters and the verdict refreshed while it runs."""
import contextlib
import threading
import time

from .board import open_board
from .frames import FrameCheck
from .h5_writer import H5Writer
from .summary import run_summary
from .versions import library_versions, package_version

HEALTH_INTERVAL = 0.25  # seconds between refreshes of the counters in the file


def verdict_text(summary):
    return "arrived whole" if summary["whole"] else "NOT whole: " + "; ".join(summary["problems"])


class BoardReader(threading.Thread):
    """Reads one opened board for `blocks` blocks or `seconds` (or until `stop` is set) into `writer`."""

    def __init__(self, board, writer, blocks, seconds, stop):
        super().__init__(name=f"capture of {board.serial_number}", daemon=True)
        self.board = board
        self.serial = board.serial_number
        self.writer = writer
        self.amount = (blocks, seconds)
        self.stop = stop
        self.check = FrameCheck()
        self.blocks = 0
        self.elapsed = 0.0
        self.health = None
        self.error = None

    def run(self):
        board = self.board
        before = board.health()
        begin = time.monotonic()
        refreshed = begin
        try:
            for block in board.blocks(count=self.amount[0], seconds=self.amount[1]):
                arrived_ns, arrived_utc_ns = time.monotonic_ns(), time.time_ns()
                self.blocks += 1
                self.check.feed(block)
                if self.writer is not None:
                    self.writer.append(self.serial, block, arrived_ns, arrived_utc_ns)
                    if arrived_ns / 1e9 - refreshed >= HEALTH_INTERVAL:
                        refreshed = arrived_ns / 1e9
                        self.writer.record_health(self.serial, board.health().since(before), "capturing")
                if self.stop.is_set():
                    break
        except TimeoutError as e:
            self.error = e  # the board went quiet: the summary of what came before it still follows
        except BaseException as e:  # reported by the thread that waits for this one
            self.error = e
        finally:
            self.elapsed = time.monotonic() - begin
            board.stop()  # at once: the block in hand is counted when acquisition ends
            self.health = board.health().since(before)

    def summary(self, samples_count):
        summary = run_summary(self.serial, self.blocks, samples_count, self.check, self.elapsed, self.health)
        if isinstance(self.error, TimeoutError):
            summary["error"] = str(self.error)
            summary["whole"] = False
            summary["problems"].append("the board stopped sending")
            summary["exit_status"] = 1
        return summary


def file_attributes():
    libraries = library_versions()
    return {"pyzum_zezudi_vu": package_version(),
            **{name: ".".join(map(str, found)) if found else "unknown" for name, found in libraries.items()}}


def capture(serials, samples_count, timeout, blocks=None, seconds=None, out=None, on_tick=None):
    """Reads every board of `serials` on its own thread into the HDF5 file `out` (or only checks them);
    returns (summaries, interrupted). `on_tick(elapsed)` is called about ten times a second meanwhile."""
    stop = threading.Event()
    interrupted = False
    with contextlib.ExitStack() as stack:
        boards = [stack.enter_context(open_board(s, samples_count, timeout=timeout)) for s in serials]
        serials = [b.serial_number for b in boards]
        writer = stack.enter_context(H5Writer(out, serials, samples_count, file_attributes())) if out else None
        readers = [BoardReader(b, writer, blocks, seconds, stop) for b in boards]
        begin = time.monotonic()
        for reader in readers:
            reader.start()
        try:
            for reader in readers:
                while reader.is_alive():
                    reader.join(0.1)
                    if on_tick:
                        on_tick(time.monotonic() - begin)
        except KeyboardInterrupt:
            interrupted = True  # what was captured so far is summed up and kept, as at a normal end
            stop.set()
            for reader in readers:
                reader.join()
        summaries = []
        for reader in readers:
            if reader.error is not None and not isinstance(reader.error, TimeoutError):
                raise reader.error
            summary = reader.summary(samples_count)
            if writer is not None:
                writer.record_health(reader.serial, reader.health, verdict_text(summary))
            summaries.append(summary)
    return summaries, interrupted
