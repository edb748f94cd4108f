"""python3 -m pyzum_zezudi_vu: parses the command line and runs one command (list, capture, view, raw, doctor)."""
import argparse
import importlib
import sys

from . import stream_command
from .board import NoBoardError
from .exit_codes import EXIT_FRAMES_LOST, EXIT_INTERRUPTED, EXIT_NO_BOARD, EXIT_NO_DISPLAY

# The module that runs each command, imported only when its command is asked for (the view's drags in matplotlib).
COMMANDS = {"list": "listing", "capture": "capture_command", "view": "view", "raw": "raw", "doctor": "doctor",
            "stream": "stream_command"}


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
        description="Lists PCB_ROQ boards, captures their stream and checks what keeps them from working.",
        epilog=f"Exit status: 0 done, {EXIT_NO_BOARD} no board (or it did not open), "
               f"{EXIT_FRAMES_LOST} the stream did not arrive whole (bytes skipped, frames without their sync "
               f"pair, failed reads, the reader fell behind, frames lost or out of order), "
               f"{EXIT_NO_DISPLAY} no display for the view, {EXIT_INTERRUPTED} interrupted; "
               f"doctor: 0 all ok, 1 a warning, 2 a problem.")
    sub = p.add_subparsers(dest="command", required=True)

    sub.add_parser("list", help="print the serial numbers of the attached boards")

    def board_options(q):
        q.add_argument("--serial", help="serial number of the board (default: the first listed)")
        q.add_argument("--timeout", type=_positive_float, default=2.0,
                       help="seconds to wait for data before giving up (default: 2)")

    c = sub.add_parser("capture", help="capture blocks of samples, check the frame counter, save or plot them")
    which = c.add_mutually_exclusive_group()
    which.add_argument("--serial", action="append",
                       help="serial number of a board (default: the first listed); repeat it for several boards, "
                            "each read on its own thread into one HDF5 file")
    which.add_argument("--all", action="store_true", help="capture every listed board")
    c.add_argument("--timeout", type=_positive_float, default=2.0,
                   help="seconds to wait for data before giving up (default: 2)")
    amount = c.add_mutually_exclusive_group(required=True)
    amount.add_argument("--blocks", type=_positive_int, help="number of blocks to capture")
    amount.add_argument("--seconds", type=_positive_float, help="capture for this many seconds")
    c.add_argument("--samples-count", type=_positive_int, default=4096, help="frames per block (default: 4096)")
    c.add_argument("--out", metavar="FILE.npy|FILE.h5",
                   help="write all samples, int16 of shape (frames, 5): .npy, or HDF5 (.h5, .hdf5) with the "
                        "board's identity, block arrival times, its counters and the verdict, one group per board")
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

    d = sub.add_parser("doctor", help="check the boards, their access, link and libraries; say what to do",
                       description="Checks every FTDI device on the USB bus without opening it (speed, kernel "
                                   "driver, strings), whether this user may open each board and whether another "
                                   "program holds it, usbfs_memory_mb and the library versions; then streams "
                                   "from each board that opens. One line per check: ok, warning or problem, "
                                   "with the thing to do. Exit status 0 all ok, 1 a warning, 2 a problem.")
    d.add_argument("--serial", help="stream from this board only (default: every board that opens)")
    d.add_argument("--seconds", type=_positive_float, default=5.0,
                   help="seconds of the streaming test (default: 5)")
    d.add_argument("--json", action="store_true", help="print the checks as one JSON object")
    stream_command.add_parser(sub, _positive_int, _positive_float)
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    command = importlib.import_module(f".{COMMANDS[args.command]}", __package__)
    try:
        return command.run(args)
    except NoBoardError as e:
        print(f"error: {e}", file=sys.stderr)
        return EXIT_NO_BOARD
    except (TimeoutError, ValueError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
