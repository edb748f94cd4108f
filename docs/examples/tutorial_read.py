import h5py

with h5py.File("run.h5") as f:
    board = f["SIM0001"]
    frames = board["frames"][:]                 # int16 (frames, 5)
    print(frames.shape[0], "frames in", len(board["blocks"]), "blocks")
    print("verdict:", board["verdict"][()].decode())
    print("recorded", f.attrs["start_time_utc"], "on", f.attrs["host"])
