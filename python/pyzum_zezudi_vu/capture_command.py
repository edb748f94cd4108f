"""`python3 -m pyzum_zezudi_vu capture`."""
import json
import sys
import time

import numpy as np

from .board import open_board
from .exit_codes import EXIT_INTERRUPTED
from .frames import FrameCheck
from .npy_writer import NpyWriter
from .progress import progress
from .summary import print_summary_lines, run_summary


def run(args):
    """Captures blocks, checks them and prints the summary; returns the exit status."""
    check = FrameCheck()
    writer = NpyWriter(args.out) if args.out else None
    plot_rows = []
    plotted = 0
    interrupted = False
    error = None
    with open_board(args.serial, args.samples_count, timeout=args.timeout) as board:
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
    if error is not None:
        summary["error"] = str(error)
        summary["whole"] = False
        summary["problems"].append("the board stopped sending")
        summary["exit_status"] = 1
    if interrupted:
        summary["interrupted"] = True
        summary["exit_status"] = EXIT_INTERRUPTED
    if args.json:
        print(json.dumps(summary, indent=2))
    else:
        print_summary_lines(summary)
    if error is not None:
        print(f"error: {error}", file=sys.stderr)
    return summary["exit_status"]
