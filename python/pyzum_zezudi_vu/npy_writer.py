"""Writes blocks to a .npy file as they arrive, so a long capture never has to fit in memory."""
import numpy as np

_MAGIC = b"\x93NUMPY\x01\x00"
# Room for any row count up to 20 digits; the header is padded with spaces to this fixed size, which keeps
# the data where it is when the row count is written at the end.
_HEADER_BYTES = 128


def _header(rows, cols):
    text = f"{{'descr': '<i2', 'fortran_order': False, 'shape': ({rows}, {cols}), }}"
    room = _HEADER_BYTES - len(_MAGIC) - 2
    body = text.ljust(room - 1) + "\n"
    return _MAGIC + len(body).to_bytes(2, "little") + body.encode("latin1")


class NpyWriter:
    """An int16 array of `cols` columns written row block by row block; `close` records the row count."""

    def __init__(self, path, cols=5):
        self.path = path
        self.cols = cols
        self.rows = 0
        self._file = open(path, "wb")
        self._file.write(_header(0, cols))

    def append(self, block):
        block = np.ascontiguousarray(block, dtype="<i2")
        if block.ndim != 2 or block.shape[1] != self.cols:
            raise ValueError(f"expected rows of {self.cols} words, got shape {block.shape}")
        self._file.write(block.data)
        self.rows += block.shape[0]

    def close(self):
        if self._file.closed:
            return
        self._file.seek(0)
        self._file.write(_header(self.rows, self.cols))
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
