"""Writes the blocks of one or more boards to one HDF5 file as they arrive, readable while it grows (HDF5's
single-writer/multiple-reader mode) and loadable after the writing process is killed.

Layout, one group per board (named by its serial number):

    /<serial>/frames   int16 (frames, 5), chunked by block, growing
    /<serial>/blocks   per block: first_frame, arrival_monotonic_ns, arrival_utc_ns, frames
    /<serial>/health   float64, one value per counter named in its attribute "counters"
    /<serial>/verdict  "capturing", "arrived whole" or "NOT whole: ..." (fixed-length UTF-8)

The file's attributes say when and where it was written and by which versions; each group's say which board,
its block size and the frame format.
"""
import dataclasses
import datetime
import socket
import threading
import time

import numpy as np

from .frames import FRAME_BYTES, WORDS
from .health import Health

BLOCK_DTYPE = np.dtype([("first_frame", "<i8"), ("arrival_monotonic_ns", "<i8"), ("arrival_utc_ns", "<i8"),
                        ("frames", "<i8")])
HEALTH_COUNTERS = [f.name for f in dataclasses.fields(Health)]
FRAME_FORMAT = (f"{WORDS} little-endian int16 words per frame, as the board sends them ({FRAME_BYTES} bytes with "
                "the two sync bytes, which are not stored); a test pattern puts a 32-bit frame counter in words "
                "0 (low half) and 1 (high half)")
VERDICT_BYTES = 4096


def _h5py():
    try:
        import h5py
    except ImportError as e:
        raise RuntimeError("HDF5 captures need h5py (Debian: python3-h5py)") from e
    return h5py


class H5Writer:
    """One HDF5 file for the boards `serials`. `append` may be called from one thread per board (h5py
    serialises the library; our lock keeps the flush bookkeeping whole). Everything written so far reaches the
    file every `flush_interval` seconds at most: a reader (or a load after a kill) sees it from then on."""

    def __init__(self, path, serials, samples_count, attributes=None, flush_interval=0.25):
        h5py = _h5py()
        self.path = path
        self._lock = threading.Lock()
        self._flush_interval = flush_interval
        self._flushed_at = time.monotonic()
        # The file format SWMR needs: HDF5 1.10 or later reads it.
        self._file = h5py.File(path, "w", libver="latest")
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
                                              chunks=(max(1, min(samples_count, 1 << 16)), WORDS))
                blocks = group.create_dataset("blocks", (0,), BLOCK_DTYPE, maxshape=(None,), chunks=(1024,))
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

    # Any thread; a failed write leaves the rows before it in the file.
    def append(self, serial, block, arrival_monotonic_ns, arrival_utc_ns):
        frames, blocks, _, _ = self._boards[serial]
        block = np.ascontiguousarray(block, dtype="<i2")
        with self._lock:
            first = frames.shape[0]
            frames.resize(first + len(block), axis=0)
            frames[first:] = block
            index = blocks.shape[0]
            blocks.resize(index + 1, axis=0)
            blocks[index] = (first, arrival_monotonic_ns, arrival_utc_ns, len(block))
            self._flush_if_due()

    # Any thread: the board's counters of this capture and the verdict they justify so far.
    def record_health(self, serial, health, verdict):
        _, _, dataset, text = self._boards[serial]
        with self._lock:
            dataset[:] = [float(getattr(health, name)) for name in HEALTH_COUNTERS]
            # Cut at a character's boundary, so that the stored text still decodes.
            text[()] = verdict.encode("utf-8")[:VERDICT_BYTES].decode("utf-8", "ignore").encode("utf-8")
            self._flush_if_due()

    def rows(self, serial):
        return self._boards[serial][0].shape[0]

    def _flush_if_due(self):
        now = time.monotonic()
        if now - self._flushed_at >= self._flush_interval:
            self._file.flush()
            self._flushed_at = now

    def close(self):
        with self._lock:
            if self._file.id.valid:
                self._file.flush()
                self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open_capture(path):
    """Opens an HDF5 capture for reading, also while it is written or after its writer was killed (both leave
    the file marked as open for writing, which only a SWMR reader accepts). Refresh a dataset with
    `dataset.refresh()` to see what was written since."""
    return _h5py().File(path, "r", libver="latest", swmr=True)
