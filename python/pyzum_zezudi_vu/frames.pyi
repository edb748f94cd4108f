import numpy as np
import numpy.typing as npt

FRAME_BYTES: int
SYNC: tuple[int, int]
WORDS: int

def frame_indices(block: npt.NDArray[np.int16]) -> npt.NDArray[np.uint32]: ...

class FrameCheck:
    frames: int
    lost: int
    out_of_order: int
    numbered: bool | None
    def __init__(self) -> None: ...
    def feed(self, block: npt.NDArray[np.int16]) -> None: ...
    def summary(self) -> str: ...

def frames_in_raw(data: bytes | bytearray | memoryview) -> tuple[int, npt.NDArray[np.int16]]: ...
def sync_errors(data: bytes | bytearray | memoryview, offset: int) -> int: ...
