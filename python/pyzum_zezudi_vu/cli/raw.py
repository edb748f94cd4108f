"""`python3 -m pyzum_zezudi_vu raw`: raw stream bytes, undecoded, to a file."""
import sys

from ..board import open_board
from ..frames import FRAME_BYTES, FrameCheck, frame_words, frames_in_raw, sync_errors
from .arguments import add_serial, add_timeout, check_writable, non_negative_int

PIECE = 1 << 20  # bytes read and written at a time: memory stays small whatever --bytes asks for


def add_parser(sub):
    r = sub.add_parser("raw", help="write raw stream bytes, undecoded, to a file")
    add_serial(r)
    add_timeout(r)
    r.add_argument("--bytes", type=non_negative_int, required=True, help="number of bytes to read")
    r.add_argument("--out", metavar="FILE", required=True,
                   help="file to write the bytes to, as they are read")


class RawReport:
    """The frames of a stream fed piece by piece: where the first begins, how many lack the sync pair, and
    the frame counter's check, as if the whole stream had been looked at at once."""

    def __init__(self):
        self.offset = None
        self.frames = 0
        self.without_sync = 0
        self.check = FrameCheck()
        self._rest = b""  # the start of a frame the last piece cut off

    def feed(self, piece):
        data = self._rest + piece
        if self.offset is None:
            if len(data) < FRAME_BYTES:
                self._rest = data
                return
            self.offset, _ = frames_in_raw(data)
            start = self.offset
        else:
            start = 0
        words = frame_words(data, start)
        whole = len(words) * FRAME_BYTES
        self.without_sync += sync_errors(data[start:start + whole], 0)
        self.frames += len(words)
        if len(words):
            self.check.feed(words)
        self._rest = data[start + whole:]


def run(args):
    """Writes raw stream bytes to a file as they are read; returns the exit status."""
    check_writable(args.out, "--out")
    report = RawReport()
    written = 0
    with open_board(args.serial, timeout=args.timeout) as board, open(args.out, "wb") as f:
        while written < args.bytes:
            asked = min(PIECE, args.bytes - written)
            piece = board.raw(asked)
            f.write(piece)
            written += len(piece)
            if piece:
                report.feed(piece)
            if len(piece) < asked:
                break  # the board sent nothing for its timeout
    print(f"{written} bytes written to {args.out}")
    if written < args.bytes:
        print(f"the board sent only {written} of {args.bytes} bytes within {args.timeout} s", file=sys.stderr)
    if report.frames:
        print(f"frames               {report.frames} from byte {report.offset}, "
              f"{report.without_sync} without the sync pair")
        print(f"lost frames          {report.check.summary()}")
    return 0
