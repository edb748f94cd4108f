"""The view's reader: takes every block of the board as it comes, follows the frame counter and keeps the
newest frames for the screen, which never holds it up."""
import threading
import time

import numpy as np

from .frames import WORDS, FrameCheck

# Blocks circulating between the board's acquisition thread and Python. When all of them are waiting to be
# read, the acquisition thread has nowhere to put the next frames: the reader is behind.
POOL_BLOCKS = 64
# The board's health counters, where it has them, are fetched this often rather than after every block.
HEALTH_SECONDS = 0.1
# A waiting reader looks at its stop flag this often.
_READ_SLICE = 0.1


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


class Reader(threading.Thread):
    """Reads every block of an opened board until `stop()`: counts it, follows its frame counter and puts it
    into the ring. The board is used from this thread alone while it runs.

    `ready_run` counts the blocks in a row that were queued already when asked for; it reaching the pool's
    size means the reader has not caught up with the board for a whole pool's worth of blocks.
    """

    def __init__(self, board, ring):
        super().__init__(name="pcb-roq-view-reader", daemon=True)
        self.board = board
        self.ring = ring
        self.check = FrameCheck()
        self.blocks = 0
        self.ready_run = 0
        self.longest_ready_run = 0
        self.times_behind = 0
        self.health = None
        self.error = None
        self.began = self.ended = None
        self._stopping = threading.Event()
        self.started = threading.Event()  # set once acquisition runs (or the reader gave up)

    def stop(self):
        self._stopping.set()

    @property
    def behind(self):
        return self.ready_run >= POOL_BLOCKS

    @property
    def elapsed(self):
        if self.began is None:
            return 0.0
        return (self.ended if self.ended is not None else time.monotonic()) - self.began

    def run(self):
        board = self.board
        has_health = hasattr(board, "health")
        self.began = time.monotonic()
        heard = self.began
        next_health = self.began
        try:
            board.start()
            self.started.set()
            while not self._stopping.is_set():
                block = board.next_block(timeout=0)
                if block is None:
                    self.ready_run = 0
                    block = board.next_block(timeout=_READ_SLICE)
                    now = time.monotonic()
                    if block is None:
                        if board.timeout is not None and now - heard >= board.timeout:
                            raise TimeoutError(f"no block from board {board.serial_number!r} within "
                                               f"{board.timeout} s: is it streaming?")
                        continue
                else:
                    now = time.monotonic()
                    self.ready_run += 1
                    if self.ready_run > self.longest_ready_run:
                        self.longest_ready_run = self.ready_run
                    if self.ready_run == POOL_BLOCKS:
                        self.times_behind += 1
                heard = now
                self.check.feed(block)
                self.ring.push(block)
                self.blocks += 1
                if has_health and now >= next_health:
                    self.health = board.health()
                    next_health = now + HEALTH_SECONDS
        except Exception as e:  # handed to the main thread, which ends the view with it
            self.error = e
        finally:
            self.ended = time.monotonic()
            self.started.set()


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
