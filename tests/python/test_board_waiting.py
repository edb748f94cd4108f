"""How a read of `samples` waits when no block comes: the timeout, other threads, and signals."""
import datetime
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _pyzum_zezudi_vu as m
from board_fixtures import first_frame_bound
from sim_fixture import CONTENT_SPEC

# A child started from a background job inherits SIGINT ignored, and Python then keeps it ignored.
CHILD_PRELUDE = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"

td = datetime.timedelta


@pytest.fixture
def idle_board():
    """A board that never delivers a block: nothing by that serial number exists."""
    return m.PCB_ROQ("NO-SUCH-BOARD", 16)


class TestTimeout:
    def test_none_after_the_timeout_never_sooner(self, idle_board):
        idle_board.timeout = td(milliseconds=120)
        began = time.monotonic()
        assert idle_board.samples is None
        waited = time.monotonic() - began
        assert 0.12 <= waited < 5

    @pytest.mark.parametrize("timeout", [td(0), td(microseconds=-1), td(days=-5), -1.0])
    def test_zero_or_negative_returns_at_once(self, idle_board, timeout):
        idle_board.timeout = timeout
        began = time.monotonic()
        assert idle_board.samples is None
        assert time.monotonic() - began < 5

    def test_timeout_shorter_than_a_slice(self, idle_board):
        idle_board.timeout = td(milliseconds=3)
        began = time.monotonic()
        assert idle_board.samples is None
        assert 0.003 <= time.monotonic() - began < 5


class TestOtherThreads:
    def test_blocked_read_lets_other_threads_run(self, idle_board):
        idle_board.timeout = td(seconds=1.5)
        result = {}

        def read():
            result["samples"] = idle_board.samples
            result["done"] = time.monotonic()

        reader = threading.Thread(target=read)
        reader.start()
        time.sleep(0.05)
        counted = 0
        began = time.monotonic()
        while time.monotonic() - began < 0.5:
            counted += 1
        finished_work = time.monotonic()
        reader.join(timeout=30)
        assert not reader.is_alive()
        assert result["samples"] is None
        assert counted > 1000
        assert finished_work < result["done"]

    def test_timeout_change_applies_to_the_next_read(self, idle_board):
        idle_board.timeout = td(milliseconds=400)
        reader = threading.Thread(target=lambda: idle_board.samples)
        began = time.monotonic()
        reader.start()
        time.sleep(0.05)
        idle_board.timeout = td(0)
        reader.join(timeout=30)
        assert time.monotonic() - began >= 0.4


class TestSignals:
    def test_handler_exception_ends_a_read_without_timeout(self, idle_board):
        class Alarm(Exception):
            pass

        def on_alarm(signum, frame):
            raise Alarm

        previous = signal.signal(signal.SIGALRM, on_alarm)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            began = time.monotonic()
            with pytest.raises(Alarm):
                idle_board.samples
            assert time.monotonic() - began < 5
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

    def test_handler_that_returns_does_not_end_the_read(self, idle_board):
        calls = []
        previous = signal.signal(signal.SIGALRM, lambda *_: calls.append(time.monotonic()))
        try:
            idle_board.timeout = td(milliseconds=400)
            began = time.monotonic()
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            assert idle_board.samples is None
            assert time.monotonic() - began >= 0.4
            assert len(calls) == 1
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

    @pytest.mark.parametrize("timeout", ["None", "datetime.timedelta(days=1)"])
    def test_sigint_ends_a_blocked_read_in_a_subprocess(self, timeout):
        code = CHILD_PRELUDE + textwrap.dedent(f"""
            import datetime, sys
            import _pyzum_zezudi_vu as m
            board = m.PCB_ROQ("NO-SUCH-BOARD", 16)
            if {timeout} is not None:
                board.timeout = {timeout}
            try:
                print("waiting", flush=True)  # inside the try: a signal that comes early is caught all the same
                board.samples
            except KeyboardInterrupt:
                print("interrupted", flush=True)
                sys.exit(42)
            sys.exit(1)
        """)
        child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, env=os.environ)
        try:
            assert child.stdout.readline().strip() == "waiting"
            time.sleep(0.3)  # let it enter the wait
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            out, _ = child.communicate(timeout=30)
            ended = time.monotonic()
        finally:
            child.kill()
            child.wait()
        assert child.returncode == 42, out
        assert "interrupted" in out
        assert ended - sent < 5

    def test_interrupted_read_takes_no_block(self, sim):
        """After Ctrl-C ends a wait on the simulated board, acquisition yields the stream from its first block."""
        code = CHILD_PRELUDE + textwrap.dedent("""
            import sys
            import datetime
            import numpy as np
            import _pyzum_zezudi_vu as m
            board = m.PCB_ROQ("SIM0001", 64)
            try:
                print("waiting", flush=True)
                board.samples
                sys.exit(1)
            except KeyboardInterrupt:
                pass
            board.timeout = datetime.timedelta(seconds=30)
            board.start()
            blocks = [board.samples for _ in range(3)]
            board.stop()
            words = np.concatenate(blocks).astype(np.uint16).astype(np.int64)
            frames = words[:, 0] | (words[:, 1] << 16)
            print("frames", frames[0], bool((np.diff(frames) == 1).all()), flush=True)
        """)
        env = dict(os.environ)
        env["PCB_ROQ_SIM"] = CONTENT_SPEC  # one board, SIM0001, that writes only as fast as it is read
        child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, env=env)
        try:
            assert child.stdout.readline().strip() == "waiting"
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            out, _ = child.communicate(timeout=60)
        finally:
            child.kill()
            child.wait()
        assert child.returncode == 0, out
        _, first, contiguous = out.split()
        assert int(first) < first_frame_bound(64) and contiguous == "True", out
