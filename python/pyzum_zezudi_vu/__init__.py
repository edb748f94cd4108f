"""Everyday use of PCB_ROQ boards on top of the `_pyzum_zezudi_vu` extension.

    from pyzum_zezudi_vu import open_board

    with open_board() as board:               # the first listed board; stopped again on leaving
        data = board.capture(seconds=2.0)     # int16, shape (frames, 5)
        for block in board.blocks(count=10):  # one (samples_count, 5) block at a time
            ...

`Run` hands every block of one or more boards to sinks (a file, an outlet) and ends in a `RunResult`;
`open_recording` reads an HDF5 recording back. `python3 -m pyzum_zezudi_vu --help` shows the command line
(list, capture, view, raw, doctor, stream, repair).
"""
from .board import Board, NoBoardError, list_boards, open_board
from .frames import FrameCheck, frame_indices, frames_in_raw
from .recording import open_recording
from .result import BoardResult, RunResult
from .run import Run, run_boards
from .sink import Sink
from .sinks.npy import NpyWriter

__all__ = ["Board", "BoardResult", "FrameCheck", "NoBoardError", "NpyWriter", "Run", "RunResult", "Sink",
           "capture", "frame_indices", "frames_in_raw", "list_boards", "open_board", "open_recording",
           "run_boards"]


def capture(serial_number: str | None = None, blocks: int | None = None, seconds: float | None = None,
            samples_count: int = 4096, timeout: float | None = 2.0):
    """Opens a board, reads `blocks` blocks or blocks for `seconds` into one int16 array (frames, 5), and
    closes it again."""
    with open_board(serial_number, samples_count, timeout) as board:
        return board.capture(blocks=blocks, seconds=seconds)
