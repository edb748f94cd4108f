"""`python3 -m pyzum_zezudi_vu capture`."""
import json
import sys
import time

import numpy as np

from .board import NoBoardError, list_boards, open_board
from .frames import FrameCheck
from .h5_capture import capture
from .h5_writer import open_capture
from .npy_writer import NpyWriter
from .progress import NoProgress, progress
from .summary import mark_end, print_summary_lines, report, run_summary


H5_SUFFIXES = (".h5", ".hdf5")


def run(args):
    """Captures blocks, checks them and prints the summary; returns the exit status."""
    serials = args.serial or [None]
    if args.all:
        serials = list_boards()
        if not serials:
            raise NoBoardError("No PCB_ROQ board found: --all found nothing to capture.")
    to_h5 = bool(args.out) and args.out.lower().endswith(H5_SUFFIXES)
    if len(serials) > 1 and args.out and not to_h5:
        raise ValueError("several boards are captured into one HDF5 file: --out FILE.h5")
    if len(serials) > 1 and args.plot:
        raise ValueError("--plot draws one board: name one with --serial")
    if to_h5 or len(serials) > 1:
        return _run_threaded(args, serials)
    return _run_npy(args, serials[0])


def _run_threaded(args, serials):
    bar = progress(args.seconds, "s") if args.seconds is not None else NoProgress()
    shown = [0.0]

    def tick(elapsed):
        bar.update(min(elapsed, args.seconds or 0.0) - shown[0])
        shown[0] = min(elapsed, args.seconds or 0.0)

    try:
        summaries, interrupted = capture(serials, args.samples_count, args.timeout, args.blocks, args.seconds,
                                         args.out, tick)
    finally:
        bar.close()
    for summary in summaries:
        if args.out:
            summary["out"] = args.out
        mark_end(summary, interrupted=interrupted)
    if args.plot:
        _plot_from_h5(args, summaries[0])
    status = max(s["exit_status"] for s in summaries)
    if args.json:
        print(json.dumps(summaries[0] if len(summaries) == 1 else {"boards": summaries, "exit_status": status},
                         indent=2))
    else:
        for i, summary in enumerate(summaries):
            if i:
                print()
            print_summary_lines(summary)
    for summary in summaries:
        if "error" in summary:
            print(f"error: {summary['board']}: {summary['error']}", file=sys.stderr)
    return status


def _plot_from_h5(args, summary):
    from .plot import plot_channels
    if args.out:
        with open_capture(args.out) as f:
            rows = f[summary["board"]]["frames"][:args.plot_samples]
    else:
        rows = np.empty((0, 5), np.int16)  # nothing kept to draw from
    plot_channels(rows, args.plot, title=f"PCB_ROQ {summary['board']}: first {len(rows)} frames")
    summary["plot"] = args.plot


def _run_npy(args, serial):
    check = FrameCheck()
    writer = NpyWriter(args.out) if args.out else None
    plot_rows = []
    plotted = 0
    interrupted = False
    error = None
    with open_board(serial, args.samples_count, timeout=args.timeout) as board:
        serial = board.serial_number
        if args.blocks is not None:
            bar = progress(args.blocks, "block")
        else:
            bar = progress(args.seconds, "s")
        blocks = 0
        before = board.health()
        begin = time.monotonic()
        shown = begin
        try:
            for block in board.blocks(count=args.blocks, seconds=args.seconds):
                blocks += 1
                check.feed(block)
                if writer:
                    writer.append(block)
                if args.plot and plotted < args.plot_samples:
                    plot_rows.append(block[:args.plot_samples - plotted])
                    plotted += len(plot_rows[-1])
                if args.blocks is not None:
                    bar.update(1)
                else:
                    now = time.monotonic()
                    bar.update(min(now, begin + args.seconds) - shown)
                    shown = now
        except KeyboardInterrupt:
            interrupted = True  # what was captured so far is summed up and kept, as at a normal end
        except TimeoutError as e:
            error = e  # the board went quiet: the summary of what came before it still follows
        finally:
            elapsed = time.monotonic() - begin
            # Stopped at once: once the last block is taken the reader no longer keeps up, and the block in
            # hand is counted when acquisition ends.
            board.stop()
            health = board.health().since(before)
            bar.close()
            if writer:
                writer.close()
    summary = run_summary(serial, blocks, args.samples_count, check, elapsed, health)
    if writer:
        summary["out"] = args.out
    if args.plot:
        from .plot import plot_channels
        rows = np.concatenate(plot_rows) if plot_rows else np.empty((0, 5), np.int16)
        plot_channels(rows, args.plot, title=f"PCB_ROQ {serial}: first {len(rows)} frames")
        summary["plot"] = args.plot
    return report(mark_end(summary, error, interrupted), args.json)
