"""What `capture` ends with: the board's counters of the run, one verdict on the stream, and the exit status.

Each fault the simulated board can inject must show in the counter it belongs to, in the summary and in the
exit status; a clean run shows zeros. The boards stream at a real rate (an unlimited board outruns any
reader): they start paused and are let go once acquisition has purged the chip, so the stream arrives from
its first byte and the faults land where they are planned.
"""
import contextlib
import json
import os
import signal
import threading
import time

import numpy as np
import pytest

import pcb_roq_sim
from board_fixtures import wait_until
from pyzum_zezudi_vu import run as run_module
from pyzum_zezudi_vu.frames import FrameCheck
from pyzum_zezudi_vu.sinks.npy import _header as npy_header
from pyzum_zezudi_vu.cli import EXIT_FRAMES_LOST, EXIT_INTERRUPTED, main
from pyzum_zezudi_vu.health import board_health
from test_companion_cli import summary

RATE = 2e6  # 40 blocks of 4096 frames a second: the pool of 64 bridges 1.6 s of a reader held up by a busy machine
ROWS = 4096
DAMAGE = ("bytes_skipped", "frames_without_sync", "failed_reads", "transfers_failed", "transfers_ran_out",
          "wait_for_block_s")


def stream_from_first_byte(sim, spec=f"board,rate={RATE:g}", data=None):
    """Configures a paused board and lets it stream once the capture's first read has purged its chip."""
    sim.configure(spec + ",paused")
    device = sim.device(0)
    if data is not None:
        device.stream_raw(data, repeat=len(data) < 1000)

    def let_go():
        # Once the first transfer after the purge is queued: a board let go before it would overflow the FIFO.
        deadline = time.monotonic() + 60
        while device.stats.purges_rx < 1 and time.monotonic() < deadline:
            time.sleep(0.002)
        queued = device.stats.bulk_reads
        while device.stats.bulk_reads <= queued and time.monotonic() < deadline:
            time.sleep(0.0005)
        device.resume()

    threading.Thread(target=let_go, daemon=True).start()
    return device


def capture(capsys, *argv):
    status = main(["capture", "--json", *argv])
    return status, json.loads(capsys.readouterr().out)


def unnumbered_frames(count):
    """Frames with the sync pair and constant words: a board without a frame counter."""
    frame = bytes([0xF0, 0x0F]) + np.array([7, -7, 100, 0, 1], "<i2").tobytes()
    return frame * count


class TestCleanRun:
    @pytest.mark.parametrize("numbered", [True, False], ids=["frame-counter", "no-frame-counter"])
    def test_shows_zeros_says_whole_and_exits_zero(self, sim, capsys, numbered):
        device = stream_from_first_byte(sim, data=None if numbered else unnumbered_frames(64))
        status, report = capture(capsys, "--blocks", "40")
        h = report["health"]
        assert status == 0, report["problems"]
        assert report["whole"] and report["problems"] == []
        assert report["frame_counter"]["checked"] is numbered
        assert {name: h[name] for name in DAMAGE} == dict.fromkeys(DAMAGE, 0)
        assert h["resynchronisations"] == 0 and h["bytes_skipped_at_start"] == 0
        assert h["frames_decoded"] >= 40 * ROWS and h["blocks_delivered"] >= 40
        assert device.stats.bytes_lost == 0  # the simulated chip agrees: nothing overflowed

    def test_text_summary_gives_the_verdict_in_one_line(self, sim, capsys):
        stream_from_first_byte(sim)
        assert main(["capture", "--blocks", "10"]) == 0
        report = summary(capsys.readouterr().out)
        assert report["stream"] == "arrived whole"
        assert report["waited for blocks"] == "0.000 s"


class TestInjectedFaults:
    @pytest.mark.parametrize("numbered", [True, False], ids=["frame-counter", "no-frame-counter"])
    def test_dropped_bytes_are_skipped_bytes(self, sim, capsys, numbered):
        # Whole blocks are read in one go: the drops fall inside the 4th and 6th reads.
        device = stream_from_first_byte(sim, data=None if numbered else unnumbered_frames(64))
        device.drop_bytes([12 * (3 * ROWS + 100) + 3, 12 * (5 * ROWS + 7) + 5])
        status, report = capture(capsys, "--blocks", "12")
        h = report["health"]
        assert status == EXIT_FRAMES_LOST
        assert not report["whole"]
        assert h["resynchronisations"] == 2 and h["bytes_skipped"] > 0
        assert any("bytes skipped" in p for p in report["problems"])
        if numbered:
            assert report["frame_counter"]["lost"] > 0

    def test_broken_sync_pairs_inside_a_read_are_frames_without_sync(self, sim, capsys):
        device = stream_from_first_byte(sim)
        device.corrupt_sync([2 * ROWS + 10, 4 * ROWS + 2001])  # not the first frame of a read: copied
        status, report = capture(capsys, "--blocks", "8")
        h = report["health"]
        assert status == EXIT_FRAMES_LOST
        assert h["frames_without_sync"] == 2 and h["bytes_skipped"] == 0
        assert report["frame_counter"]["lost"] == 0  # the rows themselves are in their places
        assert report["problems"] == ["2 frames copied without their sync pair"]

    def test_a_failed_transfer_is_counted_and_fails_the_capture(self, sim, capsys):
        device = stream_from_first_byte(sim)
        device.fail_bulk_read(12)
        status, report = capture(capsys, "--blocks", "30")
        assert status == EXIT_FRAMES_LOST
        assert report["health"]["transfers_failed"] == 1
        assert any("USB transfers failed" in p for p in report["problems"])

    def test_a_paused_board_shows_short_reads_and_the_frames_it_cost(self, sim, capsys):
        device = stream_from_first_byte(sim)

        def pause_once():
            wait_until(lambda: device.stats.bytes_delivered > 12 * 20 * ROWS)
            device.pause()
            time.sleep(0.2)  # 40 latency periods of the scaled timer: the chip sends status-only packets
            device.resume()

        pauser = threading.Thread(target=pause_once)
        pauser.start()
        status, report = capture(capsys, "--blocks", "80")
        pauser.join()
        h = report["health"]
        assert h["short_reads"] >= 1
        # The board lost nothing; what the decoder skipped when the pause cut a frame is what the frame counter
        # misses, and only that fails the capture.
        assert (h["bytes_skipped"] > 0) == (report["frame_counter"]["lost"] > 0)
        assert status == (EXIT_FRAMES_LOST if h["bytes_skipped"] else 0)

    def test_a_slow_reader_makes_the_acquisition_wait(self, sim, capsys, monkeypatch):
        stream_from_first_byte(sim, spec="board,rate=1e7")

        feed = FrameCheck.feed

        def slow_feed(self, block):
            time.sleep(0.02)  # four times the 4.9 ms a block lasts at this rate
            feed(self, block)

        monkeypatch.setattr(FrameCheck, "feed", slow_feed)
        status, report = capture(capsys, "--blocks", "60")
        assert status == EXIT_FRAMES_LOST
        assert report["health"]["wait_for_block_s"] > 0
        assert any("reader fell behind" in p for p in report["problems"])

    def test_an_acquisition_that_cannot_keep_up_shows_where_the_chip_overflowed(self, sim, capsys):
        # Blocks of 4 frames at 40 MB/s: over 800,000 reads a second, more than the acquisition thread makes.
        device = stream_from_first_byte(sim, spec="board,rate=4e7")
        status, report = capture(capsys, "--seconds", "1", "--samples-count", "4")
        assert status == EXIT_FRAMES_LOST
        assert device.stats.bytes_lost > 0
        assert report["health"]["transfers_ran_out"] > 0
        assert any("ran out" in p for p in report["problems"])

    def test_a_stop_mid_block_shows_the_partly_filled_block(self, sim, capsys, tmp_path, monkeypatch):
        # One and a half blocks, then the board falls silent; Ctrl-C ends the wait for the second block.
        rows = 256
        data = pcb_roq_sim.pattern_bytes(0, 12 * rows * 3 // 2)
        stream_from_first_byte(sim, data=data)
        opened = []
        open_board = run_module.open_board

        @contextlib.contextmanager
        def kept_open_board(*args, **kwargs):
            with open_board(*args, **kwargs) as board:
                opened.append(board.device)
                yield board

        monkeypatch.setattr(run_module, "open_board", kept_open_board)

        out = tmp_path / "c.npy"
        first_block_written = len(npy_header(0, 5)) + rows * 10

        def interrupt():
            # Once the decoder has read the whole stream and the capture has written the first block, however
            # long a busy machine takes to get there; a stream that never gets there is reported below, not by a
            # capture waiting for its timeout.
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not (
                    opened and board_health(opened[0]).stream_bytes >= len(data)
                    and out.exists() and out.stat().st_size >= first_block_written):
                time.sleep(0.01)
            os.kill(os.getpid(), signal.SIGINT)

        interrupter = threading.Thread(target=interrupt)
        interrupter.start()
        # A run started in the background has SIGINT ignored, and then no KeyboardInterrupt would come.
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            status, report = capture(capsys, "--blocks", "2", "--samples-count", str(rows), "--timeout", "60",
                                     "--out", str(out))
        finally:
            interrupter.join()
            signal.signal(signal.SIGINT, previous)
        h = report["health"]
        sent = {k: v for k, v in sim.device(0).stats.as_dict().items() if "bytes" in k or "stream" in k}
        assert h["stream_bytes"] == len(data), f"the decoder read {h['stream_bytes']} bytes; the chip: {sent}"
        assert status == EXIT_INTERRUPTED and report["interrupted"]
        # Reads that end inside a frame (when the stream comes is up to the machine) cost a frame or two each;
        # what the decoder got past the first block is the partly filled one.
        assert h["frames_decoded"] > rows
        assert h["partial_blocks"] == 1 and h["partial_block_rows"] == h["frames_decoded"] - rows
        # Ctrl-C keeps what was decoded before it: the partly filled block too, cut to its frames.
        assert report["blocks"] == 2 and report["frames"] == h["frames_decoded"]
        assert np.load(out).shape == (h["frames_decoded"], 5)

    def test_a_board_that_stops_sending_ends_with_the_summary_and_an_error(self, sim, capsys):
        sim.configure(f"board,rate={RATE:g},paused")
        status = main(["capture", "--json", "--blocks", "1", "--timeout", "0.3"])
        captured = capsys.readouterr()
        report = json.loads(captured.out)
        assert status == 1
        assert report["blocks"] == 0 and not report["whole"] and "error" in report
        assert "no block from board" in captured.err
