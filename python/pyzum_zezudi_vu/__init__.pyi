import numpy as np
import numpy.typing as npt

from .board import Board as Board, NoBoardError as NoBoardError, Timeout, list_boards as list_boards
from .board import open_board as open_board
from .frames import FrameCheck as FrameCheck, frame_indices as frame_indices, frames_in_raw as frames_in_raw
from .npy_writer import NpyWriter as NpyWriter

__all__: list[str]

def capture(serial_number: str | None = None, blocks: int | None = None, seconds: float | None = None,
            samples_count: int = 4096, timeout: Timeout = 2.0) -> npt.NDArray[np.int16]: ...
