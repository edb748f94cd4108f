"""python3 -m pyzum_zezudi_vu: parses the command line and runs one command, each in a module of its own."""
import argparse
import importlib
import sys

from ..board import NoBoardError
from ..exit_codes import EXIT_FRAMES_LOST, EXIT_INTERRUPTED, EXIT_NO_BOARD, EXIT_NO_DISPLAY, EXIT_WRITE_FAILED

# The module of each command, in the order --help lists them.
COMMANDS = {"list": "list", "capture": "capture", "view": "view", "raw": "raw", "doctor": "doctor",
            "stream": "stream", "repair": "repair"}

__all__ = ["EXIT_FRAMES_LOST", "EXIT_INTERRUPTED", "EXIT_NO_BOARD", "EXIT_NO_DISPLAY", "EXIT_WRITE_FAILED", "main",
           "parser"]


def _command(name):
    return importlib.import_module(f".{COMMANDS[name]}", __name__)


def parser():
    p = argparse.ArgumentParser(
        prog="python3 -m pyzum_zezudi_vu",
        description="Lists PCB_ROQ boards, captures their stream and checks what keeps them from working.",
        epilog=f"Exit status: 0 done, {EXIT_NO_BOARD} no board (or it did not open), "
               f"{EXIT_FRAMES_LOST} the stream did not arrive whole (bytes skipped, frames without their sync "
               f"pair, failed reads, the reader fell behind, frames lost or out of order), "
               f"{EXIT_NO_DISPLAY} no display for the view, {EXIT_WRITE_FAILED} the recording could not be "
               f"written (a full disk: what was written is kept and marked, or removed), {EXIT_INTERRUPTED} "
               f"interrupted by Ctrl-C (143 by SIGTERM, 129 by SIGHUP: the summary is printed and files closed "
               f"as at a normal end), 1 any other error; doctor: 0 all ok, 1 a warning, 2 a problem.")
    sub = p.add_subparsers(dest="command", required=True)
    for name in COMMANDS:
        _command(name).add_parser(sub)
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return _command(args.command).run(args)
    except NoBoardError as e:
        print(f"error: {e}", file=sys.stderr)
        return EXIT_NO_BOARD
    except (TimeoutError, ValueError, OSError, RuntimeError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
