import os
from collections.abc import Iterable, Mapping
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt

from .health import Health

BLOCK_DTYPE: np.dtype[Any]
HEALTH_COUNTERS: list[str]
FRAME_FORMAT: str
VERDICT_BYTES: int

class H5Writer:
    path: str | os.PathLike[str]
    def __init__(self, path: str | os.PathLike[str], serials: Iterable[str], samples_count: int,
                 attributes: Mapping[str, Any] | None = None, flush_interval: float = 0.25) -> None: ...
    def append(self, serial: str, block: npt.ArrayLike, arrival_monotonic_ns: int, arrival_utc_ns: int) -> None: ...
    def record_health(self, serial: str, health: Health, verdict: str) -> None: ...
    def rows(self, serial: str) -> int: ...
    def close(self) -> None: ...
    def __enter__(self) -> H5Writer: ...
    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None: ...

def open_capture(path: str | os.PathLike[str]) -> Any: ...  # an h5py.File, read-only, SWMR
