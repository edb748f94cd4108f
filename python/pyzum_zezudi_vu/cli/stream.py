"""`python3 -m pyzum_zezudi_vu stream`: publishes a board's frames as a Lab Streaming Layer outlet."""
from ..progress import NoProgress, progress
from ..run import Run, open_boards, resolve_serials
from ..sinks.lsl_outlet import LslOutletSink
from .arguments import add_serial, add_timeout, positive_float, positive_int


def add_parser(sub):
    s = sub.add_parser(
        "stream", help="publish the board's frames on the lab network as a Lab Streaming Layer outlet",
        description="Publishes every frame as a Lab Streaming Layer stream of type \"PCB_ROQ\" (five int16 "
                    "channels, source_id = the serial number) that any LSL inlet or recorder on the network "
                    "finds by name or type. Every sample is stamped on LSL's clock where a line fitted to the "
                    "blocks' arrivals puts it: the board's own pace, without the lateness of a block lasting. "
                    "Ends after --seconds, on Ctrl-C or SIGTERM; "
                    "then prints the capture summary. liblsl's own settings (which network, which peers) come "
                    "from its configuration file, e.g. the one LSLAPICFG names.")
    add_serial(s)
    s.add_argument("--name", help="the stream's name (default: \"PCB_ROQ <serial>\")")
    s.add_argument("--seconds", type=positive_float, help="end after this many seconds (default: run until "
                                                          "Ctrl-C)")
    s.add_argument("--every", type=positive_int, default=1, metavar="N",
                   help="push only every N-th frame, for a network or an inlet slower than the board "
                        "(default: 1, every frame); the stream's description says so")
    s.add_argument("--rate-hz", type=positive_float,
                   help="the board's frame rate, frames per second, declared as the stream's nominal rate "
                        "(default: measured over the first second of blocks before the stream is offered)")
    add_timeout(s)
    s.add_argument("--samples-count", type=positive_int, default=16384, help="frames per block (default: 16384)")
    s.add_argument("--json", action="store_true", help="print the summary as one JSON object")


def run(args):
    """Streams until --seconds pass or Ctrl-C, then prints the summary; returns the exit status."""
    sink = LslOutletSink(args.name, args.rate_hz, args.every)
    serials = resolve_serials([args.serial] if args.serial else None)
    with open_boards(serials, args.samples_count, args.timeout) as boards:
        bar = progress(args.seconds, "s") if args.seconds is not None else NoProgress()
        shown = [0.0]

        def tick(elapsed):
            now = min(elapsed, args.seconds or 0.0)
            bar.update(now - shown[0])
            shown[0] = now
        try:
            result = Run(boards, [sink], seconds=args.seconds).execute(tick)
        finally:
            bar.close()
    return result.report(args.json)
