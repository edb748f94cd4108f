"""`python3 -m pyzum_zezudi_vu capture`: reads boards, checks every frame, records them to a file."""
import contextlib
import os
import sys

from ..plot import FirstRows, plot_channels
from ..progress import progress
from ..run import Run, open_boards, resolve_serials
from ..sinks.hdf5 import hdf5_sink
from ..sinks.npy import NpySink
from .arguments import add_timeout, check_writable, positive_float, positive_int

FORMATS = {".npy": "npy", ".h5": "hdf5", ".hdf5": "hdf5"}


def add_parser(sub):
    c = sub.add_parser("capture", help="capture blocks of samples, check the frame counter, save or plot them")
    which = c.add_mutually_exclusive_group()
    which.add_argument("--serial", action="append",
                       help="serial number of a board (default: the first listed); repeat it for several boards, "
                            "each read on its own thread into one HDF5 file")
    which.add_argument("--all", action="store_true", help="capture every listed board")
    add_timeout(c)
    amount = c.add_mutually_exclusive_group(required=True)
    amount.add_argument("--blocks", type=positive_int, help="number of blocks to capture")
    amount.add_argument("--seconds", type=positive_float, help="capture for this many seconds")
    c.add_argument("--samples-count", type=positive_int, default=4096, help="frames per block (default: 4096)")
    c.add_argument("--out", metavar="FILE.npy|FILE.h5",
                   help="write all samples, int16 of shape (frames, 5): .npy, or HDF5 (.h5, .hdf5) with the "
                        "board's identity, block arrival times, its counters and the verdict, one group per "
                        "board. An existing file of that name is replaced only once the board's first block "
                        "arrived: a capture that fails to start leaves it as it was. Should the capture be "
                        "killed, `python3 -m pyzum_zezudi_vu repair FILE.h5` lets every HDF5 tool open what it "
                        "wrote")
    c.add_argument("--plot", metavar="FILE.png", help="draw the five channels of the first frames")
    c.add_argument("--plot-samples", type=positive_int, default=4096,
                   help="frames drawn by --plot (default: 4096)")
    c.add_argument("--json", action="store_true",
                   help="print the summary as one JSON object instead of lines of text")


def format_of(path):
    """The recording format `path` names by its suffix; anything else is refused with the list."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in FORMATS:
        raise ValueError(f"--out {path}: unknown format {suffix or '(no suffix)'!r}; recordings are .npy "
                         "(one board) or HDF5: .h5, .hdf5")
    return FORMATS[suffix]


def run(args):
    """Captures blocks, checks them and prints the summary; returns the exit status."""
    fmt = format_of(args.out) if args.out else None
    serials = resolve_serials(args.serial, args.all)
    if len(serials) > 1 and fmt == "npy":
        raise ValueError("several boards are captured into one HDF5 file: --out FILE.h5")
    if len(serials) > 1 and args.plot:
        raise ValueError("--plot draws one board: name one with --serial")
    if args.out:
        check_writable(args.out, "--out")
    if args.plot:
        check_writable(args.plot, "--plot")
    with contextlib.ExitStack() as stack:
        boards = _open(stack, serials, args.samples_count, args.timeout)
        sinks = []
        if fmt == "hdf5":
            sinks.append(hdf5_sink(args.out, [b.serial_number for b in boards], args.samples_count))
            print(f"recording to {args.out}; should this capture be killed, `python3 -m pyzum_zezudi_vu repair "
                  f"{args.out}` lets every HDF5 tool open what it wrote", file=sys.stderr)
        elif fmt == "npy":
            sinks.append(NpySink(args.out))
        plotted = FirstRows(args.plot_samples) if args.plot else None
        if plotted:
            sinks.append(plotted)
        run_ = Run(boards, sinks, args.blocks, args.seconds)
        if args.blocks is not None:
            bar, ticks = progress(args.blocks, "block"), ("blocks", args.blocks)
        else:
            bar, ticks = progress(args.seconds, "s"), ("seconds", args.seconds)
        shown = [0.0]

        def tick(elapsed):
            now = (min(run_.results[0].blocks, ticks[1]) if ticks[0] == "blocks" else min(elapsed, ticks[1]))
            bar.update(now - shown[0])
            shown[0] = now
        try:
            result = run_.execute(tick)
        except MemoryError:
            raise ValueError(_too_large(args.samples_count)) from None
        finally:
            bar.close()
    if plotted:
        rows = plotted.rows()
        first = result.boards[0]
        try:
            plot_channels(rows, args.plot, title=f"PCB_ROQ {first.board}: first {len(rows)} frames")
        except (OSError, RuntimeError, ValueError) as e:  # the recording stands: the summary still says so
            first.lines.append(("plot not written", str(e)))
        else:
            first.details["plot"] = args.plot
            first.lines.append(("plot written to", args.plot))
    return result.report(args.json)


def _too_large(samples_count):
    pool = 64 * samples_count * 10
    return (f"--samples-count {samples_count}: blocks of {samples_count} frames are too large for this machine's "
            f"memory (the board keeps 64 of them, {pool / 1e9:.1f} GB); choose a smaller --samples-count")


def _open(stack, serials, samples_count, timeout):
    """The opened boards, let go with `stack`; a block size the memory cannot hold is said in plain words."""
    try:
        return stack.enter_context(open_boards(serials, samples_count, timeout))
    except MemoryError:
        raise ValueError(_too_large(samples_count)) from None
