"""Captures a few seconds from the first board, checks the frame counter and saves the samples.

    tools/devroot run --sim python3 examples/capture_and_check.py      # against the simulated board
"""
import numpy as np

from pyzum_zezudi_vu import FrameCheck, open_board


def main():
    check = FrameCheck()
    with open_board(samples_count=4096, timeout=2.0) as board:
        print("board", board.serial_number)
        for block in board.blocks(seconds=1.0):  # (4096, 5) int16 per block
            check.feed(block)
        data = board.capture(blocks=16)           # one (65536, 5) array
    print(f"{check.frames} frames while streaming, lost frames: {check.summary()}")
    print("per-channel mean of the capture:", np.round(data.mean(axis=0), 1))
    np.save("capture.npy", data)


if __name__ == "__main__":
    main()
