import h5py

with h5py.File("run.h5") as f:
    print("boards:", list(f))
    board = f["SIM0001"]
    frames = board["frames"][:]                   # int16 (frames, 5)
    blocks = board["blocks"][:]                   # first_frame, arrival_monotonic_ns, arrival_utc_ns, frames
    counters = dict(zip(board["health"].attrs["counters"], board["health"][:]))
    print(frames.shape, blocks.dtype.names)
    print("frames decoded:", int(counters["frames_decoded"]), "verdict:", board["verdict"][()].decode())
