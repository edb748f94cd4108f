"""The companion package's frame-counter check, raw-frame finder and streaming .npy writer."""
import time

import numpy as np
import pytest

from pyzum_zezudi_vu import FrameCheck, NpyWriter, frame_indices, frames_in_raw
from pyzum_zezudi_vu.frames import sync_errors


def numbered(indices):
    """A block whose frames carry these counters in words 0 and 1, other words arbitrary."""
    indices = np.asarray(indices, dtype=np.uint64)
    block = np.full((len(indices), 5), 0x1234, dtype=np.uint16)
    block[:, 0] = indices & 0xFFFF
    block[:, 1] = (indices >> 16) & 0xFFFF
    return block.view(np.int16)


def raw_frames(indices):
    out = bytearray()
    for i in indices:
        out += bytes([0xF0, 0x0F]) + int(i).to_bytes(4, "little") + bytes([1, 0, 2, 0, 3, 0])
    return bytes(out)


class TestFrameIndices:
    def test_counter_spans_both_words_and_survives_the_sign_of_int16(self):
        assert list(frame_indices(numbered([0, 0xFFFF, 0x10000, 0x8000_8000, 0xFFFF_FFFF]))) == \
            [0, 0xFFFF, 0x10000, 0x8000_8000, 0xFFFF_FFFF]


class TestFrameCheck:
    def test_contiguous_blocks_report_nothing_lost(self):
        check = FrameCheck()
        check.feed(numbered(range(100, 200)))
        check.feed(numbered(range(200, 300)))
        assert (check.numbered, check.frames, check.lost, check.out_of_order) == (True, 200, 0, 0)

    def test_gap_between_blocks_counts_the_missing_frames(self):
        check = FrameCheck()
        check.feed(numbered(range(0, 10)))
        check.feed(numbered(range(15, 20)))
        assert (check.lost, check.out_of_order) == (5, 0)

    def test_repeat_and_step_back_are_out_of_order(self):
        check = FrameCheck()
        check.feed(numbered([1, 2, 3, 4, 4, 5, 2, 6]))
        assert (check.lost, check.out_of_order) == (0, 2)

    def test_counter_wrapping_at_32_bits_is_contiguous(self):
        check = FrameCheck()
        check.feed(numbered([0xFFFF_FFFE, 0xFFFF_FFFF]))
        check.feed(numbered([0, 1, 3, 4]))
        assert (check.lost, check.out_of_order) == (1, 0)

    def test_a_stray_frame_is_out_of_order_and_moves_nothing(self):
        # Words of frames copied without their sync pair, read as counters: far ahead, far behind, at a
        # block's end and at the very start.
        check = FrameCheck()
        check.feed(numbered([0x9000_0000, 10, 11, 12, 0x7FFF_0000, *range(14, 21), 0x4000_0000]))
        check.feed(numbered([21, 22, 25, 26]))
        assert (check.lost, check.out_of_order) == (3, 3)  # 13, 23 and 24 lost
        check.feed(numbered([27, 5]))
        assert (check.lost, check.out_of_order) == (3, 4)  # the run ends with the stray held back

    def test_stream_without_counter_is_counted_not_judged(self):
        check = FrameCheck()
        check.feed(np.random.default_rng(1).integers(-30000, 30000, (64, 5)).astype(np.int16))
        assert check.numbered is False
        assert check.frames == 64
        assert "not checked" in check.summary()


class TestFramesInRaw:
    def test_finds_the_frame_boundary_after_a_partial_frame(self):
        data = raw_frames(range(40, 50))[5:]
        offset, words = frames_in_raw(data)
        assert offset == 7
        assert list(frame_indices(words)) == list(range(41, 50))
        assert sync_errors(data, offset) == 0

    def test_frames_with_a_wrong_sync_pair_are_kept_and_counted(self):
        data = bytearray(raw_frames(range(10)))
        data[12 * 4] = 0xA5
        offset, words = frames_in_raw(bytes(data))
        assert offset == 0 and len(words) == 10
        assert sync_errors(bytes(data), offset) == 1

    def test_empty_input_gives_no_frames(self):
        offset, words = frames_in_raw(b"")
        assert words.shape == (0, 5)


class TestNpyWriter:
    def test_appended_blocks_load_back_as_one_array(self, tmp_path):
        path = tmp_path / "capture.npy"
        first, second = numbered(range(0, 4096)), numbered(range(4096, 5000))
        with NpyWriter(path) as writer:
            writer.append(first)
            writer.append(second)
        loaded = np.load(path)
        assert loaded.dtype == np.int16 and loaded.shape == (5000, 5)
        assert np.array_equal(loaded, np.concatenate([first, second]))

    def test_nothing_appended_loads_as_empty(self, tmp_path):
        path = tmp_path / "empty.npy"
        NpyWriter(path).close()
        assert np.load(path).shape == (0, 5)

    def test_rows_of_the_wrong_width_are_refused(self, tmp_path):
        with NpyWriter(tmp_path / "x.npy") as writer:
            with pytest.raises(ValueError):
                writer.append(np.zeros((3, 4), dtype=np.int16))

    def test_file_loads_while_writing_with_the_rows_recorded_so_far(self, tmp_path):
        path = tmp_path / "live.npy"
        blocks = [numbered(range(i * 100, (i + 1) * 100)) for i in range(4)]
        with NpyWriter(path, sync_interval=0.01) as writer:
            size = path.stat().st_size
            for count in (1, 3, 4):
                for block in blocks[writer.rows // 100:count]:
                    writer.append(block)
                deadline = time.monotonic() + 30
                while len(loaded := np.load(path)) != count * 100:
                    assert time.monotonic() < deadline, "the header did not catch up"
                    time.sleep(0.01)
                assert np.array_equal(loaded, np.concatenate(blocks[:count]))
                # The header was rewritten in place: the data never moved.
                assert path.stat().st_size == size + count * 100 * 10

    def test_rows_beyond_the_recorded_count_and_a_torn_row_are_ignored(self, tmp_path):
        path = tmp_path / "torn.npy"
        with NpyWriter(path, sync_interval=3600) as writer:
            writer.append(numbered(range(50)))
            with open(path, "ab") as f:
                f.write(b"\x01\x02\x03")  # what a write cut short by a kill leaves
            assert np.load(path).shape == (0, 5)
        assert np.array_equal(np.load(path), numbered(range(50)))
