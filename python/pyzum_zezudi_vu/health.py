"""What a board's acquisition counted: lost and damaged stream, for the user to check after every run.

The counters, their kinds and their meanings come from the board's own table (`COUNTERS`), which the
health extension exports; `Health` has one field per row, in its order.
"""
from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any, ClassVar, NamedTuple

import _pyzum_zezudi_vu_health


class Counter(NamedTuple):
    """One of the board's counters."""

    name: str
    kind: str
    """"count" (grows: one run's is a difference), "seconds" (the same, in seconds) or "gauge" (a value now,
    or the most ever: one run's is the later snapshot's)."""
    shows_damage: bool
    """Whether any of it in a run means the stream did not arrive whole."""
    meaning: str


COUNTERS: tuple[Counter, ...] = tuple(Counter(*row) for row in _pyzum_zezudi_vu_health.COUNTERS)
"""Every counter of a board, in the order of `Health`'s fields."""

# What `Health.problems` says of a counter that shows damage; `{h}` is the snapshot. A counter without a
# phrase here is named with its value.
_PROBLEMS = {
    "bytes_skipped": "{h.bytes_skipped} bytes skipped realigning the stream ({h.resynchronisations} times out of "
                     "step)",
    "frames_without_sync": "{h.frames_without_sync} frames copied without their sync pair",
    "failed_reads": "{h.failed_reads} reads failed",
    "transfers_failed": "{h.transfers_failed} USB transfers failed",
    "transfers_ran_out": "the USB transfers ran out {h.transfers_ran_out} times: the chip had nowhere to write "
                         "and may have dropped bytes",
    "transfers_refused": "the kernel refused {h.transfers_refused} USB transfers for lack of memory "
                         "(usbfs_memory_mb): fewer were queued and the chip may have dropped bytes",
    "stalls_cleared": "the board's bulk endpoint stalled {h.stalls_cleared} times",
    "wait_for_block_s": "the reader fell behind: acquisition waited {h.wait_for_block_s:.3f} s for a free block",
}


class _Snapshot:
    """What every `Health` can do; its fields come from `COUNTERS`."""

    COUNTERS: ClassVar[tuple[Counter, ...]] = COUNTERS

    if TYPE_CHECKING:
        # The fields are made from the table at import time; to a type checker each is a number.
        def __init__(self, **counters: int | float) -> None: ...
        def __getattr__(self, name: str) -> int | float: ...

    def since(self, earlier: Health) -> Health:
        """The difference to an earlier snapshot of the same board: one run's counters. Gauges (transfers in
        flight, the most held, the queue's depth) keep this snapshot's value."""
        return Health(**{c.name: getattr(self, c.name) if c.kind == "gauge"
                         else getattr(self, c.name) - getattr(earlier, c.name) for c in COUNTERS})

    def problems(self) -> list[str]:
        """What shows that the stream arrived damaged or incomplete, one short phrase each; empty when nothing
        does. A realignment over a read that brought nothing, as while a board is silent, skips no byte and
        does not count."""
        return [_PROBLEMS.get(c.name, f"{{h.{c.name}}} {c.name}").format(h=self)
                for c in COUNTERS if c.shows_damage and getattr(self, c.name)]

    @property
    def whole(self) -> bool:
        """True when nothing shows that the stream arrived damaged or incomplete (see `problems`)."""
        return not self.problems()

    def items(self) -> list[tuple[Counter, int | float]]:
        """Each counter with its value, in the table's order."""
        return [(c, getattr(self, c.name)) for c in COUNTERS]


if TYPE_CHECKING:
    class Health(_Snapshot):
        """A frozen snapshot of a board's counters."""
else:
    Health = dataclasses.make_dataclass(
        "Health",
        [(c.name, float if c.kind == "seconds" else int,
          dataclasses.field(default=0.0 if c.kind == "seconds" else 0)) for c in COUNTERS],
        bases=(_Snapshot,), frozen=True, module=__name__)
Health.__doc__ = """The counters of one board since it was opened (or, from `since`, of one run): one field per
row of `COUNTERS`, named as it is; ``Health.COUNTERS`` gives the rows with their meanings."""


def board_health(device: Any) -> Health:
    """A snapshot of the counters of `device`, an extension `PCB_ROQ`."""
    return Health(**_pyzum_zezudi_vu_health.counters(device))
