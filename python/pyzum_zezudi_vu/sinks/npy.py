"""Writes blocks to a .npy file as they arrive, so a long capture never has to fit in memory, and keeps the file
loadable by `numpy.load` at every moment: a capture that is killed loses at most its last second of rows."""
import io
import os
import threading

import numpy as np
from numpy.lib import format as npy_format

from ..sink import Sink
from .staged import StagedPath


def _header(rows, cols):
    # NumPy pads the header so that the row count can grow to any size without the header growing: rewriting
    # it in place keeps the data where it is.
    out = io.BytesIO()
    npy_format.write_array_header_1_0(out, {"descr": "<i2", "fortran_order": False, "shape": (rows, cols)})
    return out.getvalue()


def _write_all(fd, data):
    view = memoryview(data).cast("B")
    while view:
        view = view[os.write(fd, view):]


class NpyWriter:
    """An int16 array of `cols` columns written row block by row block.

    The header's row count is brought up to date every `sync_interval` seconds by a thread of its own, which
    first has the rows it counts reach the disk (fdatasync) and then rewrites the header with one pwrite of the
    same length. `numpy.load` reads exactly the rows the header counts and ignores what follows, so the file
    loads whenever the process dies, and also after a power cut. `append` never waits for a disk sync, so a
    slow disk does not hold up the reader of a board; `close` records the final count and waits for it.
    """

    def __init__(self, path, cols: int = 5, sync_interval: float = 0.5):
        self.path = path
        self.cols = cols
        self.rows = 0
        self._recorded = 0
        self._header_size = len(_header(0, cols))
        self._error = None
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
        try:
            _write_all(self._fd, _header(0, cols))
        except BaseException:
            os.close(self._fd)
            raise
        self._closing = threading.Event()
        self._syncer = threading.Thread(target=self._sync_every, args=(sync_interval,), daemon=True,
                                        name=f"npy header of {os.fspath(path)}")
        self._syncer.start()

    def append(self, block):
        block = np.ascontiguousarray(block, dtype="<i2")
        if block.ndim != 2 or block.shape[1] != self.cols:
            raise ValueError(f"expected rows of {self.cols} words, got shape {block.shape}")
        self._raise_sync_error()
        _write_all(self._fd, block)
        # Counted only once written, so the header thread never counts rows that are not in the file yet.
        self.rows += block.shape[0]

    def close(self):
        if self._fd < 0:
            return
        self._closing.set()
        self._syncer.join()
        fd, self._fd = self._fd, -1
        try:
            # A write that failed (a full disk) may have left part of a block behind the counted rows.
            os.ftruncate(fd, self._header_size + self.rows * self.cols * 2)
            self._raise_sync_error()
            self._record(fd, self.rows)
            os.fdatasync(fd)  # the final count too
        finally:
            os.close(fd)

    def _sync_every(self, interval):
        while not self._closing.wait(interval):
            try:
                self._record(self._fd, self.rows)
            except OSError as e:
                self._error = e
                return

    def _record(self, fd, rows):
        if rows == self._recorded:
            return
        # Data first: a header that reached the disk before its rows would count rows a power cut lost.
        os.fdatasync(fd)
        header = _header(rows, self.cols)
        assert len(header) == self._header_size, "the header would move the data"
        os.pwrite(fd, header, 0)
        self._recorded = rows

    def _raise_sync_error(self):
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class NpySink(Sink):
    """Records one board's run into the .npy file `path` (one board only: a .npy holds one array).

    The file is written beside `path` and replaces it only once the first block is in it: a run that fails
    before leaves an earlier file of that name as it was. A failed write (a full disk) keeps the rows
    written before it, and the file loads with exactly those.
    """

    def __init__(self, path):
        self.path = path
        self._staged = StagedPath(path)
        self._writer = None
        self._error = None
        self._results = []

    def begin(self, boards):
        if len(boards) != 1:
            raise ValueError("several boards are recorded into one HDF5 file: --out FILE.h5")
        self._writer = NpyWriter(self._staged.temporary)

    # The board's reading thread.
    def take(self, serial, block, arrival_ns, arrival_utc_ns):
        try:
            self._writer.append(block)
        except OSError as e:
            self._error = e
            raise
        self._staged.commit()

    # The board's reading thread, once.
    def end(self, result):
        self._results.append(result)
        if self._error is not None:
            result.write_failed(self._error.strerror or str(self._error))
        result.details["out"] = str(self.path)
        result.lines.append(("samples written to", str(self.path)))

    # The main thread, once: a failure is told in the board's result, or raised when the board never ended.
    def close(self):
        if self._writer is None:
            return
        try:
            self._writer.close()
        except OSError as e:
            if not self._results:
                raise
            for result in self._results:
                result.write_failed(f"the file's last rows could not be recorded ({e.strerror or e})")
        finally:
            if self._staged.discard():
                for result in self._results:
                    result.details.pop("out", None)
                    result.lines[:] = [line for line in result.lines if line[0] != "samples written to"]
                    result.lines.append(("not written", f"nothing was recorded: {self.path} was left as it was"))
