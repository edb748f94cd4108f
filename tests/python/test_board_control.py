"""Control calls on a board that streams slowly: they return promptly, and other Python threads keep running.

A full read of 4096 frames is 49 s of a 1 kB/s stream, and the chip's latency timer runs its real 255 ms;
stop, flush, raw reads and deletion must not wait for either.
"""
import gc
import threading
import time

import pytest

import _pyzum_zezudi_vu as m
from board_fixtures import open_board  # noqa: F401

pytestmark = pytest.mark.timeout(120)

SLOW = "board,rate=1000"
LATENCY = 0.255
# The calls take milliseconds (the figures say how many); one that waited for its read would take the 49 s of a
# full read. The bound tells the two apart with room for any loaded machine and a sanitizer build.
BOUND = 10.0


def elapsed(call):
    began = time.monotonic()
    result = call()
    return time.monotonic() - began, result


def figure(record_property, text):
    record_property("figure", text)
    print("FIGURE", text)


def slow_board(sim, open_board):
    """An acquiring board at 1 kB/s whose acquisition thread is inside a read. (Not a fixture: pytest would keep
    the board alive past the leak check.)"""
    sim.configure(SLOW)
    sim.latency_scale = 1.0
    board = open_board("SIM0001", 4096)
    board.start()
    time.sleep(0.3)
    return board


class TestPromptControl:
    def test_stop_flush_and_raw_read_do_not_wait_for_the_stream(self, sim, open_board, record_property):
        board = slow_board(sim, open_board)
        flush_s, _ = elapsed(board.flush)
        raw_s, raw = elapsed(lambda: board._get_raw_data(100))
        stop_s, _ = elapsed(board.stop)
        figure(record_property, f"1 kB/s board, 4096 rows: flush {1000 * flush_s:.1f} ms, _get_raw_data(100) "
                                f"{1000 * raw_s:.1f} ms while acquiring, stop {1000 * stop_s:.1f} ms")
        assert flush_s < BOUND
        assert stop_s < BOUND
        # The raw read itself waits for its bytes: the chip sends them when its latency timer runs out.
        assert raw_s < BOUND + 2 * LATENCY
        assert 0 < len(raw) <= 100

    def test_deleting_an_acquiring_board_is_prompt(self, sim):
        sim.configure(SLOW)
        sim.latency_scale = 1.0
        board = m.PCB_ROQ("SIM0001", 4096)
        board.start()
        time.sleep(0.3)
        began = time.monotonic()
        del board
        gc.collect()
        assert time.monotonic() - began < BOUND

    def test_other_threads_run_while_a_raw_read_waits(self, sim, open_board):
        board = slow_board(sim, open_board)
        ticks = 0
        done = threading.Event()

        def ticker():
            nonlocal ticks
            while not done.is_set():
                ticks += 1
                time.sleep(0.001)

        board.stop()
        thread = threading.Thread(target=ticker)
        thread.start()
        try:
            time.sleep(0.05)
            before = ticks
            spent, raw = elapsed(lambda: board._get_raw_data(600))  # several latency periods of stream
            during = ticks - before
        finally:
            done.set()
            thread.join()
        assert spent > LATENCY  # it did wait for the board
        # Held, the GIL would let the ticker take at most the one tick it was in the middle of.
        assert during >= 5, f"{during} ticks in {spent:.3f} s"
        assert len(raw) > 0
