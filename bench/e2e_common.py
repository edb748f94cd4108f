"""Shared by the end-to-end runs: the simulated board at full speed, the clock, the one-line JSON result.

Every run is a separate process started by tools/run_bench.py with the simulator preloaded. It reads the
simulated board for a few seconds after a short warm-up, checks the frame counter of every frame it
decoded, and prints one JSON object.
"""
import ctypes
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from pyzum_zezudi_vu.frames import FrameCheck  # noqa: E402

SAMPLES_COUNT = 4096
READ_BYTES = 12 * SAMPLES_COUNT
DURATION = float(os.environ.get("PYZUM_BENCH_SECONDS", "3"))
WARMUP = 0.3
SERIAL = os.environ.get("PYZUM_BENCH_SERIAL", "SIM0001")


def unlimited_rate(serial=SERIAL):
    """Lets the preloaded simulator stream as fast as it is read; returns the device index."""
    sim = ctypes.CDLL(None)
    sim.pcb_roq_sim_find.argtypes = [ctypes.c_char_p]
    sim.pcb_roq_sim_set_rate.argtypes = [ctypes.c_int, ctypes.c_double]
    index = sim.pcb_roq_sim_find(serial.encode())
    if index < 0:
        raise SystemExit(f"simulated board {serial} not found; is the simulator preloaded?")
    if sim.pcb_roq_sim_set_rate(index, 0.0) != 0:
        raise SystemExit("the simulator refused an unlimited rate")
    return index


def open_module_board():
    """This module's board on the simulated board, streaming without a rate limit; exits when it did not open."""
    import _pyzum_zezudi_vu as m  # only the runs of this module need it; the peer runs must not load it

    unlimited_rate()
    board = m.PCB_ROQ(SERIAL, SAMPLES_COUNT)
    if not board.opened():
        raise SystemExit(f"{SERIAL} did not open")
    return board


class Meter:
    """Wall and process CPU time over the measured stretch, bytes and frames seen in it."""

    def __init__(self):
        self.check = FrameCheck()
        self.bytes = 0

    def begin(self):
        self.wall0 = time.monotonic()
        self.cpu0 = time.process_time()

    def running(self):
        return time.monotonic() - self.wall0 < DURATION

    def block(self, block):
        self.check.feed(block)
        self.bytes += 12 * len(block)

    def end(self):
        self.wall = time.monotonic() - self.wall0
        self.cpu = time.process_time() - self.cpu0

    def report(self, name, **extra):
        gb = self.bytes / 1e9
        result = {
            "name": name,
            "bytes": self.bytes,
            "frames": self.bytes // 12,
            "seconds": round(self.wall, 4),
            "cpu_seconds": round(self.cpu, 4),
            "mb_per_s": round(self.bytes / 1e6 / self.wall, 2) if self.wall else 0.0,
            "cpu_s_per_gb": round(self.cpu / gb, 3) if gb else None,
            "lost_frames": self.check.lost,
            "out_of_order_frames": self.check.out_of_order,
            "contiguous": bool(self.check.numbered) and self.check.lost == 0 and self.check.out_of_order == 0,
        }
        result.update(extra)
        print(json.dumps(result), flush=True)


def warm_up_then_measure(read_one, meter):
    """Calls read_one() for the warm-up, then until the duration is over; read_one returns decoded blocks."""
    end = time.monotonic() + WARMUP
    warm = FrameCheck()
    while time.monotonic() < end:
        for block in read_one():
            warm.feed(block)
    # The measured stretch continues the warm-up's counter, so a frame lost between them is seen too.
    meter.check = warm
    meter.begin()
    while meter.running():
        for block in read_one():
            meter.block(block)
    meter.end()
    return meter
