"""Everyday use of PCB_ROQ boards on top of the `_pyzum_zezudi_vu` extension.

    from pyzum_zezudi_vu import open_board

    with open_board() as board:               # the first listed board; stopped again on leaving
        data = board.capture(seconds=2.0)     # int16, shape (frames, 5)
        for block in board.blocks(count=10):  # one (samples_count, 5) block at a time
            ...

`python3 -m pyzum_zezudi_vu --help` shows the command line (list, capture, view, raw, doctor, stream).
"""
from .board import Board, NoBoardError, list_boards, open_board
from .frames import FrameCheck, frame_indices, frames_in_raw
from .npy_writer import NpyWriter

__all__ = ["Board", "FrameCheck", "NoBoardError", "NpyWriter", "frame_indices", "frames_in_raw", "list_boards",
           "open_board", "capture"]


def capture(serial_number=None, blocks=None, seconds=None, samples_count=4096, timeout=2.0):
    """Opens a board, reads `blocks` blocks or blocks for `seconds` into one int16 array (frames, 5), and
    closes it again."""
    with open_board(serial_number, samples_count, timeout) as board:
        return board.capture(blocks=blocks, seconds=seconds)
