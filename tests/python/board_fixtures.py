"""Boards on the simulated bus, and how to read the frame indices the simulated board puts in its frames.

Test modules import the fixtures they use: `from board_fixtures import open_board  # noqa: F401`.
"""
import datetime
import gc
import threading
import time

import numpy as np
import pytest

import _pyzum_zezudi_vu as m
import pcb_roq_sim
from pyzum_zezudi_vu.health import board_health

SERIAL = "SIM0001"
ROWS = 64  # small blocks keep a stream of hundreds of blocks quick


def frame_indices(block):
    """The 32-bit frame index of every row: word 0 is its low half, word 1 its high half."""
    words = block.astype(np.uint16).astype(np.int64)
    return words[:, 0] | (words[:, 1] << 16)


def rows_following_on(indices, before):
    """How many rows lead on from the frames `before` them before a row goes back behind the two rows preceding
    it, as a frame of an older block (or an unfilled row) does. Frames lost on a loaded machine make a row jump
    ahead; where such a gap keeps the frames in step, the row across it mixes the two frames and may stand above
    the rows after it, which still lie above the row before it."""
    seq = np.concatenate([before, indices]).astype(np.int64)
    two_back = np.concatenate([[np.iinfo(np.int64).max], seq[:-2]])
    back = (seq[1:] <= seq[:-1]) & (seq[1:] <= two_back)
    skip = max(len(before) - 1, 0)
    flagged = np.flatnonzero(back[skip:])
    return len(indices) if flagged.size == 0 else int(flagged[0]) + skip + 1 - len(before)


def pattern_rows(first, count):
    """The (count, 5) int16 rows the default pattern's frames first .. first + count - 1 decode to."""
    data = pcb_roq_sim.pattern_bytes(first * pcb_roq_sim.FRAME_SIZE, count * pcb_roq_sim.FRAME_SIZE)
    frames = np.frombuffer(data, dtype=np.uint8).reshape(count, pcb_roq_sim.FRAME_SIZE)
    return frames[:, 2:].copy().view("<i2").astype(np.int16)


# Streaming begins by purging what the chip buffered while nobody read: on an unlimited board its whole FIFO.
FIFO_BYTES = 1024


def first_frame_bound(rows):
    """Above the index of the first frame an unlimited board delivers after a start: the purged FIFO, then up to
    two reads of `rows` frames until the decoder is in step."""
    return FIFO_BYTES // pcb_roq_sim.FRAME_SIZE + 2 * rows + 2


def start_on_fresh_stream(board, device, data=None):
    """Starts acquisition on a chip that holds nothing yet, and only then lets the board stream from its first
    byte (the pattern from frame 0, or the raw `data`): nothing a test plans by stream position is lost to the
    purge with which streaming begins, and the first read begins on the first frame."""
    device.stream_raw(b"")
    board.start()
    wait_until(lambda: device.stats.purges_rx >= 1)
    if data is None:
        device.stream_pattern(0)
    else:
        device.stream_raw(data)


# A call that hangs is what returns() catches: any bound a loaded machine keeps will do, never one on speed.
HANG_BOUND = 60.0


def returns(call, *args, what=None, bound=HANG_BOUND):
    """Runs call(*args) on a thread of its own and returns what it returned (raises what it raised). When it has
    not returned within `bound` s the test fails by itself, naming what it waited for (`what`), rather than
    hanging until the run's time limit: a raw read, a wait for a block or a stop stuck in C never comes back to
    the interpreter for pytest-timeout to end it."""
    done = threading.Event()
    outcome = []

    def body():
        try:
            outcome.append((True, call(*args)))
        except BaseException as e:  # noqa: BLE001  (handed to the test's thread)
            outcome.append((False, e))
        done.set()

    threading.Thread(target=body, daemon=True).start()
    if not done.wait(bound):
        pytest.fail(f"{what or getattr(call, '__name__', call)} did not return within {bound} s")
    ok, value = outcome[0]
    if not ok:
        raise value
    return value


def raw_read(board, count):
    """board._get_raw_data(count), failing the test should it never return."""
    return returns(board._get_raw_data, count, what=f"a raw read of {count} bytes")


def wait_until(condition, bound=30.0, step=0.01):
    """Polls `condition` until it holds; fails the test after `bound` seconds of monotonic time."""
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"condition not met within {bound} s")
        time.sleep(step)


def wait_until_decoded(board, frames, bound=30.0):
    """Returns once the board's decoder has copied `frames` frames into its blocks since the board was opened:
    on a board nobody reads, 64 blocks' worth means the pool is all filled."""
    wait_until(lambda: board_health(board).frames_decoded >= frames, bound)


class BoardOpener:
    """Opens boards on the simulated bus and closes whatever it opened when the test ends."""

    def __init__(self, sim):
        self.sim = sim
        self.boards = []

    def __call__(self, *args, timeout=datetime.timedelta(seconds=10), **kwargs):
        if not args and "serial_number" not in kwargs:
            args = (SERIAL,)
            kwargs.setdefault("samples_count", ROWS)
        board = m.PCB_ROQ(*args, **kwargs)
        if timeout is not None:
            board.timeout = timeout
        self.boards.append(board)
        return board

    def close_all(self):
        for board in self.boards:
            board.stop()
        self.boards.clear()
        gc.collect()


@pytest.fixture
def open_board(sim):
    """open_board(*args, timeout=10 s, **kwargs) -> an idle PCB_ROQ; no arguments: SIM0001 with 64 rows."""
    opener = BoardOpener(sim)
    yield opener
    opener.close_all()


@pytest.fixture
def device(sim):
    """The simulated SIM0001."""
    return sim.device(SERIAL)
