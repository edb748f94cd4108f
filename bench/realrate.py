"""One real-rate run: simulated boards streaming at a real chip's rate, one reader thread per board, one host
condition. Prints one JSON line.

What it measures, from the first block each reader received on: the share of the stream the chip lost (the
simulator's counters: bytes that found the FIFO full, against those plus the bytes delivered), the rows
delivered out of step (a row whose frame counter is not its predecessor's plus one), and the process's CPU
time as a share of one core.

    PYZUM_RR_READER     module | pylibftdi | ftdi1
    PYZUM_RR_BOARDS     how many boards (SIM0001 ...), one reader thread each
    PYZUM_RR_PAUSE      1: every 100 blocks the reader holds the interpreter for 30 ms
    PYZUM_BENCH_SECONDS how long each reader reads after its first block
The simulated bus itself (rate, FIFO) comes from PCB_ROQ_SIM, set by tools/run_bench.py.
"""
import json
import os
import sys
import threading
import time

import numpy as np

import pcb_roq_sim
from e2e_common import READ_BYTES, SAMPLES_COUNT

READER = os.environ.get("PYZUM_RR_READER", "module")
BOARDS = int(os.environ.get("PYZUM_RR_BOARDS", "1"))
PAUSE = os.environ.get("PYZUM_RR_PAUSE") == "1"
DURATION = float(os.environ.get("PYZUM_BENCH_SECONDS", "60"))
PAUSE_EVERY, PAUSE_SECONDS = 100, 0.030


def hold_interpreter(seconds):
    """Busy for `seconds` without releasing the interpreter, as Python code that computes does."""
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


class Stream:
    """What one reader received from one board."""

    def __init__(self, index):
        self.device = pcb_roq_sim.Simulator().device(index)
        self.start = None
        self.began = None
        self.rows = 0
        self.blocks = 0
        self.out_of_step = 0
        self.last = None
        self.created = time.monotonic()

    def feed(self, block):
        if self.start is None:
            s = self.device.stats
            self.start = (s.bytes_lost, s.bytes_delivered)
            self.began = time.monotonic()
        words = block.astype(np.uint16).astype(np.uint32)
        index = words[:, 0] | (words[:, 1] << 16)
        if self.last is not None:
            index = np.concatenate(([self.last], index))
        self.out_of_step += int(np.count_nonzero(np.diff(index) != 1))
        self.last = index[-1]
        self.rows += len(block)
        self.blocks += 1
        if PAUSE and self.blocks % PAUSE_EVERY == 0:
            hold_interpreter(PAUSE_SECONDS)

    def done(self):
        if self.began is None:
            # A peer whose reads always come with gaps never completes a block of contiguous frames: it gives
            # up, and the row says that it received none.
            return time.monotonic() - self.created >= max(60.0, 6 * DURATION)
        return time.monotonic() - self.began >= DURATION

    def result(self):
        s = self.device.stats
        lost = s.bytes_lost - self.start[0]
        delivered = s.bytes_delivered - self.start[1]
        return {"lost_bytes": lost, "stream_bytes": lost + delivered, "rows": self.rows,
                "out_of_step_rows": self.out_of_step, "seconds": round(time.monotonic() - self.began, 3)}


def module_reader(index, stream):
    import _pyzum_zezudi_vu as m

    board = m.PCB_ROQ(f"SIM{index + 1:04d}", SAMPLES_COUNT)
    board.timeout = 5.0
    board.start()
    try:
        while not stream.done():
            block = board.samples
            if block is None:
                raise RuntimeError("no block within 5 s")
            stream.feed(block)
    finally:
        board.stop()


def pylibftdi_reader(index, stream):
    from pylibftdi import INTERFACE_A, Device
    from numpy_decoder import NumpyFrameDecoder

    # auto_detach would reach the real libusb past the simulator (see e2e_pylibftdi.py).
    device = Device(f"SIM{index + 1:04d}", interface_select=INTERFACE_A, auto_detach=False)
    device.ftdi_fn.ftdi_set_bitmode(0xFF, 0x40)
    device.ftdi_fn.ftdi_set_latency_timer(255)
    device.flush()
    decoder = NumpyFrameDecoder(SAMPLES_COUNT)
    try:
        while not stream.done():
            for block in decoder.feed(device.read(READ_BYTES)):
                stream.feed(block)
    finally:
        device.close()


def ftdi1_reader(index, stream):
    import ftdi1
    from e2e_ftdi1 import open_by_serial
    from numpy_decoder import NumpyFrameDecoder

    ctx = ftdi1.new()
    ftdi1.set_interface(ctx, ftdi1.INTERFACE_A)
    open_by_serial(ctx, f"SIM{index + 1:04d}")
    ftdi1.set_bitmode(ctx, 0xFF, ftdi1.BITMODE_SYNCFF)
    ftdi1.set_latency_timer(ctx, 255)
    ftdi1.tcioflush(ctx)
    decoder = NumpyFrameDecoder(SAMPLES_COUNT)
    try:
        while not stream.done():
            ret, data = ftdi1.read_data(ctx, READ_BYTES)
            if ret < 0:
                raise RuntimeError(f"read_data: {ftdi1.get_error_string(ctx)}")
            for block in decoder.feed(data[:ret]):
                stream.feed(block)
    finally:
        ftdi1.usb_close(ctx)
        ftdi1.free(ctx)


def main():
    reader = {"module": module_reader, "pylibftdi": pylibftdi_reader, "ftdi1": ftdi1_reader}[READER]
    streams = [Stream(i) for i in range(BOARDS)]
    errors = []

    def run(i):
        try:
            reader(i, streams[i])
        except BaseException as e:  # noqa: BLE001 - reported in the result
            errors.append(f"board {i}: {e!r}")

    wall0, cpu0 = time.monotonic(), time.process_time()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(BOARDS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall, cpu = time.monotonic() - wall0, time.process_time() - cpu0
    boards = [s.result() for s in streams if s.start is not None]
    lost = sum(b["lost_bytes"] for b in boards)
    stream = sum(b["stream_bytes"] for b in boards)
    result = {"name": READER, "boards": BOARDS, "pause": PAUSE,
              "lost_share": lost / stream if stream else None, "lost_bytes": lost, "stream_bytes": stream,
              "rows": sum(b["rows"] for b in boards),
              "out_of_step_rows": sum(b["out_of_step_rows"] for b in boards),
              "cpu_share": round(cpu / wall, 3), "per_board": boards}
    if errors or len(boards) < BOARDS:
        result["error"] = "; ".join(errors) or "a reader received no block"
    print(json.dumps(result), flush=True)


sys.exit(main())
