"""What a capture leaves on disk when it fails to start, when the disk fills, and however it ends: an earlier
recording is never lost, a file never counts rows it does not hold."""
import contextlib
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from pyzum_zezudi_vu import frame_indices
from pyzum_zezudi_vu.cli import EXIT_NO_BOARD, EXIT_WRITE_FAILED, main

h5py = pytest.importorskip("h5py")

pytestmark = pytest.mark.timeout(180)

RATE = 2_000_000
BOARD = f"board,rate={RATE},fifo={4 * RATE}"


def stored_rows(path):
    """Rows of the recording `path` and whether they are consecutive frames."""
    if path.suffix == ".npy":
        frames = np.load(path)
    else:
        with h5py.File(path, "r") as f:
            frames = f["SIM0001/frames"][:]
            assert f["SIM0001/blocks"]["frames"].sum() == len(frames)
    index = frame_indices(frames).astype(np.int64)
    return len(frames), np.array_equal(index - index[0], np.arange(len(frames)))


@pytest.mark.parametrize("suffix", [".npy", ".h5"])
def test_a_capture_that_fails_to_start_leaves_the_old_recording_as_it_was(sim, tmp_path, capsys, suffix):
    path = tmp_path / f"good{suffix}"
    path.write_bytes(b"an earlier recording")
    sim.configure(BOARD)
    assert main(["capture", "--serial", "NO-SUCH-BOARD", "--seconds", "1", "--out", str(path)]) == EXIT_NO_BOARD
    sim.configure(BOARD + ",paused")  # opens, but never sends a block
    assert main(["capture", "--timeout", "0.5", "--seconds", "5", "--out", str(path)]) == 1
    assert "was left as it was" in capsys.readouterr().out
    assert path.read_bytes() == b"an earlier recording"
    assert os.listdir(tmp_path) == [path.name], "a temporary file was left behind"


@contextlib.contextmanager
def small_disk(where, size="3m"):
    where.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(where)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {mounted.stderr.strip()}")
    try:
        yield where
    finally:
        subprocess.run(["umount", str(where)], check=True)


@pytest.mark.parametrize("suffix", [".npy", ".h5"])
def test_a_full_disk_ends_the_capture_with_a_file_of_real_frames_and_says_so(sim, tmp_path, capsys, suffix):
    sim.configure(BOARD)
    with small_disk(tmp_path / "small") as disk:
        path = disk / f"full{suffix}"
        assert main(["capture", "--seconds", "20", "--out", str(path), "--json"]) == EXIT_WRITE_FAILED
        out = capsys.readouterr()
        report = json.loads(out.out)
        assert report["ended"] == "writing failed" and "writing failed" in out.err
        assert report["seconds"] < 15, "the capture went on after the disk was full"
        rows, consecutive = stored_rows(path)
        assert 0 < rows < report["frames"] and consecutive
        if suffix == ".h5":
            with h5py.File(path, "r") as f:
                assert f["SIM0001/verdict"][()].decode().startswith("NOT whole: writing failed: ")
                assert f["SIM0001"].attrs["ended"] == "writing failed"
        assert os.listdir(disk) == [path.name]


@pytest.mark.parametrize("suffix", [".npy", ".h5"])
@pytest.mark.parametrize("ending", ["seconds", "blocks", "SIGINT", "SIGTERM"])
def test_every_ending_stores_each_frame_it_kept(sim, tmp_path, ending, suffix):
    path = tmp_path / f"run{suffix}"
    amount = {"seconds": ["--seconds", "1"], "blocks": ["--blocks", "8"]}.get(ending, ["--seconds", "120"])
    child = subprocess.Popen([sys.executable, "-m", "pyzum_zezudi_vu", "capture", "--json", "--out", str(path),
                              *amount], env=dict(os.environ, PCB_ROQ_SIM=BOARD), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        if ending.startswith("SIG"):
            deadline = time.monotonic() + 60
            while not path.exists():  # in place once the first block arrived
                assert child.poll() is None, child.stderr.read()
                assert time.monotonic() < deadline, "no block arrived within a minute"
                time.sleep(0.05)
            time.sleep(0.5)
            child.send_signal(getattr(signal, ending))
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
        child.wait()
    report = json.loads(out)
    rows, consecutive = stored_rows(path)
    assert consecutive
    assert rows == report["health"]["frames_decoded"] - report.get("frames_not_kept", 0), err
    if suffix == ".h5":
        with h5py.File(path, "r") as f:
            assert f["SIM0001"].attrs["ended"] == {"SIGINT": "Ctrl-C"}.get(ending, ending if ending.startswith(
                "SIG") else "completed")
