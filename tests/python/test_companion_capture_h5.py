"""capture --out FILE.h5: every frame with the board's identity, block arrival times, counters and verdict, one
group per board; readable while written and after the capture is killed."""
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from pyzum_zezudi_vu import frame_indices
from pyzum_zezudi_vu.cli import main

h5py = pytest.importorskip("h5py")
from pyzum_zezudi_vu.recording import open_recording  # noqa: E402
from pyzum_zezudi_vu.sinks.hdf5 import HEALTH_COUNTERS  # noqa: E402

pytestmark = pytest.mark.timeout(180)

RATE = 2_000_000
FRAMES_PER_SECOND = RATE // 12
# A FIFO of a few seconds of stream, so a busy machine starving the readers loses no frame.
BOARD = f"board,rate={RATE},fifo={4 * RATE}"


def run_tool(*argv):
    return subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=120)


def assert_hdf5_tools_read(path):
    """HDF5's own tools list and dump the whole file: in the Debian 12 root they are HDF5 1.10's."""
    for tool in (["h5dump", "-H"], ["h5ls", "-r"]):
        done = run_tool(*tool, path)
        text = done.stdout + done.stderr
        assert done.returncode == 0 and "frames" in done.stdout and "error" not in text.lower(), (tool, text)


def assert_board_whole(group, blocks=None, not_kept=0):
    frames = group["frames"][:]
    table = group["blocks"][:]
    assert len(frames) > 0 and (blocks is None or len(table) == blocks)
    index = frame_indices(frames).astype(np.int64)
    assert np.array_equal(index - index[0], np.arange(len(frames))), "frames missing or out of order"
    assert np.array_equal(table["first_frame"], np.concatenate([[0], np.cumsum(table["frames"])[:-1]]))
    assert table["frames"].sum() == len(frames)
    assert np.all(np.diff(table["arrival_monotonic_ns"]) >= 0) and np.all(table["arrival_utc_ns"] > 0)
    assert group["verdict"][()].decode() == "arrived whole"
    health = dict(zip(group["health"].attrs["counters"], group["health"][:]))
    assert list(health) == HEALTH_COUNTERS
    # The blocks still queued when the run ended are written too: every frame decoded is in the file, but for
    # those decoded past the blocks asked for, which the summary counts as not kept.
    assert health["frames_decoded"] == len(frames) + not_kept


def test_a_capture_holds_every_frame_with_what_describes_it(sim, tmp_path, capsys):
    sim.configure(BOARD)
    path = tmp_path / "run.h5"
    assert main(["capture", "--blocks", "12", "--out", str(path), "--json"]) == 0
    summary = json.loads(capsys.readouterr().out)
    assert summary["out"] == str(path)
    with h5py.File(path, "r") as f:  # closed cleanly: any HDF5 1.10 reader opens it
        assert set(f) == {"SIM0001"}
        for key in ("start_time_utc", "host", "pyzum_zezudi_vu", "libftdi", "libusb"):
            assert f.attrs[key], key
        group = f["SIM0001"]
        assert group.attrs["serial_number"] == "SIM0001" and group.attrs["samples_count"] == 4096
        assert_board_whole(group, blocks=12, not_kept=summary.get("frames_not_kept", 0))
    assert_hdf5_tools_read(path)


@pytest.mark.parametrize("boards", [2, 4])
def test_several_boards_each_arrive_whole_into_their_own_group(sim, tmp_path, boards):
    sim.configure(";".join([BOARD] * boards))
    path = tmp_path / "boards.h5"
    assert main(["capture", "--all", "--seconds", "1", "--out", str(path)]) == 0
    with h5py.File(path, "r") as f:  # closed cleanly: any HDF5 reader opens it, not only a SWMR one
        assert len(f) == boards
    with open_recording(path) as f:
        assert sorted(f) == [f"SIM{i:04d}" for i in range(1, boards + 1)]
        for serial in f:
            assert_board_whole(f[serial])


def test_the_file_says_what_its_numbers_are_and_how_the_run_ended(sim, tmp_path, capsys):
    sim.configure(BOARD)
    path = tmp_path / "described.h5"
    assert main(["capture", "--seconds", "1", "--out", str(path), "--json"]) == 0
    summary = json.loads(capsys.readouterr().out)
    with h5py.File(path, "r") as f:
        group = f["SIM0001"]
        assert list(group.attrs["channels"]) == ["frame_counter_low", "frame_counter_high", "word2", "word3",
                                                 "word4"]
        assert group.attrs["units"] == "counts" and group.attrs["frame_rate_hz_nominal"] == 40e6 / 12
        # The simulated board streams at RATE bytes a second; a loaded machine stretches the arrivals a little.
        assert 0.5 * FRAMES_PER_SECOND < group.attrs["frame_rate_hz_measured"] < 1.5 * FRAMES_PER_SECOND
        assert group.attrs["ended"] == "completed"
        assert group.attrs["frames_not_kept"] == summary.get("frames_not_kept", 0)
        assert group["health"].dtype == np.int64
        health = dict(zip(group["health"].attrs["counters"], group["health"][:]))
        assert health["frames_decoded"] == summary["health"]["frames_decoded"]
        assert group["verdict"].dtype.kind == "O" and group["verdict"][()] == b"arrived whole"  # no padding
    assert_hdf5_tools_read(path)
    assert "\\000" not in run_tool("h5dump", "-d", "SIM0001/verdict", path).stdout


def test_several_boards_need_an_hdf5_file(sim, tmp_path, capsys):
    sim.configure(f"{BOARD};{BOARD}")
    assert main(["capture", "--all", "--blocks", "1", "--out", str(tmp_path / "x.npy")]) == 1
    assert "one HDF5 file" in capsys.readouterr().err


def test_a_killed_capture_was_readable_while_written_and_loads_after(sim, tmp_path, record_property):
    path = tmp_path / "killed.h5"
    env = dict(os.environ, PCB_ROQ_SIM=BOARD)
    child = subprocess.Popen([sys.executable, "-m", "pyzum_zezudi_vu", "capture", "--out", str(path),
                              "--seconds", "60"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seen = 0
    try:
        deadline = time.monotonic() + 120
        while seen < 3 * FRAMES_PER_SECOND:
            assert child.poll() is None, child.stderr.read().decode()
            assert time.monotonic() < deadline, f"a reader saw only {seen} rows while the capture wrote"
            time.sleep(0.1)
            try:
                with open_recording(path) as f:
                    seen = f["SIM0001/frames"].shape[0]
            except (OSError, KeyError):
                pass  # not created yet
        child.send_signal(signal.SIGKILL)
    finally:
        child.kill()
        child.wait()
        child.stderr.close()
    assert child.returncode == -signal.SIGKILL
    # HDF5's own tools (Debian's hdf5-tools) refuse the file until it is repaired, then open it.
    assert run_tool("h5dump", "-H", path).returncode != 0, "a killed recording is marked open for writing"
    assert main(["repair", str(path)]) == 0
    assert_hdf5_tools_read(path)
    with h5py.File(path, "r") as f:  # a plain reader, as MATLAB and HDFView are
        assert f["SIM0001/frames"].shape[0] == f["SIM0001/blocks"]["frames"].sum()
    with open_recording(path) as f:
        frames = f["SIM0001/frames"][:]
        table = f["SIM0001/blocks"][:]
    index = frame_indices(frames).astype(np.int64)
    assert np.array_equal(index - index[0], np.arange(len(frames))), "the loaded rows are not contiguous"
    assert table["frames"].sum() == len(frames)
    # What a reader saw before the kill stays; the file trails the writer by its flush interval.
    assert len(frames) >= seen
    record_property("figure", f"HDF5 capture killed with SIGKILL: loads with {len(frames)} contiguous rows; a "
                              f"reader had seen {seen} rows shortly before the kill")
