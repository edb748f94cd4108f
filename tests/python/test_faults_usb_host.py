"""What a real host does to the read path: completions that run on other threads, libusb reaping a bounded
number of transfers per pass, the kernel's memory limit for transfers in flight, stalls, cancellations that lose
the race or come back late, unplugs, full-speed ports, host controllers without scatter-gather.

The faults that need the real libusb run on the usbfs front end only (the stand-in answers libusb's calls
itself); the others on both. Each checks the stream, the board's counters, and that stop, flush and del return.
"""
import datetime
import gc
import threading
import time

import numpy as np
import pytest

from board_fixtures import (SERIAL, frame_indices, open_board, pattern_rows, returns,  # noqa: F401
                            rows_following_on, wait_until, wait_until_decoded)
from pyzum_zezudi_vu.health import board_health

td = datetime.timedelta
# Far from frames 0x0FF000..0x0FF0FF, whose payload holds 0xF0 0x0F: a start could lock onto one.
FIRST_FRAME = 0x100000
BOARD = f"board,first_frame={FIRST_FRAME:#x}"
PROMPT = 60.0  # a call that hangs is what these tests catch: any bound a loaded machine keeps will do


@pytest.fixture
def usbfs(sim):
    if sim.front_end != "usbfs":
        pytest.skip("needs the real libusb: the usbfs front end")
    yield sim
    sim.set_urb_memory_limit(0)


def rows_follow(block):
    """True when every row leads on from the rows before it (a jump ahead is a loss, not corruption). The rows
    of zeros that end a block a stop delivered partly filled are left out."""
    indices = frame_indices(block)
    filled = len(indices) - int(np.argmax(indices[::-1] != 0)) if indices.any() else 0
    return rows_following_on(indices[:filled], []) == filled


def read_blocks(board, count):
    blocks = []
    for _ in range(count):
        block = board.samples
        assert block is not None, "no block within the board's timeout"
        blocks.append(block)
    return blocks


def blocks_from(board, first_frame, count):
    """The next `count` blocks that hold a frame from `first_frame` on; blocks of earlier frames only (what a
    run before left queued) are passed over. A block that begins with earlier frames is kept: stale bytes
    delivered into the new run land there."""
    blocks = []
    for _ in range(64 + count):  # at most a whole pool of earlier ones
        block = read_blocks(board, 1)[0]
        if (frame_indices(block) >= first_frame).any():
            blocks.append(block)
        if len(blocks) == count:
            return blocks
    pytest.fail(f"fewer than {count} blocks from frame {first_frame} on")


def frames_before(blocks, first_frame):
    """Rows that are the pattern's frames from before `first_frame` (not rows of a misaligned stream)."""
    found = 0
    for block in blocks:
        indices = frame_indices(block)
        for row in np.flatnonzero((indices != 0) & (indices < first_frame)):
            found += int(np.array_equal(block[row], pattern_rows(int(indices[row]), 1)[0]))
    return found


def contiguous(blocks):
    indices = np.concatenate([frame_indices(b) for b in blocks])
    return bool((np.diff(indices) == 1).all())


class TestControlFromOtherThreads:
    def test_start_stop_cycles_reading_blocks_never_hang(self, sim, open_board):
        sim.configure(f"{BOARD},rate=2e7")
        board = open_board(SERIAL, 4096)

        damaged = []

        def cycles():
            for _ in range(50):
                board.start()
                damaged.extend(not rows_follow(block) for block in read_blocks(board, 10))
                board.stop()

        returns(cycles, bound=300.0)
        h = board_health(board)
        # A run's first transfer can hold what the FIFO kept before it was queued, then a gap: never decoded.
        # Rows out of step only where the chip overflowed while a run streamed (a loaded machine), which its own
        # count shows apart from what it loses while stopped.
        assert not any(damaged) or sim.device(0).stats.bytes_lost_streaming > 0, h

    def test_a_flush_ends_the_read_it_interrupts(self, sim, open_board):
        # A flush from another thread: its purge may run the reader's completions on the flushing thread.
        sim.configure(f"{BOARD},rate=1e7")
        board = open_board(SERIAL, 1024)
        board.start()
        read_blocks(board, 2)
        lost_before = sim.device(0).stats.bytes_lost_streaming
        for _ in range(20):
            returns(board.flush)
            read_blocks(board, 1)
        overflowed = sim.device(0).stats.bytes_lost_streaming > lost_before
        returns(board.stop)
        h = board_health(board)
        # Rows out of step only where the chip truly overflowed while the stream ran (a loaded machine, the slow
        # emulated usbfs), by its own count: not what the purges dropped, and not transfers_ran_out, which misses
        # an overflow when the emulation shows a full transfer only after the reader queued the next one.
        assert h.frames_without_sync == 0 or overflowed, h
        # Each flush costs at most one read and a frame to find the stream again.
        assert h.bytes_skipped <= 20 * (12 * 1024 + 24), h

    # Without scatter-gather libusb splits each transfer into URBs, and libusb 1.0.26 submits them without a
    # lock: transfers submitted from two threads at once could interleave. Raw reads from another thread take
    # the board from its reading thread first, so one thread at a time submits.
    @pytest.mark.parametrize("host", ["", ",sg=0"], ids=["scatter_gather", "no_scatter_gather"])
    def test_raw_reads_from_another_thread_while_streaming(self, sim, open_board, host):
        sim.configure(f"{BOARD},rate=1e7{host}")
        board = open_board(SERIAL, 1024)
        board.start()
        lost_before = sim.device(0).stats.bytes_lost_streaming
        stop = threading.Event()

        def raw_reads():
            while not stop.is_set():
                assert len(board._get_raw_data(1000)) <= 1000

        reader = threading.Thread(target=raw_reads, daemon=True)
        reader.start()
        try:
            damaged = sum(not rows_follow(block) for block in read_blocks(board, 30))
        finally:
            stop.set()
            reader.join(PROMPT)
        assert not reader.is_alive()
        returns(board.stop)
        h = board_health(board)
        overflowed = sim.device(0).stats.bytes_lost_streaming > lost_before
        # A raw read ends the block in hand and the restart realigns; rows fall out of step only where the chip
        # overflowed while the stream was paused for it, and then the decoder counts them.
        assert damaged == 0 or (overflowed and h.frames_without_sync > 0), (damaged, h)


class TestRealHostFaults:
    def test_an_unplug_mid_stream_ends_the_stream_and_nothing_hangs(self, usbfs, open_board):
        usbfs.configure(f"{BOARD},rate=1e7")
        board = open_board(SERIAL, 1024, timeout=td(seconds=1))
        board.start()
        read_blocks(board, 3)
        usbfs.device(0).unplug()
        # What arrived before the unplug may still come; then nothing more.
        wait_until(lambda: board.samples is None)
        h = board_health(board)
        assert h.failed_reads > 0 and h.transfers_failed > 0, h
        returns(board.flush)
        returns(board.stop)
        with pytest.raises(ValueError, match="reading the board failed"):
            board._get_raw_data(100)

        def close():
            open_board.close_all()
            gc.collect()

        returns(close)

    def test_a_stalled_endpoint_is_cleared_and_the_stream_goes_on(self, usbfs, open_board):
        usbfs.configure(f"{BOARD},rate=1e7")
        board = open_board(SERIAL, 1024)
        board.start()
        read_blocks(board, 2)
        usbfs.device(0).stall_bulk_in(nth=3)
        wait_until(lambda: board_health(board).stalls_cleared >= 1)
        after = read_blocks(board, 20)
        assert rows_follow(after[-1])
        h = board_health(board)
        assert h.transfers_failed >= 1 and any("stalled" in p for p in h.problems()), h
        returns(board.stop)

    def test_a_cancel_that_loses_the_race_does_not_end_the_next_read(self, usbfs, open_board):
        # A paused chip's open packet holds just its status bytes: the lost cancel reports them completed.
        usbfs.configure(f"{BOARD},paused,rate=unlimited")
        usbfs.latency_scale = 100  # no packet goes out short by itself meanwhile
        device = usbfs.device(0)
        board = open_board(SERIAL, 1024)
        board.start()  # all transfers queued on the paused chip
        wait_until(lambda: board_health(board).transfers_in_flight > 0)
        device.race_discard(True)
        returns(board.stop)
        device.race_discard(False)
        device.resume()
        assert len(board._get_raw_data(4096)) == 4096

    def test_a_refused_submission_keeps_the_stream_with_fewer_transfers(self, usbfs, open_board):
        usbfs.configure(f"{BOARD},rate=5e6")
        usbfs.set_urb_memory_limit(8 * 65536)
        board = open_board(SERIAL, 1024)
        board.start()
        blocks = read_blocks(board, 20)
        h = board_health(board)
        assert h.transfers_refused > 0 and 0 < h.transfer_queue_depth <= 8, h
        assert any("refused" in p for p in h.problems())
        assert contiguous(blocks[1:])
        returns(board.stop)

    @pytest.mark.parametrize("spec", ["speed=full", "sg=0"], ids=["full_speed", "no_scatter_gather"])
    def test_the_stream_arrives_whole(self, usbfs, open_board, spec):
        usbfs.configure(f"{BOARD},rate=unlimited,{spec}")
        board = open_board(SERIAL, 4096)
        board.start()
        blocks = read_blocks(board, 30)
        returns(board.stop)
        assert contiguous(blocks)
        assert board_health(board).frames_without_sync == 0

    def test_an_overflow_is_counted_however_many_completions_wait(self, usbfs, open_board):
        # Nobody reads: the pool fills, then all 32 transfers, then the chip overflows. libusb reaps at most 26
        # transfers of a device per pass, so the newest completion is heard only on a later one.
        usbfs.configure(f"{BOARD},rate=1e7")
        board = open_board(SERIAL, 256)
        board.start()
        wait_until_decoded(board, 64 * 256)
        lost = usbfs.device(0).stats.bytes_lost  # the purge that began streaming counts too
        wait_until(lambda: usbfs.device(0).stats.bytes_lost > lost + 100_000)
        board.timeout = td(0)
        while board.samples is not None:
            pass
        board.timeout = td(seconds=10)
        read_blocks(board, 64)
        assert board_health(board).transfers_ran_out > 0
        returns(board.stop)

    def test_a_start_after_a_stop_whose_cancellations_came_back_late(self, usbfs, open_board):
        usbfs.configure(f"{BOARD},rate=1e7")
        device = usbfs.device(0)
        board = open_board(SERIAL, 1024)
        board.start()
        read_blocks(board, 2)
        device.delay_discard(2500)  # longer than a stop waits for its cancellations
        returns(board.stop)
        device.delay_discard(0)
        first_run_end = FIRST_FRAME + device.stats.frame_index  # every frame the first run received lies before
        before, lost_before = board_health(board), device.stats.bytes_lost_streaming
        board.start()
        blocks = blocks_from(board, first_run_end, 20)  # what the first run left queued comes first
        lost = device.stats.bytes_lost_streaming - lost_before  # before the stop: a stopped board loses too
        returns(board.stop)
        h = board_health(board).since(before)
        # None of the second run's rows is a frame from before the stop: the late cancellations' bytes never
        # reach it. Rows out of step only where the chip overflowed while it streamed (the slow emulated usbfs on
        # a loaded machine), by the chip's own count.
        assert frames_before(blocks, first_run_end) == 0
        damaged = sum(not rows_follow(block) for block in blocks)
        assert (damaged == 0 and h.frames_without_sync == 0) or lost > 0, (damaged, lost, h)
        time.sleep(3)  # the late cancellations come back before the fixture counts what was given back
