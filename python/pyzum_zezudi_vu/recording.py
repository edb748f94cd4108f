"""Reading recordings back, and mending an HDF5 recording whose writer was killed.

An HDF5 recording is written in HDF5's single-writer/multiple-reader mode: while it is written, and after its
writer was killed before closing it, the file's superblock says it is open for writing, which every reader
but a SWMR one refuses ("file is already open for write"). What was written up to the writer's last flush
(a quarter second before the kill at most) is whole all the same: `repair` clears that mark, as HDF5's own
`h5clear -s` does, so that h5py, h5dump, MATLAB and HDFView open the file.
"""
from __future__ import annotations

import os
import struct

from .sinks.hdf5 import h5py_module

SIGNATURE = b"\x89HDF\r\n\x1a\n"
_M = 0xFFFFFFFF
# The superblock sits at the start of the file or after a user block of 512, 1024, 2048, ... bytes.
_SUPERBLOCK_PLACES = [0] + [512 << i for i in range(16)]


def open_recording(path):
    """Opens an HDF5 recording for reading, also while it is written or after its writer was killed. Refresh
    a dataset with `dataset.refresh()` to see what was written since."""
    return h5py_module().File(path, "r", libver="latest", swmr=True)


def _rot(x, k):
    return ((x << k) | (x >> (32 - k))) & _M


def lookup3(data: bytes, initval: int = 0) -> int:
    """Bob Jenkins' lookup3 hash (hashlittle), the checksum of HDF5's metadata."""
    length = len(data)
    a = b = c = (0xDEADBEEF + length + initval) & _M
    i = 0
    while length > 12:
        x, y, z = struct.unpack_from("<III", data, i)
        a, b, c = (a + x) & _M, (b + y) & _M, (c + z) & _M
        a = (a - c) & _M; a ^= _rot(c, 4); c = (c + b) & _M     # noqa: E702
        b = (b - a) & _M; b ^= _rot(a, 6); a = (a + c) & _M     # noqa: E702
        c = (c - b) & _M; c ^= _rot(b, 8); b = (b + a) & _M     # noqa: E702
        a = (a - c) & _M; a ^= _rot(c, 16); c = (c + b) & _M    # noqa: E702
        b = (b - a) & _M; b ^= _rot(a, 19); a = (a + c) & _M    # noqa: E702
        c = (c - b) & _M; c ^= _rot(b, 4); b = (b + a) & _M     # noqa: E702
        length -= 12
        i += 12
    if length == 0:
        return c
    x, y, z = struct.unpack("<III", data[i:] + bytes(12 - length))
    a, b, c = (a + x) & _M, (b + y) & _M, (c + z) & _M
    c ^= b; c = (c - _rot(b, 14)) & _M    # noqa: E702
    a ^= c; a = (a - _rot(c, 11)) & _M    # noqa: E702
    b ^= a; b = (b - _rot(a, 25)) & _M    # noqa: E702
    c ^= b; c = (c - _rot(b, 16)) & _M    # noqa: E702
    a ^= c; a = (a - _rot(c, 4)) & _M     # noqa: E702
    b ^= a; b = (b - _rot(a, 14)) & _M    # noqa: E702
    c ^= b; c = (c - _rot(b, 24)) & _M    # noqa: E702
    return c


def _superblock(f):
    """(offset, bytes) of the file's superblock of version 2 or 3, the versions that carry the mark."""
    size = os.fstat(f.fileno()).st_size
    for place in _SUPERBLOCK_PLACES:
        if place + 12 > size:
            break
        f.seek(place)
        head = f.read(12)
        if head[:8] != SIGNATURE:
            continue
        version, offsets = head[8], head[9]
        if version not in (2, 3):
            raise ValueError(f"superblock version {version}: this file carries no mark of an open writer")
        f.seek(place)
        return place, f.read(12 + 4 * offsets + 4)
    raise ValueError("not an HDF5 file (no superblock found)")


def repair(path) -> bool:
    """Clears the mark a killed writer left on the HDF5 file `path`; returns whether there was one."""
    with open(path, "r+b") as f:
        place, block = _superblock(f)
        body, stored = block[:-4], struct.unpack("<I", block[-4:])[0]
        if lookup3(body) != stored:
            raise ValueError(f"{path}: the superblock's checksum does not match: the file is damaged")
        flags = body[11]
        if flags == 0:
            return False
        body = body[:11] + b"\x00" + body[12:]
        f.seek(place)
        f.write(body + struct.pack("<I", lookup3(body)))
        f.flush()
        os.fsync(f.fileno())
    return True
