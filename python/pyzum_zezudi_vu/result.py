"""What a run of one or more boards ends with: for each board the figures, its counters and the verdict, with
the exit status they stand for, as lines of text or as JSON."""
from __future__ import annotations

import dataclasses
import json
import signal
import sys

from .exit_codes import EXIT_FRAMES_LOST, EXIT_INTERRUPTED, EXIT_WRITE_FAILED
from .frames import FRAME_BYTES, FrameCheck
from .health import Health

# How a run ended, as the file and the summary record it.
ENDED_AS_ASKED = "as asked"          # its blocks or seconds were read, or the caller stopped it
ENDED_QUIET = "the board stopped sending"
ENDED_FAILED = "failed"              # a sink (a file, an outlet) could not take a block
ENDED_WRITE_FAILED = "writing failed"  # the recording could not be written (a full disk): its error says why
ENDED_COMPLETED = "completed"        # how a file records a run that ended as asked

# A run ended by a signal exits as a shell reports a process that signal ended: 128 + its number.
SIGNAL_NAMES = {signal.SIGINT: "Ctrl-C", signal.SIGTERM: "SIGTERM", signal.SIGHUP: "SIGHUP"}


def signal_exit_status(signum):
    return EXIT_INTERRUPTED if signum == signal.SIGINT else 128 + int(signum)


@dataclasses.dataclass
class BoardResult:
    """One board's run: what was read (`check` followed its frames), its counters of the run and how it ended.

    `error` says what ended it early (a quiet board, a failed write); `signal` is the signal that ended the
    whole run, if one did. `kept` counts the frames the sinks took; `not_kept` the frames decoded after the
    last block asked for (`--blocks`), which no sink saw. `details` holds what a sink adds (the file written,
    the stream published), `lines` the text lines it adds, pairs of label and value.
    """
    board: str
    samples_count: int
    blocks: int = 0
    check: FrameCheck = dataclasses.field(default_factory=FrameCheck)
    seconds: float = 0.0
    health: Health | None = None
    ended: str = ENDED_AS_ASKED
    error: str | None = None
    signal: int | None = None
    not_kept: int = 0
    details: dict = dataclasses.field(default_factory=dict)
    lines: list = dataclasses.field(default_factory=list)

    @property
    def problems(self) -> list[str]:
        found = list(self.health.problems()) if self.health is not None else []
        check = self.check
        if check.numbered and check.lost:
            found.append(f"{check.lost} frames missing from the frame counter")
        if check.numbered and check.out_of_order:
            found.append(f"{check.out_of_order} frames out of order by the frame counter")
        if self.ended == ENDED_QUIET:
            found.append("the board stopped sending")
        elif self.ended == ENDED_FAILED:
            found.append(f"the run failed: {self.error}")
        elif self.ended == ENDED_WRITE_FAILED:
            found.append(self.error or ENDED_WRITE_FAILED)
        return found

    @property
    def whole(self) -> bool:
        return not self.problems

    @property
    def verdict(self) -> str:
        problems = self.problems
        return "NOT whole: " + "; ".join(problems) if problems else "arrived whole"

    @property
    def exit_status(self) -> int:
        if self.signal is not None:
            return signal_exit_status(self.signal)
        if self.ended == ENDED_WRITE_FAILED:
            return EXIT_WRITE_FAILED
        if self.ended != ENDED_AS_ASKED:
            return 1
        return EXIT_FRAMES_LOST if self.problems else 0

    @property
    def how_ended(self) -> str:
        """How the run ended, as a file records it: the signal that stopped it, "completed", or why it ended."""
        if self.signal is not None:
            return SIGNAL_NAMES.get(self.signal, str(self.signal))
        return ENDED_COMPLETED if self.ended == ENDED_AS_ASKED else self.ended

    def write_failed(self, reason: str) -> None:
        """Marks the run as ended by its recording's failure, unless an earlier one is already recorded."""
        if self.ended != ENDED_WRITE_FAILED:
            self.ended, self.error = ENDED_WRITE_FAILED, f"writing failed: {reason}"

    @property
    def rate_mb_s(self) -> float:
        return round(self.check.frames * FRAME_BYTES / 1e6 / self.seconds, 3) if self.seconds > 0 else 0.0

    def as_dict(self) -> dict:
        check = self.check
        out = {
            "board": self.board,
            "blocks": self.blocks,
            "samples_count": self.samples_count,
            "frames": check.frames,
            "seconds": round(self.seconds, 6),
            "rate_mb_s": self.rate_mb_s,
            "frame_counter": ({"checked": True, "lost": check.lost, "out_of_order": check.out_of_order}
                              if check.numbered else {"checked": False}),
            "health": dataclasses.asdict(self.health) if self.health is not None else None,
            "whole": self.whole,
            "problems": self.problems,
            "ended": self.ended,
            "exit_status": self.exit_status,
        }
        if self.not_kept:
            out["frames_not_kept"] = self.not_kept
        if self.error is not None:
            out["error"] = self.error
        if self.signal is not None:
            out["interrupted"] = True
            out["signal"] = SIGNAL_NAMES.get(self.signal, str(self.signal))
        out.update(self.details)
        return out

    def text(self) -> str:
        """The result as aligned lines, one figure each."""
        out = []

        def line(label, value):
            out.append(f"{label:<21}{value}")

        check = self.check
        line("board", self.board)
        line("blocks", f"{self.blocks} of {self.samples_count} frames")
        line("frames", check.frames)
        line("time", f"{self.seconds:.2f} s")
        line("rate", f"{self.rate_mb_s:.1f} MB/s (stream bytes, {FRAME_BYTES} per frame)")
        if check.numbered:
            line("lost frames", check.lost)
            line("out-of-order frames", check.out_of_order)
        else:
            line("lost frames", "not checked (no frame counter in words 0 and 1)")
        h = self.health
        if h is not None:
            line("stream bytes", f"{h.stream_bytes} in {h.full_reads} full, {h.short_reads} short and "
                                 f"{h.failed_reads} failed reads")
            line("realigned", f"{h.resynchronisations} times, {h.bytes_skipped} bytes skipped "
                              f"(and {h.bytes_skipped_at_start} before the first frame: where the run began)")
            line("frames without sync", h.frames_without_sync)
            line("incomplete frames", f"{h.partial_frame_bytes} bytes dropped")
            line("blocks handed over", f"{h.blocks_delivered}, {h.partial_blocks} partly filled when "
                                       f"acquisition stopped ({h.partial_block_rows} rows), "
                                       f"{h.empty_blocks_returned} unfilled back to the pool")
            line("waited for blocks", f"{h.wait_for_block_s:.3f} s")
            line("USB transfers", f"{h.transfers_completed} completed, {h.transfers_failed} failed, ran out "
                                  f"{h.transfers_ran_out} times; at most {h.most_held_bytes} bytes received "
                                  "and not yet read")
            line("USB queue", f"{h.transfers_refused} transfers refused by the kernel, "
                              f"{h.transfer_queue_depth} queued at the end; {h.stalls_cleared} stalls cleared")
        if self.not_kept:
            line("not kept", f"{self.not_kept} frames decoded after the last block asked for")
        if self.whole and h is None and not check.numbered:
            line("stream", "not checked (no counters, no frame counter)")
        else:
            line("stream", self.verdict)
        for label, value in self.lines:
            line(label, value)
        if self.signal is not None:
            line("interrupted", f"the run ended early ({SIGNAL_NAMES.get(self.signal, self.signal)})")
        return "\n".join(out)


@dataclasses.dataclass
class RunResult:
    """Every board's result of one run, in the order the boards were named."""
    boards: list[BoardResult]

    @property
    def exit_status(self) -> int:
        statuses = [b.exit_status for b in self.boards]
        signalled = [s for s, b in zip(statuses, self.boards) if b.signal is not None]
        return (signalled or [max(statuses, default=0)])[0]

    @property
    def whole(self) -> bool:
        return all(b.whole for b in self.boards)

    def as_json(self) -> str:
        if len(self.boards) == 1:
            return json.dumps(self.boards[0].as_dict(), indent=2)
        return json.dumps({"boards": [b.as_dict() for b in self.boards], "exit_status": self.exit_status},
                          indent=2)

    def as_text(self) -> str:
        return "\n\n".join(b.text() for b in self.boards)

    def report(self, as_json=False, out=None) -> int:
        """Prints the result (JSON or text) and each board's error on stderr; returns the exit status."""
        print(self.as_json() if as_json else self.as_text(), file=out or sys.stdout)
        for b in self.boards:
            if b.error is not None:
                prefix = f"{b.board}: " if len(self.boards) > 1 else ""
                print(f"error: {prefix}{b.error}", file=sys.stderr)
        return self.exit_status
