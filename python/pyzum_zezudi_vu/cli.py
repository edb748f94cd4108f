"""python3 -m pyzum_zezudi_vu: list boards, capture blocks, watch them live, read raw bytes."""
import argparse
import dataclasses
import json
import sys
import time

import numpy as np

from .board import NoBoardError, list_boards, open_board
from .frames import FRAME_BYTES, FrameCheck, frames_in_raw, sync_errors
from .npy_writer import NpyWriter

EXIT_NO_BOARD = 2
EXIT_FRAMES_LOST = 3
EXIT_NO_DISPLAY = 4
EXIT_INTERRUPTED = 130


def _progress(total, unit):
    """A tqdm bar on a terminal; elsewhere (or without tqdm) an object that ignores updates."""
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            return _NoProgress()
        bar_format = "{l_bar}{bar}| {n:.1f}/{total:.1f} s" if unit == "s" else None
        return tqdm(total=total, unit=unit, leave=False, dynamic_ncols=True, bar_format=bar_format)
    return _NoProgress()


class _NoProgress:
    def update(self, n=1):
        pass

    def close(self):
        pass


def cmd_list(args):
    serials = list_boards()
    if not serials:
        print("No PCB_ROQ board found.", file=sys.stderr)
        return EXIT_NO_BOARD
    for serial in serials:
        print(serial)
    return 0


def cmd_capture(args):
    check = FrameCheck()
    writer = NpyWriter(args.out) if args.out else None
    plot_rows = []
    plotted = 0
    interrupted = False
    error = None
    with open_board(args.serial, args.samples_count, timeout=args.timeout) as board:
        serial = board.serial_number
        if args.blocks is not None:
            bar = _progress(args.blocks, "block")
        else:
            bar = _progress(args.seconds, "s")
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


def print_summary(serial, blocks, samples_count, check, elapsed, health=None):
    """The lines that end a capture (and a view); returns the exit status they stand for."""
    summary = run_summary(serial, blocks, samples_count, check, elapsed, health)
    print_summary_lines(summary)
    return summary["exit_status"]


def cmd_view(args):
    from .view import run
    return run(args)


def cmd_raw(args):
    with open_board(args.serial, timeout=args.timeout) as board:
        data = board.raw(args.bytes)
    with open(args.out, "wb") as f:
        f.write(data)
    print(f"{len(data)} bytes written to {args.out}")
    if len(data) < args.bytes:
        print(f"the board sent only {len(data)} of {args.bytes} bytes within {args.timeout} s", file=sys.stderr)
    offset, words = frames_in_raw(data)
    if len(words):
        check = FrameCheck()
        check.feed(words)
        print(f"frames               {len(words)} from byte {offset}, "
              f"{sync_errors(data, offset)} without the sync pair")
        print(f"lost frames          {check.summary()}")
    return 0


def _positive_int(text):
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be a positive integer")
    return value


def _non_negative_int(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def _positive_float(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be a positive number")
    return value


def parser():
    p = argparse.ArgumentParser(
        prog="python3 -m pyzum_zezudi_vu",
        description="Lists PCB_ROQ boards and captures their stream.",
        epilog=f"Exit status: 0 done, {EXIT_NO_BOARD} no board (or it did not open), "
               f"{EXIT_FRAMES_LOST} the stream did not arrive whole (bytes skipped, frames without their sync "
               f"pair, failed reads, the reader fell behind, frames lost or out of order), "
               f"{EXIT_NO_DISPLAY} no display for the view, {EXIT_INTERRUPTED} interrupted.")
    sub = p.add_subparsers(dest="command", required=True)

    sub.add_parser("list", help="print the serial numbers of the attached boards")

    def board_options(q):
        q.add_argument("--serial", help="serial number of the board (default: the first listed)")
        q.add_argument("--timeout", type=_positive_float, default=2.0,
                       help="seconds to wait for data before giving up (default: 2)")

    c = sub.add_parser("capture", help="capture blocks of samples, check the frame counter, save or plot them")
    board_options(c)
    amount = c.add_mutually_exclusive_group(required=True)
    amount.add_argument("--blocks", type=_positive_int, help="number of blocks to capture")
    amount.add_argument("--seconds", type=_positive_float, help="capture for this many seconds")
    c.add_argument("--samples-count", type=_positive_int, default=4096, help="frames per block (default: 4096)")
    c.add_argument("--out", metavar="FILE.npy", help="write all samples, int16 of shape (frames, 5)")
    c.add_argument("--plot", metavar="FILE.png", help="draw the five channels of the first frames")
    c.add_argument("--plot-samples", type=_positive_int, default=4096,
                   help="frames drawn by --plot (default: 4096)")
    c.add_argument("--json", action="store_true",
                   help="print the summary as one JSON object instead of lines of text")

    v = sub.add_parser("view", help="show the five channels scrolling in a window while every block is read",
                       description="Shows the newest frames of the five words in five scrolling panels, "
                                   "about 20 times a second, while a reader thread takes every block at the "
                                   "board's rate and checks the frame counter. Ends when the window is "
                                   "closed, on Ctrl-C or after --seconds; then prints the capture summary.")
    board_options(v)
    # Larger blocks than capture's: the pool of 64 then bridges 0.3 s at 40 MB/s, for a machine busy elsewhere.
    v.add_argument("--samples-count", type=_positive_int, default=16384,
                   help="frames per block (default: 16384)")
    v.add_argument("--window", type=_positive_int, metavar="FRAMES", default=16384,
                   help="frames shown, the newest (default: 16384)")
    v.add_argument("--seconds", type=_positive_float, help="end after this many seconds (default: run until "
                                                           "the window is closed or Ctrl-C)")
    v.add_argument("--snapshot", metavar="FILE.png",
                   help="save the window's last picture on exit; without a display it is drawn off screen")

    r = sub.add_parser("raw", help="write raw stream bytes, undecoded, to a file")
    board_options(r)
    r.add_argument("--bytes", type=_non_negative_int, required=True, help="number of bytes to read")
    r.add_argument("--out", metavar="FILE", required=True, help="file to write the bytes to")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    command = {"list": cmd_list, "capture": cmd_capture, "view": cmd_view, "raw": cmd_raw}[args.command]
    try:
        return command(args)
    except NoBoardError as e:
        print(f"error: {e}", file=sys.stderr)
        return EXIT_NO_BOARD
    except (TimeoutError, ValueError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
