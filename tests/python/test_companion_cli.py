"""python3 -m pyzum_zezudi_vu: list, capture and raw against the simulated board (fixture `sim`)."""
import os
import resource
import subprocess
import sys
import time

import numpy as np
import pytest

from pyzum_zezudi_vu import frame_indices
from pyzum_zezudi_vu.cli import EXIT_FRAMES_LOST, EXIT_NO_BOARD, main


def summary(text):
    """The capture summary as {label: value}."""
    out = {}
    for line in text.splitlines():
        label, _, value = line.partition("  ")
        out[label.strip()] = value.strip()
    return out


class TestList:
    def test_prints_each_serial_on_its_own_line(self, sim, capsys):
        sim.configure("board;board")
        assert main(["list"]) == 0
        assert capsys.readouterr().out.split() == ["SIM0001", "SIM0002"]

    def test_no_board_is_an_error_status(self, sim, capsys):
        sim.configure("")
        assert main(["list"]) == EXIT_NO_BOARD
        assert "No PCB_ROQ board found" in capsys.readouterr().err

    def test_runs_as_a_module(self, sim):
        # The child inherits the preloaded simulator; its bus holds the one default board.
        env = dict(os.environ)
        env.pop("PCB_ROQ_SIM", None)
        proc = subprocess.run([sys.executable, "-m", "pyzum_zezudi_vu", "list"], env=env,
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split() == ["SIM0001"]


class TestCapture:
    def test_blocks_to_npy_and_png(self, sim, capsys, tmp_path):
        # A real rate (never an unlimited board) that the pool of 64 blocks bridges for a second of a busy machine.
        sim.configure("board,rate=2e5")
        out, png = tmp_path / "c.npy", tmp_path / "c.png"
        status = main(["capture", "--blocks", "3", "--samples-count", "256", "--out", str(out),
                       "--plot", str(png), "--plot-samples", "300"])
        report = summary(capsys.readouterr().out)
        assert status == 0
        assert report["board"] == "SIM0001"
        assert report["blocks"] == "3 of 256 frames"
        assert report["frames"] == "768"
        assert report["lost frames"] == "0"
        assert report["out-of-order frames"] == "0"
        data = np.load(out)
        assert data.shape == (768, 5) and data.dtype == np.int16
        idx = frame_indices(data).astype(np.int64)
        assert np.array_equal(idx - idx[0], np.arange(768))
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_seconds_reports_a_rate(self, sim, capsys):
        sim.configure("board,rate=2e6")
        status = main(["capture", "--seconds", "0.3", "--samples-count", "256"])
        report = summary(capsys.readouterr().out)
        assert int(report["blocks"].split()[0]) >= 1
        assert float(report["rate"].split()[0]) > 0
        # A loaded machine may truly fall behind the board: the verdict must then say so, with its reasons.
        assert status == (0 if report["stream"] == "arrived whole" else EXIT_FRAMES_LOST), report["stream"]

    def test_lost_bytes_show_as_lost_frames(self, sim, capsys):
        # Bytes missing from the stream put the decoder out of step; it realigns, and the frames skipped on
        # the way are missing from the counter.
        # Past the first block, which begins some 4,200 frames in (the purge of the FIFO, then realignment).
        sim.device(0).drop_bytes([12 * 15000 + 3, 12 * 19000 + 7, 12 * 23000 + 1])
        status = main(["capture", "--blocks", "8", "--samples-count", "4096"])
        report = summary(capsys.readouterr().out)
        assert status == EXIT_FRAMES_LOST
        assert int(report["lost frames"]) > 0

    def test_no_board_is_a_clear_error(self, sim, capsys):
        sim.configure("")
        assert main(["capture", "--blocks", "1"]) == EXIT_NO_BOARD
        err = capsys.readouterr().err
        assert "No PCB_ROQ board found" in err and "udev" in err

    @pytest.mark.parametrize("argv", [["capture", "--blocks", "1", "--out"], ["capture", "--blocks", "1", "--plot"],
                                      ["raw", "--bytes", "10", "--out"]])
    def test_an_output_into_a_missing_folder_is_refused_before_any_board_is_opened(self, sim, capsys, tmp_path,
                                                                                 argv):
        sim.configure("")  # a board opened first would fail as missing instead
        assert main([*argv, str(tmp_path / "missing" / "x.npy")]) == 1
        assert "missing does not exist" in capsys.readouterr().err

    def test_a_wrong_serial_names_the_boards_present(self, sim, capsys):
        sim.configure("board;board")
        assert main(["capture", "--serial", "NOPE", "--blocks", "1"]) == EXIT_NO_BOARD
        assert "no board with serial 'NOPE'; boards present: SIM0001, SIM0002" in capsys.readouterr().err
        sim.configure("")
        assert main(["capture", "--serial", "NOPE", "--blocks", "1"]) == EXIT_NO_BOARD
        err = capsys.readouterr().err
        assert "none is connected" in err and "udev" in err

    @pytest.mark.skipif(os.environ.get("PYZUM_SANITIZED") == "1",
                        reason="AddressSanitizer's shadow memory does not fit under a limit on address space")
    def test_blocks_too_large_for_memory_are_said_in_one_line(self, sim):
        limit = 4 << 30

        def cap_memory():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        done = subprocess.run([sys.executable, "-m", "pyzum_zezudi_vu", "capture", "--samples-count", "178956970",
                               "--blocks", "1"], env=dict(os.environ, PCB_ROQ_SIM="board"), preexec_fn=cap_memory,
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 1
        assert done.stderr.strip().splitlines() == [done.stderr.strip()] and "too large" in done.stderr

    def test_amount_is_required(self, sim):
        with pytest.raises(SystemExit):
            main(["capture"])
        with pytest.raises(SystemExit):
            main(["capture", "--blocks", "1", "--seconds", "1"])


class TestRaw:
    def test_bytes_to_file_with_frame_report(self, sim, capsys, tmp_path):
        out = tmp_path / "raw.bin"
        assert main(["raw", "--bytes", "4800", "--out", str(out)]) == 0
        data = out.read_bytes()
        assert len(data) == 4800
        assert data[:2] == b"\xf0\x0f"
        text = capsys.readouterr().out
        assert "400 from byte 0, 0 without the sync pair" in text
        assert "0 lost, 0 out of order" in text

    def test_no_board_is_a_clear_error(self, sim, capsys, tmp_path):
        sim.configure("")
        assert main(["raw", "--bytes", "10", "--out", str(tmp_path / "x")]) == EXIT_NO_BOARD
        assert "udev" in capsys.readouterr().err

    def test_writes_while_it_reads(self, sim, tmp_path):
        out = tmp_path / "raw.bin"
        child = subprocess.Popen([sys.executable, "-m", "pyzum_zezudi_vu", "raw", "--bytes", str(10**14), "--out",
                                  str(out)], env=dict(os.environ, PCB_ROQ_SIM="board,rate=2e6"),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 60
            while not out.exists() or out.stat().st_size < 3 << 20:
                assert child.poll() is None, child.stderr.read()
                assert time.monotonic() < deadline, "the file did not grow while the board was read"
                time.sleep(0.05)
        finally:
            child.kill()
            child.wait()
            child.stderr.close()

    def test_the_frame_report_spans_every_piece_read(self, sim, capsys, tmp_path):
        sim.configure("board,rate=4e6,fifo=16000000")
        out = tmp_path / "raw.bin"
        size = (5 << 20) // 2 + 7  # two and a half pieces, the last frame cut
        assert main(["raw", "--bytes", str(size), "--out", str(out)]) == 0
        assert out.stat().st_size == size
        text = capsys.readouterr().out
        assert f"{size // 12} from byte 0, 0 without the sync pair" in text
        assert "0 lost, 0 out of order" in text
