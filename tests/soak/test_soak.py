"""Long runs of one board and of many: nothing may pile up (threads, file descriptors, memory, blocks)."""
import datetime
import gc
import random
import threading
import time

import numpy as np
import pytest

import _pyzum_zezudi_vu as m
import process_probe
from sim_fixture import pool_size
from soak_length import length
from pyzum_zezudi_vu import FrameCheck

# A test that hangs fails on its own instead of stalling the run.
pytestmark = pytest.mark.timeout(600)

td = datetime.timedelta


class TestStartStop:
    def test_cycles_leave_no_thread_or_descriptor_behind(self, sim, figure):
        cycles = 1000
        board = m.PCB_ROQ("SIM0001", 64)
        board.timeout = td(seconds=10)
        board.start()
        assert board.samples is not None
        board.stop()
        gc.collect()
        threads, fds = process_probe.threads(), process_probe.open_fds()
        began = time.monotonic()
        for i in range(cycles):
            board.start()
            if i % 10 == 0:
                assert board.samples is not None
            board.stop()
        elapsed = time.monotonic() - began
        gc.collect()
        after_threads, after_fds = process_probe.threads(), process_probe.open_fds()
        blocks = pool_size(board)
        figure(f"start/stop: {cycles} cycles in {elapsed:.1f} s; threads {threads} -> {after_threads}, "
               f"file descriptors {fds} -> {after_fds}, pool {blocks} of 64 blocks")
        assert (after_threads, after_fds) == (threads, fds)
        assert blocks == 64
        del board


class TestStream:
    def test_memory_stays_flat(self, sim, figure):
        seconds = length(10, 60)
        warm_up = 2.0
        board = m.PCB_ROQ("SIM0001")  # the default 4096 rows
        board.timeout = td(seconds=10)
        check = FrameCheck()
        board.start()
        began = time.monotonic()
        while time.monotonic() - began < warm_up:
            check.feed(board.samples)
        gc.collect()
        rss = process_probe.rss_bytes()
        peak = rss
        blocks = 0
        while time.monotonic() - began < warm_up + seconds:
            check.feed(board.samples)
            blocks += 1
            if blocks % 256 == 0:
                peak = max(peak, process_probe.rss_bytes())
        board.stop()
        gc.collect()
        growth = process_probe.rss_bytes() - rss
        rate = blocks * 4096 * 12 / seconds / 1e6
        figure(f"stream: {seconds} s, {blocks} blocks of 4096 frames ({rate:.0f} MB/s of frames), "
               f"RSS {rss / 2**20:.1f} MiB -> {(rss + growth) / 2**20:.1f} MiB (growth {growth / 1024:.0f} KiB, "
               f"peak {peak / 2**20:.1f} MiB), {check.lost} frames lost, {check.out_of_order} out of order")
        assert growth <= 2**20
        assert check.lost == 0 and check.out_of_order == 0
        del board


class TestManyBoards:
    def test_boards_created_and_destroyed_while_acquiring(self, sim, figure):
        boards_per_thread = length(250, 2500)
        serials = ["A", "B", "C", "D"]
        sim.configure(";".join(f"serial={s}" for s in serials))
        gc.collect()
        threads, fds = process_probe.threads(), process_probe.open_fds()
        failures = []

        def churn(serial, seed):
            rng = random.Random(seed)
            try:
                for _ in range(boards_per_thread):
                    board = m.PCB_ROQ(serial, rng.choice([2, 64, 1000]))
                    if not board.opened():
                        failures.append(f"{serial} did not open")
                        return
                    board.timeout = td(seconds=10)
                    board.start()
                    if rng.random() < 0.5:
                        block = board.samples
                        if block is None or block.shape[1] != 5:
                            failures.append(f"{serial} delivered {block!r}")
                    # Dropped while its acquisition thread runs: the destructor stops it first.
                    del board
            except Exception as e:  # noqa: BLE001 (any exception is the finding)
                failures.append(f"{serial}: {e!r}")

        workers = [threading.Thread(target=churn, args=(s, i)) for i, s in enumerate(serials)]
        began = time.monotonic()
        for w in workers:
            w.start()
        for w in workers:
            w.join(timeout=300)
        elapsed = time.monotonic() - began
        assert not any(w.is_alive() for w in workers), "a board's destruction hung"
        gc.collect()
        after_threads, after_fds = process_probe.threads(), process_probe.open_fds()
        total = boards_per_thread * len(serials)
        opens = sum(d.stats.opens for d in sim.devices)
        figure(f"many boards: {total} boards on 4 devices from 4 threads, each destroyed while acquiring, in "
               f"{elapsed:.2f} s; threads {threads} -> {after_threads}, file descriptors {fds} -> {after_fds}, "
               f"{opens} device opens all closed")
        assert not failures, failures
        assert (after_threads, after_fds) == (threads, fds)
