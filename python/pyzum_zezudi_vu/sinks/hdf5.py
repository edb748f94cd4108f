"""Writes the blocks of one or more boards to one HDF5 file as they arrive, readable while it grows (HDF5's
single-writer/multiple-reader mode) and loadable after the writing process is killed.

Layout, one group per board (named by its serial number):

    /<serial>/frames   int16 (frames, 5), chunked by about 640 KB, growing
    /<serial>/blocks   per block: first_frame, arrival_monotonic_ns, arrival_utc_ns, frames
    /<serial>/health   float64, one value per counter named in its attribute "counters"
    /<serial>/verdict  "capturing", "arrived whole" or "NOT whole: ..." (fixed-length UTF-8)

The file's attributes say when and where it was written and by which versions; each group's say which board,
its block size and the frame format.

The boards' reading threads only queue their blocks; one writer thread of the file gathers what arrived and
writes it every `flush_interval` in one piece per board and dataset, then flushes. So the interpreter and
HDF5 see a handful of calls a second per board, whatever the block size.
"""
from __future__ import annotations

import dataclasses
import datetime
import socket
import threading
import time

import numpy as np

from ..frames import FRAME_BYTES, WORDS
from ..health import Health
from ..sink import Sink
from ..versions import library_versions, package_version

BLOCK_DTYPE = np.dtype([("first_frame", "<i8"), ("arrival_monotonic_ns", "<i8"), ("arrival_utc_ns", "<i8"),
                        ("frames", "<i8")])
HEALTH_COUNTERS = [f.name for f in dataclasses.fields(Health)]
FRAME_FORMAT = (f"{WORDS} little-endian int16 words per frame, as the board sends them ({FRAME_BYTES} bytes with "
                "the two sync bytes, which are not stored); a test pattern puts a 32-bit frame counter in words "
                "0 (low half) and 1 (high half)")
VERDICT_BYTES = 4096
CHUNK_ROWS = 1 << 16       # 640 KB of frames: few chunks to index, each written whole most of the time
BLOCK_CHUNK_ROWS = 4096
# What the writer may hold before the boards' threads wait for it: seconds of several boards at full rate.
MOST_PENDING_BYTES = 512 << 20


def h5py_module():
    try:
        import h5py
    except ImportError as e:
        raise RuntimeError("HDF5 recordings need h5py (Debian: python3-h5py)") from e
    return h5py


def file_attributes():
    """Which versions wrote the file."""
    libraries = library_versions()
    return {"pyzum_zezudi_vu": package_version(),
            **{name: ".".join(map(str, found)) if found else "unknown" for name, found in libraries.items()}}


def _verdict_bytes(verdict):
    # Cut at a character's boundary, so that the stored text still decodes.
    return verdict.encode("utf-8")[:VERDICT_BYTES].decode("utf-8", "ignore").encode("utf-8")


class _Pending:
    """What one board's thread queued for the writer since its last pass."""

    def __init__(self):
        self.blocks = []
        self.table = []
        self.health = None
        self.verdict = None


class H5Writer(Sink):
    """One HDF5 file for the boards `serials`, written by a thread of its own.

    `append`, `record_health` (and the sink's `take`, `refresh`, `end`) may be called from one thread per
    board: they only queue. Everything queued reaches the file within about `flush_interval` seconds: a
    reader (or a load after a kill) sees it from then on. A failed write stops the writer; the next call
    of any thread raises its error, and the rows before it stay in the file.
    """

    def __init__(self, path, serials, samples_count, attributes=None, flush_interval=0.25):
        h5py = h5py_module()
        self.path = path
        self._flush_interval = flush_interval
        self._lock = threading.Condition()
        self._pending = {serial: _Pending() for serial in serials}
        self._pending_bytes = 0
        self._closing = False
        self._error = None
        self._rows = dict.fromkeys(serials, 0)
        # The oldest file format SWMR allows: HDF5 1.10 and later read it.
        self._file = h5py.File(path, "w", libver=("v110", "v110"), rdcc_nbytes=4 * CHUNK_ROWS * WORDS * 2)
        try:
            now = datetime.datetime.now(datetime.timezone.utc)
            self._file.attrs["start_time_utc"] = now.isoformat()
            self._file.attrs["host"] = socket.gethostname()
            self._file.attrs["boards"] = list(serials)
            self._file.attrs["hdf5"] = h5py.version.hdf5_version
            for key, value in (attributes or {}).items():
                self._file.attrs[key] = value
            self._boards = {}
            for serial in serials:
                group = self._file.create_group(serial)
                group.attrs["serial_number"] = serial
                group.attrs["samples_count"] = samples_count
                group.attrs["frame_format"] = FRAME_FORMAT
                frames = group.create_dataset("frames", (0, WORDS), "<i2", maxshape=(None, WORDS),
                                              chunks=(CHUNK_ROWS, WORDS))
                blocks = group.create_dataset("blocks", (0,), BLOCK_DTYPE, maxshape=(None,),
                                              chunks=(BLOCK_CHUNK_ROWS,))
                health = group.create_dataset("health", (len(HEALTH_COUNTERS),), "<f8")
                health.attrs["counters"] = HEALTH_COUNTERS
                verdict = group.create_dataset("verdict", (), h5py.string_dtype("utf-8", VERDICT_BYTES))
                verdict[()] = b"capturing"
                self._boards[serial] = (frames, blocks, health, verdict)
            # From here on nothing new may be created: readers may open the file while it grows.
            self._file.swmr_mode = True
        except BaseException:
            self._file.close()
            raise
        self._writer = threading.Thread(target=self._write_every, daemon=True, name=f"writer of {path}")
        self._writer.start()

    # Any thread (one per board): queues a block; waits only while the writer holds too much already.
    def append(self, serial, block, arrival_monotonic_ns, arrival_utc_ns):
        block = np.ascontiguousarray(block, dtype="<i2")
        with self._lock:
            while self._pending_bytes > MOST_PENDING_BYTES and self._error is None and not self._closing:
                self._lock.wait(0.1)
            self._raise_error()
            pending = self._pending[serial]
            pending.table.append((arrival_monotonic_ns, arrival_utc_ns, len(block)))
            pending.blocks.append(block)
            self._pending_bytes += block.nbytes

    # Any thread: the board's counters of this run and the verdict they justify so far.
    def record_health(self, serial, health, verdict):
        values = [float(getattr(health, name)) for name in HEALTH_COUNTERS]
        with self._lock:
            self._raise_error()
            pending = self._pending[serial]
            pending.health, pending.verdict = values, _verdict_bytes(verdict)

    def rows(self, serial):
        """Rows of `serial` in the file so far (what the writer wrote, not what is queued)."""
        return self._rows[serial]

    # The sink's side of a run.
    def take(self, serial, block, arrival_ns, arrival_utc_ns):
        self.append(serial, block, arrival_ns, arrival_utc_ns)

    def refresh(self, serial, health):
        self.record_health(serial, health, "capturing")

    def end(self, result):
        self.record_health(result.board, result.health, result.verdict)
        result.details["out"] = str(self.path)
        result.lines.append(("samples written to", str(self.path)))

    # The thread that owns the writer: writes what is queued, closes the file, raises a write's error.
    def close(self):
        with self._lock:
            if self._closing:
                return
            self._closing = True
            self._lock.notify_all()
        self._writer.join()
        try:
            if self._error is None:
                self._file.flush()
        finally:
            self._file.close()
        self._raise_error()

    def _raise_error(self):
        if self._error is not None:
            raise OSError(f"writing {self.path} failed: {self._error}") from self._error

    def _write_every(self):
        while True:
            with self._lock:
                if not self._closing:
                    self._lock.wait(self._flush_interval)
                closing = self._closing
                taken, self._pending = self._pending, {serial: _Pending() for serial in self._pending}
                self._pending_bytes = 0
                self._lock.notify_all()
            try:
                for serial, pending in taken.items():
                    self._write(serial, pending)
                self._file.flush()
            except Exception as e:
                with self._lock:
                    self._error = e
                    self._lock.notify_all()
                return
            if closing:
                return

    def _write(self, serial, pending):
        frames, blocks, health, verdict = self._boards[serial]
        if pending.blocks:
            first = self._rows[serial]
            rows = np.concatenate(pending.blocks) if len(pending.blocks) > 1 else pending.blocks[0]
            table = np.empty(len(pending.table), BLOCK_DTYPE)
            counts = np.array([t[2] for t in pending.table], dtype=np.int64)
            table["frames"] = counts
            table["first_frame"] = first + np.concatenate(([0], np.cumsum(counts)[:-1]))
            table["arrival_monotonic_ns"] = [t[0] for t in pending.table]
            table["arrival_utc_ns"] = [t[1] for t in pending.table]
            frames.resize(first + len(rows), axis=0)
            frames[first:] = rows
            index = blocks.shape[0]
            blocks.resize(index + len(table), axis=0)
            blocks[index:] = table
            self._rows[serial] = first + len(rows)
        if pending.health is not None:
            health[:] = pending.health
            verdict[()] = pending.verdict

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def hdf5_sink(path, serials, samples_count):
    """The sink that records a run of the boards `serials` into the HDF5 file `path`."""
    return H5Writer(path, serials, samples_count, file_attributes())
