"""Calls a hostile user makes: instances without a board, a second __init__, extreme timeouts, reads of an
unplugged board. Each must raise or return cleanly instead of crashing, hanging or running on garbage."""
import datetime
import threading
import time

import numpy as np
import pytest

import _pyzum_zezudi_vu as m
from board_fixtures import ROWS, SERIAL, device, frame_indices, open_board, wait_until  # noqa: F401
from pyzum_zezudi_vu.health import board_health

# A test that hangs fails on its own instead of stalling the run.
pytestmark = pytest.mark.timeout(120)

td = datetime.timedelta
NO_BOARD = "has no board"

# Every member of PCB_ROQ but __init__, used the way a caller would.
USES = {
    "samples": lambda b: b.samples,
    "_get_raw_data": lambda b: b._get_raw_data(12),
    "start": lambda b: b.start(),
    "stop": lambda b: b.stop(),
    "timeout": lambda b: b.timeout,
    "timeout =": lambda b: setattr(b, "timeout", td(seconds=1)),
    "serial_number": lambda b: b.serial_number(),
    "__repr__": repr,
    "opened": lambda b: b.opened(),
    "flush": lambda b: b.flush(),
}


def boardless():
    return m.PCB_ROQ.__new__(m.PCB_ROQ)


class TestWithoutBoard:
    def test_every_member_is_covered(self):
        members = {n for n in vars(m.PCB_ROQ) if not n.startswith(("__", "_pybind11")) or n == "__repr__"}
        assert members == {use.split()[0] for use in USES}

    @pytest.mark.parametrize("use", USES)
    def test_every_member_refuses_with_type_error(self, sim, use):
        board = boardless()
        with pytest.raises(TypeError, match=NO_BOARD):
            USES[use](board)
        # Refusing twice and then being collected must not touch memory either.
        with pytest.raises(TypeError, match=NO_BOARD):
            USES[use](board)
        del board

    @pytest.mark.parametrize("use", ["start", "samples", "timeout"])
    def test_after_a_constructor_that_raised(self, sim, use):
        board = boardless()
        with pytest.raises(ValueError):
            board.__init__(SERIAL, 1)
        with pytest.raises(TypeError, match=NO_BOARD):
            USES[use](board)

    def test_subclass_instance_without_board(self, sim):
        class Sub(m.PCB_ROQ):
            def describe(self):
                return self.serial_number()

        with pytest.raises(TypeError, match="Sub object has no board"):
            Sub.__new__(Sub).describe()

    def test_init_after_new_builds_a_working_board(self, sim):
        board = boardless()
        board.__init__(SERIAL, ROWS)
        board.timeout = td(seconds=10)
        board.start()
        assert board.samples.shape == (ROWS, 5)
        board.stop()
        del board

    def test_wrong_self_is_still_an_argument_error(self):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            m.PCB_ROQ.start(object())


class TestSecondInit:
    def test_refused_while_acquiring_and_the_board_keeps_working(self, open_board, device):
        board = open_board()
        board.start()
        before = frame_indices(board.samples)
        opens, closes = device.stats.opens, device.stats.closes
        for args in [(SERIAL, ROWS), ("OTHER", 16), ()]:
            with pytest.raises(TypeError, match="already initialised"):
                board.__init__(*args)
        assert (device.stats.opens, device.stats.closes) == (opens, closes)
        assert board.opened() and board.serial_number() == SERIAL
        indices = np.concatenate([before] + [frame_indices(board.samples) for _ in range(3 * 64)])
        assert np.all(np.diff(indices) == 1)

    def test_refused_on_a_board_that_did_not_open(self, sim):
        board = m.PCB_ROQ("NO-SUCH-BOARD", 16)
        with pytest.raises(TypeError, match="already initialised"):
            board.__init__(SERIAL, 16)
        assert not board.opened() and board.serial_number() == "NO-SUCH-BOARD"

    def test_a_second_init_racing_the_first_is_refused(self, sim):
        board = boardless()
        outcome = []

        def second():
            try:
                board.__init__("NO-SUCH-BOARD", 16)
                outcome.append("built a second board")
            except TypeError as e:
                outcome.append(str(e))

        racer = threading.Thread(target=second)

        class Rows:
            """Converted inside the first __init__, after its check and before its construction."""

            def __index__(self):
                with pytest.raises(TypeError, match="while this thread is initialising"):
                    board.__init__("NO-SUCH-BOARD", 16)
                racer.start()
                time.sleep(0.1)  # lets the racer reach its check, as a thread without the GIL would
                return 16

        board.__init__("NO-SUCH-BOARD", Rows())
        racer.join()
        assert len(outcome) == 1 and "already initialised" in outcome[0]
        assert board.serial_number() == "NO-SUCH-BOARD"
        del board


# The most negative timeouts the property accepts, a hair inside the 64-bit nanosecond range.
MOST_NEGATIVE = [td(microseconds=-9223372036854775), -9223372036.854775]


class TestMostNegativeTimeout:
    @pytest.mark.parametrize("timeout", MOST_NEGATIVE)
    def test_reads_return_at_once(self, timeout):
        board = m.PCB_ROQ("NO-SUCH-BOARD", 16)
        board.timeout = timeout
        # A deadline difference that wrapped around turned each read into a 50 ms wait: 100 reads, 5 s.
        reads = 100
        began = time.monotonic()
        assert all(board.samples is None for _ in range(reads))
        assert time.monotonic() - began < reads * 0.05 / 2

    @pytest.mark.parametrize("timeout", MOST_NEGATIVE)
    def test_a_queued_block_is_still_taken(self, open_board, timeout):
        board = open_board()
        board.start()
        board.samples
        # A second block handed over (counted once the next one is in hand) stays queued through the stop.
        wait_until(lambda: board_health(board).blocks_delivered >= 2)
        board.stop()
        board.timeout = timeout
        assert board.samples.shape == (ROWS, 5)


class TestRawReadsAfterUnplug:
    def test_buffered_bytes_come_first_then_value_error(self, open_board, device):
        # Small blocks keep libftdi's read chunk small, so a 12-byte read leaves it holding more than that.
        board = open_board(SERIAL, 16)
        board.stop()  # a raw read on a never-started board starts it, and acquisition would take those bytes
        assert len(board._get_raw_data(12)) == 12
        device.unplug()
        returned = 0
        with pytest.raises(ValueError, match="reading the board failed"):
            for _ in range(100_000):
                returned += len(board._get_raw_data(12))
        # Whatever the queued transfers had received when the board went: at most all 32 of 64 KiB each.
        assert 0 < returned <= 32 * 65536
