from pyzum_zezudi_vu import open_recording     # h5py.File(path, "r", libver="latest", swmr=True)

with open_recording("run.h5") as f:
    frames = f["SIM0001/frames"]
    frames.refresh()                                  # while a capture still writes: what it wrote so far
    print(frames.shape)
