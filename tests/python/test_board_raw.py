"""_get_raw_data: the byte stream past the decoder, and the board's state around the read."""
import datetime
import time

import numpy as np
import pytest

import _pyzum_zezudi_vu as m
import pcb_roq_sim
from board_fixtures import device, open_board, raw_read  # noqa: F401


@pytest.fixture
def unopened():
    return m.PCB_ROQ("NO-SUCH-BOARD", 16)


class TestArgument:
    @pytest.mark.parametrize("count", [2**31, 2**40, 2**63 - 1])
    def test_count_beyond_one_read_is_refused(self, unopened, count):
        with pytest.raises(ValueError, match="at most 2147483647"):
            unopened._get_raw_data(count)

    def test_negative_count_is_refused(self, unopened):
        with pytest.raises(ValueError):
            unopened._get_raw_data(-1)

    @pytest.mark.parametrize("count", [2**63, -(2**63) - 1, 10.0, "10", None])
    def test_unconvertible_count_is_a_type_error(self, unopened, count):
        with pytest.raises(TypeError):
            unopened._get_raw_data(count)

    def test_argument_is_positional_only(self, unopened):
        with pytest.raises(TypeError):
            unopened._get_raw_data(arg0=10)
        with pytest.raises(TypeError):
            unopened._get_raw_data(n=10)


class TestUnopenedBoard:
    def test_failed_read_raises_value_error_saying_why(self, unopened):
        with pytest.raises(ValueError, match="reading the board failed: the board is not open"):
            unopened._get_raw_data(100)

    def test_failed_read_leaves_the_board_usable(self, unopened):
        with pytest.raises(ValueError):
            unopened._get_raw_data(100)
        unopened.stop()
        assert unopened.opened() is False


def is_acquiring(board, pool=64):
    """True when more blocks arrive than the pool holds, which only a running acquisition thread delivers."""
    board.timeout = datetime.timedelta(seconds=10)
    return all(board.samples is not None for _ in range(pool + 1))


def is_quiet(device, quiet=0.3):
    before = device.stats.bulk_reads
    time.sleep(quiet)
    return device.stats.bulk_reads == before


class TestOnTheSimulatedBoard:
    def test_result_array(self, open_board):
        raw = raw_read(open_board(), 1000)
        assert raw.dtype == np.uint8 and raw.ndim == 1 and raw.strides == (1,)
        assert raw.flags.owndata and raw.flags.c_contiguous and raw.flags.writeable

    def test_never_started_board_reads_the_stream_from_its_start_then_acquires(self, open_board, device):
        board = open_board()
        raw = raw_read(board, 1000)
        assert raw.tobytes() == pcb_roq_sim.pattern_bytes(0, 1000)
        assert is_acquiring(board)
        assert board.samples is not None

    def test_stopped_board_only_reads(self, open_board, device):
        board = open_board()
        board.start()
        assert board.samples is not None
        board.stop()
        raw = raw_read(board, 1000)
        assert raw.shape == (1000,)
        assert is_quiet(device)

    def test_acquiring_board_pauses_and_acquires_again(self, open_board, device):
        board = open_board()
        board.start()
        assert board.samples is not None
        raw = raw_read(board, 1000)
        assert raw.shape == (1000,)
        assert is_acquiring(board)

    def test_zero_bytes(self, open_board, device):
        board = open_board()
        board.stop()
        raw = raw_read(board, 0)
        assert raw.shape == (0,) and raw.dtype == np.uint8
        board.start()
        assert raw_read(board, 0).shape == (0,)
        assert is_acquiring(board)

    def test_dry_chip_gives_a_shortened_array(self, open_board, device):
        device.stream_raw(bytes(range(100)))
        board = open_board()
        board.stop()
        raw = raw_read(board, 1000)
        assert raw.tobytes() == bytes(range(100))
        assert raw_read(board, 1000).shape == (0,)

    @pytest.mark.parametrize("count", [2**31, -5])
    def test_refused_count_leaves_the_board_untouched(self, open_board, device, count):
        board = open_board()
        with pytest.raises(ValueError):
            raw_read(board, count)
        assert device.stats.bulk_reads == 0
        # Still never started: a raw read now sees the stream from its start.
        assert raw_read(board, 12).tobytes() == pcb_roq_sim.pattern_bytes(0, 12)
