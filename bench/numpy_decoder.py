"""Frame decoding as a user of a plain FTDI binding would write it: NumPy over the raw bytes.

Bytes are gathered in a buffer of two blocks; whenever a whole block of frames is there and every frame
begins with the sync pair, its payload becomes one (S, 5) int16 block. When a frame is out of step, bytes
are dropped up to the next sync pair, the frames of that block before it included.
"""
import numpy as np

FRAME = 12
SYNC0, SYNC1 = 0xF0, 0x0F


class NumpyFrameDecoder:
    def __init__(self, samples_count):
        self.samples_count = samples_count
        self.block_bytes = FRAME * samples_count
        self.buffer = np.empty(4 * self.block_bytes, dtype=np.uint8)
        self.fill = 0
        self.dropped_bytes = 0

    def feed(self, data):
        """Adds raw bytes; returns the list of whole blocks they completed."""
        data = np.frombuffer(data, dtype=np.uint8)
        blocks = []
        while len(data):
            room = len(self.buffer) - self.fill
            n = min(room, len(data))
            self.buffer[self.fill:self.fill + n] = data[:n]
            self.fill += n
            data = data[n:]
            blocks += self._take_blocks()
        return blocks

    def _take_blocks(self):
        blocks = []
        start = 0
        while self.fill - start >= self.block_bytes:
            frames = self.buffer[start:start + self.block_bytes].reshape(self.samples_count, FRAME)
            bad = np.flatnonzero((frames[:, 0] != SYNC0) | (frames[:, 1] != SYNC1))
            if len(bad) == 0:
                blocks.append(np.ascontiguousarray(frames[:, 2:]).view("<i2"))
                start += self.block_bytes
                continue
            # Out of step: drop everything up to the next sync pair after the first broken frame (the frames
            # before it are lost too), so that one gap costs one search, not one per frame before it.
            search = start + int(bad[0]) * FRAME + 1
            window = self.buffer[search:self.fill]
            hits = np.flatnonzero((window[:-1] == SYNC0) & (window[1:] == SYNC1))
            new_start = search + int(hits[0]) if len(hits) else self.fill - 1
            self.dropped_bytes += new_start - start
            start = new_start
        remaining = self.fill - start
        if start:
            self.buffer[:remaining] = self.buffer[start:self.fill]
        self.fill = remaining
        return blocks
