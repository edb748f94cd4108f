"""What a run hands its blocks to: a file, a lab-network outlet, the view's ring."""
from __future__ import annotations


class Sink:
    """Takes the blocks of a run. Each method says which thread calls it; an exception raised by `take`,
    `refresh` or `end` ends the whole run as failed, with that board's result naming it."""

    # The main thread, once, before any board is read: the opened boards (`Board`s), in the run's order.
    def begin(self, boards) -> None:
        pass

    # The board's reading thread, once per block in the order they arrived: `block` int16 (rows, 5), its
    # arrival on the monotonic clock and in UTC, in nanoseconds. The block is the sink's to keep.
    def take(self, serial: str, block, arrival_ns: int, arrival_utc_ns: int) -> None:
        raise NotImplementedError

    # The board's reading thread, about every quarter second: its counters of the run so far.
    def refresh(self, serial: str, health) -> None:
        pass

    # The board's reading thread, after its last block: its `BoardResult` (a sink may add details and lines).
    def end(self, result) -> None:
        pass

    # The main thread, once every board has ended (also after a failure): what is still held goes out.
    def close(self) -> None:
        pass
