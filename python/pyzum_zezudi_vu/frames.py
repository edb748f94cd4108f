"""Frame-index bookkeeping for streams that number their frames.

A board running a test pattern (the simulated board does by default) puts a 32-bit frame counter into
words 0 (low half) and 1 (high half) of every frame. Following that counter across blocks tells whether
frames went missing or arrived out of order on the way from the chip to Python.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

Buffer = bytes | bytearray | memoryview

FRAME_BYTES: int = 12
SYNC: tuple[int, int] = (0xF0, 0x0F)
WORDS: int = 5
# Frames per second of a board streaming 40 MB/s: the chip's full rate, assumed where none was measured.
BOARD_FRAME_RATE: float = 40e6 / FRAME_BYTES

# Share of consecutive frames whose counter must step by one before the stream is taken to carry a counter.
_PATTERN_SHARE = 0.5


def channel_labels(numbered: bool) -> list[str]:
    """The names of a frame's five words: words 0 and 1 are the frame counter's halves where it has one."""
    labels = [f"word{i}" for i in range(WORDS)]
    if numbered:
        labels[0], labels[1] = "frame_counter_low", "frame_counter_high"
    return labels


def frame_indices(block: npt.NDArray[np.int16]) -> npt.NDArray[np.uint32]:
    """The 32-bit frame counters of a block of shape (rows, 5), as uint32 (a view into a C-ordered block)."""
    if block.dtype.itemsize == 2 and block.flags.c_contiguous and block.ndim == 2 and block.shape[1] >= 2:
        # Words 0 and 1 of a row are one little-endian uint32 already: read it in place, row after row.
        return np.ndarray((block.shape[0],), dtype="<u4", buffer=block, strides=(block.strides[0],))
    words = np.ascontiguousarray(block[:, :2]).view(np.uint16)
    return words[:, 0].astype(np.uint32) | (words[:, 1].astype(np.uint32) << np.uint32(16))


def carries_counter(block: npt.NDArray[np.int16]) -> bool:
    """Whether the frames of `block` number themselves: most steps of words 0 and 1 are one."""
    steps = np.diff(frame_indices(block))
    return bool(len(steps)) and bool(np.count_nonzero(steps == 1) >= _PATTERN_SHARE * len(steps))


class FrameCheck:
    """Counts frames, lost frames and out-of-order frames over a sequence of blocks.

    The first block with at least two frames decides whether the stream carries a counter at all
    (`numbered`); a stream without one is only counted. A frame is lost when the counter skips it; a frame
    is out of order when its counter is not above the highest seen before it (a repeat or a step back).
    Counters wrap at 2**32; a step of 2**31 or more is read as a step back.

    A stray frame, one that follows neither its predecessor nor precedes its successor (words of a frame
    copied without its sync pair read as a counter), is counted out of order and otherwise ignored: taken
    at its word, one such frame would count up to two billion frames lost and every later frame out of
    order. The last frame of a block that does not follow on waits for the next block to tell.
    """

    def __init__(self) -> None:
        self.frames = 0
        self.lost = 0
        self._out_of_order = 0
        self._pending: np.uint32 | None = None    # a frame that broke the sequence, its successor not seen yet
        self.numbered: bool | None = None
        self._last: np.uint32 | None = None       # raw counter of the latest frame
        self._position = 0      # unwrapped counter of the latest frame
        self._highest = 0       # highest unwrapped counter so far
        self._ramp = np.empty(0, dtype=np.uint32)
        self._scratch = self._ramp

    def feed(self, block: npt.NDArray[np.int16]) -> None:
        indices = frame_indices(block)
        self.frames += len(indices)
        if len(indices) == 0:
            return
        if self.numbered is None:
            if len(indices) < 2:
                return
            self.numbered = carries_counter(block)
        if not self.numbered:
            return
        if (self._pending is None and self._last is not None and self._position == self._highest
                and self._in_order(indices)):
            self._last = indices[-1]
            self._position += len(indices)
            self._highest = self._position
            return
        if self._pending is not None:
            indices = np.concatenate(([self._pending], indices))
            self._pending = None
        indices = self._without_strays(indices)
        if len(indices) == 0:
            return
        if self._last is None:
            self._last = indices[0]
            self._position = self._highest = 0
            indices = indices[1:]
            if len(indices) == 0:
                return
        # Steps are taken modulo 2**32 and read as signed, which unwraps the counter.
        chain = np.concatenate(([self._last], indices))
        steps = np.diff(chain).view(np.int32).astype(np.int64)
        positions = self._position + np.cumsum(steps)
        highest_before = np.maximum.accumulate(np.concatenate(([self._highest], positions)))[:-1]
        ahead = positions > highest_before
        self.lost += int(np.sum(positions[ahead] - highest_before[ahead] - 1))
        self._out_of_order += int(np.count_nonzero(~ahead))
        self._last = indices[-1]
        self._position = int(positions[-1])
        self._highest = max(self._highest, int(positions.max()))

    @property
    def out_of_order(self) -> int:
        return self._out_of_order + (self._pending is not None)

    def _without_strays(self, indices: npt.NDArray[np.uint32]) -> npt.NDArray[np.uint32]:
        """`indices` less the stray frames, which are counted; a last frame that breaks the sequence is held
        back as pending."""
        follows = np.diff(indices) == 1  # uint32: the difference wraps as the counter does
        after = np.empty(len(indices), dtype=bool)   # follows its predecessor
        before = np.zeros(len(indices), dtype=bool)  # precedes its successor
        after[0] = self._last is not None and (int(indices[0]) - int(self._last)) & 0xFFFF_FFFF == 1
        after[1:] = follows
        before[:-1] = follows
        keep = after | before
        if not keep[-1]:
            # The last frame: kept if it follows the last frame kept before it, else its successor decides.
            earlier = indices[:-1][keep[:-1]]
            reference = earlier[-1] if len(earlier) else self._last
            if reference is not None and (int(indices[-1]) - int(reference)) & 0xFFFF_FFFF == 1:
                keep[-1] = True
            else:
                self._pending = indices[-1]
        self._out_of_order += int(np.count_nonzero(~keep[:-1]))
        return indices[keep]

    def _in_order(self, indices: npt.NDArray[np.uint32]) -> bool:
        """Whether the block continues the counter without a gap: counter minus row number is the same
        (the successor of the latest counter) on every row. Cheaper than looking at each step."""
        n = len(indices)
        if len(self._ramp) < n:
            self._ramp = np.arange(n, dtype=np.uint32)
            self._scratch = np.empty(n, dtype=np.uint32)
        base = self._scratch[:n]
        np.subtract(indices, self._ramp[:n], out=base)
        expected = (int(self._last) + 1) & 0xFFFF_FFFF
        return int(base.min()) == expected and int(base.max()) == expected

    def summary(self) -> str:
        """Lost and out-of-order frames in words, or why they were not checked."""
        if not self.numbered:
            return "not checked (no frame counter in words 0 and 1)"
        return f"{self.lost} lost, {self.out_of_order} out of order"


def frames_in_raw(data: Buffer) -> tuple[int, npt.NDArray[np.int16]]:
    """Finds the frames in raw stream bytes.

    Returns (offset, words): the offset of the first frame boundary, chosen as the one of the twelve where
    most frames carry the sync pair, and the payload words of the whole frames from there, shape (k, 5),
    int16. Frames whose sync pair is wrong are kept; `sync_errors` counts them.
    """
    raw = np.frombuffer(data, dtype=np.uint8)
    best_offset, best_hits = 0, -1
    for offset in range(min(FRAME_BYTES, len(raw))):
        frames = raw[offset:offset + (len(raw) - offset) // FRAME_BYTES * FRAME_BYTES].reshape(-1, FRAME_BYTES)
        hits = int(np.count_nonzero((frames[:, 0] == SYNC[0]) & (frames[:, 1] == SYNC[1])))
        if hits > best_hits:
            best_offset, best_hits = offset, hits
    return best_offset, frame_words(data, best_offset)


def frame_words(data: Buffer, offset: int) -> npt.NDArray[np.int16]:
    """The payload words, shape (k, 5), int16, of the whole frames of `data` from the frame boundary `offset`."""
    raw = np.frombuffer(data, dtype=np.uint8)
    usable = max(0, (len(raw) - offset) // FRAME_BYTES * FRAME_BYTES)
    frames = raw[offset:offset + usable].reshape(-1, FRAME_BYTES)
    return np.ascontiguousarray(frames[:, 2:]).view("<i2").astype(np.int16)


def sync_errors(data: Buffer, offset: int) -> int:
    """Whole frames from `offset` whose first two bytes are not the sync pair."""
    raw = np.frombuffer(data, dtype=np.uint8)
    usable = (len(raw) - offset) // FRAME_BYTES * FRAME_BYTES
    frames = raw[offset:offset + usable].reshape(-1, FRAME_BYTES)
    return int(np.count_nonzero((frames[:, 0] != SYNC[0]) | (frames[:, 1] != SYNC[1])))
