"""The summary a capture (and a view) ends with: figures, the board's counters, the verdict."""
import dataclasses
import json
import sys

from .exit_codes import EXIT_FRAMES_LOST, EXIT_INTERRUPTED
from .frames import FRAME_BYTES


def run_summary(serial, blocks, samples_count, check, elapsed, health=None):
    """What a capture (or a view) ends with, as a dict that JSON can carry: the figures, the board's
    counters of the run (`health`, a `Health`, when the board has them), whether the stream arrived whole
    and the exit status that stands for."""
    problems = list(health.problems()) if health is not None else []
    if check.numbered and check.lost:
        problems.append(f"{check.lost} frames missing from the frame counter")
    if check.numbered and check.out_of_order:
        problems.append(f"{check.out_of_order} frames out of order by the frame counter")
    summary = {
        "board": serial,
        "blocks": blocks,
        "samples_count": samples_count,
        "frames": check.frames,
        "seconds": round(elapsed, 6),
        "rate_mb_s": round(check.frames * FRAME_BYTES / 1e6 / elapsed, 3) if elapsed > 0 else 0.0,
        "frame_counter": ({"checked": True, "lost": check.lost, "out_of_order": check.out_of_order}
                          if check.numbered else {"checked": False}),
        "health": dataclasses.asdict(health) if health is not None else None,
        "whole": not problems,
        "problems": problems,
        "exit_status": EXIT_FRAMES_LOST if problems else 0,
    }
    return summary


def print_summary_lines(summary):
    """The summary as aligned lines of text, one figure each."""
    def line(label, value):
        print(f"{label:<21}{value}")

    line("board", summary["board"])
    line("blocks", f"{summary['blocks']} of {summary['samples_count']} frames")
    line("frames", summary["frames"])
    line("time", f"{summary['seconds']:.2f} s")
    line("rate", f"{summary['rate_mb_s']:.1f} MB/s (stream bytes, {FRAME_BYTES} per frame)")
    counter = summary["frame_counter"]
    if counter["checked"]:
        line("lost frames", counter["lost"])
        line("out-of-order frames", counter["out_of_order"])
    else:
        line("lost frames", "not checked (no frame counter in words 0 and 1)")
    h = summary["health"]
    if h is not None:
        line("stream bytes", f"{h['stream_bytes']} in {h['full_reads']} full, {h['short_reads']} short and "
                             f"{h['failed_reads']} failed reads")
        line("realigned", f"{h['resynchronisations']} times, {h['bytes_skipped']} bytes skipped "
                          f"(and {h['bytes_skipped_at_start']} before the first frame: where the run began)")
        line("frames without sync", h["frames_without_sync"])
        line("incomplete frames", f"{h['partial_frame_bytes']} bytes dropped")
        line("blocks handed over", f"{h['blocks_delivered']}, {h['partial_blocks']} partly filled when "
                                   f"acquisition stopped ({h['partial_block_rows']} rows), "
                                   f"{h['empty_blocks_returned']} unfilled back to the pool")
        line("waited for blocks", f"{h['wait_for_block_s']:.3f} s")
        line("USB transfers", f"{h['transfers_completed']} completed, {h['transfers_failed']} failed, ran out "
                              f"{h['transfers_ran_out']} times; at most {h['most_held_bytes']} bytes received "
                              "and not yet read")
        line("USB queue", f"{h['transfers_refused']} transfers refused by the kernel, "
                          f"{h['transfer_queue_depth']} queued at the end; {h['stalls_cleared']} stalls cleared")
    if summary["whole"]:
        line("stream", "arrived whole" if h is not None or counter["checked"]
             else "not checked (no counters, no frame counter)")
    else:
        line("stream", "NOT whole: " + "; ".join(summary["problems"]))
    if "out" in summary:
        line("samples written to", summary["out"])
    if "plot" in summary:
        line("plot written to", summary["plot"])
    if summary.get("interrupted"):
        line("interrupted", "the capture ended early (Ctrl-C)")


def mark_end(summary, error=None, interrupted=False):
    """Records how a run ended: a board that stopped sending (`error`) leaves the stream not whole, Ctrl-C
    has an exit status of its own."""
    if error is not None:
        summary["error"] = str(error)
        summary["whole"] = False
        summary["problems"].append("the board stopped sending")
        summary["exit_status"] = 1
    if interrupted:
        summary["interrupted"] = True
        summary["exit_status"] = EXIT_INTERRUPTED
    return summary


def report(summary, as_json, more_lines=()):
    """Prints a run's summary (as JSON, or as lines followed by `more_lines`, pairs of label and value), the
    error that ended it on stderr, and returns its exit status."""
    if as_json:
        print(json.dumps(summary, indent=2))
    else:
        print_summary_lines(summary)
        for label, value in more_lines:
            print(f"{label:<21}{value}")
    if "error" in summary:
        print(f"error: {summary['error']}", file=sys.stderr)
    return summary["exit_status"]


def print_summary(serial, blocks, samples_count, check, elapsed, health=None):
    """The lines that end a capture (and a view); returns the exit status they stand for."""
    summary = run_summary(serial, blocks, samples_count, check, elapsed, health)
    print_summary_lines(summary)
    return summary["exit_status"]
