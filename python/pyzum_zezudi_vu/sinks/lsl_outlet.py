"""Publishes a board's frames as a Lab Streaming Layer outlet, each frame stamped on LSL's clock by the board's
clock as its blocks' arrivals show it."""
from __future__ import annotations

import sys
import time

import numpy as np

from .. import lsl
from ..frames import BOARD_FRAME_RATE, WORDS, carries_counter, channel_labels, frame_indices
from ..sink import Sink
from ..versions import package_version
from .board_clock import MIN_FIT_S, SLEW, BoardClock

STREAM_TYPE = "PCB_ROQ"
# Blocks whose arrivals measure the rate before the stream is offered, at the least (besides MIN_FIT_S).
MEASURE_BLOCKS = 3
# What the outlet keeps for an inlet that reads slower than the board: enough to ride out a pause of the
# reading program, small enough at 3.3 million frames a second to fit in memory.
BUFFERED_SECONDS = 2
# liblsl sets aside samples for 5 s of a stream's nominal rate when it makes an outlet: a gigabyte and
# seconds of work at 40 MB/s. A tenth of that serves as well (more are made as they are needed); a
# configuration file that sets its own value keeps it.
OUTLET_RESERVE = {"OutletBufferReserveMs": 500}
# The last frames pushed are still on their way to the inlets when the stream ends; withdrawing the outlet
# at once would cut them off.
LINGER_S = 1.0


def stream_info(name, serial, board_rate, rate_source, every, samples_count, numbered):
    """The stream's info: identity, channels and a description a recorder keeps with the data."""
    info = lsl.StreamInfo(name, STREAM_TYPE, WORDS, board_rate / every, serial)
    desc = info.desc()
    desc.append_child_value("manufacturer", "ZUM")
    desc.append_child_value("model", "PCB_ROQ")
    desc.append_child_value("serial_number", serial)
    desc.append_child_value("software", "pyzum_zezudi_vu")
    desc.append_child_value("version", package_version())
    desc.append_child_value("board_rate_hz", repr(float(board_rate)))
    desc.append_child_value("board_rate_source", rate_source)
    desc.append_child_value("board_rate", RATE_SOURCES[rate_source])
    desc.append_child_value("time_stamps", TIME_STAMPS)
    desc.append_child_value("frames_per_block", samples_count)
    if every > 1:
        desc.append_child_value("every", every)
        desc.append_child_value("decimation", f"only every {every}-th frame of the board is pushed")
    channels = desc.append_child("channels")
    for label in channel_labels(numbered):
        channels.append_child("channel").append_child_value("label", label).append_child_value("format", "int16")
    return info


RATE_SOURCES = {
    "measured": f"measured from the arrivals of the first {MIN_FIT_S:g} s of blocks, before the stream was offered",
    "declared": "declared with --rate-hz",
    "assumed": "assumed (40 MB/s): the stream ended before its rate could be measured",
}
TIME_STAMPS = ("every sample carries its own stamp on LSL's clock: a line fitted to the arrivals of the "
               "board's blocks (slope: the board's frame rate, fitted continuously; height: the earliest "
               f"arrivals), which the stamps follow without stepping back, their spacing within {SLEW:.0%} of "
               "the fitted one; no smoothing (dejitter) is needed on the receiving side")


class BlockPusher:
    """Pushes blocks (every `every`-th frame of the stream), each frame stamped where the board's clock puts
    it; the stamps of a block follow on from those of the block before."""

    def __init__(self, push, clock: BoardClock, every: int) -> None:
        self._push = push
        self._clock = clock
        self._every = every
        self._phase = 0   # frames to skip at the start of the next block to keep every `every`-th
        self._frames = 0  # frames of the stream before the next block
        self.pushed = 0
        self.last = None  # the last frame pushed, shape (1, 5)

    def push(self, block) -> None:
        rows = len(block)
        start = self._phase
        chosen = block[start::self._every] if self._every > 1 else block
        self._phase = (start - rows) % self._every
        stamps = self._clock.stamps(self._frames, rows)
        self._frames += rows
        if len(chosen) == 0:
            return
        self._push(chosen, stamps.at(start + self._every * np.arange(len(chosen), dtype=np.float64)))
        self.pushed += len(chosen)
        self.last = chosen[-1:]


class LslOutletSink(Sink):
    """One board's frames as an outlet of type PCB_ROQ (source_id the serial). Without a declared rate the
    blocks of the first MIN_FIT_S seconds are held while their arrivals measure it; the outlet is made then
    (its first block tells whether words 0 and 1 carry the frame counter) and they go out first."""

    def __init__(self, name=None, rate_hz=None, every=1):
        lsl.configure(OUTLET_RESERVE)  # also says what to install before the board is opened
        self.name = name
        self.declared_rate_hz = rate_hz
        self.rate_hz = rate_hz
        self.rate_source = "declared" if rate_hz else None
        self.every = every
        self._clock = BoardClock(rate_hz)
        self._frames = 0
        self._waiting = []  # blocks held until the rate is measured
        self._outlet = None
        self._pusher = None
        self._samples_count = None

    def begin(self, boards):
        if len(boards) != 1:
            raise ValueError("a stream publishes one board: name it with --serial")
        self._samples_count = boards[0].samples_count
        self.name = self.name or f"PCB_ROQ {boards[0].serial_number}"
        if self.rate_source is None:
            print(f"measuring the board's frame rate over {MIN_FIT_S:g} s before the stream is offered",
                  file=sys.stderr, flush=True)

    def _measured(self):
        return len(self._waiting) >= MEASURE_BLOCKS and self._clock.measured_span >= MIN_FIT_S

    def _open(self, serial):
        if self.rate_source is None:
            fitted = self._clock.fitted_rate_hz
            self.rate_source = "measured" if fitted else "assumed"
            self.rate_hz = fitted or BOARD_FRAME_RATE
            self._clock.assume(self.rate_hz)
        with stream_info(self.name, serial, self.rate_hz, self.rate_source, self.every, self._samples_count,
                         carries_counter(self._waiting[0])) as info:
            self._outlet = lsl.StreamOutlet(info, BUFFERED_SECONDS)
        self._pusher = BlockPusher(self._outlet.push_chunk, self._clock, self.every)
        print(f"streaming \"{self.name}\" (type {STREAM_TYPE}, source_id {serial}) at a nominal "
              f"{self.rate_hz:.6g} frames/s ({self.rate_source}); Ctrl-C ends it", file=sys.stderr, flush=True)
        waiting, self._waiting = self._waiting, []
        for block in waiting:
            self._pusher.push(block)

    # The board's reading thread; a failure to push leaves the blocks before it pushed.
    def take(self, serial, block, arrival_ns, arrival_utc_ns):
        arrival = lsl.local_clock()
        self._frames += len(block)
        self._clock.observe(self._frames, arrival)
        if self._pusher is not None:
            self._pusher.push(block)
            return
        self._waiting.append(block)
        if self.rate_source is not None or self._measured():
            self._open(serial)

    # The board's reading thread, after its last block: a stream shorter than the measurement goes out now.
    def end(self, result):
        if self._pusher is None and self._waiting:
            self._open(result.board)
        pushed = self._pusher.pushed if self._pusher else 0
        stream = {"name": self.name, "type": STREAM_TYPE, "source_id": result.board,
                  "nominal_rate_hz": (self.rate_hz or 0.0) / self.every, "board_rate_hz": self.rate_hz,
                  "board_rate_source": self.rate_source, "fitted_rate_hz": self._clock.fitted_rate_hz,
                  "stamp_jumps": self._clock.jumps, "every": self.every, "frames_pushed": pushed}
        if result.check.numbered and self._pusher is not None and self._pusher.last is not None:
            # The frame counter of the last frame pushed, for an inlet to see that it missed none at the end.
            stream["last_frame_counter"] = int(frame_indices(self._pusher.last)[0])
        result.details["stream"] = stream
        fitted = self._clock.fitted_rate_hz
        result.lines += [("stream name", f"{self.name} (type {STREAM_TYPE}, source_id {result.board})"),
                         ("frames pushed", f"{pushed}" + (f" (every {self.every}-th frame)" if self.every > 1
                                                          else "")
                          + f" at a nominal {stream['nominal_rate_hz']:.6g} Hz"),
                         ("board's frame rate", "not known: no block arrived" if self.rate_hz is None else
                          f"{self.rate_hz:.6g} frames/s {self.rate_source}"
                          + (f", {fitted:.6g} fitted to the blocks' arrivals" if fitted else ""))]

    def close(self):
        if self._outlet is not None:
            if self._outlet.have_consumers():
                time.sleep(LINGER_S)
            self._outlet.close()
