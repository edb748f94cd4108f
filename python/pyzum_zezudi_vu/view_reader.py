"""The view's reading side: a run of the board hands every block to a ring of the newest frames, which the
screen copies out on its own timer and so never holds the reader up."""
import threading

import numpy as np

from .frames import WORDS
from .sink import Sink

# Blocks circulating between the board's acquisition thread and Python. When all of them are waiting to be
# read, the acquisition thread has nowhere to put the next frames: the reader is behind.
POOL_BLOCKS = 64


class FrameRing:
    """The newest `capacity` frames: written by the reader, copied out by the screen."""

    def __init__(self, capacity):
        self._rows = np.zeros((capacity, WORDS), np.int16)
        self._next = 0
        self.total = 0  # frames pushed so far
        self._lock = threading.Lock()

    @property
    def capacity(self):
        return len(self._rows)

    def push(self, block):
        capacity = len(self._rows)
        rows = block[-capacity:]
        with self._lock:
            start = self._next
            first = min(len(rows), capacity - start)
            self._rows[start:start + first] = rows[:first]
            self._rows[:len(rows) - first] = rows[first:]
            self._next = (start + len(rows)) % capacity
            self.total += len(block)

    def newest(self):
        """(rows, total): a copy of the frames held, oldest first, and the frames pushed so far, so the last
        row is frame total - 1."""
        with self._lock:
            total = self.total
            if total < len(self._rows):
                return self._rows[:total].copy(), total
            return np.concatenate((self._rows[self._next:], self._rows[:self._next])), total


class RingSink(Sink):
    """The view's side of a run of one board: every block goes into `ring`, for the screen to copy out.

    The run's reader thread hands the blocks over, checks their frame counter (the run's result holds it) and
    refreshes the board's counters about four times a second. The reader is behind while the board's
    acquisition waits for a free block: the pool of POOL_BLOCKS blocks is full of blocks not read yet.
    """

    def __init__(self, ring: FrameRing) -> None:
        self.ring = ring
        self.health = None
        self.behind = False
        self.times_behind = 0
        self._waited = 0.0

    def begin(self, boards) -> None:
        if len(boards) != 1:
            raise ValueError("the view shows one board: name it with --serial")

    # The run's reader thread: the block is the ring's to copy.
    def take(self, serial, block, arrival_ns, arrival_utc_ns) -> None:
        self.ring.push(block)

    # The run's reader thread: the board's counters since the run began.
    def refresh(self, serial, health) -> None:
        waited = health.wait_for_block_s
        behind = waited > self._waited
        if behind and not self.behind:
            self.times_behind += 1
        self.behind, self._waited, self.health = behind, waited, health


class ViewOfRun:
    """What the screen and the health line read of a run of one board into a RingSink: its ring, its frame
    check, its blocks and counters so far."""

    def __init__(self, run, sink: RingSink) -> None:
        self.run = run
        self.sink = sink
        self.ring = sink.ring

    @property
    def check(self):
        return self.run.results[0].check

    @property
    def blocks(self):
        return self.run.results[0].blocks

    @property
    def health(self):
        return self.sink.health

    @property
    def behind(self):
        return self.sink.behind

    @property
    def elapsed(self):
        return self.run.elapsed

    def is_alive(self):
        return self.run.running


def health_line(reader):
    """Lost and out-of-step frames (the board's own counters when it has them) and whether the reader keeps up."""
    health = reader.health
    check = reader.check
    if health is not None and hasattr(health, "problems"):
        parts = health.problems() or ["stream whole"]
    elif health is not None:
        parts = [str(health)]
    elif check.numbered:
        parts = [f"lost {check.lost}", f"out of step {check.out_of_order}"]
    elif check.numbered is None:
        parts = ["no frame counter seen yet"]
    else:
        parts = ["frames not checked (no frame counter)"]
    parts.append("reader behind" if reader.behind else "reader keeps up")
    return ", ".join(parts)
