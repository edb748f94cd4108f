"""What a board's acquisition counted: lost and damaged stream, for the user to check after every run."""
import dataclasses

import _pyzum_zezudi_vu_health


@dataclasses.dataclass(frozen=True)
class Health:
    """The counters of one board since it was opened (or, from `since`, of one run).

    Reads of the device: the stream bytes they returned, and how many returned all, fewer, or failed.
    Alignment: times the stream was found out of step and the bytes skipped to realign, and apart from them
    the bytes read before each run's first frame (a run begins wherever the stream is: nothing is lost
    there); frames decoded and,
    of those, copied although their own sync pair was wrong (only the first frame of a read decides); bytes
    of incomplete frames dropped. Blocks handed over, of those partly filled when a run ended (with their
    rows), and blocks a run ended with before filling a row (back to the pool). Seconds the acquisition
    thread waited for a free block: the reader fell behind, and the chip went unread meanwhile unless the
    transfers in flight covered it. The read path: transfers completed and failed, times every queued transfer
    was full (the chip had nowhere to write), transfers in flight now, and the most stream bytes ever received
    and not yet read; submissions the kernel refused for lack of memory for transfers in flight (the queue then
    holds fewer: its depth now), and stalls of the bulk endpoint cleared.
    """

    stream_bytes: int = 0
    full_reads: int = 0
    short_reads: int = 0
    failed_reads: int = 0
    resynchronisations: int = 0
    bytes_skipped: int = 0
    bytes_skipped_at_start: int = 0
    frames_decoded: int = 0
    frames_without_sync: int = 0
    partial_frame_bytes: int = 0
    blocks_delivered: int = 0
    partial_blocks: int = 0
    partial_block_rows: int = 0
    empty_blocks_returned: int = 0
    wait_for_block_s: float = 0.0
    transfers_completed: int = 0
    transfers_failed: int = 0
    transfers_ran_out: int = 0
    transfers_in_flight: int = 0
    most_held_bytes: int = 0
    transfers_refused: int = 0
    transfer_queue_depth: int = 0
    stalls_cleared: int = 0

    def since(self, earlier):
        """The difference to an earlier snapshot of the same board: one run's counters. Gauges (transfers in
        flight, the most held) keep this snapshot's value."""
        gauges = {"transfers_in_flight", "most_held_bytes", "transfer_queue_depth"}
        return Health(**{f.name: getattr(self, f.name) if f.name in gauges
                         else getattr(self, f.name) - getattr(earlier, f.name)
                         for f in dataclasses.fields(self)})

    def problems(self):
        """What shows that the stream arrived damaged or incomplete, one short phrase each; empty when nothing
        does. A realignment over a read that brought nothing, as while a board is silent, skips no byte and
        does not count."""
        found = []
        if self.bytes_skipped:
            found.append(f"{self.bytes_skipped} bytes skipped realigning the stream "
                         f"({self.resynchronisations} times out of step)")
        if self.frames_without_sync:
            found.append(f"{self.frames_without_sync} frames copied without their sync pair")
        if self.failed_reads:
            found.append(f"{self.failed_reads} reads failed")
        if self.transfers_failed:
            found.append(f"{self.transfers_failed} USB transfers failed")
        if self.transfers_ran_out:
            found.append(f"the USB transfers ran out {self.transfers_ran_out} times: the chip had nowhere to "
                         "write and may have dropped bytes")
        if self.transfers_refused:
            found.append(f"the kernel refused {self.transfers_refused} USB transfers for lack of memory "
                         "(usbfs_memory_mb): fewer were queued and the chip may have dropped bytes")
        if self.stalls_cleared:
            found.append(f"the board's bulk endpoint stalled {self.stalls_cleared} times")
        if self.wait_for_block_s:
            found.append(f"the reader fell behind: acquisition waited {self.wait_for_block_s:.3f} s for a "
                         "free block")
        return found

    @property
    def whole(self):
        """True when nothing shows that the stream arrived damaged or incomplete (see `problems`)."""
        return not self.problems()


def board_health(device):
    """A snapshot of the counters of `device`, an extension `PCB_ROQ`."""
    raw = _pyzum_zezudi_vu_health.counters(device)
    raw["wait_for_block_s"] = raw.pop("wait_for_block_ns") / 1e9
    return Health(**raw)
