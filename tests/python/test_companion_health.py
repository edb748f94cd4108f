"""Board health: the acquisition's counters, read through the companion package."""
import dataclasses
import datetime

import pytest

import _pyzum_zezudi_vu as m
import _pyzum_zezudi_vu_health
from board_fixtures import open_board  # noqa: F401
from pyzum_zezudi_vu.health import Health, board_health

td = datetime.timedelta


def read_blocks(board, count):
    board.timeout = td(seconds=10)
    for _ in range(count):
        assert board.samples is not None


class TestHealth:
    def test_a_clean_run_counts_its_blocks_and_shows_no_damage(self, open_board, sim):
        # 50 blocks a second: the pool of 64 bridges a reader held up for a second on a busy machine.
        sim.configure("board,rate=2e6")
        board = open_board("SIM0001", 4096)
        board.start()
        read_blocks(board, 2)  # streaming begins wherever the board is: the first read may realign
        before = board_health(board)
        read_blocks(board, 20)
        board.stop()
        total = board_health(board)
        run = total.since(before)
        assert run.whole, run
        # Blocks read after `before` may have been handed over before it: only the totals bound what was read.
        assert total.blocks_delivered >= 22
        assert total.frames_decoded >= 22 * 4096
        assert run.stream_bytes >= 12 * run.frames_decoded
        assert run.transfers_completed > 0 and run.transfers_in_flight == 0

    def test_stops_are_not_failures(self, open_board, sim):
        # A stop cancels the transfers in flight wherever the reading thread is: none of that may read as a
        # failed read or transfer, at any moment of a run.
        sim.configure("board,rate=4e7")
        board = open_board("SIM0001", 256)
        board.timeout = td(seconds=10)
        for i in range(200):
            board.start()
            if i % 2:
                assert board.samples is not None
            board.stop()
        h = board_health(board)
        assert h.failed_reads == 0 and h.transfers_failed == 0, h
        assert h.transfers_in_flight == 0

    def test_faults_show_in_the_counters_they_belong_to(self, open_board, sim):
        device = sim.device(0)
        device.drop_bytes([1024 + 12 * 300 + 5])
        device.corrupt_sync([2000])  # inside a read: copied, counted
        device.fail_bulk_read(3)
        board = open_board()
        board.start()
        read_blocks(board, 60)
        board.stop()
        h = board_health(board)
        assert not h.whole
        assert h.resynchronisations >= 1 and h.bytes_skipped > 0
        assert h.frames_without_sync >= 1
        assert h.transfers_failed == 1

    def test_a_boardless_instance_is_refused(self):
        with pytest.raises(TypeError):
            board_health(m.PCB_ROQ.__new__(m.PCB_ROQ))

    def test_snapshots_are_frozen(self):
        with pytest.raises(Exception):
            Health().stream_bytes = 1

    def test_the_table_names_every_counter_and_the_module_gives_every_one(self, open_board, sim):
        names = [c.name for c in Health.COUNTERS]
        assert names == [f.name for f in dataclasses.fields(Health)]
        assert len(set(names)) == len(names) and all(c.meaning.endswith(".") for c in Health.COUNTERS)
        raw = _pyzum_zezudi_vu_health.counters(open_board())
        assert list(raw) == names
        assert {c.name for c in Health.COUNTERS if isinstance(raw[c.name], float)} == {"wait_for_block_s"}

    def test_a_run_subtracts_counts_and_keeps_gauges(self):
        gauges = {c.name for c in Health.COUNTERS if c.kind == "gauge"}
        assert gauges == {"transfers_in_flight", "most_held_bytes", "transfer_queue_depth"}
        earlier = Health(**{c.name: 1 for c in Health.COUNTERS})
        later = Health(**{c.name: 3 for c in Health.COUNTERS})
        assert {c.name: v for c, v in later.since(earlier).items()} == {
            c.name: 3 if c.name in gauges else 2 for c in Health.COUNTERS}
        damaged = {c.name for c in Health.COUNTERS if c.shows_damage}
        assert len(later.since(earlier).problems()) == len(damaged)
