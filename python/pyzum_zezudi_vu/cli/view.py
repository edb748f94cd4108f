"""`python3 -m pyzum_zezudi_vu view`: the five channels scrolling in a window while every block is read."""
import sys

from ..board import open_board
from ..exit_codes import EXIT_NO_DISPLAY
from ..result import SIGNAL_NAMES
from ..run import Run
from ..view import (POOL_BLOCKS, _SWITCH_INTERVAL, FrameRing, RingSink, Screen, ViewOfRun, _follow,
                    _lower_priority, _offscreen_figure, _restore_priority, _show, has_display, open_window,
                    stop_signals)
from .arguments import add_serial, add_timeout, positive_float, positive_int


def add_parser(sub):
    v = sub.add_parser("view", help="show the five channels scrolling in a window while every block is read",
                       description="Shows the newest frames of the five words in five scrolling panels, "
                                   "about 20 times a second, while a reader thread takes every block at the "
                                   "board's rate and checks the frame counter. Ends when the window is "
                                   "closed, on Ctrl-C, SIGTERM or SIGHUP, or after --seconds; then prints the "
                                   "capture summary.")
    add_serial(v)
    add_timeout(v)
    # Larger blocks than capture's: the pool of 64 then bridges 0.3 s at 40 MB/s, for a machine busy elsewhere.
    v.add_argument("--samples-count", type=positive_int, default=16384,
                   help="frames per block (default: 16384)")
    v.add_argument("--window", type=positive_int, metavar="FRAMES", default=16384,
                   help="frames shown, the newest (default: 16384)")
    v.add_argument("--seconds", type=positive_float, help="end after this many seconds (default: run until "
                                                          "the window is closed or Ctrl-C)")
    v.add_argument("--snapshot", metavar="FILE.png",
                   help="save the window's last picture on exit; without a display it is drawn off screen")


def run(args):
    """`python3 -m pyzum_zezudi_vu view`: returns the exit status."""
    # Ctrl-C, SIGTERM and SIGHUP are ways to end the view: the summary follows as for the others.
    with stop_signals() as stopped:
        return _view(args, stopped)


def _view(args, stopped):
    try:
        import matplotlib  # noqa: F401
    except ImportError as e:
        raise RuntimeError("view needs matplotlib (Debian: python3-matplotlib)") from e
    figsize = (10, 8)
    window = args.window
    figure = None
    if has_display():
        figure, reason = open_window(figsize)
    else:
        reason = "DISPLAY is not set"
    windowed = figure is not None
    if not windowed:
        if not args.snapshot:
            print(f"no display ({reason}): the view needs a window; --snapshot FILE.png renders without one",
                  file=sys.stderr)
            return EXIT_NO_DISPLAY
        print(f"no display ({reason}): the snapshot is drawn off screen", file=sys.stderr)
        figure = _offscreen_figure(figsize)
    previous_switch = sys.getswitchinterval()
    sys.setswitchinterval(_SWITCH_INTERVAL)
    try:
        with open_board(args.serial, args.samples_count, timeout=args.timeout) as board:
            screen = Screen(figure, board.serial_number, window)
            sink = RingSink(FrameRing(window))
            run_ = Run([board], [sink])
            reader = ViewOfRun(run_, sink)
            run_.start()
            # After the run's reader started: only the drawing thread gives way.
            previous_nice = _lower_priority()
            try:
                if windowed:
                    _show(figure, screen, reader, args.seconds, stopped)
                else:
                    _follow(screen, reader, args.seconds, stopped)
            finally:
                run_.stop()
                result = run_.wait()
                _restore_priority(previous_nice)
            screen.settle(reader)
            if args.snapshot:
                figure.savefig(args.snapshot, dpi=100)
    finally:
        sys.setswitchinterval(previous_switch)
        if windowed:
            import matplotlib.pyplot as plt
            plt.close(figure)
    status = result.report()
    elapsed = result.boards[0].seconds
    shown = screen.refreshes / elapsed if elapsed > 0 else 0.0
    print(f"refreshes            {screen.refreshes} ({shown:.1f} per s)")
    behind = f"{sink.times_behind} times" if sink.times_behind else "never"
    print(f"reader behind        {behind} (acquisition waited for one of the pool's {POOL_BLOCKS} blocks)")
    if args.snapshot:
        print(f"snapshot written to  {args.snapshot}")
    if stopped:
        print(f"ended by             {SIGNAL_NAMES.get(stopped[0], stopped[0])}")
    return status
