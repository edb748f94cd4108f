"""The timeout property: conversions both ways, refused values, and reads racing writes."""
import datetime
import threading

import pytest

import _pyzum_zezudi_vu as m

td = datetime.timedelta


@pytest.fixture
def board():
    return m.PCB_ROQ("NO-SUCH-BOARD", 16)


class TestConversion:
    def test_new_board_has_none(self, board):
        assert board.timeout is None

    @pytest.mark.parametrize(
        "value, read_back",
        [
            (td(milliseconds=250), td(microseconds=250_000)),
            (0.5, td(microseconds=500_000)),
            (td(0), td(0)),
            (1e-10, td(0)),
            (-1.5e-6, td(microseconds=-1)),  # -1500 ns truncates toward zero
            (1.000000001, td(seconds=1)),  # 1 000 000 001 ns
            (td(days=-3, microseconds=7), td(days=-3, microseconds=7)),
            (td(days=106751), td(days=106751)),
            (-9.2e9, td(seconds=-9.2e9)),
        ],
    )
    def test_round_trip(self, board, value, read_back):
        board.timeout = value
        assert board.timeout == read_back

    def test_zero_is_not_none(self, board):
        board.timeout = td(0)
        assert board.timeout is not None

    def test_subclasses_are_accepted(self, board):
        class Seconds(float):
            pass

        class Span(td):
            pass

        board.timeout = Seconds(0.25)
        assert board.timeout == td(milliseconds=250)
        board.timeout = Span(seconds=3)
        assert board.timeout == td(seconds=3)


class TestRefusal:
    @pytest.mark.parametrize("value", [None, 1, 0, True, "1", b"1", [0.5]])
    def test_not_a_duration(self, board, value):
        with pytest.raises(TypeError):
            board.timeout = value
        assert board.timeout is None
        board.timeout = td(seconds=2)
        with pytest.raises(TypeError):
            board.timeout = value
        assert board.timeout == td(seconds=2)

    @pytest.mark.parametrize(
        "value",
        [td.max, td.min, td(days=106752), td(days=-106752), float("inf"), float("-inf"), float("nan"),
         2.0**63 / 1e9, -(2.0**63) / 1e9, 1e300],
    )
    def test_out_of_range_raises_overflow_and_keeps_value(self, board, value):
        board.timeout = td(milliseconds=7)
        with pytest.raises(OverflowError):
            board.timeout = value
        assert board.timeout == td(milliseconds=7)

    def test_out_of_range_on_fresh_board_keeps_none(self, board):
        with pytest.raises(OverflowError):
            board.timeout = td.max
        assert board.timeout is None


class TestConcurrentAccess:
    def test_reads_see_only_whole_values(self, board):
        # Values whose two halves differ, so a read assembled from two writes would be neither of them.
        values = [td(days=-100000), td(days=100000, microseconds=1)]
        seen = set()
        stop = threading.Event()

        def write():
            i = 0
            while not stop.is_set():
                board.timeout = values[i % 2]
                i += 1

        writers = [threading.Thread(target=write) for _ in range(2)]
        for w in writers:
            w.start()
        try:
            for _ in range(20000):
                seen.add(board.timeout)
        finally:
            stop.set()
            for w in writers:
                w.join()
        assert seen <= {None, *values}
