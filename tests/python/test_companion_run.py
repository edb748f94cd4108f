"""A run of several boards into sinks: what a failing sink and a signal leave behind (simulated boards)."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from pyzum_zezudi_vu import Run, Sink, open_recording
from pyzum_zezudi_vu.result import ENDED_AS_ASKED, ENDED_FAILED
from pyzum_zezudi_vu.run import open_boards

h5py = pytest.importorskip("h5py")

pytestmark = pytest.mark.timeout(180)

RATE = 2_000_000
BOARD = f"board,rate={RATE},fifo={4 * RATE}"


class FullDisk(Sink):
    """Takes blocks until `failing_after` of them came from `serial`, then fails as a full disk does."""

    def __init__(self, serial, failing_after):
        self.serial, self.left = serial, failing_after
        self.closed = False

    def take(self, serial, block, arrival_ns, arrival_utc_ns):
        if serial == self.serial:
            self.left -= 1
            if self.left < 0:
                raise OSError(28, "No space left on device")

    def close(self):
        self.closed = True


def test_a_sink_that_fails_ends_the_run_of_every_board_and_says_why(sim):
    sim.configure(f"{BOARD};{BOARD}")
    sink = FullDisk("SIM0002", failing_after=3)
    with open_boards(["SIM0001", "SIM0002"], 256, timeout=30) as boards:
        result = Run(boards, [sink], seconds=120).execute()
    first, failed = result.boards
    assert failed.ended == ENDED_FAILED and "No space left on device" in failed.error
    assert failed.blocks == 4 and not failed.whole and failed.exit_status == 1
    assert first.ended == ENDED_AS_ASKED and first.seconds < 120  # stopped with the other board
    assert sink.closed and result.exit_status == 1


def test_sigterm_ends_a_recording_as_ctrl_c_does(sim, tmp_path):
    path = tmp_path / "terminated.h5"
    env = dict(os.environ, PCB_ROQ_SIM=f"{BOARD};{BOARD}")
    child = subprocess.Popen([sys.executable, "-m", "pyzum_zezudi_vu", "capture", "--all", "--seconds", "120",
                              "--json", "--out", str(path)], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        rows = 0
        while rows < RATE // 12:
            assert child.poll() is None, child.stderr.read()
            assert time.monotonic() < deadline, f"the recording held only {rows} rows after a minute"
            time.sleep(0.1)
            try:
                with open_recording(path) as f:
                    rows = f["SIM0002/frames"].shape[0]
            except (OSError, KeyError):
                pass  # not created yet
        child.send_signal(signal.SIGTERM)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 128 + signal.SIGTERM, err
    report = json.loads(out)
    with h5py.File(path, "r") as f:  # closed cleanly: a plain reader opens it
        for board in report["boards"]:
            assert board["signal"] == "SIGTERM" and board["interrupted"]
            group = f[board["board"]]
            assert group["verdict"][()].decode() == "arrived whole"
            assert group["frames"].shape[0] == board["frames"] == board["health"]["frames_decoded"]
