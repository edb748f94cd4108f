from pyzum_zezudi_vu import FrameCheck, open_board

check = FrameCheck()
with open_board() as board:                      # the first listed board, stopped again on leaving
    print("board", board.serial_number)
    before = board.health()
    for block in board.blocks(count=20):         # int16, shape (4096, 5): one row per frame
        check.feed(block)                        # follows the frame counter in words 0 and 1
    run = board.health().since(before)

print(check.frames, "frames,", check.summary())  # 81920 frames, 0 lost, 0 out of order
print("sine channel from", block[:, 2].min(), "to", block[:, 2].max())
print("arrived whole" if run.whole else run.problems())
