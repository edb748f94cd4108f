"""`python3 -m pyzum_zezudi_vu stream`: publishes a board's frames as a Lab Streaming Layer outlet."""
import signal
import sys
import time
from importlib import metadata

import numpy as np

from . import lsl
from .board import open_board
from .frames import WORDS, FrameCheck, frame_indices
from .progress import NoProgress, progress
from .summary import mark_end, report, run_summary

STREAM_TYPE = "PCB_ROQ"
BOARD_FRAME_RATE = 40e6 / 12  # frames per second of a board streaming 40 MB/s, 12 bytes per frame
# What the outlet keeps for an inlet that reads slower than the board: enough to ride out a pause of the
# reading program, small enough at 3.3 million frames a second to fit in memory.
BUFFERED_SECONDS = 2
# How far the stamps may be held later than the blocks' arrival says, to keep them increasing after a block
# handed over late. Beyond it the board runs faster than its nominal rate, and the clock wins.
MOST_HELD_S = 0.5
# liblsl sets aside samples for 5 s of a stream's nominal rate when it makes an outlet: a gigabyte and
# seconds of work at 40 MB/s. A tenth of that serves as well (more are made as they are needed); a
# configuration file that sets its own value keeps it.
OUTLET_RESERVE = {"OutletBufferReserveMs": 500}
# The last frames pushed are still on their way to the inlets when the stream ends; withdrawing the outlet
# at once would cut them off.
LINGER_S = 1.0


def add_parser(sub, positive_int, positive_float):
    s = sub.add_parser(
        "stream", help="publish the board's frames on the lab network as a Lab Streaming Layer outlet",
        description="Publishes every frame as a Lab Streaming Layer stream of type \"PCB_ROQ\" (five int16 "
                    "channels, source_id = the serial number) that any LSL inlet or recorder on the network "
                    "finds by name or type. Each block is stamped on LSL's clock from the moment it is handed "
                    "over, less its duration at the board's rate. Ends after --seconds or on Ctrl-C; then "
                    "prints the capture summary. liblsl's own settings (which network, which peers) come "
                    "from its configuration file, e.g. the one LSLAPICFG names.")
    s.add_argument("--serial", help="serial number of the board (default: the first listed)")
    s.add_argument("--name", help="the stream's name (default: \"PCB_ROQ <serial>\")")
    s.add_argument("--seconds", type=positive_float, help="end after this many seconds (default: run until "
                                                          "Ctrl-C)")
    s.add_argument("--every", type=positive_int, default=1, metavar="N",
                   help="push only every N-th frame, for a network or an inlet slower than the board "
                        "(default: 1, every frame); the stream's description says so")
    s.add_argument("--rate-hz", type=positive_float, default=BOARD_FRAME_RATE,
                   help=f"the board's frame rate, frames per second (default: {BOARD_FRAME_RATE:.6g}, 40 MB/s)")
    s.add_argument("--timeout", type=positive_float, default=2.0,
                   help="seconds to wait for data before giving up (default: 2)")
    s.add_argument("--samples-count", type=positive_int, default=16384, help="frames per block (default: 16384)")
    s.add_argument("--json", action="store_true", help="print the summary as one JSON object")
    return s


def _package_version():
    try:
        return metadata.version("pyzum_zezudi_vu")
    except metadata.PackageNotFoundError:
        return "from the source tree"


def channel_labels(numbered):
    labels = [f"word{i}" for i in range(WORDS)]
    if numbered:
        labels[0], labels[1] = "frame_counter_low", "frame_counter_high"
    return labels


def stream_info(name, serial, board_rate, every, samples_count, numbered):
    """The stream's info: identity, channels and a description a recorder keeps with the data."""
    info = lsl.StreamInfo(name, STREAM_TYPE, WORDS, board_rate / every, serial)
    desc = info.desc()
    desc.append_child_value("manufacturer", "ZUM")
    desc.append_child_value("model", "PCB_ROQ")
    desc.append_child_value("serial_number", serial)
    desc.append_child_value("software", "pyzum_zezudi_vu")
    desc.append_child_value("version", _package_version())
    desc.append_child_value("board_rate_hz", repr(float(board_rate)))
    desc.append_child_value("frames_per_block", samples_count)
    if every > 1:
        desc.append_child_value("every", every)
        desc.append_child_value("decimation", f"only every {every}-th frame of the board is pushed")
    channels = desc.append_child("channels")
    for label in channel_labels(numbered):
        channels.append_child("channel").append_child_value("label", label).append_child_value("format", "int16")
    return info


class BlockPusher:
    """Pushes blocks (every `every`-th frame of the stream) with stamps taken from their arrival.

    Frame i of a block of n that arrived at `arrival` is stamped arrival - (n - i) / rate: the block's frames
    came in over its duration at the board's rate and it was handed over once full. Only the first pushed
    frame of each block carries its stamp; inlets deduce the rest at the nominal rate. A block handed over
    late would make the next block's stamps step back: they are held at the frame after the last one
    instead, by at most MOST_HELD_S.
    """

    def __init__(self, push, board_rate, every):
        self._push = push
        self._rate = board_rate
        self._every = every
        self._phase = 0          # frames to skip at the start of the next block to keep every `every`-th
        self._next_stamp = None  # the stamp the frame after the last pushed one would be deduced to have
        self.pushed = 0
        self.last = None         # the last frame pushed, shape (1, 5)

    def push(self, block, arrival):
        rows = len(block)
        start = self._phase
        chosen = block[start::self._every] if self._every > 1 else block
        self._phase = (start - rows) % self._every
        if len(chosen) == 0:
            return
        stamp = arrival - (rows - start) / self._rate
        if self._next_stamp is not None and self._next_stamp - MOST_HELD_S <= stamp < self._next_stamp:
            stamp = self._next_stamp
        self._push(chosen, stamp)
        self.pushed += len(chosen)
        self.last = chosen[-1:]
        self._next_stamp = stamp + len(chosen) * self._every / self._rate


class _CtrlC:
    """Ctrl-C noted rather than raised while streaming: the block in hand is pushed and counted before the
    stream ends (raised inside a push, the count would miss a block that went out)."""

    def __enter__(self):
        self.pressed = False
        try:
            self._previous = signal.signal(signal.SIGINT, self._note)
        except ValueError:  # not the main thread: Ctrl-C raises there as usual
            self._previous = None
        return self

    def _note(self, signum, frame):
        self.pressed = True

    def __exit__(self, *exc):
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


def run(args):
    """Streams until --seconds pass or Ctrl-C, then prints the summary; returns the exit status."""
    lsl.configure(OUTLET_RESERVE)  # also says what to install before the board is opened
    check = FrameCheck()
    blocks = 0
    interrupted = False
    error = None
    outlet = None
    pusher = None
    with open_board(args.serial, args.samples_count, timeout=args.timeout) as board:
        serial = board.serial_number
        name = args.name or f"PCB_ROQ {serial}"
        bar = progress(args.seconds, "s") if args.seconds is not None else NoProgress()
        before = board.health()
        begin = shown = time.monotonic()
        ctrl_c = _CtrlC()
        try:
            with ctrl_c:
                for block in board.blocks(seconds=args.seconds):
                    arrival = lsl.local_clock()
                    blocks += 1
                    check.feed(block)
                    if outlet is None:
                        # Made once the first block tells whether words 0 and 1 carry the frame counter.
                        with stream_info(name, serial, args.rate_hz, args.every, args.samples_count,
                                         check.numbered) as info:
                            outlet = lsl.StreamOutlet(info, BUFFERED_SECONDS)
                        pusher = BlockPusher(outlet.push_chunk, args.rate_hz, args.every)
                        print(f"streaming \"{name}\" (type {STREAM_TYPE}, source_id {serial}); Ctrl-C ends it",
                              file=sys.stderr, flush=True)
                    pusher.push(block, arrival)
                    if args.seconds is not None:
                        now = time.monotonic()
                        bar.update(min(now, begin + args.seconds) - shown)
                        shown = now
                    if ctrl_c.pressed:
                        break
        except KeyboardInterrupt:
            interrupted = True  # the stream ends as at --seconds: summed up, the outlet withdrawn
        except TimeoutError as e:
            error = e
        finally:
            interrupted = interrupted or ctrl_c.pressed
            elapsed = time.monotonic() - begin
            board.stop()
            health = board.health().since(before)
            bar.close()
            if outlet is not None:
                if outlet.have_consumers():
                    time.sleep(LINGER_S)
                outlet.close()
    summary = run_summary(serial, blocks, args.samples_count, check, elapsed, health)
    summary["stream"] = {"name": name, "type": STREAM_TYPE, "source_id": serial,
                         "nominal_rate_hz": args.rate_hz / args.every, "every": args.every,
                         "frames_pushed": pusher.pushed if pusher else 0}
    if check.numbered and pusher is not None and pusher.last is not None:
        # The frame counter of the last frame pushed, for an inlet to see that it missed none at the end.
        summary["stream"]["last_frame_counter"] = int(frame_indices(pusher.last)[0])
    stream = summary["stream"]
    stream_lines = [("stream name", f"{stream['name']} (type {stream['type']}, source_id {stream['source_id']})"),
                    ("frames pushed", f"{stream['frames_pushed']}"
                     + (f" (every {args.every}-th frame)" if args.every > 1 else "")
                     + f" at a nominal {stream['nominal_rate_hz']:.6g} Hz")]
    return report(mark_end(summary, error, interrupted), args.json, stream_lines)
