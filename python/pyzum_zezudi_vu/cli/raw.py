"""`python3 -m pyzum_zezudi_vu raw`: raw stream bytes, undecoded, to a file."""
import sys

from ..board import open_board
from ..frames import FrameCheck, frames_in_raw, sync_errors
from .arguments import add_serial, add_timeout, non_negative_int


def add_parser(sub):
    r = sub.add_parser("raw", help="write raw stream bytes, undecoded, to a file")
    add_serial(r)
    add_timeout(r)
    r.add_argument("--bytes", type=non_negative_int, required=True, help="number of bytes to read")
    r.add_argument("--out", metavar="FILE", required=True, help="file to write the bytes to")


def run(args):
    """Writes raw stream bytes to a file; returns the exit status."""
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
