"""A capture to .npy killed mid-run (SIGKILL, nothing gets to clean up) leaves a file numpy.load reads."""
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from pyzum_zezudi_vu import frame_indices

pytestmark = pytest.mark.timeout(180)

RATE = 2_000_000  # stream bytes per second: a steady, modest amount of data to write
FRAMES_PER_SECOND = RATE // 12
# A FIFO of a few seconds of stream, so a busy machine starving the reader loses no frame.
BOARD = f"board,rate={RATE},fifo={4 * RATE}"
SECONDS_OF_DATA = 3


def written_rows(path):
    """Rows whose bytes are in the file, counted or not by its header yet; a torn last row does not count."""
    try:
        return (path.stat().st_size - header_bytes(path)) // 10
    except (OSError, ValueError, EOFError):  # not there yet, or its header not complete
        return 0


def test_killed_capture_loads_with_at_most_about_a_second_missing(sim, tmp_path, record_property):
    path = tmp_path / "killed.npy"
    env = dict(os.environ, PCB_ROQ_SIM=BOARD)
    child = subprocess.Popen([sys.executable, "-m", "pyzum_zezudi_vu", "capture", "--out", str(path),
                              "--seconds", "30"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120
        while written_rows(path) < SECONDS_OF_DATA * FRAMES_PER_SECOND:
            assert child.poll() is None, child.stderr.read().decode()
            assert time.monotonic() < deadline, "the capture wrote too few rows"
            time.sleep(0.05)
        child.send_signal(signal.SIGKILL)
    finally:
        child.kill()
        child.wait()
        child.stderr.close()
    # Killed mid-run, not ended on its own (which would have written the complete header).
    assert child.returncode == -signal.SIGKILL

    data = np.load(path)
    assert data.dtype == np.int16 and data.ndim == 2 and data.shape[1] == 5
    assert len(data) > 0, "the header recorded no row"
    index = frame_indices(data).astype(np.int64)
    assert np.array_equal(index - index[0], np.arange(len(data))), "the recorded rows are not contiguous"
    missing = written_rows(path) - len(data)
    record_property("figure", f"capture killed with SIGKILL: the .npy loads with {len(data)} contiguous rows, "
                              f"{missing} rows ({missing / FRAMES_PER_SECOND:.2f} s of stream) written after the "
                              "header's last update")
    # The header trails the writes by its interval plus a disk sync; a second of stream, with room for load.
    assert 0 <= missing <= 3 * FRAMES_PER_SECOND, f"{missing} rows written but not recorded"


def header_bytes(path):
    with open(path, "rb") as f:
        np.lib.format.read_magic(f)
        np.lib.format.read_array_header_1_0(f)
        return f.tell()
