"""Every refused argument leaves the bus and the board exactly as they were.

The simulated board counts what reaches USB: libusb contexts created, opens, bulk reads, purges and other control
requests. A refusal must change none of them; on a board it must also keep the timeout, the pool and the
acquisition thread as they were.
"""
import datetime
import time

import pytest

import _pyzum_zezudi_vu as m
from sim_fixture import pool_size

# A test that hangs fails on its own instead of stalling the run.
pytestmark = pytest.mark.timeout(120)

td = datetime.timedelta
S = 16
MAX_SAMPLES = 2147483647 // 12


def usb_activity(sim):
    """Everything the code under test can have done to the bus."""
    bus = sim.stats
    counts = {"inits": bus.inits, "live_contexts": bus.live_contexts, "live_handles": bus.live_handles}
    for device in sim.devices:
        s = device.stats
        counts.update({f"{device.index}.{name}": getattr(s, name)
                       for name in ("opens", "closes", "bulk_reads", "purges_rx", "purges_tx", "control_requests",
                                    "claimed_interface")})
    return counts


BAD_CONSTRUCTIONS = {
    "no argument": ((), {}, TypeError),
    "int serial": ((1234,), {}, TypeError),
    "None serial": ((None,), {}, TypeError),
    "lone surrogate": (("SIM\udc80",), {}, TypeError),
    "latency 256": (("SIM0001",), {"latency": 256}, TypeError),
    "latency -1": (("SIM0001",), {"latency": -1}, TypeError),
    "latency float": (("SIM0001",), {"latency": 255.0}, TypeError),
    "samples_count -1": (("SIM0001", -1), {}, TypeError),
    "samples_count float": (("SIM0001", 4096.0), {}, TypeError),
    "samples_count 2**64": (("SIM0001", 2**64), {}, TypeError),
    "samples_count str": (("SIM0001", "4096"), {}, TypeError),
    "unknown keyword": (("SIM0001",), {"samples": 16}, TypeError),
    "samples_count 0": (("SIM0001", 0), {}, ValueError),
    "samples_count 1": (("SIM0001", 1), {}, ValueError),
    "samples_count above one read": (("SIM0001", MAX_SAMPLES + 1), {}, ValueError),
    "samples_count 2**64-1": (("SIM0001", 2**64 - 1), {}, ValueError),
}


class TestConstructor:
    @pytest.mark.parametrize("name", BAD_CONSTRUCTIONS)
    def test_refused_before_any_usb_access(self, sim, name):
        args, kwargs, error = BAD_CONSTRUCTIONS[name]
        before = usb_activity(sim)
        with pytest.raises(error):
            m.PCB_ROQ(*args, **kwargs)
        assert usb_activity(sim) == before

    def test_range_refusal_names_the_range(self, sim):
        with pytest.raises(ValueError, match=f"samples_count must be between 2 and {MAX_SAMPLES}, got 1"):
            m.PCB_ROQ("SIM0001", 1)

    def test_board_opens_normally_after_refusals(self, sim):
        for name in BAD_CONSTRUCTIONS:
            args, kwargs, error = BAD_CONSTRUCTIONS[name]
            with pytest.raises(error):
                m.PCB_ROQ(*args, **kwargs)
        board = m.PCB_ROQ("SIM0001", S)
        assert board.opened()
        assert sim.device(0).stats.opens - sim.device(0).stats.closes == 1
        del board


def new_board():
    """A board on the default simulated board. Tests keep it in a local: it must be gone before the `sim` fixture
    checks that every handle was given back, and a fixture's value lives until all teardown is done."""
    return m.PCB_ROQ("SIM0001", S)


BAD_TIMEOUTS = [None, 1, 0, True, "1", b"1", [0.5], object()]
OVERFLOWING_TIMEOUTS = [td.max, td.min, td(days=106752), float("inf"), float("nan"), 2.0**63 / 1e9, 1e300]
BAD_RAW_COUNTS = {
    "float": (10.0, TypeError),
    "str": ("10", TypeError),
    "None": (None, TypeError),
    "2**63": (2**63, TypeError),
    "-2**63-1": (-(2**63) - 1, TypeError),
    "negative": (-1, ValueError),
    "2**31": (2**31, ValueError),
    "2**63-1": (2**63 - 1, ValueError),
}


class TestBoard:
    @pytest.mark.parametrize("value", BAD_TIMEOUTS + OVERFLOWING_TIMEOUTS)
    def test_refused_timeout_changes_nothing(self, sim, value):
        board = new_board()
        board.timeout = td(milliseconds=7)
        before = usb_activity(sim)
        with pytest.raises((TypeError, OverflowError)):
            board.timeout = value
        assert board.timeout == td(milliseconds=7)
        assert usb_activity(sim) == before

    @pytest.mark.parametrize("name", BAD_RAW_COUNTS)
    def test_refused_raw_count_on_a_stopped_board_reads_nothing(self, sim, name):
        board = new_board()
        value, error = BAD_RAW_COUNTS[name]
        board.stop()
        before = usb_activity(sim)
        with pytest.raises(error):
            board._get_raw_data(value)
        assert usb_activity(sim) == before

    @pytest.mark.parametrize("name", BAD_RAW_COUNTS)
    def test_refused_raw_count_on_a_never_started_board_starts_nothing(self, sim, name):
        board = new_board()
        value, error = BAD_RAW_COUNTS[name]
        with pytest.raises(error):
            board._get_raw_data(value)
        before = usb_activity(sim)
        time.sleep(0.05)
        assert usb_activity(sim) == before, "a refused raw read left the board acquiring"

    def test_refused_raw_counts_do_not_pause_an_acquiring_board(self, sim):
        # A silent board delivers no block, except the one a paused-and-resumed thread hands over as it stops.
        sim.configure("paused")
        board = new_board()
        board.start()
        for value, error in BAD_RAW_COUNTS.values():
            with pytest.raises(error):
                board._get_raw_data(value)
        with pytest.raises(TypeError):
            board._get_raw_data(n=10)
        board.timeout = td(milliseconds=100)
        assert board.samples is None
        board.stop()

    def test_pool_and_stream_intact_after_every_refusal(self, sim):
        board = new_board()
        for value in BAD_TIMEOUTS + OVERFLOWING_TIMEOUTS:
            with pytest.raises((TypeError, OverflowError)):
                board.timeout = value
        for value, error in BAD_RAW_COUNTS.values():
            with pytest.raises(error):
                board._get_raw_data(value)
        assert sim.device(0).stats.bulk_reads == 0
        assert pool_size(board) == 64
        board.stop()
        assert len(board._get_raw_data(24)) == 24
