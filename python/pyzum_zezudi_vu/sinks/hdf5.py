"""Writes the blocks of one or more boards to one HDF5 file as they arrive, readable while it grows (HDF5's
single-writer/multiple-reader mode) and loadable after the writing process is killed.

Layout, one group per board (named by its serial number); docs/reference/file-formats.md lists every dataset
and attribute:

    /<serial>/frames   int16 (frames, 5), chunked by about 640 KB, growing
    /<serial>/blocks   per block: first_frame, arrival_monotonic_ns, arrival_utc_ns, frames
    /<serial>/health   int64, one value per counter named in its attribute "counters"
    /<serial>/verdict  "capturing", then "arrived whole" or "NOT whole: ..." (variable-length UTF-8)

SWMR forbids creating anything once readers may open the file, so everything a growing file shows is made
first; what only the end of a run knows (the verdict, the measured rate, the channels' names, how it ended) is
written after the SWMR writer closed, in a second, ordinary opening of the file.

The boards' reading threads only queue their blocks; one writer thread of the file gathers what arrived and
writes it every `flush_interval` in one piece per board and dataset, then flushes. So the interpreter and
HDF5 see a handful of calls a second per board, whatever the block size. h5py is touched by one thread at a
time: the writer thread while it runs, the closing thread after it ended.

HDF5 cannot close a file whose writes failed (it aborts the process), so the writer never lets a write meet a
full disk: before each pass it checks the room left and stops with an error instead.
"""
from __future__ import annotations

import dataclasses
import datetime
import math
import os
import socket
import threading

import numpy as np

from ..frames import BOARD_FRAME_RATE, FRAME_BYTES, WORDS, channel_labels
from ..health import COUNTERS
from ..sink import Sink
from ..versions import library_versions, package_version
from .staged import SpaceReserve, StagedPath

BLOCK_DTYPE = np.dtype([("first_frame", "<i8"), ("arrival_monotonic_ns", "<i8"), ("arrival_utc_ns", "<i8"),
                        ("frames", "<i8")])
# The counters as stored, all int64: those in seconds are kept in nanoseconds, named so.
HEALTH_COUNTERS = [c.name[:-2] + "_ns" if c.kind == "seconds" else c.name for c in COUNTERS]
_HEALTH_SCALE = [1e9 if c.kind == "seconds" else 1 for c in COUNTERS]
FRAME_FORMAT = (f"{WORDS} little-endian int16 words per frame, as the board sends them ({FRAME_BYTES} bytes with "
                "the two sync bytes, which are not stored); a test pattern puts a 32-bit frame counter in words "
                "0 (low half) and 1 (high half)")
UNITS = "counts"
CHUNK_ROWS = 1 << 16       # 640 KB of frames: few chunks to index, each written whole most of the time
CHUNK_BYTES = CHUNK_ROWS * WORDS * 2
BLOCK_CHUNK_ROWS = 4096
# Room a pass leaves free beyond its chunks, for the block table and HDF5's own bookkeeping.
SPARE_BYTES = 256 << 10
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


def health_values(health):
    """The counters of `health` as the file stores them (int64, seconds as nanoseconds)."""
    return np.array([round(getattr(health, c.name) * scale) for c, scale in zip(COUNTERS, _HEALTH_SCALE)],
                    dtype="<i8")


class DiskFullError(OSError):
    """The file system of a recording has no room for the next rows."""


class _Pending:
    """What one board's thread queued for the writer since its last pass."""

    def __init__(self):
        self.blocks = []
        self.table = []
        self.health = None


@dataclasses.dataclass
class _Written:
    """What the writer put in the file for one board: the rows and blocks, the first block's arrival and
    size and the last's arrival (for the measured frame rate)."""
    rows: int = 0
    blocks: int = 0
    first_arrival_ns: int | None = None
    first_frames: int = 0
    last_arrival_ns: int | None = None

    @property
    def frame_rate_hz(self) -> float:
        if self.first_arrival_ns is None or self.last_arrival_ns == self.first_arrival_ns:
            return math.nan
        return (self.rows - self.first_frames) / ((self.last_arrival_ns - self.first_arrival_ns) / 1e9)


class H5Writer(Sink):
    """One HDF5 file for the boards `serials`, written by a thread of its own.

    `append`, `record_health` (and the sink's `take`, `refresh`, `end`) may be called from one thread per
    board: they only queue. Everything queued reaches the file within about `flush_interval` seconds: a
    reader (or a load after a kill) sees it from then on. A failed write (a full disk) stops the writer; the
    next call of any thread raises its error, and the rows before it stay in the file.

    With `staged`, the file is written beside `path` and replaces it only when the first block arrives: a run
    that fails before leaves an earlier file of that name as it was.
    """

    def __init__(self, path, serials, samples_count, attributes=None, flush_interval=0.25, staged=False):
        h5py = h5py_module()
        self.path = path
        self._staged = StagedPath(path) if staged else None
        where = self._staged.temporary if staged else os.fspath(path)
        self._flush_interval = flush_interval
        self._lock = threading.Condition()
        self._pending = {serial: _Pending() for serial in serials}
        self._pending_bytes = 0
        self._closing = False
        self._closed = False
        self._error = None
        self._written = {serial: _Written() for serial in serials}
        self._health = dict.fromkeys(serials)
        self._results = {}
        self._verdicts = {}
        self._reserve = SpaceReserve(where)
        # The oldest file format SWMR allows: HDF5 1.10 and later read it.
        self._file = h5py.File(where, "w", libver=("v110", "v110"), rdcc_nbytes=4 * CHUNK_BYTES)
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
                group.attrs["frame_rate_hz_nominal"] = BOARD_FRAME_RATE
                group.attrs["units"] = UNITS
                frames = group.create_dataset("frames", (0, WORDS), "<i2", maxshape=(None, WORDS),
                                              chunks=(CHUNK_ROWS, WORDS))
                frames.attrs["units"] = UNITS
                blocks = group.create_dataset("blocks", (0,), BLOCK_DTYPE, maxshape=(None,),
                                              chunks=(BLOCK_CHUNK_ROWS,))
                health = group.create_dataset("health", (len(HEALTH_COUNTERS),), "<i8")
                health.attrs["counters"] = HEALTH_COUNTERS
                group.create_dataset("verdict", data="capturing", dtype=h5py.string_dtype("utf-8"))
                self._boards[serial] = (frames, blocks, health)
            # From here on nothing new may be created: readers may open the file while it grows.
            self._file.swmr_mode = True
        except BaseException:
            self._file.close()
            self._reserve.release()
            if staged:
                self._staged.discard()
            raise
        self._writer = threading.Thread(target=self._write_every, daemon=True, name=f"writer of {path}")
        self._writer.start()

    @property
    def _where(self):
        return self._staged.current if self._staged else os.fspath(self.path)

    # Any thread (one per board): queues a block; waits only while the writer holds too much already. The
    # first block puts a staged file in place.
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
        if self._staged:
            self._staged.commit()

    # Any thread: the board's counters of this run so far, and the verdict to close with when no run's
    # result says it (a writer used without a run).
    def record_health(self, serial, health, verdict=None):
        values = health_values(health)
        with self._lock:
            self._raise_error()
            self._pending[serial].health = values
            self._health[serial] = values
            if verdict is not None:
                self._verdicts[serial] = verdict

    def rows(self, serial):
        """Rows of `serial` in the file so far (what the writer wrote, not what is queued)."""
        return self._written[serial].rows

    # The sink's side of a run.
    def take(self, serial, block, arrival_ns, arrival_utc_ns):
        self.append(serial, block, arrival_ns, arrival_utc_ns)

    def refresh(self, serial, health):
        self.record_health(serial, health)

    # The board's reading thread, once: its result is recorded in the file when the file closes.
    def end(self, result):
        with self._lock:
            self._results[result.board] = result
            self._health[result.board] = health_values(result.health) if result.health is not None else None
            error = self._error
        if error is not None:
            result.write_failed(str(error))
        result.details["out"] = str(self.path)
        result.lines.append(("samples written to", str(self.path)))

    # The thread that owns the writer, once the boards ended: writes what is queued, closes the file and
    # records how the run ended. A failure is told in the boards' results (a file that could not be closed
    # whole is removed) or, when no board ended, raised.
    def close(self):
        with self._lock:
            if self._closing:
                return
            self._closing = True
            self._lock.notify_all()
        self._writer.join()
        try:
            problem = self._close_file()
            if problem is None and self._staged and not self._staged.committed:
                self._staged.discard()
                self._tell(("not written", f"nothing was recorded: {self.path} was left as it was"))
            else:
                problem = problem or self._finish()
                if problem is not None:
                    self._remove(problem)
        finally:
            self._reserve.release()
        if self._error is not None and not self._results:
            raise OSError(f"writing {self.path} failed: {self._error}") from self._error

    def _close_file(self):
        """Closes the SWMR writer's file; what failed, or None."""
        try:
            if self._error is None:
                self._file.flush()
        except Exception as e:
            self._error = e
        self._boards = None
        try:
            self._file.close()
        except Exception as e:
            return f"HDF5 could not close it ({e})"
        return None

    def _finish(self):
        """Records what only the end knows, in an ordinary opening of the closed file; what failed, or None."""
        if self._error is not None:
            self._reserve.release()  # the room to mark the file
            for result in self._results.values():
                result.write_failed(str(self._error))
        try:
            with h5py_module().File(self._where, "r+", libver=("v110", "v110")) as f:
                for serial, written in self._written.items():
                    self._record_end(f[serial], serial, written)
        except Exception as e:
            return f"the end of the run could not be recorded in it ({e})"
        return None

    def _record_end(self, group, serial, written):
        result = self._results.get(serial)
        # Rows of a pass that failed may have been counted by HDF5 already: only those written stay.
        group["frames"].resize(written.rows, axis=0)
        group["blocks"].resize(written.blocks, axis=0)
        if self._health[serial] is not None:
            group["health"][:] = self._health[serial]
        if result is None:
            verdict = self._verdicts.get(serial, "NOT whole: the run of this board did not end")
            ended, not_kept = "not recorded", 0
        else:
            verdict, ended, not_kept = result.verdict, result.how_ended, result.not_kept
        group["verdict"][()] = verdict
        group.attrs["ended"] = ended
        group.attrs["frames_not_kept"] = np.int64(not_kept)
        group.attrs["frame_rate_hz_measured"] = written.frame_rate_hz
        numbered = result is not None and result.check.numbered
        group.attrs["channels"] = channel_labels(numbered)

    def _remove(self, problem):
        try:
            os.unlink(self._where)
            said = f"{self.path} was removed: {problem}"
        except OSError as e:
            said = f"{self.path} is not whole and could not be removed ({e}): {problem}"
        for result in self._results.values():
            result.write_failed(said)
        self._tell(("file removed", said))

    def _tell(self, line):
        """Says in every board's result that the file is not where the summary would say it was written."""
        for result in self._results.values():
            result.details.pop("out", None)
            result.lines[:] = [entry for entry in result.lines if entry[0] != "samples written to"]
            result.lines.append(line)

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
                self._check_room(taken)
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

    def _check_room(self, taken):
        chunks = 0
        for serial, pending in taken.items():
            rows = self._written[serial].rows
            new = sum(len(b) for b in pending.blocks)
            chunks += -(-(rows + new) // CHUNK_ROWS) - -(-rows // CHUNK_ROWS)  # chunks begun by this pass
        if not chunks:
            return
        disk = os.statvfs(self._where)
        free, needed = disk.f_bavail * disk.f_frsize, chunks * CHUNK_BYTES + SPARE_BYTES
        if free < needed:
            raise DiskFullError(f"the disk is full ({free >> 10} KB free, {needed >> 10} KB needed for the "
                                "next rows)")

    def _write(self, serial, pending):
        frames, blocks, health = self._boards[serial]
        written = self._written[serial]
        if pending.blocks:
            first = written.rows
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
            if written.first_arrival_ns is None:
                written.first_arrival_ns, written.first_frames = pending.table[0][0], pending.table[0][2]
            written.last_arrival_ns = pending.table[-1][0]
            written.rows, written.blocks = first + len(rows), index + len(table)
        if pending.health is not None:
            health[:] = pending.health

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def hdf5_sink(path, serials, samples_count):
    """The sink that records a run of the boards `serials` into the HDF5 file `path`, replacing a file of that
    name only once the first block arrived."""
    return H5Writer(path, serials, samples_count, file_attributes(), staged=True)
