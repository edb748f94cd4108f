"""Opening a board for one piece of work and reading blocks from it."""
from __future__ import annotations

import contextlib
import datetime
import time
from collections.abc import Iterator
from types import EllipsisType
from typing import Any

import numpy as np
import numpy.typing as npt

import _pyzum_zezudi_vu
import _pyzum_zezudi_vu_health

from .health import Health, board_health

Timeout = float | datetime.timedelta | None
"""Seconds, a timedelta, or None for no bound."""
Block = npt.NDArray[np.int16]
"""A block of frames: int16, shape (rows, 5)."""

UDEV_HINT = (
    "Without read-write access to its USB device a board is neither listed nor opened: install the udev "
    "rule udev/70-pcb-roq.rules (see the docs' page \"udev and permissions\") and plug the board in again, or try "
    "once as root to tell a permission problem from a missing board."
)

# Longest single wait inside the extension: the loop around it keeps a read without deadline responsive.
_WAIT_SLICE = 0.5


class NoBoardError(RuntimeError):
    """No PCB_ROQ board is listed, or the one asked for did not open."""


def _seconds(timeout: Timeout) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, datetime.timedelta):
        return timeout.total_seconds()
    return float(timeout)


class Board:
    """An opened board, as `open_board` hands it out.

    `device` is the extension's `PCB_ROQ`. `timeout` (seconds, or None for no bound) limits each wait for
    a block; reading blocks starts acquisition, `raw` and `stop` end it. A Board keeps plain Python state:
    use it from one thread at a time (the extension's board itself may be shared).
    """

    def __init__(self, device: Any, samples_count: int, timeout: Timeout) -> None:
        self.device: Any = device
        self.samples_count = samples_count
        self.timeout: float | None = _seconds(timeout)
        self.acquiring = False
        self._wait: float | None = None
        # The device's partly filled blocks (and their rows) already accounted for: see `_real_rows`.
        self._partial_seen = (0, 0)

    @property
    def serial_number(self) -> str:
        return self._open().serial_number()

    def health(self) -> Health:
        """The board's counters now (a frozen `Health`); `later.since(earlier)` gives one run's."""
        return board_health(self._open())

    def _open(self) -> Any:
        if self.device is None:
            raise ValueError("the board is closed")
        return self.device

    def start(self) -> None:
        """Starts acquisition. Blocks left queued by an earlier run are dropped first, so the blocks read
        afterwards are consecutive, beginning with a whole one."""
        device = self._open()
        if self.acquiring:
            return
        self._set_wait(0.0)
        while device.samples is not None:
            pass
        self._partial_seen = self._partial_counts()
        device.start()
        self.acquiring = True

    def stop(self) -> None:
        """Stops acquisition; the blocks still queued stay there until the next `start`."""
        if self.device is not None:
            self.device.stop()
        self.acquiring = False

    def close(self) -> None:
        """Stops acquisition and lets go of the device, which closes it once nothing else holds it."""
        self.stop()
        self.device = None

    def _set_wait(self, seconds: float) -> None:
        if seconds != self._wait:
            self.device.timeout = seconds
            self._wait = seconds

    def _partial_counts(self) -> tuple[int, int]:
        counters = _pyzum_zezudi_vu_health.counters(self.device)
        return counters["partial_blocks"], counters["partial_block_rows"]

    def _real_rows(self, block: Block) -> Block:
        """`block` without the unfilled rows it has when a run ended in its middle.

        That happens when something else stopped the device while this Board read it (a raw read of the
        shared device, its own `stop`): the block then comes partly filled, zero past its frames. Such a block
        is counted, with its rows, before it is handed over, so a count that grew says it is this block or one
        still queued behind it; only this one ends in zero rows from there on. Several stops since the last
        look leave the rows of each unknown: then the trailing zero rows are taken as the unfilled ones.
        """
        blocks, rows = self._partial_counts()
        new_blocks, new_rows = blocks - self._partial_seen[0], rows - self._partial_seen[1]
        if new_blocks == 0:
            return block
        if new_blocks == 1:
            real = new_rows
        else:
            filled = np.flatnonzero(block.any(axis=1))
            real = int(filled[-1]) + 1 if len(filled) else 0
        if real >= len(block) or block[real:].any():
            return block
        self._partial_seen = (self._partial_seen[0] + 1, self._partial_seen[1] + real)
        return block[:real]

    def next_block(self, timeout: Timeout | EllipsisType = ...) -> Block | None:
        """The next block, int16 of shape (samples_count, 5), or None when none came within `timeout`
        (default: the board's). Starts acquisition if it is not running. Fewer rows only when something else
        stopped the device in the middle of the block: its frames, without the unfilled rows."""
        self.start()
        device = self._open()
        seconds = self.timeout if timeout is ... else _seconds(timeout)
        deadline = None if seconds is None else time.monotonic() + seconds
        while True:
            wait = _WAIT_SLICE if deadline is None else min(_WAIT_SLICE, max(0.0, deadline - time.monotonic()))
            self._set_wait(wait)
            block = device.samples
            if block is not None:
                return self._real_rows(block)
            if deadline is not None and time.monotonic() >= deadline:
                return None

    def queued_blocks(self) -> Iterator[Block]:
        """Yields the blocks still queued, without waiting and without starting acquisition: after a `stop`,
        what the run decoded before it ended (its last block cut to its frames)."""
        device = self._open()
        self._set_wait(0.0)
        while (block := device.samples) is not None:
            yield self._real_rows(block)

    def blocks(self, count: int | None = None, seconds: float | None = None) -> Iterator[Block]:
        """Yields blocks as they arrive: `count` of them, or for `seconds`, or without end when neither is
        given. Raises TimeoutError when the board sends nothing for longer than its timeout."""
        end = None if seconds is None else time.monotonic() + seconds
        done = 0
        while (count is None or done < count) and (end is None or time.monotonic() < end):
            block = self.next_block()
            if block is None:
                raise TimeoutError(
                    f"no block from board {self.serial_number!r} within {self.timeout} s: is it streaming?")
            done += 1
            yield block

    def __iter__(self) -> Iterator[Block]:
        return self.blocks()

    def capture(self, blocks: int | None = None, seconds: float | None = None) -> Block:
        """Reads `blocks` blocks, or blocks for `seconds`, into one array of shape (rows, 5), int16."""
        if (blocks is None) == (seconds is None):
            raise ValueError("give either blocks or seconds")
        if blocks is not None:
            out = np.empty((blocks * self.samples_count, 5), dtype=np.int16)
            filled = 0
            for block in self.blocks(count=blocks):
                out[filled:filled + len(block)] = block
                filled += len(block)
            return out[:filled]
        parts = list(self.blocks(seconds=seconds))
        if not parts:
            return np.empty((0, 5), dtype=np.int16)
        return np.concatenate(parts)

    def raw(self, size: int, timeout: Timeout | EllipsisType = ...) -> bytes:
        """Up to `size` bytes of the stream as the chip delivers them, undecoded. Acquisition is stopped
        first and stays stopped; reading goes on until `size` bytes arrived or `timeout` (default: the
        board's) passed without any."""
        if size < 0:
            raise ValueError("size must not be negative")
        device = self._open()
        self.stop()
        seconds = self.timeout if timeout is ... else _seconds(timeout)
        out = bytearray()
        quiet_since = time.monotonic()
        while len(out) < size:
            chunk = device._get_raw_data(min(size - len(out), 1 << 20))
            if len(chunk):
                out += chunk.tobytes()
                quiet_since = time.monotonic()
            elif seconds is not None and time.monotonic() - quiet_since >= seconds:
                break
        return bytes(out)


def list_boards() -> list[str]:
    """Serial numbers of the attached boards."""
    return _pyzum_zezudi_vu.list_pcb_roq()


def _raise_if_absent(serial_number: str) -> None:
    """Says which boards there are when none answers to `serial_number` (a board opens by its serial's start)."""
    listed = list_boards()
    if any(serial.startswith(serial_number) for serial in listed):
        return
    if listed:
        raise NoBoardError(f"no board with serial {serial_number!r}; boards present: {', '.join(listed)}. "
                           + UDEV_HINT)
    raise NoBoardError(f"no board with serial {serial_number!r}: none is connected. " + UDEV_HINT)


@contextlib.contextmanager
def open_board(serial_number: str | None = None, samples_count: int = 4096, timeout: Timeout = 2.0,
               latency: int = 255) -> Iterator[Board]:
    """Opens a board for the `with` block and stops it on the way out, whatever happens inside.

    Without a serial number the first listed board is taken. `timeout` (seconds, a timedelta, or None for
    no bound) limits each wait for a block. Raises NoBoardError when no board is listed or the board did
    not open.
    """
    if serial_number is None:
        serials = list_boards()
        if not serials:
            raise NoBoardError(
                "No PCB_ROQ board found: no USB device with manufacturer \"ZUM\" and product \"PCB_ROQ\" is "
                "listed. Check the cable and the board's power. " + UDEV_HINT)
        serial_number = serials[0]
    device = _pyzum_zezudi_vu.PCB_ROQ(serial_number, samples_count, latency)
    if not device.opened():
        _raise_if_absent(serial_number)
        raise NoBoardError(
            f"PCB_ROQ board {serial_number!r} did not open: it is not attached, another program holds it, "
            "or this user may not access it. " + UDEV_HINT)
    board = Board(device, samples_count, timeout)
    try:
        yield board
    finally:
        board.close()
