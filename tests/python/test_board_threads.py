"""One board used from several Python threads at once."""
import datetime
import random
import threading
import time

import numpy as np
import pytest

from board_fixtures import ROWS, device, first_frame_bound, frame_indices, open_board  # noqa: F401

td = datetime.timedelta


def run_threads(targets, bound=120.0):
    """Runs every target on its own thread; fails if one raises or they do not all end within `bound` s."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as e:  # noqa: BLE001  (reported to the test below)
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(t,), daemon=True) for t in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + bound
    for t in threads:
        t.join(timeout=max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "threads still running: deadlock?"
    assert not errors, errors


class TestConcurrentReaders:
    def test_readers_get_distinct_blocks_forming_one_stream(self, open_board):
        board = open_board()
        board.start()
        per_thread, readers = 60, 4
        taken = [[] for _ in range(readers)]

        def reader(mine):
            def read():
                for _ in range(per_thread):
                    block = board.samples
                    assert block is not None
                    mine.append(frame_indices(block))
            return read

        run_threads([reader(t) for t in taken])
        board.stop()
        blocks = sorted((b for mine in taken for b in mine), key=lambda b: b[0])
        assert len(blocks) == per_thread * readers
        stream = np.concatenate(blocks)
        assert stream[0] < first_frame_bound(ROWS)
        np.testing.assert_array_equal(np.diff(stream), 1)

    def test_readers_waiting_on_an_idle_board_all_time_out(self, open_board):
        board = open_board(timeout=td(milliseconds=100))
        results = []
        run_threads([lambda: results.append(board.samples) for _ in range(6)])
        assert results == [None] * 6


class TestConcurrentControl:
    def test_start_stop_flush_raw_and_reads_at_once(self, open_board, device):
        board = open_board(timeout=td(milliseconds=20))
        finish = time.monotonic() + 1.5
        operations = [board.start, board.stop, board.flush, lambda: board._get_raw_data(500),
                      lambda: board.samples, board.opened, board.serial_number]

        def control(seed):
            def loop():
                rng = random.Random(seed)
                while time.monotonic() < finish:
                    rng.choice(operations)()
            return loop

        run_threads([control(seed) for seed in range(6)])
        board.stop()
        board.start()
        board.timeout = td(seconds=10)
        assert board.samples.shape == (64, 5)
        board.stop()

    def test_timeout_assigned_while_reads_wait(self, open_board):
        board = open_board(timeout=td(milliseconds=5))
        finish = time.monotonic() + 1.0
        seen = []

        def assign():
            rng = random.Random(1)
            while time.monotonic() < finish:
                board.timeout = td(microseconds=rng.randrange(0, 20000))

        def read():
            while time.monotonic() < finish:
                seen.append(board.samples)

        run_threads([assign, read, read])
        assert seen and all(s is None for s in seen)
