"""Publishes a board's frames as a Lab Streaming Layer outlet, each block stamped on LSL's clock from its
arrival."""
from __future__ import annotations

import sys
import time

from .. import lsl
from ..frames import WORDS, carries_counter, frame_indices
from ..sink import Sink
from ..versions import package_version

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
    desc.append_child_value("version", package_version())
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


class LslOutletSink(Sink):
    """One board's frames as an outlet of type PCB_ROQ (source_id the serial), made at its first block, which
    tells whether words 0 and 1 carry the frame counter."""

    def __init__(self, name=None, rate_hz=BOARD_FRAME_RATE, every=1):
        lsl.configure(OUTLET_RESERVE)  # also says what to install before the board is opened
        self.name = name
        self.rate_hz = rate_hz
        self.every = every
        self._outlet = None
        self._pusher = None
        self._samples_count = None

    def begin(self, boards):
        if len(boards) != 1:
            raise ValueError("a stream publishes one board: name it with --serial")
        self._samples_count = boards[0].samples_count
        self.name = self.name or f"PCB_ROQ {boards[0].serial_number}"

    def take(self, serial, block, arrival_ns, arrival_utc_ns):
        arrival = lsl.local_clock()
        if self._outlet is None:
            with stream_info(self.name, serial, self.rate_hz, self.every, self._samples_count,
                             carries_counter(block)) as info:
                self._outlet = lsl.StreamOutlet(info, BUFFERED_SECONDS)
            self._pusher = BlockPusher(self._outlet.push_chunk, self.rate_hz, self.every)
            print(f"streaming \"{self.name}\" (type {STREAM_TYPE}, source_id {serial}); Ctrl-C ends it",
                  file=sys.stderr, flush=True)
        self._pusher.push(block, arrival)

    def end(self, result):
        pushed = self._pusher.pushed if self._pusher else 0
        stream = {"name": self.name, "type": STREAM_TYPE, "source_id": result.board,
                  "nominal_rate_hz": self.rate_hz / self.every, "every": self.every, "frames_pushed": pushed}
        if result.check.numbered and self._pusher is not None and self._pusher.last is not None:
            # The frame counter of the last frame pushed, for an inlet to see that it missed none at the end.
            stream["last_frame_counter"] = int(frame_indices(self._pusher.last)[0])
        result.details["stream"] = stream
        result.lines += [("stream name", f"{self.name} (type {STREAM_TYPE}, source_id {result.board})"),
                         ("frames pushed", f"{pushed}" + (f" (every {self.every}-th frame)" if self.every > 1
                                                          else "")
                          + f" at a nominal {stream['nominal_rate_hz']:.6g} Hz")]

    def close(self):
        if self._outlet is not None:
            if self._outlet.have_consumers():
                time.sleep(LINGER_S)
            self._outlet.close()
