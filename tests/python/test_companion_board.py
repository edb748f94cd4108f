"""open_board and the Board it yields, against the simulated board (fixture `sim` of conftest.py)."""
import time

import numpy as np
import pytest

from pyzum_zezudi_vu import FrameCheck, NoBoardError, frame_indices, frames_in_raw, open_board

from board_fixtures import rows_following_on

S = 64


def rows_in_order(block):
    """Counter minus row number is constant: the block holds consecutive frames and nothing stale."""
    idx = frame_indices(block).astype(np.int64)
    return bool(np.all(idx - np.arange(len(idx)) == idx[0]))


def idle_after_drain(device, wait=0.3):
    """True when the board delivers no block at all any more: whatever was queued is read first."""
    device.timeout = 0.0
    while device.samples is not None:
        pass
    time.sleep(wait)
    return device.samples is None


class TestOpening:
    def test_first_listed_board_is_taken(self, sim):
        sim.configure("board;board")
        with open_board(samples_count=S) as board:
            assert board.serial_number == "SIM0001"

    def test_board_named_by_serial(self, sim):
        sim.configure("board;board")
        with open_board("SIM0002", samples_count=S) as board:
            assert board.serial_number == "SIM0002"

    def test_no_board_listed_is_a_clear_error(self, sim):
        sim.configure("")
        with pytest.raises(NoBoardError, match="No PCB_ROQ board found") as e:
            with open_board():
                pass
        assert "udev" in str(e.value) and "access" in str(e.value)

    def test_board_that_does_not_open_is_a_clear_error(self, sim):
        with pytest.raises(NoBoardError, match="no board with serial 'NO-SUCH-BOARD'; boards present: SIM0001") as e:
            with open_board("NO-SUCH-BOARD"):
                pass
        assert "udev" in str(e.value)

    def test_board_refusing_access_is_a_clear_error(self, sim):
        sim.device(0).refuse_open()
        with pytest.raises(NoBoardError, match="udev"):
            with open_board("SIM0001"):
                pass

    def test_board_can_be_opened_again_after_the_block(self, sim):
        for _ in range(2):
            with open_board(samples_count=S) as board:
                assert next(iter(board)).shape == (S, 5)


class TestLeaving:
    def test_exception_inside_stops_the_board(self, sim):
        with pytest.raises(RuntimeError, match="inside"):
            with open_board(samples_count=S) as board:
                next(iter(board))
                device = board.device
                raise RuntimeError("inside")
        assert board.acquiring is False
        assert idle_after_drain(device)

    def test_normal_exit_stops_and_closes(self, sim):
        with open_board(samples_count=S) as board:
            board.capture(blocks=2)
            device = board.device
        assert idle_after_drain(device)
        with pytest.raises(ValueError, match="closed"):
            board.capture(blocks=1)


class TestBlocks:
    def test_blocks_follow_each_other_without_a_lost_frame(self, sim):
        check = FrameCheck()
        with open_board(samples_count=S) as board:
            blocks = list(board.blocks(count=5))
        for block in blocks:
            assert block.shape == (S, 5) and block.dtype == np.int16
            check.feed(block)
        assert (check.numbered, check.frames, check.lost, check.out_of_order) == (True, 5 * S, 0, 0)

    def test_capture_of_blocks_is_one_contiguous_array(self, sim):
        with open_board(samples_count=S) as board:
            data = board.capture(blocks=4)
        assert data.shape == (4 * S, 5)
        assert rows_in_order(data)

    def test_capture_for_seconds_holds_whole_blocks(self, sim):
        with open_board(samples_count=S) as board:
            data = board.capture(seconds=0.2)
        assert len(data) >= S and len(data) % S == 0
        assert rows_in_order(data)

    def test_capture_needs_exactly_one_amount(self, sim):
        with open_board(samples_count=S) as board:
            with pytest.raises(ValueError):
                board.capture()
            with pytest.raises(ValueError):
                board.capture(blocks=1, seconds=1.0)

    def test_restart_skips_what_the_stopped_run_left_queued(self, sim):
        with open_board(samples_count=S) as board:
            last = frame_indices(board.capture(blocks=3))[-1]
            board.stop()
            # Past the whole pool: the block the stopped thread delivered last (partly filled, or holding
            # an older run's rows) would be among these.
            after = list(board.blocks(count=70))
        check = FrameCheck()
        for block in after:
            assert rows_in_order(block)
            assert frame_indices(block)[0] > last
            check.feed(block)
        assert check.out_of_order == 0

    def test_a_block_stopped_by_another_caller_comes_without_its_unfilled_rows(self, sim):
        # Each read fills one block, so a stop lands inside one only once a short read has put the reads out of
        # step with the blocks: a pause of the board makes one.
        sim.configure("board,rate=4e7")
        sim.device(0).stream_pattern(0x100000)  # far from the frames whose payload holds a sync pair
        shortened = 0
        with open_board(samples_count=4096) as board:
            for _ in range(20):
                blocks = [board.next_block()]
                sim.device(0).pause()
                time.sleep(0.02)
                sim.device(0).resume()
                blocks.append(board.next_block())
                board.device.stop()  # the shared device, behind the Board's back
                while (block := board.next_block(timeout=0)) is not None:
                    blocks.append(block)
                board.stop()
                last_rows = []
                for block in blocks:
                    assert block.any(axis=1).all(), "an unfilled row passed on as a frame"
                    # Out of step only where the chip overflowed while the board streamed (a sanitizer on a loaded
                    # machine), by its own count (not what purges drop), and counted.
                    indices = frame_indices(block)
                    in_order = rows_following_on(indices, last_rows) == len(block)
                    h = board.health()
                    overflowed = sim.device(0).stats.bytes_lost_streaming > 0
                    assert in_order or (overflowed and h.frames_without_sync > 0), h
                    last_rows = indices[-2:]
                shortened += len(blocks[-1]) < 4096
        assert shortened > 0

    def test_silent_board_ends_iteration_with_timeout_error(self, sim):
        sim.device(0).pause()
        with open_board(samples_count=S, timeout=0.2) as board:
            start = time.monotonic()
            # The chip's FIFO still holds about one block's worth; more than that never comes.
            with pytest.raises(TimeoutError, match="SIM0001"):
                board.capture(blocks=4)
            assert time.monotonic() - start < 10


class TestRaw:
    def test_raw_bytes_are_the_frame_stream(self, sim):
        with open_board(samples_count=S) as board:
            data = board.raw(12 * 100)
            assert board.acquiring is False
        assert len(data) == 1200
        offset, words = frames_in_raw(data)
        check = FrameCheck()
        check.feed(words)
        assert check.numbered and check.lost == 0 and check.out_of_order == 0

    def test_raw_leaves_acquisition_stopped(self, sim):
        with open_board(samples_count=S) as board:
            board.capture(blocks=1)
            board.raw(240)
            assert idle_after_drain(board.device)

    def test_raw_stops_short_when_the_board_runs_dry(self, sim):
        sim.device(0).pause()
        with open_board(samples_count=S, timeout=0.2) as board:
            assert len(board.raw(100_000)) < 100_000
